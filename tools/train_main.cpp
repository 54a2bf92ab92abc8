// SPDX-License-Identifier: Apache-2.0
// rovelin-train: makes a training-data file from labelled frames of a video.
#include "classifier/region_classifier.hpp"
#include "model/model_settings.hpp"
#include "pipeline/process_setup.hpp"
#include "rovelin/version.hpp"
#include "segmentation/rand_sequence.hpp"
#include "tools/training_builder.hpp"
#include "tools/tuning.hpp"
#include "util/command_line.hpp"
#include "util/error.hpp"
#include "util/output_file.hpp"
#include "util/parse_number.hpp"
#include "util/report.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

namespace {

using namespace rovelin;
namespace fs = std::filesystem;

const char* const kHelp = R"(rovelin-train - make a rovelin model from labelled frames

Usage:
  rovelin-train [options] -o MODEL.txt VIDEO FACTOR FRAME:LABELS|RUNFILE ...

Every FRAME of VIDEO is grabbed and scaled by FACTOR exactly as rovelin
does, segmented, and described region by region. A region whose labelled
pixels carry one class for at least the purity share becomes a training
sample of that class. The model is written to MODEL.txt (the training-data
format rovelin reads), its settings to MODEL.txt.settings.json beside it
(rovelin reads them from there); a per-class summary goes to standard error.
Both files are written whole and renamed into place together, or not at all.

LABELS is a label map of the frame, at the video's size or the scaled size:
  .png   single-channel class numbers (0 = unlabelled, k = k-th class), or
         a colour PNG whose colours the class list gives (black = unlabelled)
  .png   a palette PNG (as rovelin --label-map writes): its indices
  .json  polygon annotation (labelme): {"imageWidth", "imageHeight",
         "shapes": [{"label", "points", "shape_type": "polygon" |
         "rectangle" | "circle"}]}; lines and points are skipped with a
         warning

RUNFILE is an annotation file of many frames, as the annotation tools
export them; its frames come from the file (the number in frame_FFFFFF,
else the image id), and a frame given twice is an error:
  .xml   CVAT for images 1.1: masks and polygons of every <image>
  .zip   CVAT segmentation masks 1.1 (labelmap.txt, SegmentationClass/),
         or the folder it unpacks to
  .json  COCO instances: polygons, and masks as counts or compressed counts
Classes are matched by name against --classes (required for RUNFILEs).
Where shapes overlap, the later one wins, as the tools paint them.

Options:
  -o, --output FILE      the training-data file to write (required)
  --classes FILE         class list: one class a line, "name" or "name r g b";
                         line k is class k (required for PNG label maps;
                         without it the JSON labels name the classes in
                         order of first appearance)
  --ignore-unknown       skip shapes whose label is not a class of the list,
                         with one warning per file (default: an error)
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
  --temporal             models meant to run with rovelin --temporal (recorded
                         in the settings file; rovelin --no-temporal turns
                         it off for a run)
  --tune                 choose the descriptor, segmentation and vehicle rule
                         by leave-one-frame-out cross-validation over the
                         labelled frames (at least 2), print the table of
                         what was tried, then train with the best
  --tune-margin POINTS   with --tune: among the settings whose mean accuracy
                         is within POINTS percentage points of the best (a
                         number such as 0.5), take those whose frames cost
                         least to classify (regions times samples, shown in
                         the table)
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
  bool tune = false;                 // --tune
  std::optional<double> tuneMargin;  // --tune-margin POINTS
  bool chosen = false;               // a setting --tune would choose was given
};

