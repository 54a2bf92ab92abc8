// SPDX-License-Identifier: Apache-2.0
// One frame's work: the grabbed frame in, everything that frame produces
// out. Regions, classification, labelling, the files named with {frame} and
// the texts the run prints for the frame. Several frames run this at once on
// different threads; nothing in it writes to the run's standard output or
// error, which the batch writes in frame order.
#pragma once

#include "driver/run_context.hpp"
#include "features/region_set.hpp"

#include <Eigen/Core>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace rovelin {

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

// A grabbed frame with its place in the batch.
struct FrameJob {
  std::size_t position = 0;  // 0 for the first frame of the batch
  int frameNumber = 0;
  cv::Mat image;  // the grabbed, scaled frame; the job owns it
  cv::Mat truth;  // ground-truth classes; empty without --ground-truth
  double grabSeconds = 0;
  // A frame read only to start the temporal filter before a part that
  // begins in the middle of the frames: classified, never written.
  bool warmup = false;
};

// Labels per pixel as a partition: `regions` holds the count, size and
// index image only, and `labels` one class for each of its regions.
struct PixelLabelling {
  RegionSet regions;
  Eigen::VectorXd labels;
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
  cv::Mat segmented;       // the segmentation picture
  cv::Mat overlay;         // kept for the annotated video only
  bool warmup = false;     // FrameJob::warmup: nothing of it is written
  // With --temporal: every region's class probabilities after the labelling
  // rules (count x K, row-major, in class order), and the filtered labels
  // the per-pixel outputs are drawn from, which the ordered writer fills.
  std::vector<float> posteriors;
  std::optional<PixelLabelling> filtered;
  cv::Mat truth;  // FrameJob::truth, scored by writePixelOutputs (with --temporal, filtered)
  // With --labelme: the share of pixels its polygons miss, which --json
  // reports. With --temporal the frame's JSON waits for it: `pendingJson`
  // holds the JSON's fields until writePixelOutputs writes it.
  std::optional<double> labelmeMismatch;
  std::optional<nlohmann::json> pendingJson;
  // Writes to standard output, descriptors, devices and FIFOs, left for the
  // writer to run in frame order after the report.
  std::vector<std::function<void()>> orderedWrites;
};

// Runs the frame's work and writes its files (--save-frame, --overlay,
// --label-map, --json) unless the run is cancelled. Throws on data errors
// (a file that cannot be written, a broken picture) with the message the
// run prints. With --temporal the per-pixel files (--overlay, --label-map)
// wait for the filter: writePixelOutputs writes them in frame order.
FrameResult processFrame(const RunContext& run, FrameJob job);

// Writes the frame's per-pixel outputs (--overlay, --label-map, --labelme,
// and the overlay kept for the annotated video) from `labelling`, and the
// frame's JSON when it waited for them; scores the labels against the
// frame's ground truth, if any.
void writePixelOutputs(const RunContext& run, FrameResult& result, const RegionSet& regions,
                       const Eigen::VectorXd& labels);

}  // namespace rovelin
