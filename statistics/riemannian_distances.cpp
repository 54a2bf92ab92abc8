// SPDX-License-Identifier: Apache-2.0
// Squared affine-invariant distances. Order-10 descriptors (the ten feature
// planes) and order-11 ones (their Gaussian embeddings) go through the
// fixed-order kernels, which batch up to eight columns that share one first
// descriptor; other orders use Eigen's eigenvalues-only solver. Both compute
// the eigenvalues of first.inverseSqrt · second.covariance · first.inverseSqrt, so zero and
// negative eigenvalues still give +infinity and NaN as the plain formula
// does; descriptors built by CovarianceDescriptor are positive definite.
//
// The matrix operations split their rows into fixed ranges over the worker
// threads; each entry is computed by one thread with the same operations as
// a lone call, so the matrices are bit-identical for any thread count.
#include "statistics/riemannian_distances.hpp"

#include "statistics/fixed_distance_kernel.hpp"
#include "util/parallel.hpp"

#include <Eigen/Eigenvalues>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace rovelin {

namespace {

void checkShapes(const CovarianceDescriptor& descriptor, bool asFirst) {
  const Eigen::MatrixXd& matrix = asFirst ? descriptor.inverseSqrt : descriptor.covariance;
  if (matrix.rows() != descriptor.dimension || matrix.cols() != descriptor.dimension)
    throw std::invalid_argument("squared Riemannian distance: a descriptor of order " +
                                std::to_string(descriptor.dimension) + " holds a " +
                                std::to_string(matrix.rows()) + "x" +
                                std::to_string(matrix.cols()) + " matrix (descriptor not set)");
}

void checkSameOrder(int first, int second) {
  if (first != second)
    throw std::invalid_argument("squared Riemannian distance: descriptors of orders " +
                                std::to_string(first) + " and " + std::to_string(second) +
                                " cannot be compared");
}

double generalDistance(const CovarianceDescriptor& first, const CovarianceDescriptor& second) {
  const Eigen::MatrixXd M = (first.inverseSqrt * second.covariance) * first.inverseSqrt;
  const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> genEig(M, Eigen::EigenvaluesOnly);
  double sum = 0.0;
  for (const double lambda : genEig.eigenvalues()) {
    const double logLambda = std::log(lambda);
    sum += logLambda * logLambda;
  }
  return sum;
}

// Squared distances from `first` to column(begin..end-1), written through put(j, value).
template <typename Column, typename Put>
void distancesFromColumns(const CovarianceDescriptor& first, Column column, std::size_t begin,
                          std::size_t end, Put put) {
  const bool order10 = first.dimension == detail::kKernelOrder;
  if (!order10 && first.dimension != detail::kEmbeddingKernelOrder) {
    for (std::size_t j = begin; j < end; ++j) put(j, generalDistance(first, column(j)));
    return;
  }
  const double* W = first.inverseSqrt.data();
  for (std::size_t j = begin; j < end; j += detail::kKernelLanes) {
    const int count = static_cast<int>(std::min<std::size_t>(detail::kKernelLanes, end - j));
    const double* S[detail::kKernelLanes];
    for (int q = 0; q < count; ++q) S[q] = column(j + q).covariance.data();
    double values[detail::kKernelLanes];
    bool converged[detail::kKernelLanes];
    if (order10) {
      detail::squaredDistancesOrder10(W, S, count, values, converged);
    } else {
      detail::squaredDistancesOrder11(W, S, count, values, converged);
    }
    for (int q = 0; q < count; ++q)
      put(j + q, converged[q] ? values[q] : generalDistance(first, column(j + q)));
  }
}

template <typename Put>
void distancesFrom(const CovarianceDescriptor& first, std::span<const CovarianceDescriptor> columns,
                   std::size_t begin, std::size_t end, Put put) {
  distancesFromColumns(
      first, [&](std::size_t j) -> const CovarianceDescriptor& { return columns[j]; }, begin, end,
      put);
}

void checkAll(std::span<const CovarianceDescriptor> descriptors, int order) {
  for (const CovarianceDescriptor& descriptor : descriptors) {
    checkSameOrder(order, descriptor.dimension);
    checkShapes(descriptor, true);
    checkShapes(descriptor, false);
  }
}

}  // namespace

double squaredRiemannianDistance(const CovarianceDescriptor& first,
                                 const CovarianceDescriptor& second) {
  checkSameOrder(first.dimension, second.dimension);
  checkShapes(first, true);
  checkShapes(second, false);
  double value = 0.0;
  distancesFrom(first, std::span<const CovarianceDescriptor>(&second, 1), 0, 1,
                [&](std::size_t, double d) { value = d; });
  return value;
}

Eigen::MatrixXd pairwiseSquaredDistances(std::span<const CovarianceDescriptor> descriptors) {
  const std::size_t count = descriptors.size();
  Eigen::MatrixXd D =
      Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(count), static_cast<Eigen::Index>(count));
  if (count < 2) return D;
  checkAll(descriptors, descriptors[0].dimension);

  // Row i costs count-1-i pairs; unit u takes rows u and count-1-u, so every
  // unit costs about the same and fixed ranges of units balance the threads.
  auto doRow = [&](std::size_t i) {
    distancesFrom(descriptors[i], descriptors, i + 1, count, [&](std::size_t j, double value) {
      D(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) = value;
      D(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(i)) = value;
    });
  };
  const long units = static_cast<long>((count + 1) / 2);
  parallelFor(units, [&](long begin, long end) {
    for (long u = begin; u < end; ++u) {
      const std::size_t low = static_cast<std::size_t>(u);
      const std::size_t high = count - 1 - low;
      doRow(low);
      if (high != low) doRow(high);
    }
  });
  return D;
}

Eigen::MatrixXd crossSquaredDistances(std::span<const CovarianceDescriptor> rows,
                                      std::span<const CovarianceDescriptor> columns) {
  Eigen::MatrixXd D = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(rows.size()),
                                            static_cast<Eigen::Index>(columns.size()));
  if (rows.empty() || columns.empty()) return D;
  const int order = rows[0].dimension;
  checkAll(rows, order);
  checkAll(columns, order);
  parallelFor(static_cast<long>(rows.size()), [&](long begin, long end) {
    for (long i = begin; i < end; ++i)
      distancesFrom(
          rows[static_cast<std::size_t>(i)], columns, 0, columns.size(),
          [&](std::size_t j, double value) { D(i, static_cast<Eigen::Index>(j)) = value; });
  });
  return D;
}

void squaredDistancesFrom(const CovarianceDescriptor& first,
                          std::span<const CovarianceDescriptor* const> seconds,
                          std::span<double> out) {
  if (out.size() != seconds.size())
    throw std::invalid_argument("squared Riemannian distances: " + std::to_string(seconds.size()) +
                                " descriptors but room for " + std::to_string(out.size()) +
                                " values");
  if (seconds.empty()) return;
  checkShapes(first, true);
  for (const CovarianceDescriptor* second : seconds) {
    checkSameOrder(first.dimension, second->dimension);
    checkShapes(*second, false);
  }
  distancesFromColumns(
      first, [&](std::size_t j) -> const CovarianceDescriptor& { return *seconds[j]; }, 0,
      seconds.size(), [&](std::size_t j, double value) { out[j] = value; });
}

}  // namespace rovelin
