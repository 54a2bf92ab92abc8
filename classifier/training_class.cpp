// SPDX-License-Identifier: Apache-2.0
// Per-class kernel density model: squared distances between the class's own
// samples, the kernel variance chosen by a leave-one-out fixed point, and the
// log density of test descriptors.
//
// The fixed point h ← Σ_l (s_l / μ_l) / (n(n−1)d) uses, for every sample l,
// s_l = Σ_q D(l,q)·G(q,l) and μ_l = (Σ_q G(q,l)) / n with the Gaussian kernel
// values G. The normalising factor (2πh)^(−d/2) multiplies numerator and
// denominator alike, and so does any common factor of a column, so each
// column is evaluated with its kernel values divided by the column's largest
// one (the exponent shifted by the smallest off-diagonal distance). Where the
// unscaled kernel values are representable this equals the plain ratio to
// rounding; where they all underflow (a sample far from the rest of its
// class) the plain ratio is 0/0 and would make the whole class's h NaN.
//
// Densities are returned in the log domain for the same reason: a test
// descriptor far from every sample keeps a finite log density, and the
// posteriors over classes are formed by log-sum-exp.
#include "classifier/training_class.hpp"

#include "statistics/riemannian_distances.hpp"
#include "util/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace rovelin {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kStartFactor = 1.1236;
constexpr double kStartExponent = 0.4;
constexpr int kParallelColumns = 64;

std::span<const CovarianceDescriptor> classSamples(const TrainingClass& c) {
  if (c.sampleCount < 0 || static_cast<std::size_t>(c.sampleCount) != c.samples.size()) {
    throw std::logic_error("training class '" + c.name +
                           "': sampleCount does not match its samples");
  }
  return {c.samples.data(), c.samples.size()};
}

}  // namespace

// log Σ exp(a_j) over the finite entries; -inf when there are none. A
// distance that is +inf or NaN gives a kernel value of 0, that is a term of
// -inf here, and is therefore left out.
double logSumExp(const Eigen::Ref<const Eigen::RowVectorXd>& a) {
  double top = -std::numeric_limits<double>::infinity();
  for (Eigen::Index j = 0; j < a.size(); ++j) {
    if (std::isfinite(a[j])) top = std::max(top, a[j]);
  }
  if (top == -std::numeric_limits<double>::infinity()) return top;
  double sum = 0.0;
  for (Eigen::Index j = 0; j < a.size(); ++j) {
    if (std::isfinite(a[j])) sum += std::exp(a[j] - top);
  }
  return top + std::log(sum);
}

double initialBandwidth(int n) {
  return kStartFactor * std::pow(static_cast<double>(n), kStartExponent);
}

void TrainingClass::computeDistances() {
  distances = pairwiseSquaredDistances(classSamples(*this));
}

void TrainingClass::selectBandwidth() {
  const int n = sampleCount;
  if (distances.rows() != n || distances.cols() != n) {
    throw std::logic_error("training class '" + name + "': distances not computed");
  }
  const int d = samples.empty() ? dimension : samples.front().dimension;
  double h = initialBandwidth(n);
  double hPrev = 0.0;
  int t = 0;
  // n·(n−1) is an integer count of ordered pairs; 64 bits keep it exact for
  // classes beyond 46341 samples.
  const std::int64_t pairs = static_cast<std::int64_t>(n) * static_cast<std::int64_t>(n - 1);
  Eigen::VectorXd ratios(n);
  while (std::abs(hPrev - h) > kBandwidthTolerance && t < kMaxBandwidthIterations) {
    hPrev = h;
    ++t;
    // Columns are independent; each ratio is written by one worker and the
    // sum below runs in index order, so h does not depend on the thread count.
    const auto columns = [&](long begin, long end) {
      Eigen::VectorXd exponent(n);
      for (long l = begin; l < end; ++l) {
        // Exponents −0.5·D/h of column l; the diagonal keeps a kernel value of 0.
        double top = -std::numeric_limits<double>::infinity();
        for (int q = 0; q < n; ++q) {
          if (q == l) continue;
          exponent[q] = -0.5 * distances(q, l) / hPrev;
          if (std::isfinite(exponent[q])) top = std::max(top, exponent[q]);
        }
        if (top == -std::numeric_limits<double>::infinity()) {
          ratios[l] = 0.0;  // no sample at a finite distance: this column carries no weight
          continue;
        }
        double s = 0.0;
        double colSum = 0.0;
        for (int q = 0; q < n; ++q) {
          if (q == l || !std::isfinite(exponent[q])) continue;
          const double g = std::exp(exponent[q] - top);
          s += distances(q, l) * g;  // D is symmetric; column access is contiguous
          colSum += g;
        }
        const double mu = colSum / n;
        ratios[l] = s / mu;
      }
    };
    // Threads start per call; small classes are not worth it.
    if (n >= kParallelColumns) {
      parallelFor(n, columns);
    } else {
      columns(0, n);
    }
    h = 0.0;
    for (int l = 0; l < n; ++l) h += ratios[l];
    h = h / (static_cast<double>(pairs) * d);
    if (!(h > 0.0) || !std::isfinite(h)) {
      break;  // identical samples: no kernel variance can be formed
    }
  }
  bandwidth = h;
  bandwidthIterations = t;
}

Eigen::VectorXd TrainingClass::logDensities(std::span<const CovarianceDescriptor> test) const {
  const std::span<const CovarianceDescriptor> own = classSamples(*this);
  const double h = bandwidth;
  if (own.empty() || !(h > 0.0) || !std::isfinite(h)) {
    throw std::logic_error("training class '" + name + "' has no samples or no valid bandwidth");
  }
  return logDensitiesFromDistances(crossSquaredDistances(test, own));
}

Eigen::VectorXd TrainingClass::logDensitiesFromDistances(const Eigen::MatrixXd& dtest) const {
  const double h = bandwidth;
  if (sampleCount < 1 || dtest.cols() != sampleCount || !(h > 0.0) || !std::isfinite(h)) {
    throw std::logic_error("training class '" + name + "' has no samples or no valid bandwidth");
  }
  const double offset = std::log(static_cast<double>(sampleCount)) +
                        0.5 * static_cast<double>(dimension) * std::log(kTwoPi * h);
  Eigen::VectorXd logp(dtest.rows());
  Eigen::RowVectorXd exponents(dtest.cols());
  for (Eigen::Index i = 0; i < dtest.rows(); ++i) {
    for (Eigen::Index j = 0; j < dtest.cols(); ++j) {
      const double e = -0.5 * dtest(i, j) / h;
      // NaN distances count as infinitely far (kernel value 0).
      exponents[j] = std::isnan(e) ? -std::numeric_limits<double>::infinity() : e;
    }
    logp[i] = logSumExp(exponents) - offset;
  }
  return logp;
}

}  // namespace rovelin
