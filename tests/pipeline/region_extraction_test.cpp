// SPDX-License-Identifier: Apache-2.0
#include "pipeline/region_extraction.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <string>

namespace rovelin {
namespace {

class ExtractRegions : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "rovelin-features-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path dir_;
};

cv::Mat twoColourFrame() {
  cv::Mat frame(30, 40, CV_8UC3, cv::Scalar(20, 40, 200));
  frame(cv::Rect(0, 15, 40, 15)).setTo(cv::Scalar(220, 180, 10));
  return frame;
}

TEST_F(ExtractRegions, SegmentsThroughTheTwoFilesAndDescribesTheRegions) {
  const cv::Mat frame = twoColourFrame();
  const Extraction extraction = extractRegions(frame, {.segmentation = {},
                                                       .descriptor = DescriptorKind::Covariance,
                                                       .workDir = dir_,
                                                       .turn = nullptr});
  const RegionSet& regions = extraction.regions;
  const ExtractTimings& timings = extraction.timings;

  EXPECT_TRUE(std::filesystem::exists(dir_ / "inpimage.ppm"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "outimage.ppm"));
  EXPECT_EQ(extraction.segmentationLine.rfind("Number of segments = ", 0), 0u);
  const cv::Mat segmented = cv::imread((dir_ / "outimage.ppm").string(), cv::IMREAD_COLOR);
  EXPECT_EQ(cv::norm(segmented, extraction.segmented, cv::NORM_INF), 0.0);
  const cv::Mat written = cv::imread((dir_ / "inpimage.ppm").string(), cv::IMREAD_COLOR);
  EXPECT_EQ(cv::norm(written, frame, cv::NORM_INF), 0.0);

  ASSERT_GE(regions.count, 1);
  EXPECT_EQ(regions.size, frame.size());
  EXPECT_EQ(regions.planeCount, 10);
  EXPECT_EQ(std::accumulate(regions.pixelCounts.begin(), regions.pixelCounts.end(), 0), 1200);
  EXPECT_EQ(static_cast<int>(regions.statistics.size()), regions.count);
  EXPECT_EQ(regions.eccentricity.size(), regions.count);
  for (const auto& s : regions.statistics) EXPECT_TRUE(s.covariance.allFinite());
  EXPECT_GE(timings.segmentation, 0.0);
  EXPECT_GE(timings.regions, 0.0);
}

TEST_F(ExtractRegions, RefusesBadArgumentsAndReportsUnwritableFiles) {
  const cv::Mat frame = twoColourFrame();
  EXPECT_THROW(extractRegions(cv::Mat(4, 4, CV_8UC1), {.segmentation = {},
                                                       .descriptor = DescriptorKind::Covariance,
                                                       .workDir = dir_,
                                                       .turn = nullptr}),
               std::invalid_argument);
  EXPECT_THROW(extractRegions(cv::Mat(), {.segmentation = {},
                                          .descriptor = DescriptorKind::Covariance,
                                          .workDir = dir_,
                                          .turn = nullptr}),
               std::invalid_argument);

  // A directory that does not exist cannot be written, not even by root.
  const std::filesystem::path missing = dir_ / "missing" / "deeper";
  try {
    extractRegions(frame, {.segmentation = {},
                           .descriptor = DescriptorKind::Covariance,
                           .workDir = missing,
                           .turn = nullptr});
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find((missing / "inpimage.ppm").string()), std::string::npos)
        << e.what();
  }
}

}  // namespace
}  // namespace rovelin