// Sets option `arg` of `command`, taking its value from `value` when it
// needs one. Returns false for an unknown option; throws UsageError for a
// bad value.
bool applyOption(const std::string& arg, const OptionValue& value, TrainCommand& command) {
  TrainingOptions& options = command.options;
  if (arg == "-o" || arg == "--output") {
    options.output = value("a file name");
  } else if (arg == "--classes") {
    options.classList = value("a file name");
  } else if (arg == "--workdir") {
    options.workDir = value("a directory");
  } else if (arg == "--purity") {
    options.purity = value.number<double>("a number above 0 and at most 1",
                                          [](double p) { return p > 0.0 && p <= 1.0; });
  } else if (arg == "--max-per-class") {
    options.maxPerClass =
        value.number<int>("a whole number of at least 2", [](int most) { return most >= 2; });
  } else if (arg == "--ignore-unknown") {
    options.ignoreUnknown = true;
  } else if (arg == "--tune") {
    command.tune = true;
  } else if (arg == "--tune-margin") {
    command.tuneMargin =
        value.number<double>("a number of percentage points from 0 to 100, such as 0.5",
                             [](double points) { return points >= 0.0 && points <= 100.0; });
  } else if (arg == "--temporal") {
    options.temporal.on = true;  // runs filter the labels through the frames
  } else if (arg == "--no-vehicle-rule") {
    options.vehicleRule = false;
    command.chosen = true;
  } else if (arg == "--descriptor") {
    const auto kind = parseDescriptorKind(value("covariance or embedding"));
    if (!kind) throw UsageError("--descriptor takes covariance or embedding");
    options.descriptor = *kind;
    command.chosen = true;
  } else if (arg == "--sigma" || arg == "--k" || arg == "--min-size") {
    bool known = false;
    const std::string text = value();
    if (std::string problem = parseSegmentationOption(arg, text, options.segmentation, known);
        !problem.empty()) {
      throw UsageError(problem);
    }
    command.chosen = true;
  } else if (arg == "--context") {
    options.context = value("identity, uniform, estimated or a file name");
  } else {
    return false;
  }
  return true;
}

// A whole-run annotation file rather than FRAME:LABELS: no frame number
// before a colon, and the name of a CVAT or COCO file.
bool isRunFile(const std::string& word, std::size_t colon) {
  if (colon != std::string::npos && parseNumber<int>(word.substr(0, colon))) return false;
  const std::string ext = fs::path(word).extension().string();
  std::error_code ec;
  return ext == ".xml" || ext == ".json" || ext == ".zip" || fs::is_directory(word, ec);
}

// VIDEO FACTOR FRAME:LABELS...; throws UsageError saying why they are refused.
void readPositionals(const std::vector<std::string>& positional, TrainCommand& command) {
  TrainingOptions& options = command.options;
  if (options.output.empty()) throw UsageError("no output file: give -o MODEL.txt");
  if (command.tune && command.chosen) {
    throw UsageError(
        "--tune chooses the descriptor, the segmentation and the vehicle rule itself; "
        "leave out --descriptor, --sigma, --k, --min-size and --no-vehicle-rule");
  }
  if (positional.size() < 3)
    throw UsageError("VIDEO, FACTOR and at least one FRAME:LABELS are needed");
  options.video = positional[0];
  const auto factor = parseNumber<double>(positional[1]);
  if (!factor || !(*factor > 0.0)) {
    throw UsageError("FACTOR must be a positive number, not '" + positional[1] + "'");
  }
  options.factor = *factor;
  for (std::size_t p = 2; p < positional.size(); ++p) {
    const std::string& pair = positional[p];
    const auto colon = pair.find(':');
    if (isRunFile(pair, colon)) {
      options.frames.push_back(LabelledFrame{-1, pair});
      continue;
    }
    const auto frame =
        colon == std::string::npos ? std::nullopt : parseNumber<int>(pair.substr(0, colon));
    if (!frame || *frame < 0 || colon + 1 == pair.size()) {
      throw UsageError("'" + pair + "' is not FRAME:LABELS (for example 12:labels_12.png)");
    }
    options.frames.push_back(LabelledFrame{*frame, pair.substr(colon + 1)});
  }
  if (command.tuneMargin && !command.tune) throw UsageError("--tune-margin is an option of --tune");
  if (command.tune && options.frames.size() < 2) {
    throw UsageError("--tune needs at least 2 labelled frames (it holds out one at a time)");
  }
}

