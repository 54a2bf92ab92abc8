// SPDX-License-Identifier: Apache-2.0
// The batch loop: decodes the frames of a run in order, keeps up to
// --threads of them in flight on as many threads, and hands the results to
// the writer in frame order. Memory stays bounded by the frames in flight.
#pragma once

#include "driver/frame_schedule.hpp"
#include "driver/frame_work.hpp"
#include "driver/overlay_video.hpp"
#include "pipeline/video_frame_source.hpp"

#include <iosfwd>

namespace rovelin {

struct BatchRun {
  const Options* options = nullptr;
  const RegionClassifier* model = nullptr;
  const RunSettings* settings = nullptr;
  const ClassTable* classes = nullptr;
  VideoFrameSource* video = nullptr;
  const FrameSchedule* schedule = nullptr;
  bool gui = false;         // windows: one frame at a time
  bool progress = false;    // standard error is a terminal
  double modelSeconds = 0;  // for --timings
  OverlayVideoWriter* overlayVideo = nullptr;
};

// Runs every frame of the schedule. Returns the exit status; data errors
// are thrown with the message the run prints, after every earlier frame's
// output has been written.
int runFrames(const BatchRun& run, std::ostream& out, std::ostream& err);

// The number of frames in flight for `threads` worker threads: as many,
// but at most one per core.
std::size_t framesInFlight(int threads);

}  // namespace rovelin
