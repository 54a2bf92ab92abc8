// SPDX-License-Identifier: Apache-2.0
// rovelin-train: makes a training-data file from labelled frames of a video.
#include "classifier/region_classifier.hpp"
#include "model/model_settings.hpp"
#include "pipeline/process_setup.hpp"
#include "rovelin/version.hpp"
#include "segmentation/rand_sequence.hpp"
#include "tools/training_builder.hpp"
#include "tools/tuning.hpp"
#include "util/error.hpp"
#include "util/output_file.hpp"
#include "util/parse_number.hpp"
#include "util/report.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <iostream>
#include <optional>
#include <string>

namespace {

using namespace rovelin;
namespace fs = std::filesystem;

const char* const kHelp = R"(rovelin-train - make a rovelin model from labelled frames

Usage:
  rovelin-train [options] -o MODEL.txt VIDEO FACTOR FRAME:LABELS [FRAME:LABELS ...]

Every FRAME of VIDEO is grabbed and scaled by FACTOR exactly as rovelin
does, segmented, and described region by region. A region whose labelled
pixels carry one class for at least the purity share becomes a training
sample of that class. The model is written to MODEL.txt (the training-data
format rovelin reads), its settings to MODEL.settings.json beside it (rovelin
reads them from there); a per-class summary goes to standard error.

LABELS is a label map of the frame, at the video's size or the scaled size:
  .png   single-channel class numbers (0 = unlabelled, k = k-th class), or
         a colour PNG whose colours the class list gives (black = unlabelled)
  .json  polygon annotation: {"imageWidth", "imageHeight", "shapes": [
         {"label", "points", "shape_type": "polygon" | "rectangle"}]}

Options:
  -o, --output FILE      the training-data file to write (required)
  --classes FILE         class list: one class a line, "name" or "name r g b";
                         line k is class k (required for PNG label maps;
                         without it the JSON labels name the classes in
                         order of first appearance)
  --purity P             share of a region's labelled pixels that its class
                         must hold, above 0 and at most 1 (default 0.9)
  --max-per-class N      keep at most N samples of a class, evenly spread
                         (model preparation grows with the square of N)
  --context KIND         class-context matrix: identity (default), uniform,
                         estimated (from how often classes touch in the
                         label maps), or a file of K x K numbers; it is
                         stored in the model, but changes no label: the
                         context rule weighs how much regions overlap, and
                         regions never overlap (the rule is kept because
                         stored models and their results depend on it)
  --descriptor KIND      covariance (default: the covariance of the ten
                         features) or embedding (their mean and covariance
                         as one 11 x 11 matrix; tells regions of one texture
                         but different colours apart)
  --sigma SIGMA          smoothing of the segmentation (default 1)
  --k K                  merge threshold of the segmentation (default 500)
  --min-size N           smallest region in pixels (default 500)
  --no-vehicle-rule      models whose runs keep elongated regions labelled
                         as vehicles (recorded in the settings file)
  --tune                 choose the descriptor, segmentation and vehicle rule
                         by leave-one-frame-out cross-validation over the
                         labelled frames (at least 2), print the table of
                         what was tried, then train with the best
  --workdir DIR          where inpimage.ppm and outimage.ppm are written
                         (default: the working directory)
  -q, --quiet            print only errors on standard error (no class
                         table, tuning table, progress or summary line)
  -v, --verbose          print the segmentation line of every frame and the
                         video decoder's own messages
  -h, --help             show this help
  --version              show the version

Exit status: 0 when the model was written, 2 for a bad command line, 1 when
training fails (nothing is written then), 70 for an internal fault of the
tool (please report it).
)";

struct TrainCommand {
  TrainingOptions options;
  Verbosity verbosity = Verbosity::Normal;
  bool tune = false;    // --tune
  bool chosen = false;  // a setting --tune would choose was given
};

int usageError(const std::string& message) {
  errorLine(std::cerr) << message;
  plainLine(std::cerr, Verbosity::Quiet)
      << "Usage : rovelin-train [options] -o MODEL.txt VIDEO FACTOR FRAME:LABELS [...]";
  return kExitBadOption;
}

