// SPDX-License-Identifier: Apache-2.0
// --temporal on the real executable: what it changes, what it leaves as it
// is, and that threads and parts give the labels of one unbroken run.
#include "support/trained_demo_scene.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace rovelin {
namespace {

using test_support::readFile;
using test_support::runTool;
using test_support::withoutTime;
namespace fs = std::filesystem;

const std::string kExe = ROVELIN_EXE;

class Temporal : public test_support::TrainedDemoScene {
protected:
  static test_support::ToolResult annotate(const fs::path& where, std::vector<std::string> args) {
    for (const char* positional : {"demo.avi", "0", "1", "model.txt"}) args.push_back(positional);
    args.insert(args.begin(), "--no-gui");
    return runTool(kExe, args, where);
  }
  // The label maps of frames [from, to) written under `name`.
  static std::vector<std::string> maps(const fs::path& where, const std::string& name, int from,
                                       int to) {
    std::vector<std::string> bytes;
    for (int f = from; f < to; ++f) {
      bytes.push_back(readFile(where / name / (std::to_string(f) + ".png")));
    }
    return bytes;
  }
};

TEST_F(Temporal, FiltersOnlyThePixelOutputsAndGivesOneRunsLabelsWhateverTheThreadsOrParts) {
  const fs::path where = folder("runs");
  for (const char* name : {"plain", "alpha1", "t1", "t2", "s", "c"}) {
    fs::create_directories(where / name);
  }
  const auto plain = annotate(where, {"--frames", "0:12", "--label-map", "plain/{frame}.png"});
  ASSERT_EQ(plain.status, 0) << plain.err;
  // A weight of 1 for every new frame is no filter at all.
  const auto unfiltered = annotate(where, {"--temporal", "--temporal-alpha-min", "1", "--frames",
                                           "0:12", "--label-map", "alpha1/{frame}.png"});
  ASSERT_EQ(unfiltered.status, 0) << unfiltered.err;
  EXPECT_EQ(maps(where, "alpha1", 0, 12), maps(where, "plain", 0, 12));
  EXPECT_EQ(withoutTime(unfiltered.out), withoutTime(plain.out));

  const auto one = annotate(where, {"--temporal", "--threads", "1", "--frames", "0:12",
                                    "--label-map", "t1/{frame}.png", "--json", "t1/{frame}.json"});
  const auto two = annotate(where, {"--temporal", "--threads", "2", "--frames", "0:12",
                                    "--label-map", "t2/{frame}.png", "--json", "t2/{frame}.json"});
  ASSERT_EQ(one.status, 0) << one.err;
  ASSERT_EQ(two.status, 0) << two.err;
  EXPECT_EQ(maps(where, "t1", 0, 12), maps(where, "t2", 0, 12));
  EXPECT_EQ(readFile(where / "t1" / "7.json"), readFile(where / "t2" / "7.json"));
  // The report stays per frame; the JSON says the filter made the frame.
  EXPECT_EQ(withoutTime(one.out), withoutTime(plain.out));
  const std::string json = readFile(where / "t1" / "7.json");
  for (const char* field :
       {R"("temporal": {)", R"("tau": 10.0,)", R"("alpha_min": 0.05,)", R"("warmup": 20)"}) {
    EXPECT_NE(json.find(field), std::string::npos) << field;
  }

  // The second part warms up on the frames before it: its labels are the
  // unbroken run's.
  const auto part = annotate(
      where, {"--temporal", "--frames", "0:12", "--shard", "1/2", "--label-map", "s/{frame}.png"});
  ASSERT_EQ(part.status, 0) << part.err;
  EXPECT_EQ(maps(where, "s", 6, 12), maps(where, "t1", 6, 12));
  EXPECT_FALSE(fs::exists(where / "s" / "5.png"));
  // Without the warm-up it starts cold, and the filter then differs.
  const auto cold = annotate(where, {"--temporal", "--temporal-warmup", "0", "--frames", "0:12",
                                     "--shard", "1/2", "--label-map", "c/{frame}.png"});
  ASSERT_EQ(cold.status, 0) << cold.err;
  EXPECT_EQ(maps(where, "c", 6, 7), maps(where, "alpha1", 6, 7));
}

// rovelin-summary --flicker reads the label maps beside the frame JSON and
// the video they name; the filter flickers no more than the single frames.
TEST_F(Temporal, TheSummaryMeasuresTheFlickerPerWindow) {
  const fs::path where = folder("flicker");
  fs::create_directories(where / "plain");
  fs::create_directories(where / "filtered");
  ASSERT_EQ(annotate(where, {"--frames", "0:12", "--json", "plain/{frame}.json", "--label-map",
                             "plain/{frame}.png"})
                .status,
            0);
  ASSERT_EQ(annotate(where, {"--temporal", "--frames", "0:12", "--json", "filtered/{frame}.json",
                             "--label-map", "filtered/{frame}.png"})
                .status,
            0);
  const auto plain = runTool(ROVELIN_SUMMARY_EXE, {"--flicker", "--window", "6", "plain"}, where);
  ASSERT_EQ(plain.status, 0) << plain.err;
  std::istringstream lines(plain.out);
  std::vector<std::string> rows;
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  ASSERT_EQ(rows.size(), 4u) << plain.out;
  EXPECT_EQ(rows[0], "video,first_frame,frames,static_pixels,flicker");
  EXPECT_EQ(rows[1].rfind("demo,0,6,", 0), 0u);
  EXPECT_EQ(rows[2].rfind("demo,6,6,", 0), 0u);
  EXPECT_EQ(rows[3].rfind("demo,all,12,", 0), 0u);
  const auto share = [](const std::string& row) {
    return std::stod(row.substr(row.rfind(',') + 1));
  };
  const auto filtered =
      runTool(ROVELIN_SUMMARY_EXE, {"--flicker", "--window", "12", "filtered"}, where);
  const auto unfiltered =
      runTool(ROVELIN_SUMMARY_EXE, {"--flicker", "--window", "12", "plain"}, where);
  ASSERT_EQ(filtered.status, 0) << filtered.err;
  EXPECT_LE(share(filtered.out.substr(0, filtered.out.size() - 1)),
            share(unfiltered.out.substr(0, unfiltered.out.size() - 1)));
  // A frame whose label map is missing is named, and the status says so.
  fs::remove(where / "plain" / "3.png");
  const auto missing = runTool(ROVELIN_SUMMARY_EXE, {"--flicker", "plain"}, where);
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("3.png"), std::string::npos) << missing.err;
}

TEST_F(Temporal, RefusesFramesThatDoNotFollowOneAnother) {
  const fs::path where = folder("refusals");
  const auto stepped = annotate(where, {"--temporal", "--frames", "0:12:2"});
  EXPECT_EQ(stepped.status, 2);
  EXPECT_EQ(stepped.err,
            "Error : --temporal needs frames that follow one another, such as 100:200; the list "
            "goes from frame 0 to 2!\n");
  const auto everyOther = annotate(where, {"--temporal", "--frames", "0::2"});
  EXPECT_EQ(everyOther.status, 2);
  EXPECT_EQ(annotate(where, {"--temporal-tau", "3"}).status, 2);
}

}  // namespace
}  // namespace rovelin