// Reads the command line into `command`. Returns the exit status when the
// program ends here: help, version, or a command line that cannot be run.
std::optional<int> parseCommandLine(int argc, char** argv, TrainCommand& command) {
  const ProgramText program{
      "rovelin-train", kHelp, versionText("rovelin-train"),
      "Usage : rovelin-train [options] -o MODEL.txt VIDEO FACTOR FRAME:LABELS|RUNFILE ...\n"};
  ParsedArguments parsed;
  auto option = [&](const std::string& arg, const OptionValue& value) {
    return applyOption(arg, value, command);
  };
  auto finish = [&] { readPositionals(parsed.positional, command); };
  const std::optional<int> status = readCommandLine(argc, argv, program, option, parsed, finish);
  command.verbosity = parsed.verbosity;
  return status;
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
void tune(TrainingOptions& options, ModelSettings& settings, std::optional<double> margin) {
  const bool terminal = ::isatty(STDERR_FILENO) == 1 && showsMessages(std::cerr, Verbosity::Normal);
  TuningResult tuning = tuneSettings(options, terminal ? &std::cerr : nullptr);
  if (margin) chooseWithinMargin(tuning, *margin);
  if (showsMessages(std::cerr, Verbosity::Normal)) {
    printTuningTable(tuning, options.frames, std::cerr);
  }
  const TuningCandidate& best = tuning.tried[tuning.best];
  options.descriptor = best.descriptor;
  options.segmentation = best.segmentation;
  options.vehicleRule = best.vehicleRule;
  settings.crossValidatedAccuracy = best.meanAccuracy;
  options.densityTolerance = kTunedDensityTolerance;
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

// Writes the model and its settings as one unit: the settings are formatted
// before anything is written, both files are written complete to
// temporaries, and only then renamed, the settings first (a model beside
// settings of another fingerprint is refused by every run, never paired).
// The model only replaces the old file once the loader has accepted it
// whole, bandwidths included: the trainer never reports a model as written
// that rovelin would refuse.
void writeModel(const TrainingOptions& options, const std::string& text,
                const fs::path& settingsPath, ModelSettings settings) {
  static_cast<RunSettings&>(settings) = options;     // descriptor, segmentation, rules, temporal
  static_cast<TrainingSource&>(settings) = options;  // video, factor and labelled frames
  settings.classes = trainingClasses(options);
  settings.model = modelFingerprint(text);
  const std::string settingsText = formatSettings(settings);
  const auto loads = [](const fs::path& written) {
    try {
      RegionClassifier check(written.string(), RegionClassifier::kRegionDescriptorOrders);
    } catch (const TrainingDataError& e) {
      std::string problem = e.what();
      problem = problem.substr(std::min(problem.size(), written.string().size() + 2));
      throw TrainingBuildError("the model would not load (" + problem + "); nothing was written");
    }
  };
  writeOutputFilesTogether({{settingsPath, settingsText, {}}, {options.output, text, loads}});
}

int train(TrainCommand& command) {
  TrainingOptions& options = command.options;
  const fs::path settingsPath = checkOutputs(options);
  ModelSettings settings;
  if (command.tune) tune(options, settings, command.tuneMargin);
  const bool verbose = command.verbosity == Verbosity::Verbose;
  if (showsMessages(std::cerr, Verbosity::Normal)) options.warnings = &std::cerr;
  const TrainingSet set = collectTrainingSet(options, verbose ? &std::cerr : nullptr);
  if (showsMessages(std::cerr, Verbosity::Normal)) printClassTable(set, std::cerr);
  std::string text;
  try {
    text = formatTrainingFile(set);
  } catch (const TooFewSamplesError& e) {
    // Below FACTOR 1 a minimum region size meant for full frames leaves few
    // regions, often too few: say so, with the size --tune would take.
    const double area = options.factor * options.factor;
    const int scaled =
        static_cast<int>(std::max(1.0, std::round(options.segmentation.minSize * area)));
    if (command.tune || options.factor >= 1.0 || scaled == options.segmentation.minSize) throw;
    std::ostringstream hint;
    hint << e.what() << "; at FACTOR " << options.factor << " the smallest region (--min-size "
         << options.segmentation.minSize << " pixels) is large for the frame: try --min-size "
         << scaled << ", the size --tune takes at this factor";
    throw TrainingBuildError(hint.str());
  }
  writeModel(options, text, settingsPath, settings);
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
