// SPDX-License-Identifier: Apache-2.0
// The ranked result of classifying one region.
#pragma once

#include <Eigen/Core>

namespace rovelin {

struct SegmentPrediction {
  int classCount = 0;      // K
  Eigen::VectorXd probs;   // posterior probabilities, descending after ranking
  Eigen::VectorXi labels;  // labels[r]: 0-based class whose probability is probs[r]
  double ratio = 0.0;      // probs[0] / probs[1] after ranking

  // v: K probabilities (renormalised here); fills and ranks the record.
  // Throws std::invalid_argument when v is empty or its sum is not a
  // positive finite number (the division would make NaN).
  void setProbabilities(Eigen::VectorXd v);
  // Sorts probs descending, carrying the labels; equal values keep their
  // order (the sort is stable). Sets ratio: +inf when probs[1] is 0, 1 when both
  // probs[0] and probs[1] are 0 (two equal classes, not 0/0), +inf for K = 1.
  void rankClasses();
  int topLabel() const { return labels[0]; }
};

}  // namespace rovelin
