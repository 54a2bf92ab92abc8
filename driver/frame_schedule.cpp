#include "driver/frame_schedule.hpp"

#include <algorithm>
#include <limits>

namespace rovelin {

FrameSchedule::FrameSchedule(const Options& options) {
  if (options.framesToEnd) {
    toEnd_ = true;
    start_ = options.framesStart;
    step_ = options.framesStep;
  } else if (!options.frames.empty()) {
    frames_ = options.frames;
  } else {
    frames_ = {options.frameNumber};
    single_ = true;
  }
}

std::optional<int> FrameSchedule::frame(std::size_t position) const {
  if (!toEnd_) {
    if (position >= frames_.size()) return std::nullopt;
    return frames_[position];
  }
  const long long number =
      static_cast<long long>(start_) + static_cast<long long>(position) * step_;
  if (number > std::numeric_limits<int>::max()) return std::nullopt;
  return static_cast<int>(number);
}

std::optional<long> FrameSchedule::total(std::optional<int> frameCount) const {
  if (!toEnd_) return static_cast<long>(frames_.size());
  if (!frameCount) return std::nullopt;
  if (*frameCount <= start_) return 0;
  return (static_cast<long>(*frameCount) - start_ + step_ - 1) / step_;
}

std::optional<int> FrameSchedule::repeatedFrame() const {
  std::vector<int> sorted = frames_;
  std::sort(sorted.begin(), sorted.end());
  const auto twice = std::adjacent_find(sorted.begin(), sorted.end());
  if (twice == sorted.end()) return std::nullopt;
  return *twice;
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
