// SPDX-License-Identifier: Apache-2.0
#include "pipeline/output_names.hpp"

#include "util/error.hpp"
#include "util/output_file.hpp"

#include <algorithm>
#include <stdexcept>

namespace rovelin {

namespace fs = std::filesystem;

std::string videoOutputName(const std::string& videoPath) {
  std::string name = fs::path(videoPath).stem().string();
  for (char& c : name) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.';
    if (!safe) c = '_';
  }
  if (name.empty()) return "_";
  if (name[0] == '.') name[0] = '_';
  return name;
}

std::string expandVideoPattern(const std::string& pattern, const std::string& videoName) {
  std::string result = pattern;
  const std::string key = "{video}";
  for (std::size_t at = result.find(key); at != std::string::npos;
       at = result.find(key, at + videoName.size())) {
    result.replace(at, key.size(), videoName);
  }
  return result;
}

fs::path fixedOutputDirectory(const std::string& pattern) {
  const std::size_t placeholder = std::min(pattern.find("{frame}"), pattern.find("{video}"));
  // The folder part of what comes before the placeholder: "out/{video}" and
  // "out/x{video}" both need "out", "{video}/a" needs the working folder.
  const fs::path parent = fs::path(pattern.substr(0, placeholder)).parent_path();
  return parent.empty() ? fs::path(".") : parent;
}

void createOutputDirectories(const fs::path& target) {
  if (!target.has_parent_path()) return;
  const fs::path directory = target.parent_path();
  std::error_code ec;
  if (fs::is_directory(directory, ec)) return;
  fs::create_directories(directory, ec);
  // Another process may have made the same folder in the meantime.
  if (ec && !fs::is_directory(directory)) {
    throw Error("cannot create the folder \"" + directory.string() + "\": " + ec.message());
  }
}

void checkOutputName(const std::string& pattern, const fs::path& target) {
  const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::error_code ec;
  const fs::path fixed = fixedOutputDirectory(pattern);
  if (fs::exists(directory, ec) || !fs::is_directory(fixed, ec)) {
    checkOutputPath(target);
    return;
  }
  // The target's folder will be made: whatever already exists on the way
  // down from the fixed folder must be a folder.
  for (fs::path p = directory.parent_path(); !p.empty() && p != fixed && p != p.parent_path();
       p = p.parent_path()) {
    if (fs::exists(p, ec)) {
      if (!fs::is_directory(p, ec)) {
        throw Error("cannot write \"" + target.string() + "\": \"" + p.string() +
                    "\" is not a directory");
      }
      break;
    }
  }
}

std::string expandFramePattern(const std::string& pattern, int frame) {
  std::string result = pattern;
  const std::string key = "{frame}";
  const std::string number = std::to_string(frame);
  for (std::size_t at = result.find(key); at != std::string::npos;
       at = result.find(key, at + number.size())) {
    result.replace(at, key.size(), number);
  }
  return result;
}

}  // namespace rovelin
