// SPDX-License-Identifier: Apache-2.0
#include "tools/frame_summary.hpp"

#include "pipeline/frame_list.hpp"
#include "pipeline/output_names.hpp"
#include "pipeline/video_frame_source.hpp"
#include "util/atomic_file.hpp"
#include "util/error.hpp"
#include "util/file_io.hpp"
#include "util/parse_number.hpp"

#include <nlohmann/json.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

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
  // A number beyond int would otherwise be cut to another frame silently.
  const auto whole = [](const nlohmann::json& number, const char* name) {
    const bool fits = number.is_number_unsigned()
                          ? number.get<std::uint64_t>() <= std::numeric_limits<int>::max()
                          : number.get<std::int64_t>() >= std::numeric_limits<int>::min() &&
                                number.get<std::int64_t>() <= std::numeric_limits<int>::max();
    if (!fits) throw Error(std::string("\"") + name + "\" is out of range");
    return static_cast<int>(number.get<std::int64_t>());
  };
  record.frame = whole(frame, "frame");
  record.segmentCount = whole(segments, "segment_count");
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

void forEachFrameFile(const fs::path& folder, const std::function<void(const fs::path&)>& visit) {
  // Sorted paths compare element by element, so walking each folder's
  // entries in sorted order gives the order of the whole sorted list.
  std::vector<fs::directory_entry> entries{fs::directory_iterator(folder),
                                           fs::directory_iterator()};
  std::sort(entries.begin(), entries.end(),
            [](const fs::directory_entry& a, const fs::directory_entry& b) {
              return a.path() < b.path();
            });
  for (const fs::directory_entry& entry : entries) {
    const std::string name = entry.path().filename().string();
    if (!name.empty() && name[0] == '.') continue;
    if (entry.is_directory()) {
      if (!entry.is_symlink()) forEachFrameFile(entry.path(), visit);
      continue;
    }
    if (entry.path().extension() == ".json") visit(entry.path());
  }
}

namespace {

constexpr std::size_t kFanIn = 64;             // runs merged at once
constexpr std::size_t kReadBytes = 64u << 10;  // read ahead of each run while merging
constexpr std::size_t kWriteBytes = 1u << 20;  // written to the temporary file at once

std::string systemMessage(int error) { return std::generic_category().message(error); }

// An unnamed file in the temporary folder: it is unlinked at once, so it is
// gone when the descriptor is closed or the process ends, however it ends.
int makeUnnamedTemporary() {
  std::error_code ec;
  fs::path folder = fs::temp_directory_path(ec);
  if (ec) folder = "/tmp";
  std::string name = (folder / "rovelin-summary-XXXXXX").string();
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    throw Error("cannot make a temporary file in \"" + folder.string() +
                "\": " + systemMessage(errno));
  }
  ::unlink(name.c_str());
  return fd;
}

void writeTemporary(int fd, std::string& bytes) {
  if (const int error = writeAll(fd, bytes); error != 0) {
    throw Error("cannot write the temporary file of sorted frames: " + systemMessage(error));
  }
  bytes.clear();
}

