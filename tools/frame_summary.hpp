// SPDX-License-Identifier: Apache-2.0
// The pieces of rovelin-summary: the manifest of a batch, the per-frame JSON
// files a batch writes, and the CSV table made from them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace rovelin {

// One line of a batch manifest: "VIDEO FACTOR FRAMES".
struct ManifestEntry {
  std::string video;
  std::string factor;
  std::string frames;
  int line = 0;  // 1-based line number in the manifest
};

// Reads a manifest: one video per line as three fields separated by blanks;
// blank lines and lines whose first non-blank character is '#' are skipped.
// Throws Error naming the file and line on anything else.
std::vector<ManifestEntry> readManifest(const std::filesystem::path& path);

// The frames a FRAMES field asks for. "all", "START:" and "START::STEP" run
// to `frameCount()`, which is only called when one of them is used. Empty
// optional when the field is not a frame list.
std::optional<std::vector<int>> expandManifestFrames(const std::string& frames,
                                                     const std::function<int()>& frameCount);

// What one per-frame JSON file says: its video's output name, frame number,
// segment count and the labelled pixels of every class, in the file's class
// order.
struct FrameRecord {
  std::string video;
  std::string videoPath;         // the video as the run named it
  std::optional<double> factor;  // the run's scale factor
  int frame = 0;
  int segmentCount = 0;
  std::vector<std::string> classes;
  std::vector<long long> classPixels;  // one per class
  std::filesystem::path file;
  std::optional<double> uncertainty;  // absent in the files of older runs
  std::string leastCertainClass;      // "least_certain_class"; empty when absent
};

// Reads a JSON file written by `rovelin --json`. Throws Error
// saying what is wrong when it cannot be read or lacks a field.
FrameRecord readFrameRecord(const std::filesystem::path& path);

// Calls `visit` with every per-frame JSON file below `root` (".json", not
// hidden, hidden folders not entered, temporary files of unfinished writes
// are hidden), in the order of their sorted paths. Only the entries of the
// folders being walked are held, never the whole list.
void forEachFrameFile(const std::filesystem::path& root,
                      const std::function<void(const std::filesystem::path&)>& visit);

// Records of any kind in the order of `less`, stable, with at most about
// `memoryBytes` of them in memory: the rest wait as sorted runs in an
// unnamed temporary file of the system's temporary folder, which vanishes
// with the process however it ends.
class ExternalSorter {
public:
  using Less = std::function<bool(std::string_view, std::string_view)>;
  ExternalSorter(Less less, std::size_t memoryBytes);
  ExternalSorter(const ExternalSorter&) = delete;
  ExternalSorter& operator=(const ExternalSorter&) = delete;
  ~ExternalSorter();

  void add(std::string_view record);
  // Calls `visit` with the records added, in order, until it returns false
  // (the view lasts until the next call). May be called again; no record
  // may be added after it. Throws Error when the temporary file cannot be
  // made, written or read.
  void forEach(const std::function<bool(std::string_view)>& visit);
  std::size_t size() const { return count_; }
  std::size_t runsWritten() const { return runsWritten_; }

private:
  struct Run {
    long long offset = 0;
    long long bytes = 0;
  };
  void spill();
  void merge(int fd, const std::vector<Run>& runs,
             const std::function<bool(std::string_view)>& visit) const;

  Less less_;
  std::size_t memoryBytes_;
  std::string buffer_;  // records of the run being gathered, back to back
  std::vector<std::pair<std::size_t, std::size_t>> pending_;  // (offset, size) in buffer_
  std::vector<Run> runs_;
  int fd_ = -1;  // the temporary file once a run is written
  long long fileBytes_ = 0;
  std::size_t count_ = 0;
  std::size_t runsWritten_ = 0;
  bool finished_ = false;
};

// Names numbered in the order they first come.
struct NameIds {
  std::vector<std::string> text;
  std::unordered_map<std::string, std::uint32_t> id;
  std::uint32_t of(const std::string& name);  // a new name takes the next number
};

// The frame records of a tree in the table's order: by video, then video
// path, then frame, then the order they were added (the order of their
// files), only the first of two records of one frame of one video. Each is
// kept as a compact binary record (class names and video paths stored once)
// in an ExternalSorter, so memory does not grow with the number of frames.
class SortedFrameRecords {
public:
  static constexpr std::size_t kDefaultMemory = 8u << 20;
  explicit SortedFrameRecords(std::size_t memoryBytes = kDefaultMemory);

  void add(const FrameRecord& record);
  // Every record once, in order; `duplicate`, when given, hears of each
  // record left out with the one kept.
  void forEach(
      const std::function<void(const FrameRecord&)>& visit,
      const std::function<void(const FrameRecord& kept, const FrameRecord& left)>& duplicate = {});
  std::size_t added() const { return sorter_.size(); }
  std::size_t runsWritten() const { return sorter_.runsWritten(); }

private:
  void decode(std::string_view bytes, FrameRecord& record) const;

  NameIds paths_;                    // video paths
  std::vector<std::string> videos_;  // the output name of each path
  NameIds classes_;
  ExternalSorter sorter_;
};

// The `count` frames most worth labelling next: the highest uncertainty
// first (on a tie the earlier video and frame, then video path), no two of
// one video fewer than `minGap(record)` frames apart. Records without an
// uncertainty are passed over. Offered in table order; the candidates wait
// in an ExternalSorter, so memory stays flat.
class FrameSuggester {
public:
  explicit FrameSuggester(std::size_t memoryBytes = SortedFrameRecords::kDefaultMemory / 2);
  void offer(const FrameRecord& record);
  std::vector<FrameRecord> pick(int count, const std::function<int(const FrameRecord&)>& minGap);

private:
  NameIds paths_;
  std::vector<std::string> videos_;
  NameIds classes_;
  ExternalSorter sorter_;
};

// The CSV table: "video,frame,segment_count" and one column per class (the
// union of the records' classes in order of first appearance), then one row
// per record holding each class's share of the frame's labelled pixels with
// six decimals. Every record is seen first (for the columns), then the
// header and the rows are asked for.
class SummaryTable {
public:
  void see(const FrameRecord& record);
  std::string header() const;
  std::string row(const FrameRecord& record) const;

private:
  NameIds classes_;  // the columns
};

// Ascending frame numbers as closed ranges (first, last), none touching.
using FrameRanges = std::map<int, int>;
FrameRanges frameRanges(std::vector<int> frames);
bool containsFrame(const FrameRanges& ranges, int frame);
void eraseFrame(FrameRanges& ranges, int frame);
long long countFrames(const FrameRanges& ranges);
// "0-3, 7, 9-10".
std::string describeFrames(const FrameRanges& ranges);

// True when a record's video path and factor are those of a manifest line:
// the same path (as written, or the same file) and the same factor.
bool recordMatches(const FrameRecord& record, const ManifestEntry& entry);

// The frame count of `video` as rovelin counts it (a count the container
// cannot be believed for is unknown). Throws Error naming the video when it
// cannot be opened or gives no count.
int countVideoFrames(const std::string& video);

}  // namespace rovelin
