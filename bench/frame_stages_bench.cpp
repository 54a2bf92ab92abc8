// SPDX-License-Identifier: Apache-2.0
// Where the processor time of one 768×576 demo frame goes: the
// stages of segmentImage (smoothing, edges, sort, merge, small-component
// pass, colouring) and the rest of the frame as a batch runs it in memory
// (picture conversions, region set, classification, labelling, JSON text).
// Every stage is timed on the calling thread's processor clock, so the split
// holds on a busy machine; the counters are milliseconds per frame.
#include "bench/demo_scene_fixture.hpp"
#include "classifier/region_classifier.hpp"
#include "driver/frame_outputs.hpp"
#include "features/feature_planes.hpp"
#include "features/region_set.hpp"
#include "pipeline/region_extraction.hpp"
#include "segmentation/segment_image.hpp"
#include "util/clock.hpp"
#include "util/parallel.hpp"

#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace rovelin {
namespace {

// Processor seconds per stage, summed over the iterations.
struct FrameStageTotals {
  SegmentationStageTimes segmentation;
  double segmentCall = 0;  // the whole segmentImage call, stages and what lies between them
  double conversions = 0;  // BGR frame to RGB picture and the segmentation back to BGR
  double regions = 0;      // feature planes and the RegionSet
  double classification = 0;
  double labelling = 0;
  double json = 0;  // describeRun and the frame's JSON text (not written)
};

constexpr std::initializer_list<int> kTrainingFrames = {0, 4, 8, 16, 20};

// Argument 0: the default run (covariance model, default segmentation);
// 1: the fine one of BM_Annotation768x576/1 (sigma 0.5, k 100, minimum size
// 100, embedding descriptors, vehicle rule off); 2: the fine one with the
// density tolerance of a tuned model (counter computed_pairs: the fraction
// of region-sample distances computed). One thread, so the calling
// thread's clock sees all the work.
void BM_FrameStages768x576(benchmark::State& state) {
  struct Fixture {
    bench::DemoSceneFolder scene{DemoSceneOptions{768, 576, 24}};
    RunSettings fine = [] {
      RunSettings settings;
      settings.segmentation = SegmentationParams{0.5f, 100.0f, 100};
      settings.descriptor = DescriptorKind::Embedding;
      settings.vehicleRule = false;
      return settings;
    }();
    RegionClassifier defaultModel = load(scene.training(kTrainingFrames), 10);
    RegionClassifier fineModel = [this] {
      TrainingOptions options = scene.training(kTrainingFrames);
      options.segmentation = fine.segmentation;
      options.descriptor = fine.descriptor;
      options.maxPerClass = 100;
      return load(options, RegionClassifier::kRegionDescriptorOrders);
    }();
    cv::Mat frame = scene.frame(12);
    std::vector<std::string> classNames = [] {
      std::vector<std::string> names;
      for (const ClassEntry& c : demoSceneClasses()) names.push_back(c.name);
      return names;
    }();

    static RegionClassifier load(const TrainingOptions& options, int expectedDimension) {
      std::istringstream text(bench::trainedModelText(options));
      return RegionClassifier::load(text, "model", expectedDimension);
    }
  };
  static const Fixture f;
  const bool fine = state.range(0) >= 1;
  const double tolerance = state.range(0) == 2 ? kTunedDensityTolerance : 0.0;
  RunSettings settings = fine ? f.fine : RunSettings{};
  settings.densityTolerance = tolerance;
  PruningCounts counts;
  const RegionClassifier& model = fine ? f.fineModel : f.defaultModel;
  const int threads = threadCount();
  setThreadCount(1);
  FrameStageTotals total;
  int regionCount = 0;
  std::size_t jsonBytes = 0;
  for (auto _ : state) {
    double t = threadProcessorSeconds();
    const auto lap = [&t] {
      const double now = threadProcessorSeconds();
      const double seconds = now - t;
      t = now;
      return seconds;
    };

    const GridImage<RgbPixel> input = rgbPicture(f.frame);
    total.conversions += lap();

    SegmentationStageTimes times;
    std::vector<std::int32_t> roots;
    int segmentCount = 0;
    const GridImage<RgbPixel> output =
        segmentImage(input, settings.segmentation, segmentCount, &times, nullptr, &roots);
    total.segmentCall += lap();
    total.segmentation += times;

    const cv::Mat segmented = bgrPicture(output);
    total.conversions += lap();

    const cv::Mat rootImage(f.frame.rows, f.frame.cols, CV_32SC1, roots.data());
    RegionSet seg = buildRegionSet(computeFeaturePlanes(f.frame), rootImage, settings.descriptor);
    seg.segmentCount = segmentCount;
    total.regions += lap();

    const std::vector<SegmentPrediction> predictions =
        model.classify(seg.statistics, tolerance, &counts);
    total.classification += lap();

    std::vector<SegmentPrediction> relabelled = predictions;
    const Eigen::VectorXd labels = model.labelSegments(relabelled, seg, settings.vehicleRule);
    total.labelling += lap();

    const RunDescription run{"demo.avi", 12, 1.0, f.frame.size(), seg.segmentCount};
    const std::string text =
        formatFrameJson(describeRun(run, seg, predictions, labels, f.classNames), settings);
    total.json += lap();

    benchmark::DoNotOptimize(segmented.data);
    benchmark::DoNotOptimize(text.data());
    regionCount = seg.count;
    jsonBytes = text.size();
  }
  setThreadCount(threads);
  using bench::avgMs;
  bench::addStageCounters(state, total.segmentation);
  state.counters["segment_ms"] = avgMs(total.segmentCall);
  state.counters["convert_ms"] = avgMs(total.conversions);
  state.counters["regions_ms"] = avgMs(total.regions);
  state.counters["classify_ms"] = avgMs(total.classification);
  state.counters["label_ms"] = avgMs(total.labelling);
  state.counters["json_ms"] = avgMs(total.json);
  state.counters["regions"] = regionCount;
  state.counters["json_bytes"] = static_cast<double>(jsonBytes);
  state.counters["computed_pairs"] =
      counts.pairs > 0 ? static_cast<double>(counts.computed) / static_cast<double>(counts.pairs)
                       : 0;
}
BENCHMARK(BM_FrameStages768x576)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace
}  // namespace rovelin
