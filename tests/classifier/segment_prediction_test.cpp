// SPDX-License-Identifier: Apache-2.0
#include "classifier/segment_prediction.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace rovelin {
namespace {

Eigen::VectorXd vec(std::initializer_list<double> v) {
  Eigen::VectorXd out(static_cast<Eigen::Index>(v.size()));
  Eigen::Index i = 0;
  for (double x : v) out[i++] = x;
  return out;
}

TEST(SegmentPrediction, RanksDescendingAndKeepsLowerPositionOnTies) {
  SegmentPrediction p;
  p.setProbabilities(vec({0.1, 0.3, 0.3, 0.3}));
  EXPECT_EQ(p.classCount, 4);
  EXPECT_EQ(p.labels, (Eigen::VectorXi(4) << 1, 2, 3, 0).finished());
  EXPECT_EQ(p.topLabel(), 1);
  EXPECT_DOUBLE_EQ(p.ratio, 1.0);

  // Equal probabilities: the lower class comes first.
  SegmentPrediction q;
  q.setProbabilities(vec({0.5, 0.5}));
  EXPECT_EQ(q.topLabel(), 0);
  EXPECT_EQ(q.labels[1], 1);

  // Renormalises whatever it is given.
  SegmentPrediction r;
  r.setProbabilities(vec({2.0, 6.0}));
  EXPECT_DOUBLE_EQ(r.probs[0], 0.75);
  EXPECT_DOUBLE_EQ(r.probs[1], 0.25);
  EXPECT_EQ(r.topLabel(), 1);
}

TEST(SegmentPrediction, RatioOfTheTwoLeadingClasses) {
  // K = 2: ratio = p / (1 − p) of the best class.
  SegmentPrediction p;
  p.setProbabilities(vec({0.2, 0.8}));
  EXPECT_NEAR(p.ratio, 0.8 / (1.0 - 0.8), 1e-12);

  SegmentPrediction z;
  z.setProbabilities(vec({0.0, 1.0, 0.0}));
  EXPECT_EQ(z.topLabel(), 1);
  EXPECT_EQ(z.ratio, std::numeric_limits<double>::infinity());
  EXPECT_EQ(z.labels, (Eigen::VectorXi(3) << 1, 0, 2).finished());

  // Re-ranking after the probabilities were changed in place (no
  // renormalisation); both leading classes at 0 are a tie, not 0/0.
  z.probs << 0.0, 0.0, 0.0;
  z.rankClasses();
  EXPECT_EQ(z.ratio, 1.0);
  EXPECT_EQ(z.labels, (Eigen::VectorXi(3) << 1, 0, 2).finished());
  z.probs << 0.5, 3.0, 1.5;
  z.rankClasses();
  EXPECT_EQ(z.labels, (Eigen::VectorXi(3) << 0, 2, 1).finished());
  EXPECT_DOUBLE_EQ(z.ratio, 2.0);
  EXPECT_DOUBLE_EQ(z.probs[0], 3.0);
}

TEST(SegmentPrediction, RefusesProbabilitiesWithoutAPositiveSum) {
  SegmentPrediction p;
  EXPECT_THROW(p.setProbabilities(vec({0.0, 0.0})), std::invalid_argument);
  EXPECT_THROW(p.setProbabilities(vec({std::nan(""), 1.0})), std::invalid_argument);
  EXPECT_THROW(p.setProbabilities(Eigen::VectorXd()), std::invalid_argument);
}

}  // namespace
}  // namespace rovelin
