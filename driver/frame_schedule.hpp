// SPDX-License-Identifier: Apache-2.0
// Which frames a run works on: the positional frame, a --frames list, or
// every STEP-th frame from START to where the stream really ends.
#pragma once

#include "pipeline/frame_list.hpp"

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

namespace rovelin {

class FrameSchedule {
public:
  // `singleFrame` is the run's frame when the selection lists none.
  FrameSchedule(const FrameSelection& selection, int singleFrame);

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

  // Turns a run to the end into the frames `frameCount` promises, so that
  // it can be cut into parts or filtered; reads that fail before the
  // promised end still end the run quietly. The frames stay a range
  // (start, step, length) until they must be filtered, so a huge count
  // costs nothing. Throws Error when the count is unknown.
  void listToCount(std::optional<int> frameCount);
  // Keeps part `part` of the list (see shardFrames); a range is cut
  // arithmetically, with the bounds shardFrames would give.
  void keepPart(const Shard& part);
  // Drops the frames for which `finished` holds; returns how many.
  std::size_t dropFinished(const std::function<bool(int)>& finished);
  // True when no frame is left to process.
  bool empty() const { return (!toEnd_ || listed_) && length() == 0; }

private:
  // Frames left when they are a list or a fixed range.
  std::size_t length() const { return ranged_ ? rangeLength_ : frames_.size(); }
  void materialise();

  std::vector<int> frames_;
  bool listed_ = false;  // a run to the end, fixed by listToCount
  bool ranged_ = false;  // listed, and still the range start_ + i * step_, i < rangeLength_
  std::size_t rangeLength_ = 0;
  bool toEnd_ = false;
  bool single_ = false;
  int start_ = 0;
  int step_ = 1;
};

}  // namespace rovelin
