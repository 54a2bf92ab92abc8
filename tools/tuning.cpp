// SPDX-License-Identifier: Apache-2.0
// Leave-one-frame-out tuning. For one segmentation every labelled frame is
// segmented once; its regions get both descriptors, and for each descriptor
// one symmetric matrix of squared distances between the pure regions of all
// frames (each a training sample whenever its frame is not held out). A fold
// then only selects rows and columns: the class distance matrices and
// bandwidths come from its training frames' entries, the held-out frame's
// densities from its rows (its impure regions are measured apart). The vehicle rule only changes
// labelling, so both of its states share one classification.
#include "tools/tuning.hpp"

#include "classifier/region_classifier.hpp"
#include "features/feature_planes.hpp"
#include "labels/evaluation.hpp"
#include "pipeline/region_extraction.hpp"
#include "pipeline/video_frame_source.hpp"
#include "statistics/riemannian_distances.hpp"
#include "util/terminal_line.hpp"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <limits>
#include <memory>
#include <ostream>
#include <span>
#include <sstream>

namespace rovelin {

namespace {

struct FrameData {
  cv::Mat image;                // grabbed and scaled
  cv::Mat labels;               // class number of every pixel (0: unlabelled)
  std::vector<cv::Mat> planes;  // feature planes
};

// One frame at one segmentation.
struct SegmentedFrame {
  RegionSet regions;                               // covariance descriptors
  std::vector<CovarianceDescriptor> embeddings;    // the same regions' embeddings
  std::vector<std::vector<long long>> histograms;  // per region: pixels of class number c
  std::vector<int> pureClass;                      // per region: class number or 0
};

double frameAccuracy(const SegmentedFrame& frame, const Eigen::VectorXd& labels) {
  long long correct = 0;
  long long labelled = 0;
  for (std::size_t i = 0; i < frame.histograms.size(); ++i) {
    const auto& histogram = frame.histograms[i];
    for (std::size_t c = 1; c < histogram.size(); ++c) labelled += histogram[c];
    correct += histogram[static_cast<std::size_t>(labels[static_cast<Eigen::Index>(i)]) + 1];
  }
  return labelled == 0 ? 0.0 : static_cast<double>(correct) / static_cast<double>(labelled);
}

// True when candidate a is to be preferred to b.
bool better(const TuningCandidate& a, const TuningCandidate& b) {
  constexpr double kTie = 1e-9;
  if (a.meanAccuracy > b.meanAccuracy + kTie) return true;
  if (b.meanAccuracy > a.meanAccuracy + kTie) return false;
  if (a.regionsPerFrame != b.regionsPerFrame) return a.regionsPerFrame < b.regionsPerFrame;
  if (a.descriptor != b.descriptor) return a.descriptor == DescriptorKind::Covariance;
  return a.vehicleRule && !b.vehicleRule;
}

// The classes of `options`, after the checks every tuning run needs.
std::vector<ClassEntry> checkedTuningClasses(const TrainingOptions& options) {
  const int frameCount = static_cast<int>(options.frames.size());
  if (frameCount < 2) {
    throw TrainingBuildError(
        "--tune cross-validates between labelled frames and needs at least 2, not " +
        std::to_string(frameCount));
  }
  if (!(options.factor > 0.0) || !std::isfinite(options.factor)) {
    throw TrainingBuildError("the scale factor must be a positive number");
  }
  std::vector<ClassEntry> classes = trainingClasses(options);
  checkClassNames(classes);
  const int k = static_cast<int>(classes.size());
  if (k < 2)
    throw TrainingBuildError("a model needs at least 2 classes; " + std::to_string(k) + " given");
  return classes;
}

// Every labelled frame grabbed, scaled and described by its feature planes.
std::vector<FrameData> loadFrames(const TrainingOptions& options,
                                  const std::vector<ClassEntry>& classes) {
  std::unique_ptr<VideoFrameSource> video;
  try {
    video = std::make_unique<VideoFrameSource>(options.video, options.factor);
  } catch (const VideoOpenError&) {
    throw TrainingBuildError("video file \"" + options.video + "\" could not be opened");
  }
  std::vector<FrameData> frames;
  for (const LabelledFrame& labelled : options.frames) {
    FrameData data;
    data.labels =
        readLabelMap(labelled.labels, classes, cv::Size(video->frameWidth, video->frameHeight),
                     video->output.size());
    if (!video->grabFrame(labelled.frame)) {
      throw TrainingBuildError("frame " + std::to_string(labelled.frame) + " of \"" +
                               options.video + "\" could not be read (the video has " +
                               std::to_string(video->frameCount) + " frames)");
    }
    data.image = video->output.clone();
    data.planes = computeFeaturePlanes(data.image);
    frames.push_back(std::move(data));
  }
  return frames;
}

// Labelling needs the class names (vehicle rule) and a context matrix;
// regions never overlap, so the context and size rules leave labels as they
// are and the identity serves.
RegionClassifier labellingShell(const std::vector<ClassEntry>& classes) {
  const int k = static_cast<int>(classes.size());
  RegionClassifier shell;
  shell.classCount = k;
  shell.context = Eigen::MatrixXd::Identity(k, k);
  auto table = std::make_shared<std::vector<TrainingClass>>(static_cast<std::size_t>(k));
  for (int c = 0; c < k; ++c) {
    (*table)[static_cast<std::size_t>(c)].name = classes[static_cast<std::size_t>(c)].name;
  }
  shell.classes = std::move(table);
  return shell;
}

// One frame cut by `params`, with both descriptors and the class make-up of
// its regions.
SegmentedFrame segmentFrame(const FrameData& data, const SegmentationParams& params,
                            const TrainingOptions& options, int classCount) {
  SegmentedFrame s;
  s.regions = extractRegions(data.image, {.segmentation = params,
                                          .descriptor = DescriptorKind::Covariance,
                                          .workDir = options.workDir,
                                          .turn = nullptr})
                  .regions;
  s.embeddings =
      buildRegionSet(data.planes, s.regions.indexImage, DescriptorKind::Embedding).statistics;
  s.histograms =
      regionClassHistograms(s.regions.indexImage, s.regions.count, data.labels, classCount);
  for (const auto& histogram : s.histograms)
    s.pureClass.push_back(pureClass(histogram, options.purity));
  return s;
}

// Columns: every pure region of every frame, with their distances to each
// other (one symmetric matrix). The few impure regions are only ever tested,
// so they get their distances to the columns apart, fold by fold.
struct DistanceTable {
  std::vector<CovarianceDescriptor> columns;
  std::vector<int> columnFrame;
  std::vector<int> columnClass;
  std::vector<std::vector<int>> columnOf;                 // per frame and region: its column, or -1
  std::vector<std::vector<CovarianceDescriptor>> impure;  // per frame
  std::vector<int> frameStart;  // first column of each frame, then the column count
  Eigen::MatrixXd D;
};

DistanceTable distanceTable(const std::vector<SegmentedFrame>& segmented,
                            DescriptorKind descriptor) {
  DistanceTable table;
  table.columnOf.resize(segmented.size());
  table.impure.resize(segmented.size());
  table.frameStart.push_back(0);
  for (std::size_t f = 0; f < segmented.size(); ++f) {
    const SegmentedFrame& s = segmented[f];
    const auto& described =
        descriptor == DescriptorKind::Embedding ? s.embeddings : s.regions.statistics;
    for (int i = 0; i < s.regions.count; ++i) {
      const int pure = s.pureClass[static_cast<std::size_t>(i)];
      if (pure <= 0) {
        table.columnOf[f].push_back(-1);
        table.impure[f].push_back(described[static_cast<std::size_t>(i)]);
        continue;
      }
      table.columnOf[f].push_back(static_cast<int>(table.columns.size()));
      table.columns.push_back(described[static_cast<std::size_t>(i)]);
      table.columnFrame.push_back(static_cast<int>(f));
      table.columnClass.push_back(pure - 1);
    }
    table.frameStart.push_back(static_cast<int>(table.columns.size()));
  }
  // A fold reads two kinds of entries: between a held-out region and the
  // columns of the other frames, and between columns of one class (its
  // bandwidth). Two columns of one frame but different classes meet in
  // neither, so only the other entries are computed. Each is the distance
  // from the lower column to the higher one, as over the whole matrix.
  const Eigen::Index n = static_cast<Eigen::Index>(table.columns.size());
  table.D = Eigen::MatrixXd::Zero(n, n);
  const std::span<const CovarianceDescriptor> all(table.columns);
  for (std::size_t f = 0; f < segmented.size(); ++f) {
    const int begin = table.frameStart[f];
    const int end = table.frameStart[f + 1];
    if (end < n && begin < end) {
      const Eigen::MatrixXd cross = crossSquaredDistances(
          all.subspan(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)),
          all.subspan(static_cast<std::size_t>(end)));
      table.D.block(begin, end, end - begin, n - end) = cross;
      table.D.block(end, begin, n - end, end - begin) = cross.transpose();
    }
    std::vector<std::vector<int>> byClass;
    for (int j = begin; j < end; ++j) {
      const auto c = static_cast<std::size_t>(table.columnClass[static_cast<std::size_t>(j)]);
      if (byClass.size() <= c) byClass.resize(c + 1);
      byClass[c].push_back(j);
    }
    for (const std::vector<int>& members : byClass) {
      std::vector<CovarianceDescriptor> own;
      for (int j : members) own.push_back(table.columns[static_cast<std::size_t>(j)]);
      const Eigen::MatrixXd within = pairwiseSquaredDistances(own);
      for (std::size_t a = 0; a < members.size(); ++a)
        for (std::size_t b = 0; b < members.size(); ++b)
          table.D(members[a], members[b]) =
              within(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(b));
    }
  }
  return table;
}

// Distances from the impure regions of frame `held` to the columns of the
// other frames (the columns of `held` itself are never samples of its fold
// and stay 0).
Eigen::MatrixXd impureDistances(const DistanceTable& table, int held) {
  const auto& rows = table.impure[static_cast<std::size_t>(held)];
  const std::span<const CovarianceDescriptor> all(table.columns);
  const int begin = table.frameStart[static_cast<std::size_t>(held)];
  const int end = table.frameStart[static_cast<std::size_t>(held) + 1];
  const auto n = static_cast<Eigen::Index>(all.size());
  const auto r = static_cast<Eigen::Index>(rows.size());
  Eigen::MatrixXd D = Eigen::MatrixXd::Zero(r, n);
  if (r == 0) return D;
  if (begin > 0)
    D.leftCols(begin) = crossSquaredDistances(rows, all.first(static_cast<std::size_t>(begin)));
  if (end < n)
    D.rightCols(n - end) = crossSquaredDistances(rows, all.subspan(static_cast<std::size_t>(end)));
  return D;
}

// The columns of class c outside the held-out frame, thinned as training
// thins them.
std::vector<int> foldSamples(const DistanceTable& table, int c, int held, int maxPerClass) {
  std::vector<int> all;
  for (std::size_t j = 0; j < table.columns.size(); ++j) {
    if (table.columnClass[j] == c && table.columnFrame[j] != held)
      all.push_back(static_cast<int>(j));
  }
  std::vector<int> kept;
  for (int i : evenSubsample(static_cast<int>(all.size()), maxPerClass)) {
    kept.push_back(all[static_cast<std::size_t>(i)]);
  }
  return kept;
}

// Log densities of class c for the held-out frame's regions, or -infinity
// throughout when the fold cannot model the class (it then never wins).
Eigen::VectorXd foldClassLogDensities(const DistanceTable& table, const SegmentedFrame& s,
                                      const Eigen::MatrixXd& impureDistances, int held, int c,
                                      const std::string& name, DescriptorKind descriptor,
                                      int maxPerClass) {
  const std::vector<int> kept = foldSamples(table, c, held, maxPerClass);
  const int n = static_cast<int>(kept.size());
  const int count = s.regions.count;
  TrainingClass tc;
  tc.dimension = descriptorOrder(descriptor, 10);
  tc.sampleCount = n;
  tc.name = name;
  if (n >= 2) {
    tc.distances.resize(n, n);
    for (int a = 0; a < n; ++a)
      for (int b = 0; b < n; ++b) tc.distances(a, b) = table.D(kept[a], kept[b]);
    tc.selectBandwidth();
  }
  if (n < 2 || !(tc.bandwidth > 0.0) || !std::isfinite(tc.bandwidth)) {
    return Eigen::VectorXd::Constant(count, -std::numeric_limits<double>::infinity());
  }
  const std::vector<int>& heldColumns = table.columnOf[static_cast<std::size_t>(held)];
  Eigen::MatrixXd dtest(count, n);
  for (int i = 0, impureRow = 0; i < count; ++i) {
    const int column = heldColumns[static_cast<std::size_t>(i)];
    for (int b = 0; b < n; ++b) {
      dtest(i, b) = column >= 0 ? table.D(column, kept[b]) : impureDistances(impureRow, kept[b]);
    }
    if (column < 0) ++impureRow;
  }
  return tc.logDensitiesFromDistances(dtest);
}

// Scores one held-out frame for both states of the vehicle rule.
void scoreFold(const DistanceTable& table, const SegmentedFrame& s, int held,
               const std::vector<ClassEntry>& classes, const RegionClassifier& shell,
               DescriptorKind descriptor, int maxPerClass, TuningCandidate& on,
               TuningCandidate& off) {
  const int k = static_cast<int>(classes.size());
  const Eigen::MatrixXd impure = impureDistances(table, held);
  Eigen::MatrixXd logp(s.regions.count, k);
  for (int c = 0; c < k; ++c) {
    logp.col(c) =
        foldClassLogDensities(table, s, impure, held, c, classes[static_cast<std::size_t>(c)].name,
                              descriptor, maxPerClass);
  }
  const std::vector<SegmentPrediction> predictions = RegionClassifier::classifyLogDensities(logp);
  for (TuningCandidate* candidate : {&on, &off}) {
    std::vector<SegmentPrediction> relabelled = predictions;
    const Eigen::VectorXd labels =
        shell.labelSegments(relabelled, s.regions, candidate->vehicleRule);
    candidate->frameScores.push_back(frameAccuracy(s, labels));
  }
}

void finishCandidate(TuningCandidate& candidate) {
  double sum = 0.0;
  for (double score : candidate.frameScores) sum += score;
  candidate.meanAccuracy = sum / static_cast<double>(candidate.frameScores.size());
}

}  // namespace

