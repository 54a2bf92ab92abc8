// SPDX-License-Identifier: Apache-2.0
#include "pipeline/region_extraction.hpp"

#include "segmentation/rand_sequence.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <numeric>
#include <optional>
#include <set>
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

// 24 x 24 flat tiles of 4 x 4 pixels, each of its own colour: with these
// parameters every tile is one component, 576 in all.
cv::Mat tileFrame() {
  cv::Mat frame(96, 96, CV_8UC3);
  RandSequence tiles(7);
  for (int ty = 0; ty < 24; ++ty) {
    for (int tx = 0; tx < 24; ++tx) {
      const int r = tiles.next() & 255, g = tiles.next() & 255, b = tiles.next() & 255;
      frame(cv::Rect(tx * 4, ty * 4, 4, 4)).setTo(cv::Scalar(b, g, r));
    }
  }
  return frame;
}

TEST_F(ExtractRegions, ComponentsThatDrewOneColourStayApartInBothPaths) {
  const cv::Mat frame = tileFrame();
  const SegmentationParams params{.sigma = 0.0f, .k = 1.0f, .minSize = 1};
  // From seed 79 two of the 576 tiles draw the same colour.
  const auto run = [&](bool workFiles) {
    {
      const std::lock_guard<std::mutex> lock(colourSequenceMutex());
      colourSequence().reseed(79);
    }
    return extractRegions(frame, {.segmentation = params,
                                  .descriptor = DescriptorKind::Covariance,
                                  .workDir = workFiles ? std::optional(dir_) : std::nullopt,
                                  .turn = nullptr});
  };
  const Extraction single = run(true);
  const Extraction batch = run(false);
  {
    const std::lock_guard<std::mutex> lock(colourSequenceMutex());
    colourSequence().reseed(1);
  }

  std::set<int> colours;
  for (auto it = single.segmented.begin<cv::Vec3b>(); it != single.segmented.end<cv::Vec3b>();
       ++it) {
    colours.insert((*it)[0] | (*it)[1] << 8 | (*it)[2] << 16);
  }
  ASSERT_EQ(colours.size(), 575u);
  EXPECT_EQ(single.segmentationLine.rfind("Number of segments = 576 ;", 0), 0u);
  const cv::Mat written = cv::imread((dir_ / "outimage.ppm").string(), cv::IMREAD_COLOR);
  EXPECT_EQ(cv::norm(written, single.segmented, cv::NORM_INF), 0.0);

  for (const Extraction* e : {&single, &batch}) {
    EXPECT_EQ(e->regions.count, 576);
    EXPECT_EQ(e->regions.segmentCount, 576);
    // Tiles in raster order: region i is tile i.
    for (int y = 0; y < 96; ++y) {
      for (int x = 0; x < 96; ++x) {
        ASSERT_EQ(e->regions.indexImage.at<std::int32_t>(y, x), y / 4 * 24 + x / 4)
            << x << "," << y;
      }
    }
    EXPECT_EQ(std::set<int>(e->regions.pixelCounts.begin(), e->regions.pixelCounts.end()),
              std::set<int>{16});
  }
  EXPECT_EQ(cv::norm(single.segmented, batch.segmented, cv::NORM_INF), 0.0);
}

}  // namespace
}  // namespace rovelin
