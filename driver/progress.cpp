// SPDX-License-Identifier: Apache-2.0
#include "driver/progress.hpp"

#include "util/clock.hpp"
#include "util/terminal_line.hpp"

#include <cmath>
#include <iomanip>
#include <ostream>
#include <sstream>

namespace rovelin {

std::string progressText(long done, std::optional<long> total, double seconds) {
  std::ostringstream text;
  text << "rovelin: " << done;
  if (total && *total > 0) {
    text << " of " << *total << " frames (" << done * 100 / *total << "%)";
  } else {
    text << " frames";
  }
  if (done > 0 && seconds > 0.0) {
    const double rate = static_cast<double>(done) / seconds;
    text << ", " << std::fixed << std::setprecision(1) << rate << " frames/s";
    if (total && *total >= done) {
      const long left = std::lround(static_cast<double>(*total - done) / rate);
      text << ", ";
      if (left >= 60)
        text << left / 60 << " min " << std::setw(2) << std::setfill('0') << left % 60;
      else
        text << left;
      text << " s left";
    }
  }
  return text.str();
}

std::string summaryText(long done, double seconds) {
  std::ostringstream text;
  text << "rovelin: " << done << (done == 1 ? " frame" : " frames") << " in " << std::fixed
       << std::setprecision(1) << seconds << " s";
  if (seconds > 0.0) text << ", " << static_cast<double>(done) / seconds << " frames/s";
  return text.str();
}

ProgressLine::ProgressLine(std::ostream& err, bool enabled, std::optional<long> total)
    : err_(err), enabled_(enabled), total_(total), start_(std::chrono::steady_clock::now()) {}

void ProgressLine::show(long done) {
  if (!enabled_) return;
  drawTerminalLine(err_, progressText(done, total_, secondsSince(start_)));
  shown_ = true;
  done_ = done;
}

void ProgressLine::clear() {
  if (!enabled_ || !shown_) return;
  clearTerminalLine(err_);
  shown_ = false;
}

void ProgressLine::finish() {
  if (!enabled_) return;
  err_ << "\r" << summaryText(done_, secondsSince(start_)) << "\033[K" << std::endl;
  shown_ = false;
}

}  // namespace rovelin
