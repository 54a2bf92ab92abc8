// SPDX-License-Identifier: Apache-2.0
#include "classifier/segment_prediction.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <utility>
#include <vector>

namespace rovelin {

void SegmentPrediction::setProbabilities(Eigen::VectorXd v) {
  if (v.size() == 0) throw std::invalid_argument("setProbabilities: no class probabilities given");
  const double sum = v.sum();
  if (!(sum > 0.0) || !std::isfinite(sum)) {
    throw std::invalid_argument(
        "setProbabilities: the class probabilities do not have a positive finite sum");
  }
  classCount = static_cast<int>(v.size());
  v /= sum;
  probs = std::move(v);
  labels.resize(classCount);
  for (int r = 0; r < classCount; ++r) labels[r] = r;
  rankClasses();
}

void SegmentPrediction::rankClasses() {
  const Eigen::Index k = probs.size();
  if (labels.size() != k) throw std::logic_error("rankClasses: probs and labels differ in length");
  // Stable: equal probabilities keep their incoming order.
  std::vector<Eigen::Index> order(static_cast<std::size_t>(k));
  std::iota(order.begin(), order.end(), Eigen::Index{0});
  std::stable_sort(order.begin(), order.end(),
                   [this](Eigen::Index a, Eigen::Index b) { return probs[a] > probs[b]; });
  Eigen::VectorXd rankedProbs(k);
  Eigen::VectorXi rankedLabels(k);
  for (Eigen::Index r = 0; r < k; ++r) {
    rankedProbs[r] = probs[order[static_cast<std::size_t>(r)]];
    rankedLabels[r] = labels[order[static_cast<std::size_t>(r)]];
  }
  probs = std::move(rankedProbs);
  labels = std::move(rankedLabels);
  if (k < 2) {
    ratio = std::numeric_limits<double>::infinity();
  } else if (probs[0] == 0.0 && probs[1] == 0.0) {
    // Context weights of 0 can wipe out both leading classes; they are then
    // equally likely, which is a ratio of 1, not the 0/0 of the division.
    ratio = 1.0;
  } else {
    ratio = probs[0] / probs[1];
  }
}

}  // namespace rovelin
