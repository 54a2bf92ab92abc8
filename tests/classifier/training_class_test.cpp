// SPDX-License-Identifier: Apache-2.0
#include "classifier/training_class.hpp"

#include "statistics/riemannian_distances.hpp"
#include "util/parallel.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

namespace rovelin {
namespace {

constexpr double kTwoPi = 6.283185307179586;

// The fixed point exactly as first formulated: unscaled kernel values with
// their normalising factor. Reference for the agreement tests.
double plainBandwidth(const Eigen::MatrixXd& D, int d, int* iterations = nullptr,
                      int maxSteps = 25) {
  const int n = static_cast<int>(D.rows());
  double h = 1.1236 * std::pow(n, 0.4);
  double hPrev = 0.0;
  int t = 0;
  while (std::abs(hPrev - h) > 1e-8 && t < maxSteps) {
    hPrev = h;
    ++t;
    Eigen::MatrixXd G = Eigen::MatrixXd::Zero(n, n);
    for (int j = 0; j < n; ++j) {
      for (int k = j + 1; k < n; ++k) {
        G(j, k) = G(k, j) = std::exp(-0.5 * D(j, k) / hPrev) * std::pow(kTwoPi * hPrev, -d / 2.0);
      }
    }
    h = 0.0;
    for (int l = 0; l < n; ++l) {
      const double s = D.row(l).dot(G.col(l));
      const double mu = G.col(l).sum() / n;
      h += s / mu;
    }
    h = h / (n * (n - 1) * static_cast<double>(d));
  }
  if (iterations != nullptr) *iterations = t;
  return h;
}

TrainingClass classWithDistances(const Eigen::MatrixXd& D, int d) {
  TrainingClass c;
  c.dimension = d;
  c.sampleCount = static_cast<int>(D.rows());
  c.distances = D;
  return c;
}

Eigen::MatrixXd randomDistances(int n, double scale, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  Eigen::MatrixXd pts(n, 3);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < 3; ++j) pts(i, j) = u(rng);
  Eigen::MatrixXd D = Eigen::MatrixXd::Zero(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) D(i, j) = scale * (pts.row(i) - pts.row(j)).squaredNorm();
  return D;
}

TEST(Bandwidth, StartValuesAndTwoSamples) {
  EXPECT_NEAR(initialBandwidth(2), 1.4826, 5e-5);
  EXPECT_NEAR(initialBandwidth(10), 2.8224, 5e-5);
  EXPECT_EQ(initialBandwidth(10), 1.1236 * std::pow(10.0, 0.4));

  // Two samples at squared distance D: 2·D/d, found by the first step and
  // confirmed by the second.
  Eigen::Matrix2d D;
  D << 0, 3.0, 3.0, 0;
  TrainingClass c = classWithDistances(D, 10);
  c.selectBandwidth();
  EXPECT_DOUBLE_EQ(c.bandwidth, 2.0 * 3.0 / 10);
  EXPECT_EQ(c.bandwidthIterations, 2);
  // Even where the plain kernel values underflow.
  D << 0, 4000.0, 4000.0, 0;
  c = classWithDistances(D, 2);
  c.selectBandwidth();
  EXPECT_DOUBLE_EQ(c.bandwidth, 4000.0);
  EXPECT_TRUE(std::isnan(plainBandwidth(D, 2)));
}

TEST(Bandwidth, AgreesWithThePlainFixedPointAndStopsAfter25Steps) {
  for (unsigned seed : {1u, 2u, 3u}) {
    const Eigen::MatrixXd D = randomDistances(12, 5.0, seed);
    TrainingClass c = classWithDistances(D, 10);
    c.selectBandwidth();
    int plainSteps = 0;
    const double plain = plainBandwidth(D, 10, &plainSteps);
    EXPECT_NEAR(c.bandwidth, plain, 1e-12 * plain);
    EXPECT_EQ(c.bandwidthIterations, plainSteps);
    EXPECT_LT(plainSteps, 25);
  }
  // A class whose fixed point converges slowly: the loop ends after 25 steps
  // with the 25th value although successive values still differ.
  Eigen::MatrixXd D(5, 5);
  D << 0, 75.83, 53.63, 24.01, 13.49,  //
      75.83, 0, 9.64, 71.46, 71.12,    //
      53.63, 9.64, 0, 71.82, 4.87,     //
      24.01, 71.46, 71.82, 0, 8.9,     //
      13.49, 71.12, 4.87, 8.9, 0;
  TrainingClass c = classWithDistances(D, 2);
  c.selectBandwidth();
  int plainSteps = 0;
  const double plain = plainBandwidth(D, 2, &plainSteps);
  EXPECT_EQ(c.bandwidthIterations, 25);
  EXPECT_EQ(plainSteps, 25);
  EXPECT_NEAR(c.bandwidth, plain, 1e-12 * plain);
  EXPECT_GT(std::abs(plainBandwidth(D, 2, nullptr, 24) - plain), 1e-8);
}

TEST(Bandwidth, DoesNotDependOnTheThreadCount) {
  const Eigen::MatrixXd D = randomDistances(150, 20.0, 5);
  setThreadCount(1);
  TrainingClass one = classWithDistances(D, 10);
  one.selectBandwidth();
  setThreadCount(3);
  TrainingClass three = classWithDistances(D, 10);
  three.selectBandwidth();
  setThreadCount(0);
  EXPECT_EQ(one.bandwidth, three.bandwidth);
  EXPECT_NEAR(one.bandwidth, plainBandwidth(D, 10), 1e-12 * one.bandwidth);
}

TEST(Bandwidth, AFarOutlierLeavesItsClassABandwidth) {
  Eigen::MatrixXd D = randomDistances(6, 1.0, 11);
  D.row(5).setConstant(1e4);
  D.col(5).setConstant(1e4);
  D(5, 5) = 0.0;
  EXPECT_TRUE(std::isnan(plainBandwidth(D, 10)));
  TrainingClass c = classWithDistances(D, 10);
  c.selectBandwidth();
  EXPECT_TRUE(std::isfinite(c.bandwidth));
  EXPECT_GT(c.bandwidth, 0.0);
}

}  // namespace
}  // namespace rovelin
