// SPDX-License-Identifier: Apache-2.0
#include "classifier/region_classifier.hpp"
#include "statistics/parallel.hpp"
#include "statistics/riemannian_distances.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <sstream>
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

// Two classes of d = 2 descriptors: near the identity and near 4·identity.
const char* const kModel =
    "6 2 2 3 inner 3 outer 1 0.5 0.5 1 "
    "1 1 0 1  1 1.2 0.1 0.9  1 0.8 0 1.1 "
    "2 4 0 4  2 4.5 0.3 3.8  2 3.6 -0.2 4.2";

RegionClassifier model() {
  std::istringstream in(kModel);
  return RegionClassifier::load(in, "model.txt", 2);
}

// exp of the log densities, entry by entry (0 where it underflows).
Eigen::VectorXd densities(const TrainingClass& c, const std::vector<CovarianceDescriptor>& test) {
  return c.logDensities(test).unaryExpr([](double v) { return std::exp(v); });
}

CovarianceDescriptor descriptor(double a, double b, double c) {
  CovarianceDescriptor x;
  x.setFromPacked((Eigen::VectorXd(3) << a, b, c).finished(), 2);
  return x;
}

TEST(Classify, LogDomainDensitiesAgreeWithThePlainFormula) {
  const RegionClassifier m = model();
  std::vector<CovarianceDescriptor> test = {descriptor(1, 0, 1), descriptor(2.3, 0, 2.3),
                                            descriptor(5, 0, 3)};
  for (int k = 0; k < 2; ++k) {
    const TrainingClass& c = m.trainingClass(k);
    const Eigen::MatrixXd Dtest = crossSquaredDistances(test, c.samples);
    const Eigen::VectorXd dens = densities(c, test);
    for (int i = 0; i < 3; ++i) {
      const double plain = (-0.5 * Dtest.row(i).array() / c.bandwidth).exp().mean() *
                           std::pow(kTwoPi * c.bandwidth, -1.0);
      EXPECT_NEAR(dens[i], plain, 1e-13 * plain) << "class " << k << " test " << i;
    }
  }
  const std::vector<SegmentPrediction> pred = m.classify(test);
  ASSERT_EQ(pred.size(), 3u);
  EXPECT_EQ(pred[0].topLabel(), 0);
  EXPECT_EQ(pred[2].topLabel(), 1);
  for (const SegmentPrediction& p : pred) {
    EXPECT_EQ(p.classCount, 2);
    EXPECT_NEAR(p.probs.sum(), 1.0, 1e-15);
  }
  // Between the classes (K = 2): ratio = p / (1 − p).
  ASSERT_GT(pred[1].probs[1], 0.01);
  EXPECT_NEAR(pred[1].ratio, pred[1].probs[0] / (1.0 - pred[1].probs[0]), 1e-12 * pred[1].ratio);
  // Against the plain posterior.
  const Eigen::VectorXd d0 = densities(m.trainingClass(0), test);
  const Eigen::VectorXd d1 = densities(m.trainingClass(1), test);
  EXPECT_NEAR(pred[1].probs[0], std::max(d0[1], d1[1]) / (d0[1] + d1[1]), 1e-14);
}

TEST(Classify, RegionsFarFromEveryClassStillGetDefinedPosteriors) {
  const RegionClassifier m = model();
  // Far beyond every sample: every kernel value underflows, so the plain
  // densities are 0 under both classes and their posterior would be 0/0.
  std::vector<CovarianceDescriptor> test = {descriptor(1e150, 0, 1e150),
                                            descriptor(1e-150, 0, 1e-150)};
  EXPECT_EQ(densities(m.trainingClass(0), test), Eigen::Vector2d::Zero());
  EXPECT_EQ(densities(m.trainingClass(1), test), Eigen::Vector2d::Zero());
  const Eigen::VectorXd l0 = m.trainingClass(0).logDensities(test);
  const Eigen::VectorXd l1 = m.trainingClass(1).logDensities(test);
  ASSERT_TRUE(l0.allFinite() && l1.allFinite());
  const std::vector<SegmentPrediction> pred = m.classify(test);
  for (int i = 0; i < 2; ++i) {
    const SegmentPrediction& p = pred[static_cast<std::size_t>(i)];
    ASSERT_TRUE(p.probs.allFinite());
    EXPECT_NEAR(p.probs.sum(), 1.0, 1e-15);
    // The posterior follows the log densities: the runner-up gets
    // exp(−|Δ|)/(1 + exp(−|Δ|)), here 0 in double precision.
    EXPECT_EQ(p.topLabel(), l0[i] >= l1[i] ? 0 : 1);
    const double odds = std::exp(-std::abs(l0[i] - l1[i]));
    EXPECT_NEAR(p.probs[1], odds / (1.0 + odds), 1e-15);
  }
}

TEST(Classify, ResultsDoNotDependOnTheThreadCount) {
  const RegionClassifier m = model();
  std::vector<CovarianceDescriptor> test;
  for (int i = 0; i < 40; ++i) test.push_back(descriptor(0.5 + 0.1 * i, 0.01 * i, 4.0 - 0.08 * i));
  setThreadCount(1);
  const std::vector<SegmentPrediction> one = m.classify(test);
  setThreadCount(2);
  const std::vector<SegmentPrediction> two = m.classify(test);
  setThreadCount(0);
  for (std::size_t i = 0; i < test.size(); ++i) {
    EXPECT_EQ(one[i].probs, two[i].probs);
    EXPECT_EQ(one[i].labels, two[i].labels);
  }
  // Descriptors of another order are refused, not read out of bounds.
  CovarianceDescriptor three;
  three.setFromPacked(Eigen::VectorXd::Ones(6), 3);
  std::vector<CovarianceDescriptor> wrong = {three};
  EXPECT_THROW(m.classify(wrong), std::invalid_argument);
  EXPECT_TRUE(m.classify(std::span<const CovarianceDescriptor>()).empty());
}

}  // namespace
}  // namespace rovelin
