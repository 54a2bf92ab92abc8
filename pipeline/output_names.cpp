// SPDX-License-Identifier: Apache-2.0
#include "pipeline/output_names.hpp"

#include "util/error.hpp"
#include "util/output_file.hpp"

#include <algorithm>

namespace rovelin {

namespace fs = std::filesystem;

namespace {

// `name` with every byte other than an ASCII letter, digit, '-', '_' or '.'
// replaced by '_', and a leading '.' too, so it is never hidden, "." or "..".
std::string safeName(std::string name) {
  for (char& c : name) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.';
    if (!safe) c = '_';
  }
  if (name.empty()) return "_";
  if (name[0] == '.') name[0] = '_';
  return name;
}

std::string replaceAll(std::string text, const std::string& key, const std::string& value) {
  for (std::size_t at = text.find(key); at != std::string::npos;
       at = text.find(key, at + value.size())) {
    text.replace(at, key.size(), value);
  }
  return text;
}

}  // namespace

std::string videoOutputName(const std::string& videoPath) {
  return safeName(fs::path(videoPath).stem().string());
}

std::string videoPathOutputName(const std::string& videoPath) {
  const fs::path path = fs::path(videoPath).lexically_normal();
  std::vector<std::string> parts;
  for (const fs::path& part : path.relative_path()) {
    const std::string text = part.string();
    if (text.empty() || text == ".") continue;
    parts.push_back(text == ".." ? "__" : safeName(text));
  }
  if (parts.empty()) return "_";
  const fs::path file = fs::path(videoPath).filename();
  if (file.has_extension() && file.has_stem() && file.stem().string() != "." &&
      file.filename() == path.filename()) {
    parts.back() =
        safeName(file.stem().string()) + "_" + safeName(file.extension().string().substr(1));
  }
  std::string joined;
  for (const std::string& part : parts) joined += (joined.empty() ? "" : "/") + part;
  return joined;
}

std::string expandVideoPattern(const std::string& pattern, const std::string& videoPath) {
  return replaceAll(replaceAll(pattern, "{videopath}", videoPathOutputName(videoPath)), "{video}",
                    videoOutputName(videoPath));
}

fs::path fixedOutputDirectory(const std::string& pattern) {
  // "{video" starts both {video} and {videopath}.
  const std::size_t placeholder = std::min(pattern.find("{frame}"), pattern.find("{video"));
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

std::string expandShardPattern(const std::string& pattern, const std::optional<Shard>& shard) {
  return replaceAll(
      pattern, "{shard}",
      shard ? std::to_string(shard->index) + "-of-" + std::to_string(shard->count) : "all");
}

std::string expandFramePattern(const std::string& pattern, int frame) {
  return replaceAll(pattern, "{frame}", std::to_string(frame));
}

}  // namespace rovelin
