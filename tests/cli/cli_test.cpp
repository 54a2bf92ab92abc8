// SPDX-License-Identifier: Apache-2.0
// The real `rovelin` executable: command line, statuses and messages.
#include "support/tool_runner.hpp"

#include <opencv2/imgcodecs.hpp>

#include "util/error.hpp"
#include "util/report.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <new>
#include <sstream>
#include <stdexcept>
#include <thread>

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

TEST_F(Cli, ExtraArgumentsAreIgnoredWithAWarningAndTextNumbersBecomeZero) {
  const auto plain = runTool(kExe, {"--no-gui", "clip.avi", "0", "1", "model.txt"}, dir.path());
  ASSERT_EQ(plain.status, 0) << plain.err;
  const auto extra =
      runTool(kExe, {"--no-gui", "clip.avi", "0", "1", "model.txt", "more", "x y"}, dir.path());
  EXPECT_EQ(extra.status, 0);
  EXPECT_EQ(extra.err, "Warning : ignored after TRAINDATA: 'more' 'x y'\n");
  EXPECT_EQ(extra.out.substr(extra.out.find('\n')), plain.out.substr(plain.out.find('\n')));
  const auto text = runTool(kExe, {"--no-gui", "clip.avi", "first", "1", "model.txt"}, dir.path());
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.out.substr(text.out.find('\n')), plain.out.substr(plain.out.find('\n')));
}

TEST_F(Cli, OptionsAnywhereCombinedFlagsAndNearMisses) {
  // Options after the positionals are taken, not dropped.
  const auto late = runTool(kExe,
                            {"clip.avi", "0", "--no-gui", "1", "model.txt", "--overlay",
                             "o{frame}.png", "--frames=0,1", "--json", "run_{frame}.json"},
                            dir.path());
  ASSERT_EQ(late.status, 0) << late.err;
  EXPECT_TRUE(fs::exists(dir / "o1.png"));
  EXPECT_TRUE(fs::exists(dir / "run_1.json"));
  // "--" ends the options: the video is named "-clip.avi".
  fs::copy_file(dir / "clip.avi", dir / "-clip.avi");
  const auto dashed =
      runTool(kExe, {"-q", "--no-gui", "--", "-clip.avi", "0", "1", "model.txt"}, dir.path());
  EXPECT_EQ(dashed.status, 0) << dashed.err;
  EXPECT_EQ(dashed.out.rfind("Number of segments = ", 0), 0u) << dashed.out;

  for (const std::vector<std::string>& both :
       {std::vector<std::string>{"-qv"}, {"-q", "--verbose"}, {"-vq"}}) {
    std::vector<std::string> args = both;
    args.insert(args.end(), {"--no-gui", "clip.avi", "0", "1", "model.txt"});
    const auto result = runTool(kExe, args, dir.path());
    EXPECT_EQ(result.status, 2) << both[0];
    EXPECT_EQ(result.err, "Error : -q and -v cannot be used together!\n") << both[0];
  }
  const auto typo = runTool(
      kExe, {"--no-gui", "--ovrlay", "o.png", "clip.avi", "0", "1", "model.txt"}, dir.path());
  EXPECT_EQ(typo.status, 2);
  EXPECT_EQ(typo.err, "Error : unknown option '--ovrlay'; did you mean `--overlay`?!\n");

  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  const std::string many = std::to_string(cores + 1);
  const auto capped =
      runTool(kExe, {"--no-gui", "--threads", many, "clip.avi", "0", "1", "model.txt"}, dir.path());
  EXPECT_EQ(capped.status, 0);
  EXPECT_EQ(capped.err, "Warning : --threads " + many + " is more than the " +
                            std::to_string(cores) +
                            " cores here: the image library and the frames in flight use " +
                            std::to_string(cores) + "\n");
  EXPECT_EQ(runTool(kExe, {"-q", "--no-gui", "--threads", many, "clip.avi", "0", "1", "model.txt"},
                    dir.path())
                .err,
            "");
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

TEST_F(Cli, QuietLeavesOnlyErrorsAndVerboseAddsDetails) {
  // FRAME "1x" draws a warning, --timings a table: both are gone with -q.
  const std::vector<std::string> run = {"--no-gui", "--timings", "clip.avi",
                                        "1x",       "1",         "model.txt"};
  const auto normal = runTool(kExe, run, dir.path());
  ASSERT_EQ(normal.status, 0) << normal.err;
  EXPECT_EQ(normal.err.rfind("Warning : FRAME '1x' is not a whole number; it reads as 1\n"
                             "Timings for frame 1:\n",
                             0),
            0u)
      << normal.err;

  std::vector<std::string> quietRun = run;
  quietRun.insert(quietRun.begin(), "-q");
  const auto quiet = runTool(kExe, quietRun, dir.path());
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(test_support::withoutTime(quiet.out), test_support::withoutTime(normal.out));

  const auto failed =
      runTool(kExe, {"--quiet", "--no-gui", "missing.avi", "0", "1", "model.txt"}, dir.path());
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.err,
            "Error : Video file could not be opened!!!\n"
            "Error : \"missing.avi\" is missing, unreadable or not a video the capture library "
            "can decode!\n");

  std::vector<std::string> verboseRun = run;
  verboseRun.insert(verboseRun.begin(), "-v");
  const auto verbose = runTool(kExe, verboseRun, dir.path());
  EXPECT_EQ(verbose.status, 0);
  EXPECT_EQ(verbose.err.rfind("Warning : FRAME '1x' is not a whole number; it reads as 1\n"
                              "rovelin: the model model.txt: 2 classes, read from the cache\n"
                              "rovelin: settings: descriptor covariance, sigma 1, k 500, min "
                              "size 500, vehicle rule on\n"
                              "Timings for frame 1:\n",
                              0),
            0u)
      << verbose.err;

  // The trainer's class table goes too; its error stays.
  ASSERT_EQ(runTool(ROVELIN_DEMO_EXE, {"--size", "96x64", "--frames", "1", "."}, dir.path()).status,
            0);
  const std::vector<std::string> train = {"--classes", "classes.txt",   "-o", "m.txt", "demo.avi",
                                          "1",         "0:labels_0.png"};
  const auto trained = runTool(ROVELIN_TRAIN_EXE, train, dir.path());
  EXPECT_EQ(trained.status, 1);
  EXPECT_EQ(trained.err.rfind("class ", 0), 0u) << trained.err;
  std::vector<std::string> quietTrain = train;
  quietTrain.insert(quietTrain.begin(), "-q");
  const auto quietTrained = runTool(ROVELIN_TRAIN_EXE, quietTrain, dir.path());
  EXPECT_EQ(quietTrained.status, 1);
  EXPECT_EQ(quietTrained.err, trained.err.substr(trained.err.find("Error : ")));
  EXPECT_EQ(std::count(quietTrained.err.begin(), quietTrained.err.end(), '\n'), 1);
}

