// SPDX-License-Identifier: Apache-2.0
// The real `rovelin` executable: command line, statuses and messages.
#include "support/tool_runner.hpp"

#include <opencv2/imgcodecs.hpp>

#include <gtest/gtest.h>

namespace rovelin {
namespace {

using test_support::runTool;
using test_support::TempDir;
namespace fs = std::filesystem;

const std::string kExe = ROVELIN_EXE;
const std::string kUsage =
    "\nUsage : rovelin.exe videoname.ext frameNum resizefactor trainData.txt\n";

class Cli : public ::testing::Test {
protected:
  void SetUp() override {
    test_support::writeVideo(dir / "clip.avi", 4, cv::Size(48, 36),
                             [](int i) { return test_support::blockFrame(i, cv::Size(48, 36)); });
    test_support::writeModelFile(dir / "model.txt", {"sky", "road"});
  }
  bool wroteIntermediateFiles() const {
    return fs::exists(dir / "inpimage.ppm") || fs::exists(dir / "outimage.ppm");
  }
  TempDir dir;
};

TEST_F(Cli, TooFewArgumentsPrintTheUsageAndEndWithMinusOne) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               {"clip.avi"},
                                               {"clip.avi", "0"},
                                               {"clip.avi", "0", "1"},
                                               {"--no-gui", "clip.avi", "0", "1"}}) {
    const auto result = runTool(kExe, args, dir.path());
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err, kUsage);
    EXPECT_EQ(result.out, "");
  }
  EXPECT_FALSE(wroteIntermediateFiles());
}

TEST_F(Cli, HelpVersionAndBadOptions) {
  const auto help = runTool(kExe, {"--help"}, dir.path());
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage:"), std::string::npos);
  EXPECT_NE(help.out.find("--no-gui"), std::string::npos);
  EXPECT_EQ(runTool(kExe, {"-h"}, dir.path()).out, help.out);

  const auto version = runTool(kExe, {"--version"}, dir.path());
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("rovelin ", 0), 0u);

  const auto unknown =
      runTool(kExe, {"--frobnicate", "clip.avi", "0", "1", "model.txt"}, dir.path());
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.err.rfind("Error : unknown option '--frobnicate'", 0), 0u);
  EXPECT_EQ(unknown.out, "");

  const auto threads =
      runTool(kExe, {"--threads", "0", "clip.avi", "0", "1", "model.txt"}, dir.path());
  EXPECT_EQ(threads.status, 2);
  const auto frames =
      runTool(kExe, {"--frames", "3:1", "clip.avi", "0", "1", "model.txt"}, dir.path());
  EXPECT_EQ(frames.status, 2);
  EXPECT_FALSE(wroteIntermediateFiles());
}

TEST_F(Cli, BadScaleFactorsFailBeforeAnyFileIsWritten) {
  for (const std::string factor : {"0", "-0.5", "nan", "abc", "1e-9", "1e9", "inf"}) {
    const auto result =
        runTool(kExe, {"--no-gui", "clip.avi", "0", factor, "model.txt"}, dir.path());
    EXPECT_EQ(result.status, 1) << factor;
    // Only a FACTOR that is not entirely a number is warned about first.
    const std::string warning =
        factor == "abc" ? "Warning : FACTOR 'abc' is not a number; it reads as 0\n" : "";
    EXPECT_EQ(result.err.rfind(warning + "Error : ", 0), 0u) << factor << ": " << result.err;
    EXPECT_EQ(result.out, "") << factor;
    EXPECT_FALSE(wroteIntermediateFiles()) << factor;
  }
}

TEST_F(Cli, UnopenableInputsAreReportedWithTheirMessages) {
  const auto video = runTool(kExe, {"--no-gui", "missing.avi", "0", "1", "model.txt"}, dir.path());
  EXPECT_EQ(video.status, 1);
  EXPECT_EQ(video.err.rfind("Error : Video file could not be opened!!!\n", 0), 0u) << video.err;
  EXPECT_NE(video.err.find("missing.avi"), std::string::npos);
  EXPECT_EQ(video.out, "");

  // The model is loaded before the video is opened.
  const auto model =
      runTool(kExe, {"--no-gui", "missing.avi", "0", "1", "nomodel.txt"}, dir.path());
  EXPECT_EQ(model.status, 1);
  EXPECT_EQ(model.err.rfind("unable to open file\nError : ", 0), 0u) << model.err;
  EXPECT_NE(model.err.find("nomodel.txt"), std::string::npos);
  EXPECT_FALSE(wroteIntermediateFiles());

  const auto frame = runTool(kExe, {"--no-gui", "clip.avi", "9", "1", "model.txt"}, dir.path());
  EXPECT_EQ(frame.status, 1);
  EXPECT_EQ(frame.err.rfind("Error : Cannot read from file!! \n", 0), 0u) << frame.err;
  EXPECT_EQ(frame.out, "");
  EXPECT_FALSE(wroteIntermediateFiles());
}

TEST_F(Cli, ExtraArgumentsChangeNothingAndTextNumbersBecomeZero) {
  const auto plain = runTool(kExe, {"--no-gui", "clip.avi", "0", "1", "model.txt"}, dir.path());
  ASSERT_EQ(plain.status, 0) << plain.err;
  const auto extra =
      runTool(kExe, {"--no-gui", "clip.avi", "0", "1", "model.txt", "more", "--json"}, dir.path());
  EXPECT_EQ(extra.status, 0);
  EXPECT_EQ(extra.out.substr(extra.out.find('\n')), plain.out.substr(plain.out.find('\n')));
  const auto text = runTool(kExe, {"--no-gui", "clip.avi", "first", "1", "model.txt"}, dir.path());
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.out.substr(text.out.find('\n')), plain.out.substr(plain.out.find('\n')));
}

TEST_F(Cli, SavesTheGrabbedScaledFrame) {
  const auto result =
      runTool(kExe, {"--no-gui", "--save-frame", "frame.png", "clip.avi", "2", "0.5", "model.txt"},
              dir.path());
  ASSERT_EQ(result.status, 0) << result.err;
  const cv::Mat frame = cv::imread((dir / "frame.png").string());
  EXPECT_EQ(frame.size(), cv::Size(24, 18));
  EXPECT_TRUE(fs::exists(dir / "inpimage.ppm"));
  EXPECT_TRUE(fs::exists(dir / "outimage.ppm"));
}

}  // namespace
}  // namespace rovelin
