// A whole 640×480 annotation of a demo frame with a model trained on other
// demo frames: segmentation (with its two PPM files), feature planes and
// regions, classification and labelling. The report itself is not timed.
#include "classifier/region_classifier.hpp"
#include "driver/video_frame_source.hpp"
#include "features/feature_planes.hpp"
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

}  // namespace
}  // namespace rovelin
