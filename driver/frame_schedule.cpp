// SPDX-License-Identifier: Apache-2.0
#include "driver/frame_schedule.hpp"
#include "util/error.hpp"

#include <algorithm>
#include <limits>

namespace rovelin {

FrameSchedule::FrameSchedule(const FrameSelection& selection, int singleFrame) {
  if (selection.toEnd) {
    toEnd_ = true;
    start_ = selection.start;
    step_ = selection.step;
  } else if (!selection.list.empty()) {
    frames_ = selection.list;
  } else {
    frames_ = {singleFrame};
    single_ = true;
  }
}

std::optional<int> FrameSchedule::frame(std::size_t position) const {
  if (ranged_ && position >= rangeLength_) return std::nullopt;
  if ((!toEnd_ || listed_) && !ranged_) {
    if (position >= frames_.size()) return std::nullopt;
    return frames_[position];
  }
  const long long number =
      static_cast<long long>(start_) + static_cast<long long>(position) * step_;
  if (number > std::numeric_limits<int>::max()) return std::nullopt;
  return static_cast<int>(number);
}

std::optional<long> FrameSchedule::total(std::optional<int> frameCount) const {
  if (!toEnd_ || listed_) return static_cast<long>(length());
  if (!frameCount) return std::nullopt;
  if (*frameCount <= start_) return 0;
  return (static_cast<long>(*frameCount) - start_ + step_ - 1) / step_;
}

std::optional<int> FrameSchedule::repeatedFrame() const {
  if (ranged_) return std::nullopt;
  std::vector<int> sorted = frames_;
  std::sort(sorted.begin(), sorted.end());
  const auto twice = std::adjacent_find(sorted.begin(), sorted.end());
  if (twice == sorted.end()) return std::nullopt;
  return *twice;
}

void FrameSchedule::listToCount(std::optional<int> frameCount) {
  if (!toEnd_ || listed_) return;
  if (!frameCount) {
    throw Error(
        "the video does not give its frame count, so a run to its end cannot be cut into parts "
        "or checked for finished frames; name the frames with --frames START:END");
  }
  frames_.clear();
  rangeLength_ = static_cast<std::size_t>(total(frameCount).value_or(0));
  listed_ = true;
  ranged_ = true;
}

void FrameSchedule::keepPart(const Shard& part) {
  // A part of a range that does not exist is refused as a list would refuse it.
  if (!ranged_ || part.count < 1 || part.index < 0 || part.index >= part.count) {
    frames_ = shardFrames(frames_, part);
    return;
  }
  const auto size = static_cast<long long>(rangeLength_);
  const long long begin = size * part.index / part.count;
  const long long end = size * (part.index + 1) / part.count;
  start_ = static_cast<int>(start_ + begin * step_);
  rangeLength_ = static_cast<std::size_t>(end - begin);
}

void FrameSchedule::materialise() {
  if (!ranged_) return;
  frames_.clear();
  frames_.reserve(rangeLength_);
  for (std::size_t i = 0; i < rangeLength_; ++i) {
    frames_.push_back(static_cast<int>(start_ + static_cast<long long>(i) * step_));
  }
  ranged_ = false;
}

std::size_t FrameSchedule::dropFinished(const std::function<bool(int)>& finished) {
  materialise();  // only this part's frames: the other parts are never listed
  const std::size_t before = frames_.size();
  std::erase_if(frames_, finished);
  return before - frames_.size();
}

int FrameSchedule::step() const {
  if (toEnd_) return step_;
  if (frames_.size() < 2) return 1;
  const long long common = static_cast<long long>(frames_[1]) - frames_[0];
  for (std::size_t i = 2; i < frames_.size(); ++i) {
    if (static_cast<long long>(frames_[i]) - frames_[i - 1] != common) return 1;
  }
  return common > 0 && common <= std::numeric_limits<int>::max() ? static_cast<int>(common) : 1;
}

}  // namespace rovelin
