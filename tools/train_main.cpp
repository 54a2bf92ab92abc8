// SPDX-License-Identifier: Apache-2.0
// rovelin-train: makes a training-data file from labelled frames of a video.
#include "classifier/region_classifier.hpp"
#include "driver/annotation.hpp"
#include "driver/decoder_log.hpp"
#include "driver/model_settings.hpp"
#include "driver/outputs.hpp"
#include "rovelin/version.hpp"
#include "tools/training_builder.hpp"
#include "tools/tuning.hpp"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <string>

namespace {

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
                         label maps), or a file of K x K numbers
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
  -v, --verbose          print the segmentation line of every frame and the
                         video decoder's own messages
  -h, --help             show this help
  --version              show the version

Exit status: 0 when the model was written, 2 for a bad command line, 1 when
training fails (nothing is written then).
)";

int usageError(const std::string& message) {
  std::cerr << "Error : " << message << "!" << std::endl
            << "Usage : rovelin-train [options] -o MODEL.txt VIDEO FACTOR FRAME:LABELS [...]"
            << std::endl;
  return 2;
}

bool parseInt(const std::string& text, int& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

bool parseDouble(const std::string& text, double& value) {
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace rovelin;
  quietImageLibrary();
  quietVideoDecoder(std::getenv("OPENCV_LOG_LEVEL") != nullptr || [&] {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "--") break;
      if (arg == "-v" || arg == "--verbose") return true;
    }
    return false;
  }());
  TrainingOptions options;
  bool verbose = false;
  bool tune = false;
  bool chosen = false;  // a setting --tune would choose was given
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string text;
    if (arg == "--") {
      for (++i; i < argc; ++i) positional.emplace_back(argv[i]);
      break;
    } else if (arg == "-h" || arg == "--help") {
      std::cout << kHelp;
      return 0;
    } else if (arg == "--version") {
      std::cout << versionText("rovelin-train") << std::flush;
      return 0;
    } else if (arg == "-v" || arg == "--verbose") {
      verbose = true;
    } else if (arg == "-o" || arg == "--output") {
      if (!value(text) || text.empty()) return usageError(arg + " takes a file name");
      options.output = text;
    } else if (arg == "--classes") {
      if (!value(text) || text.empty()) return usageError("--classes takes a file name");
      options.classList = text;
    } else if (arg == "--workdir") {
      if (!value(text) || text.empty()) return usageError("--workdir takes a directory");
      options.workDir = text;
    } else if (arg == "--purity") {
      if (!value(text) || !parseDouble(text, options.purity) || !(options.purity > 0.0) ||
          options.purity > 1.0) {
        return usageError("--purity takes a number above 0 and at most 1");
      }
    } else if (arg == "--max-per-class") {
      if (!value(text) || !parseInt(text, options.maxPerClass) || options.maxPerClass < 2) {
        return usageError("--max-per-class takes a whole number of at least 2");
      }
    } else if (arg == "--tune") {
      tune = true;
    } else if (arg == "--no-vehicle-rule") {
      options.vehicleRule = false;
      chosen = true;
    } else if (arg == "--descriptor") {
      const auto kind = value(text) ? parseDescriptorKind(text) : std::nullopt;
      if (!kind) return usageError("--descriptor takes covariance or embedding");
      options.descriptor = *kind;
      chosen = true;
    } else if (arg == "--sigma" || arg == "--k" || arg == "--min-size") {
      if (!value(text)) return usageError(arg + " takes a value");
      bool known = false;
      if (const std::string problem =
              parseSegmentationOption(arg, text, options.segmentation, known);
          !problem.empty()) {
        return usageError(problem);
      }
      chosen = true;
    } else if (arg == "--context") {
      if (!value(text) || text.empty()) {
        return usageError("--context takes identity, uniform, estimated or a file name");
      }
      options.context = text;
    } else if (arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9')) {
      return usageError("unknown option '" + arg + "' (see rovelin-train --help)");
    } else {
      positional.push_back(arg);
    }
  }
  if (options.output.empty()) return usageError("no output file: give -o MODEL.txt");
  if (tune && chosen) {
    return usageError(
        "--tune chooses the descriptor, the segmentation and the vehicle rule itself; "
        "leave out --descriptor, --sigma, --k, --min-size and --no-vehicle-rule");
  }
  if (positional.size() < 3)
    return usageError("VIDEO, FACTOR and at least one FRAME:LABELS are needed");
  options.video = positional[0];
  if (!parseDouble(positional[1], options.factor) || !(options.factor > 0.0)) {
    return usageError("FACTOR must be a positive number, not '" + positional[1] + "'");
  }
  for (std::size_t p = 2; p < positional.size(); ++p) {
    const std::string& pair = positional[p];
    const auto colon = pair.find(':');
    LabelledFrame labelled;
    if (colon == std::string::npos || !parseInt(pair.substr(0, colon), labelled.frame) ||
        labelled.frame < 0 || colon + 1 == pair.size()) {
      return usageError("'" + pair + "' is not FRAME:LABELS (for example 12:labels_12.png)");
    }
    labelled.labels = pair.substr(colon + 1);
    options.frames.push_back(labelled);
  }

  if (tune && options.frames.size() < 2) {
    return usageError("--tune needs at least 2 labelled frames (it holds out one at a time)");
  }

  try {
    checkOutputPath(options.output);
    // The model may not land on one of the files it is made from.
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
    const std::filesystem::path settingsPath = settingsPathFor(options.output);
    checkOutputPath(settingsPath);
    checkDistinctOutputs(
        {{"-o", options.output.string()}, {"the settings file", settingsPath.string()}}, inputs);
    ModelSettings settings;
    if (tune) {
      const bool terminal = ::isatty(STDERR_FILENO) == 1;
      const TuningResult tuning = tuneSettings(options, terminal ? &std::cerr : nullptr);
      printTuningTable(tuning, options.frames, std::cerr);
      const TuningCandidate& best = tuning.tried[tuning.best];
      options.descriptor = best.descriptor;
      options.segmentation = best.segmentation;
      options.vehicleRule = best.vehicleRule;
      settings.crossValidatedAccuracy = best.meanAccuracy;
      // The model is then built as a separate run with these settings would
      // build it, from the same random-colour sequence.
      std::srand(1);
    }
    const TrainingSet set = collectTrainingSet(options, verbose ? &std::cerr : nullptr);
    std::cerr << std::left << std::setw(16) << "class" << std::right << std::setw(8) << "found"
              << std::setw(8) << "kept" << std::setw(9) << "dropped" << std::endl;
    int kept = 0;
    for (const ClassTally& tally : set.classes) {
      std::cerr << std::left << std::setw(16) << tally.name << std::right << std::setw(8)
                << tally.found << std::setw(8) << tally.kept << std::setw(9) << tally.dropped()
                << std::endl;
      kept += tally.kept;
    }
    std::cerr << "regions not used: " << set.impureRegions << " below the purity, "
              << set.unlabelledRegions << " without labelled pixels" << std::endl;
    const std::string text = formatTrainingFile(set);
    settings.descriptor = options.descriptor;
    settings.segmentation = options.segmentation;
    settings.vehicleRule = options.vehicleRule;
    settings.classes = trainingClasses(options);
    settings.model = modelFingerprint(text);
    settings.video = options.video;
    settings.factor = options.factor;
    settings.frames = options.frames;
    // The file only replaces the old one once the loader has accepted it
    // whole, bandwidths included: the trainer never reports a model as
    // written that rovelin would refuse.
    writeOutputFile(options.output, text, [](const std::filesystem::path& written) {
      try {
        RegionClassifier check(written.string(), RegionClassifier::kRegionDescriptorOrders);
      } catch (const TrainingDataError& e) {
        std::string problem = e.what();
        problem = problem.substr(std::min(problem.size(), written.string().size() + 2));
        throw TrainingBuildError("the model would not load (" + problem + "); nothing was written");
      }
    });
    writeTextAtomically(settingsPath, formatSettings(settings));
    std::cerr << "wrote " << options.output.string() << ": " << kept << " samples in "
              << set.classes.size() << " classes, and its settings " << settingsPath.string()
              << std::endl;
    return 0;
  } catch (const std::bad_alloc&) {
    std::cerr << "Error : out of memory!" << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "Error : " << e.what() << "!" << std::endl;
  }
  return 1;
}
