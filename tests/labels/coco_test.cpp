// SPDX-License-Identifier: Apache-2.0
#include "labels/coco.hpp"
#include "labels/rle.hpp"

#include <nlohmann/json.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

namespace rovelin {
namespace {

using ::testing::HasSubstr;

// Decodes compressed counts as the format describes them, independently of
// the reader under test: 5-bit groups, least significant first, +48, 0x20
// continues, 0x10 of the last group is the sign; from the fourth count on
// the count two places back is added.
std::vector<long long> referenceDecode(const std::string& s) {
  std::vector<long long> counts;
  std::size_t i = 0;
  while (i < s.size()) {
    long long value = 0;
    int shift = 0;
    int group = 0;
    do {
      group = s[i++] - 48;
      value += static_cast<long long>(group & 0x1f) << shift;
      shift += 5;
    } while (group & 0x20);
    if (group & 0x10) value -= 1LL << shift;
    if (counts.size() >= 3) value += counts[counts.size() - 2];
    counts.push_back(value);
  }
  return counts;
}

std::vector<ClassEntry> classes() {
  return readClassList(std::string("sky\ngrass\ncar\n"), "list");
}

// An asymmetric 7x5 frame (5 rows): region 0 the top row and the left
// column, region 1 a 2x3 block, region 2 the rest, region 3 unlabelled.
RegionLabels frame() {
  RegionLabels f{12, cv::Mat(5, 7, CV_32SC1, cv::Scalar(2)), {0, 2, 1, -1}};
  f.regionIndex.row(0).setTo(0);
  f.regionIndex.col(0).setTo(0);
  f.regionIndex(cv::Rect(3, 1, 3, 2)).setTo(1);
  f.regionIndex.at<int>(4, 6) = 3;
  return f;
}

TEST(Coco, WrittenMasksDecodeColumnMajorAndReadBack) {
  const RegionLabels f = frame();
  const std::string text = writeCocoJson({f}, {"sky", "grass", "car"});
  const auto doc = nlohmann::json::parse(text);
  ASSERT_EQ(doc["images"].size(), 1u);
  EXPECT_EQ(doc["images"][0]["file_name"], "frame_000012.png");
  EXPECT_EQ(doc["images"][0]["width"], 7);
  EXPECT_EQ(doc["categories"][2]["name"], "car");
  ASSERT_EQ(doc["annotations"].size(), 3u);  // the unlabelled region has none
  for (const auto& a : doc["annotations"]) {
    EXPECT_EQ(a["iscrowd"], 1);
    EXPECT_EQ(a["image_id"], 12);
    EXPECT_EQ(a["segmentation"]["size"], nlohmann::json({5, 7}));
    // Column-major over the frame: pixel (x, y) is index x * 5 + y.
    const auto counts = referenceDecode(a["segmentation"]["counts"].get<std::string>());
    cv::Mat mask(5, 7, CV_8UC1, cv::Scalar(0));
    long long at = 0;
    for (std::size_t k = 0; k < counts.size(); ++k) {
      for (long long p = at; k % 2 == 1 && p < at + counts[k]; ++p)
        mask.at<unsigned char>(static_cast<int>(p % 5), static_cast<int>(p / 5)) = 1;
      at += counts[k];
    }
    EXPECT_LE(at, 35);
    const int region = a["category_id"] == 1 ? 0 : a["category_id"] == 2 ? 2 : 1;
    EXPECT_EQ(cv::countNonZero((f.regionIndex == region) != (mask * 255)), 0) << a.dump();
    EXPECT_EQ(a["area"], cv::countNonZero(mask));
  }
  EXPECT_EQ(doc["annotations"][1]["bbox"], nlohmann::json({3, 1, 3, 2}));

  std::istringstream in(text);
  const auto back = readCocoJson(in, "run.json", classes(), {{7, 5}}, false);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].frame, 12);
  cv::Mat expected(5, 7, CV_32SC1, cv::Scalar(0));
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 7; ++x) {
      const int r = f.regionIndex.at<int>(y, x);
      expected.at<int>(y, x) = f.regionClass[static_cast<std::size_t>(r)] + 1;
    }
  EXPECT_EQ(cv::countNonZero(back[0].classNumbers != expected), 0);

  EXPECT_EQ(compressCocoRuns({1, 2, 2, 1}), "122O");
  EXPECT_EQ(decompressCocoRuns("122O", "s"), (std::vector<std::int64_t>{1, 2, 2, 1}));
  const std::vector<std::int64_t> big{0, 70000, 3, 69990, 1000000, 5};
  EXPECT_EQ(decompressCocoRuns(compressCocoRuns(big), "s"), big);
}

