// SPDX-License-Identifier: Apache-2.0
#include "driver/frame_work.hpp"

#include "classifier/temporal_filter.hpp"
#include "driver/frame_outputs.hpp"
#include "labels/evaluation.hpp"
#include "labels/labelme.hpp"
#include "pipeline/output_names.hpp"
#include "pipeline/region_extraction.hpp"
#include "util/clock.hpp"
#include "util/output_file.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <system_error>

namespace rovelin {

namespace {

// The frame's file of an output name ({video} is already filled in), with
// the folders below its placeholders made: the run checked the ones above.
std::string frameOutputName(const std::string& pattern, int frame) {
  std::string target = expandFramePattern(pattern, frame);
  createOutputDirectories(target);
  return target;
}

// Passes the frame's colour turn on if the frame fails before it drew, so
// the frames after it are not kept waiting.
struct TurnGuard {
  ColourTurns* turns;  // null when the frame takes no turn (the work files)
  std::size_t position;
  bool taken = false;
  ~TurnGuard() {
    if (turns != nullptr && !taken) turns->pass(position);
  }
};

// Outputs that are not plain files (standard output, a descriptor, a device
// or a FIFO) are written by the writer in frame order, after the report.
bool writtenInOrder(const std::string& target) {
  if (target == "-" || target.rfind("/dev/", 0) == 0 || target.rfind("/proc/self/fd/", 0) == 0) {
    return true;
  }
  std::error_code ec;
  const auto status = std::filesystem::status(target, ec);
  return !ec && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status);
}

// Plain files are written at once, on the calling thread; the others wait
// for the writer, which runs them in frame order after the report.
void deliver(const RunContext& run, FrameResult& result, const std::string& target,
             std::function<void()> writeIt) {
  if (writtenInOrder(target)) {
    result.orderedWrites.push_back(std::move(writeIt));
  } else if (!run.cancelled.load()) {
    writeIt();
  }
}

// Each region's probabilities in class order after the labelling rules,
// normalised; where a rule moved the region off its best class, that class
// gets 0 (and the next, until the region's label is the first maximum), so
// that the filter's argmax respects the rule.
std::vector<float> regionPosteriors(const std::vector<SegmentPrediction>& relabelled,
                                    const Eigen::VectorXd& labels, int classCount) {
  const auto k = static_cast<std::size_t>(classCount);
  std::vector<float> posteriors(relabelled.size() * k, 0.0f);
  for (std::size_t i = 0; i < relabelled.size(); ++i) {
    const SegmentPrediction& p = relabelled[i];
    float* row = posteriors.data() + i * k;
    double sum = 0;
    for (Eigen::Index r = 0; r < p.probs.size(); ++r) sum += p.probs[r];
    for (Eigen::Index r = 0; r < p.probs.size(); ++r) {
      row[p.labels[r]] = sum > 0 && std::isfinite(sum) ? static_cast<float>(p.probs[r] / sum) : 0;
    }
    const int label = static_cast<int>(labels[static_cast<Eigen::Index>(i)]);
    for (std::size_t tries = 0; tries < k; ++tries) {
      const int best = static_cast<int>(std::max_element(row, row + k) - row);
      if (best == label) break;
      moveAwayFrom(row, classCount, best, label);
    }
  }
  return posteriors;
}

}  // namespace

// Writes the frame's --json from its fields, with the share of pixels the
// labelme polygons miss when they were written.
void writeFrameJson(const RunContext& run, FrameResult& result, nlohmann::json description) {
  const std::string target = frameOutputName(run.options->jsonPath, result.frameNumber);
  if (result.labelmeMismatch) description["labelme_mismatch"] = *result.labelmeMismatch;
  // On standard output, JSON Lines: one object a line, for a JSON reader.
  const std::string text =
      formatFrameJson(description, *run.settings, /*compact=*/run.options->jsonPath == "-");
  deliver(run, result, target, [target, text] { writeTextAtomically(target, text); });
}

