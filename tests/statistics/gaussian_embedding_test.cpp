// SPDX-License-Identifier: Apache-2.0
// The Gaussian-embedding descriptor: its matrix, its ridge, and the order-11
// distance kernel against a plain eigen-decomposition.
#include "statistics/covariance_descriptor.hpp"
#include "statistics/riemannian_distances.hpp"

#include <gtest/gtest.h>
#include <Eigen/Eigenvalues>

#include <cmath>
#include <random>

namespace rovelin {
namespace {

Eigen::MatrixXd randomSamples(int d, int n, unsigned seed, double offset) {
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0.0, 3.0);
  Eigen::MatrixXd samples(d, n);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < d; ++i) samples(i, j) = offset * (i + 1) + noise(random) * (1.0 + 0.2 * i);
  return samples;
}

double plainDistance(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) {
  const Eigen::GeneralizedSelfAdjointEigenSolver<Eigen::MatrixXd> solver(b, a,
                                                                         Eigen::EigenvaluesOnly);
  double sum = 0.0;
  for (double lambda : solver.eigenvalues()) sum += std::log(lambda) * std::log(lambda);
  return sum;
}

TEST(GaussianEmbedding, MatrixRidgeAndDistances) {
  // μ = (2, 4), Σ = diag(1, 4) from four samples: E = [[Σ + 4 μ μᵀ, 2 μ], [2 μᵀ, 1]].
  Eigen::MatrixXd samples(2, 4);
  samples << 1, 3, 1, 3, 2, 2, 6, 6;
  CovarianceDescriptor e;
  e.computeEmbeddingFromSamples(samples);
  Eigen::MatrixXd expected(3, 3);
  expected << 1 + 16, 32, 4, 32, 4 + 64, 8, 4, 8, 1;
  EXPECT_EQ(e.dimension, 3);
  EXPECT_TRUE(e.embedding);
  EXPECT_FALSE(e.regularized);
  EXPECT_LT((e.covariance - expected).norm(), 1e-12);
  EXPECT_LT((e.inverseSqrt * e.covariance * e.inverseSqrt - Eigen::MatrixXd::Identity(3, 3)).norm(),
            1e-10);

  // A flat region far from the origin: Σ = 0 gets the ridge on Σ only, and
  // the embedding stays usable however large its mean.
  CovarianceDescriptor flat;
  flat.computeEmbeddingFromSamples(Eigen::MatrixXd::Constant(10, 50, 250.0));
  EXPECT_TRUE(flat.regularized);
  EXPECT_EQ(flat.dimension, 11);
  EXPECT_DOUBLE_EQ(flat.covariance(0, 0), 4 * 250.0 * 250.0 + CovarianceDescriptor::kRidge);
  EXPECT_DOUBLE_EQ(flat.covariance(10, 10), 1.0);
  EXPECT_TRUE(flat.inverseSqrt.allFinite());
  EXPECT_NEAR(squaredRiemannianDistance(flat, flat), 0.0, 1e-6);

  // Written and read back as a packed triangle, it is the same descriptor;
  // a last diagonal entry other than 1 is no embedding.
  CovarianceDescriptor again;
  again.setEmbeddingFromPacked(flat.packed(), 11);
  EXPECT_FALSE(again.regularized);
  EXPECT_EQ(again.covariance, flat.covariance);
  Eigen::VectorXd broken = flat.packed();
  broken[broken.size() - 1] = 2.0;
  EXPECT_THROW(again.setEmbeddingFromPacked(broken, 11), std::invalid_argument);

  // The batched order-11 kernel agrees with a plain generalised eigen-solver,
  // and the matrices equal lone calls bit for bit.
  std::vector<CovarianceDescriptor> descriptors(11);
  for (int i = 0; i < 11; ++i) {
    descriptors[static_cast<std::size_t>(i)].computeEmbeddingFromSamples(
        randomSamples(10, 40 + 7 * i, 100u + static_cast<unsigned>(i), 5.0 * i));
  }
  const Eigen::MatrixXd pairwise = pairwiseSquaredDistances(descriptors);
  for (int i = 0; i < 11; ++i) {
    for (int j = i + 1; j < 11; ++j) {
      const auto& a = descriptors[static_cast<std::size_t>(i)];
      const auto& b = descriptors[static_cast<std::size_t>(j)];
      EXPECT_EQ(pairwise(i, j), squaredRiemannianDistance(a, b));
      EXPECT_NEAR(pairwise(i, j), plainDistance(a.covariance, b.covariance),
                  1e-6 * (1 + pairwise(i, j)));
    }
  }
}

}  // namespace
}  // namespace rovelin