TEST(ExitStatus, InternalFaultsAreToldApartFromBadInput) {
  const auto report = [](const std::function<void()>& fail) {
    std::ostringstream err;
    setMessageStyle(err, "rovelin", Verbosity::Quiet);
    int status = -1;
    try {
      fail();
    } catch (...) {
      status = reportException(err);
    }
    return std::make_pair(status, err.str());
  };
  using Outcome = std::pair<int, std::string>;
  EXPECT_EQ(report([] { throw std::logic_error("label 7 of region 2 is out of range"); }),
            Outcome(70, "Error : internal fault: label 7 of region 2 is out of range!\n"));
  EXPECT_EQ(report([] { throw std::out_of_range("mask 9 of 3"); }),
            Outcome(70, "Error : internal fault: mask 9 of 3!\n"));
  EXPECT_EQ(report([] { throw 7; }),
            Outcome(70, "Error : internal fault: an unknown exception!\n"));
  EXPECT_EQ(report([] { throw rovelin::Error("\"m.txt\" line 3: not a number"); }),
            Outcome(1, "Error : \"m.txt\" line 3: not a number!\n"));
  EXPECT_EQ(report([] { throw std::runtime_error("cannot write \"a.png\""); }),
            Outcome(1, "Error : cannot write \"a.png\"!\n"));
  EXPECT_EQ(report([] { throw std::bad_alloc(); }), Outcome(1, "Error : out of memory!\n"));
}

}  // namespace
}  // namespace rovelin
