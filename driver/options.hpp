// SPDX-License-Identifier: Apache-2.0
// The command line of `rovelin`: the four positional arguments of the
// classic form, with options anywhere among them (GNU style, "--" ends them)
//
//   rovelin [options] videoname.ext frameNum resizefactor trainData.txt
//
// Arguments after the fourth positional one are ignored, with a warning.
#pragma once

#include "model/model_loading.hpp"
#include "model/model_settings.hpp"
#include "pipeline/frame_list.hpp"
#include "util/report.hpp"

#include <optional>
#include <string>
#include <vector>

namespace rovelin {

struct Options {
  std::string videoName;     // positional 1
  int frameNumber = 0;       // positional 2, atoi: text that is not a number gives 0
  double resizeFactor = 0;   // positional 3, atof: text that is not a number gives 0.0
  std::string trainingFile;  // positional 4

  bool gui = true;               // windows and key waits; --no-gui turns them off
  FrameSelection frames;         // --frames; an empty list: the single positional frame
  std::string overlayPath;       // --overlay FILE.png
  std::string labelMapPath;      // --label-map FILE.png
  std::string jsonPath;          // --json FILE
  std::string groundTruthPath;   // --ground-truth LABELS
  std::string classListPath;     // --classes FILE (palette for colour ground truth)
  std::string saveFramePath;     // --save-frame FILE: the grabbed, scaled frame
  std::string cachePath;         // --cache FILE; empty: beside the training file
  bool useCache = true;          // --no-cache
  bool timings = false;          // --timings
  int threads = 0;               // --threads N; 0: one per core
  std::string overlayVideoPath;  // --overlay-video FILE: the overlays of a run as one video
  std::string workDir;           // --workdir DIR: where inpimage.ppm / outimage.ppm go
  Verbosity verbosity = Verbosity::Normal;  // -q: errors only; -v: details, decoder messages
  bool prepareCacheOnly = false;  // --prepare-cache TRAINDATA: build the cache, nothing else
  // Segmentation and labelling settings given on the command line; unset:
  // the model's settings file, or the defaults.
  SettingsOverrides overrides;
  std::optional<Shard> shard;  // --shard I/N: only part I of N of the frame list
  bool skipExisting = false;   // --skip-existing: leave frames whose outputs are all there
  bool countFrames = false;    // --count-frames: print how many frames the run would take
  // Whole-run files for the annotation tools.
  std::string cocoPath;       // --coco FILE.json: COCO instances, masks as RLE
  std::string cvatPath;       // --cvat FILE.xml: CVAT for images 1.1, masks
  std::string cvatMasksPath;  // --cvat-masks FILE.zip: CVAT segmentation masks 1.1
  std::string framesDir;      // --frames-dir DIR: frame_FFFFFF.png of every frame
  bool cvatPolygons = false;  // --cvat-shapes polygon: <polygon> instead of <mask>
  // Per frame: labelme JSON with the frame's PNG beside it.
  std::string labelmePath;        // --labelme FILE.json
  double polygonTolerance = 1.0;  // --polygon-tolerance PX, for --labelme and polygons

  ModelSource modelSource() const { return {trainingFile, cachePath, useCache}; }
};

// What the command line asks for.
enum class CommandKind {
  Run,      // options are filled in
  Usage,    // too few positional arguments: the classic usage message, status 255
  Help,     // --help: the help text on standard output, status 0
  Version,  // --version
  Error,    // a bad option or value: `error` says what, status 2
};

struct Command {
  CommandKind kind = CommandKind::Run;
  Options options;
  std::string error;
  std::vector<std::string> warnings;  // for standard error, such as a FRAME that is no number
};

Command parseCommandLine(int argc, const char* const* argv);

// The classic usage line (without the leading empty line).
extern const char* const kUsageLine;
std::string helpText();

}  // namespace rovelin
