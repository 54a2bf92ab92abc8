// SPDX-License-Identifier: Apache-2.0
#include "labels/region_outlines.hpp"
#include "labels/coco.hpp"
#include "labels/labelme.hpp"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

namespace rovelin {
namespace {

// Paints the outlines in order, as the tools do, later over earlier.
cv::Mat painted(const std::vector<RegionOutline>& outlines, cv::Size size, OutlinePoints where) {
  if (where == OutlinePoints::Centres) {
    std::vector<std::pair<int, std::vector<cv::Point>>> shapes;
    for (const RegionOutline& o : outlines) shapes.emplace_back(o.region + 1, o.points);
    cv::Mat map = paintCentrePolygons(size, shapes);
    return map - 1;
  }
  cv::Mat map(size, CV_32SC1, cv::Scalar(-1));
  for (const RegionOutline& o : outlines) {
    std::vector<cv::Point2d> corners(o.points.begin(), o.points.end());
    cv::Mat mask(size, CV_8UC1, cv::Scalar(0));
    fillPolygonByCentres(mask, corners);
    map.setTo(o.region, mask);
  }
  return map;
}

int differing(const cv::Mat& a, const cv::Mat& b) { return cv::countNonZero(a != b); }

TEST(RegionOutlines, PaintedInOrderTheyGiveBackEveryPiece) {
  // A ring (1) around a block (2), a pixel (3) and background (0) in its
  // hole; two pixels (4) that touch only at a corner; a line (5).
  cv::Mat index(10, 12, CV_32SC1, cv::Scalar(0));
  index(cv::Rect(1, 1, 8, 6)).setTo(1);
  index(cv::Rect(3, 3, 4, 2)).setTo(0);
  index(cv::Rect(3, 3, 2, 2)).setTo(2);
  index.at<int>(3, 6) = 3;
  index.at<int>(0, 10) = 4;
  index.at<int>(1, 11) = 4;
  index(cv::Rect(2, 9, 6, 1)).setTo(5);
  for (const OutlinePoints where : {OutlinePoints::Corners, OutlinePoints::Centres}) {
    const auto outlines = regionOutlines(index, 6, where, 0.0, 10'000);
    // Region 0 three times (outside, in the hole, the corner the pixels of 4
    // cut off), region 4 twice.
    EXPECT_EQ(outlines.size(), 9u);
    EXPECT_EQ(differing(painted(outlines, index.size(), where), index), 0);
    for (const RegionOutline& o : outlines) EXPECT_GE(o.points.size(), 3u);
  }

  // Noise: many pieces, holes inside holes, pieces touching at corners.
  cv::RNG rng(7);
  for (int trial = 0; trial < 20; ++trial) {
    cv::Mat small(6 + trial % 5, 8 + trial % 3, CV_32SC1);
    rng.fill(small, cv::RNG::UNIFORM, 0, 4);
    cv::Mat noise(40, 50, CV_32SC1);
    cv::resize(small, noise, noise.size(), 0, 0, cv::INTER_NEAREST);
    for (int i = 0; i < 200; ++i) noise.at<int>(rng.uniform(0, 40), rng.uniform(0, 50)) = i % 4;
    for (const OutlinePoints where : {OutlinePoints::Corners, OutlinePoints::Centres}) {
      const auto exact = regionOutlines(noise, 4, where, 0.0, 10'000);
      EXPECT_EQ(differing(painted(exact, noise.size(), where), noise), 0) << trial;
      // Simplified, they stray only near the outlines, and keep to the cap.
      const auto rough = regionOutlines(noise, 4, where, 1.0, 12);
      EXPECT_LT(differing(painted(rough, noise.size(), where), noise), 1000) << trial;
      for (const RegionOutline& o : rough) EXPECT_LE(o.points.size(), 12u);
    }
  }
}

TEST(Labelme, ShapesNameTheClassesAndTheMismatchIsCounted) {
  RegionLabels frame{3, cv::Mat(8, 10, CV_32SC1, cv::Scalar(0)), {0, 1, -1}};
  frame.regionIndex(cv::Rect(2, 2, 5, 4)).setTo(1);
  frame.regionIndex.at<int>(3, 4) = 2;  // no class, inside the block: its shape covers it
  const LabelmeFile file = writeLabelmeJson(frame, {"sky", "car"}, "3.png", 0.0);
  EXPECT_DOUBLE_EQ(file.mismatch, 1.0 / 80);
  EXPECT_NE(file.json.find("\"version\": \"5.1.1\""), std::string::npos);
  EXPECT_NE(file.json.find("\"label\": \"car\""), std::string::npos);
  EXPECT_NE(file.json.find("\"shape_type\": \"polygon\""), std::string::npos);
  EXPECT_NE(
      file.json.find("\"imagePath\": \"3.png\",\n  \"imageData\": null,\n  \"imageHeight\": 8,"
                     "\n  \"imageWidth\": 10"),
      std::string::npos)
      << file.json;
  // The block's outline, through the centres of its border pixels.
  EXPECT_NE(file.json.find("[\n          2,\n          2\n        ],\n        [\n          6,\n"
                           "          2\n        ]"),
            std::string::npos)
      << file.json;
}

}  // namespace
}  // namespace rovelin