// Sets option `arg` of `command`, taking its value from `value` when it
// needs one. Returns why it is refused, or "" when all is well.
std::string applyOption(const std::string& arg, const std::function<bool(std::string&)>& value,
                        TrainCommand& command) {
  TrainingOptions& options = command.options;
  std::string text;
  if (arg == "-v" || arg == "--verbose") {
    command.verbosity = Verbosity::Verbose;
  } else if (arg == "-q" || arg == "--quiet") {
    command.verbosity = Verbosity::Quiet;
  } else if (arg == "-o" || arg == "--output") {
    if (!value(text) || text.empty()) return arg + " takes a file name";
    options.output = text;
  } else if (arg == "--classes") {
    if (!value(text) || text.empty()) return "--classes takes a file name";
    options.classList = text;
  } else if (arg == "--workdir") {
    if (!value(text) || text.empty()) return "--workdir takes a directory";
    options.workDir = text;
  } else if (arg == "--purity") {
    const auto purity = value(text) ? parseNumber<double>(text) : std::nullopt;
    if (!purity || !(*purity > 0.0) || *purity > 1.0) {
      return "--purity takes a number above 0 and at most 1";
    }
    options.purity = *purity;
  } else if (arg == "--max-per-class") {
    const auto most = value(text) ? parseNumber<int>(text) : std::nullopt;
    if (!most || *most < 2) return "--max-per-class takes a whole number of at least 2";
    options.maxPerClass = *most;
  } else if (arg == "--tune") {
    command.tune = true;
  } else if (arg == "--no-vehicle-rule") {
    options.vehicleRule = false;
    command.chosen = true;
  } else if (arg == "--descriptor") {
    const auto kind = value(text) ? parseDescriptorKind(text) : std::nullopt;
    if (!kind) return "--descriptor takes covariance or embedding";
    options.descriptor = *kind;
    command.chosen = true;
  } else if (arg == "--sigma" || arg == "--k" || arg == "--min-size") {
    if (!value(text)) return arg + " takes a value";
    bool known = false;
    if (std::string problem = parseSegmentationOption(arg, text, options.segmentation, known);
        !problem.empty()) {
      return problem;
    }
    command.chosen = true;
  } else if (arg == "--context") {
    if (!value(text) || text.empty()) {
      return "--context takes identity, uniform, estimated or a file name";
    }
    options.context = text;
  } else {
    return "unknown option '" + arg + "' (see rovelin-train --help)";
  }
  return "";
}

// VIDEO FACTOR FRAME:LABELS...: returns why they are refused, or "".
std::string readPositionals(const std::vector<std::string>& positional, TrainCommand& command) {
  TrainingOptions& options = command.options;
  if (options.output.empty()) return "no output file: give -o MODEL.txt";
  if (command.tune && command.chosen) {
    return "--tune chooses the descriptor, the segmentation and the vehicle rule itself; "
           "leave out --descriptor, --sigma, --k, --min-size and --no-vehicle-rule";
  }
  if (positional.size() < 3) return "VIDEO, FACTOR and at least one FRAME:LABELS are needed";
  options.video = positional[0];
  const auto factor = parseNumber<double>(positional[1]);
  if (!factor || !(*factor > 0.0)) {
    return "FACTOR must be a positive number, not '" + positional[1] + "'";
  }
  options.factor = *factor;
  for (std::size_t p = 2; p < positional.size(); ++p) {
    const std::string& pair = positional[p];
    const auto colon = pair.find(':');
    const auto frame =
        colon == std::string::npos ? std::nullopt : parseNumber<int>(pair.substr(0, colon));
    if (!frame || *frame < 0 || colon + 1 == pair.size()) {
      return "'" + pair + "' is not FRAME:LABELS (for example 12:labels_12.png)";
    }
    options.frames.push_back(LabelledFrame{*frame, pair.substr(colon + 1)});
  }
  if (command.tune && options.frames.size() < 2) {
    return "--tune needs at least 2 labelled frames (it holds out one at a time)";
  }
  return "";
}

// Reads the command line into `command`. Returns the exit status when the
// program ends here: help, version, or a command line that cannot be run.
std::optional<int> parseCommandLine(int argc, char** argv, TrainCommand& command) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      for (++i; i < argc; ++i) positional.emplace_back(argv[i]);
      break;
    }
    if (arg == "-h" || arg == "--help") {
      std::cout << kHelp;
      return checkedStandardOutput(kExitSuccess);
    }
    if (arg == "--version") {
      std::cout << versionText("rovelin-train");
      return checkedStandardOutput(kExitSuccess);
    }
    // A word that starts with '-' and a digit is a number, such as a frame.
    if (arg.size() < 2 || arg[0] != '-' || (arg[1] >= '0' && arg[1] <= '9')) {
      positional.push_back(arg);
      continue;
    }
    const auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    if (const std::string problem = applyOption(arg, value, command); !problem.empty()) {
      return usageError(problem);
    }
  }
  if (const std::string problem = readPositionals(positional, command); !problem.empty()) {
    return usageError(problem);
  }
  return std::nullopt;
}

