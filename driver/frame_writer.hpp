// SPDX-License-Identifier: Apache-2.0
// Writes what the frames of a run produce, in frame order: the report on
// standard output, warnings, ground-truth scores and timings on standard
// error, the frame and its masks in windows, the annotated video, and the
// progress line in between.
#pragma once

#include "driver/degenerate_regions.hpp"
#include "driver/frame_work.hpp"
#include "driver/progress.hpp"

#include <iosfwd>

namespace rovelin {

class FrameWriter {
public:
  FrameWriter(const RunContext& run, std::ostream& out, std::ostream& err, ProgressLine& progress);
  ~FrameWriter();
  FrameWriter(const FrameWriter&) = delete;
  FrameWriter& operator=(const FrameWriter&) = delete;

  // Writes the next frame's output; frames must come in batch order.
  void emit(FrameResult result);
  // The run's closing messages (the degenerate-region warning of a batch).
  void finish();
  // Frames written so far.
  long done() const { return done_; }
  // The last frame written (its picture and segmentation), for the work files.
  const FrameResult* last() const { return done_ > 0 ? &last_ : nullptr; }

private:
  const RunContext& run_;
  std::ostream& out_;
  std::ostream& err_;
  ProgressLine& progress_;
  long done_ = 0;
  bool imageWindow_ = false;
  std::ostream discard_{nullptr};  // the report, when standard output is the JSON's
  std::ostream& report_;
  DegenerateRegions degenerate_;
  FrameResult last_;
};

}  // namespace rovelin
