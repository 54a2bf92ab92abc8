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
#include <optional>
#include <vector>

namespace rovelin {

// The run settings tried, and how they scored.
struct TuningCandidate : RunSettings {
  double regionsPerFrame = 0.0;     // mean region count of the frames at this segmentation
  double samples = 0.0;             // samples of the model trained on every labelled frame
  std::vector<double> frameScores;  // held-out pixel accuracy, one per labelled frame
  double meanAccuracy = 0.0;        // mean of frameScores
};

struct TuningResult {
  std::vector<TuningCandidate> tried;  // in the order they were scored
  std::size_t best = 0;                // index of the winner in `tried`
  // With a margin (chooseWithinMargin): how many points of mean accuracy
  // the winner may give up for a cheaper classification.
  std::optional<double> margin;
};

// A frame's classification cost of a candidate: its regions times the
// samples each is compared with.
inline double distancesPerFrame(const TuningCandidate& c) { return c.regionsPerFrame * c.samples; }

// Among the candidates whose mean accuracy is within `points` percentage
// points of the most accurate one's, makes the one with the fewest
// distances a frame the winner (then the most accurate), and records the
// margin.
void chooseWithinMargin(TuningResult& result, double points);

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

// The table of what was tried, the winner marked with '*'; with a margin,
// a column of distances a frame and a line naming the margin.
void printTuningTable(const TuningResult& result, const std::vector<LabelledFrame>& frames,
                      std::ostream& out);

}  // namespace rovelin
