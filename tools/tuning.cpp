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
#include "segmentation/grid_image.hpp"
#include "segmentation/segment_image.hpp"
#include "statistics/riemannian_distances.hpp"
#include "util/parallel.hpp"
#include "util/terminal_line.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <limits>
#include <memory>
#include <ostream>
#include <span>
#include <sstream>
#include <string>
#include <unordered_map>

namespace rovelin {

namespace {

struct FrameData {
  cv::Mat image;                // grabbed and scaled
  GridImage<RgbPixel> rgb;      // the same pixels, as the segmentation reads them
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
    data.rgb = GridImage<RgbPixel>(data.image.cols, data.image.rows, false);
    for (int y = 0; y < data.image.rows; ++y) {
      const std::uint8_t* in = data.image.ptr<std::uint8_t>(y);
      RgbPixel* out = data.rgb.row(y);
      for (int x = 0; x < data.image.cols; ++x, in += 3) out[x] = RgbPixel{in[2], in[1], in[0]};
    }
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
// its regions. The regions are those extractRegions gives (from the
// components' roots, described on the frame's planes); its work files and
// the colour picture are not needed here, and the final training run leaves
// the work files of the chosen settings anyway.
SegmentedFrame segmentFrame(const FrameData& data, const SegmentationParams& params,
                            const TrainingOptions& options, int classCount) {
  SegmentedFrame s;
  int segmentCount = 0;
  std::vector<std::int32_t> roots;
  segmentImage(data.rgb, params, segmentCount, nullptr, nullptr, &roots);
  const cv::Mat rootImage(data.image.rows, data.image.cols, CV_32SC1, roots.data());
  s.regions = buildRegionSet(data.planes, rootImage, DescriptorKind::Covariance);
  s.regions.segmentCount = segmentCount;
  s.embeddings =
      buildRegionSet(data.planes, s.regions.indexImage, DescriptorKind::Embedding).statistics;
  s.histograms =
      regionClassHistograms(s.regions.indexImage, s.regions.count, data.labels, classCount);
  for (const auto& histogram : s.histograms)
    s.pureClass.push_back(pureClass(histogram, options.purity));
  return s;
}

// Columns: every pure region of every frame, with their distances to each
// other (one symmetric matrix). The few impure regions are only ever tested;
// impureD[f] holds the distances from those of frame f to the columns.
struct DistanceTable {
  std::vector<CovarianceDescriptor> columns;
  std::vector<int> columnFrame;
  std::vector<int> columnClass;
  std::vector<std::vector<int>> columnOf;                 // per frame and region: its column, or -1
  std::vector<std::vector<CovarianceDescriptor>> impure;  // per frame
  std::vector<int> frameStart;           // first column of each frame, then the column count
  Eigen::MatrixXd D;                     // entries no fold reads stay 0
  std::vector<Eigen::MatrixXd> impureD;  // per frame: its impure regions × columns
};

// The bits the distance kernels read, as a key: descriptors with equal keys
// give equal distances.
std::string descriptorKey(const CovarianceDescriptor& d) {
  std::string key(reinterpret_cast<const char*>(&d.dimension), sizeof d.dimension);
  for (const Eigen::MatrixXd* m : {&d.covariance, &d.inverseSqrt}) {
    const Eigen::Index shape[2] = {m->rows(), m->cols()};
    key.append(reinterpret_cast<const char*>(shape), sizeof shape);
    key.append(reinterpret_cast<const char*>(m->data()),
               static_cast<std::size_t>(m->size()) * sizeof(double));
  }
  return key;
}

// A fold reads two kinds of entries: from a held-out region to the columns
// of the other frames, and between columns of one class (its bandwidth).
// Two columns of one frame but different classes meet in neither, nor does
// an impure region meet its own frame's columns; those are never computed.
// Each entry is the distance from the lower column (or the impure region) to
// the other, as over the whole matrix. Regions that are equal bit for bit
// (a still background in two frames) share their distances, which are
// computed once.
DistanceTable distanceTable(const std::vector<SegmentedFrame>& segmented,
                            DescriptorKind descriptor) {
  DistanceTable table;
  const std::size_t frameCount = segmented.size();
  table.columnOf.resize(frameCount);
  table.impure.resize(frameCount);
  table.frameStart.push_back(0);
  for (std::size_t f = 0; f < frameCount; ++f) {
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

  std::unordered_map<std::string, int> index;
  std::vector<const CovarianceDescriptor*> unique;
  const auto intern = [&](const CovarianceDescriptor& d) {
    const auto [it, fresh] = index.try_emplace(descriptorKey(d), static_cast<int>(unique.size()));
    if (fresh) unique.push_back(&d);
    return it->second;
  };
  const int n = static_cast<int>(table.columns.size());
  std::vector<int> columnUnique;
  for (const CovarianceDescriptor& d : table.columns) columnUnique.push_back(intern(d));
  std::vector<std::vector<int>> impureUnique(frameCount);
  for (std::size_t f = 0; f < frameCount; ++f)
    for (const CovarianceDescriptor& d : table.impure[f]) impureUnique[f].push_back(intern(d));
  const auto u = static_cast<std::size_t>(unique.size());

  // wanted[a·u + b]: the distance from unique descriptor a to b is read.
  std::vector<char> wanted(u * u, 0);
  const auto want = [&](int a, int b) {
    wanted[static_cast<std::size_t>(a) * u + static_cast<std::size_t>(b)] = 1;
  };
  const auto read = [&](int i, int j) {
    return table.columnFrame[static_cast<std::size_t>(i)] !=
               table.columnFrame[static_cast<std::size_t>(j)] ||
           table.columnClass[static_cast<std::size_t>(i)] ==
               table.columnClass[static_cast<std::size_t>(j)];
  };
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j < n; ++j)
      if (read(i, j))
        want(columnUnique[static_cast<std::size_t>(i)], columnUnique[static_cast<std::size_t>(j)]);
  for (std::size_t f = 0; f < frameCount; ++f)
    for (int r : impureUnique[f])
      for (int j = 0; j < n; ++j)
        if (table.columnFrame[static_cast<std::size_t>(j)] != static_cast<int>(f))
          want(r, columnUnique[static_cast<std::size_t>(j)]);

  // Each value goes straight to every entry it stands for; an entry has one
  // pair of unique descriptors, so one row writes it.
  std::vector<std::vector<int>> columnsOf(u);
  for (int i = 0; i < n; ++i)
    columnsOf[static_cast<std::size_t>(columnUnique[static_cast<std::size_t>(i)])].push_back(i);
  std::vector<std::vector<std::pair<std::size_t, int>>> impureOf(u);  // (frame, row)
  table.D = Eigen::MatrixXd::Zero(n, n);
  for (std::size_t f = 0; f < frameCount; ++f) {
    const auto& rows = impureUnique[f];
    for (std::size_t r = 0; r < rows.size(); ++r)
      impureOf[static_cast<std::size_t>(rows[r])].emplace_back(f, static_cast<int>(r));
    table.impureD.push_back(Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(rows.size()), n));
  }
  const auto doRow = [&](std::size_t a) {
    std::vector<const CovarianceDescriptor*> seconds;
    std::vector<std::size_t> which;
    for (std::size_t b = 0; b < u; ++b) {
      if (wanted[a * u + b] == 0) continue;
      seconds.push_back(unique[b]);
      which.push_back(b);
    }
    std::vector<double> out(seconds.size());
    squaredDistancesFrom(*unique[a], seconds, out);
    for (std::size_t q = 0; q < out.size(); ++q) {
      const std::vector<int>& to = columnsOf[which[q]];
      for (int i : columnsOf[a])
        for (int j : to)
          if (i < j && read(i, j)) table.D(i, j) = table.D(j, i) = out[q];
      for (const auto& [f, r] : impureOf[a])
        for (int j : to)
          if (table.columnFrame[static_cast<std::size_t>(j)] != static_cast<int>(f))
            table.impureD[f](r, j) = out[q];
    }
  };
  // Low rows hold the most pairs; a unit takes row a and row u-1-a, so units
  // cost about the same.
  parallelFor(static_cast<long>((u + 1) / 2), [&](long begin, long end) {
    for (long unit = begin; unit < end; ++unit) {
      const auto low = static_cast<std::size_t>(unit);
      doRow(low);
      if (u - 1 - low != low) doRow(u - 1 - low);
    }
  });
  return table;
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
  const Eigen::MatrixXd& impure = table.impureD[static_cast<std::size_t>(held)];
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
      double samples = 0.0;  // the whole model's, thinned per class as training thins them
      for (int c = 0; c < k; ++c) {
        const auto n = std::count(table.columnClass.begin(), table.columnClass.end(), c);
        samples +=
            static_cast<double>(evenSubsample(static_cast<int>(n), options.maxPerClass).size());
      }
      TuningCandidate on{
          {descriptor, params, true, {}, {}}, regionTotal / frameCount, samples, {}, 0.0};
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

void chooseWithinMargin(TuningResult& result, double points) {
  std::size_t top = 0;
  for (std::size_t i = 1; i < result.tried.size(); ++i) {
    if (better(result.tried[i], result.tried[top])) top = i;
  }
  const double floor = result.tried[top].meanAccuracy - points / 100.0 - 1e-9;
  result.best = top;
  for (std::size_t i = 0; i < result.tried.size(); ++i) {
    const TuningCandidate& c = result.tried[i];
    const TuningCandidate& b = result.tried[result.best];
    if (c.meanAccuracy < floor) continue;
    if (distancesPerFrame(c) < distancesPerFrame(b) ||
        (distancesPerFrame(c) == distancesPerFrame(b) && better(c, b)))
      result.best = i;
  }
  result.margin = points;
}

void printTuningTable(const TuningResult& result, const std::vector<LabelledFrame>& frames,
                      std::ostream& out) {
  out << "Tuning by leave-one-frame-out cross-validation (pixel accuracy on the held-out frame):"
      << std::endl;
  out << "  descriptor  sigma      k  min size  vehicle rule  regions/frame    mean";
  if (result.margin) out << "  distances/frame";
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
    if (result.margin) out << std::setprecision(0) << std::setw(17) << distancesPerFrame(c);
    out << std::setprecision(4);
    for (double score : c.frameScores) out << std::setw(8) << score;
    out.unsetf(std::ios::floatfield);
    out << std::setprecision(6) << std::endl;
  }
  const TuningCandidate& best = result.tried[result.best];
  if (result.margin) {
    out << "margin: " << *result.margin
        << " points of mean accuracy below the best; the fewest distances a frame within it wins"
        << std::endl;
  }
  out << "chosen: " << descriptorName(best.descriptor) << " descriptor, sigma "
      << best.segmentation.sigma << ", k " << best.segmentation.k << ", min size "
      << best.segmentation.minSize << ", vehicle rule " << (best.vehicleRule ? "on" : "off")
      << " (mean accuracy " << std::fixed << std::setprecision(4) << best.meanAccuracy << ")"
      << std::endl;
  out.unsetf(std::ios::floatfield);
  out << std::setprecision(6);
}

}  // namespace rovelin
