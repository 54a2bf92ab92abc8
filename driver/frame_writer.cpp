// SPDX-License-Identifier: Apache-2.0
#include "driver/frame_writer.hpp"

#include "driver/display.hpp"
#include "driver/overlay_video.hpp"
#include "util/clock.hpp"
#include "util/report.hpp"

#include <chrono>
#include <iomanip>
#include <ostream>

namespace rovelin {

namespace {

void printTimings(std::ostream& err, const StageTimes& t, int frame, bool includeModel) {
  auto line = [&err](const char* stage, double seconds) {
    err << "  " << std::left << std::setw(22) << stage << std::right << std::fixed
        << std::setprecision(3) << std::setw(9) << seconds * 1000.0 << " ms" << std::endl;
    err.unsetf(std::ios::floatfield);
    err << std::setprecision(6);
  };
  err << "Timings for frame " << frame << ":" << std::endl;
  if (includeModel) line("model preparation", t.model);
  line("grab", t.grab);
  line("segmentation", t.segmentation);
  line("features and regions", t.regions);
  line("classification", t.classification);
  line("labelling", t.labelling);
  line("report", t.report);
}

}  // namespace

FrameWriter::FrameWriter(const RunContext& run, std::ostream& out, std::ostream& err,
                         ProgressLine& progress)
    : run_(run),
      out_(out),
      err_(err),
      progress_(progress),
      report_(run.options->jsonPath == "-" ? discard_ : out) {}

FrameWriter::~FrameWriter() {
  if (imageWindow_) closeFrameWindow();
}

void FrameWriter::emit(FrameResult result) {
  progress_.clear();
  report_ << result.segmentationLine << std::flush;
  if (showsMessages(err_, Verbosity::Normal)) err_ << result.warnings << std::flush;
  const bool several = run_.schedule->several();
  if (const int degenerate = result.regions.regularizedCount; degenerate > 0) {
    if (!several || showsMessages(err_, Verbosity::Verbose)) {
      warningLine(err_) << DegenerateRegions::frameText(
          degenerate, result.regions.count,
          several ? std::optional<int>(result.frameNumber) : std::nullopt);
    }
  }
  degenerate_.add(result.regions.regularizedCount);

  const auto start = std::chrono::steady_clock::now();
  if (run_.gui) {
    showFrame(result.image);
    imageWindow_ = true;
  }
  report_ << std::endl;
  bool walking = run_.gui;
  const std::vector<std::string>& names = run_.classes->names;
  for (Eigen::Index i = 0; i < result.labels.size(); ++i) {
    report_ << result.labels[i] << "   "
            << names[static_cast<std::size_t>(static_cast<int>(result.labels[i]))] << std::endl;
    if (walking && endsWalk(showMask(result.regions, static_cast<int>(i)))) walking = false;
  }
  report_ << std::endl;
  result.times.report = secondsSince(start);

  for (const std::function<void()>& write : result.orderedWrites) write();
  if (run_.overlayVideo != nullptr && !result.overlay.empty()) {
    run_.overlayVideo->write(result.overlay);
  }
  err_ << result.evaluation << std::flush;
  if (run_.timings) {
    result.times.model = run_.modelSeconds;
    printTimings(err_, result.times, result.frameNumber, done_ == 0);
  }
  ++done_;
  progress_.show(done_);
  last_ = std::move(result);
}

void FrameWriter::finish() {
  if (!run_.schedule->several()) return;
  if (const std::string text = degenerate_.runText(); !text.empty()) {
    progress_.clear();
    warningLine(err_) << text;
  }
}

}  // namespace rovelin
