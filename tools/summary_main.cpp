// SPDX-License-Identifier: Apache-2.0
// rovelin-summary: one CSV row per annotated frame from a tree of per-frame
// JSON files, and a completeness check against the batch manifest.
#include "pipeline/output_names.hpp"
#include "rovelin/version.hpp"
#include "tools/frame_summary.hpp"
#include "util/command_line.hpp"
#include "util/error.hpp"
#include "util/output_file.hpp"
#include "util/report.hpp"

#include <opencv2/videoio.hpp>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace rovelin;

constexpr const char* kHelp = R"(rovelin-summary - one CSV row per annotated frame

Usage:
  rovelin-summary [--manifest FILE] [-o CSV] TREE

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
};

// Reads the command line into `command`. Returns the exit status when the
// program ends here: help, version, or a command line that cannot be run.
std::optional<int> parseCommandLine(int argc, char** argv, SummaryCommand& command) {
  const ProgramText program{"rovelin-summary", kHelp, versionText("rovelin-summary"), ""};
  ParsedArguments parsed;
  auto option = [&](const std::string& arg, const OptionValue& value) {
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
  std::stable_sort(records.begin(), records.end(), [](const FrameRecord& a, const FrameRecord& b) {
    return a.video != b.video ? a.video < b.video : a.frame < b.frame;
  });
  std::vector<FrameRecord> unique;
  for (FrameRecord& record : records) {
    if (!unique.empty() && unique.back().video == record.video &&
        unique.back().frame == record.frame) {
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

// Names on standard error every frame of `entry` that `records` lack.
// Returns false when frames are missing or the entry cannot be expanded.
bool checkManifestEntry(const ManifestEntry& entry, const std::vector<FrameRecord>& records) {
  const std::string name = videoOutputName(entry.video);
  const auto expected = expandManifestFrames(entry.frames, [&entry]() {
    cv::VideoCapture capture(entry.video);
    if (!capture.isOpened()) {
      throw Error("manifest line " + std::to_string(entry.line) + ": cannot open \"" + entry.video +
                  "\" to count its frames");
    }
    return static_cast<int>(capture.get(cv::CAP_PROP_FRAME_COUNT));
  });
  if (!expected) {
    errorLine(std::cerr) << "manifest line " << entry.line << ": '" << entry.frames
                         << "' is not a frame list";
    return false;
  }
  std::set<int> missing(expected->begin(), expected->end());
  const auto first = std::lower_bound(
      records.begin(), records.end(), name,
      [](const FrameRecord& r, const std::string& video) { return r.video < video; });
  for (auto it = first; it != records.end() && it->video == name; ++it) missing.erase(it->frame);
  if (missing.empty()) return true;
  errorLine(std::cerr) << entry.video << " (" << name << "): " << missing.size() << " of "
                       << expected->size() << " frames missing: "
                       << describeFrames(std::vector<int>(missing.begin(), missing.end()));
  return false;
}

int summarize(const SummaryCommand& command) {
  std::vector<ManifestEntry> manifest;
  if (!command.manifestPath.empty()) manifest = readManifest(command.manifestPath);
  bool complete = true;
  const std::vector<FrameRecord> records = readFrameRecords(command.tree, complete);
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
  try {
    return summarize(command);
  } catch (...) {
    return reportException(std::cerr);
  }
}
