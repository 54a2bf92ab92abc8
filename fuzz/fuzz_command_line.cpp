// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the command line of rovelin. The input is split at newlines
// into argv[1..]; the first line is also handed to parseFrameList alone.
#include "driver/options.hpp"
#include "fuzz/fuzz_check.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) {
    return 0;
  }
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> words;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    words.push_back(text.substr(start, end - start));
    start = end + 1;
  }

  if (const auto frames = rovelin::parseFrameList(words.front())) {
    rovelin::abortIf(frames->empty() || frames->size() > 1'000'001);
    for (int f : *frames) {
      rovelin::abortIf(f < 0);  // a frame list never names a negative frame
    }
  }

  int firstFrame = -1;
  int frameStep = 0;
  // A run to the end starts at a frame and moves forward.
  rovelin::abortIf(rovelin::parseOpenEndedFrames(words.front(), firstFrame, frameStep) &&
                   (firstFrame < 0 || frameStep < 1));

  // argv strings end at the first NUL, as they would from a shell.
  std::vector<std::string> args{"rovelin"};
  for (const std::string& w : words) args.push_back(w.c_str());
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  const rovelin::Command command =
      rovelin::parseCommandLine(static_cast<int>(args.size()), argv.data());
  switch (command.kind) {
    case rovelin::CommandKind::Error:
      rovelin::abortIf(command.error.empty());  // an error must say what is wrong
      break;
    case rovelin::CommandKind::Run: {
      const rovelin::Options& o = command.options;
      rovelin::abortIf(o.threads < 0 || o.threads > 1024);
      for (int f : o.frames.list) {
        rovelin::abortIf(f < 0);
      }
      rovelin::abortIf(o.frames.toEnd &&
                       (!o.frames.list.empty() || o.frames.start < 0 || o.frames.step < 1));
      break;
    }
    default:
      break;
  }
  return 0;
}
