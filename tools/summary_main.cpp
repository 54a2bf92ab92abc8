// SPDX-License-Identifier: Apache-2.0
// rovelin-summary: one CSV row per annotated frame from a tree of per-frame
// JSON files, and a completeness check against the batch manifest.
#include "driver/batch_plan.hpp"
#include "driver/outputs.hpp"
#include "rovelin/version.hpp"
#include "tools/frame_summary.hpp"

#include <opencv2/videoio.hpp>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <iostream>
#include <map>
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
  -h, --help       show this help
  --version        show the version

Exit status: 0 when every file was read (and, with --manifest, every frame
is there); 1 when a file is unreadable or frames are missing, each named on
standard error (the table of what could be read is still written); 2 for a
bad option or argument.
)";

constexpr int kMaxNamed = 20;  // files named one by one before "and N more"

}  // namespace

int main(int argc, char** argv) {
  std::string manifestPath;
  std::string outputPath;
  std::string tree;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::cout << kHelp;
      return 0;
    }
    if (arg == "--version") {
      std::cout << versionText("rovelin-summary") << std::flush;
      return 0;
    }
    if (arg == "--manifest" || arg == "-o") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        std::cerr << "Error : " << arg << " takes a file name!" << std::endl;
        return 2;
      }
      (arg == "-o" ? outputPath : manifestPath) = argv[++i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::cerr << "Error : unknown option '" << arg << "' (see rovelin-summary --help)!"
                << std::endl;
      return 2;
    } else if (!tree.empty()) {
      std::cerr << "Error : more than one TREE given (see rovelin-summary --help)!" << std::endl;
      return 2;
    } else {
      tree = arg;
    }
  }
  if (tree.empty()) {
    std::cerr << "Error : no TREE given (see rovelin-summary --help)!" << std::endl;
    return 2;
  }
  std::error_code ec;
  if (!fs::is_directory(tree, ec)) {
    std::cerr << "Error : \"" << tree << "\" is not a folder!" << std::endl;
    return 2;
  }

  try {
    std::vector<ManifestEntry> manifest;
    if (!manifestPath.empty()) {
      manifest = readManifest(manifestPath);
    }
    bool complete = true;
    std::vector<FrameRecord> records;
    int unreadable = 0;
    for (const fs::path& file : findFrameFiles(tree)) {
      try {
        records.push_back(readFrameRecord(file));
      } catch (const std::exception& e) {
        complete = false;
        if (++unreadable <= kMaxNamed) {
          std::cerr << "Error : unreadable frame file \"" << file.string() << "\": " << e.what()
                    << "!" << std::endl;
        }
      }
    }
    if (unreadable > kMaxNamed) {
      std::cerr << "Error : " << unreadable << " unreadable frame files in all!" << std::endl;
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const FrameRecord& a, const FrameRecord& b) {
                       return a.video != b.video ? a.video < b.video : a.frame < b.frame;
                     });
    // Two files for one frame: the first (by path) is kept.
    std::vector<FrameRecord> unique;
    for (FrameRecord& record : records) {
      if (!unique.empty() && unique.back().video == record.video &&
          unique.back().frame == record.frame) {
        std::cerr << "Warning : frame " << record.frame << " of " << record.video
                  << " is in both \"" << unique.back().file.string() << "\" and \""
                  << record.file.string() << "\"; the first is used" << std::endl;
        continue;
      }
      unique.push_back(std::move(record));
    }

    for (const ManifestEntry& entry : manifest) {
      const std::string name = videoOutputName(entry.video);
      const auto expected = expandManifestFrames(entry.frames, [&entry]() {
        cv::VideoCapture capture(entry.video);
        if (!capture.isOpened()) {
          throw std::runtime_error("manifest line " + std::to_string(entry.line) +
                                   ": cannot open \"" + entry.video + "\" to count its frames");
        }
        return static_cast<int>(capture.get(cv::CAP_PROP_FRAME_COUNT));
      });
      if (!expected) {
        std::cerr << "Error : manifest line " << entry.line << ": '" << entry.frames
                  << "' is not a frame list!" << std::endl;
        complete = false;
        continue;
      }
      std::set<int> present;
      const auto first = std::lower_bound(
          unique.begin(), unique.end(), name,
          [](const FrameRecord& r, const std::string& video) { return r.video < video; });
      for (auto it = first; it != unique.end() && it->video == name; ++it) {
        present.insert(it->frame);
      }
      std::vector<int> missing;
      for (int frame : *expected) {
        if (present.count(frame) == 0) missing.push_back(frame);
      }
      std::sort(missing.begin(), missing.end());
      missing.erase(std::unique(missing.begin(), missing.end()), missing.end());
      if (!missing.empty()) {
        complete = false;
        std::cerr << "Error : " << entry.video << " (" << name << "): " << missing.size() << " of "
                  << expected->size() << " frames missing: " << describeFrames(missing) << "!"
                  << std::endl;
      }
    }

    const std::string table = summaryTable(unique);
    if (outputPath.empty()) {
      std::cout << table << std::flush;
    } else {
      writeTextAtomically(outputPath, table);
    }
    return complete ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << "Error : " << e.what() << "!" << std::endl;
    return 1;
  }
}
