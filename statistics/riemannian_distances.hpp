// SPDX-License-Identifier: Apache-2.0
// Squared affine-invariant Riemannian distances between covariance
// descriptors: the sum of squared logarithms of the eigenvalues of
// first^(-1/2) · second · first^(-1/2).
#pragma once

#include "statistics/covariance_descriptor.hpp"

#include <Eigen/Core>

#include <span>

namespace rovelin {

// Reads first.inverseSqrt and second.covariance only.
double squaredRiemannianDistance(const CovarianceDescriptor& first,
                                 const CovarianceDescriptor& second);

// count×count, full symmetric, zero diagonal; entry (i, j), i < j, is
// squaredRiemannianDistance(descriptors[i], descriptors[j]). Parallel over
// the worker threads; the result does not depend on their number.
Eigen::MatrixXd pairwiseSquaredDistances(std::span<const CovarianceDescriptor> descriptors);

// rows.size()×columns.size(); entry (i, j) is
// squaredRiemannianDistance(rows[i], columns[j]). Parallel, thread-count independent.
Eigen::MatrixXd crossSquaredDistances(std::span<const CovarianceDescriptor> rows,
                                      std::span<const CovarianceDescriptor> columns);

// out[j] = squaredRiemannianDistance(first, *seconds[j]) for every j, on the
// calling thread (the same values the matrix functions give). Throws
// std::invalid_argument on orders or shapes that do not match.
void squaredDistancesFrom(const CovarianceDescriptor& first,
                          std::span<const CovarianceDescriptor* const> seconds,
                          std::span<double> out);

}  // namespace rovelin