template <class T>
void put(std::string& out, T value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void putText(std::string& out, std::string_view text) {
  put(out, static_cast<std::uint32_t>(text.size()));
  out += text;
}

// Appends `record` of a run to `out`, counting its bytes in `written`; a
// full block goes to the temporary file `fd`.
void appendRecord(int fd, std::string& out, std::string_view record, long long& written) {
  putText(out, record);
  written += static_cast<long long>(sizeof(std::uint32_t) + record.size());
  if (out.size() >= kWriteBytes) writeTemporary(fd, out);
}

// Reads one sorted run back, a window at a time.
class RunReader {
public:
  RunReader(int fd, long long offset, long long bytes)
      : fd_(fd), position_(offset), end_(offset + bytes) {}

  // The next record, or false at the end of the run.
  bool next(std::string_view& record) {
    if (!ensure(sizeof(std::uint32_t))) return false;
    std::uint32_t size = 0;
    std::memcpy(&size, window_.data() + at_, sizeof size);
    if (!ensure(sizeof size + size))
      throw Error("the temporary file of sorted frames is cut short");
    record = std::string_view(window_).substr(at_ + sizeof size, size);
    at_ += sizeof size + size;
    return true;
  }

private:
  // At least `bytes` unread bytes in the window; false at the end of the run.
  bool ensure(std::size_t bytes) {
    if (window_.size() - at_ >= bytes) return true;
    window_.erase(0, at_);
    at_ = 0;
    while (window_.size() < bytes && position_ < end_) {
      const std::size_t have = window_.size();
      const std::size_t want =
          std::min<long long>(std::max(bytes, kReadBytes) - have, end_ - position_);
      window_.resize(have + want);
      const ssize_t got = ::pread(fd_, window_.data() + have, want, position_);
      if (got <= 0) {
        const int error = got < 0 ? errno : EIO;
        if (error == EINTR) {
          window_.resize(have);
          continue;
        }
        throw Error("cannot read the temporary file of sorted frames: " + systemMessage(error));
      }
      window_.resize(have + static_cast<std::size_t>(got));
      position_ += got;
    }
    if (window_.size() >= bytes) return true;
    if (window_.empty()) return false;
    throw Error("the temporary file of sorted frames is cut short");
  }

  int fd_;
  long long position_;
  long long end_;
  std::string window_;
  std::size_t at_ = 0;
};

template <class T>
T load(std::string_view bytes, std::size_t at) {
  T value{};
  if (at + sizeof value > bytes.size())
    throw std::logic_error("a sorted frame record is cut short");
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

class RecordReader {
public:
  explicit RecordReader(std::string_view bytes, std::size_t at = 0) : bytes_(bytes), at_(at) {}
  template <class T>
  T get() {
    const T value = load<T>(bytes_, at_);
    at_ += sizeof value;
    return value;
  }
  std::string text() {
    const auto size = get<std::uint32_t>();
    if (at_ + size > bytes_.size()) throw std::logic_error("a sorted frame record is cut short");
    std::string result(bytes_.substr(at_, size));
    at_ += size;
    return result;
  }

private:
  std::string_view bytes_;
  std::size_t at_;
};

}  // namespace

ExternalSorter::ExternalSorter(Less less, std::size_t memoryBytes)
    : less_(std::move(less)), memoryBytes_(std::max<std::size_t>(memoryBytes, 1)) {}

ExternalSorter::~ExternalSorter() {
  if (fd_ >= 0) ::close(fd_);
}

void ExternalSorter::add(std::string_view record) {
  if (finished_) throw std::logic_error("a record added to a sorter already read");
  const std::size_t held = buffer_.size() + pending_.size() * sizeof(pending_[0]);
  if (!pending_.empty() && held + record.size() > memoryBytes_) spill();
  if (buffer_.capacity() < memoryBytes_) buffer_.reserve(memoryBytes_);  // no doubling past it
  pending_.emplace_back(buffer_.size(), record.size());
  buffer_.append(record);
  ++count_;
}

void ExternalSorter::spill() {
  std::vector<std::string_view> records;
  records.reserve(pending_.size());
  for (const auto& [offset, size] : pending_) {
    records.push_back(std::string_view(buffer_).substr(offset, size));
  }
  std::stable_sort(records.begin(), records.end(), less_);
  if (fd_ < 0) fd_ = makeUnnamedTemporary();
  std::string out;
  long long bytes = 0;
  for (std::string_view record : records) appendRecord(fd_, out, record, bytes);
  writeTemporary(fd_, out);
  runs_.push_back({fileBytes_, bytes});
  fileBytes_ += bytes;
  ++runsWritten_;
  buffer_.clear();
  pending_.clear();
}

void ExternalSorter::merge(int fd, const std::vector<Run>& runs,
                           const std::function<bool(std::string_view)>& visit) const {
  std::vector<RunReader> readers;
  std::vector<std::string_view> current(runs.size());
  readers.reserve(runs.size());
  for (const Run& run : runs) readers.emplace_back(fd, run.offset, run.bytes);
  // The earlier run first among equal records keeps the sort stable.
  const auto after = [&](std::size_t a, std::size_t b) {
    return less_(current[b], current[a]) || (!less_(current[a], current[b]) && a > b);
  };
  std::vector<std::size_t> heap;
  for (std::size_t i = 0; i < readers.size(); ++i) {
    if (readers[i].next(current[i])) heap.push_back(i);
  }
  std::make_heap(heap.begin(), heap.end(), after);
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), after);
    const std::size_t i = heap.back();
    if (!visit(current[i])) return;
    if (readers[i].next(current[i])) {
      std::push_heap(heap.begin(), heap.end(), after);
    } else {
      heap.pop_back();
    }
  }
}

