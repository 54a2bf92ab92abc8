// SPDX-License-Identifier: Apache-2.0
#include "features/region_set.hpp"
#include "util/parallel.hpp"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <array>
#include <cstdint>
#include <vector>

namespace rovelin {
namespace {

cv::Mat labels(int rows, int cols, std::initializer_list<std::int32_t> codes) {
  cv::Mat image(rows, cols, CV_32SC1);
  std::copy(codes.begin(), codes.end(), image.begin<std::int32_t>());
  return image;
}

std::vector<cv::Mat> randomPlanes(cv::Size size, unsigned seed, int count = 10) {
  cv::RNG rng(seed);
  std::vector<cv::Mat> planes(count);
  for (auto& plane : planes) {
    plane.create(size, CV_32FC1);
    rng.fill(plane, cv::RNG::UNIFORM, 0.0f, 1.0f);
  }
  return planes;
}

std::vector<cv::Mat> constantPlanes(cv::Size size, float value = 0.25f) {
  std::vector<cv::Mat> planes;
  for (int p = 0; p < 10; ++p) planes.emplace_back(size, CV_32FC1, cv::Scalar(value + p));
  return planes;
}

bool finite(const CovarianceDescriptor& d) {
  return d.covariance.allFinite() && d.inverseSqrt.allFinite();
}

TEST(RegionSet, NumbersRegionsInRasterOrderOfTheirFirstPixel) {
  const cv::Mat codes = labels(3, 4, {5, 5, 7, 7, 9, 5, 7, 3, 9, 9, 3, 3});
  const RegionSet regions = buildRegionSet(randomPlanes(codes.size(), 1), codes);
  ASSERT_EQ(regions.count, 4);
  EXPECT_EQ(regions.size, cv::Size(4, 3));
  EXPECT_EQ(regions.planeCount, 10);
  ASSERT_EQ(regions.indexImage.type(), CV_32SC1);
  const std::vector<int> expectedIndex = {0, 0, 1, 1, 2, 0, 1, 3, 2, 2, 3, 3};
  EXPECT_TRUE(std::equal(expectedIndex.begin(), expectedIndex.end(),
                         regions.indexImage.begin<std::int32_t>()));
  EXPECT_EQ(regions.pixelCounts, (std::vector<int>{3, 3, 3, 3}));
  EXPECT_EQ(regions.boxes,
            (std::vector<cv::Rect>{{0, 0, 2, 2}, {2, 0, 2, 2}, {0, 1, 2, 2}, {2, 1, 2, 2}}));
  ASSERT_EQ(regions.statistics.size(), 4u);
  for (const auto& s : regions.statistics) EXPECT_EQ(s.sampleCount, 3);

  const cv::Mat mask = regions.mask(2);
  ASSERT_EQ(mask.type(), CV_8UC1);
  EXPECT_EQ(cv::countNonZero(mask), 3);
  EXPECT_EQ(mask.at<std::uint8_t>(1, 0), 255);
  EXPECT_EQ(mask.at<std::uint8_t>(2, 1), 255);
  EXPECT_EQ(mask.at<std::uint8_t>(1, 1), 0);
  EXPECT_THROW(regions.mask(4), std::out_of_range);
  EXPECT_THROW(regions.mask(-1), std::out_of_range);

  // Disjoint masks: the overlap matrix is n × n with nothing stored.
  EXPECT_EQ(regions.overlap.rows(), 4);
  EXPECT_EQ(regions.overlap.cols(), 4);
  EXPECT_EQ(regions.overlap.nonZeros(), 0);
  EXPECT_EQ(regions.overlap.coeff(0, 1), 0.0);

  const RegionSet copy = regions;
  EXPECT_EQ(copy.indexImage.data, regions.indexImage.data);
}

TEST(RegionSet, DescriptorsComeFromTheRegionsSamplesInRasterOrder) {
  cv::Mat codes(9, 11, CV_32SC1);
  for (int y = 0; y < codes.rows; ++y)
    for (int x = 0; x < codes.cols; ++x) codes.at<std::int32_t>(y, x) = (x * x + 3 * y) % 4 * 1000;
  const auto planes = randomPlanes(codes.size(), 2);
  const RegionSet regions = buildRegionSet(planes, codes);
  ASSERT_EQ(regions.count, 4);
  for (int i = 0; i < regions.count; ++i) {
    Eigen::MatrixXd samples(10, regions.pixelCounts[i]);
    int k = 0;
    for (int y = 0; y < codes.rows; ++y)
      for (int x = 0; x < codes.cols; ++x)
        if (regions.indexImage.at<std::int32_t>(y, x) == i) {
          for (int p = 0; p < 10; ++p) samples(p, k) = planes[p].at<float>(y, x);
          ++k;
        }
    ASSERT_EQ(k, regions.pixelCounts[i]);
    CovarianceDescriptor naive;
    naive.computeFromSamples(samples);
    EXPECT_EQ(regions.statistics[i].sampleCount, k);
    EXPECT_TRUE(regions.statistics[i].covariance.isApprox(naive.covariance, 1e-14)) << i;
    EXPECT_TRUE(finite(regions.statistics[i]));
  }
  EXPECT_EQ(regions.regularizedCount, 0);

  // Splitting the regions among workers changes nothing.
  for (int threads : {1, 3, 7}) {
    setThreadCount(threads);
    const RegionSet again = buildRegionSet(planes, codes);
    setThreadCount(0);
    for (int i = 0; i < regions.count; ++i)
      EXPECT_EQ(again.statistics[i].covariance, regions.statistics[i].covariance)
          << threads << " " << i;
  }

  std::vector<cv::Mat> wrong = planes;
  wrong[3] = cv::Mat(9, 10, CV_32FC1, cv::Scalar(0));
  EXPECT_THROW(buildRegionSet(wrong, codes), std::invalid_argument);
  EXPECT_THROW(buildRegionSet(planes, cv::Mat(9, 11, CV_32FC1, cv::Scalar(0))),
               std::invalid_argument);
  EXPECT_THROW(buildRegionSet({}, codes), std::invalid_argument);
}

TEST(RegionSet, DegenerateRegionsGetFiniteRegularizedDescriptors) {
  // A one-pixel region inside a flat region.
  const cv::Mat codes = labels(3, 3, {1, 1, 1, 1, 2, 1, 1, 1, 1});
  RegionSet regions = buildRegionSet(randomPlanes(codes.size(), 3), codes);
  ASSERT_EQ(regions.count, 2);
  EXPECT_EQ(regions.pixelCounts[1], 1);
  EXPECT_TRUE(regions.statistics[1].regularized);
  EXPECT_TRUE(finite(regions.statistics[1]));
  EXPECT_EQ(regions.eccentricity[1], 0.0);
  EXPECT_EQ(regions.moments[1].m00, 1.0);
  EXPECT_EQ(regions.moments[1].mu20, 0.0);
  EXPECT_EQ(regions.boxes[1], cv::Rect(1, 1, 1, 1));
  EXPECT_GE(regions.regularizedCount, 1);

  // A flat region: every feature constant over it.
  regions =
      buildRegionSet(constantPlanes(cv::Size(20, 10)), cv::Mat(10, 20, CV_32SC1, cv::Scalar(4)));
  ASSERT_EQ(regions.count, 1);
  EXPECT_TRUE(regions.statistics[0].regularized);
  EXPECT_TRUE(finite(regions.statistics[0]));
  EXPECT_EQ(regions.regularizedCount, 1);
  EXPECT_TRUE(std::isfinite(regions.eccentricity[0]));
}

TEST(RegionSet, ShapeFollowsTheBinaryMomentsOfTheMask) {
  // Background 0 with a horizontal line, a vertical line, a diagonal line,
  // a square and an irregular blob.
  cv::Mat codes(40, 50, CV_32SC1, cv::Scalar(0));
  codes(cv::Rect(30, 2, 12, 1)).setTo(1);
  codes(cv::Rect(3, 5, 1, 9)).setTo(2);
  for (int k = 0; k < 7; ++k) codes.at<std::int32_t>(20 + k, 20 + k) = 3;
  codes(cv::Rect(40, 20, 5, 5)).setTo(4);
  cv::ellipse(codes, cv::Point(12, 30), cv::Size(8, 3), 30.0, 0, 360, cv::Scalar(5), cv::FILLED);
  const RegionSet regions = buildRegionSet(constantPlanes(codes.size()), codes);
  ASSERT_EQ(regions.count, 6);
  // Raster order of first pixels: background, horizontal, vertical, diagonal, square, blob.
  EXPECT_EQ(regions.eccentricity[1], 1.0);
  EXPECT_EQ(regions.eccentricity[2], 1.0);
  EXPECT_EQ(regions.eccentricity[3], 1.0);
  EXPECT_EQ(regions.eccentricity[4], 0.0);
  EXPECT_GT(regions.eccentricity[5], 0.5);
  EXPECT_LT(regions.eccentricity[5], 1.0);

  for (int i = 0; i < regions.count; ++i) {
    const cv::Moments expected = cv::moments(regions.mask(i), true);
    const cv::Moments& got = regions.moments[i];
    const double scale = expected.m00 * 2500.0;
    EXPECT_EQ(got.m00, expected.m00) << i;
    EXPECT_NEAR(got.m10, expected.m10, 1e-9 * scale) << i;
    EXPECT_NEAR(got.m01, expected.m01, 1e-9 * scale) << i;
    EXPECT_NEAR(got.m20, expected.m20, 1e-9 * scale * 50) << i;
    EXPECT_NEAR(got.m11, expected.m11, 1e-9 * scale * 50) << i;
    EXPECT_NEAR(got.m02, expected.m02, 1e-9 * scale * 50) << i;
    EXPECT_NEAR(got.m30, expected.m30, 1e-9 * scale * 2500) << i;
    EXPECT_NEAR(got.mu20, expected.mu20, 1e-6 * scale) << i;
    EXPECT_NEAR(got.mu11, expected.mu11, 1e-6 * scale) << i;
    EXPECT_NEAR(got.mu02, expected.mu02, 1e-6 * scale) << i;
    EXPECT_NEAR(got.mu30, expected.mu30, 1e-6 * scale * 50) << i;
    EXPECT_NEAR(got.mu21, expected.mu21, 1e-6 * scale * 50) << i;
    EXPECT_NEAR(got.mu12, expected.mu12, 1e-6 * scale * 50) << i;
    EXPECT_NEAR(got.mu03, expected.mu03, 1e-6 * scale * 50) << i;
    EXPECT_NEAR(got.nu20, expected.nu20, 1e-9) << i;
    EXPECT_NEAR(got.nu30, expected.nu30, 1e-9) << i;
  }
}

TEST(RegionSet, RawMomentsAreThePixelSumsExactly) {
  // Runs of random lengths across a wide picture: each row adds its runs at
  // once, which must give the integers of a pixel-by-pixel sum.
  cv::Mat codes(6, 4001, CV_32SC1);
  cv::RNG rng(3);
  for (int y = 0; y < codes.rows; ++y) {
    for (int x = 0; x < codes.cols;) {
      const int run = rng.uniform(1, 40);
      const int code = rng.uniform(0, 4);
      for (int k = 0; k < run && x < codes.cols; ++k, ++x) codes.at<std::int32_t>(y, x) = code;
    }
  }
  const RegionSet regions = buildRegionSet(constantPlanes(codes.size()), codes);
  std::vector<std::array<long double, 10>> sums(static_cast<std::size_t>(regions.count));
  for (int y = 0; y < codes.rows; ++y) {
    for (int x = 0; x < codes.cols; ++x) {
      auto& s = sums[static_cast<std::size_t>(regions.indexImage.at<std::int32_t>(y, x))];
      const long double X = x;
      const long double Y = y;
      const long double terms[10] = {1,     X,         Y,         X * X,     X * Y,
                                     Y * Y, X * X * X, X * X * Y, X * Y * Y, Y * Y * Y};
      for (int t = 0; t < 10; ++t) s[static_cast<std::size_t>(t)] += terms[t];
    }
  }
  for (int i = 0; i < regions.count; ++i) {
    const cv::Moments& m = regions.moments[static_cast<std::size_t>(i)];
    const double got[10] = {m.m00, m.m10, m.m01, m.m20, m.m11, m.m02, m.m30, m.m21, m.m12, m.m03};
    for (int t = 0; t < 10; ++t) {
      EXPECT_EQ(got[t],
                static_cast<double>(sums[static_cast<std::size_t>(i)][static_cast<std::size_t>(t)]))
          << "region " << i << ", moment " << t;
    }
  }
}

TEST(RegionSet, HoldsThousandsOfRegions) {
  // 2 × 2 blocks of 4096 distinct codes.
  cv::Mat codes(128, 128, CV_32SC1);
  for (int y = 0; y < 128; ++y)
    for (int x = 0; x < 128; ++x)
      codes.at<std::int32_t>(y, x) = 7919 * ((y / 2) * 64 + (x / 2)) % 100003;
  const RegionSet regions = buildRegionSet(randomPlanes(codes.size(), 4), codes);
  ASSERT_EQ(regions.count, 4096);
  EXPECT_EQ(regions.indexImage.at<std::int32_t>(127, 127), 4095);
  EXPECT_EQ(regions.indexImage.at<std::int32_t>(3, 5), 66);
  EXPECT_EQ(regions.boxes[4095], cv::Rect(126, 126, 2, 2));
  EXPECT_EQ(std::count(regions.pixelCounts.begin(), regions.pixelCounts.end(), 4), 4096);
  EXPECT_EQ(regions.statistics[4095].sampleCount, 4);
  // Four samples of ten features cannot span the space.
  EXPECT_EQ(regions.regularizedCount, 4096);
  EXPECT_TRUE(finite(regions.statistics[300]));
  EXPECT_EQ(regions.eccentricity[300], 0.0);
}

}  // namespace
}  // namespace rovelin
