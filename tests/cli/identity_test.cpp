// SPDX-License-Identifier: Apache-2.0
// Every output knows what made it: same-named videos keep apart, a resume
// skips only frames made by the same video, factor, model and settings,
// rovelin-summary checks the manifest against that record, names that are
// not UTF-8 are kept exactly, and the annotated video is never partial.
#include "support/tool_runner.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

namespace rovelin {
namespace {

using test_support::readFile;
using test_support::runTool;
using test_support::TempDir;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

const std::string kRovelin = ROVELIN_EXE;
const std::string kSummary = ROVELIN_SUMMARY_EXE;

class Identity : public ::testing::Test {
protected:
  void SetUp() override {
    for (const auto& [video, shift] : {std::pair{"cam1/0001.avi", 0}, {"cam2/0001.avi", 7}}) {
      fs::create_directories((dir / video).parent_path());
      test_support::writeVideo(dir / video, 3, cv::Size(48, 36), [shift = shift](int i) {
        return test_support::blockFrame(i + shift, cv::Size(48, 36));
      });
    }
    test_support::writeModelFile(dir / "model.txt", {"sky", "road"});
    fs::create_directory(dir / "out");
  }
  test_support::ToolResult run(const std::string& video, const std::string& json,
                               std::vector<std::string> options = {},
                               const std::string& factor = "1") const {
    options.insert(options.begin(), {"--no-gui", "--frames", "0:3", "--json", json});
    for (const std::string& positional :
         {video, std::string("0"), factor, std::string("model.txt")}) {
      options.push_back(positional);
    }
    return runTool(kRovelin, options, dir.path());
  }
  TempDir dir;
};

TEST_F(Identity, AResumeSkipsOnlyFramesMadeByTheSameVideoFactorModelAndSettings) {
  // {video} is 0001 for both: the second video's resume must not count the
  // first one's frames as its own.
  ASSERT_EQ(run("cam1/0001.avi", "out/{video}/{frame}.json").status, 0);
  const auto clash = run("cam2/0001.avi", "out/{video}/{frame}.json", {"--skip-existing"});
  EXPECT_EQ(clash.status, 1);
  EXPECT_EQ(clash.err,
            "Error : \"out/0001/0.json\" holds frame 0 of \"cam1/0001.avi\", not of "
            "\"cam2/0001.avi\"; give each video its own outputs, for example with {videopath} in "
            "the names!\n");

  const std::string layout = "out/{videopath}/{frame}.json";
  for (const char* video : {"cam1/0001.avi", "cam2/0001.avi"}) {
    const auto done = run(video, layout, {"--skip-existing"});
    ASSERT_EQ(done.status, 0) << done.err;
    EXPECT_THAT(done.err, HasSubstr("skipped (outputs in place): 0, done: 3"));
  }
  // The record of what made the frame, after every earlier field.
  const auto record =
      nlohmann::ordered_json::parse(readFile(dir / "out" / "cam2" / "0001_avi" / "2.json"));
  EXPECT_EQ(record["video"], "cam2/0001.avi");
  EXPECT_EQ(record["frame"], 2);
  EXPECT_EQ(record["factor"], 1.0);
  EXPECT_EQ(record["model"], [&] {
    char text[17];
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char byte : readFile(dir / "model.txt")) hash = (hash ^ byte) * 0x100000001b3ull;
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return std::string(text);
  }());
  EXPECT_EQ(record["settings"],
            nlohmann::ordered_json::parse(R"({"descriptor": "covariance", "segmentation":
              {"sigma": 1.0, "k": 500.0, "min_size": 500}, "vehicle_rule": true})"));
  std::vector<std::string> keys;
  for (const auto& item : record.items()) keys.push_back(item.key());
  EXPECT_EQ(keys,
            (std::vector<std::string>{
                "classes", "factor", "frame", "frame_size", "least_certain_class", "region_count",
                "regions", "segment_count", "uncertainty", "video", "model", "settings"}));

  // Same inputs: nothing to do. Another factor or other settings: redone.
  const auto again = run("cam1/0001.avi", layout, {"--skip-existing"});
  EXPECT_THAT(again.err, HasSubstr("skipped (outputs in place): 3, done: 0"));
  const auto sigma = run("cam1/0001.avi", layout, {"--skip-existing", "--sigma", "0.8"});
  EXPECT_THAT(sigma.err, HasSubstr("skipped (outputs in place): 0, done: 3"));
  const auto half = run("cam1/0001.avi", layout, {"--skip-existing"}, "0.5");
  EXPECT_THAT(half.err, HasSubstr("skipped (outputs in place): 0, done: 3"));