void ExternalSorter::forEach(const std::function<bool(std::string_view)>& visit) {
  if (!finished_) {
    finished_ = true;
    if (fd_ < 0) {
      std::stable_sort(pending_.begin(), pending_.end(), [this](const auto& a, const auto& b) {
        return less_(std::string_view(buffer_).substr(a.first, a.second),
                     std::string_view(buffer_).substr(b.first, b.second));
      });
    } else {
      if (!pending_.empty()) spill();
      std::string().swap(buffer_);
      std::vector<std::pair<std::size_t, std::size_t>>().swap(pending_);
      // Merge groups of runs into longer runs until one merge reads them all.
      while (runs_.size() > kFanIn) {
        const int merged = makeUnnamedTemporary();
        std::vector<Run> longer;
        long long written = 0;
        std::string out;
        try {
          for (std::size_t first = 0; first < runs_.size(); first += kFanIn) {
            const std::vector<Run> group(runs_.begin() + static_cast<std::ptrdiff_t>(first),
                                         runs_.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                             first + kFanIn, runs_.size())));
            const long long start = written;
            merge(fd_, group, [&](std::string_view record) {
              appendRecord(merged, out, record, written);
              return true;
            });
            writeTemporary(merged, out);
            longer.push_back({start, written - start});
          }
        } catch (...) {
          ::close(merged);
          throw;
        }
        ::close(fd_);
        fd_ = merged;
        runs_ = std::move(longer);
        fileBytes_ = written;
      }
    }
  }
  if (fd_ < 0) {
    for (const auto& [offset, size] : pending_) {
      if (!visit(std::string_view(buffer_).substr(offset, size))) return;
    }
    return;
  }
  merge(fd_, runs_, visit);
}

std::uint32_t NameIds::of(const std::string& name) {
  const auto [it, added] = id.emplace(name, static_cast<std::uint32_t>(text.size()));
  if (added) text.push_back(name);
  return it->second;
}

// A record's bytes: path id, frame, order added (the sort key), then the
// segment count, which optional fields are there, factor, uncertainty, the
// least certain class, the classes with their pixels and the file's name.
SortedFrameRecords::SortedFrameRecords(std::size_t memoryBytes)
    : sorter_(
          [this](std::string_view a, std::string_view b) {
            const auto pathA = load<std::uint32_t>(a, 0), pathB = load<std::uint32_t>(b, 0);
            if (pathA != pathB) {
              if (videos_[pathA] != videos_[pathB]) return videos_[pathA] < videos_[pathB];
              return paths_.text[pathA] < paths_.text[pathB];
            }
            const auto frameA = load<std::int32_t>(a, 4), frameB = load<std::int32_t>(b, 4);
            if (frameA != frameB) return frameA < frameB;
            return load<std::uint64_t>(a, 8) < load<std::uint64_t>(b, 8);
          },
          memoryBytes) {}

