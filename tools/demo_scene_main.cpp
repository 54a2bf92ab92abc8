// SPDX-License-Identifier: Apache-2.0
// rovelin-demo-scene: writes the synthetic demo video with its class list and
// exact label maps. Exit status: 0 done, 2 bad command line, 1 failure.

#include <iostream>
#include <string>
#include <string_view>

#include "rovelin/version.hpp"
#include "tools/demo_scene.hpp"
#include "util/command_line.hpp"
#include "util/error.hpp"
#include "util/parse_number.hpp"
#include "util/report.hpp"

namespace {

constexpr const char* kUsage =
    "Usage: rovelin-demo-scene [--size WxH] [--frames N] OUTPUT_DIR\n"
    "Renders a synthetic outdoor scene (sky, building, grass, road, a moving car)\n"
    "and writes OUTPUT_DIR/demo.avi, OUTPUT_DIR/classes.txt and the exact label\n"
    "map OUTPUT_DIR/labels_<frame>.png of every frame (frames counted from 0).\n"
    "\n"
    "Options:\n"
    "  --size WxH   frame size in pixels (default 640x480)\n"
    "  --frames N   number of frames (default 24)\n"
    "  -q, --quiet  print only errors on standard error\n"
    "  -v, --verbose  accepted as by the other programs (nothing more to say)\n"
    "  -h, --help   show this help\n"
    "  --version    show the version\n";

int parseInt(std::string_view text, const std::string& what) {
  const std::optional<int> value = rovelin::parseNumber<int>(text);
  if (!value) throw rovelin::UsageError(what + " \"" + std::string(text) + "\" is not an integer");
  return *value;
}

}  // namespace

int main(int argc, char** argv) {
  rovelin::DemoSceneOptions options;
  const rovelin::ProgramText program{"rovelin-demo-scene", kUsage,
                                     rovelin::versionText("rovelin-demo-scene"), kUsage};
  rovelin::ParsedArguments parsed;
  auto option = [&](const std::string& arg, const rovelin::OptionValue& value) {
    if (arg == "--size") {
      const std::string size = value();
      const auto x = size.find('x');
      if (x == std::string::npos) {
        throw rovelin::UsageError("--size \"" + size + "\" is not WxH");
      }
      options.width = parseInt(std::string_view(size).substr(0, x), "width");
      options.height = parseInt(std::string_view(size).substr(x + 1), "height");
    } else if (arg == "--frames") {
      options.frames = parseInt(value(), "frame count");
    } else {
      return false;
    }
    return true;
  };
  auto finish = [&] {
    if (parsed.positional.size() > 1)
      throw rovelin::UsageError("more than one output directory given");
    if (parsed.positional.empty()) throw rovelin::UsageError("no output directory given");
    try {
      rovelin::checkDemoSceneOptions(options);
    } catch (const std::invalid_argument& e) {
      throw rovelin::UsageError(e.what());  // the sizes given on the command line
    }
  };
  if (const auto status = rovelin::readCommandLine(argc, argv, program, option, parsed, finish)) {
    return *status;
  }
  rovelin::setMessageStyle(std::cerr, "rovelin-demo-scene", parsed.verbosity);
  const std::string& outputDir = parsed.positional.front();

  try {
    for (const auto& path : rovelin::writeDemoScene(outputDir, options))
      std::cout << path.string() << '\n';
    return rovelin::checkedStandardOutput(rovelin::kExitSuccess);
  } catch (...) {
    return rovelin::reportException(std::cerr);
  }
}
