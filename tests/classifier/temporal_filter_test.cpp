// SPDX-License-Identifier: Apache-2.0
#include "classifier/temporal_filter.hpp"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <vector>

namespace {

// Two regions: left half region 0, right half region 1.
cv::Mat halves(int rows, int cols) {
  cv::Mat index(rows, cols, CV_32SC1, cv::Scalar(0));
  index(cv::Rect(cols / 2, 0, cols - cols / 2, rows)).setTo(1);
  return index;
}

TEST(TemporalFilter, StaticClipHoldsAndCutResetsAndAlphaOneIsUnfiltered) {
  const cv::Mat index = halves(8, 8);
  cv::Mat frame(8, 8, CV_8UC3, cv::Scalar(100, 100, 100));
  const std::vector<float> first{0.9f, 0.1f, 0.2f, 0.8f};
  const std::vector<float> flipped{0.4f, 0.6f, 0.6f, 0.4f};
  TemporalFilter filter(10.0f, 0.05f);
  const cv::Mat l0 = filter.update(frame, index, first, 2);
  EXPECT_EQ(l0.at<int>(0, 0), 0);
  EXPECT_EQ(l0.at<int>(0, 7), 1);
  // Static frames with small noise: the flipped posteriors do not win.
  cv::Mat noisy = frame.clone();
  noisy.at<cv::Vec3b>(3, 3) = cv::Vec3b(105, 95, 103);
  const cv::Mat l1 = filter.update(noisy, index, flipped, 2);
  EXPECT_EQ(cv::countNonZero(l1 != l0), 0);
  // A hard cut resets every pixel: labels equal the per-frame ones.
  const cv::Mat cut(8, 8, CV_8UC3, cv::Scalar(200, 30, 30));
  const cv::Mat l2 = filter.update(cut, index, flipped, 2);
  EXPECT_EQ(l2.at<int>(0, 0), 1);
  EXPECT_EQ(l2.at<int>(0, 7), 0);
  // alphaMin = 1 is the unfiltered label.
  TemporalFilter plain(10.0f, 1.0f);
  plain.update(frame, index, first, 2);
  const cv::Mat l3 = plain.update(frame, index, flipped, 2);
  EXPECT_EQ(l3.at<int>(0, 0), 1);
  EXPECT_EQ(l3.at<int>(0, 7), 0);
}

// A bright square of class 1 moves 3 pixels a frame over a dark ground of
// class 0: every pixel the square enters or leaves changes colour and starts
// afresh, so the labels are the square of this frame, with no trail.
TEST(TemporalFilter, AMovingSquareIsFollowedWithoutATrail) {
  TemporalFilter filter(10.0f, 0.05f);
  for (int t = 0; t < 12; ++t) {
    cv::Mat frame(32, 48, CV_8UC3, cv::Scalar(40, 40, 40));
    cv::Mat index(32, 48, CV_32SC1, cv::Scalar(0));
    const cv::Rect square(3 * t, 10, 8, 8);
    frame(square).setTo(cv::Scalar(220, 220, 220));
    index(square).setTo(1);
    const cv::Mat labels = filter.update(frame, index, {0.8f, 0.2f, 0.3f, 0.7f}, 2);
    EXPECT_EQ(cv::countNonZero(labels != index), 0) << "frame " << t;
  }
}

TEST(TemporalFilter, RuleMoveZeroesTheLeftClassAndRenormalises) {
  std::vector<float> p{0.6f, 0.3f, 0.1f};
  moveAwayFrom(p.data(), 3, 0, 1);
  EXPECT_FLOAT_EQ(p[0], 0.0f);
  EXPECT_FLOAT_EQ(p[1], 0.75f);
  EXPECT_FLOAT_EQ(p[2], 0.25f);
  std::vector<float> only{1.0f, 0.0f};
  moveAwayFrom(only.data(), 2, 0, 1);
  EXPECT_FLOAT_EQ(only[1], 1.0f);
  EXPECT_TRUE(temporalTauProblem(5.0).has_value());
  EXPECT_FALSE(temporalTauProblem(10.0).has_value());
  EXPECT_TRUE(temporalAlphaMinProblem(0.0).has_value());
}

}  // namespace
