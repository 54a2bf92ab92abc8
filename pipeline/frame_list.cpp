// SPDX-License-Identifier: Apache-2.0
#include "pipeline/frame_list.hpp"

#include "util/parse_number.hpp"

#include <stdexcept>

namespace rovelin {

bool parseOpenEndedFrames(const std::string& text, int& start, int& step) {
  if (text == "all") {
    start = 0;
    step = 1;
    return true;
  }
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  const std::optional<int> first = parseNumber<int>(std::string_view(text).substr(0, colon));
  const std::string_view rest = std::string_view(text).substr(colon + 1);
  std::optional<int> every = 1;
  if (!rest.empty()) every = rest[0] == ':' ? parseNumber<int>(rest.substr(1)) : std::nullopt;
  if (!first || *first < 0 || !every || *every < 1) return false;
  start = *first;
  step = *every;
  return true;
}

std::optional<std::vector<int>> parseFrameList(const std::string& text) {
  std::vector<int> frames;
  if (text.empty()) return std::nullopt;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    const std::string_view item = std::string_view(text).substr(start, comma - start);
    const std::size_t colon = item.find(':');
    if (colon == std::string::npos) {
      const std::optional<int> frame = parseNumber<int>(item);
      if (!frame || *frame < 0) return std::nullopt;
      frames.push_back(*frame);
    } else {
      const std::size_t colon2 = item.find(':', colon + 1);
      const std::optional<int> first = parseNumber<int>(item.substr(0, colon));
      const std::optional<int> last = parseNumber<int>(item.substr(
          colon + 1, colon2 == std::string::npos ? std::string::npos : colon2 - colon - 1));
      const std::optional<int> step =
          colon2 == std::string::npos ? 1 : parseNumber<int>(item.substr(colon2 + 1));
      if (!first || !last || !step || *first < 0 || *last < *first || *step < 1) {
        return std::nullopt;
      }
      for (long long f = *first; f < *last; f += *step) {
        frames.push_back(static_cast<int>(f));
        if (frames.size() > 1'000'000) return std::nullopt;
      }
    }
    start = comma + 1;
  }
  if (frames.empty()) return std::nullopt;
  return frames;
}

std::optional<Shard> parseShard(const std::string& text) {
  const std::size_t slash = text.find('/');
  if (slash == std::string::npos) return std::nullopt;
  const std::optional<int> index = parseNumber<int>(std::string_view(text).substr(0, slash));
  const std::optional<int> count = parseNumber<int>(std::string_view(text).substr(slash + 1));
  if (!index || !count) return std::nullopt;
  const Shard shard{*index, *count};
  if (shard.count < 1 || shard.index < 0 || shard.index >= shard.count) return std::nullopt;
  return shard;
}

std::vector<int> shardFrames(const std::vector<int>& frames, const Shard& shard) {
  if (shard.count < 1 || shard.index < 0 || shard.index >= shard.count) {
    throw std::invalid_argument("shard " + std::to_string(shard.index) + "/" +
                                std::to_string(shard.count) + " does not exist");
  }
  // Part i is [i*L/N, (i+1)*L/N): consecutive bounds differ by floor or ceil
  // of L/N, and the bounds run from 0 to L.
  const auto size = static_cast<long long>(frames.size());
  const long long begin = size * shard.index / shard.count;
  const long long end = size * (shard.index + 1) / shard.count;
  return std::vector<int>(frames.begin() + begin, frames.begin() + end);
}

}  // namespace rovelin
