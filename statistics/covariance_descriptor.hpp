// SPDX-License-Identifier: Apache-2.0
// Covariance descriptor: the covariance matrix of a set of feature vectors
// together with the matrices derived from it once, so that distances need no
// inversion or matrix square root of their own.
#pragma once

#include <Eigen/Core>

#include <optional>
#include <string_view>

namespace rovelin {

// What describes a region: the covariance of its features (order d), or the
// Gaussian embedding of their mean and covariance (order d + 1), which also
// tells regions of the same texture but different colour apart.
enum class DescriptorKind { Covariance, Embedding };

// "covariance" or "embedding".
const char* descriptorName(DescriptorKind kind);
// The inverse of descriptorName; empty for any other text.
std::optional<DescriptorKind> parseDescriptorKind(std::string_view text);
// Matrix order of the descriptor of `features` features.
int descriptorOrder(DescriptorKind kind, int features);

// Every set operation leaves a positive definite Σ with finite derived
// matrices: a degenerate Σ gets kRidge·I added (and `regularized` set, for
// the caller to count and report once); a Σ with a NaN or infinite entry,
// or one still not positive definite after the ridge (a clearly indefinite
// stored triangle), is refused with std::invalid_argument.
class CovarianceDescriptor {
public:
  // Smallest eigenvalue, relative to the largest, that still counts as
  // positive. A covariance whose smallest eigenvalue is at or below
  // kDegenerateTolerance * max(largest, 0) is degenerate (a flat region, a
  // region with fewer pixels than features, a constant feature).
  static constexpr double kDegenerateTolerance = 1e-12;
  // Ridge added to the diagonal of a degenerate covariance (feature units
  // squared): far below the variance of one 8-bit quantisation step.
  static constexpr double kRidge = 1e-6;
  // β of the Gaussian embedding [[Σ + β² μ μᵀ, β μ], [β μᵀ, 1]]: weighs the
  // mean against the covariance.
  static constexpr double kEmbeddingScale = 2.0;

  int sampleCount = 0;  // samples the covariance came from; 0 when set from a packed triangle
  int dimension = 0;    // order d of the matrices
  Eigen::MatrixXd covariance;   // Σ (symmetric), after the ridge when one was needed
  Eigen::MatrixXd inverseSqrt;  // Σ^(-1/2)
  bool regularized = false;     // true when Σ was degenerate and the ridge was added
  // The matrix is a Gaussian embedding E = [[Σ + β² μ μᵀ, β μ], [β μᵀ, 1]]
  // of a covariance Σ of order dimension - 1; `covariance` holds E. Its
  // degeneracy is that of Σ (det E = det Σ), so the ridge goes to Σ, and
  // E^(-1/2) is formed from Σ's decomposition: E itself is far worse
  // conditioned than Σ when the mean is large.
  bool embedding = false;

  CovarianceDescriptor() = default;
  // Same as computeFromSamples on a default descriptor.
  explicit CovarianceDescriptor(const Eigen::MatrixXd& samples);
  // Σ (its lower triangle is what the decomposition reads) and a sample
  // count n, then the derivation.
  CovarianceDescriptor(const Eigen::MatrixXd& sigma, int n);

  // samples: d×n, row r = feature r, column k = sample k. Population
  // covariance (divisor n). n = 0 gives the zero matrix (then the ridge).
  void computeFromSamples(Eigen::MatrixXd samples);
  // The Gaussian embedding (order d + 1, β = kEmbeddingScale) of the mean
  // and population covariance of d×n samples; n = 0 gives a zero mean and
  // the zero covariance (then the ridge).
  void computeEmbeddingFromSamples(Eigen::MatrixXd samples);
  // computeFromSamples (kind Covariance) or computeEmbeddingFromSamples
  // (kind Embedding), to the last bit, without a copy: `samples` (d×n) is
  // centred in place, and `rowSums` holds the sum of every row, added up from
  // column 0 onwards as a plain loop does (as the copying forms sum them).
  void computeFromSums(Eigen::Ref<Eigen::MatrixXd> samples, const Eigen::VectorXd& rowSums,
                       DescriptorKind kind);
  // The first d(d+1)/2 values fill the lower triangle row by row:
  // (0,0), (1,0), (1,1), (2,0), ... Further values are ignored.
  void setFromPacked(const Eigen::VectorXd& values, int d);
  // The same for a Gaussian embedding of order d (≥ 2). Refused with
  // std::invalid_argument unless its last diagonal entry is 1.
  void setEmbeddingFromPacked(const Eigen::VectorXd& values, int d);

  // Packed lower triangle of covariance, row by row (the inverse of setFromPacked).
  Eigen::VectorXd packed() const;

private:
  void derive();
  void deriveEmbedding();
  void setFromPackedMatrix(const Eigen::VectorXd& values, int d);
};

}  // namespace rovelin
