// SPDX-License-Identifier: Apache-2.0
// The temporal filter of a run (--temporal): the frames' class
// probabilities go through it in frame order, in the ordered writer, and
// come out as labels per pixel.
#pragma once

#include "classifier/temporal_filter.hpp"
#include "driver/frame_work.hpp"
#include "model/model_settings.hpp"

#include <optional>

namespace rovelin {

class TemporalLabels {
public:
  explicit TemporalLabels(const TemporalSettings& settings);

  // Filters the next frame of the run and fills result.filtered: every
  // region of its segmentation split by the filtered class of its pixels.
  // The filter starts afresh where a frame does not follow the one before.
  void apply(FrameResult& result, int classCount);

private:
  TemporalFilter filter_;
  std::optional<int> last_;
};

// Why `selection` cannot run with the temporal filter (a step other than 1,
// a list whose frames do not follow one another), or nothing.
std::optional<std::string> temporalSelectionProblem(const FrameSelection& selection);

}  // namespace rovelin
