// SPDX-License-Identifier: Apache-2.0
// A whole batch as a user runs it: 24 frames of the 768×576 demo video with
// a JSON file per frame, through the same run the command line makes, at 1
// and 2 threads (frames in flight). Reports frames per second.
#include "bench/demo_scene_fixture.hpp"
#include "driver/annotation.hpp"
#include "driver/options.hpp"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace rovelin {
namespace {

namespace fs = std::filesystem;

constexpr int kBatchFrames = 24;

// The scene with a model trained on frames 0, 8 and 16, and a folder for the outputs.
struct BatchFixture {
  bench::DemoSceneFolder scene{DemoSceneOptions{768, 576, kBatchFrames}};

  BatchFixture() {
    fs::create_directories(scene.dir / "out");
    std::ofstream(scene.dir / "model.txt") << bench::trainedModelText(scene.training({0, 8, 16}));
  }
};

void BM_Batch768x576(benchmark::State& state) {
  static const BatchFixture fixture;
  const fs::path& dir = fixture.scene.dir;
  Options options;
  options.videoName = (dir / "demo.avi").string();
  options.resizeFactor = 1.0;
  options.trainingFile = (dir / "model.txt").string();
  options.gui = false;
  options.frames.toEnd = true;
  options.jsonPath = (dir / "out" / "{frame}.json").string();
  options.threads = static_cast<int>(state.range(0));
  const fs::path before = fs::current_path();
  fs::current_path(dir);  // the work files land beside the video
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
BENCHMARK(BM_Batch768x576)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kSecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(2);

}  // namespace
}  // namespace rovelin
