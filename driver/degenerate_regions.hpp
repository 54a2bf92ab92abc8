// SPDX-License-Identifier: Apache-2.0
// The warning about regions whose covariance is degenerate (flat colour, or
// fewer pixels than features): a ridge keeps their distances finite, and the
// user is told once per run, not once per frame, how often it happened.
#pragma once

#include <optional>
#include <string>

namespace rovelin {

class DegenerateRegions {
public:
  // The line for one frame; `frame` is named when given (the per-frame
  // detail of a batch).
  static std::string frameText(int degenerate, int regions, std::optional<int> frame);
  // Counts one frame of the run.
  void add(int degenerate);
  // The line for the whole run: how many frames had such regions and how
  // many of a frame's regions they were; empty when none had any.
  std::string runText() const;

private:
  long frames_ = 0;
  long affected_ = 0;
  int fewest_ = 0;
  int most_ = 0;
};

}  // namespace rovelin
