// SPDX-License-Identifier: Apache-2.0
#include "tools/frame_summary.hpp"

#include "pipeline/frame_list.hpp"
#include "pipeline/output_names.hpp"
#include "pipeline/video_frame_source.hpp"
#include "util/error.hpp"
#include "util/file_io.hpp"
#include "util/parse_number.hpp"

#include <nlohmann/json.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace rovelin {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxManifestBytes = 16u << 20;
// A frame's record lists every region with its ranked classes.
constexpr std::size_t kMaxRecordBytes = 256u << 20;

}  // namespace

std::vector<ManifestEntry> readManifest(const fs::path& path) {
  std::istringstream in;
  try {
    in.str(readFileCapped(path, kMaxManifestBytes));
  } catch (const FileReadError& e) {
    throw Error("cannot read the manifest \"" + path.string() + "\"" +
                (e.failure == ReadFailure::kTooLarge ? ": " + e.cause : ""));
  }
  std::vector<ManifestEntry> entries;
  std::string text;
  int number = 0;
  while (std::getline(in, text)) {
    ++number;
    std::istringstream fields(text);
    std::string first;
    if (!(fields >> first) || first[0] == '#') continue;
    ManifestEntry entry;
    entry.video = first;
    entry.line = number;
    std::string extra;
    if (!(fields >> entry.factor >> entry.frames) || (fields >> extra)) {
      throw Error("manifest \"" + path.string() + "\" line " + std::to_string(number) +
                  ": expected three fields VIDEO FACTOR FRAMES");
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::optional<std::vector<int>> expandManifestFrames(const std::string& frames,
                                                     const std::function<int()>& frameCount) {
  // Open ends become the frame count, so the list parser sees closed ranges.
  std::string closed;
  std::optional<int> count;
  auto end = [&]() {
    if (!count) count = frameCount();
    return std::to_string(*count);
  };
  std::size_t start = 0;
  while (start <= frames.size()) {
    std::size_t comma = frames.find(',', start);
    if (comma == std::string::npos) comma = frames.size();
    std::string item = frames.substr(start, comma - start);
    if (item == "all") {
      item = "0:" + end();
    } else if (const std::size_t colon = item.find(':'); colon != std::string::npos) {
      if (colon + 1 == item.size()) {
        item += end();
      } else if (item[colon + 1] == ':') {
        item.insert(colon + 1, end());
      }
    }
    if (!closed.empty() || start > 0) closed += ',';
    closed += item;
    start = comma + 1;
  }
  if (count && *count <= 0) {
    return std::vector<int>{};
  }
  return parseFrameList(closed);
}

std::vector<const FrameRecord*> suggestFrames(
    const std::vector<FrameRecord>& records, int count,
    const std::function<int(const FrameRecord&)>& minGap) {
  std::vector<const FrameRecord*> candidates;
  for (const FrameRecord& r : records) {
    if (r.uncertainty) candidates.push_back(&r);
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const FrameRecord* a, const FrameRecord* b) {
                     if (*a->uncertainty != *b->uncertainty)
                       return *a->uncertainty > *b->uncertainty;
                     return a->video != b->video ? a->video < b->video : a->frame < b->frame;
                   });
  std::vector<const FrameRecord*> picked;
  for (const FrameRecord* c : candidates) {
    if (static_cast<int>(picked.size()) >= count) break;
    const int gap = minGap(*c);
    bool near = false;
    for (const FrameRecord* p : picked)
      near = near || (p->video == c->video && std::abs(p->frame - c->frame) < gap);
    if (!near) picked.push_back(c);
  }
  return picked;
}

FrameRecord readFrameRecord(const fs::path& path) {
  std::string text;
  try {
    text = readFileCapped(path, kMaxRecordBytes);
  } catch (const FileReadError& e) {
    throw Error(e.failure == ReadFailure::kCannotOpen ? "cannot open it" : e.cause);
  }
  const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
  if (doc.is_discarded()) throw Error("not valid JSON");
  auto field = [&doc](const char* name) -> const nlohmann::json& {
    if (!doc.is_object() || !doc.contains(name)) throw Error(std::string("no \"") + name + "\"");
    return doc[name];
  };
  FrameRecord record;
  record.file = path;
  const nlohmann::json& video = field("video");
  const nlohmann::json& frame = field("frame");
  const nlohmann::json& segments = field("segment_count");
  const nlohmann::json& classes = field("classes");
  const nlohmann::json& regions = field("regions");
  if (!video.is_string() || !frame.is_number_integer() || !segments.is_number_integer() ||
      !classes.is_array() || !regions.is_array()) {
    throw Error("a field has the wrong type");
  }
  record.videoPath = video.get<std::string>();
  record.video = videoOutputName(record.videoPath);
  if (const auto factor = doc.find("factor"); factor != doc.end() && factor->is_number()) {
    record.factor = factor->get<double>();
  }
  if (const auto u = doc.find("uncertainty"); u != doc.end() && u->is_number())
    record.uncertainty = u->get<double>();
  if (const auto c = doc.find("least_certain_class"); c != doc.end() && c->is_string())
    record.leastCertainClass = c->get<std::string>();
  record.frame = frame.get<int>();
  record.segmentCount = segments.get<int>();
  std::map<std::string, std::size_t> column;
  for (const nlohmann::json& name : classes) {
    if (!name.is_string()) throw Error("a class name is not text");
    column.emplace(name.get<std::string>(), record.classes.size());
    record.classes.push_back(name.get<std::string>());
  }
  record.classPixels.assign(record.classes.size(), 0);
  for (const nlohmann::json& region : regions) {
    if (!region.is_object() || !region.contains("class") || !region["class"].is_string() ||
        !region.contains("pixel_count") || !region["pixel_count"].is_number_integer() ||
        region["pixel_count"].get<long long>() < 0) {
      throw Error("a region lacks its class or pixel count");
    }
    const auto k = column.find(region["class"].get<std::string>());
    if (k == column.end()) throw Error("a region's class is not in \"classes\"");
    record.classPixels[k->second] += region["pixel_count"].get<long long>();
  }
  return record;
}

std::vector<fs::path> findFrameFiles(const fs::path& root) {
  std::vector<fs::path> files;
  fs::recursive_directory_iterator it(root), end;
  for (; it != end; ++it) {
    const std::string name = it->path().filename().string();
    if (!name.empty() && name[0] == '.') {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    if (it->path().extension() == ".json" && !it->is_directory()) files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

namespace {

std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

std::string summaryTable(const std::vector<FrameRecord>& records) {
  std::vector<std::string> classes;
  std::map<std::string, std::size_t> column;
  for (const FrameRecord& record : records) {
    for (const std::string& name : record.classes) {
      if (column.emplace(name, classes.size()).second) classes.push_back(name);
    }
  }
  std::string table = "video,frame,segment_count";
  for (const std::string& name : classes) {
    table += ',';
    table += csvField(name);
  }
  table += "\n";
  for (const FrameRecord& record : records) {
    std::vector<long long> pixels(classes.size(), 0);
    long long total = 0;
    for (std::size_t k = 0; k < record.classes.size(); ++k) {
      pixels[column[record.classes[k]]] += record.classPixels[k];
      total += record.classPixels[k];
    }
    table += csvField(record.video) + "," + std::to_string(record.frame) + "," +
             std::to_string(record.segmentCount);
    for (long long count : pixels) {
      char share[32];
      std::snprintf(share, sizeof share, "%.6f",
                    total > 0 ? static_cast<double>(count) / static_cast<double>(total) : 0.0);
      table += ",";
      table += share;
    }
    table += "\n";
  }
  return table;
}

bool recordMatches(const FrameRecord& record, const ManifestEntry& entry) {
  const std::optional<double> factor = parseNumber<double>(entry.factor);
  if (!factor || !record.factor || *factor != *record.factor) return false;
  if (record.videoPath == entry.video) return true;
  if (fs::path(record.videoPath).lexically_normal() == fs::path(entry.video).lexically_normal()) {
    return true;
  }
  std::error_code ec;
  return fs::equivalent(record.videoPath, entry.video, ec);
}

int countVideoFrames(const std::string& video) {
  cv::VideoCapture capture;
  try {
    if (!capture.open(video, cv::CAP_FFMPEG)) capture.open(video, cv::CAP_ANY);
  } catch (const cv::Exception&) {
    capture.release();
  }
  if (!capture.isOpened()) throw Error("cannot open \"" + video + "\" to count its frames");
  const int count =
      VideoFrameSource::believableFrameCount(capture.get(cv::CAP_PROP_FRAME_COUNT), video);
  if (count < 0) {
    throw Error("\"" + video +
                "\" does not give a frame count that can be believed; name its "
                "frames as START:END");
  }
  return count;
}

std::string describeFrames(const std::vector<int>& frames) {
  std::string text;
  for (std::size_t i = 0; i < frames.size();) {
    std::size_t j = i;
    while (j + 1 < frames.size() && frames[j + 1] == frames[j] + 1) ++j;
    if (!text.empty()) text += ", ";
    text += std::to_string(frames[i]);
    if (j > i) {
      text += '-';
      text += std::to_string(frames[j]);
    }
    i = j + 1;
  }
  return text;
}

}  // namespace rovelin
