// SPDX-License-Identifier: Apache-2.0
// Reading a whole file up to a size cap.
//
// The size a regular file reports is compared with the cap before anything
// is allocated; a pipe or a device is read in blocks and refused as soon as
// it passes the cap. Each reader names its cap, so no input can make the tool
// take more memory than the cap.
#pragma once

#include "util/error.hpp"

#include <cstddef>
#include <filesystem>
#include <string>

namespace rovelin {

// Why a file could not be read whole.
enum class ReadFailure { kCannotOpen, kTooLarge, kReadError };

// A file that could not be read; what() is "cannot read \"FILE\": CAUSE".
class FileReadError : public Error {
public:
  FileReadError(const std::string& name, ReadFailure failure, const std::string& cause);
  ReadFailure failure;
  std::string cause;  // "No such file or directory", "larger than 1048576 bytes", ...
};

// All of the file at `path`, at most `cap` bytes. Throws FileReadError.
std::string readFileCapped(const std::filesystem::path& path, std::size_t cap);

// The first `limit` bytes of the file at `path`, or all of it when it is
// shorter. Throws FileReadError (kCannotOpen or kReadError).
std::string readFileHead(const std::filesystem::path& path, std::size_t limit);

}  // namespace rovelin
