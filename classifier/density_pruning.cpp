// SPDX-License-Identifier: Apache-2.0
// Pruned class log densities: for each test descriptor, each class computes
// its distances in batches of the distance kernel's width, the samples with
// the smallest lower bound first, and every computed distance raises the
// bounds of the samples still open through the triangle inequality. The
// bounds are lowered by a slack of 1e-6 of the distances involved (1e-3
// of the log determinants for their bound), far above the rounding of the computed distances of
// pairs whose kernel values can matter. Far pairs (distances beyond about 20, whitened matrices of
// condition beyond 1e15) are computed less exactly than that; there the
// bounds hold for the exact distances, and the class is one whose density
// is negligible next to the leading ones.
//
// The log density is formed from the computed exponents with the same
// log-sum-exp as the exact one (skipped samples count as -inf), so a class
// where nothing was skipped gets the exact value bit for bit.
#include "classifier/density_pruning.hpp"

#include "statistics/riemannian_distances.hpp"
#include "util/parallel.hpp"

#include <Eigen/Cholesky>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>

namespace rovelin {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kNegInf = -std::numeric_limits<double>::infinity();
constexpr long kInterleave = 16;      // stride of the order the regions are shared out in
constexpr int kBatch = 8;             // pairs the distance kernel computes side by side
constexpr double kBoundSlack = 1e-6;  // bounds are lowered by this times (1 + the distances)
// The log determinants of the embeddings, from the Cholesky factors of badly
// conditioned matrices, differ from the kernel's sum of log eigenvalues by
// up to 2e-4 of their size on the demo's regions: their bound gets more room.
constexpr double kLogDetSlack = 1e-3;

// log det of an SPD matrix; NaN when it has no Cholesky factor.
double logDeterminant(const Eigen::MatrixXd& m) {
  const Eigen::LLT<Eigen::MatrixXd> llt(m);
  if (llt.info() != Eigen::Success) return std::numeric_limits<double>::quiet_NaN();
  double sum = 0.0;
  for (Eigen::Index r = 0; r < m.rows(); ++r) sum += std::log(llt.matrixLLT()(r, r));
  return 2.0 * sum;
}

// log(exp(a) + exp(b)).
double logAdd(double a, double b) {
  if (a < b) std::swap(a, b);
  if (a == kNegInf) return a;
  return a + std::log1p(std::exp(b - a));
}

// What a class keeps for pruning: its samples' distances to each other (not
// squared) and their log determinants.
struct ClassIndex {
  const TrainingClass* source = nullptr;
  Eigen::MatrixXd roots;
  std::vector<double> logDets;
  double offset = 0;  // log n + d/2 · log(2πh), as logDensitiesFromDistances subtracts
};

enum : unsigned char { kOpen, kComputed, kSkipped };

// One class's progress for one test descriptor.
struct ClassState {
  std::vector<double> bound;  // lower bound of the distance to each sample
  std::vector<unsigned char> state;
  Eigen::RowVectorXd exponents;  // -δ²/2h of computed samples, -inf for the others
  double top = kNegInf;          // the largest computed exponent
  double scaledSum = 0;          // Σ exp(exponent - top) over the computed ones
  int open = 0;

  double logSum() const { return top == kNegInf ? kNegInf : top + std::log(scaledSum); }
};

class RowPruner {
public:
  RowPruner(const std::vector<ClassIndex>& index, double tolerance)
      : index_(index), tolerance_(tolerance), states_(index.size()) {}

  // Fills row `row` of `logp` with the densities of `t`; returns the distances computed.
  long run(const CovarianceDescriptor& t, double logDet, Eigen::MatrixXd& logp, Eigen::Index row) {
    long computed = 0;
    const std::size_t k = index_.size();
    for (std::size_t c = 0; c < k; ++c) start(c, t, logDet);
    // A first batch in every class, then the classes in the order of what it
    // found, so that the leading classes are usually finished first.
    for (std::size_t c = 0; c < k; ++c) computed += step(c, t);
    std::vector<std::size_t> order(k);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [this](std::size_t a, std::size_t b) { return density(a) > density(b); });
    // The two largest log densities of the classes finished so far.
    double best = kNegInf;
    double second = kNegInf;
    for (const std::size_t c : order) {
      ClassState& s = states_[c];
      bool finished = true;
      while (s.open > 0) {
        if (second > kNegInf && upperDensity(c) <= std::log(tolerance_) + second) {
          finished = false;  // far below the second best class: it cannot matter
          break;
        }
        computed += step(c, t);
      }
      if (finished) {
        const double value = density(c);
        if (value > best) {
          second = best;
          best = value;
        } else if (value > second) {
          second = value;
        }
      }
    }
    for (std::size_t c = 0; c < k; ++c)
      logp(row, static_cast<Eigen::Index>(c)) = logSumExp(states_[c].exponents) - index_[c].offset;
    return computed;
  }

private:
  const std::vector<ClassIndex>& index_;
  double tolerance_;
  std::vector<ClassState> states_;
  const CovarianceDescriptor* seconds_[kBatch] = {};
  double values_[kBatch] = {};
  int picked_[kBatch] = {};
  std::vector<int> candidates_;

