// SPDX-License-Identifier: Apache-2.0
#include "statistics/covariance_descriptor.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace rovelin {
namespace {

Eigen::VectorXd values(std::initializer_list<double> list) {
  Eigen::VectorXd v(static_cast<Eigen::Index>(list.size()));
  Eigen::Index k = 0;
  for (double x : list) v[k++] = x;
  return v;
}

bool allFinite(const CovarianceDescriptor& c) {
  return c.covariance.allFinite() && c.inverseSqrt.allFinite();
}

TEST(CovarianceDescriptor, SamplesGivePopulationCovariance) {
  Eigen::MatrixXd samples(1, 2);
  samples << 0, 2;  // variance 1 with divisor n = 2, not 2
  const Eigen::MatrixXd before = samples;
  CovarianceDescriptor c(samples);
  EXPECT_EQ(c.sampleCount, 2);
  EXPECT_EQ(c.dimension, 1);
  EXPECT_FALSE(c.regularized);
  EXPECT_EQ(c.covariance(0, 0), 1.0);
  EXPECT_EQ(samples, before);

  Eigen::MatrixXd three(3, 4);
  three << 0, 2, 0, 2,  //
      1, 2, 3, 4,       //
      4, 0, 0, 4;
  CovarianceDescriptor d(three);
  EXPECT_DOUBLE_EQ(d.covariance(0, 0), 1.0);
  EXPECT_DOUBLE_EQ(d.covariance(1, 1), 1.25);
  EXPECT_DOUBLE_EQ(d.covariance(0, 1), d.covariance(1, 0));
  EXPECT_DOUBLE_EQ(d.covariance(0, 2), 0.0);
  EXPECT_DOUBLE_EQ(d.covariance(1, 2), 0.0);
  EXPECT_DOUBLE_EQ(d.covariance(2, 2), 4.0);
  EXPECT_FALSE(d.regularized);
}

TEST(CovarianceDescriptor, PackedTriangleAndDerivedMatrices) {
  CovarianceDescriptor c;
  c.setFromPacked(values({4, 1, 5, 0, 2, 6, 99}), 3);
  Eigen::Matrix3d expected;
  expected << 4, 1, 0, 1, 5, 2, 0, 2, 6;
  EXPECT_EQ(c.covariance, Eigen::MatrixXd(expected));
  EXPECT_EQ(c.sampleCount, 0);
  EXPECT_EQ(c.packed(), values({4, 1, 5, 0, 2, 6}));
  EXPECT_FALSE(c.regularized);
  EXPECT_TRUE((c.inverseSqrt * c.covariance * c.inverseSqrt).isIdentity(1e-12));

  c.setFromPacked(values({4, 0, 9}), 2);
  EXPECT_NEAR(c.inverseSqrt(0, 0), 0.5, 1e-15);
  EXPECT_NEAR(c.inverseSqrt(1, 1), 1.0 / 3.0, 1e-15);
  EXPECT_NEAR(c.inverseSqrt(1, 0), 0.0, 1e-15);

  EXPECT_THROW(c.setFromPacked(values({1, 2}), 2), std::invalid_argument);
}

TEST(CovarianceDescriptor, DegenerateCovariancesGetTheRidge) {
  const double ridge = CovarianceDescriptor::kRidge;
  // Flat region: every sample the same.
  CovarianceDescriptor flat(Eigen::MatrixXd::Constant(10, 50, 0.3));
  // One pixel.
  CovarianceDescriptor single(Eigen::MatrixXd::Constant(10, 1, 0.7));
  // No pixel at all.
  CovarianceDescriptor empty(Eigen::MatrixXd(10, 0));
  for (const CovarianceDescriptor* c : {&flat, &single, &empty}) {
    EXPECT_TRUE(c->regularized);
    EXPECT_TRUE(allFinite(*c));
    EXPECT_TRUE(c->covariance.isApprox(Eigen::MatrixXd::Identity(10, 10) * ridge));
    EXPECT_NEAR(c->inverseSqrt(3, 3), 1.0 / std::sqrt(ridge), 1e-6);
  }
  EXPECT_EQ(single.sampleCount, 1);
  EXPECT_EQ(empty.sampleCount, 0);

  // One constant feature among varying ones: singular, ridge added.
  Eigen::MatrixXd samples(2, 3);
  samples << 1, 2, 4, 3, 3, 3;
  CovarianceDescriptor partial(samples);
  EXPECT_TRUE(partial.regularized);
  EXPECT_TRUE(allFinite(partial));
  EXPECT_DOUBLE_EQ(partial.covariance(1, 1), ridge);

  // A stored triangle that is clearly indefinite or not finite is refused.
  CovarianceDescriptor c;
  EXPECT_THROW(c.setFromPacked(values({1, 0, -5}), 2), std::invalid_argument);
  EXPECT_THROW(c.setFromPacked(values({1, 0, std::numeric_limits<double>::quiet_NaN()}), 2),
               std::invalid_argument);
  EXPECT_THROW(CovarianceDescriptor(
                   Eigen::MatrixXd::Constant(2, 3, std::numeric_limits<double>::infinity())),
               std::invalid_argument);
}

}  // namespace
}  // namespace rovelin
