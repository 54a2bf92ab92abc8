// SPDX-License-Identifier: Apache-2.0
// Which frames a run asks for, and the part of a frame list one process
// takes.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace rovelin {

// The frames of a run: a list, or every `step`-th frame from `start` to
// the end of the stream (`toEnd`, the list is then empty). An empty list
// without `toEnd` is the run's single positional frame.
struct FrameSelection {
  std::vector<int> list;  // --frames LIST
  bool toEnd = false;     // --frames all, START: or START::STEP
  int start = 0;
  int step = 1;
};

// "0,10,20", "0:300:30" (start:end:step, end exclusive) or a mix of both
// separated by commas. Empty optional on a malformed list.
std::optional<std::vector<int>> parseFrameList(const std::string& text);

// "all" (0 onwards), "START:" or "START::STEP": the frames from START to
// the end of the stream. False when `text` is none of these.
bool parseOpenEndedFrames(const std::string& text, int& start, int& step);

// One of `count` contiguous parts of a frame list: part `index` (0-based).
struct Shard {
  int index = 0;
  int count = 1;
};

// "I/N" with 0 <= I < N; empty optional on anything else.
std::optional<Shard> parseShard(const std::string& text);

// Part `shard.index` of `frames` cut into `shard.count` contiguous parts in
// list order. Part sizes differ by at most one (the larger parts come last),
// and the parts together hold every frame of the list exactly once. A part
// is empty when there are more parts than frames.
std::vector<int> shardFrames(const std::vector<int>& frames, const Shard& shard);

}  // namespace rovelin