void writePixelOutputs(const RunContext& run, FrameResult& result, const RegionSet& seg,
                       const Eigen::VectorXd& labels) {
  const Options& options = *run.options;
  const ClassTable& classes = *run.classes;
  const bool keepOverlay = run.overlayVideo != nullptr;
  if (!options.overlayPath.empty() || keepOverlay) {
    cv::Mat overlay = renderOverlay(result.image, seg, labels, classes.names, classes.palette);
    if (!options.overlayPath.empty()) {
      const std::string target = frameOutputName(options.overlayPath, result.frameNumber);
      deliver(run, result, target, [target, overlay] { writeImageAtomically(target, overlay); });
    }
    if (keepOverlay) result.overlay = std::move(overlay);
  }
  if (!options.labelMapPath.empty()) {
    const std::string target = frameOutputName(options.labelMapPath, result.frameNumber);
    const cv::Mat map = labelMapImage(seg, labels, run.model->classCount);
    deliver(run, result, target,
            [target, map, palette = classes.palette, n = run.model->classCount] {
              writeLabelMapAtomically(target, map, palette, n);
            });
  }
  if (!options.labelmePath.empty()) {
    const std::string target = frameOutputName(options.labelmePath, result.frameNumber);
    const std::string image = labelmeImageName(target);
    const RegionLabels frame{result.frameNumber, seg.indexImage, {labels.begin(), labels.end()}};
    LabelmeFile file =
        writeLabelmeJson(frame, classes.names, std::filesystem::path(image).filename().string(),
                         options.polygonTolerance);
    result.labelmeMismatch = file.mismatch;
    // The picture first: a labelme file in place has its picture.
    deliver(run, result, image,
            [image, picture = result.image] { writeImageAtomically(image, picture); });
    deliver(run, result, target,
            [target, text = std::move(file.json)] { writeTextAtomically(target, text); });
  }
  if (result.pendingJson) {
    writeFrameJson(run, result, std::move(*result.pendingJson));
    result.pendingJson.reset();
  }
  if (!result.truth.empty()) {
    result.evaluation =
        evaluateLabels(result.truth, seg.indexImage, {labels.begin(), labels.end()}, classes.names);
  }
}

FrameResult processFrame(const RunContext& run, FrameJob job) {
  const Options& options = *run.options;
  const RegionClassifier& model = *run.model;
  const ClassTable& classes = *run.classes;
  const RunSettings& settings = *run.settings;
  const bool workFiles = run.workFiles();

  FrameResult result;
  result.image = job.image;
  result.position = job.position;
  result.frameNumber = job.frameNumber;
  result.times.grab = job.grabSeconds;
  result.truth = std::move(job.truth);
  TurnGuard guard{workFiles ? nullptr : &run.turns, job.position};

  if (!options.saveFramePath.empty() && !job.warmup) {
    const std::string target = frameOutputName(options.saveFramePath, job.frameNumber);
    const cv::Mat image = job.image;
    deliver(run, result, target, [target, image] { writeImageAtomically(target, image); });
  }

  ExtractionRequest request;
  request.segmentation = settings.segmentation;
  request.descriptor = settings.descriptor;
  const ColourDrawTurn turn = [&guard](const std::function<void()>& draws) {
    guard.taken = true;
    guard.turns->take(guard.position, draws);
  };
  if (workFiles) {
    request.workDir = options.workDir;
  } else {
    request.turn = &turn;
  }
  Extraction extraction = extractRegions(job.image, request);
  result.segmentationLine = std::move(extraction.segmentationLine) + "\n";
  result.times.segmentation = extraction.timings.segmentation;
  result.times.regions = extraction.timings.regions;
  result.regions = std::move(extraction.regions);
  result.segmented = std::move(extraction.segmented);
  const RegionSet& seg = result.regions;

  auto start = std::chrono::steady_clock::now();
  const std::vector<SegmentPrediction> predictions =
      model.classify(seg.statistics, settings.densityTolerance);
  result.times.classification = secondsSince(start);

  start = std::chrono::steady_clock::now();
  // The report and --json show the predictions as classified; labelling
  // reranks a copy.
  std::vector<SegmentPrediction> relabelled = predictions;
  result.labels = model.labelSegments(relabelled, seg, settings.vehicleRule);
  result.times.labelling = secondsSince(start);

  if (run.settings->temporal.on) {
    result.posteriors = regionPosteriors(relabelled, result.labels, model.classCount);
  } else {
    writePixelOutputs(run, result, seg, result.labels);
  }
  if (!options.jsonPath.empty() && !job.warmup) {
    const RunDescription description{options.videoName, job.frameNumber, options.resizeFactor,
                                     job.image.size(), seg.segmentCount};
    nlohmann::json fields =
        describeRun(description, seg, predictions, result.labels, classes.names);
    // With --temporal, --labelme is drawn from the filtered labels, later.
    if (settings.temporal.on && !options.labelmePath.empty()) {
      result.pendingJson = std::move(fields);
    } else {
      writeFrameJson(run, result, std::move(fields));
    }
  }
  result.warmup = job.warmup;
  return result;
}

}  // namespace rovelin