std::vector<SegmentationParams> tuningSegmentations(double factor) {
  const float sigmas[] = {1.0f, 0.8f, 0.5f};
  const std::pair<float, int> pairs[] = {
      {500.0f, 500}, {300.0f, 200}, {200.0f, 100}, {100.0f, 100}, {100.0f, 50}};
  std::vector<SegmentationParams> grid;
  const double area = factor * factor;
  for (const auto& [k, size] : pairs) {
    const int scaled = static_cast<int>(std::max(1.0, std::round(size * area)));
    for (float sigma : sigmas) grid.push_back(SegmentationParams{sigma, k, scaled});
  }
  return grid;
}

TuningResult tuneSettings(const TrainingOptions& options, std::ostream* progress) {
  const std::vector<ClassEntry> classes = checkedTuningClasses(options);
  const std::vector<FrameData> frames = loadFrames(options, classes);
  const RegionClassifier shell = labellingShell(classes);
  const int k = static_cast<int>(classes.size());
  const int frameCount = static_cast<int>(frames.size());

  TuningResult result;
  const std::vector<SegmentationParams> grid = tuningSegmentations(options.factor);
  for (std::size_t g = 0; g < grid.size(); ++g) {
    const SegmentationParams& params = grid[g];
    if (progress != nullptr) {
      drawTerminalLine(*progress, "rovelin-train: tuning, segmentation " + std::to_string(g + 1) +
                                      " of " + std::to_string(grid.size()));
    }
    std::vector<SegmentedFrame> segmented;
    double regionTotal = 0.0;
    for (const FrameData& data : frames) {
      segmented.push_back(segmentFrame(data, params, options, k));
      regionTotal += segmented.back().regions.count;
    }
    for (const DescriptorKind descriptor :
         {DescriptorKind::Covariance, DescriptorKind::Embedding}) {
      const DistanceTable table = distanceTable(segmented, descriptor);
      TuningCandidate on{{descriptor, params, true, {}, {}}, regionTotal / frameCount, {}, 0.0};
      TuningCandidate off = on;
      off.vehicleRule = false;
      for (int held = 0; held < frameCount; ++held) {
        scoreFold(table, segmented[static_cast<std::size_t>(held)], held, classes, shell,
                  descriptor, options.maxPerClass, on, off);
      }
      for (TuningCandidate* candidate : {&on, &off}) {
        finishCandidate(*candidate);
        result.tried.push_back(*candidate);
      }
    }
  }
  if (progress != nullptr) clearTerminalLine(*progress);
  for (std::size_t i = 1; i < result.tried.size(); ++i) {
    if (better(result.tried[i], result.tried[result.best])) result.best = i;
  }
  return result;
}

