// SPDX-License-Identifier: Apache-2.0
// How a batch is laid out over processes and files: the part of the frame
// list one process takes, the name a video's outputs are filed under, and
// the output names with their placeholders.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace rovelin {

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

// The video file's name without folder and extension, with every byte other
// than an ASCII letter, digit, '-', '_' or '.' replaced by '_', and a leading
// '.' replaced by '_' (so the name is never hidden, "." or ".."). An empty
// result becomes "_". Used for the {video} placeholder.
std::string videoOutputName(const std::string& videoPath);

// Replaces every "{video}" in `pattern` by `videoName`.
std::string expandVideoPattern(const std::string& pattern, const std::string& videoName);

// The directory of an output name that must already exist: the folder part
// of `pattern` before its first placeholder ({frame} or {video}), or the
// folder of the whole name when it holds none. Directories below it that an
// expanded name needs are created when the file is written.
std::filesystem::path fixedOutputDirectory(const std::string& pattern);

// Creates the missing directories that `target` needs (none when its folder
// exists). Safe when several processes create the same folders at once.
// Throws Error naming the folder when it cannot be created.
void createOutputDirectories(const std::filesystem::path& target);

// Throws Error naming `target` (the expansion of `pattern`)
// when it plainly cannot be written: the folder before the pattern's first
// placeholder is missing, something on its way is not a folder, or the
// target is a folder. Folders below the placeholder may be missing.
void checkOutputName(const std::string& pattern, const std::filesystem::path& target);

}  // namespace rovelin
