// SPDX-License-Identifier: Apache-2.0
#include "segmentation/smoothing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace rovelin {
namespace {

GridImage<float> planeFrom(int w, int h, const std::vector<float>& values) {
  GridImage<float> plane(w, h);
  for (int i = 0; i < w * h; ++i) {
    plane.data()[i] = values[static_cast<std::size_t>(i)];
  }
  return plane;
}

TEST(GaussianMask, LengthFollowsSigmaAndTinySigmasBecomeIdentity) {
  EXPECT_EQ(gaussianMask(0.5f).size(), 3u);
  EXPECT_EQ(gaussianMask(0.8f).size(), 5u);
  EXPECT_EQ(gaussianMask(1.0f).size(), 5u);
  EXPECT_EQ(gaussianMask(2.0f).size(), 9u);
  for (float sigma : {0.01f, 0.0f, -3.0f, std::numeric_limits<float>::quiet_NaN()}) {
    std::vector<float> mask = gaussianMask(sigma);
    normalizeMask(mask);
    ASSERT_EQ(mask.size(), 2u) << sigma;
    EXPECT_EQ(mask[0], 1.0f);
    EXPECT_EQ(mask[1], 0.0f);
  }
  EXPECT_THROW(gaussianMask(std::numeric_limits<float>::infinity()), std::invalid_argument);
}

TEST(GaussianMask, SigmaOneValuesBeforeAndAfterNormalising) {
  std::vector<float> mask = gaussianMask(1.0f);
  const float raw[] = {1.0f, 0.6065307f, 0.1353353f, 0.011109f, 0.0003354626f};
  for (int i = 0; i < 5; ++i) {
    EXPECT_NEAR(mask[i], raw[i], 5e-7f * raw[i]) << i;
  }
  const float total = 2.0f * (mask[1] + mask[2] + mask[3] + mask[4]) + mask[0];
  EXPECT_NEAR(total, 2.506621f, 1e-6f);
  normalizeMask(mask);
  const float normalised[] = {0.3989435f, 0.2419714f, 0.05399112f, 0.004431861f, 0.0001338306f};
  for (int i = 0; i < 5; ++i) {
    EXPECT_NEAR(mask[i], normalised[i], 5e-7f * normalised[i]) << i;
  }
}

TEST(ConvolveSymmetric, ClampsBordersAndWritesTransposed) {
  const GridImage<float> src = planeFrom(3, 2, {0, 0, 10, 4, 8, 4});
  GridImage<float> dst(2, 3);
  convolveSymmetric(src, dst, {0.5f, 0.25f});
  EXPECT_FLOAT_EQ(dst(0, 0), 0.0f);
  EXPECT_FLOAT_EQ(dst(0, 1), 2.5f);
  EXPECT_FLOAT_EQ(dst(0, 2), 7.5f);  // right neighbour clamped to the edge pixel
  EXPECT_FLOAT_EQ(dst(1, 0), 5.0f);  // 4 * 0.5 + 0.25 * (4 + 8)
  EXPECT_FLOAT_EQ(dst(1, 1), 6.0f);
  EXPECT_FLOAT_EQ(dst(1, 2), 5.0f);
  GridImage<float> wrong(3, 2);
  EXPECT_THROW(convolveSymmetric(src, wrong, {1.0f}), std::invalid_argument);
}

// Every output value with the rounding steps of the definition: per pixel,
// centre tap in float, then each folded tap added in double and stored as float.
TEST(ConvolveSymmetric, ExactRoundingOfTheRunningSum) {
  std::vector<float> mask = gaussianMask(1.3f);
  normalizeMask(mask);
  for (auto [w, h] : {std::pair{23, 11}, std::pair{3, 9}, std::pair{1, 2}}) {
    std::vector<float> values(static_cast<std::size_t>(w * h));
    unsigned state = 5;
    for (float& v : values) {
      state = state * 1103515245u + 12345u;
      v = static_cast<float>((state >> 8) % 25600) / 100.0f;
    }
    const GridImage<float> src = planeFrom(w, h, values);
    GridImage<float> dst(h, w);
    convolveSymmetric(src, dst, mask);
    const int n = static_cast<int>(mask.size());
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        float sum = src(x, y) * mask[0];
        for (int i = 1; i < n; ++i) {
          const int left = std::max(x - i, 0);
          const int right = std::min(x + i, w - 1);
          const double pair =
              static_cast<double>(src(left, y)) + static_cast<double>(src(right, y));
          sum = static_cast<float>(static_cast<double>(sum) + static_cast<double>(mask[i]) * pair);
        }
        ASSERT_EQ(dst(y, x), sum) << w << "x" << h << " at " << x << "," << y;
      }
    }
  }
}

TEST(SmoothPlane, IdentityConstantAndShapes) {
  std::vector<float> ramp(35);
  for (std::size_t i = 0; i < ramp.size(); ++i) {
    ramp[i] = static_cast<float>(i * i % 17);
  }
  const GridImage<float> src = planeFrom(7, 5, ramp);
  const GridImage<float> same = smoothPlane(src, 0.0f);
  ASSERT_EQ(same.width(), 7);
  ASSERT_EQ(same.height(), 5);
  for (int i = 0; i < 35; ++i) {
    EXPECT_EQ(same.data()[i], src.data()[i]);
  }
  // An edge is spread but the source stays as it was.
  const GridImage<float> smooth = smoothPlane(src, 1.0f);
  EXPECT_EQ(smooth.width(), 7);
  EXPECT_EQ(smooth.height(), 5);
  EXPECT_EQ(src(2, 2), ramp[16]);

  for (auto [w, h] : {std::pair{9, 4}, std::pair{1, 6}, std::pair{5, 1}, std::pair{1, 1}}) {
    const GridImage<float> flat = planeFrom(w, h, std::vector<float>(w * h, 117.0f));
    const GridImage<float> out = smoothPlane(flat, 2.0f);
    ASSERT_EQ(out.width(), w);
    ASSERT_EQ(out.height(), h);
    for (int i = 0; i < w * h; ++i) {
      EXPECT_NEAR(out.data()[i], 117.0f, 1e-4f) << w << "x" << h << " at " << i;
    }
  }
}

TEST(SmoothPlane, OnePixelColumnMatchesOnePixelRow) {
  const std::vector<float> values = {0, 50, 200, 10, 90, 255, 3};
  const GridImage<float> row = smoothPlane(planeFrom(7, 1, values), 1.0f);
  const GridImage<float> column = smoothPlane(planeFrom(1, 7, values), 1.0f);
  // The trivial pass runs first in one case and second in the other, so
  // only the float rounding of the constant pass may differ.
  for (int i = 0; i < 7; ++i) {
    EXPECT_NEAR(row(i, 0), column(0, i), 1e-4f) << i;
  }
  EXPECT_NE(row(2, 0), 200.0f);
  // The middle of a peak is lowered, its neighbours raised; symmetric impulse.
  const GridImage<float> impulse = smoothPlane(planeFrom(9, 1, {0, 0, 0, 0, 1, 0, 0, 0, 0}), 1.0f);
  EXPECT_NEAR(impulse(4, 0), 0.3989435f, 1e-6f);
  EXPECT_EQ(impulse(3, 0), impulse(5, 0));
  EXPECT_EQ(impulse(0, 0), impulse(8, 0));
  EXPECT_NEAR(impulse(0, 0), 0.0001338306f, 1e-9f);
}

}  // namespace
}  // namespace rovelin
