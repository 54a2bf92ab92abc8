// SPDX-License-Identifier: Apache-2.0
// Covariance descriptor. Σ is decomposed once with a symmetric eigensolver
// and every derived matrix comes from that one decomposition.
//
// Deviation from the plain derivation: a singular or slightly indefinite Σ
// (flat regions, regions with fewer pixels than features, n = 0) would give
// infinite or NaN inverse square roots that later poison every distance and
// kernel value. Such a Σ gets the ridge kRidge·I and the flag `regularized`;
// nothing is printed here, the caller counts the flags and warns once.
// A Σ with a non-finite entry, or one that is still not positive definite
// after the ridge (a clearly indefinite stored triangle), is refused with
// std::invalid_argument: no descriptor ever holds NaN or infinity.
#include "statistics/covariance_descriptor.hpp"

#include <Eigen/Eigenvalues>
#include <Eigen/SVD>

#include <cmath>
#include <stdexcept>
#include <string>

namespace rovelin {

const char* descriptorName(DescriptorKind kind) {
  return kind == DescriptorKind::Embedding ? "embedding" : "covariance";
}

std::optional<DescriptorKind> parseDescriptorKind(std::string_view text) {
  if (text == "covariance") return DescriptorKind::Covariance;
  if (text == "embedding") return DescriptorKind::Embedding;
  return std::nullopt;
}

int descriptorOrder(DescriptorKind kind, int features) {
  return kind == DescriptorKind::Embedding ? features + 1 : features;
}

namespace {

using Eigensystem = Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>;

bool isDegenerate(const Eigen::VectorXd& eigenvalues) {
  if (eigenvalues.size() == 0) return false;
  const double smallest = eigenvalues.minCoeff();
  const double largest = eigenvalues.maxCoeff();
  return smallest <= CovarianceDescriptor::kDegenerateTolerance * std::max(largest, 0.0);
}

// V · diag(f(λ)) · Vᵀ
template <typename F>
Eigen::MatrixXd recompose(const Eigensystem& system, F f) {
  const Eigen::VectorXd mapped = system.eigenvalues().unaryExpr(f);
  return system.eigenvectors() * mapped.asDiagonal() * system.eigenvectors().transpose();
}

// The decomposition of the symmetric `sigma`. A degenerate one first gets
// kRidge·I (and `regularized` is set); one that does not converge, or is still
// degenerate after the ridge, is refused.
Eigensystem decomposeWithRidge(Eigen::MatrixXd& sigma, bool& regularized) {
  Eigensystem system(sigma);
  if (system.info() != Eigen::Success)
    throw std::invalid_argument("covariance descriptor: the eigen-decomposition did not converge");
  if (isDegenerate(system.eigenvalues())) {
    sigma.diagonal().array() += CovarianceDescriptor::kRidge;
    regularized = true;
    system.compute(sigma);
    if (system.info() != Eigen::Success || isDegenerate(system.eigenvalues()))
      throw std::invalid_argument(
          "covariance descriptor: the covariance matrix is not positive semi-definite (smallest "
          "eigenvalue " +
          std::to_string(system.eigenvalues().minCoeff()) + ")");
  }
  return system;
}

}  // namespace

CovarianceDescriptor::CovarianceDescriptor(const Eigen::MatrixXd& samples) {
  computeFromSamples(samples);
}

CovarianceDescriptor::CovarianceDescriptor(const Eigen::MatrixXd& sigma, int n) {
  if (sigma.rows() != sigma.cols())
    throw std::invalid_argument("covariance descriptor: the covariance matrix is not square (" +
                                std::to_string(sigma.rows()) + "x" + std::to_string(sigma.cols()) +
                                ")");
  dimension = static_cast<int>(sigma.rows());
  sampleCount = n;
  covariance = sigma;
  derive();
}

namespace {

// Sum of every row, column 0 first.
Eigen::VectorXd rowSums(const Eigen::MatrixXd& samples) {
  Eigen::VectorXd sums(samples.rows());
  for (Eigen::Index r = 0; r < samples.rows(); ++r) sums[r] = samples.row(r).sum();
  return sums;
}

}  // namespace

void CovarianceDescriptor::computeFromSamples(Eigen::MatrixXd samples) {
  const Eigen::VectorXd sums = rowSums(samples);
  computeFromSums(samples, sums, DescriptorKind::Covariance);
}

void CovarianceDescriptor::computeEmbeddingFromSamples(Eigen::MatrixXd samples) {
  const Eigen::VectorXd sums = rowSums(samples);
  computeFromSums(samples, sums, DescriptorKind::Embedding);
}

void CovarianceDescriptor::computeFromSums(Eigen::Ref<Eigen::MatrixXd> samples,
                                           const Eigen::VectorXd& rowSums, DescriptorKind kind) {
  const Eigen::Index d = samples.rows();
  const Eigen::Index n = samples.cols();
  if (rowSums.size() != d)
    throw std::invalid_argument("covariance descriptor: " + std::to_string(rowSums.size()) +
                                " row sums given for " + std::to_string(d) + " features");
  sampleCount = static_cast<int>(n);
  // Population mean and covariance; n = 0 gives zeros.
  Eigen::VectorXd mu = Eigen::VectorXd::Zero(d);
  Eigen::MatrixXd sigma = Eigen::MatrixXd::Zero(d, d);
  if (n > 0) {
    mu = rowSums / static_cast<double>(n);
    samples.colwise() -= mu;
    // Lower triangle only, then mirrored: Σ is exactly symmetric whatever
    // summation order the product kernel picks.
    Eigen::MatrixXd lower = Eigen::MatrixXd::Zero(d, d);
    lower.selfadjointView<Eigen::Lower>().rankUpdate(samples);
    lower /= static_cast<double>(n);
    sigma = lower.selfadjointView<Eigen::Lower>();
  }
  if (kind == DescriptorKind::Covariance) {
    dimension = static_cast<int>(d);
    embedding = false;
    covariance = std::move(sigma);
    derive();
    return;
  }
  dimension = static_cast<int>(d + 1);
  embedding = true;
  const Eigen::VectorXd b = kEmbeddingScale * mu;
  covariance.resize(d + 1, d + 1);
  covariance.topLeftCorner(d, d) = sigma + b * b.transpose();
  covariance.topRightCorner(d, 1) = b;
  covariance.bottomLeftCorner(1, d) = b.transpose();
  covariance(d, d) = 1.0;
  deriveEmbedding();
}

void CovarianceDescriptor::setFromPacked(const Eigen::VectorXd& values, int d) {
  setFromPackedMatrix(values, d);
  derive();
}

void CovarianceDescriptor::setFromPackedMatrix(const Eigen::VectorXd& values, int d) {
  if (d < 0)
    throw std::invalid_argument("covariance descriptor: negative dimension " + std::to_string(d));
  const Eigen::Index needed = static_cast<Eigen::Index>(d) * (d + 1) / 2;
  if (values.size() < needed)
    throw std::invalid_argument("covariance descriptor: " + std::to_string(values.size()) +
                                " packed values given, " + std::to_string(needed) +
                                " needed for order " + std::to_string(d));
  dimension = d;
  sampleCount = 0;
  covariance.resize(d, d);
  Eigen::Index k = 0;
  for (int i = 0; i < d; ++i)
    for (int j = 0; j <= i; ++j, ++k) {
      covariance(i, j) = values[k];
      covariance(j, i) = values[k];
    }
}

void CovarianceDescriptor::setEmbeddingFromPacked(const Eigen::VectorXd& values, int d) {
  if (d < 2)
    throw std::invalid_argument("covariance descriptor: an embedding of order " +
                                std::to_string(d));
  setFromPackedMatrix(values, d);
  embedding = true;
  deriveEmbedding();
}

void CovarianceDescriptor::deriveEmbedding() {
  regularized = false;
  if (!covariance.allFinite())
    throw std::invalid_argument(
        "covariance descriptor: the covariance matrix has a non-finite entry");
  const Eigen::Index d = covariance.rows() - 1;
  if (covariance(d, d) != 1.0)
    throw std::invalid_argument(
        "covariance descriptor: the last diagonal entry of an embedding is " +
        std::to_string(covariance(d, d)) + ", not 1");
  // E = L · diag(Σ, 1) · Lᵀ with L = [[I, b], [0, 1]], b = β μ, so Σ is the
  // Schur complement of the corner.
  const Eigen::VectorXd b = covariance.topRightCorner(d, 1);
  Eigen::MatrixXd sigma = covariance.topLeftCorner(d, d) - b * b.transpose();
  sigma = (0.5 * (sigma + sigma.transpose())).eval();
  const Eigensystem system = decomposeWithRidge(sigma, regularized);
  if (regularized) covariance.topLeftCorner(d, d).diagonal().array() += kRidge;
  // W = diag(Σ^(-1/2), 1) · L⁻¹ whitens E (W E Wᵀ = I), so E⁻¹ = Wᵀ W and,
  // with W = U S Vᵀ, E^(-1/2) = V S Vᵀ: the symmetric root the distance
  // kernels take, built from Σ's well-conditioned decomposition.
  const Eigen::MatrixXd sigmaInvSqrt =
      recompose(system, [](double lambda) { return 1.0 / std::sqrt(lambda); });
  Eigen::MatrixXd W = Eigen::MatrixXd::Zero(d + 1, d + 1);
  W.topLeftCorner(d, d) = sigmaInvSqrt;
  W.topRightCorner(d, 1) = -sigmaInvSqrt * b;
  W(d, d) = 1.0;
  const Eigen::JacobiSVD<Eigen::MatrixXd> svd(W, Eigen::ComputeFullV);
  const Eigen::VectorXd s = svd.singularValues();
  const Eigen::MatrixXd& V = svd.matrixV();
  inverseSqrt = V * s.asDiagonal() * V.transpose();
  inverseSqrt = (0.5 * (inverseSqrt + inverseSqrt.transpose())).eval();
  // s² bounds the entries of E⁻¹: an embedding whose inverse would overflow is refused.
  if (!inverseSqrt.allFinite() || !s.array().square().allFinite() || !(s.minCoeff() > 0.0))
    throw std::invalid_argument(
        "covariance descriptor: the embedding cannot be decomposed (values out of range)");
}

void CovarianceDescriptor::derive() {
  embedding = false;
  regularized = false;
  if (!covariance.allFinite())
    throw std::invalid_argument(
        "covariance descriptor: the covariance matrix has a non-finite entry");

  const Eigensystem system = decomposeWithRidge(covariance, regularized);
  inverseSqrt = recompose(system, [](double lambda) { return 1.0 / std::sqrt(lambda); });
}

Eigen::VectorXd CovarianceDescriptor::packed() const {
  const Eigen::Index d = covariance.rows();
  Eigen::VectorXd values(d * (d + 1) / 2);
  Eigen::Index k = 0;
  for (Eigen::Index i = 0; i < d; ++i)
    for (Eigen::Index j = 0; j <= i; ++j) values[k++] = covariance(i, j);
  return values;
}

}  // namespace rovelin
