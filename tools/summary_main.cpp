// SPDX-License-Identifier: Apache-2.0
// rovelin-summary: one CSV row per annotated frame from a tree of per-frame
// JSON files, and a completeness check against the batch manifest.
#include "labels/flicker.hpp"
#include "pipeline/output_names.hpp"
#include "pipeline/process_setup.hpp"
#include "pipeline/video_frame_source.hpp"
#include "rovelin/version.hpp"
#include "tools/frame_summary.hpp"
#include "util/command_line.hpp"
#include "util/error.hpp"
#include "util/output_file.hpp"
#include "util/parse_number.hpp"
#include "util/report.hpp"

#include <nlohmann/json.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace rovelin;

constexpr const char* kHelp = R"(rovelin-summary - one CSV row per annotated frame

Usage:
  rovelin-summary [--manifest FILE] [-o CSV] TREE
  rovelin-summary --suggest N [--min-gap G] [--json] TREE
  rovelin-summary --flicker [--window N] TREE

Reads every per-frame JSON file below TREE (as written by rovelin --json,
for example OUT/{video}/{frame}.json; hidden files and folders, such as the
temporary names of unfinished writes, are left out) and writes one CSV row
per frame: video (its output name, as {video} spells it), frame, segment
count, and for every class the share of the frame's labelled pixels (six
decimals). Rows are sorted by video, then frame.

