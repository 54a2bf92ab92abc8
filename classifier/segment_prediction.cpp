// SPDX-License-Identifier: Apache-2.0
#include "classifier/segment_prediction.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace rovelin {

void SegmentPrediction::setProbabilities(Eigen::VectorXd v) {
  if (v.size() == 0) {
    throw std::invalid_argument("setProbabilities: no class probabilities given");
  }
  const double sum = v.sum();
  if (!(sum > 0.0) || !std::isfinite(sum)) {
    throw std::invalid_argument(
        "setProbabilities: the class probabilities do not have a positive finite sum");
  }
  classCount = static_cast<int>(v.size());
  v /= sum;
  probs = std::move(v);
  labels.resize(classCount);
  for (int r = 0; r < classCount; ++r) {
    labels[r] = r;
  }
  rankClasses();
}

void SegmentPrediction::rankClasses() {
  const Eigen::Index k = probs.size();
  if (labels.size() != k) {
    throw std::logic_error("rankClasses: probs and labels differ in length");
  }
  Eigen::VectorXd myprobs = Eigen::VectorXd::Zero(k);
  Eigen::VectorXi mylabel = Eigen::VectorXi::Zero(k);
  std::vector<bool> picked(static_cast<std::size_t>(k), false);
  for (Eigen::Index r = 0; r < k; ++r) {
    Eigen::Index best = -1;
    for (Eigen::Index a = 0; a < k; ++a) {
      if (picked[a]) continue;
      // Only a strictly larger value displaces the current best, so equal
      // probabilities keep their incoming order.
      if (best < 0 || probs[a] > probs[best]) best = a;
    }
    picked[best] = true;
    myprobs[r] = probs[best];
    mylabel[r] = labels[best];
  }
  probs = myprobs;
  labels = mylabel;
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
