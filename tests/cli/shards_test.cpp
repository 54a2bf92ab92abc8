// SPDX-License-Identifier: Apache-2.0
// Batches split over processes and resumed: --shard, {video} output names,
// --skip-existing and --count-frames, on the real executable.
#include "pipeline/output_names.hpp"
#include "support/tool_runner.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace rovelin {
namespace {

using test_support::readFile;
using test_support::runTool;
using test_support::TempDir;
using test_support::withoutTime;
namespace fs = std::filesystem;

const std::string kExe = ROVELIN_EXE;

class Shards : public ::testing::Test {
protected:
  void SetUp() override {
    test_support::writeVideo(dir / "my clip.avi", 5, cv::Size(48, 36),
                             [](int i) { return test_support::blockFrame(i, cv::Size(48, 36)); });
    test_support::writeModelFile(dir / "model.txt", {"sky", "road"});
  }
  test_support::ToolResult run(std::vector<std::string> options) const {
    for (const char* positional : {"my clip.avi", "0", "1", "model.txt"}) {
      options.push_back(positional);
    }
    return runTool(kExe, options, dir.path());
  }
  TempDir dir;
};

TEST_F(Shards, BadShardsAreRefusedWithStatusTwo) {
  for (const std::string shard : {"2/2", "-1/2", "0/0", "1", "a/b", "1/2/3", "0/", " 0/2"}) {
    const auto result = run({"--no-gui", "--shard", shard});
    EXPECT_EQ(result.status, 2) << shard;
    EXPECT_EQ(result.err,
              "Error : --shard takes I/N, part I (from 0) of N parts, such as 0/4, not '" + shard +
                  "'!\n");
    EXPECT_EQ(result.out, "");
  }
}

TEST_F(Shards, ShardsOfAListTogetherWriteWhatTheWholeListWrites) {
  ASSERT_EQ(run({"--no-gui", "--frames", "0:5", "--json", "whole/{frame}.json"}).status, 1)
      << "a missing folder above the placeholder is refused";
  fs::create_directory(dir / "whole");
  fs::create_directory(dir / "parts");
  const auto whole = run({"--no-gui", "--frames", "0:5", "--json", "whole/{frame}.json"});
  ASSERT_EQ(whole.status, 0) << whole.err;
  std::string reports;
  for (const char* shard : {"0/3", "1/3", "2/3"}) {
    const auto part = run(
        {"--no-gui", "--frames", "0:5", "--shard", shard, "--json", "parts/{video}/{frame}.json"});
    ASSERT_EQ(part.status, 0) << part.err;
    reports += part.out;
  }
  // Parts of 1, 2 and 2 frames: five reports in all, in frame order.
  EXPECT_EQ(withoutTime(reports), withoutTime(whole.out));
  for (int frame = 0; frame < 5; ++frame) {
    const std::string name = std::to_string(frame) + ".json";
    EXPECT_EQ(readFile(dir / "parts" / "my_clip" / name), readFile(dir / "whole" / name)) << name;
  }
  const auto empty = run({"--no-gui", "--frames", "3", "--shard", "0/2", "--json", "x.json"});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(empty.err, "rovelin: part 0/2 of the frame list holds no frames\n");
}

TEST_F(Shards, OutputFoldersBelowThePlaceholderAreMadeAndThoseAboveMustExist) {
  const auto missing = run({"--no-gui", "--json", "out/{video}/f{frame}.json"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err,
            "Error : cannot write \"out/my_clip/f0.json\": its directory does not exist!\n");
  EXPECT_FALSE(fs::exists(dir / "out"));

  fs::create_directory(dir / "out");
  std::ofstream(dir / "out" / "my_clip") << "a file where a folder is needed";
  const auto blocked = run({"--no-gui", "--json", "out/{video}/deep/{frame}.json"});
  EXPECT_EQ(blocked.status, 1);
  EXPECT_EQ(blocked.err,
            "Error : cannot write \"out/my_clip/deep/0.json\": \"out/my_clip\" is "
            "not a directory!\n");
  fs::remove(dir / "out" / "my_clip");

  const auto made = run({"--no-gui", "--json", "out/{video}/deep/{frame}.json", "--overlay",
                         "out/v_{video}/{frame}.png"});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_TRUE(fs::is_regular_file(dir / "out" / "my_clip" / "deep" / "0.json"));
  EXPECT_TRUE(fs::is_regular_file(dir / "out" / "v_my_clip" / "0.png"));
}

TEST_F(Shards, SkipExistingRedoesOnlyFramesWithAMissingOutput) {
  fs::create_directory(dir / "out");
  const std::vector<std::string> options = {"--no-gui",    "--skip-existing", "--frames",
                                            "0:4",         "--json",          "out/{frame}.json",
                                            "--label-map", "out/{frame}.png"};
  const auto first = run(options);
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.err, "rovelin: frames skipped (outputs in place): 0, done: 4\n");

  struct stat before {};
  ASSERT_EQ(::stat((dir / "out" / "0.json").c_str(), &before), 0);
  const std::string frame2 = readFile(dir / "out" / "2.json");
  fs::remove(dir / "out" / "2.json");
  fs::remove(dir / "out" / "3.png");
  const auto second = run(options);
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(second.err, "rovelin: frames skipped (outputs in place): 2, done: 2\n");
  // Only the redone frames print their report.
  EXPECT_EQ(test_support::countOf(second.out, "Number of segments = "), 2);
  EXPECT_EQ(readFile(dir / "out" / "2.json"), frame2);
  EXPECT_TRUE(fs::exists(dir / "out" / "3.png"));
  struct stat after {};
  ASSERT_EQ(::stat((dir / "out" / "0.json").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

  // Nothing left: no frame is read. The model is: a frame's JSON counts as
  // done only when it names the model that made it.
  const auto third = run(options);
  EXPECT_EQ(third.status, 0) << third.err;
  EXPECT_EQ(third.err, "rovelin: frames skipped (outputs in place): 4, done: 0\n");
  EXPECT_EQ(third.out, "");
  fs::rename(dir / "model.txt", dir / "model.moved");

  const auto nothingToCheck = run({"--no-gui", "--skip-existing"});
  EXPECT_EQ(nothingToCheck.status, 2);
  EXPECT_EQ(nothingToCheck.err,
            "Error : --skip-existing needs an output file (--json, --overlay, "
            "--label-map, --labelme or --save-frame)!\n");
}

TEST_F(Shards, WorkFilesGoToTheWorkFolderWhenOneIsGiven) {
  fs::create_directory(dir / "work");
  const auto run1 = run({"--no-gui", "--workdir", "work"});
  ASSERT_EQ(run1.status, 0) << run1.err;
  EXPECT_TRUE(fs::exists(dir / "work" / "inpimage.ppm"));
  EXPECT_TRUE(fs::exists(dir / "work" / "outimage.ppm"));
  EXPECT_FALSE(fs::exists(dir / "inpimage.ppm"));
  const auto missing = run({"--no-gui", "--workdir", "nowhere"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "Error : --workdir \"nowhere\" is not a directory!\n");
}

TEST_F(Shards, CountFramesPrintsTheSizeOfTheListItsPartOrTheVideo) {
  const auto list =
      runTool(kExe, {"--count-frames", "--frames", "0:300:30,7", "my clip.avi"}, dir.path());
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out, "11\n");
  const auto part =
      runTool(kExe, {"--count-frames", "--frames", "0:10", "--shard", "2/3", "v.avi"}, dir.path());
  EXPECT_EQ(part.out, "4\n");
  // Without --frames: the video's frame count, not the one FRAME.
  const auto video = runTool(kExe, {"--count-frames", "my clip.avi"}, dir.path());
  EXPECT_EQ(video.status, 0) << video.err;
  EXPECT_EQ(video.out, "5\n");
  EXPECT_EQ(run({"--count-frames"}).out, "5\n");
  EXPECT_EQ(runTool(kExe, {"--count-frames", "--frames", "3", "my clip.avi"}, dir.path()).out,
            "1\n");
  EXPECT_EQ(runTool(kExe, {"--count-frames"}, dir.path()).status, 255);
}

}  // namespace
}  // namespace rovelin