TEST(Coco, PolygonsIntegerCountsAndBadFiles) {
  const std::string head = R"({"images": [{"id": 3, "file_name": "x.png", "width": 4, "height": 3}],
      "categories": [{"id": 7, "name": "grass"}, {"id": 9, "name": "tree"}], "annotations": [)";
  const auto read = [&](const std::string& annotations, bool ignore = false) {
    std::istringstream in(head + annotations + "]}");
    return readCocoJson(in, "'c.json'", classes(), {{4, 3}}, ignore);
  };
  // Integer counts, then a polygon over the right half painted on top.
  const auto frames = read(R"({"image_id": 3, "category_id": 7, "iscrowd": 1,
      "segmentation": {"size": [3, 4], "counts": [1, 2, 9]}},
      {"image_id": 3, "category_id": 9, "segmentation": [[2, 0, 4, 0, 4, 3, 2, 3]]})",
                           true);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].frame, 3);
  const cv::Mat& m = frames[0].classNumbers;
  EXPECT_EQ(m.at<int>(1, 0), 2);
  EXPECT_EQ(m.at<int>(2, 0), 2);
  EXPECT_EQ(m.at<int>(0, 0), 0);
  EXPECT_EQ(cv::countNonZero(m), 2);  // tree is skipped, not painted as none

  const auto bad = [&](const std::string& annotations, const std::string& problem,
                       bool ignore = true) {
    try {
      read(annotations, ignore);
      ADD_FAILURE() << "accepted " << annotations;
    } catch (const LabelMapError& e) {
      EXPECT_THAT(e.what(), HasSubstr("c.json"));
      EXPECT_THAT(e.what(), HasSubstr(problem));
    }
  };
  bad(R"({"image_id": 3, "category_id": 7, "segmentation": {"size": [3, 4], "counts": [1, 2]}})",
      "add up to 3, not the 12 pixels");
  bad(R"({"image_id": 3, "category_id": 7, "segmentation": {"size": [4, 3], "counts": [12]}})",
      "other than the frame's [3, 4]");
  bad(R"({"image_id": 3, "category_id": 7, "segmentation": {"size": [3, 4], "counts": "1~"}})",
      "outside");
  bad(R"({"image_id": 3, "category_id": 7, "segmentation": [[0, 0, 5, 0, 0, 3]]})",
      "outside the frame");
  bad(R"({"image_id": 4, "category_id": 7, "segmentation": []})", "not listed");
  bad(R"({"image_id": 3, "category_id": 9, "segmentation": []})", "\"tree\" is not in the class",
      false);
  std::istringstream cut(head);
  EXPECT_THROW(readCocoJson(cut, "c", classes(), {{4, 3}}, false), LabelMapError);
  std::istringstream twice(R"({"images": [{"id": 1, "file_name": "frame_000005.png", "width": 4,
      "height": 3}, {"id": 5, "width": 4, "height": 3}], "categories": [], "annotations": []})");
  EXPECT_THROW(readCocoJson(twice, "c", classes(), {{4, 3}}, false), LabelMapError);
}

}  // namespace
}  // namespace rovelin
