// SPDX-License-Identifier: Apache-2.0
// What every part of a run shares: the options, the model and its settings,
// the class table, the video and its frame schedule, and the state the
// frames in flight coordinate through. The batch loop, the frame work and
// the ordered writer all read this one object.
#pragma once

#include "classifier/region_classifier.hpp"
#include "driver/frame_schedule.hpp"
#include "driver/options.hpp"
#include "labels/class_list.hpp"
#include "model/model_settings.hpp"
#include "pipeline/video_frame_source.hpp"

#include <opencv2/core.hpp>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace rovelin {

class OverlayVideoWriter;

// Class names of the model with their display colours (BGR, from --classes
// where it gives one) and the entries label maps are read against.
struct ClassTable {
  std::vector<std::string> names;
  std::vector<std::optional<cv::Vec3b>> palette;
  std::vector<ClassEntry> entries;
};

// The colours come from --classes, or else from the classes stored with the model.
ClassTable makeClassTable(const RegionClassifier& model, const std::string& classListPath,
                          const std::vector<ClassEntry>& stored);

// Hands out the segmentation's colour draws in batch order: the frame at
// position i of the batch draws after the frame at i − 1 has drawn or given
// up its turn, so every frame takes the block of the rand() sequence a
// one-thread run gives it, however the frames overlap.
class ColourTurns {
public:
  // Waits for the turn of `position`, runs `draws` and passes the turn on.
  void take(std::size_t position, const std::function<void()>& draws);
  // Gives up the turn of `position` without drawing (its frame failed
  // first); waits for the turn so that the order stays the same.
  void pass(std::size_t position);

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t next_ = 0;
};

// One run of the program. Built once, before the first frame, and never
// copied; the frame work and the writer only read it, apart from the two
// members the frames in flight synchronise through.
struct RunContext {
  const Options* options = nullptr;  // with {video} filled in
  const RegionClassifier* model = nullptr;
  const RunSettings* settings = nullptr;  // segmentation, descriptor and labelling settings
  const ClassTable* classes = nullptr;
  VideoFrameSource* video = nullptr;
  const FrameSchedule* schedule = nullptr;
  bool gui = false;                            // windows: one frame at a time
  bool progress = false;                       // standard error is a terminal
  bool timings = false;                        // --timings, and messages are shown
  double modelSeconds = 0;                     // reported with the first frame's timings
  OverlayVideoWriter* overlayVideo = nullptr;  // the annotated video, if any
  // The first frame the selection names, before --shard and --skip-existing
  // cut it: the temporal filter warms up on frames from there on only.
  std::optional<int> firstFrame;

  // True for the single-frame run: the segmentation goes through the work
  // files "inpimage.ppm" and "outimage.ppm". A batch hands it over in memory.
  bool workFiles() const { return schedule->single(); }

  mutable ColourTurns turns;                   // orders the colour draws of frames in flight
  mutable std::atomic<bool> cancelled{false};  // set: write no more files
};

}  // namespace rovelin
