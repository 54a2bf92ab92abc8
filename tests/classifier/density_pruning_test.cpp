// SPDX-License-Identifier: Apache-2.0
// Pruned class densities against the exact ones: within the stated bound,
// the exact values bit for bit at tolerance 0, the same for any thread
// count, and unusable tolerances refused.
#include "classifier/density_pruning.hpp"

#include "classifier/region_classifier.hpp"
#include "util/parallel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

namespace rovelin {
namespace {

// The embedding of a region of 80 pixels: features around `mean`, spread
// `spread` (0: a flat region, which gets the ridge).
CovarianceDescriptor region(const Eigen::VectorXd& mean, double spread, std::mt19937& random) {
  std::normal_distribution<double> noise(0.0, 1.0);
  Eigen::MatrixXd samples(10, 80);
  for (int j = 0; j < samples.cols(); ++j)
    for (int i = 0; i < 10; ++i) samples(i, j) = mean[i] + spread * (1.0 + 0.3 * i) * noise(random);
  CovarianceDescriptor d;
  d.computeEmbeddingFromSamples(samples);
  return d;
}

TEST(DensityPruning, StaysWithinItsBoundAndIsExactAtZero) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> jitter(-1.0, 1.0);
  // Four textured classes of their own colour and spread, and a flat one
  // whose samples nearly coincide (a tiny bandwidth).
  const double spreads[] = {2.0, 5.0, 9.0, 3.0, 0.0};
  std::vector<TrainingClass> classes(5);
  std::vector<Eigen::VectorXd> means;
  for (int c = 0; c < 5; ++c) {
    means.push_back(Eigen::VectorXd::Constant(10, 20.0 + 60.0 * c));
    TrainingClass& tc = classes[static_cast<std::size_t>(c)];
    tc.name = "class" + std::to_string(c);
    tc.dimension = 11;
    for (int s = 0; s < 60; ++s) {
      Eigen::VectorXd mean = means.back();
      for (int i = 0; i < 10; ++i) mean[i] += (c == 4 ? 0.0 : 6.0) * jitter(random);
      tc.samples.push_back(region(mean, spreads[c] * (1.0 + 0.5 * jitter(random)), random));
    }
    tc.sampleCount = 60;
    tc.computeDistances();
    tc.selectBandwidth();
    ASSERT_GT(tc.bandwidth, 0.0);
  }
  // Regions of every class and regions between and beyond them.
  std::vector<CovarianceDescriptor> test;
  for (int r = 0; r < 150; ++r) {
    const int c = r % 5;
    Eigen::VectorXd mean = means[static_cast<std::size_t>(c)];
    for (int i = 0; i < 10; ++i) mean[i] += (r < 100 ? 6.0 : 60.0) * jitter(random);
    test.push_back(
        region(mean, (r < 100 ? spreads[c] : 4.0) * (1.0 + 0.5 * jitter(random)), random));
  }

  Eigen::MatrixXd exact(static_cast<Eigen::Index>(test.size()), 5);
  for (int c = 0; c < 5; ++c)
    exact.col(c) = classes[static_cast<std::size_t>(c)].logDensities(test);
  PruningCounts counts;
  const Eigen::MatrixXd same = prunedLogDensities(classes, test, 0.0, &counts);
  EXPECT_TRUE((same.array() == exact.array()).all());
  EXPECT_EQ(counts.computed, counts.pairs);

  const double tau = kTunedDensityTolerance;
  const Eigen::MatrixXd pruned = prunedLogDensities(classes, test, tau, &counts);
  EXPECT_EQ(counts.pairs, 150 * 300);
  EXPECT_LT(counts.computed, counts.pairs * 17 / 20) << "too little was skipped to be worth it";
  int farClasses = 0;
  for (Eigen::Index i = 0; i < exact.rows(); ++i) {
    Eigen::VectorXd sorted = exact.row(i).transpose();
    std::sort(sorted.data(), sorted.data() + sorted.size(), std::greater<double>());
    const double second = sorted[1];
    for (Eigen::Index c = 0; c < 5; ++c) {
      const double p = exact(i, c);
      const double q = pruned(i, c);
      if (!std::isfinite(p)) {
        EXPECT_EQ(q, p);  // no kernel value at all (distances that are not numbers)
        continue;
      }
      const double rounding = 1e-14 * (1.0 + std::abs(p));
      // Never above the exact density: only terms are left out.
      EXPECT_LE(q, p + rounding) << "region " << i << " class " << c;
      if (p - q > std::log1p(tau) + rounding) {
        // Only a class far below the second best may lose more.
        EXPECT_LE(p, std::log(tau) + second + rounding) << "region " << i << " class " << c;
        ++farClasses;
      }
    }
  }
  EXPECT_GT(farClasses, 0);
  // The leading classes, their ratio and the top probability stay.
  const auto a = RegionClassifier::classifyLogDensities(exact);
  const auto b = RegionClassifier::classifyLogDensities(pruned);
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].labels[0], b[i].labels[0]);
    EXPECT_EQ(a[i].labels[1], b[i].labels[1]);
    EXPECT_NEAR(a[i].probs[0], b[i].probs[0], 1e-11);
    if (std::isfinite(a[i].ratio)) {
      EXPECT_NEAR(b[i].ratio / a[i].ratio, 1.0, 1e-10);
    }
  }

  // Each region is one thread's work, done the same way whatever the count.
  const int threads = threadCount();
  setThreadCount(1);
  const Eigen::MatrixXd alone = prunedLogDensities(classes, test, tau);
  setThreadCount(2);
  const Eigen::MatrixXd shared = prunedLogDensities(classes, test, tau);
  setThreadCount(threads);
  EXPECT_TRUE((alone.array() == pruned.array()).all());
  EXPECT_TRUE((shared.array() == pruned.array()).all());

  for (const double bad : {-1e-12, 0.01, std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_THROW(prunedLogDensities(classes, test, bad), std::invalid_argument) << bad;
  }
}

}  // namespace
}  // namespace rovelin
