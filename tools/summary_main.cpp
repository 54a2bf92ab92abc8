// SPDX-License-Identifier: Apache-2.0
// rovelin-summary: one CSV row per annotated frame from a tree of per-frame
// JSON files, and a completeness check against the batch manifest.
#include "labels/flicker.hpp"
#include "pipeline/output_names.hpp"
#include "pipeline/process_setup.hpp"
#include "pipeline/video_frame_source.hpp"
#include "rovelin/version.hpp"
#include "tools/frame_summary.hpp"
#include "util/atomic_file.hpp"
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
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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
      const int least = arg == "--suggest" ? 1 : 0;
      (least == 1 ? command.suggest : command.minGap) =
          value.number<int>(least == 1 ? "a whole number of at least 1" : "a whole number",
                            [least](int n) { return n >= least; });
      return true;
    }
    if (arg == "--json" || arg == "--flicker") {
      (arg == "--json" ? command.json : command.flicker) = true;
      return true;
    }
    if (arg == "--window") {
      command.window =
          value.number<int>("a whole number of at least 2", [](int n) { return n >= 2; });
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

// Reads every frame file below `tree` into `records`, in the order of their
// paths, naming the unreadable ones. Returns how many were unreadable.
int readFrameRecords(const std::string& tree, SortedFrameRecords& records) {
  int unreadable = 0;
  forEachFrameFile(tree, [&](const fs::path& file) {
    try {
      records.add(readFrameRecord(file));
    } catch (const std::exception& e) {
      if (++unreadable <= kMaxNamed) {
        errorLine(std::cerr) << "unreadable frame file \"" << file.string() << "\": " << e.what();
      }
    }
  });
  if (unreadable > kMaxNamed) {
    errorLine(std::cerr) << unreadable << " unreadable frame files in all";
  }
  return unreadable;
}

// What a manifest line asks for and which of its frames no record holds.
struct ManifestCheck {
  const ManifestEntry* entry = nullptr;
  std::string name;     // the output name of its video
  std::string problem;  // why its frames cannot be known; empty when they are
  std::size_t expected = 0;
  FrameRanges missing;
  std::optional<FrameRecord> foreign;  // the first record of another video or factor
};

ManifestCheck expandEntry(const ManifestEntry& entry) {
  ManifestCheck check;
  check.entry = &entry;
  check.name = videoOutputName(entry.video);
  std::optional<std::vector<int>> expected;
  try {
    expected =
        expandManifestFrames(entry.frames, [&entry]() { return countVideoFrames(entry.video); });
  } catch (const Error& e) {
    check.problem = "manifest line " + std::to_string(entry.line) + ": " + e.what();
    return check;
  }
  if (!expected) {
    check.problem = "manifest line " + std::to_string(entry.line) + ": '" + entry.frames +
                    "' is not a frame list";
    return check;
  }
  check.expected = expected->size();
  check.missing = frameRanges(std::move(*expected));
  return check;
}

// A record of the table against a manifest line: a frame of the line's
// video at its factor is no longer missing; a frame file of another video
// of the same output name, or of another factor, does not count.
void checkRecord(ManifestCheck& check, const FrameRecord& record) {
  if (!check.problem.empty() || !containsFrame(check.missing, record.frame)) return;
  if (recordMatches(record, *check.entry)) {
    eraseFrame(check.missing, record.frame);
  } else if (!check.foreign) {
    check.foreign = record;
  }
}

// Names on standard error every frame the line's video lacks. Returns false
// when frames are missing or the line cannot be expanded.
bool reportManifestCheck(const ManifestCheck& check) {
  const ManifestEntry& entry = *check.entry;
  if (!check.problem.empty()) {
    errorLine(std::cerr) << check.problem;
    return false;
  }
  if (check.missing.empty()) return true;
  errorLine(std::cerr) << entry.video << " (" << check.name << "): " << countFrames(check.missing)
                       << " of " << check.expected
                       << " frames missing: " << describeFrames(check.missing);
  if (const auto& foreign = check.foreign) {
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
int suggest(const SummaryCommand& command, FrameSuggester& suggester) {
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
  for (const FrameRecord& r : suggester.pick(command.suggest, gap)) {
    list.push_back({{"video", r.video},
                    {"frame", r.frame},
                    {"uncertainty", *r.uncertainty},
                    {"least_certain_class", r.leastCertainClass}});
    lines << r.video << ' ' << r.frame << ' ' << std::fixed << std::setprecision(4)
          << *r.uncertainty << ' ' << r.leastCertainClass << '\n';
  }
  std::cout << (command.json ? list.dump(2) + "\n" : lines.str());
  return checkedStandardOutput(kExitSuccess);
}

// --flicker: one row per window of every video, then its "all" row. The
// frames of one video (one path at one factor) follow each other in table
// order, and are measured as they come.
int flicker(const SummaryCommand& command, SortedFrameRecords& records) {
  std::cout << "video,first_frame,frames,static_pixels,flicker\n";
  bool complete = true;
  auto row = [](const std::string& video, const std::string& first, int frames, long long still,
                double share) {
    std::cout << video << ',' << first << ',' << frames << ',' << still << ',' << std::fixed
              << std::setprecision(6) << share << '\n';
  };
  std::optional<FrameRecord> first;  // of the video being measured
  std::optional<FlickerMeter> meter;
  std::optional<VideoFrameSource> video;
  bool failed = false;
  const auto finish = [&] {
    if (!first || failed) return;
    long long still = 0, changed = 0;
    int frames = 0;
    for (const FlickerWindow& w : meter->windows()) {
      row(first->video, std::to_string(w.firstFrame), w.frames, w.staticPixels, w.share());
      still += w.staticPixels;
      changed += w.changed;
      frames += w.frames;
    }
    row(first->video, "all", frames, still,
        still > 0 ? static_cast<double>(changed) / static_cast<double>(still) : 0.0);
  };
  records.forEach([&](const FrameRecord& r) {
    if (!first || r.videoPath != first->videoPath || r.factor != first->factor) {
      finish();
      first = r;
      meter.emplace(command.window);
      video.reset();
      failed = false;
    }
    if (failed) return;
    try {
      if (!video) video.emplace(first->videoPath, first->factor.value_or(1.0));
      fs::path map = r.file;
      map.replace_extension(".png");
      const cv::Mat labels = readClassNumbers(map.string());
      if (!video->grabFrame(r.frame)) {
        throw Error("frame " + std::to_string(r.frame) + " of \"" + r.videoPath +
                    "\" could not be read");
      }
      meter->add(r.frame, video->output, labels);
    } catch (const std::exception& e) {
      errorLine(std::cerr) << first->video << " (" << first->videoPath << "): " << e.what();
      complete = false;
      failed = true;
      video.reset();
    }
  });
  finish();
  return checkedStandardOutput(complete ? kExitSuccess : kExitFailure);
}

// Where the table goes as its rows are made: standard output, or the -o
// file, written under a temporary name beside it and renamed into place
// when complete (a link is followed; a pipe, a character device or a
// descriptor name such as /dev/stdout is written directly).
class TableOutput {
public:
  explicit TableOutput(const std::string& path) : target_(path) {
    if (path.empty()) return;
    checkOutputPath(target_);
    fd_ = descriptorNamed(target_);
    if (fd_ >= 0) {
      std::cout.flush();  // keep the order of what the run printed
      return;
    }
    fs::path resolved = target_;
    for (int hops = 0;; ++hops) {
      if (hops == 40) fail(ELOOP);
      if (descriptorNamed(resolved) >= 0) {
        fd_ = descriptorNamed(resolved);
        std::cout.flush();
        return;
      }
      struct stat entry {};
      if (::lstat(resolved.c_str(), &entry) != 0) {
        if (errno != ENOENT) fail(errno);
        break;  // a new file
      }
      if (S_ISLNK(entry.st_mode)) {
        std::error_code ec;
        const fs::path link = fs::read_symlink(resolved, ec);
        if (ec) throw FileWriteError(target_, ec.message());
        resolved = link.is_absolute() ? link : resolved.parent_path() / link;
        continue;
      }
      if (S_ISDIR(entry.st_mode)) throw FileWriteError(target_, "it is a directory");
      if (S_ISCHR(entry.st_mode) || S_ISFIFO(entry.st_mode)) {
        fd_ = ::open(resolved.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) fail(errno);
        owned_ = true;
        return;
      }
      if (!S_ISREG(entry.st_mode)) {
        throw FileWriteError(target_,
                             "it is neither a regular file nor a character device or pipe");
      }
      break;
    }
    AtomicWrite empty;
    empty.durable = false;
    temporary_ = writeTemporary(resolved, "", empty);  // made exclusively, the file's own mode
    resolved_ = resolved;
    fd_ = ::open(temporary_.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (fd_ < 0) {
      const int error = errno;
      ::unlink(temporary_.c_str());
      temporary_.clear();
      fail(error);
    }
    ::flock(fd_, LOCK_SH);  // at work on it, as writeTemporary marks its own
    owned_ = true;
  }
  TableOutput(const TableOutput&) = delete;
  TableOutput& operator=(const TableOutput&) = delete;
  ~TableOutput() {
    if (owned_) ::close(fd_);
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
  }

  void write(const std::string& text) {
    if (target_.empty()) {
      std::cout << text;
      return;
    }
    pending_ += text;
    if (pending_.size() >= (1u << 20)) flush();
  }

  // Completes the output; returns `status`, or the failure of standard output.
  int finish(int status) {
    if (target_.empty()) return checkedStandardOutput(status);
    flush();
    if (owned_) {
      owned_ = false;
      if (::close(fd_) != 0) fail(errno);
    }
    if (!temporary_.empty()) {
      const fs::path temporary = temporary_;
      temporary_.clear();
      commitTemporary(temporary, resolved_);  // flushed to the disk, renamed into place
    }
    return status;
  }

private:
  [[noreturn]] void fail(int error) const {
    throw FileWriteError(target_, std::generic_category().message(error));
  }
  void flush() {
    if (const int error = writeAll(fd_, pending_); error != 0) fail(error);
    pending_.clear();
  }

  fs::path target_;
  fs::path resolved_;
  fs::path temporary_;  // the complete table is renamed from here
  int fd_ = -1;
  bool owned_ = false;  // fd_ is ours to close
  std::string pending_;
};

int summarize(const SummaryCommand& command) {
  std::vector<ManifestEntry> manifest;
  if (!command.manifestPath.empty()) manifest = readManifest(command.manifestPath);
  SortedFrameRecords records;
  const int unreadable = readFrameRecords(command.tree, records);
  bool complete = unreadable == 0;
  const bool table = !command.flicker && command.suggest == 0;

  // The frames every manifest line asks for, found off as the records pass.
  std::vector<ManifestCheck> checks;
  std::unordered_map<std::string, std::vector<std::size_t>> checksOf;  // output name: checks
  if (table) {
    for (const ManifestEntry& entry : manifest) {
      checks.push_back(expandEntry(entry));
      checksOf[checks.back().name].push_back(checks.size() - 1);
    }
  }
  SummaryTable columns;
  FrameSuggester suggester;
  std::size_t frames = 0;
  // Two videos of one output name (cam1/0001.avi, cam2/0001.avi) are told
  // apart by their paths; only a frame of the same video found twice is a
  // duplicate.
  records.forEach(
      [&](const FrameRecord& record) {
        ++frames;
        if (command.suggest > 0) suggester.offer(record);
        if (!table) return;
        columns.see(record);
        if (const auto it = checksOf.find(record.video); it != checksOf.end()) {
          for (std::size_t i : it->second) checkRecord(checks[i], record);
        }
      },
      [](const FrameRecord& kept, const FrameRecord& left) {
        warningLine(std::cerr) << "frame " << left.frame << " of " << left.video << " is in both \""
                               << kept.file.string() << "\" and \"" << left.file.string()
                               << "\"; the first is used";
      });
  detailLine(std::cerr) << records.added() + static_cast<std::size_t>(unreadable)
                        << " frame files found, " << frames << " frames in the table";

  if (!table) {
    const int status = command.flicker ? flicker(command, records) : suggest(command, suggester);
    return complete ? status : kExitFailure;
  }
  for (const ManifestCheck& check : checks) {
    if (!reportManifestCheck(check)) complete = false;
  }
  TableOutput output(command.outputPath);
  output.write(columns.header());
  records.forEach([&](const FrameRecord& record) { output.write(columns.row(record)); });
  return output.finish(complete ? kExitSuccess : kExitFailure);
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
