// SPDX-License-Identifier: Apache-2.0
#include "features/feature_planes.hpp"
#include "features/region_set.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace rovelin {
namespace {

// The filter written plainly, element by element, as the training data were
// made: element k of the source's interleaved stream gives element k of dx
// and dy, and a neighbour outside the image is the element itself.
void iteratorDerivatives(const cv::Mat& source, cv::Mat& dx, cv::Mat& dy) {
  dx.create(source.size(), CV_32FC1);
  dy.create(source.size(), CV_32FC1);
  const int rowLength = source.cols * source.channels();
  const auto at = [&](int r, int c) { return source.ptr<float>(r)[c]; };
  for (int k = 0; k < source.rows * source.cols; ++k) {
    const int r = k / rowLength, c = k % rowLength;
    const float centre = at(r, c);
    const float left = c > 0 ? at(r, c - 1) : centre;
    const float right = c + 1 < rowLength ? at(r, c + 1) : centre;
    const float above = r > 0 ? at(r - 1, c) : centre;
    const float below = r + 1 < source.rows ? at(r + 1, c) : centre;
    dx.ptr<float>()[k] = static_cast<float>((right - left) / 2.0);
    dy.ptr<float>()[k] = static_cast<float>((below - above) / 2.0);
  }
}

cv::Mat randomFrame(int width, int height, unsigned seed) {
  cv::Mat frame(height, width, CV_8UC3);
  cv::RNG rng(seed);
  rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
  return frame;
}

bool identical(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() &&
         std::equal(a.begin<float>(), a.end<float>(), b.begin<float>());
}

cv::Mat absolute(const cv::Mat& m) { return cv::abs(m); }

TEST(FirstDerivatives, MatchesTheIteratorWalkBitForBit) {
  for (const cv::Size size :
       {cv::Size(7, 5), cv::Size(1, 1), cv::Size(13, 3), cv::Size(4, 2), cv::Size(9, 12)}) {
    const cv::Mat frame = toFloatImage(randomFrame(size.width, size.height, 7));
    cv::Mat dx, dy, refX, refY;
    firstDerivatives(frame, dx, dy);
    iteratorDerivatives(frame, refX, refY);
    EXPECT_TRUE(identical(dx, refX)) << size;
    EXPECT_TRUE(identical(dy, refY)) << size;

    cv::Mat single;
    cv::extractChannel(frame, single, 1);
    firstDerivatives(single, dx, dy);
    iteratorDerivatives(single, refX, refY);
    EXPECT_TRUE(identical(dx, refX)) << size;
    EXPECT_TRUE(identical(dy, refY)) << size;

    // Writing the result over the source reads the source as it was.
    cv::Mat overwritten = single.clone();
    firstDerivatives(overwritten, overwritten, dy);
    EXPECT_TRUE(identical(overwritten, refX)) << size;
  }
  cv::Mat dx, dy;
  EXPECT_THROW(firstDerivatives(cv::Mat(2, 2, CV_8UC3), dx, dy), std::invalid_argument);
  EXPECT_THROW(firstDerivatives(cv::Mat(2, 2, CV_32FC2), dx, dy), std::invalid_argument);
}

TEST(FeaturePlanes, FollowTheElementStreamOfTheColourFrame) {
  // Pure red: the stream is 0, 0, 1, 0, 0, 1, ... and x-differences compare
  // neighbouring channel values.
  const cv::Mat red(3, 4, CV_8UC3, cv::Scalar(0, 0, 255));
  const auto planes = computeFeaturePlanes(red);
  ASSERT_EQ(planes.size(), 10u);
  const float expected[] = {0, 0.5f, 0, 0.5f, 0.5f, 0, 0.5f, 0.5f, 0};
  for (int k = 0; k < 9; ++k) EXPECT_EQ(planes[3].ptr<float>()[k], expected[k]) << k;
  EXPECT_EQ(cv::countNonZero(planes[2] != 1.0f), 0);
  EXPECT_EQ(cv::countNonZero(planes[0]), 0);

  // Height 2: planes 3 and 4 come from the first row of the frame alone;
  // element k of the plane is element k of that row's stream.
  const cv::Mat low = randomFrame(4, 2, 11);
  const auto lowPlanes = computeFeaturePlanes(low);
  const cv::Mat f = toFloatImage(low);
  const float* row0 = f.ptr<float>(0);
  const float* row1 = f.ptr<float>(1);
  for (int k = 0; k < 8; ++k) {
    const float left = k > 0 ? row0[k - 1] : row0[k];
    const float right = k + 1 < 12 ? row0[k + 1] : row0[k];
    EXPECT_EQ(lowPlanes[3].ptr<float>()[k], std::abs((right - left) * 0.5f)) << k;
    EXPECT_EQ(lowPlanes[4].ptr<float>()[k], std::abs((row1[k] - row0[k]) * 0.5f)) << k;
  }

  // Height a multiple of 3: planes 3 to 9 depend on rows 0 to height/3 only
  // (the last of them through the y-difference).
  cv::Mat tall = randomFrame(5, 6, 12);
  const auto tallPlanes = computeFeaturePlanes(tall);
  tall.rowRange(3, 6).setTo(cv::Scalar(9, 99, 199));
  const auto changedPlanes = computeFeaturePlanes(tall);
  for (int p = 3; p < 10; ++p) EXPECT_TRUE(identical(tallPlanes[p], changedPlanes[p])) << p;
  tall.row(2).setTo(cv::Scalar(1, 2, 3));
  EXPECT_FALSE(identical(tallPlanes[4], computeFeaturePlanes(tall)[4]));
}

TEST(FeaturePlanes, ComputeTheTenPlanesInTheirOrder) {
  const cv::Mat frame = randomFrame(11, 7, 3);
  const auto planes = computeFeaturePlanes(frame);
  const cv::Mat f = toFloatImage(frame);
  std::vector<cv::Mat> colour;
  cv::split(f, colour);
  for (int p = 0; p < 3; ++p) EXPECT_TRUE(identical(planes[p], colour[p])) << p;

  cv::Mat dx, dy, dxx, dxy, dyx, dyy, magnitude, angle;
  iteratorDerivatives(f, dx, dy);
  cv::cartToPolar(dx, dy, magnitude, angle, false);
  iteratorDerivatives(dx, dxx, dxy);
  iteratorDerivatives(dy, dyx, dyy);
  EXPECT_TRUE(identical(planes[3], absolute(dx)));
  EXPECT_TRUE(identical(planes[4], absolute(dy)));
  EXPECT_TRUE(identical(planes[5], angle));
  EXPECT_TRUE(identical(planes[6], magnitude));
  EXPECT_TRUE(identical(planes[7], absolute(dxx)));
  EXPECT_TRUE(
      identical(planes[8], absolute(dxy)));  // y-difference of plane 3, not x-difference of plane 4
  EXPECT_TRUE(identical(planes[9], absolute(dyy)));
  double low = 0, high = 0;
  cv::minMaxLoc(planes[5], &low, &high);
  EXPECT_GE(low, 0.0);
  EXPECT_LE(high, 2 * CV_PI);

  // Uniform grey: every difference and the magnitude vanish.
  const auto grey = computeFeaturePlanes(cv::Mat(6, 5, CV_8UC3, cv::Scalar::all(128)));
  for (int p : {3, 4, 6, 7, 8, 9}) EXPECT_EQ(cv::countNonZero(grey[p]), 0) << p;
  EXPECT_EQ(grey[0].at<float>(2, 2), static_cast<float>(128 / 255.0));

  EXPECT_THROW(computeFeaturePlanes(cv::Mat(2, 2, CV_8UC1)), std::invalid_argument);
  EXPECT_THROW(computeFeaturePlanes(cv::Mat()), std::invalid_argument);
}

TEST(ColourCodes, AreExactAndTellNearbyColoursApart) {
  cv::Mat image(1, 5, CV_8UC3);
  image.at<cv::Vec3b>(0, 0) = {0, 0, 0};        // black
  image.at<cv::Vec3b>(0, 1) = {0, 0, 255};      // red (memory order b, g, r)
  image.at<cv::Vec3b>(0, 2) = {255, 0, 0};      // blue
  image.at<cv::Vec3b>(0, 3) = {255, 255, 255};  // white
  image.at<cv::Vec3b>(0, 4) = {200, 10, 1};
  const cv::Mat codes = colourCodes(image);
  ASSERT_EQ(codes.type(), CV_32SC1);
  EXPECT_EQ(codes.at<std::int32_t>(0, 0), 0);
  EXPECT_EQ(codes.at<std::int32_t>(0, 1), 255);
  EXPECT_EQ(codes.at<std::int32_t>(0, 2), 255 * 65536);
  EXPECT_EQ(codes.at<std::int32_t>(0, 3), 16777215);
  EXPECT_EQ(codes.at<std::int32_t>(0, 4), 1 + 256 * 10 + 65536 * 200);

  // Blue 200 with red 0 and red 1 shared one float code; they are two regions.
  cv::Mat pair(1, 2, CV_8UC3);
  pair.at<cv::Vec3b>(0, 0) = {200, 0, 0};
  pair.at<cv::Vec3b>(0, 1) = {200, 0, 1};
  std::vector<cv::Mat> planes(10, cv::Mat(1, 2, CV_32FC1, cv::Scalar(0)));
  EXPECT_EQ(buildRegionSet(planes, colourCodes(pair)).count, 2);

  EXPECT_THROW(colourCodes(cv::Mat(2, 2, CV_8UC1)), std::invalid_argument);
}

TEST(ImageConversion, DividesBytesBy255AndFills) {
  const std::uint8_t bytes[] = {0, 51, 255, 255, 0, 102};
  const cv::Mat source(1, 2, CV_8UC3, const_cast<std::uint8_t*>(bytes));
  const cv::Mat converted = toFloatImage(source);
  ASSERT_EQ(converted.type(), CV_32FC3);
  const float* values = converted.ptr<float>();
  EXPECT_EQ(values[0], 0.0f);
  EXPECT_EQ(values[1], static_cast<float>(51 / 255.0));
  EXPECT_EQ(values[1], 0.2f);
  EXPECT_EQ(values[2], 1.0f);
  EXPECT_EQ(values[3], 1.0f);
  EXPECT_EQ(values[4], 0.0f);
  EXPECT_EQ(values[5], 0.4f);

  // Every byte value.
  cv::Mat all(16, 16, CV_8UC1);
  for (int i = 0; i < 256; ++i) all.data[i] = static_cast<std::uint8_t>(i);
  const cv::Mat converted256 = toFloatImage(all);
  for (int i = 0; i < 256; ++i)
    EXPECT_EQ(converted256.ptr<float>()[i], static_cast<float>(i / 255.0)) << i;
  EXPECT_THROW(toFloatImage(cv::Mat(2, 2, CV_64FC1)), std::invalid_argument);
}

}  // namespace
}  // namespace rovelin
