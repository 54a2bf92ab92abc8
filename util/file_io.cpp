// SPDX-License-Identifier: Apache-2.0
#include "util/file_io.hpp"

#include <array>
#include <cerrno>
#include <fstream>
#include <system_error>

namespace rovelin {

namespace fs = std::filesystem;

namespace {

// Opens `path` for reading; a folder counts as unopenable.
std::ifstream openForReading(const fs::path& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    throw FileReadError(path.string(), ReadFailure::kCannotOpen,
                        std::generic_category().message(EISDIR));
  }
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw FileReadError(path.string(), ReadFailure::kCannotOpen,
                        std::generic_category().message(errno != 0 ? errno : ENOENT));
  }
  return in;
}

// Appends up to `limit` bytes of `in` to `data`; true when `in` ended within them.
bool appendUpTo(std::istream& in, std::size_t limit, std::string& data, const std::string& name) {
  std::array<char, 65536> buffer{};
  while (in && data.size() <= limit) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    data.append(buffer.data(), static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) throw FileReadError(name, ReadFailure::kReadError, "read error");
  const bool ended = data.size() <= limit;
  if (!ended) data.resize(limit);
  return ended;
}

}  // namespace

FileReadError::FileReadError(const std::string& name, ReadFailure failure, const std::string& cause)
    : Error("cannot read \"" + name + "\": " + cause), failure(failure), cause(cause) {}

std::string readFileCapped(const fs::path& path, std::size_t cap) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec) || fs::file_size(path, ec) <= cap || ec) {
    std::ifstream in = openForReading(path);
    std::string data;
    if (appendUpTo(in, cap, data, path.string())) return data;
  }
  throw FileReadError(path.string(), ReadFailure::kTooLarge,
                      "larger than " + std::to_string(cap) + " bytes");
}

std::string readFileHead(const fs::path& path, std::size_t limit) {
  std::ifstream in = openForReading(path);
  std::string data;
  appendUpTo(in, limit, data, path.string());
  return data;
}

}  // namespace rovelin
