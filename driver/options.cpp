// SPDX-License-Identifier: Apache-2.0
#include "driver/options.hpp"

#include "classifier/temporal_filter.hpp"
#include "labels/class_list.hpp"
#include "model/model_settings.hpp"

#include "util/output_file.hpp"
#include "util/parse_number.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <thread>

namespace rovelin {

const char* const kUsageLine =
    "Usage : rovelin.exe videoname.ext frameNum resizefactor trainData.txt";

std::string helpText() {
  return R"(rovelin - label the regions of a video frame

Usage:
  rovelin [options] VIDEO FRAME FACTOR TRAINDATA

  VIDEO      video file (anything OpenCV can open: a video, an image
             sequence such as frame_%04d.png, a still image, or
             /dev/stdin for a stream piped in)
  FRAME      frame number (0 is the first frame)
  FACTOR     scale factor applied to the frame (1 keeps its size)
  TRAINDATA  training-data file (made with rovelin-train)

Runs the graph-based segmentation of the frame, describes every region by
the covariance of ten per-pixel features, classifies the regions against the
training data and prints one line per region: the class index, three blanks
and the class name. The frame is written to "inpimage.ppm" and the
segmentation to "outimage.ppm" in the working directory.

With --frames, several frames are worked on at once (up to --threads) and
everything is written in frame order, exactly as one thread would write it.
The frames go to the segmentation and back in memory, and the two work
files are written once, at the end, for the last frame of the batch.

Options may come before, between or after VIDEO FRAME FACTOR TRAINDATA;
"--" ends them (for a VIDEO whose name starts with "-"). Arguments after
TRAINDATA are ignored, with a warning. Short options combine (-qv).

Options:
  --no-gui            show no windows and wait for no key (the default
                      when no display is available)
  --frames LIST       annotate several frames with one model, for example
                      0,10,20 or 0:300:30 (start:end:step, end excluded);
                      "all", START: or START::STEP run to the end of the
                      video. FRAME is then ignored. With several frames,
                      output names must hold {frame}. Output names may
                      also hold {video} (the video's file name without
                      folder and extension, unsafe characters replaced by
                      _) or {videopath} (its path with folders, the
                      extension after a _: cam1/0001.avi is cam1/0001_avi,
                      so no two videos share it); folders below the first
                      placeholder are created
  --overlay FILE      write the frame with regions tinted by class (PNG)
  --label-map FILE    write the class of every pixel as a palette PNG in
                      the class colours: 0 no class, k the k-th class
                      (16-bit grey beyond 255 classes); --ground-truth
                      and rovelin-train read it back; PNG or TIFF only:
                      a lossy format (.jpg, ...) is refused
  --json FILE         write the run as JSON ("-": JSON Lines on standard
                      output, one object per frame in frame order, and no
                      text report)
  --save-frame FILE   write the grabbed, scaled frame (PNG, JPEG, ...)
  --overlay-video FILE
                      write the overlay of every frame into one video
                      (.avi or .mkv: Motion JPEG; .mp4 or .mov: MPEG-4), at
                      the video's frame rate divided by the frame step
  --coco FILE         write every frame's regions as COCO instances JSON
                      (masks as compressed RLE, iscrowd 1), for annotation
                      tools; images are named frame_FFFFFF.png
  --cvat FILE         write every frame's regions as CVAT for images 1.1
                      XML (one <mask> per connected piece of a region)
  --cvat-shapes KIND  what --cvat writes for a piece of a region: mask
                      (the default) or polygon (points on pixel corners,
                      simplified at --polygon-tolerance; enclosing pieces
                      first, later shapes painted over earlier ones)
  --labelme FILE      write every frame's regions as labelme JSON, one
                      polygon per connected piece of a region, enclosing
                      pieces first (labelme paints later shapes over
                      earlier ones), with the frame beside it as PNG (the
                      name with .png for .json); with --json, the share of
                      pixels the polygons miss is "labelme_mismatch"
  --polygon-tolerance PX
                      how far, in pixels, a polygon of --labelme or
                      --cvat-shapes polygon may stray from the region's
                      outline (default 1; on the 640x480 demo 0.6% of the
                      pixels then come back in another class, 0.05% at
                      0.5; 0 keeps every corner and misses none)
  --cvat-masks FILE   write every frame's classes and regions as a CVAT
                      segmentation mask 1.1 zip (labelmap.txt, PNGs)
  --frames-dir DIR    write every frame as DIR/frame_FFFFFF.png, the
                      pictures --coco and --cvat refer to
  --ground-truth MAP  compare the labels with a label map (PNG of class
                      numbers, palette PNG, or polygon JSON) and print the
                      pixel accuracy and per-class IoU on standard error
  --classes FILE      class list with colours, for palette label maps
  --sigma SIGMA       smoothing of the segmentation (default 1)
  --k K               merge threshold of the segmentation: larger K gives
                      larger regions (default 500)
  --min-size N        smallest region in pixels (default 500)
  --no-vehicle-rule   keep elongated regions labelled as vehicles (by
                      default a car-class region with eccentricity above
                      0.8 takes its next-best class)
  --vehicle-rule      turn the vehicle rule on (over a model's settings)
  --temporal          filter the labels through consecutive frames: each
                      pixel keeps the mean of its class probabilities since
                      its colour (blurred 3x3) last changed, so a static
                      wall or lawn keeps its label while moving things are
                      followed. It changes the per-pixel outputs (label
                      map, overlay, overlay video, --coco, --cvat,
                      --cvat-masks); the report and the JSON regions stay
                      per frame. Frames must follow one another (a step of
                      1); the filter starts afresh at a gap and at a
                      change of frame size
  --no-temporal       turn the filter off (over a model's settings)
  --temporal-tau T    a pixel whose blurred colour changes by more than T
                      grey levels in a channel starts afresh (default 10,
                      at least 6)
  --temporal-alpha-min A
                      the smallest weight of a new frame, in (0, 1]: after
                      1/A frames the mean becomes exponential, following
                      slow changes of light (default 0.05; 1 turns the
                      filtering off)
  --temporal-warmup W
                      frames read, and not written, before a part that
                      starts in the middle of the frames (--shard, a
                      resume with --skip-existing), so that it starts as
                      an unbroken run would (default 20)
  --shard I/N         take only part I (0-based) of the frame list cut into
                      N contiguous parts of nearly equal size, so N
                      processes share a batch without overlap
  --skip-existing     leave out a frame when every output file it would
                      write is already there (outputs are renamed into
                      place only when complete) and, with --json, its JSON
                      names this run's video, factor, model and settings
                      (else the frame is redone; another video's file is
                      refused); skipped frames print no report lines, and
                      the counts of skipped and done frames go to standard
                      error
  --count-frames      print how many frames the run would take (its
                      --frames, cut by --shard) and stop; without
                      --frames, how many frames VIDEO has. Only VIDEO is
                      needed
  --timings           print the time of every stage on standard error
  --threads N         at most N threads at work at once: frames in flight
                      (at most one per core) and the workers of their
                      stages, the image library's included (default: one
                      per core)
  --cache FILE        prepared-model cache (default: TRAINDATA.cache)
  --no-cache          neither read nor write the prepared-model cache
  --prepare-cache TRAINDATA
                      prepare the model of TRAINDATA and write its cache
                      (--cache names it), then stop: no VIDEO is read
  --workdir DIR       where inpimage.ppm and outimage.ppm are written
                      (default: the working directory)
  -q, --quiet         print only errors on standard error: no notes,
                      warnings, progress or timings (the --ground-truth
                      scores are still printed)
  -v, --verbose       print details (where the model came from, the
                      settings in use) and let the video decoder's own
                      messages through (setting OPENCV_LOG_LEVEL does too)
  -h, --help          show this help
  --version           show the version

Outputs are complete or absent: each is written under a temporary name and
renamed into place. A link is followed (the file it leads to is replaced), a
character device or pipe is written directly, and two outputs may not name
the same file or an input. The cache only ever replaces a cache.

Labelling rules: a region's best class is taken unless a rule says
otherwise. The vehicle rule (above) is the only one that ever changes a
label. The context rule and the size rule weigh how much two regions' masks
overlap; the regions are a partition into disjoint regions, so the overlap
is always 0 and these two rules never change a label, and the class-context
matrix read from the training file changes nothing. The rules are kept
because stored models and their results depend on them.

A model trained by rovelin-train carries its settings in a file beside it
(model.txt: model.txt.settings.json; an older model.settings.json is read
when it was written for the same model bytes): the descriptor, the
segmentation and the vehicle rule it was trained with, and whether it is
meant to run with --temporal. They are used when present; --sigma, --k,
--min-size, the vehicle-rule and the temporal options override them, with a
note.

Exit status: 0 on success, 255 when arguments are missing, 2 for a bad
option, 1 when the run fails (the reason is printed on standard error), 70
for an internal fault of the tool (please report it), 130 or 143 after
SIGINT or SIGTERM: the frames in flight are finished and written first
("rovelin: interrupted after N of M frames"); a second signal ends the run
at once.

Keys (with windows): any key shows the next region's mask; Esc or q ends
the walk through the masks (every report line is still printed).
)";
}

namespace {

// atoi without its undefined behaviour on overflow: leading blanks, an
// optional sign, digits, anything after them ignored, clamped to int.
int clampedAtoi(const char* text) {
  const long value = std::strtol(text, nullptr, 10);
  if (value > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (value < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(value);
}

// The warning for a positional number that atoi/atof read only in part.
std::optional<std::string> lenientReadingWarning(const char* what, const char* text, bool whole,
                                                 const std::string& reading) {
  char* end = nullptr;
  errno = 0;
  bool inRange = true;
  if (whole) {
    const long value = std::strtol(text, &end, 10);
    inRange = errno != ERANGE && value >= std::numeric_limits<int>::min() &&
              value <= std::numeric_limits<int>::max();
  } else {
    std::strtod(text, &end);
  }
  const bool number = end != text && *end == '\0';
  if (number && inRange) return std::nullopt;
  return std::string(what) + " '" + text + "' is " +
         (!number ? (whole ? "not a whole number" : "not a number") : "out of range") +
         "; it reads as " + reading;
}

// Every long option, in the order a near miss in a typo is matched against
// them: an on/off option with what it sets, an option that takes a file
// name with where the name goes, and the options applyValue reads.
struct LongOption {
  const char* name;
  void (*set)(Options&) = nullptr;
  std::string Options::*file = nullptr;
  bool value = false;
};
constexpr LongOption kLongOptions[] = {
    {"--no-gui", [](Options& o) { o.gui = false; }},
    {"--frames", nullptr, nullptr, true},
    {"--overlay", nullptr, &Options::overlayPath},
    {"--label-map", nullptr, &Options::labelMapPath},
    {"--json", nullptr, &Options::jsonPath},
    {"--save-frame", nullptr, &Options::saveFramePath},
    {"--overlay-video", nullptr, &Options::overlayVideoPath},
    {"--ground-truth", nullptr, &Options::groundTruthPath},
    {"--classes", nullptr, &Options::classListPath},
    {"--sigma", nullptr, nullptr, true},
    {"--k", nullptr, nullptr, true},
    {"--min-size", nullptr, nullptr, true},
    {"--no-vehicle-rule", [](Options& o) { o.overrides.vehicleRule = false; }},
    {"--vehicle-rule", [](Options& o) { o.overrides.vehicleRule = true; }},
    {"--temporal", [](Options& o) { o.overrides.temporal = true; }},
    {"--no-temporal", [](Options& o) { o.overrides.temporal = false; }},
    {"--temporal-tau", nullptr, nullptr, true},
    {"--temporal-alpha-min", nullptr, nullptr, true},
    {"--temporal-warmup", nullptr, nullptr, true},
    {"--coco", nullptr, &Options::cocoPath},
    {"--cvat", nullptr, &Options::cvatPath},
    {"--cvat-masks", nullptr, &Options::cvatMasksPath},
    {"--cvat-shapes", nullptr, nullptr, true},
    {"--labelme", nullptr, &Options::labelmePath},
    {"--polygon-tolerance", nullptr, nullptr, true},
    {"--frames-dir", nullptr, &Options::framesDir},
    {"--shard", nullptr, nullptr, true},
    {"--skip-existing", [](Options& o) { o.skipExisting = true; }},
    {"--count-frames", [](Options& o) { o.countFrames = true; }},
    {"--timings", [](Options& o) { o.timings = true; }},
    {"--threads", nullptr, nullptr, true},
    {"--cache", nullptr, &Options::cachePath},
    {"--no-cache", [](Options& o) { o.useCache = false; }},
    {"--prepare-cache", nullptr, &Options::trainingFile},
    {"--workdir", nullptr, &Options::workDir},
    {"--quiet", [](Options& o) { o.verbosity = Verbosity::Quiet; }},
    {"--verbose", [](Options& o) { o.verbosity = Verbosity::Verbose; }},
    {"--help"},
    {"--version"}};

const LongOption* longOption(const std::string& name) {
  for (const LongOption& option : kLongOptions) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

// Sets the on/off option `name` (-q and -v included); false when it is not one.
bool applyFlag(const std::string& name, Options& options) {
  const LongOption* option = longOption(name == "-q"   ? "--quiet"
                                        : name == "-v" ? "--verbose"
                                                       : name);
  if (option == nullptr || option->set == nullptr) return false;
  option->set(options);
  return true;
}

// Where the file name of option `name` goes; null when it takes none.
std::string* fileOption(const std::string& name, Options& options) {
  const LongOption* option = longOption(name);
  return option != nullptr && option->file != nullptr ? &(options.*(option->file)) : nullptr;
}

bool takesValue(const std::string& name) {
  const LongOption* option = longOption(name);
  return option != nullptr && (option->value || option->file != nullptr);
}

// A label map holds class numbers: only a lossless format keeps them. A
// name without an extension (a stream, a device) is written as PNG.
bool losslessLabelMapName(const std::string& name) {
  const std::size_t slash = name.find_last_of('/');
  const std::size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return true;
  const std::string extension = lowerCase(name.substr(dot));
  return extension == ".png" || extension == ".tif" || extension == ".tiff";
}

// Sets option `name` from `value` (nullopt: no value was given). Returns
// what is wrong, or "" when all is well.
std::string applyValue(const std::string& name, const std::optional<std::string>& value,
                       Options& options) {
  const std::string text = value.value_or("");
  if (name == "--sigma" || name == "--k" || name == "--min-size") {
    if (!value) return name + (name == "--min-size" ? " takes a whole number" : " takes a number");
    SegmentationParams params;
    bool known = false;
    if (std::string problem = parseSegmentationOption(name, text, params, known);
        !problem.empty()) {
      return problem;
    }
    if (name == "--sigma") options.overrides.sigma = params.sigma;
    if (name == "--k") options.overrides.k = params.k;
    if (name == "--min-size") options.overrides.minSize = params.minSize;
  } else if (name == "--temporal-tau" || name == "--temporal-alpha-min") {
    const std::optional<double> number = parseNumber<double>(text);
    const std::optional<std::string> problem =
        !value || !number          ? std::optional<std::string>(name + " takes a number")
        : name == "--temporal-tau" ? temporalTauProblem(*number)
                                   : temporalAlphaMinProblem(*number);
    if (problem) return *problem;
    (name == "--temporal-tau" ? options.overrides.temporalTau
                              : options.overrides.temporalAlphaMin) = *number;
  } else if (name == "--temporal-warmup") {
    const std::optional<int> frames = parseNumber<int>(text);
    if (!value || !frames || *frames < 0 || *frames > 10000) {
      return "--temporal-warmup takes a whole number of frames from 0 to 10000";
    }
    options.overrides.temporalWarmup = *frames;
  } else if (name == "--cvat-shapes") {
    if (text != "mask" && text != "polygon")
      return "--cvat-shapes takes mask or polygon, not '" + text + "'";
    options.cvatPolygons = text == "polygon";
  } else if (name == "--polygon-tolerance") {
    const std::optional<double> pixels = parseNumber<double>(text);
    if (!value || !pixels || !std::isfinite(*pixels) || *pixels < 0 || *pixels > 1000)
      return "--polygon-tolerance takes a number of pixels from 0 to 1000, such as 0.5";
    options.polygonTolerance = *pixels;
  } else if (name == "--shard") {
    if (!value || !(options.shard = parseShard(text))) {
      return "--shard takes I/N, part I (from 0) of N parts, such as 0/4, not '" + text + "'";
    }
  } else if (name == "--threads") {
    const std::optional<int> threads = parseNumber<int>(text);
    if (threads) options.threads = *threads;
    if (!value || !threads || options.threads < 1 || options.threads > 1024) {
      return "--threads takes a whole number from 1 to 1024";
    }
  } else if (name == "--frames") {
    if (!value) return "--frames takes a list such as 0,10,20, 0:300:30, 100: or all";
    FrameSelection& frames = options.frames;
    frames.toEnd = parseOpenEndedFrames(text, frames.start, frames.step);
    frames.list.clear();
    if (frames.toEnd) return "";
    auto list = parseFrameList(text);
    if (!list) {
      return "--frames: '" + text +
             "' is not a frame list (use 0,10,20 or start:end:step such as 0:300:30)";
    }
    frames.list = std::move(*list);
  } else if (std::string* path = fileOption(name, options)) {
    if (text.empty()) return name + " takes a file name";
    if (name == "--labelme" && (text == "-" || descriptorNamed(text) >= 0))
      return "--labelme takes a file name: the frame's picture is written beside it";
    if (name == "--label-map" && !losslessLabelMapName(text)) {
      return "--label-map writes PNG or TIFF (.png, .tif, .tiff), not '" + text +
             "': a lossy format would change the class values";
    }
    *path = text;
    if (name == "--prepare-cache") options.prepareCacheOnly = true;
  }
  return "";
}

// The positional arguments in order. Returns false when too few.
bool readPositionals(const std::vector<const char*>& args, Command& command) {
  Options& options = command.options;
  const std::size_t count = args.size();
  // --count-frames needs only VIDEO.
  if (count < (options.countFrames ? 1 : 4)) return false;
  options.videoName = args[0];
  if (count >= 2) options.frameNumber = clampedAtoi(args[1]);
  if (count < 4) return true;
  options.resizeFactor = std::strtod(args[2], nullptr);  // atof
  options.overrides.factor = options.resizeFactor;
  options.trainingFile = args[3];
  // The lenient reading stays (scripts may rely on it), but not silently.
  if (options.frames.list.empty()) {
    if (auto warning =
            lenientReadingWarning("FRAME", args[1], true, std::to_string(options.frameNumber))) {
      command.warnings.push_back(*warning);
    }
  }
  std::ostringstream factor;
  factor << options.resizeFactor;
  if (auto warning = lenientReadingWarning("FACTOR", args[2], false, factor.str())) {
    command.warnings.push_back(*warning);
  }
  if (count > 4) {
    std::string extra;
    for (std::size_t i = 4; i < count; ++i) extra += std::string(" '") + args[i] + "'";
    command.warnings.push_back("ignored after TRAINDATA:" + extra);
  }
  return true;
}

// A negative number ("-3", "-0.5", "-nan", "-inf") is a FRAME or FACTOR,
// never an option.
bool looksLikeOption(const std::string& arg) {
  if (arg.size() < 2 || arg[0] != '-') return false;
  const char next = arg[1] == '.' && arg.size() > 2 ? arg[2] : arg[1];
  if (std::isdigit(static_cast<unsigned char>(next))) return false;
  char* end = nullptr;
  std::strtod(arg.c_str(), &end);
  return end == arg.c_str() || *end != '\0';
}

std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1] ? 1 : 0)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string unknownOption(const std::string& arg, const std::string& name) {
  std::string message = "unknown option '" + arg + "'";
  const char* closest = nullptr;
  std::size_t best = 3;  // at most two edits away
  for (const LongOption& known : kLongOptions) {
    const std::size_t distance = editDistance(name, known.name);
    if (distance < best) {
      best = distance;
      closest = known.name;
    }
  }
  if (closest != nullptr) return message + "; did you mean `" + closest + "`?";
  return message + " (see rovelin --help)";
}

// "-qv" is "-q -v"; nothing when a letter is not a short option.
std::optional<std::vector<std::string>> splitShortFlags(const std::string& arg) {
  std::vector<std::string> flags;
  for (std::size_t i = 1; i < arg.size(); ++i) {
    if (arg[i] != 'q' && arg[i] != 'v' && arg[i] != 'h') return std::nullopt;
    flags.push_back(std::string("-") + arg[i]);
  }
  return flags;
}

}  // namespace

// Options may come anywhere, GNU style: before, between or after the
// positional arguments; "--" ends them, so a video named "-x.avi" works.
Command parseCommandLine(int argc, const char* const* argv) {
  Command command;
  Options& options = command.options;
  auto fail = [&command](std::string message) {
    command.kind = CommandKind::Error;
    command.error = std::move(message);
    return command;
  };

  std::vector<const char*> positionals;
  bool quiet = false;
  bool tolerance = false, shapes = false;  // given, for a warning when they do nothing
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      positionals.insert(positionals.end(), argv + i + 1, argv + argc);
      break;
    }
    if (!looksLikeOption(arg)) {
      positionals.push_back(argv[i]);
      continue;
    }
    // Options that take a value accept "--name VALUE" and "--name=VALUE".
    std::string name = arg;
    std::optional<std::string> value;
    std::vector<std::string> flags;
    if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    } else if (arg.rfind("--", 0) != 0) {
      auto split = splitShortFlags(arg);
      if (!split) return fail("unknown option '" + arg + "' (see rovelin --help)");
      flags = std::move(*split);
    }
    if (flags.empty()) flags.push_back(name);
    for (const std::string& flag : flags) {
      if (flag == "-h" || flag == "--help" || (flag == "--version" && !value)) {
        command.kind = flag == "--version" ? CommandKind::Version : CommandKind::Help;
        return command;
      }
      quiet = quiet || (!value && (flag == "-q" || flag == "--quiet"));
      verbose = verbose || (!value && (flag == "-v" || flag == "--verbose"));
    }
    if (flags.size() > 1 || (!value && applyFlag(name, options))) {
      for (const std::string& flag : flags) applyFlag(flag, options);
      continue;
    }
    if (Options scratch; value && applyFlag(name, scratch)) return fail(name + " takes no value");
    if (!takesValue(name)) return fail(unknownOption(arg, name));
    if (!value && i + 1 < argc) value = argv[i + 1];
    if (std::string problem = applyValue(name, value, options); !problem.empty()) {
      return fail(problem);
    }
    if (name == arg) ++i;  // the value was the next argument
    tolerance = tolerance || name == "--polygon-tolerance";
    shapes = shapes || name == "--cvat-shapes";
  }
  if (quiet && verbose) return fail("-q and -v cannot be used together");
  if (tolerance && options.labelmePath.empty() &&
      !(options.cvatPolygons && !options.cvatPath.empty()))
    command.warnings.push_back(
        "--polygon-tolerance has no effect without --labelme or --cvat-shapes polygon");
  if (shapes && options.cvatPath.empty())
    command.warnings.push_back("--cvat-shapes has no effect without --cvat");
  // The count asked of a video alone is its frame count, not the one FRAME.
  if (options.countFrames && options.frames.list.empty() && !options.frames.toEnd) {
    options.frames = FrameSelection{.list = {}, .toEnd = true, .start = 0, .step = 1};
  }

  if (options.prepareCacheOnly) {
    if (!options.useCache) return fail("--prepare-cache writes the cache; drop --no-cache");
    if (!positionals.empty()) {
      return fail("--prepare-cache TRAINDATA takes no VIDEO, FRAME or FACTOR");
    }
    return command;
  }
  if (!readPositionals(positionals, command)) {
    command.kind = CommandKind::Usage;
    return command;
  }
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  if (cores > 0 && options.threads > cores) {
    command.warnings.push_back("--threads " + std::to_string(options.threads) +
                               " is more than the " + std::to_string(cores) +
                               " cores here: the image library and the frames in flight use " +
                               std::to_string(cores));
  }
  return command;
}

}  // namespace rovelin
