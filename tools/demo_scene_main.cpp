// SPDX-License-Identifier: Apache-2.0
// rovelin-demo-scene: writes the synthetic demo video with its class list and
// exact label maps. Exit status: 0 done, 2 bad command line, 1 failure.

#include <exception>
#include <iostream>
#include <string>
#include <string_view>

#include "rovelin/version.hpp"
#include "tools/demo_scene.hpp"
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
    "  -h, --help   show this help\n"
    "  --version    show the version\n";

struct UsageError {
  std::string message;
};

int parseInt(std::string_view text, const std::string& what) {
  const std::optional<int> value = rovelin::parseNumber<int>(text);
  if (!value) throw UsageError{what + " \"" + std::string(text) + "\" is not an integer"};
  return *value;
}

}  // namespace

int main(int argc, char** argv) {
  rovelin::DemoSceneOptions options;
  std::string outputDir;
  try {
    bool haveDir = false;
    for (int i = 1; i < argc; ++i) {
      const std::string_view arg = argv[i];
      auto value = [&]() -> std::string_view {
        if (i + 1 >= argc) throw UsageError{std::string(arg) + " needs a value"};
        return argv[++i];
      };
      if (arg == "-h" || arg == "--help") {
        std::cout << kUsage;
        return rovelin::checkedStandardOutput(rovelin::kExitSuccess);
      } else if (arg == "--version") {
        std::cout << rovelin::versionText("rovelin-demo-scene");
        return rovelin::checkedStandardOutput(rovelin::kExitSuccess);
      } else if (arg == "--size") {
        const std::string_view size = value();
        const auto x = size.find('x');
        if (x == std::string_view::npos)
          throw UsageError{"--size \"" + std::string(size) + "\" is not WxH"};
        options.width = parseInt(size.substr(0, x), "width");
        options.height = parseInt(size.substr(x + 1), "height");
      } else if (arg == "--frames") {
        options.frames = parseInt(value(), "frame count");
      } else if (arg.size() > 1 && arg[0] == '-') {
        throw UsageError{"unknown option " + std::string(arg)};
      } else if (haveDir) {
        throw UsageError{"more than one output directory given"};
      } else {
        outputDir = arg;
        haveDir = true;
      }
    }
    if (!haveDir) throw UsageError{"no output directory given"};
    try {
      rovelin::checkDemoSceneOptions(options);
    } catch (const std::invalid_argument& e) {
      throw UsageError{e.what()};  // the sizes given on the command line
    }
  } catch (const UsageError& e) {
    rovelin::errorLine(std::cerr) << e.message;
    std::cerr << kUsage << std::flush;
    return rovelin::kExitBadOption;
  }

  try {
    for (const auto& path : rovelin::writeDemoScene(outputDir, options))
      std::cout << path.string() << '\n';
    return rovelin::checkedStandardOutput(rovelin::kExitSuccess);
  } catch (...) {
    return rovelin::reportException(std::cerr);
  }
}
