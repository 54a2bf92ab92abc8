// SPDX-License-Identifier: Apache-2.0
// Per-class kernel density model: a class's training samples, the squared
// distances between them, the kernel variance chosen from them, and the log
// density of test descriptors under the class.
#pragma once

#include "statistics/covariance_descriptor.hpp"

#include <Eigen/Core>

#include <span>
#include <string>
#include <vector>

namespace rovelin {

// Kernel variance the bandwidth fixed point starts from for a class of n
// samples: 1.1236 · n^0.4.
double initialBandwidth(int n);

// log Σ exp(a_j) over the finite entries of `a`; -inf when there are none.
double logSumExp(const Eigen::Ref<const Eigen::RowVectorXd>& a);

// What preparing a class computes from its samples, as a cache keeps it.
struct PreparedClass {
  Eigen::MatrixXd distances;    // n×n squared distances
  double bandwidth = 0;         // kernel variance h
  int bandwidthIterations = 0;  // fixed-point steps that chose it
};

struct TrainingClass {
  static constexpr int kMaxBandwidthIterations = 25;
  static constexpr double kBandwidthTolerance = 1e-8;  // on successive values of h

  int dimension = 0;                          // d
  int sampleCount = 0;                        // n, samples of this class
  std::string name;                           // one word
  double bandwidth = 0;                       // kernel variance h
  std::vector<CovarianceDescriptor> samples;  // this class's samples, file order
  Eigen::MatrixXd distances;                  // n×n squared distances
  int bandwidthIterations = 0;                // fixed-point steps selectBandwidth ran

  void computeDistances();
  // Fixed point for h: start 1.1236·n^0.4, at most 25 iterations, tolerance 1e-8.
  // Each sample's ratio is formed from kernel values scaled by the largest
  // of its column, so a sample far from all others cannot turn h into 0/0.
  // Stops early if h leaves (0, ∞), which the loader then rejects.
  void selectBandwidth();
  // Log of the kernel density of every test descriptor under this class
  // (log-sum-exp, so far descriptors keep a finite value). A distance that
  // is not finite contributes a kernel value of 0.
  Eigen::VectorXd logDensities(std::span<const CovarianceDescriptor> test) const;
  // The same from the squared distances of the test descriptors (rows) to
  // this class's samples (columns).
  Eigen::VectorXd logDensitiesFromDistances(const Eigen::MatrixXd& dtest) const;
};

}  // namespace rovelin
