// SPDX-License-Identifier: Apache-2.0
// A program whose standard output cannot be written (here a full device)
// fails with a message instead of reporting success.
#include "support/tool_runner.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace rovelin {
namespace {

namespace fs = std::filesystem;

// Runs `exe args...` in `dir` with standard output on /dev/full; returns the
// exit status and standard error.
std::pair<int, std::string> runIntoFullDevice(const std::string& exe,
                                              const std::vector<std::string>& args,
                                              const fs::path& dir) {
  std::string command = "cd ";
  command += test_support::shellQuote(dir.string());
  command += " && env -u DISPLAY -u WAYLAND_DISPLAY ";
  command += test_support::shellQuote(exe);
  for (const std::string& arg : args) {
    command += ' ';
    command += test_support::shellQuote(arg);
  }
  command += " </dev/null >/dev/full 2>.err";
  const int raw = std::system(command.c_str());
  const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return {status, test_support::readFile(dir / ".err")};
}

TEST(StandardOutput, AFullDeviceFailsTheRun) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  test_support::TempDir dir;
  const cv::Size size(64, 48);
  test_support::writeVideo(dir.path() / "clip.avi", 3, size,
                           [&](int i) { return test_support::blockFrame(i, size); });
  test_support::writeModelFile(dir.path() / "model.txt", {"sky", "road"});

  const std::vector<std::vector<std::string>> runs = {
      {"--version"}, {"--help"}, {"--no-gui", "clip.avi", "1", "1", "model.txt"}};
  for (const auto& args : runs) {
    const auto [status, err] = runIntoFullDevice(ROVELIN_EXE, args, dir.path());
    EXPECT_EQ(status, 1) << args.front();
    EXPECT_NE(err.find("Error : cannot write to standard output!\n"), std::string::npos)
        << args.front() << ": " << err;
  }
  const std::vector<std::pair<std::string, std::vector<std::string>>> tools = {
      {ROVELIN_DEMO_EXE, {"--size", "64x48", "--frames", "2", "scene"}},
      {ROVELIN_DEMO_EXE, {"--help"}},
      {ROVELIN_TRAIN_EXE, {"--help"}},
      {ROVELIN_TRAIN_EXE, {"--version"}},
      {ROVELIN_SUMMARY_EXE, {"--version"}},
      {ROVELIN_SUMMARY_EXE, {"scene"}}};
  for (const auto& [exe, args] : tools) {
    const auto [status, err] = runIntoFullDevice(exe, args, dir.path());
    EXPECT_EQ(status, 1) << exe << " " << args.front();
    EXPECT_EQ(err, "Error : cannot write to standard output!\n") << exe << " " << args.front();
  }
}

}  // namespace
}  // namespace rovelin
