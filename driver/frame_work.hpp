// SPDX-License-Identifier: Apache-2.0
// One frame's work: the grabbed frame in, everything that frame produces
// out. Regions, classification, labelling, the files named with {frame} and
// the texts the run prints for the frame. Several frames run this at once on
// different threads; nothing in it writes to the run's standard output or
// error, which the batch writes in frame order.
#pragma once

#include "classifier/region_classifier.hpp"
#include "driver/options.hpp"
#include "features/region_set.hpp"
#include "labels/class_list.hpp"
#include "model/model_settings.hpp"

#include <Eigen/Core>
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

// Class names of the model with their display colours (BGR, from --classes
// where it gives one) and the entries label maps are read against.
struct ClassTable {
  std::vector<std::string> names;
  std::vector<std::optional<cv::Vec3b>> palette;
  std::vector<ClassEntry> entries;
};

ClassTable makeClassTable(const RegionClassifier& model, const std::string& classListPath);

// Seconds spent in each stage of one frame (wall clock).
struct StageTimes {
  double model = 0;
  double grab = 0;
  double segmentation = 0;
  double regions = 0;
  double classification = 0;
  double labelling = 0;
  double report = 0;
};

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

// What every frame of a run shares.
struct FrameSetup {
  const Options* options = nullptr;
  const RegionClassifier* model = nullptr;
  const RunSettings* settings = nullptr;  // segmentation, descriptor and labelling settings
  const ClassTable* classes = nullptr;
  // True for the single-frame run: the segmentation goes through the work
  // files "inpimage.ppm" and "outimage.ppm". A batch hands it over in memory.
  bool workFiles = true;
  bool keepOverlay = false;                      // keep the overlay picture for the annotated video
  ColourTurns* turns = nullptr;                  // orders the colour draws of frames in flight
  const std::atomic<bool>* cancelled = nullptr;  // set: write no more files
};

// A grabbed frame with its place in the batch.
struct FrameJob {
  std::size_t position = 0;  // 0 for the first frame of the batch
  int frameNumber = 0;
  cv::Mat image;  // the grabbed, scaled frame; the job owns it
  cv::Mat truth;  // ground-truth classes; empty without --ground-truth
  double grabSeconds = 0;
};

// Everything one frame produces.
struct FrameResult {
  std::size_t position = 0;
  int frameNumber = 0;
  std::string segmentationLine;  // the segmentation's line with its end of line
  std::string warnings;          // lines for standard error before the report
  RegionSet regions;
  Eigen::VectorXd labels;  // class index of every region
  std::string evaluation;  // ground-truth scores; empty without --ground-truth
  StageTimes times;        // all but the report's time
  cv::Mat image;           // the frame
  cv::Mat segmented;       // the segmentation picture (batches only)
  cv::Mat overlay;         // kept for the annotated video only
  // Writes to standard output, descriptors, devices and FIFOs, left for the
  // writer to run in frame order after the report.
  std::vector<std::function<void()>> orderedWrites;
};

// Runs the frame's work and writes its files (--save-frame, --overlay,
// --label-map, --json) unless the run is cancelled. Throws on data errors
// (a file that cannot be written, a broken picture) with the message the
// run prints.
FrameResult processFrame(const FrameSetup& setup, FrameJob job);

}  // namespace rovelin
