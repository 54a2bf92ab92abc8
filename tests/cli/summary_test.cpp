// SPDX-License-Identifier: Apache-2.0
// rovelin-summary on a tree written by real batch runs: the CSV table and
// the completeness check against a manifest.
#include "support/tool_runner.hpp"
#include "tools/frame_summary.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>

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

void writeFrameJson(const fs::path& file, const std::string& video, int frame,
                    const std::vector<std::pair<std::string, int>>& regions, double uncertainty,
                    double factor = 1) {
  nlohmann::json doc = {{"video", video},
                        {"factor", factor},
                        {"frame", frame},
                        {"segment_count", regions.size()},
                        {"uncertainty", uncertainty},
                        {"classes", nlohmann::json::array()},
                        {"regions", nlohmann::json::array()}};
  for (const auto& [name, pixels] : regions) {
    if (std::find(doc["classes"].begin(), doc["classes"].end(), name) == doc["classes"].end())
      doc["classes"].push_back(name);
    doc["regions"].push_back({{"class", name}, {"pixel_count", pixels}});
  }
  doc["least_certain_class"] = regions.back().first;
  fs::create_directories(file.parent_path());
  std::ofstream(file) << doc.dump();
}

// Rows are ordered by video, path and frame however the files lie in the
// folders, and the class columns follow that order, not the files'.
TEST(Summary, ATreeSpreadOverFoldersGivesTheTableInVideoAndFrameOrder) {
  TempDir dir;
  const fs::path out = dir / "out";
  writeFrameJson(out / "a" / "10.json", "z.avi", 10, {{"tree", 3}, {"sky", 1}}, 0.5);
  writeFrameJson(out / "a" / "2.json", "z.avi", 2, {{"tree", 4}}, 0.9);
  writeFrameJson(out / "b" / "2.json", "cam2/m.avi", 2, {{"road", 1}, {"sky", 1}}, 0.9);
  writeFrameJson(out / "b" / "x" / "1.json", "cam1/m.avi", 1, {{"sky", 2}}, 0.7);
  writeFrameJson(out / "c" / "10.json", "cam1/m.avi", 10, {{"sky", 1}, {"road", 3}}, 0.2);
  writeFrameJson(out / "c" / "2.json", "cam1/m.avi", 2, {{"sky", 1}, {"road", 1}}, 0.9);
  writeFrameJson(out / "d" / "2.json", "cam1/m.avi", 2, {{"sky", 5}}, 0.1);
  writeFrameJson(out / "e" / "3.json", "cam1/m.avi", 3, {{"sky", 5}}, 0.8, 0.5);
  // Frame 2^32 + 2 is not frame 2.
  fs::create_directory(out / "f");
  std::ofstream(out / "f" / "2.json")
      << R"({"video": "z.avi", "factor": 1, "frame": 4294967298, "segment_count": 1,)"
      << R"( "classes": ["tree"], "regions": [{"class": "tree", "pixel_count": 1}]})";
  std::ofstream(dir / "manifest") << "cam1/m.avi 1 0:12\nz.avi 1 2,10\n";

  const auto table =
      runTool(kSummary, {"--manifest", "manifest", "-o", "t.csv", "out"}, dir.path());
  EXPECT_EQ(table.status, 1);
  EXPECT_EQ(readFile(dir / "t.csv"),
            "video,frame,segment_count,sky,road,tree\n"
            "m,1,1,1.000000,0.000000,0.000000\n"
            "m,2,2,0.500000,0.500000,0.000000\n"
            "m,3,1,1.000000,0.000000,0.000000\n"
            "m,10,2,0.250000,0.750000,0.000000\n"
            "m,2,2,0.500000,0.500000,0.000000\n"
            "z,2,1,0.000000,0.000000,1.000000\n"
            "z,10,2,0.250000,0.000000,0.750000\n");
  EXPECT_EQ(table.err,
            "Error : unreadable frame file \"out/f/2.json\": \"frame\" is out of range!\n"
            "Warning : frame 2 of m is in both \"out/c/2.json\" and \"out/d/2.json\"; the "
            "first is used\n"
            "Error : cam1/m.avi (m): 9 of 12 frames missing: 0, 3-9, 11!\n"
            "Error : \"out/e/3.json\" was made from \"cam1/m.avi\" at factor 0.5, not from "
            "manifest line 1!\n");
  const auto suggested =
      runTool(kSummary, {"-q", "--suggest", "3", "--min-gap", "1", "out"}, dir.path());
  EXPECT_EQ(suggested.out, "m 2 0.9000 road\nz 2 0.9000 tree\nm 3 0.8000 sky\n");
}

// Far more records than fit in memory: sorted runs in a temporary file,
// merged in more than one round, come back in order, the first of two
// records of one frame kept, and the file has no name in the folder.
TEST(Summary, RecordsBeyondTheMemoryBudgetComeBackInOrder) {
  TempDir dir;
  const char* const saved = std::getenv("TMPDIR");
  const std::string savedText = saved != nullptr ? saved : "";
  ::setenv("TMPDIR", dir.path().c_str(), 1);
  SortedFrameRecords sorted(600);  // a few records per run
  std::vector<FrameRecord> records;
  std::mt19937 random(7);
  for (int i = 0; i < 3000; ++i) {
    FrameRecord r;
    const std::string video = std::string(1, 'v') += std::to_string(random() % 4);
    r.videoPath = (std::string("cam") += std::to_string(random() % 3)) + "/" + video + ".avi";
    r.video = video;
    r.frame = static_cast<int>(random() % 400);
    r.segmentCount = i;
    r.classes = {i % 2 ? "sky" : "road", "car"};
    r.classPixels = {i, 2 * i};
    if (i % 3) r.factor = 0.5;
    if (i % 5) r.uncertainty = i / 3000.0;
    r.file = std::to_string(i) + ".json";
    sorted.add(r);
    records.push_back(r);
  }
  std::stable_sort(records.begin(), records.end(), [](const FrameRecord& a, const FrameRecord& b) {
    if (a.video != b.video) return a.video < b.video;
    return a.videoPath != b.videoPath ? a.videoPath < b.videoPath : a.frame < b.frame;
  });
  std::vector<FrameRecord> unique;
  for (const FrameRecord& r : records) {
    if (unique.empty() || unique.back().videoPath != r.videoPath || unique.back().frame != r.frame)
      unique.push_back(r);
  }
  std::size_t at = 0, duplicates = 0;
  bool same = true;
  sorted.forEach(
      [&](const FrameRecord& r) {
        ASSERT_LT(at, unique.size());
        const FrameRecord& e = unique[at++];
        same = same && r.file == e.file && r.video == e.video && r.videoPath == e.videoPath &&
               r.frame == e.frame && r.segmentCount == e.segmentCount && r.classes == e.classes &&
               r.classPixels == e.classPixels && r.factor == e.factor &&
               r.uncertainty == e.uncertainty;
        EXPECT_TRUE(fs::is_empty(dir.path()));
      },
      [&](const FrameRecord& kept, const FrameRecord& left) {
        ++duplicates;
        EXPECT_EQ(kept.frame, left.frame);
      });
  if (saved != nullptr) {
    ::setenv("TMPDIR", savedText.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  EXPECT_TRUE(same);
  EXPECT_EQ(at, unique.size());
  EXPECT_EQ(duplicates, records.size() - unique.size());
  EXPECT_GT(sorted.runsWritten(), 64u);  // more runs than one merge takes
}

}  // namespace
}  // namespace rovelin