void SortedFrameRecords::add(const FrameRecord& record) {
  const std::uint32_t path = paths_.of(record.videoPath);
  if (path == videos_.size()) videos_.push_back(record.video);
  std::string bytes;
  put(bytes, path);
  put(bytes, static_cast<std::int32_t>(record.frame));
  put(bytes, static_cast<std::uint64_t>(sorter_.size()));
  put(bytes, static_cast<std::int32_t>(record.segmentCount));
  put(bytes, static_cast<std::uint8_t>((record.factor ? 1 : 0) | (record.uncertainty ? 2 : 0)));
  put(bytes, record.factor.value_or(0.0));
  put(bytes, record.uncertainty.value_or(0.0));
  put(bytes, classes_.of(record.leastCertainClass));
  put(bytes, static_cast<std::uint32_t>(record.classes.size()));
  for (std::size_t k = 0; k < record.classes.size(); ++k) {
    put(bytes, classes_.of(record.classes[k]));
    put(bytes, static_cast<std::int64_t>(record.classPixels[k]));
  }
  putText(bytes, record.file.string());
  sorter_.add(bytes);
}

void SortedFrameRecords::decode(std::string_view bytes, FrameRecord& record) const {
  RecordReader in(bytes);
  const auto path = in.get<std::uint32_t>();
  record.videoPath = paths_.text.at(path);
  record.video = videos_.at(path);
  record.frame = in.get<std::int32_t>();
  in.get<std::uint64_t>();
  record.segmentCount = in.get<std::int32_t>();
  const auto present = in.get<std::uint8_t>();
  const auto factor = in.get<double>();
  const auto uncertainty = in.get<double>();
  record.factor = (present & 1) ? std::optional<double>(factor) : std::nullopt;
  record.uncertainty = (present & 2) ? std::optional<double>(uncertainty) : std::nullopt;
  record.leastCertainClass = classes_.text.at(in.get<std::uint32_t>());
  const auto classes = in.get<std::uint32_t>();
  record.classes.resize(classes);
  record.classPixels.resize(classes);
  for (std::uint32_t k = 0; k < classes; ++k) {
    record.classes[k] = classes_.text.at(in.get<std::uint32_t>());
    record.classPixels[k] = in.get<std::int64_t>();
  }
  record.file = in.text();
}

void SortedFrameRecords::forEach(
    const std::function<void(const FrameRecord&)>& visit,
    const std::function<void(const FrameRecord&, const FrameRecord&)>& duplicate) {
  FrameRecord kept, next;
  bool any = false;
  std::uint32_t keptPath = 0;
  std::int32_t keptFrame = 0;
  sorter_.forEach([&](std::string_view bytes) {
    const auto path = load<std::uint32_t>(bytes, 0);
    const auto frame = load<std::int32_t>(bytes, 4);
    if (any && path == keptPath && frame == keptFrame) {
      if (duplicate) {
        decode(bytes, next);
        duplicate(kept, next);
      }
      return true;
    }
    decode(bytes, kept);
    any = true;
    keptPath = path;
    keptFrame = frame;
    visit(kept);
    return true;
  });
}

// A candidate's bytes: uncertainty, path id, frame, least certain class.
FrameSuggester::FrameSuggester(std::size_t memoryBytes)
    : sorter_(
          [this](std::string_view a, std::string_view b) {
            const auto ua = load<double>(a, 0), ub = load<double>(b, 0);
            if (ua != ub) return ua > ub;
            const auto pathA = load<std::uint32_t>(a, 8), pathB = load<std::uint32_t>(b, 8);
            if (pathA != pathB && videos_[pathA] != videos_[pathB])
              return videos_[pathA] < videos_[pathB];
            const auto frameA = load<std::int32_t>(a, 12), frameB = load<std::int32_t>(b, 12);
            if (frameA != frameB) return frameA < frameB;
            return pathA != pathB && paths_.text[pathA] < paths_.text[pathB];
          },
          memoryBytes) {}

