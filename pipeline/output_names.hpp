// SPDX-License-Identifier: Apache-2.0
// The names of a run's outputs: the name a video's outputs are filed under,
// the {video} and {frame} placeholders, and the folders the names need.
#pragma once

#include "pipeline/frame_list.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace rovelin {

// The video file's name without folder and extension, with every byte other
// than an ASCII letter, digit, '-', '_' or '.' replaced by '_', and a leading
// '.' replaced by '_' (so the name is never hidden, "." or ".."). An empty
// result becomes "_". Used for the {video} placeholder.
std::string videoOutputName(const std::string& videoPath);

// The video's path with its folders, for the {videopath} placeholder: each
// folder sanitised as videoOutputName sanitises a name, the file's extension
// kept after a '_' (cam1/0001.avi → cam1/0001_avi, so cam2/0001.avi and
// cam1/0001.mp4 differ), a root dropped, "." left out and ".." as "__".
std::string videoPathOutputName(const std::string& videoPath);

// Replaces every "{video}" in `pattern` by videoOutputName(videoPath) and
// every "{videopath}" by videoPathOutputName(videoPath).
std::string expandVideoPattern(const std::string& pattern, const std::string& videoPath);

// Replaces every "{shard}" in `pattern` by "I-of-N" of the run's --shard
// part, or by "all" without one.
std::string expandShardPattern(const std::string& pattern, const std::optional<Shard>& shard);

// Replaces every "{frame}" in `pattern` by the frame number.
std::string expandFramePattern(const std::string& pattern, int frame);

// The directory of an output name that must already exist: the folder part
// of `pattern` before its first placeholder ({frame}, {video} or
// {videopath}), or the
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
