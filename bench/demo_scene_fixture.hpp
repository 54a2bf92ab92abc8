// SPDX-License-Identifier: Apache-2.0
// The demo scene in a temporary folder of its own (removed afterwards), and
// models trained on its frames as rovelin-train trains them; the stage
// counters the benchmarks share.
#pragma once

#include "pipeline/video_frame_source.hpp"
#include "segmentation/segment_image.hpp"
#include "tools/demo_scene.hpp"
#include "tools/training_builder.hpp"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <initializer_list>
#include <random>
#include <sstream>
#include <string>
#include <system_error>

namespace rovelin::bench {

// A counter of milliseconds per iteration from seconds summed over the
// benchmark's iterations.
inline benchmark::Counter avgMs(double seconds) {
  return benchmark::Counter(seconds * 1e3, benchmark::Counter::kAvgIterations);
}

// The stages of `total`, summed over the benchmark's iterations, as
// counters of milliseconds per iteration.
inline void addStageCounters(benchmark::State& state, const SegmentationStageTimes& total) {
  state.counters["smooth_ms"] = avgMs(total.smoothing);
  state.counters["edges_ms"] = avgMs(total.edges);
  state.counters["sort_ms"] = avgMs(total.sort);
  state.counters["merge_ms"] = avgMs(total.merge);
  state.counters["small_ms"] = avgMs(total.smallComponents);
  state.counters["colour_ms"] = avgMs(total.colouring);
}

struct DemoSceneFolder {
  std::filesystem::path dir;

  explicit DemoSceneFolder(const DemoSceneOptions& scene) {
    dir = std::filesystem::temp_directory_path() /
          ("rovelin-bench-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    writeDemoScene(dir, scene);
  }
  ~DemoSceneFolder() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  DemoSceneFolder(const DemoSceneFolder&) = delete;
  DemoSceneFolder& operator=(const DemoSceneFolder&) = delete;

  // Training on the label maps of `frames`, with the defaults of rovelin-train.
  TrainingOptions training(std::initializer_list<int> frames) const {
    TrainingOptions options;
    options.video = (dir / "demo.avi").string();
    options.factor = 1.0;
    options.classList = dir / "classes.txt";
    options.workDir = dir;
    for (int f : frames)
      options.frames.push_back({f, dir / ("labels_" + std::to_string(f) + ".png")});
    return options;
  }

  // Frame `number` of the video as the annotator reads it.
  cv::Mat frame(int number) const {
    VideoFrameSource video((dir / "demo.avi").string(), 1.0);
    video.grabFrame(number);
    return video.output.clone();
  }
};

// The training-data file for `options`, as text.
inline std::string trainedModelText(const TrainingOptions& options) {
  std::ostringstream log;
  return formatTrainingFile(collectTrainingSet(options, &log));
}

}  // namespace rovelin::bench
