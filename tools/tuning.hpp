// SPDX-License-Identifier: Apache-2.0
// Chooses the settings of a model from its labelled frames: every candidate
// (descriptor, segmentation, vehicle rule) is scored by leave-one-frame-out
// cross-validation, the pixel accuracy on each held-out frame of a model
// trained on the others.
#pragma once

#include "segmentation/segmentation_params.hpp"
#include "statistics/covariance_descriptor.hpp"
#include "tools/training_builder.hpp"

#include <iosfwd>
#include <vector>

namespace rovelin {

// The run settings tried, and how they scored.
struct TuningCandidate : RunSettings {
  double regionsPerFrame = 0.0;     // mean region count of the frames at this segmentation
  std::vector<double> frameScores;  // held-out pixel accuracy, one per labelled frame
  double meanAccuracy = 0.0;        // mean of frameScores
};

struct TuningResult {
  std::vector<TuningCandidate> tried;  // in the order they were scored
  std::size_t best = 0;                // index of the winner in `tried`
};

// The segmentations tried for frames scaled by `factor`: sigma in {0.5, 0.8,
// 1}, each with (k, minimum size) in (500, 500), (300, 200), (200, 100),
// (100, 100), (100, 50). Minimum sizes are given for full-size frames and
// scale with factor² (at least 1), as region areas do.
std::vector<SegmentationParams> tuningSegmentations(double factor);

// Scores every descriptor × segmentation × vehicle-rule candidate on the
// frames of `options` (at least two). Each frame is segmented once per
// segmentation, and its regions' distances are computed once per
// descriptor; folds and rules reuse them. The best mean accuracy wins; a tie
// goes to the coarser segmentation (fewer regions), then to the covariance
// descriptor and the rule on. A progress line goes to `progress` when it is
// not null. Throws TrainingBuildError for unusable inputs.
TuningResult tuneSettings(const TrainingOptions& options, std::ostream* progress);

// The table of what was tried, the winner marked with '*'.
void printTuningTable(const TuningResult& result, const std::vector<LabelledFrame>& frames,
                      std::ostream& out);

}  // namespace rovelin