  const TrainingClass& cls(std::size_t c) const { return *index_[c].source; }

  void start(std::size_t c, const CovarianceDescriptor& t, double logDet) {
    const ClassIndex& ci = index_[c];
    const int n = cls(c).sampleCount;
    ClassState& s = states_[c];
    s.bound.assign(static_cast<std::size_t>(n), 0.0);
    s.state.assign(static_cast<std::size_t>(n), kOpen);
    s.exponents.setConstant(n, kNegInf);
    s.top = kNegInf;
    s.scaledSum = 0.0;
    s.open = n;
    // δ² ≥ (log det t − log det s)² / d.
    const double rootD = std::sqrt(static_cast<double>(t.dimension));
    for (int j = 0; j < n; ++j) {
      const double other = ci.logDets[static_cast<std::size_t>(j)];
      const double gap = std::abs(logDet - other);
      const double b = gap / rootD - kLogDetSlack * (1.0 + std::abs(logDet) + std::abs(other));
      if (std::isfinite(b) && b > 0.0) s.bound[static_cast<std::size_t>(j)] = b;
    }
  }

  double density(std::size_t c) const { return states_[c].logSum() - index_[c].offset; }

  // Log of an upper bound of class c's density: the computed kernel values
  // and, for the samples not computed, their number times the largest
  // kernel value their bounds allow.
  double upperDensity(std::size_t c) const {
    const ClassState& s = states_[c];
    const double h = cls(c).bandwidth;
    double smallest = std::numeric_limits<double>::infinity();
    int rest = 0;
    for (std::size_t j = 0; j < s.state.size(); ++j) {
      if (s.state[j] != kComputed) {
        smallest = std::min(smallest, s.bound[j]);
        ++rest;
      }
    }
    const double restLog =
        rest == 0 ? kNegInf : std::log(static_cast<double>(rest)) - 0.5 * smallest * smallest / h;
    return logAdd(s.logSum(), restLog) - index_[c].offset;
  }

  // Computes the open samples of class c with the smallest bounds (one
  // batch), then raises and settles the bounds of the rest.
  long step(std::size_t c, const CovarianceDescriptor& t) {
    ClassState& s = states_[c];
    if (s.open == 0) return 0;
    const TrainingClass& tc = cls(c);
    const ClassIndex& ci = index_[c];
    const int n = tc.sampleCount;
    candidates_.clear();
    for (int j = 0; j < n; ++j) {
      if (s.state[static_cast<std::size_t>(j)] == kOpen) candidates_.push_back(j);
    }
    const int count = std::min<int>(kBatch, static_cast<int>(candidates_.size()));
    std::partial_sort(candidates_.begin(), candidates_.begin() + count, candidates_.end(),
                      [&s](int a, int b) {
                        const double ba = s.bound[static_cast<std::size_t>(a)];
                        const double bb = s.bound[static_cast<std::size_t>(b)];
                        return ba < bb || (ba == bb && a < b);
                      });
    for (int q = 0; q < count; ++q) {
      picked_[q] = candidates_[static_cast<std::size_t>(q)];
      seconds_[q] = &tc.samples[static_cast<std::size_t>(picked_[q])];
    }
    squaredDistancesFrom(t, std::span<const CovarianceDescriptor* const>(seconds_, count),
                         std::span<double>(values_, count));
    const double h = tc.bandwidth;
    for (int q = 0; q < count; ++q) {
      const auto j = static_cast<std::size_t>(picked_[q]);
      // As logDensitiesFromDistances forms it.
      const double e = -0.5 * values_[q] / h;
      const double exponent = std::isnan(e) ? kNegInf : e;
      s.exponents[picked_[q]] = exponent;
      s.state[j] = kComputed;
      --s.open;
      if (std::isfinite(exponent)) {
        if (exponent > s.top) {
          s.scaledSum = s.scaledSum * std::exp(s.top - exponent) + 1.0;
          s.top = exponent;
        } else {
          s.scaledSum += std::exp(exponent - s.top);
        }
      }
    }
    // The pivots: computed samples at a finite distance.
    const double* columns[kBatch];
    double radii[kBatch];
    int pivots = 0;
    for (int q = 0; q < count; ++q) {
      if (!std::isfinite(values_[q]) || values_[q] < 0.0) continue;  // no bound from this one
      // The roots are symmetric: column picked_[q] is its row.
      columns[pivots] = ci.roots.data() + static_cast<Eigen::Index>(picked_[q]) * n;
      radii[pivots] = std::sqrt(values_[q]);
      ++pivots;
    }
    // A sample whose kernel value is at most τ/n of the largest one found
    // is skipped.
    const double floor = s.top > kNegInf ? s.top + std::log(tolerance_ / static_cast<double>(n))
                                         : std::numeric_limits<double>::quiet_NaN();
    for (std::size_t u = static_cast<std::size_t>(count); u < candidates_.size(); ++u) {
      const auto j = static_cast<std::size_t>(candidates_[u]);
      double bound = s.bound[j];
      for (int p = 0; p < pivots; ++p) {
        const double between = columns[p][j];
        // NaN (a distance that is not a number) bounds nothing: the comparison is false.
        const double b = std::abs(radii[p] - between) - kBoundSlack * (1.0 + radii[p] + between);
        if (b > bound) bound = b;
      }
      s.bound[j] = bound;
      if (-0.5 * bound * bound / h <= floor) {
        s.state[j] = kSkipped;
        --s.open;
      }
    }
    return count;
  }
};

}  // namespace

