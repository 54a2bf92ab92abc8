// SPDX-License-Identifier: Apache-2.0
// The pieces of rovelin-summary: the manifest of a batch, the per-frame JSON
// files a batch writes, and the CSV table made from them.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
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

// The `count` frames most worth labelling next: the highest uncertainty
// first (on a tie the earlier video and frame), no two of one video fewer
// than `minGap(record)` frames apart. Records without an uncertainty are
// passed over.
std::vector<const FrameRecord*> suggestFrames(const std::vector<FrameRecord>& records, int count,
                                              const std::function<int(const FrameRecord&)>& minGap);

// Reads a JSON file written by `rovelin --json`. Throws Error
// saying what is wrong when it cannot be read or lacks a field.
FrameRecord readFrameRecord(const std::filesystem::path& path);

// The per-frame JSON files below `root` (".json", not hidden, hidden folders
// not entered, temporary files of unfinished writes are hidden), sorted.
std::vector<std::filesystem::path> findFrameFiles(const std::filesystem::path& root);

// The CSV table: "video,frame,segment_count" and one column per class (the
// union of the records' classes in order of first appearance), then one row
// per record holding each class's share of the frame's labelled pixels with
// six decimals. Rows are in the order given.
std::string summaryTable(const std::vector<FrameRecord>& records);

// True when a record's video path and factor are those of a manifest line:
// the same path (as written, or the same file) and the same factor.
bool recordMatches(const FrameRecord& record, const ManifestEntry& entry);

// The frame count of `video` as rovelin counts it (a count the container
// cannot be believed for is unknown). Throws Error naming the video when it
// cannot be opened or gives no count.
int countVideoFrames(const std::string& video);

// "0-3, 7, 9-10": ascending frame numbers with runs written as ranges.
std::string describeFrames(const std::vector<int>& frames);

}  // namespace rovelin
