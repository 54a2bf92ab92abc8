// SPDX-License-Identifier: Apache-2.0
// A whole 640×480 annotation of a demo frame with a model trained on other
// demo frames: segmentation (with its two PPM files), feature planes and
// regions, classification and labelling. The report itself is not timed.
#include "classifier/region_classifier.hpp"
#include "driver/region_extraction.hpp"
#include "driver/video_frame_source.hpp"
#include "tools/demo_scene.hpp"
#include "tools/training_builder.hpp"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <sstream>

namespace rovelin {
namespace {

namespace fs = std::filesystem;

struct DemoFixture {
  fs::path dir;
  RegionClassifier model;
  cv::Mat frame;

  DemoFixture() {
    dir = fs::temp_directory_path() / ("rovelin-bench-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    writeDemoScene(dir, DemoSceneOptions{640, 480, 24});
    TrainingOptions options;
    options.video = (dir / "demo.avi").string();
    options.factor = 1.0;
    options.classList = dir / "classes.txt";
    options.workDir = dir;
    for (int f : {0, 4, 8, 16, 20}) {
      options.frames.push_back({f, dir / ("labels_" + std::to_string(f) + ".png")});
    }
    std::ostringstream log;
    std::istringstream text(formatTrainingFile(collectTrainingSet(options, &log)));
    model = RegionClassifier::load(text, "demo model");
    VideoFrameSource video(options.video, 1.0);
    video.grabFrame(12);
    frame = video.output.clone();
  }
  ~DemoFixture() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

DemoFixture& fixture() {
  static DemoFixture f;
  return f;
}

void BM_Annotation640x480(benchmark::State& state) {
  DemoFixture& f = fixture();
  std::ostringstream report;
  for (auto _ : state) {
    report.str("");
    RegionSet seg = extractRegions(f.frame, 10, f.dir, &report);
    std::vector<SegmentPrediction> predictions = f.model.classify(seg.statistics);
    const Eigen::VectorXd labels = f.model.labelSegments(predictions, seg);
    benchmark::DoNotOptimize(labels.data());
    state.counters["regions"] = seg.count;
  }
  state.counters["samples"] = f.model.sampleCount;
}
BENCHMARK(BM_Annotation640x480)->Unit(benchmark::kMillisecond)->UseRealTime();

// A 768×576 demo frame annotated two ways, side by side: the default run
// (covariance model, default segmentation) and the fine one (about 400
// regions a frame, a model of 500 embedding samples, vehicle rule off). The
// models are prepared once, as the cache does for repeated runs.
struct FineFixture {
  fs::path dir;
  RegionClassifier defaultModel;
  RegionClassifier fineModel;
  SegmentationParams fine{0.5f, 100.0f, 100};
  cv::Mat frame;

  FineFixture() {
    dir = fs::temp_directory_path() /
          ("rovelin-bench-fine-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    writeDemoScene(dir, DemoSceneOptions{768, 576, 24});
    TrainingOptions options;
    options.video = (dir / "demo.avi").string();
    options.factor = 1.0;
    options.classList = dir / "classes.txt";
    options.workDir = dir;
    for (int f : {0, 4, 8, 16, 20}) {
      options.frames.push_back({f, dir / ("labels_" + std::to_string(f) + ".png")});
    }
    std::ostringstream log;
    std::istringstream coarseText(formatTrainingFile(collectTrainingSet(options, &log)));
    defaultModel = RegionClassifier::load(coarseText, "default model");
    options.segmentation = fine;
    options.descriptor = DescriptorKind::Embedding;
    options.maxPerClass = 100;
    std::istringstream fineText(formatTrainingFile(collectTrainingSet(options, &log)));
    fineModel =
        RegionClassifier::load(fineText, "fine model", RegionClassifier::kRegionDescriptorOrders);
    VideoFrameSource video(options.video, 1.0);
    video.grabFrame(12);
    frame = video.output.clone();
  }
  ~FineFixture() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

FineFixture& fineFixture() {
  static FineFixture f;
  return f;
}

// Argument 0: the default run; 1: the fine run.
void BM_Annotation768x576(benchmark::State& state) {
  FineFixture& f = fineFixture();
  const bool fine = state.range(0) == 1;
  const RegionClassifier& model = fine ? f.fineModel : f.defaultModel;
  std::ostringstream report;
  for (auto _ : state) {
    report.str("");
    RegionSet seg = fine ? extractRegions(f.frame, 10, f.dir, &report, nullptr, f.fine,
                                          DescriptorKind::Embedding)
                         : extractRegions(f.frame, 10, f.dir, &report);
    std::vector<SegmentPrediction> predictions = model.classify(seg.statistics);
    const Eigen::VectorXd labels = model.labelSegments(predictions, seg, !fine);
    benchmark::DoNotOptimize(labels.data());
    state.counters["regions"] = seg.count;
  }
  state.counters["samples"] = model.sampleCount;
}
BENCHMARK(BM_Annotation768x576)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace rovelin
