// Which frames a run works on: the positional frame, a --frames list, or
// every STEP-th frame from START to where the stream really ends.
#pragma once

#include "driver/options.hpp"

#include <cstddef>
#include <optional>
#include <vector>

namespace rovelin {

class FrameSchedule {
public:
  explicit FrameSchedule(const Options& options);

  // The frame at `position` of the run; none past the end of a list (a run
  // to the end of the stream stops when a read fails).
  std::optional<int> frame(std::size_t position) const;
  // True when the run ends where the stream ends.
  bool toEnd() const { return toEnd_; }
  // True for the classic run of the one positional frame.
  bool single() const { return single_; }
  // True when several frames may be processed (a list of more than one, or
  // a run to the end).
  bool several() const { return toEnd_ || frames_.size() > 1; }
  // The number of frames, when it is known before reading: a list's length,
  // or what a frame count promises a run to the end.
  std::optional<long> total(std::optional<int> frameCount) const;
  // A frame the list names more than once (the first such), if any.
  std::optional<int> repeatedFrame() const;
  // The step between frames: the run's step, a list's common step, else 1.
  int step() const;

private:
  std::vector<int> frames_;
  bool toEnd_ = false;
  bool single_ = false;
  int start_ = 0;
  int step_ = 1;
};

}  // namespace rovelin
