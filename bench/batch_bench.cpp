// SPDX-License-Identifier: Apache-2.0
// A whole batch as a user runs it: 24 frames of the 768×576 demo video with
// a JSON file per frame, through the same run the command line makes, at 1
// and 2 threads (frames in flight). Reports frames per second.
#include "driver/annotation.hpp"
#include "driver/options.hpp"
#include "tools/demo_scene.hpp"
#include "tools/training_builder.hpp"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace rovelin {
namespace {

namespace fs = std::filesystem;

constexpr int kBatchFrames = 24;

struct BatchFixture {
  fs::path dir;

  BatchFixture() {
    dir = fs::temp_directory_path() /
          ("rovelin-batch-bench-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir / "out");
    writeDemoScene(dir, DemoSceneOptions{768, 576, kBatchFrames});
    TrainingOptions options;
    options.video = (dir / "demo.avi").string();
    options.factor = 1.0;
    options.classList = dir / "classes.txt";
    options.workDir = dir;
    for (int f : {0, 8, 16}) {
      options.frames.push_back({f, dir / ("labels_" + std::to_string(f) + ".png")});
    }
    std::ostringstream log;
    std::ofstream(dir / "model.txt") << formatTrainingFile(collectTrainingSet(options, &log));
  }
  ~BatchFixture() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

BatchFixture& batchFixture() {
  static BatchFixture f;
  return f;
}

void BM_Batch768x576(benchmark::State& state) {
  BatchFixture& f = batchFixture();
  Options options;
  options.videoName = (f.dir / "demo.avi").string();
  options.resizeFactor = 1.0;
  options.trainingFile = (f.dir / "model.txt").string();
  options.gui = false;
  options.framesToEnd = true;
  options.jsonPath = (f.dir / "out" / "{frame}.json").string();
  options.threads = static_cast<int>(state.range(0));
  const fs::path before = fs::current_path();
  fs::current_path(f.dir);  // the work files land beside the video
  for (auto _ : state) {
    std::ostringstream out;
    std::ostringstream err;
    if (runAnnotation(options, out, err) != kExitSuccess) {
      state.SkipWithError(err.str().c_str());
      break;
    }
    benchmark::DoNotOptimize(out.str().size());
  }
  fs::current_path(before);
  state.counters["frames_per_second"] = benchmark::Counter(
      static_cast<double>(kBatchFrames) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Batch768x576)->Arg(1)->Arg(2)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(2);

}  // namespace
}  // namespace rovelin
