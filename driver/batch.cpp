// SPDX-License-Identifier: Apache-2.0
#include "driver/batch.hpp"
#include "driver/run_files.hpp"

#include "driver/frame_writer.hpp"
#include "driver/progress.hpp"
#include "driver/temporal_labels.hpp"
#include "labels/label_map.hpp"
#include "pipeline/output_names.hpp"
#include "pipeline/region_extraction.hpp"
#include "util/clock.hpp"
#include "util/interrupts.hpp"
#include "util/parallel.hpp"
#include "util/report.hpp"

#include <algorithm>
#include <chrono>
#include <deque>
#include <future>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

namespace rovelin {

namespace {

// A frame ahead of the position by at most this many frames is reached by
// decoding the frames in between: cheaper than a seek, which decodes from
// the last key frame before it.
constexpr int kReadForwardLimit = 64;

// The number of frames in flight for `threads` worker threads: as many,
// but at most one per core.
std::size_t framesInFlight(int threads) {
  // More frames than cores would not finish sooner, and each one holds a few
  // hundred bytes per pixel, so the window is at most one frame per core.
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  return static_cast<std::size_t>(std::max(1, cores > 0 ? std::min(threads, cores) : threads));
}

}  // namespace

int runFrames(const RunContext& run, std::ostream& out, std::ostream& err) {
  const Options& options = *run.options;
  VideoFrameSource& video = *run.video;
  const FrameSchedule& schedule = *run.schedule;
  const std::size_t limit = run.gui || schedule.single() ? 1 : framesInFlight(threadCount());
  if (!schedule.single()) video.readForwardLimit = kReadForwardLimit;
  // Frames in flight already keep the cores busy: the image library's own
  // workers would only add threads beyond the budget.
  if (limit > 1) cv::setNumThreads(1);

  const std::optional<int> count =
      video.frameCountKnown() ? std::optional<int>(video.frameCount) : std::nullopt;
  ProgressLine progress(err, run.progress && schedule.several(), schedule.total(count));
  FrameWriter writer(run, out, err, progress);

  // One frame at a time runs its work on this thread when it is written;
  // more run on threads of their own.
  const auto policy = limit > 1 ? std::launch::async : std::launch::deferred;
  std::deque<std::future<FrameResult>> inFlight;
  // This thread holds a place of the thread budget while it decodes and
  // writes, and gives it up while it waits for a frame; each frame's work
  // holds one while it runs.
  auto work = [&run](FrameJob job) {
    const WorkerSlot slot;
    return processFrame(run, std::move(job));
  };
  RunFiles runFiles(options, *run.classes);
  std::optional<TemporalLabels> temporal;
  if (run.settings->temporal.on) temporal.emplace(run.settings->temporal);
  auto emitOldest = [&] {
    std::future<FrameResult> next = std::move(inFlight.front());
    inFlight.pop_front();
    FrameResult result = next.get();
    const WorkerSlot slot;
    if (temporal) {
      temporal->apply(result, run.model->classCount);
      if (result.warmup) return;
      writePixelOutputs(run, result, result.filtered->regions, result.filtered->labels);
    }
    runFiles.add(result);
    writer.emit(std::move(result));
  };
  auto drain = [&] {
    while (!inFlight.empty()) emitOldest();
  };

  // An interrupt stops the decoding; the frames in flight are finished and
  // written, so a resume with --skip-existing redoes exactly the rest.
  catchInterrupts();
  try {
    int lastRead = -1;
    std::size_t jobs = 0;  // frames read so far, warm-up frames included
    // Reads frame `number` and sets its work going. Returns the exit status
    // when the run must end: `ended` for the end of the stream.
    auto start = [&](int number, bool warmup, bool& ended) -> std::optional<int> {
      while (inFlight.size() >= limit) emitOldest();
      FrameJob job;
      job.position = jobs;
      job.frameNumber = number;
      job.warmup = warmup;
      try {
        // A bad ground-truth map fails the run before any of the frame's work.
        if (!options.groundTruthPath.empty() && !warmup) {
          job.truth = readLabelMap(
              expandFramePattern(options.groundTruthPath, number), run.classes->entries,
              cv::Size(video.frameWidth, video.frameHeight), video.output.size());
        }
      } catch (...) {
        drain();  // the earlier frames' output comes first
        progress.clear();
        throw;
      }

      const auto begin = std::chrono::steady_clock::now();
      bool read = false;
      {
        const WorkerSlot decoding;
        // A run to the end reads on from the frame it read last, whatever the
        // frame count says; any other frame is reached by number.
        read = schedule.toEnd() && jobs > 0 ? video.readAhead(number - lastRead - 1)
                                            : video.grabFrame(number);
        if (read) job.image = video.output.clone();
      }
      if (!read) {
        drain();
        progress.clear();
        if (schedule.toEnd() && jobs > 0) {
          if (video.frameCountKnown() && number < video.frameCount) {
            noteLine(err) << "the video ends after frame " << lastRead << ", before the "
                          << video.frameCount << " frames its container reports";
          }
          ended = true;
          return std::nullopt;
        }
        plainLine(err, Verbosity::Quiet) << "Error : Cannot read from file!! ";
        errorLine(err) << "frame " << number << " of \"" << options.videoName
                       << "\" could not be read (" << video.frameCountText() << ")";
        return kExitFailure;
      }
      lastRead = number;
      job.grabSeconds = secondsSince(begin);
      ++jobs;
      inFlight.push_back(std::async(policy, work, std::move(job)));
      return std::nullopt;
    };

    std::optional<int> previous;
    bool ended = false;
    for (std::size_t position = 0; !ended; ++position) {
      const std::optional<int> number = schedule.frame(position);
      if (!number || interruptSignal() != 0) break;
      // A part that starts in the middle of the frames (--shard, a resume)
      // first reads the frames before it, so that the filter starts as an
      // unbroken run would have it.
      if (temporal && run.firstFrame && (!previous || *number != *previous + 1)) {
        const int from = std::max(*run.firstFrame, *number - run.settings->temporal.warmup);
        for (int frame = std::max(from, previous ? *previous + 1 : from); frame < *number && !ended;
             ++frame) {
          if (const std::optional<int> failed = start(frame, true, ended)) return *failed;
        }
        if (ended) break;
      }
      if (const std::optional<int> failed = start(*number, false, ended)) return *failed;
      previous = number;
    }
    drain();
    writer.finish();
    runFiles.finish();
  } catch (...) {
    // Later frames are dropped: their files are no longer written, and
    // their threads are waited for before the error is reported.
    run.cancelled = true;
    for (std::future<FrameResult>& pending : inFlight) {
      try {
        if (pending.valid() && policy == std::launch::async) pending.get();
      } catch (...) {
      }
    }
    inFlight.clear();
    progress.clear();
    throw;
  }
  if (const int signal = interruptSignal(); signal != 0) {
    progress.clear();
    const std::optional<long> total = schedule.total(count);
    plainLine(err, Verbosity::Quiet) << "rovelin: interrupted after " << writer.done() << " of "
                                     << (total ? std::to_string(*total) : "?") << " frames";
    return 128 + signal;
  }
  progress.finish();

  // A batch hands its pictures over in memory; the work files are written
  // once, for the last frame, as one frame after another would leave them.
  if (!schedule.single()) {
    if (const FrameResult* last = writer.last(); last != nullptr && !last->segmented.empty()) {
      writeWorkFiles(last->image, last->segmented, options.workDir);
    }
  }
  return kExitSuccess;
}

}  // namespace rovelin