Eigen::MatrixXd prunedLogDensities(const std::vector<TrainingClass>& classes,
                                   std::span<const CovarianceDescriptor> test, double tolerance,
                                   PruningCounts* counts) {
  if (!(tolerance >= 0.0 && tolerance <= kMaxDensityTolerance)) {
    throw std::invalid_argument("density tolerance " + std::to_string(tolerance) +
                                " is not between 0 and 0.001");
  }
  const auto m = static_cast<Eigen::Index>(test.size());
  const auto k = static_cast<Eigen::Index>(classes.size());
  Eigen::MatrixXd logp(m, k);
  long pairs = 0;
  for (const TrainingClass& tc : classes) pairs += static_cast<long>(m) * tc.sampleCount;
  if (counts != nullptr) *counts = PruningCounts{pairs, pairs};
  if (tolerance == 0.0 || m == 0) {
    for (Eigen::Index c = 0; c < k; ++c)
      logp.col(c) = classes[static_cast<std::size_t>(c)].logDensities(test);
    return logp;
  }

  std::vector<ClassIndex> index(classes.size());
  for (std::size_t c = 0; c < classes.size(); ++c) {
    const TrainingClass& tc = classes[c];
    const double h = tc.bandwidth;
    if (tc.sampleCount < 1 || static_cast<std::size_t>(tc.sampleCount) != tc.samples.size() ||
        tc.distances.rows() != tc.sampleCount || tc.distances.cols() != tc.sampleCount ||
        !(h > 0.0) || !std::isfinite(h)) {
      throw std::logic_error("training class '" + tc.name +
                             "' has no samples, distances or valid bandwidth");
    }
    ClassIndex& ci = index[c];
    ci.source = &tc;
    // A distance that is not a number bounds nothing.
    ci.roots = tc.distances.unaryExpr([](double v) {
      return v >= 0.0 && std::isfinite(v) ? std::sqrt(v) : std::numeric_limits<double>::quiet_NaN();
    });
    for (const CovarianceDescriptor& s : tc.samples)
      ci.logDets.push_back(logDeterminant(s.covariance));
    ci.offset = std::log(static_cast<double>(tc.sampleCount)) +
                0.5 * static_cast<double>(tc.dimension) * std::log(kTwoPi * h);
  }
  std::vector<long> computed(test.size(), 0);
  // Neighbouring regions cost alike and pruning makes some far cheaper than
  // others, so the threads' fixed ranges take the regions in a strided
  // order: every range then holds regions from all over the frame.
  std::vector<long> order;
  order.reserve(test.size());
  for (long offset = 0; offset < kInterleave; ++offset) {
    for (long i = offset; i < static_cast<long>(m); i += kInterleave) order.push_back(i);
  }
  parallelFor(static_cast<long>(m), [&](long begin, long end) {
    RowPruner pruner(index, tolerance);
    for (long u = begin; u < end; ++u) {
      const long i = order[static_cast<std::size_t>(u)];
      const CovarianceDescriptor& t = test[static_cast<std::size_t>(i)];
      computed[static_cast<std::size_t>(i)] = pruner.run(t, logDeterminant(t.covariance), logp, i);
    }
  });
  if (counts != nullptr) counts->computed = std::accumulate(computed.begin(), computed.end(), 0L);
  return logp;
}

}  // namespace rovelin