void FrameSuggester::offer(const FrameRecord& record) {
  if (!record.uncertainty) return;
  const std::uint32_t path = paths_.of(record.videoPath);
  if (path == videos_.size()) videos_.push_back(record.video);
  std::string bytes;
  put(bytes, *record.uncertainty);
  put(bytes, path);
  put(bytes, static_cast<std::int32_t>(record.frame));
  put(bytes, classes_.of(record.leastCertainClass));
  sorter_.add(bytes);
}

std::vector<FrameRecord> FrameSuggester::pick(
    int count, const std::function<int(const FrameRecord&)>& minGap) {
  std::vector<FrameRecord> picked;
  if (count <= 0) return picked;
  sorter_.forEach([&](std::string_view bytes) {
    RecordReader in(bytes);
    FrameRecord c;
    c.uncertainty = in.get<double>();
    const auto path = in.get<std::uint32_t>();
    c.videoPath = paths_.text.at(path);
    c.video = videos_.at(path);
    c.frame = in.get<std::int32_t>();
    c.leastCertainClass = classes_.text.at(in.get<std::uint32_t>());
    const int gap = minGap(c);
    bool near = false;
    for (const FrameRecord& p : picked)
      near =
          near || (p.video == c.video && std::abs(static_cast<long long>(p.frame) - c.frame) < gap);
    if (!near) picked.push_back(std::move(c));
    return static_cast<int>(picked.size()) < count;
  });
  return picked;
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

void SummaryTable::see(const FrameRecord& record) {
  for (const std::string& name : record.classes) classes_.of(name);
}

std::string SummaryTable::header() const {
  std::string text = "video,frame,segment_count";
  for (const std::string& name : classes_.text) {
    text += ',';
    text += csvField(name);
  }
  return text + "\n";
}

std::string SummaryTable::row(const FrameRecord& record) const {
  std::vector<long long> pixels(classes_.text.size(), 0);
  long long total = 0;
  for (std::size_t k = 0; k < record.classes.size(); ++k) {
    pixels[classes_.id.at(record.classes[k])] += record.classPixels[k];
    total += record.classPixels[k];
  }
  std::string text = csvField(record.video) + "," + std::to_string(record.frame) + "," +
                     std::to_string(record.segmentCount);
  for (long long count : pixels) {
    char share[32];
    std::snprintf(share, sizeof share, "%.6f",
                  total > 0 ? static_cast<double>(count) / static_cast<double>(total) : 0.0);
    text += ",";
    text += share;
  }
  return text + "\n";
}

FrameRanges frameRanges(std::vector<int> frames) {
  std::sort(frames.begin(), frames.end());
  FrameRanges ranges;
  for (std::size_t i = 0; i < frames.size();) {
    std::size_t j = i;
    while (j + 1 < frames.size() &&
           static_cast<long long>(frames[j + 1]) <= static_cast<long long>(frames[j]) + 1) {
      ++j;
    }
    ranges.emplace(frames[i], frames[j]);
    i = j + 1;
  }
  return ranges;
}

bool containsFrame(const FrameRanges& ranges, int frame) {
  auto it = ranges.upper_bound(frame);
  if (it == ranges.begin()) return false;
  --it;
  return frame <= it->second;
}

void eraseFrame(FrameRanges& ranges, int frame) {
  auto it = ranges.upper_bound(frame);
  if (it == ranges.begin()) return;
  --it;
  const int first = it->first, last = it->second;
  if (frame > last) return;
  ranges.erase(it);
  if (first < frame) ranges.emplace(first, frame - 1);
  if (frame < last) ranges.emplace(frame + 1, last);
}

long long countFrames(const FrameRanges& ranges) {
  long long count = 0;
  for (const auto& [first, last] : ranges) {
    count += static_cast<long long>(last) - first + 1;
  }
  return count;
}

std::string describeFrames(const FrameRanges& ranges) {
  std::string text;
  for (const auto& [first, last] : ranges) {
    if (!text.empty()) text += ", ";
    text += std::to_string(first);
    if (last > first) {
      text += '-';
      text += std::to_string(last);
    }
  }
  return text;
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

}  // namespace rovelin
