// SPDX-License-Identifier: Apache-2.0
// rovelin-summary on a tree written by real batch runs: the CSV table and
// the completeness check against a manifest.
#include "support/tool_runner.hpp"

#include <gtest/gtest.h>

namespace rovelin {
namespace {

using test_support::readFile;
using test_support::runTool;
using test_support::TempDir;
namespace fs = std::filesystem;

const std::string kRovelin = ROVELIN_EXE;
const std::string kSummary = ROVELIN_SUMMARY_EXE;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

TEST(Summary, TablesEveryFrameAndNamesWhatIsMissingOrUnreadable) {
  TempDir dir;
  for (const char* video : {"a.avi", "b,c.avi"}) {
    test_support::writeVideo(dir / video, 3, cv::Size(48, 36),
                             [](int i) { return test_support::blockFrame(i, cv::Size(48, 36)); });
  }
  test_support::writeModelFile(dir / "model.txt", {"sky", "road"});
  fs::create_directory(dir / "out");
  for (const char* video : {"a.avi", "b,c.avi"}) {
    const auto run = runTool(kRovelin,
                             {"--no-gui", "--frames", "0:3", "--json", "out/{video}/{frame}.json",
                              video, "0", "1", "model.txt"},
                             dir.path());
    ASSERT_EQ(run.status, 0) << run.err;
  }
  std::ofstream(dir / "manifest") << "# video factor frames\n\n"
                                  << "a.avi 1 0:3\n  b,c.avi 1 all\n";

  const auto complete =
      runTool(kSummary, {"--manifest", "manifest", "-o", "table.csv", "out"}, dir.path());
  ASSERT_EQ(complete.status, 0) << complete.err;
  EXPECT_EQ(complete.err, "");
  const auto rows = lines(readFile(dir / "table.csv"));
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[0], "video,frame,segment_count,sky,road");
  EXPECT_EQ(rows[1].rfind("a,0,", 0), 0u) << rows[1];
  EXPECT_EQ(rows[6].rfind("b_c,2,", 0), 0u) << rows[6];
  for (std::size_t r = 1; r < rows.size(); ++r) {
    // The shares of one frame's labelled pixels add up to one.
    std::istringstream row(rows[r]);
    std::string video, frame, segments, sky, road;
    std::getline(row, video, ',');
    std::getline(row, frame, ',');
    std::getline(row, segments, ',');
    std::getline(row, sky, ',');
    std::getline(row, road, ',');
    EXPECT_NEAR(std::stod(sky) + std::stod(road), 1.0, 2e-6) << rows[r];
    EXPECT_EQ(sky.size(), 8u) << rows[r];
  }

  // An unfinished archive: a frame missing, a file cut short, and a
  // temporary file of an unfinished write, which is not an output.
  fs::remove(dir / "out" / "a" / "1.json");
  const std::string text = readFile(dir / "out" / "b_c" / "2.json");
  std::ofstream(dir / "out" / "b_c" / "2.json") << text.substr(0, text.size() / 2);
  std::ofstream(dir / "out" / "a" / ".1.tmp123-0.json") << "{";
  const auto incomplete = runTool(kSummary, {"--manifest", "manifest", "out"}, dir.path());
  EXPECT_EQ(incomplete.status, 1);
  EXPECT_EQ(incomplete.err,
            "Error : unreadable frame file \"out/b_c/2.json\": not valid JSON!\n"
            "Error : a.avi (a): 1 of 3 frames missing: 1!\n"
            "Error : b,c.avi (b_c): 1 of 3 frames missing: 2!\n");
  EXPECT_EQ(lines(incomplete.out).size(), 5u);

  std::ofstream(dir / "bad manifest") << "a.avi 1\n";
  const auto bad = runTool(kSummary, {"--manifest", "bad manifest", "out"}, dir.path());
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err,
            "Error : manifest \"bad manifest\" line 1: expected three fields VIDEO "
            "FACTOR FRAMES!\n");
  EXPECT_EQ(runTool(kSummary, {"missing-folder"}, dir.path()).status, 2);
  EXPECT_EQ(runTool(kSummary, {"--bogus", "out"}, dir.path()).status, 2);
}

}  // namespace
}  // namespace rovelin
