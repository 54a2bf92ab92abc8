// SPDX-License-Identifier: Apache-2.0
// Class log densities that skip the pairs whose kernel values cannot matter.
//
// The affine-invariant distance δ is a metric, and every class keeps the
// squared distances between its own samples, so one computed distance
// δ(t, s_k) bounds every other: δ(t, s_j) ≥ |δ(t, s_k) − δ(s_k, s_j)|.
// The log determinants give a first bound before any distance is computed:
// δ(t, s)² ≥ (log det t − log det s)² / d (Cauchy-Schwarz over the d log
// eigenvalues). Each test descriptor computes its distances in batches,
// nearest bound first, and leaves out what the bounds settle. With a
// tolerance τ > 0, for every test descriptor and class:
//  - a sample is skipped only when its kernel value is at most τ/n times
//    the largest kernel value computed in the class (n its samples), so
//    the skipped values add up to at most τ times the computed density;
//  - or, for a class below the two best ones, the class stops as soon as
//    its density, skipped samples included, is at most τ times that of the
//    second best class.
// So every class density p̃ is a lower bound of the exact one p with
// p ≤ p̃·(1 + τ), except for classes with p ≤ τ·p₂ (p₂ the density of the
// second best class), where p̃ ≤ p ≤ τ·p₂. The two leading classes, the
// ratio between them and their posteriors keep a relative error of about
// 2τ; every other posterior is at most τ and off by at most τ.
#pragma once

#include "classifier/training_class.hpp"
#include "statistics/covariance_descriptor.hpp"

#include <Eigen/Core>

#include <span>
#include <vector>

namespace rovelin {

// The largest tolerance accepted: beyond it the two leading classes could
// trade places through the pruning alone.
inline constexpr double kMaxDensityTolerance = 1e-3;
// The tolerance rovelin-train --tune records: far below what the
// probabilities are printed to, and what the distances are computed to.
inline constexpr double kTunedDensityTolerance = 1e-12;

// What a pruned classification did.
struct PruningCounts {
  long pairs = 0;     // test descriptors times samples
  long computed = 0;  // distances computed
};

// Log densities (one row per test descriptor, one column per class) to the
// tolerance τ described above; τ = 0 computes every pair and gives the
// values of TrainingClass::logDensities bit for bit. Parallel over the test
// descriptors; the result does not depend on the number of threads.
// Throws std::invalid_argument when τ is not in [0, 1e-3].
Eigen::MatrixXd prunedLogDensities(const std::vector<TrainingClass>& classes,
                                   std::span<const CovarianceDescriptor> test, double tolerance,
                                   PruningCounts* counts = nullptr);

}  // namespace rovelin
