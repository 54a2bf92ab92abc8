// SPDX-License-Identifier: Apache-2.0
#include "tools/training_builder.hpp"

#include "classifier/training_file.hpp"
#include "pipeline/region_extraction.hpp"
#include "pipeline/video_frame_source.hpp"

#include "labels/evaluation.hpp"
#include "labels/polygon_annotation.hpp"
#include "labels/run_annotations.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>

namespace rovelin {

namespace fs = std::filesystem;

int pureClass(const std::vector<long long>& histogram, double purity) {
  long long labelled = 0;
  int best = 0;
  long long bestCount = 0;
  for (std::size_t k = 1; k < histogram.size(); ++k) {
    labelled += histogram[k];
    if (histogram[k] > bestCount) {  // strictly more: the lower class wins a tie
      best = static_cast<int>(k);
      bestCount = histogram[k];
    }
  }
  if (labelled == 0) return 0;
  const double share = static_cast<double>(bestCount) / static_cast<double>(labelled);
  return share >= purity ? best : 0;
}

std::vector<int> evenSubsample(int count, int limit) {
  std::vector<int> kept;
  if (limit <= 0 || limit >= count) {
    for (int i = 0; i < count; ++i) kept.push_back(i);
    return kept;
  }
  for (int i = 0; i < limit; ++i) {
    kept.push_back(static_cast<int>(static_cast<long long>(i) * count / limit));
  }
  return kept;
}

Eigen::MatrixXd estimateContext(const Eigen::MatrixXd& adjacency) {
  const Eigen::Index k = adjacency.rows();
  Eigen::MatrixXd context(k, k);
  for (Eigen::Index c = 0; c < k; ++c) {
    const double column = adjacency.col(c).sum();
    for (Eigen::Index r = 0; r < k; ++r) {
      context(r, c) =
          static_cast<double>(k) * (adjacency(r, c) + 1.0) / (column + static_cast<double>(k));
    }
  }
  return context;
}

void countAdjacency(const cv::Mat& labels, Eigen::MatrixXd& adjacency) {
  const int limit = static_cast<int>(adjacency.rows());
  auto add = [&adjacency, limit](int a, int b) {
    if (a <= 0 || b <= 0 || a >= limit || b >= limit) return;
    adjacency(a, b) += 1.0;
    adjacency(b, a) += 1.0;
  };
  for (int y = 0; y < labels.rows; ++y) {
    const int* row = labels.ptr<int>(y);
    const int* below = y + 1 < labels.rows ? labels.ptr<int>(y + 1) : nullptr;
    for (int x = 0; x < labels.cols; ++x) {
      if (x + 1 < labels.cols) add(row[x], row[x + 1]);
      if (below != nullptr) add(row[x], below[x]);
    }
  }
}

namespace {

// Class names of polygon annotations in order of first appearance, for a
// training run without a class list.
std::vector<ClassEntry> classesFromJson(const std::vector<LabelledFrame>& frames) {
  std::vector<ClassEntry> classes;
  for (const LabelledFrame& frame : frames) {
    if (frame.frame < 0) {
      throw TrainingBuildError("annotation file \"" + frame.labels.string() +
                               "\": name the classes with --classes");
    }
    if (frame.labels.extension() != ".json") {
      throw TrainingBuildError("label map \"" + frame.labels.string() +
                               "\" holds class numbers: name the classes with --classes");
    }
    std::ifstream in(frame.labels);
    if (!in) throw TrainingBuildError("cannot open label map \"" + frame.labels.string() + "\"");
    std::vector<std::string> names;
    try {
      names = annotationLabels(in, frame.labels.string());
    } catch (const LabelMapError&) {
      throw TrainingBuildError("label map \"" + frame.labels.string() +
                               "\" is not a polygon annotation with \"shapes\"");
    }
    for (const std::string& name : names) {
      bool known = false;
      for (const ClassEntry& entry : classes) known = known || entry.name == name;
      if (!known) classes.push_back(ClassEntry{name, std::nullopt});
    }
  }
  return classes;
}

// A labelled frame with, for the frames of a whole-run annotation file, its
// labels already read.
struct FrameLabels {
  int frame = 0;
  fs::path labels;
  cv::Mat map;  // at the scaled size; empty for a FRAME:LABELS pair
};

// The FRAME:LABELS pairs and the frames of every whole-run annotation file
// (given with frame -1), in that order. Whole-run files are read here, before
// any work; a frame that a file gives and something else gives too is refused.
std::vector<FrameLabels> labelledFrames(const TrainingOptions& options,
                                        const std::vector<ClassEntry>& classes,
                                        const VideoFrameSource& video) {
  std::vector<FrameLabels> frames;
  std::map<int, std::pair<fs::path, bool>> given;  // frame: where, from a file
  const auto add = [&](FrameLabels f, bool fromFile) {
    const auto [it, fresh] = given.emplace(f.frame, std::pair{f.labels, fromFile});
    if (!fresh && (fromFile || it->second.second)) {
      throw TrainingBuildError("frame " + std::to_string(f.frame) + " is given twice, by \"" +
                               it->second.first.string() + "\" and by \"" + f.labels.string() +
                               "\"");
    }
    frames.push_back(std::move(f));
  };
  for (const LabelledFrame& pair : options.frames) {
    if (pair.frame >= 0) add({pair.frame, pair.labels, {}}, false);
  }
  const cv::Size frameSize(video.frameWidth, video.frameHeight);
  for (const LabelledFrame& file : options.frames) {
    if (file.frame >= 0) continue;
    for (ImportedFrame& f : readRunAnnotations(
             file.labels, classes, {frameSize, video.output.size()}, options.ignoreUnknown)) {
      cv::Mat map = f.classNumbers;
      if (map.size() != video.output.size())
        cv::resize(f.classNumbers, map, video.output.size(), 0, 0, cv::INTER_NEAREST_EXACT);
      add({f.frame, file.labels, map}, true);
    }
  }
  return frames;
}

Eigen::MatrixXd readContextFile(const fs::path& path, int k) {
  std::ifstream in(path);
  if (!in) throw TrainingBuildError("cannot open context file \"" + path.string() + "\"");
  Eigen::MatrixXd context(k, k);
  for (int r = 0; r < k; ++r) {
    for (int c = 0; c < k; ++c) {
      std::string token;
      if (!(in >> token)) {
        throw TrainingBuildError("context file \"" + path.string() + "\" ends before its " +
                                 std::to_string(k * k) + " values (" + std::to_string(k) +
                                 " classes)");
      }
      const std::optional<double> value = parseTrainingNumber<double>(token);
      if (!value || *value < 0.0) {
        throw TrainingBuildError("context file \"" + path.string() + "\": '" + token +
                                 "' is not a finite non-negative number");
      }
      context(r, c) = *value;
    }
  }
  // A matrix for another class count would otherwise be cut to fit.
  if (std::string extra; in >> extra) {
    throw TrainingBuildError("context file \"" + path.string() + "\" holds more than its " +
                             std::to_string(k * k) + " values (" + std::to_string(k) + " classes)");
  }
  return context;
}

}  // namespace

void checkClassNames(const std::vector<ClassEntry>& classes) {
  for (std::size_t k = 0; k < classes.size(); ++k) {
    const std::string problem = classNameProblem(classes[k].name);
    if (!problem.empty()) {
      std::string shown = classes[k].name.substr(0, 40);
      if (shown.size() < classes[k].name.size()) shown += "...";
      throw TrainingBuildError("class " + std::to_string(k + 1) + " \"" + shown +
                               "\" cannot be a class name of a model: " + problem +
                               " (a name is one word of at most " +
                               std::to_string(kMaxTokenLength) + " characters)");
    }
  }
}

std::vector<ClassEntry> trainingClasses(const TrainingOptions& options) {
  return options.classList.empty() ? classesFromJson(options.frames)
                                   : readClassList(options.classList);
}

TrainingSet collectTrainingSet(const TrainingOptions& options, std::ostream* log) {
  if (options.frames.empty()) throw TrainingBuildError("no labelled frames given");
  if (!(options.purity > 0.0 && options.purity <= 1.0)) {
    throw TrainingBuildError("the purity must be above 0 and at most 1");
  }
  const std::vector<ClassEntry> classes = trainingClasses(options);
  const int k = static_cast<int>(classes.size());
  if (k < 2) {
    throw TrainingBuildError("a model needs at least 2 classes; " + std::to_string(k) +
                             (options.classList.empty()
                                  ? " found in the labels"
                                  : " in \"" + options.classList.string() + "\""));
  }

  checkClassNames(classes);

  TrainingSet set;
  for (const ClassEntry& entry : classes) set.classes.push_back(ClassTally{entry.name, 0, 0});
  std::vector<std::vector<CovarianceDescriptor>> found(static_cast<std::size_t>(k));
  Eigen::MatrixXd adjacency = Eigen::MatrixXd::Zero(k + 1, k + 1);

  if (!(options.factor > 0.0) || !std::isfinite(options.factor)) {
    throw TrainingBuildError("the scale factor must be a positive number");
  }
  std::unique_ptr<VideoFrameSource> source;
  try {
    source = std::make_unique<VideoFrameSource>(options.video, options.factor);
  } catch (const VideoOpenError&) {
    throw TrainingBuildError("video file \"" + options.video + "\" could not be opened");
  }
  VideoFrameSource& video = *source;
  for (const FrameLabels& labelled : labelledFrames(options, classes, video)) {
    // Read the label map first: a bad map fails before any work is done.
    const cv::Mat labels =
        !labelled.map.empty()
            ? labelled.map
            : readLabelMap(labelled.labels, classes, cv::Size(video.frameWidth, video.frameHeight),
                           video.output.size(), {options.ignoreUnknown, options.warnings});
    if (!video.grabFrame(labelled.frame)) {
      throw TrainingBuildError("frame " + std::to_string(labelled.frame) + " of \"" +
                               options.video + "\" could not be read (" + video.frameCountText() +
                               ")");
    }
    const Extraction extraction =
        extractRegions(video.output, {.segmentation = options.segmentation,
                                      .descriptor = options.descriptor,
                                      .workDir = options.workDir,
                                      .turn = nullptr});
    if (log != nullptr) *log << extraction.segmentationLine << std::endl;
    const RegionSet& seg = extraction.regions;

    const std::vector<std::vector<long long>> histograms =
        regionClassHistograms(seg.indexImage, seg.count, labels, k);
    for (int i = 0; i < seg.count; ++i) {
      const auto& histogram = histograms[static_cast<std::size_t>(i)];
      const int cls = pureClass(histogram, options.purity);
      if (std::all_of(histogram.begin() + 1, histogram.end(), [](long long n) { return n == 0; })) {
        ++set.unlabelledRegions;
      } else if (cls == 0) {
        ++set.impureRegions;
      } else {
        found[static_cast<std::size_t>(cls - 1)].push_back(
            seg.statistics[static_cast<std::size_t>(i)]);
      }
    }
    countAdjacency(labels, adjacency);
    if (log != nullptr) {
      *log << "frame " << labelled.frame << ": " << seg.count << " regions" << std::endl;
    }
  }

  for (int c = 0; c < k; ++c) {
    auto& all = found[static_cast<std::size_t>(c)];
    set.classes[static_cast<std::size_t>(c)].found = static_cast<int>(all.size());
    std::vector<CovarianceDescriptor> kept;
    for (int i : evenSubsample(static_cast<int>(all.size()), options.maxPerClass)) {
      kept.push_back(all[static_cast<std::size_t>(i)]);
    }
    set.classes[static_cast<std::size_t>(c)].kept = static_cast<int>(kept.size());
    set.samples.push_back(std::move(kept));
  }

  if (options.context == "identity") {
    set.context = Eigen::MatrixXd::Identity(k, k);
  } else if (options.context == "uniform") {
    set.context = Eigen::MatrixXd::Ones(k, k);
  } else if (options.context == "estimated") {
    set.context = estimateContext(adjacency.bottomRightCorner(k, k));
  } else {
    set.context = readContextFile(options.context, k);
  }
  return set;
}

std::string formatTrainingFile(const TrainingSet& set) {
  const int k = static_cast<int>(set.classes.size());
  if (k < 2) throw TrainingBuildError("a model needs at least 2 classes, not " + std::to_string(k));
  std::vector<ClassEntry> names;
  for (const ClassTally& tally : set.classes) names.push_back(ClassEntry{tally.name, std::nullopt});
  checkClassNames(names);
  std::string short_;
  int dimension = 0;
  for (int c = 0; c < k; ++c) {
    const auto& samples = set.samples[static_cast<std::size_t>(c)];
    if (samples.size() < 2) {
      short_ += (short_.empty() ? "" : ", ") + set.classes[static_cast<std::size_t>(c)].name +
                " (" + std::to_string(samples.size()) + ")";
    }
    for (const CovarianceDescriptor& d : samples) dimension = d.dimension;
  }
  if (!short_.empty()) {
    throw TooFewSamplesError("every class needs at least 2 samples; too few for " + short_ +
                             ": label more of these classes, or lower --purity");
  }

  TrainingData data;
  data.dimension = dimension;
  data.context = set.context;
  data.samples = set.samples;
  for (const ClassTally& tally : set.classes) data.classNames.push_back(tally.name);
  return formatTrainingData(data);
}

}  // namespace rovelin
