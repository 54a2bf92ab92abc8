// SPDX-License-Identifier: Apache-2.0
#include "driver/annotation.hpp"

#include "classifier/region_classifier.hpp"
#include "driver/batch.hpp"
#include "driver/display.hpp"
#include "driver/frame_outputs.hpp"
#include "driver/frame_schedule.hpp"
#include "driver/frame_work.hpp"
#include "driver/overlay_video.hpp"
#include "driver/temporal_labels.hpp"
#include "model/model_loading.hpp"
#include "model/model_settings.hpp"
#include "pipeline/output_names.hpp"
#include "pipeline/video_frame_source.hpp"
#include "util/atomic_file.hpp"
#include "util/clock.hpp"
#include "util/output_file.hpp"
#include "util/parallel.hpp"
#include "util/report.hpp"
#include "util/terminal_line.hpp"

#include <opencv2/core.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>

#include <unistd.h>

namespace rovelin {

namespace {

// Refuses, before any work, a run whose outputs cannot be written: names
// that several frames would share, missing directories, an annotated video
// this build cannot encode. Returns the exit status, or nullopt when all is
// well.
std::optional<int> checkOutputs(const Options& options, const FrameSchedule& schedule,
                                std::ostream& err) {
  const std::string* perFrame[] = {&options.overlayPath, &options.labelMapPath, &options.jsonPath,
                                   &options.saveFramePath, &options.labelmePath};
  if (schedule.several()) {
    for (const std::string* path : perFrame) {
      if (!path->empty() && path->find("{frame}") == std::string::npos && *path != "-") {
        errorLine(err) << "with several frames, output file names must contain {frame} ('" << *path
                       << "' would be overwritten)";
        return kExitBadOption;
      }
    }
    // A frame listed twice would write its files twice, and with frames in
    // flight which one lands last would be a matter of timing.
    const bool writesFiles = std::any_of(std::begin(perFrame), std::end(perFrame),
                                         [](const std::string* path) { return !path->empty(); });
    if (const std::optional<int> twice = schedule.repeatedFrame(); twice && writesFiles) {
      errorLine(err) << "frame " << *twice
                     << " is listed twice in --frames; its output files would be overwritten";
      return kExitBadOption;
    }
  }
  // The annotated video holds the frames this process writes: a resume would
  // give a video of the redone frames only, and the parts of a sharded run
  // would each write the whole video under one name.
  if (!options.overlayVideoPath.empty() && options.skipExisting) {
    errorLine(err) << "--overlay-video cannot be combined with --skip-existing: the video would "
                      "hold only the redone frames";
    return kExitBadOption;
  }
  if (options.shard && options.overlayVideoPath.find("{shard}") == std::string::npos &&
      !options.overlayVideoPath.empty()) {
    errorLine(err) << "with --shard, the --overlay-video name must hold {shard} ('"
                   << options.overlayVideoPath << "' would be written by every part)";
    return kExitBadOption;
  }
  const std::string& video = options.videoName;  // {video} and {videopath} come from it
  // A run to the end of the stream names its files like its first frame.
  std::vector<int> named;
  for (std::size_t position = 0; schedule.frame(position); ++position) {
    named.push_back(*schedule.frame(position));
    if (schedule.toEnd()) break;
  }
  try {
    for (const std::string* path : perFrame) {
      for (int frame : named) {
        if (path->empty()) break;
        checkOutputName(*path, expandFramePattern(expandVideoPattern(*path, video), frame));
      }
    }
    if (!options.overlayVideoPath.empty()) {
      checkOverlayVideoPath(
          expandShardPattern(expandVideoPattern(options.overlayVideoPath, video), options.shard));
    }
    checkRunFiles(options, named);
  } catch (const std::exception&) {
    return reportException(err);
  }
  return std::nullopt;
}

// Removes the annotated video's temporary file however the run ends.
struct TemporaryFile {
  std::filesystem::path path;
  int lock = -1;  // held while the file is at work, so other runs leave it alone
  ~TemporaryFile() {
    if (lock >= 0) ::close(lock);
    std::error_code ec;
    std::filesystem::remove(path, ec);
  }
};

// Runs the frames, with the annotated video encoded into a temporary file
// that replaces the target, whole, only when the whole run succeeded.
int runWithOverlayVideo(RunContext& run, std::ostream& out, std::ostream& err) {
  const Options& options = *run.options;
  const FrameSchedule& schedule = *run.schedule;
  if (options.overlayVideoPath.empty()) return runFrames(run, out, err);
  const std::filesystem::path target = options.overlayVideoPath;
  const double fps = overlayVideoRate(run.video->capture->get(cv::CAP_PROP_FPS), schedule.step());
  TemporaryFile temporary{temporaryNameFor(target)};
  temporary.path += target.extension();  // the encoder picks its container by the extension
  std::optional<OverlayVideoWriter> video;
  try {
    video.emplace(temporary.path, fps, run.video->output.size());
  } catch (const std::exception& e) {
    throw Error("cannot write \"" + target.string() + "\": " + e.what());
  }
  temporary.lock = lockTemporary(temporary.path);
  run.overlayVideo = &*video;
  const int status = runFrames(run, out, err);
  if (status != kExitSuccess) return status;
  if (!video->finish()) {
    throw Error("cannot write \"" + target.string() + "\": the video encoder wrote nothing");
  }
  // A new or plain file takes the encoder's file by a rename: one copy on
  // the disk, and never the whole video in memory.
  std::error_code ec;
  const std::filesystem::file_type kind = std::filesystem::symlink_status(target, ec).type();
  if (descriptorNamed(target) < 0 && (kind == std::filesystem::file_type::not_found ||
                                      kind == std::filesystem::file_type::regular)) {
    commitTemporary(temporary.path, target);
    return kExitSuccess;
  }
  std::ifstream in(temporary.path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (!in) {
    throw Error("cannot write \"" + target.string() + "\": the encoded video cannot be read back");
  }
  writeOutputFile(target, bytes.view());
  return kExitSuccess;
}

// The output names of a run with {video} filled in; {frame} stays.
Options withVideoName(const Options& options) {
  Options resolved = options;
  for (std::string* pattern :
       {&resolved.overlayPath, &resolved.labelMapPath, &resolved.jsonPath, &resolved.saveFramePath,
        &resolved.groundTruthPath, &resolved.overlayVideoPath, &resolved.labelmePath}) {
    *pattern = expandVideoPattern(*pattern, options.videoName);  // {video} and {videopath}
  }
  resolved.overlayVideoPath = expandShardPattern(resolved.overlayVideoPath, options.shard);
  return resolved;
}

// True when every file the run would write for `frame` is in place and,
// with --json, was made by this run's video, factor, model and settings (a
// frame of another factor or model is redone). Files are renamed into place
// only when complete, so one that exists is whole. Throws Error when the
// JSON is another video's output: redoing the frame would replace it.
bool framePublished(const Options& resolved, const RunSettings& settings, int frame) {
  // labelme's picture is written before its JSON.
  for (const std::string* pattern :
       {&resolved.overlayPath, &resolved.labelMapPath, &resolved.jsonPath, &resolved.saveFramePath,
        &resolved.labelmePath}) {
    std::error_code ec;
    if (!pattern->empty() && !std::filesystem::exists(expandFramePattern(*pattern, frame), ec)) {
      return false;
    }
  }
  if (resolved.jsonPath.empty() || descriptorNamed(resolved.jsonPath) >= 0) return true;
  const std::string json = expandFramePattern(resolved.jsonPath, frame);
  std::string other;
  const FrameOrigin origin =
      frameJsonOrigin(json, resolved.videoName, resolved.resizeFactor, settings, other);
  if (origin == FrameOrigin::OtherVideo) {
    throw Error("\"" + json + "\" holds frame " + std::to_string(frame) + " of \"" + other +
                "\", not of \"" + resolved.videoName +
                "\"; give each video its own outputs, for example with {videopath} in the names");
  }
  return origin == FrameOrigin::ThisRun;
}

std::unique_ptr<VideoFrameSource> openVideo(const Options& options, double factor,
                                            std::ostream& err) {
  try {
    return std::make_unique<VideoFrameSource>(options.videoName, factor);
  } catch (const VideoOpenError&) {
    errorLine(err) << "Video file could not be opened!!";
    errorLine(err) << "\"" << options.videoName
                   << "\" is missing, unreadable or not a video the capture library can decode";
  } catch (const ScaleFactorError&) {
    reportException(err);
  }
  return nullptr;
}

// The frames this process takes: the schedule cut to its --shard part. A
// run to the end is first fixed by the container's frame count when it must
// be cut or counted. Returns the exit status on failure.
std::optional<int> narrowSchedule(const Options& options, FrameSchedule& schedule,
                                  std::ostream& err) {
  if (schedule.toEnd() && (options.shard || options.skipExisting || options.countFrames)) {
    const std::unique_ptr<VideoFrameSource> probe = openVideo(options, 1.0, err);
    if (!probe) return kExitFailure;
    try {
      schedule.listToCount(probe->frameCountKnown() ? std::optional<int>(probe->frameCount)
                                                    : std::nullopt);
    } catch (const Error&) {
      return reportException(err);
    }
  }
  if (options.shard) schedule.keepPart(*options.shard);
  return std::nullopt;
}

// What became of the model cache, for -v, in the order of CacheOutcome.
constexpr const char* kCacheOutcomes[] = {"prepared without the cache", "read from the cache",
                                          "prepared, and its cache written",
                                          "prepared, its cache not written"};

// Gives every pool --threads workers.
void setThreads(int threads) {
  if (threads <= 0) return;
  setThreadCount(threads);
  // The image library's pool never gets more threads than cores: its
  // thread library complains on standard error about a larger request.
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  cv::setNumThreads(cores > 0 ? std::min(threads, cores) : threads);
}

// Gives every pool --threads workers, then loads the model and the settings
// of the run into `model` and `settings`, with a progress note on a
// terminal. Returns the exit status on failure.
std::optional<int> loadModelAndSettings(const Options& options, bool progress, std::ostream& err,
                                        RegionClassifier& model, RunSettings& settings) {
  setThreads(options.threads);
  if (progress) {
    err << "rovelin: preparing the model from " << options.trainingFile << " ..." << std::flush;
  }
  CacheOutcome outcome = CacheOutcome::NotUsed;
  try {
    std::string fingerprint;
    model = loadModel(options.modelSource(), err, &outcome, &fingerprint);
    if (progress) clearTerminalLine(err);
    settings = resolveRunSettings(options.trainingFile, options.overrides, model, fingerprint, err);
  } catch (const std::exception& e) {
    if (progress) clearTerminalLine(err);
    if (dynamic_cast<const TrainingFileUnreadable*>(&e) != nullptr) {
      plainLine(err, Verbosity::Quiet) << "unable to open file";
    }
    return reportException(err);
  }
  detailLine(err) << "the model " << options.trainingFile << ": " << model.classCount
                  << " classes, " << kCacheOutcomes[static_cast<int>(outcome)];
  detailLine(err) << "settings: descriptor " << descriptorName(settings.descriptor) << ", sigma "
                  << settings.segmentation.sigma << ", k " << settings.segmentation.k
                  << ", min size " << settings.segmentation.minSize << ", vehicle rule "
                  << (settings.vehicleRule ? "on" : "off")
                  << (settings.temporal.on ? ", temporal filter on" : "");
  if (settings.temporal.on) {
    if (const std::optional<std::string> problem = temporalSelectionProblem(options.frames)) {
      errorLine(err) << *problem;
      return kExitBadOption;
    }
  }
  return std::nullopt;
}

// Leaves out the frames whose outputs are all in place and made by this
// run's inputs (--skip-existing). Returns the exit status when there is
// nothing to check or a frame belongs to another video.
std::optional<int> skipFinishedFrames(const Options& resolved, const RunSettings& settings,
                                      FrameSchedule& schedule, std::size_t& skipped,
                                      std::ostream& err) {
  if (!resolved.skipExisting) return std::nullopt;
  if (resolved.overlayPath.empty() && resolved.labelMapPath.empty() && resolved.jsonPath.empty() &&
      resolved.saveFramePath.empty() && resolved.labelmePath.empty()) {
    errorLine(err) << "--skip-existing needs an output file (--json, --overlay, --label-map, "
                      "--labelme or --save-frame)";
    return kExitBadOption;
  }
  try {
    skipped =
        schedule.dropFinished([&](int frame) { return framePublished(resolved, settings, frame); });
  } catch (const Error&) {
    return reportException(err);
  }
  return std::nullopt;
}

}  // namespace

int runAnnotation(const Options& options, std::ostream& out, std::ostream& err) {
  FrameSchedule schedule(options.frames, options.frameNumber);
  if (const std::optional<int> failed = narrowSchedule(options, schedule, err)) return *failed;
  if (options.countFrames) {
    out << schedule.total(std::nullopt).value_or(0) << std::endl;
    return kExitSuccess;
  }
  const bool progress =
      &err == &std::cerr && ::isatty(STDERR_FILENO) == 1 && showsMessages(err, Verbosity::Normal);
  bool gui = options.gui;
  if (gui && !displayAvailable()) {
    noteLine(err) << "no display available; running without windows (--no-gui silences this)";
    gui = false;
  }

  // A factor that can give no frame is refused before anything is read or written.
  if (!(options.resizeFactor > 0.0) || !std::isfinite(options.resizeFactor)) {
    errorLine(err) << "the scale factor must be a positive number, not '" << options.resizeFactor
                   << "'";
    return kExitFailure;
  }
  if (const std::optional<int> refused = checkOutputs(options, schedule, err)) return *refused;
  const Options resolved = withVideoName(options);
  // With --json, a finished frame is known by the model and settings that
  // made it, so they are loaded before the frames are checked.
  const bool modelLoaded = options.skipExisting && !resolved.jsonPath.empty();
  std::size_t skipped = 0;
  const auto start = std::chrono::steady_clock::now();
  RegionClassifier model;
  RunSettings settings;
  auto load = [&] { return loadModelAndSettings(options, progress, err, model, settings); };
  if (const std::optional<int> failed = modelLoaded ? load() : std::nullopt) return *failed;
  if (const std::optional<int> refused =
          skipFinishedFrames(resolved, settings, schedule, skipped, err)) {
    return *refused;
  }
  auto reportCounts = [&]() {
    if (options.skipExisting) {
      noteLine(err) << "frames skipped (outputs in place): " << skipped
                    << ", done: " << schedule.total(std::nullopt).value_or(0);
    }
  };
  if (schedule.empty()) {
    if (options.shard && skipped == 0) {
      noteLine(err) << "part " << options.shard->index << "/" << options.shard->count
                    << " of the frame list holds no frames";
    }
    reportCounts();
    return kExitSuccess;
  }
  if (const std::optional<int> failed = modelLoaded ? std::nullopt : load()) return *failed;
  const double modelSeconds = secondsSince(start);
  const ClassTable classes =
      makeClassTable(model, options.classListPath, classesBeside(options.trainingFile));

  const std::unique_ptr<VideoFrameSource> video = openVideo(options, options.resizeFactor, err);
  if (!video) return kExitFailure;

  RunContext run;
  run.options = &resolved;
  run.model = &model;
  run.settings = &settings;
  run.classes = &classes;
  run.video = video.get();
  run.schedule = &schedule;
  run.gui = gui;
  run.progress = progress;
  run.timings = options.timings && showsMessages(err, Verbosity::Normal);
  run.modelSeconds = modelSeconds;
  run.firstFrame = options.frames.list.empty()
                       ? (options.frames.toEnd ? options.frames.start : options.frameNumber)
                       : options.frames.list.front();
  const int status = runWithOverlayVideo(run, out, err);
  video->release();
  if (status == kExitSuccess) reportCounts();
  return status;
}

}  // namespace rovelin