void printTuningTable(const TuningResult& result, const std::vector<LabelledFrame>& frames,
                      std::ostream& out) {
  out << "Tuning by leave-one-frame-out cross-validation (pixel accuracy on the held-out frame):"
      << std::endl;
  out << "  descriptor  sigma      k  min size  vehicle rule  regions/frame    mean";
  for (const LabelledFrame& frame : frames) {
    std::string name = "f";
    name += std::to_string(frame.frame);
    out << std::setw(8) << name;
  }
  out << std::endl;
  for (std::size_t i = 0; i < result.tried.size(); ++i) {
    const TuningCandidate& c = result.tried[i];
    out << (i == result.best ? "* " : "  ") << std::left << std::setw(10)
        << descriptorName(c.descriptor) << std::right << std::setw(7) << c.segmentation.sigma
        << std::setw(7) << c.segmentation.k << std::setw(10) << c.segmentation.minSize
        << std::setw(14) << (c.vehicleRule ? "on" : "off") << std::fixed << std::setprecision(1)
        << std::setw(15) << c.regionsPerFrame << std::setprecision(4) << std::setw(8)
        << c.meanAccuracy;
    for (double score : c.frameScores) out << std::setw(8) << score;
    out.unsetf(std::ios::floatfield);
    out << std::setprecision(6) << std::endl;
  }
  const TuningCandidate& best = result.tried[result.best];
  out << "chosen: " << descriptorName(best.descriptor) << " descriptor, sigma "
      << best.segmentation.sigma << ", k " << best.segmentation.k << ", min size "
      << best.segmentation.minSize << ", vehicle rule " << (best.vehicleRule ? "on" : "off")
      << " (mean accuracy " << std::fixed << std::setprecision(4) << best.meanAccuracy << ")"
      << std::endl;
  out.unsetf(std::ios::floatfield);
  out << std::setprecision(6);
}

}  // namespace rovelin
