// SPDX-License-Identifier: Apache-2.0
// The progress line of a batch on a terminal: frames done of the total,
// frames per second and the time left, redrawn in place on standard error.
#pragma once

#include <chrono>
#include <iosfwd>
#include <optional>
#include <string>

namespace rovelin {

// The text of the line, without the carriage return: "rovelin: 12 of 120
// frames (10%), 5.3 frames/s, 20 s left". Without a total the count and
// the rate only; before the first frame the count only.
std::string progressText(long done, std::optional<long> total, double seconds);

// What is left of the line when a batch ends: "rovelin: 120 frames in
// 22.6 s, 5.3 frames/s".
std::string summaryText(long done, double seconds);

class ProgressLine {
public:
  // Draws nothing unless `enabled` (standard error is a terminal).
  ProgressLine(std::ostream& err, bool enabled, std::optional<long> total);
  // Redraws the line for `done` frames finished.
  void show(long done);
  // Removes the line before other text is written on the terminal.
  void clear();
  // Replaces the line with the batch's summary, on a line of its own.
  void finish();

private:
  std::ostream& err_;
  bool enabled_;
  bool shown_ = false;
  long done_ = 0;
  std::optional<long> total_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace rovelin
