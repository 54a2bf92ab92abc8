// SPDX-License-Identifier: Apache-2.0
// Writing the files a user names. Every file is written under a temporary
// name in its own directory, flushed to the disk and renamed into place, so
// an output is complete or absent, even after a full disk, a killed run or
// a power cut.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rovelin {

// Throws Error naming `target` when it plainly cannot be
// written: its directory is missing (or not a directory), or it is itself a
// directory. Lets a run refuse a bad output name before doing its work.
void checkOutputPath(const std::filesystem::path& target);

// Writes an output the user named, as a shell redirection would, but whole
// or not at all: a link is followed and the file it leads to replaced (a
// dangling link creates its target); a regular file is replaced by a
// complete, flushed temporary renamed over it; a character device or a pipe
// is opened and written directly; "-", /dev/stdout, /dev/stderr and
// /dev/fd/N write to that descriptor of this process. `verify`, when given,
// sees the complete temporary before it replaces anything. Throws
// FileWriteError naming `target` and the cause ("No space left on device").
void writeOutputFile(const std::filesystem::path& target, std::string_view bytes,
                     const std::function<void(const std::filesystem::path&)>& verify = {});
void writeTextAtomically(const std::filesystem::path& target, const std::string& text);

// One file of a set written by writeOutputFilesTogether.
struct OutputPart {
  std::filesystem::path target;
  std::string_view bytes;
  std::function<void(const std::filesystem::path&)> verify;  // sees the complete temporary
};

// Writes files that belong together (a model and its settings): each is
// written complete to its temporary first, and only then are they renamed
// into place, in the order given. A failure before the renames (a full disk,
// a refused verify) leaves every old file as it was. Names are resolved as
// writeOutputFile does; a pipe or a device is refused.
void writeOutputFilesTogether(const std::vector<OutputPart>& parts);

// The descriptor a name stands for the way a shell treats it in a
// redirection: "-", /dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N;
// -1 for any other name.
int descriptorNamed(const std::filesystem::path& path);

// Refuses (Error) outputs that would overwrite each other or an
// input of the run: `outputs` holds (option, file name) of every output of
// every frame, `inputs` (what it is, file name). Names are compared after
// following links; character devices may be shared.
void checkDistinctOutputs(const std::vector<std::pair<std::string, std::string>>& outputs,
                          const std::vector<std::pair<std::string, std::string>>& inputs);

}  // namespace rovelin
