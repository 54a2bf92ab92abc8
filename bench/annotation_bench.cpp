// SPDX-License-Identifier: Apache-2.0
// Whole annotations of a demo frame with models trained on other demo
// frames: segmentation (with its two PPM files), feature planes and regions,
// classification and labelling. The report itself is not timed; the models
// are prepared once, as the cache does for repeated runs.
#include "bench/demo_scene_fixture.hpp"
#include "classifier/region_classifier.hpp"
#include "pipeline/region_extraction.hpp"

#include <benchmark/benchmark.h>

#include <sstream>

namespace rovelin {
namespace {

RegionClassifier loadModel(const TrainingOptions& options, const std::string& name,
                           int expectedDimension = 10) {
  std::istringstream text(bench::trainedModelText(options));
  return RegionClassifier::load(text, name, expectedDimension);
}

constexpr std::initializer_list<int> kTrainingFrames = {0, 4, 8, 16, 20};

// One annotation per iteration of `frame` against `model`.
void annotate(benchmark::State& state, const bench::DemoSceneFolder& scene, const cv::Mat& frame,
              const RegionClassifier& model, const SegmentationParams& segmentation = {},
              DescriptorKind descriptor = DescriptorKind::Covariance, bool vehicleRule = true,
              double densityTolerance = 0.0) {
  for (auto _ : state) {
    const RegionSet seg = extractRegions(frame, {.segmentation = segmentation,
                                                 .descriptor = descriptor,
                                                 .workDir = scene.dir,
                                                 .turn = nullptr})
                              .regions;
    std::vector<SegmentPrediction> predictions = model.classify(seg.statistics, densityTolerance);
    const Eigen::VectorXd labels = model.labelSegments(predictions, seg, vehicleRule);
    benchmark::DoNotOptimize(labels.data());
    state.counters["regions"] = seg.count;
  }
  state.counters["samples"] = model.sampleCount;
}

void BM_Annotation640x480(benchmark::State& state) {
  struct Fixture {
    bench::DemoSceneFolder scene{DemoSceneOptions{640, 480, 24}};
    RegionClassifier model = loadModel(scene.training(kTrainingFrames), "demo model");
    cv::Mat frame = scene.frame(12);
  };
  static const Fixture f;
  annotate(state, f.scene, f.frame, f.model);
}
BENCHMARK(BM_Annotation640x480)->Unit(benchmark::kMillisecond)->UseRealTime();

// A 768×576 demo frame annotated two ways, side by side: the default run
// (covariance model, default segmentation) and the fine one (about 400
// regions a frame, a model of 500 embedding samples, vehicle rule off).
// Argument 0: the default run; 1: the fine run; 2: the fine run with the
// density tolerance rovelin-train --tune records.
void BM_Annotation768x576(benchmark::State& state) {
  struct Fixture {
    bench::DemoSceneFolder scene{DemoSceneOptions{768, 576, 24}};
    SegmentationParams fine{0.5f, 100.0f, 100};
    RegionClassifier defaultModel = loadModel(scene.training(kTrainingFrames), "default model");
    RegionClassifier fineModel = [this] {
      TrainingOptions options = scene.training(kTrainingFrames);
      options.segmentation = fine;
      options.descriptor = DescriptorKind::Embedding;
      options.maxPerClass = 100;
      return loadModel(options, "fine model", RegionClassifier::kRegionDescriptorOrders);
    }();
    cv::Mat frame = scene.frame(12);
  };
  static const Fixture f;
  if (state.range(0) >= 1) {
    annotate(state, f.scene, f.frame, f.fineModel, f.fine, DescriptorKind::Embedding, false,
             state.range(0) == 2 ? kTunedDensityTolerance : 0.0);
  } else {
    annotate(state, f.scene, f.frame, f.defaultModel);
  }
}
BENCHMARK(BM_Annotation768x576)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace
}  // namespace rovelin
