// SPDX-License-Identifier: Apache-2.0
#include "statistics/riemannian_distances.hpp"
#include "util/parallel.hpp"

#include <gtest/gtest.h>

#include <Eigen/Eigenvalues>

#include <atomic>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <stdexcept>
#include <vector>

namespace rovelin {
namespace {

CovarianceDescriptor diagonal(std::initializer_list<double> entries) {
  Eigen::VectorXd v(static_cast<Eigen::Index>(entries.size()));
  Eigen::Index k = 0;
  for (double x : entries) v[k++] = x;
  CovarianceDescriptor c;
  c.covariance = v.asDiagonal();
  c.dimension = static_cast<int>(v.size());
  c.inverseSqrt = v.cwiseSqrt().cwiseInverse().asDiagonal();
  return c;
}

std::vector<CovarianceDescriptor> randomDescriptors(int count, int d, unsigned long seed) {
  std::mt19937_64 generator(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<CovarianceDescriptor> result;
  for (int k = 0; k < count; ++k) {
    Eigen::MatrixXd A(d, d);
    for (Eigen::Index i = 0; i < A.size(); ++i) A(i) = normal(generator);
    result.emplace_back(Eigen::MatrixXd(A * A.transpose() / d + Eigen::MatrixXd::Identity(d, d)),
                        0);
  }
  return result;
}

// The plain formula with Eigen's general solver.
double plainDistance(const CovarianceDescriptor& first, const CovarianceDescriptor& second) {
  const Eigen::MatrixXd M = (first.inverseSqrt * second.covariance) * first.inverseSqrt;
  const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(M, Eigen::EigenvaluesOnly);
  return solver.eigenvalues().array().log().square().sum();
}

TEST(RiemannianDistance, WorkedExamples) {
  for (const auto& c : randomDescriptors(3, 10, 7))
    EXPECT_NEAR(squaredRiemannianDistance(c, c), 0.0, 1e-20);
  for (const auto& c : randomDescriptors(2, 4, 8))
    EXPECT_NEAR(squaredRiemannianDistance(c, c), 0.0, 1e-20);

  const auto base = randomDescriptors(1, 10, 9)[0];
  const CovarianceDescriptor scaled(Eigen::MatrixXd(base.covariance * std::numbers::e), 0);
  EXPECT_NEAR(squaredRiemannianDistance(base, scaled), 10.0, 1e-11);
  const CovarianceDescriptor half(Eigen::MatrixXd(base.covariance * 0.5), 0);
  EXPECT_NEAR(squaredRiemannianDistance(half, base), 10.0 * std::log(2.0) * std::log(2.0), 1e-11);

  EXPECT_NEAR(squaredRiemannianDistance(diagonal({1, 4}), diagonal({4, 1})),
              2.0 * std::pow(std::log(4.0), 2), 1e-12);
  EXPECT_NEAR(squaredRiemannianDistance(diagonal({1, 4}), diagonal({4, 1})), 3.8436, 1e-4);
  EXPECT_EQ(squaredRiemannianDistance(diagonal({1, 1}), diagonal({1, 0})),
            std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(squaredRiemannianDistance(diagonal({1, 1}), diagonal({1, -1}))));

  CovarianceDescriptor identity(Eigen::MatrixXd::Identity(10, 10), 0);
  EXPECT_NEAR(squaredRiemannianDistance(
                  identity, CovarianceDescriptor(Eigen::MatrixXd::Identity(10, 10) * 4.0, 0)),
              10.0 * std::pow(std::log(4.0), 2), 1e-11);

  EXPECT_THROW(squaredRiemannianDistance(diagonal({1, 2}), diagonal({1, 2, 3})),
               std::invalid_argument);
  EXPECT_THROW(squaredRiemannianDistance(CovarianceDescriptor(), diagonal({1})),
               std::invalid_argument);
}

TEST(RiemannianDistance, FastKernelAgreesWithPlainSolve) {
  const auto descriptors = randomDescriptors(64, 10, 11);
  double worst = 0.0;
  int compared = 0;
  const Eigen::MatrixXd D = crossSquaredDistances(descriptors, descriptors);
  for (int i = 0; i < 64; ++i)
    for (int j = 0; j < 64; ++j) {
      if (i == j) continue;
      const double plain = plainDistance(descriptors[i], descriptors[j]);
      worst = std::max(worst, std::fabs(D(i, j) - plain) / plain);
      // A lone pair gives the very same bits as the batched matrix entry.
      if (j % 9 == 0) {
        EXPECT_EQ(squaredRiemannianDistance(descriptors[i], descriptors[j]), D(i, j));
      }
      ++compared;
    }
  EXPECT_GE(compared, 1000);
  EXPECT_LT(worst, 1e-9);

  // From one descriptor to any picked, reordered set: the matrix's bits,
  // and a set of another order is refused.
  std::vector<const CovarianceDescriptor*> picked;
  for (int j = 63; j >= 0; j -= 5) picked.push_back(&descriptors[static_cast<std::size_t>(j)]);
  std::vector<double> from(picked.size());
  squaredDistancesFrom(descriptors[7], picked, from);
  for (std::size_t q = 0; q < picked.size(); ++q)
    EXPECT_EQ(from[q], D(7, 63 - 5 * static_cast<int>(q)));
  const auto other = randomDescriptors(1, 3, 15);
  picked.push_back(&other[0]);
  from.resize(picked.size());
  EXPECT_THROW(squaredDistancesFrom(descriptors[7], picked, from), std::invalid_argument);

  // Widely spread scales and near-diagonal matrices still agree.
  std::mt19937_64 generator(12);
  std::uniform_real_distribution<double> exponent(-3.0, 3.0);
  std::vector<CovarianceDescriptor> spread;
  for (int k = 0; k < 16; ++k) {
    Eigen::VectorXd scales(10);
    for (int i = 0; i < 10; ++i) scales[i] = std::pow(10.0, exponent(generator));
    Eigen::MatrixXd sigma = scales.asDiagonal();
    sigma(1, 0) = sigma(0, 1) = 1e-3 * std::sqrt(scales[0] * scales[1]);
    spread.emplace_back(sigma, 0);
  }
  const Eigen::MatrixXd S = crossSquaredDistances(spread, spread);
  for (int i = 0; i < 16; ++i)
    for (int j = 0; j < 16; ++j)
      if (i != j) {
        EXPECT_NEAR(S(i, j), plainDistance(spread[i], spread[j]), 1e-9 * S(i, j));
      }
}

TEST(RiemannianDistance, MatrixShapes) {
  const std::vector<CovarianceDescriptor> none;
  const auto some = randomDescriptors(3, 10, 13);
  EXPECT_EQ(pairwiseSquaredDistances(none).size(), 0);
  const Eigen::MatrixXd one = pairwiseSquaredDistances(std::span(some.data(), 1));
  ASSERT_EQ(one.rows(), 1);
  EXPECT_EQ(one(0, 0), 0.0);
  EXPECT_EQ(crossSquaredDistances(none, some).rows(), 0);
  EXPECT_EQ(crossSquaredDistances(none, some).cols(), 3);
  EXPECT_EQ(crossSquaredDistances(some, none).rows(), 3);
  EXPECT_EQ(crossSquaredDistances(some, none).cols(), 0);

  const auto small = randomDescriptors(6, 3, 14);  // general path
  const Eigen::MatrixXd P = pairwiseSquaredDistances(small);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(P(i, i), 0.0);
    for (int j = i + 1; j < 6; ++j) {
      EXPECT_EQ(P(i, j), P(j, i));
      EXPECT_EQ(P(i, j), squaredRiemannianDistance(small[i], small[j]));
    }
  }
  const auto mixed = randomDescriptors(2, 4, 15);
  EXPECT_THROW(crossSquaredDistances(small, mixed), std::invalid_argument);
}

TEST(RiemannianDistance, ResultsDoNotDependOnThreadCount) {
  const auto descriptors = randomDescriptors(37, 10, 16);
  const auto columns = randomDescriptors(23, 10, 17);
  setThreadCount(1);
  const Eigen::MatrixXd pairwise = pairwiseSquaredDistances(descriptors);
  const Eigen::MatrixXd cross = crossSquaredDistances(descriptors, columns);
  for (int i = 0; i < 37; ++i)
    for (int j = i + 1; j < 37; ++j)
      ASSERT_EQ(pairwise(i, j), squaredRiemannianDistance(descriptors[i], descriptors[j]));
  for (int threads : {2, 3, 7}) {
    setThreadCount(threads);
    EXPECT_EQ(threadCount(), threads);
    EXPECT_TRUE(pairwiseSquaredDistances(descriptors) == pairwise) << threads << " threads";
    EXPECT_TRUE(crossSquaredDistances(descriptors, columns) == cross) << threads << " threads";
  }
  setThreadCount(0);
  EXPECT_GE(threadCount(), 1);
}

TEST(Parallel, CoversTheRangeOnceAndPropagatesErrors) {
  for (int threads : {1, 2, 3, 7}) {
    setThreadCount(threads);
    std::vector<std::atomic<int>> visits(100);
    parallelFor(100, [&](long begin, long end) {
      for (long k = begin; k < end; ++k) ++visits[static_cast<std::size_t>(k)];
    });
    for (const auto& v : visits) EXPECT_EQ(v.load(), 1);
    EXPECT_THROW(parallelFor(100,
                             [](long begin, long end) {
                               if (begin <= 50 && 50 < end) throw std::runtime_error("element 50");
                             }),
                 std::runtime_error);
  }
  setThreadCount(0);
  bool called = false;
  parallelFor(0, [&](long, long) { called = true; });
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace rovelin