// Refuses, before any work, a model or settings file that cannot be
// written or would land on one of the files the model is made from.
// Returns the settings file's name.
fs::path checkOutputs(const TrainingOptions& options) {
  // The settings are written beside the model, so the model must be a file
  // of its own: not standard output, a pipe or a device.
  std::error_code ec;
  const fs::file_status target = fs::status(options.output, ec);
  if (options.output == "-" || (fs::exists(target) && !fs::is_regular_file(target))) {
    throw TrainingBuildError("-o \"" + options.output.string() +
                             "\" is not a file; the model's settings go beside it");
  }
  checkOutputPath(options.output);
  std::vector<std::pair<std::string, std::string>> inputs = {
      {"the video", options.video}, {"the class list", options.classList.string()}};
  if (options.context != "identity" && options.context != "uniform" &&
      options.context != "estimated") {
    inputs.emplace_back("the context file", options.context);
  }
  for (const LabelledFrame& frame : options.frames) {
    inputs.emplace_back("a label map", frame.labels.string());
  }
  checkDistinctOutputs({{"-o", options.output.string()}}, inputs);
  const fs::path settingsPath = settingsPathFor(options.output);
  checkOutputPath(settingsPath);
  checkDistinctOutputs(
      {{"-o", options.output.string()}, {"the settings file", settingsPath.string()}}, inputs);
  return settingsPath;
}

// --tune: chooses the descriptor, the segmentation and the vehicle rule by
// cross-validation, prints the table of what was tried, and records the
// winner in `options` and `settings`.
void tune(TrainingOptions& options, ModelSettings& settings) {
  const bool terminal = ::isatty(STDERR_FILENO) == 1 && showsMessages(std::cerr, Verbosity::Normal);
  const TuningResult tuning = tuneSettings(options, terminal ? &std::cerr : nullptr);
  if (showsMessages(std::cerr, Verbosity::Normal)) {
    printTuningTable(tuning, options.frames, std::cerr);
  }
  const TuningCandidate& best = tuning.tried[tuning.best];
  options.descriptor = best.descriptor;
  options.segmentation = best.segmentation;
  options.vehicleRule = best.vehicleRule;
  settings.crossValidatedAccuracy = best.meanAccuracy;
  // The model is then built as a separate run with these settings would
  // build it, from the same random-colour sequence.
  colourSequence().reseed(1);
}

// The per-class table of samples found, kept and dropped.
void printClassTable(const TrainingSet& set, std::ostream& err) {
  err << std::left << std::setw(16) << "class" << std::right << std::setw(8) << "found"
      << std::setw(8) << "kept" << std::setw(9) << "dropped" << std::endl;
  for (const ClassTally& tally : set.classes) {
    err << std::left << std::setw(16) << tally.name << std::right << std::setw(8) << tally.found
        << std::setw(8) << tally.kept << std::setw(9) << tally.dropped() << std::endl;
  }
  err << "regions not used: " << set.impureRegions << " below the purity, " << set.unlabelledRegions
      << " without labelled pixels" << std::endl;
}

// Writes the model, and then its settings. The model only replaces the old
// file once the loader has accepted it whole, bandwidths included: the
// trainer never reports a model as written that rovelin would refuse.
void writeModel(const TrainingOptions& options, const std::string& text,
                const fs::path& settingsPath, ModelSettings settings) {
  settings.descriptor = options.descriptor;
  settings.segmentation = options.segmentation;
  settings.vehicleRule = options.vehicleRule;
  settings.classes = trainingClasses(options);
  settings.model = modelFingerprint(text);
  settings.video = options.video;
  settings.factor = options.factor;
  settings.frames = options.frames;
  writeOutputFile(options.output, text, [](const fs::path& written) {
    try {
      RegionClassifier check(written.string(), RegionClassifier::kRegionDescriptorOrders);
    } catch (const TrainingDataError& e) {
      std::string problem = e.what();
      problem = problem.substr(std::min(problem.size(), written.string().size() + 2));
      throw TrainingBuildError("the model would not load (" + problem + "); nothing was written");
    }
  });
  writeTextAtomically(settingsPath, formatSettings(settings));
}

int train(TrainCommand& command) {
  TrainingOptions& options = command.options;
  const fs::path settingsPath = checkOutputs(options);
  ModelSettings settings;
  if (command.tune) tune(options, settings);
  const bool verbose = command.verbosity == Verbosity::Verbose;
  const TrainingSet set = collectTrainingSet(options, verbose ? &std::cerr : nullptr);
  if (showsMessages(std::cerr, Verbosity::Normal)) printClassTable(set, std::cerr);
  writeModel(options, formatTrainingFile(set), settingsPath, settings);
  int kept = 0;
  for (const ClassTally& tally : set.classes) kept += tally.kept;
  plainLine(std::cerr, Verbosity::Normal)
      << "wrote " << options.output.string() << ": " << kept << " samples in " << set.classes.size()
      << " classes, and its settings " << settingsPath.string();
  return kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
  TrainCommand command;
  if (const std::optional<int> status = parseCommandLine(argc, argv, command)) return *status;
  setMessageStyle(std::cerr, "rovelin-train", command.verbosity);
  setUpProcess(command.verbosity);
  try {
    return train(command);
  } catch (...) {
    return reportException(std::cerr);
  }
}