Options:
  --manifest FILE  check that every frame the batch manifest asks for is
                   there (lines "VIDEO FACTOR FRAMES", blank lines and
                   # comments allowed; FRAMES as rovelin --frames takes it,
                   "all" and open ends counted from the video's frame count)
  -o CSV           write the table to CSV (renamed into place when complete)
                   instead of standard output
  --suggest N      instead of the table, the N frames most worth labelling
                   next: the highest "uncertainty" (the pixel-weighted mean
                   of 1 - (p1 - p2) over the frame's regions), one line per
                   frame: video, frame, uncertainty and the class the model
                   is least sure about
  --min-gap G      at least G frames between two suggested frames of one
                   video (default: one second of the video, 25 frames when
                   the video cannot be opened)
  --json           the suggestions as a JSON array
  --flicker        instead of the table, how much the labels flicker: for
                   every window of consecutive frames of a video, the share
                   of static pixels (colour, blurred 3x3, moving by at most
                   6 grey levels in every channel from frame to frame)
                   whose label changes at least once. Reads the label map
                   beside each frame JSON (N.json: N.png, as --json
                   'OUT/{frame}.json' --label-map 'OUT/{frame}.png' write
                   them) and the frames of the video the JSON names, at
                   its factor. CSV: video,first_frame,frames,static_pixels,
                   flicker, and a row "all" per video
  --window N       frames in a --flicker window (default 50, at least 2)
  -q, --quiet      print only errors on standard error (no warnings)
  -v, --verbose    also say how many files were read and rows written
  -h, --help       show this help
  --version        show the version

Exit status: 0 when every file was read (and, with --manifest, every frame
is there); 1 when a file is unreadable or frames are missing, each named on
standard error (the table of what could be read is still written); 2 for a
bad option or argument; 70 for an internal fault of the tool (please report
it).
)";

constexpr int kMaxNamed = 20;  // files named one by one before "and N more"

struct SummaryCommand {
  std::string manifestPath;  // --manifest
  std::string outputPath;    // -o; empty: standard output
  std::string tree;          // TREE
  Verbosity verbosity = Verbosity::Normal;
  int suggest = 0;  // --suggest N; 0: the table
  int minGap = -1;  // --min-gap G; -1: one second of the video
  bool json = false;
  bool flicker = false;  // --flicker
  int window = 50;       // --window N
};

// Reads the command line into `command`. Returns the exit status when the
// program ends here: help, version, or a command line that cannot be run.
std::optional<int> parseCommandLine(int argc, char** argv, SummaryCommand& command) {
  const ProgramText program{"rovelin-summary", kHelp, versionText("rovelin-summary"), ""};
  ParsedArguments parsed;
  auto option = [&](const std::string& arg, const OptionValue& value) {
    if (arg == "--suggest" || arg == "--min-gap") {
      const std::string what =
          arg == "--suggest" ? "a whole number of at least 1" : "a whole number";
      const auto n = parseNumber<int>(value(what));
      if (!n || *n < (arg == "--suggest" ? 1 : 0)) throw UsageError(arg + " takes " + what);
      (arg == "--suggest" ? command.suggest : command.minGap) = *n;
      return true;
    }
    if (arg == "--json" || arg == "--flicker") {
      (arg == "--json" ? command.json : command.flicker) = true;
      return true;
    }
    if (arg == "--window") {
      const auto n = parseNumber<int>(value("a whole number of at least 2"));
      if (!n || *n < 2) throw UsageError("--window takes a whole number of at least 2");
      command.window = *n;
      return true;
    }
    if (arg != "--manifest" && arg != "-o") return false;
    (arg == "-o" ? command.outputPath : command.manifestPath) = value("a file name");
    return true;
  };
  auto finish = [&] {
    if (parsed.positional.size() > 1) {
      throw UsageError("more than one TREE given (see rovelin-summary --help)");
    }
    if (parsed.positional.empty()) throw UsageError("no TREE given (see rovelin-summary --help)");
    command.tree = parsed.positional.front();
    std::error_code ec;
    if (!fs::is_directory(command.tree, ec)) {
      throw UsageError("\"" + command.tree + "\" is not a folder");
    }
  };
  const std::optional<int> status = readCommandLine(argc, argv, program, option, parsed, finish);
  command.verbosity = parsed.verbosity;
  return status;
}

// Every frame file below `tree` that can be read, sorted by video and
// frame, one per frame (of two files for one frame, the first by path is
// kept, with a warning). Clears `complete` when a file is unreadable.
std::vector<FrameRecord> readFrameRecords(const std::string& tree, bool& complete) {
  std::vector<FrameRecord> records;
  int unreadable = 0;
  for (const fs::path& file : findFrameFiles(tree)) {
    try {
      records.push_back(readFrameRecord(file));
    } catch (const std::exception& e) {
      complete = false;
      if (++unreadable <= kMaxNamed) {
        errorLine(std::cerr) << "unreadable frame file \"" << file.string() << "\": " << e.what();
      }
    }
  }
  if (unreadable > kMaxNamed) {
    errorLine(std::cerr) << unreadable << " unreadable frame files in all";
  }
  // Two videos of one output name (cam1/0001.avi, cam2/0001.avi) are told
  // apart by their paths; only a frame of the same video found twice is a
  // duplicate.
  std::stable_sort(records.begin(), records.end(), [](const FrameRecord& a, const FrameRecord& b) {
    if (a.video != b.video) return a.video < b.video;
    return a.videoPath != b.videoPath ? a.videoPath < b.videoPath : a.frame < b.frame;
  });
  std::vector<FrameRecord> unique;
  for (FrameRecord& record : records) {
    if (!unique.empty() && unique.back().video == record.video &&
        unique.back().videoPath == record.videoPath && unique.back().frame == record.frame) {
      warningLine(std::cerr) << "frame " << record.frame << " of " << record.video
                             << " is in both \"" << unique.back().file.string() << "\" and \""
                             << record.file.string() << "\"; the first is used";
      continue;
    }
    unique.push_back(std::move(record));
  }
  detailLine(std::cerr) << records.size() + static_cast<std::size_t>(unreadable)
                        << " frame files found, " << unique.size() << " frames in the table";
  return unique;
}

// Names on standard error every frame of `entry` that `records` lack; a
// frame file of another video of the same output name, or of another
// factor, does not count. Returns false when frames are missing or the
// entry cannot be expanded.
bool checkManifestEntry(const ManifestEntry& entry, const std::vector<FrameRecord>& records) {
  const std::string name = videoOutputName(entry.video);
  std::optional<std::vector<int>> expected;
  try {
    expected =
        expandManifestFrames(entry.frames, [&entry]() { return countVideoFrames(entry.video); });
  } catch (const Error& e) {
    errorLine(std::cerr) << "manifest line " << entry.line << ": " << e.what();
    return false;
  }
  if (!expected) {
    errorLine(std::cerr) << "manifest line " << entry.line << ": '" << entry.frames
                         << "' is not a frame list";
    return false;
  }
  std::set<int> missing(expected->begin(), expected->end());
  const auto first = std::lower_bound(
      records.begin(), records.end(), name,
      [](const FrameRecord& r, const std::string& video) { return r.video < video; });
  const FrameRecord* foreign = nullptr;
  for (auto it = first; it != records.end() && it->video == name; ++it) {
    if (!missing.count(it->frame)) continue;
    if (recordMatches(*it, entry)) {
      missing.erase(it->frame);
    } else if (foreign == nullptr) {
      foreign = &*it;
    }
  }
  if (missing.empty()) return true;
  errorLine(std::cerr) << entry.video << " (" << name << "): " << missing.size() << " of "
                       << expected->size() << " frames missing: "
                       << describeFrames(std::vector<int>(missing.begin(), missing.end()));
  if (foreign != nullptr) {
    std::ostringstream factor;
    if (foreign->factor) {
      factor << *foreign->factor;
    } else {
      factor << "(none)";
    }
    errorLine(std::cerr) << "\"" << foreign->file.string() << "\" was made from \""
                         << foreign->videoPath << "\" at factor " << factor.str()
                         << ", not from manifest line " << entry.line;
  }
  return false;
}

// The frames --suggest names, as lines or as JSON.
int suggest(const SummaryCommand& command, const std::vector<FrameRecord>& records) {
  std::map<std::string, int> secondOf;  // video path: frames in one second
  const auto gap = [&](const FrameRecord& r) {
    if (command.minGap >= 0) return command.minGap;
    const auto known = secondOf.find(r.videoPath);
    if (known != secondOf.end()) return known->second;
    cv::VideoCapture capture(r.videoPath);
    const double fps = capture.isOpened() ? capture.get(cv::CAP_PROP_FPS) : 0.0;
    const int frames = fps > 0 && fps < 1000 ? static_cast<int>(std::lround(fps)) : 25;
    return secondOf[r.videoPath] = std::max(1, frames);
  };
  nlohmann::json list = nlohmann::json::array();
  std::ostringstream lines;
  for (const FrameRecord* r : suggestFrames(records, command.suggest, gap)) {
    list.push_back({{"video", r->video},
                    {"frame", r->frame},
                    {"uncertainty", *r->uncertainty},
                    {"least_certain_class", r->leastCertainClass}});
    lines << r->video << ' ' << r->frame << ' ' << std::fixed << std::setprecision(4)
          << *r->uncertainty << ' ' << r->leastCertainClass << '\n';
  }
  std::cout << (command.json ? list.dump(2) + "\n" : lines.str());
  return checkedStandardOutput(kExitSuccess);
}

// --flicker: one row per window of every video, then its "all" row.
int flicker(const SummaryCommand& command, const std::vector<FrameRecord>& records) {
  std::ostringstream table;
  table << "video,first_frame,frames,static_pixels,flicker\n";
  bool complete = true;
  auto row = [&table](const std::string& video, const std::string& first, int frames,
                      long long still, double share) {
    table << video << ',' << first << ',' << frames << ',' << still << ',' << std::fixed
          << std::setprecision(6) << share << '\n';
  };
  for (std::size_t begin = 0; begin < records.size();) {
    std::size_t end = begin;
    while (end < records.size() && records[end].videoPath == records[begin].videoPath &&
           records[end].factor == records[begin].factor) {
      ++end;
    }
    const FrameRecord& first = records[begin];
    FlickerMeter meter(command.window);
    try {
      VideoFrameSource video(first.videoPath, first.factor.value_or(1.0));
      for (std::size_t i = begin; i < end; ++i) {
        const FrameRecord& r = records[i];
        fs::path map = r.file;
        map.replace_extension(".png");
        const cv::Mat labels = readClassNumbers(map.string());
        if (!video.grabFrame(r.frame)) {
          throw Error("frame " + std::to_string(r.frame) + " of \"" + r.videoPath +
                      "\" could not be read");
        }
        meter.add(r.frame, video.output, labels);
      }
    } catch (const std::exception& e) {
      errorLine(std::cerr) << first.video << " (" << first.videoPath << "): " << e.what();
      complete = false;
      begin = end;
      continue;
    }
    long long still = 0, changed = 0;
    int frames = 0;
    for (const FlickerWindow& w : meter.windows()) {
      row(first.video, std::to_string(w.firstFrame), w.frames, w.staticPixels, w.share());
      still += w.staticPixels;
      changed += w.changed;
      frames += w.frames;
    }
    row(first.video, "all", frames, still,
        still > 0 ? static_cast<double>(changed) / static_cast<double>(still) : 0.0);
    begin = end;
  }
  std::cout << table.str();
  return checkedStandardOutput(complete ? kExitSuccess : kExitFailure);
}

int summarize(const SummaryCommand& command) {
  std::vector<ManifestEntry> manifest;
  if (!command.manifestPath.empty()) manifest = readManifest(command.manifestPath);
  bool complete = true;
  const std::vector<FrameRecord> records = readFrameRecords(command.tree, complete);
  if (command.flicker) {
    const int status = flicker(command, records);
    return complete ? status : kExitFailure;
  }
  if (command.suggest > 0) {
    const int status = suggest(command, records);
    return complete ? status : kExitFailure;
  }
  for (const ManifestEntry& entry : manifest) {
    if (!checkManifestEntry(entry, records)) complete = false;
  }
  const std::string table = summaryTable(records);
  const int status = complete ? kExitSuccess : kExitFailure;
  if (!command.outputPath.empty()) {
    writeTextAtomically(command.outputPath, table);
    return status;
  }
  std::cout << table;
  return checkedStandardOutput(status);
}

}  // namespace

int main(int argc, char** argv) {
  SummaryCommand command;
  if (const std::optional<int> status = parseCommandLine(argc, argv, command)) return *status;
  setMessageStyle(std::cerr, "rovelin-summary", command.verbosity);
  setUpProcess(command.verbosity);  // silences the video library's own warnings
  try {
    return summarize(command);
  } catch (...) {
    return reportException(std::cerr);
  }
}