  // The manifest asks for cam1 at factor 1, which is now at 0.5; a video
  // that cannot be opened does not stop the check of the other lines.
  fs::remove_all(dir / "out" / "0001");
  std::ofstream(dir / "manifest") << "cam1/0001.avi 1 0:3\ncam3/gone.avi 1 all\n"
                                  << "cam2/0001.avi 1 0:3\n";
  const auto summary =
      runTool(kSummary, {"--manifest", "manifest", "-o", "table.csv", "out"}, dir.path());
  EXPECT_EQ(summary.status, 1);
  EXPECT_EQ(summary.err,
            "Error : cam1/0001.avi (0001): 3 of 3 frames missing: 0-2!\n"
            "Error : \"out/cam1/0001_avi/0.json\" was made from \"cam1/0001.avi\" at factor 0.5, "
            "not from manifest line 1!\n"
            "Error : manifest line 2: cannot open \"cam3/gone.avi\" to count its frames!\n");
  EXPECT_EQ(test_support::countOf(readFile(dir / "table.csv"), "\n0001,"), 6);
}

// The README's manifest: two videos of one file name, through the recipe
// (without Slurm it is task 0 of 1) and the summary.
TEST_F(Identity, TheRecipeRunsTheReadmeManifestAsWritten) {
  const fs::path recipe = fs::path(ROVELIN_SOURCE_DIR) / "scripts/slurm/annotate.sbatch";
  std::ofstream(dir / "manifest.txt") << "# video         factor  frames\n"
                                      << "cam1/0001.avi  1       0:3\n"
                                      << "cam2/0001.avi  1       0:3:2\n";
  const auto annotate = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = {"ROVELIN=" + kRovelin, "bash",      recipe.string(),
                                     "manifest.txt",        "model.txt", "out"};
    args.insert(args.end(), extra.begin(), extra.end());
    return runTool("env", args, dir.path());
  };
  const auto done = annotate({});
  ASSERT_EQ(done.status, 0) << done.err;
  EXPECT_TRUE(fs::exists(dir / "out" / "cam2" / "0001_avi" / "2.json"));
  const auto summary = runTool(kSummary, {"--manifest", "manifest.txt", "out"}, dir.path());
  EXPECT_EQ(summary.status, 0) << summary.err;
  EXPECT_EQ(test_support::countOf(summary.out, "\n0001,"), 5);
  const auto video = annotate({"--overlay-video", "out/v.avi"});
  EXPECT_EQ(video.status, 2);
  EXPECT_THAT(video.err, HasSubstr("--overlay-video cannot be used with the recipe"));
}

TEST_F(Identity, NamesThatAreNotUtf8AreWrittenExactly) {
  fs::copy_file(dir / "cam1" / "0001.avi", dir / "caf\xe9.avi");
  const auto latin1 = run("caf\xe9.avi", "out/{video}-{frame}.json", {"--skip-existing"});
  ASSERT_EQ(latin1.status, 0) << latin1.err;
  EXPECT_THAT(latin1.err, Not(HasSubstr("json")));
  const auto record = nlohmann::json::parse(readFile(dir / "out" / "caf_-0.json"));
  EXPECT_EQ(record["video"], "caf\xef\xbf\xbd.avi");  // U+FFFD
  EXPECT_EQ(record["raw_bytes"]["video"], "caf\\xe9.avi");
  const auto again = run("caf\xe9.avi", "out/{video}-{frame}.json", {"--skip-existing"});
  EXPECT_THAT(again.err, HasSubstr("skipped (outputs in place): 3, done: 0"));
}

TEST_F(Identity, TheAnnotatedVideoIsWholeOrRefused) {
  const auto resumed =
      run("cam1/0001.avi", "out/{frame}.json", {"--skip-existing", "--overlay-video", "out/v.avi"});
  EXPECT_EQ(resumed.status, 2);
  EXPECT_EQ(resumed.err,
            "Error : --overlay-video cannot be combined with --skip-existing: the video would "
            "hold only the redone frames!\n");
  const auto parts =
      run("cam1/0001.avi", "out/{frame}.json", {"--shard", "0/2", "--overlay-video", "out/v.avi"});
  EXPECT_EQ(parts.status, 2);
  EXPECT_THAT(parts.err, HasSubstr("the --overlay-video name must hold {shard}"));
  for (const char* shard : {"0/2", "1/2"}) {
    const auto part = run("cam1/0001.avi", "out/{frame}.json",
                          {"--shard", shard, "--overlay-video", "out/v-{shard}.avi"});
    ASSERT_EQ(part.status, 0) << part.err;
  }
  EXPECT_TRUE(fs::is_regular_file(dir / "out" / "v-0-of-2.avi"));
  EXPECT_TRUE(fs::is_regular_file(dir / "out" / "v-1-of-2.avi"));
  for (const auto& entry : fs::directory_iterator(dir / "out")) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
  }
}

}  // namespace
}  // namespace rovelin
