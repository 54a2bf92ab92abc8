// SPDX-License-Identifier: Apache-2.0
// Processor time of our segmentImage beside OpenCV contrib's graph
// segmentation (ximgproc) on the same 768×576 demo frame with the same
// sigma, k and minimum size. Timing only: the other smooths the picture its
// own way and differs in details, so the two results are not compared.
// Built only where the ximgproc module is installed (libopencv-contrib-dev).
//
// Argument 0: our default parameters (sigma 1, k 500, minimum size 500);
// argument 1: sigma 0.8, k 300, minimum size 500. OpenCV runs on the calling
// thread alone (cv::setNumThreads(1)), as segmentImage does, so processor
// time compares like with like.
#include "bench/demo_scene_fixture.hpp"
#include "pipeline/region_extraction.hpp"
#include "segmentation/segment_image.hpp"
#include "util/clock.hpp"

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/ximgproc/segmentation.hpp>

#include <cstdint>

namespace rovelin {
namespace {

SegmentationParams benchParams(std::int64_t which) {
  if (which == 1) return SegmentationParams{0.8f, 300.0f, 500};
  return SegmentationParams{};
}

struct SegmentationFixture {
  bench::DemoSceneFolder scene{DemoSceneOptions{768, 576, 24}};
  cv::Mat frame = scene.frame(12);  // BGR, as OpenCV takes it
  GridImage<RgbPixel> picture = rgbPicture(frame);
};

const SegmentationFixture& fixture() {
  static const SegmentationFixture f;
  return f;
}

// OpenCV's own pool is held to the calling thread while a benchmark runs.
class OneOpenCvThread {
public:
  OneOpenCvThread() : previous_(cv::getNumThreads()) { cv::setNumThreads(1); }
  ~OneOpenCvThread() { cv::setNumThreads(previous_); }
  OneOpenCvThread(const OneOpenCvThread&) = delete;
  OneOpenCvThread& operator=(const OneOpenCvThread&) = delete;

private:
  int previous_;
};

cv::Ptr<cv::ximgproc::segmentation::GraphSegmentation> ximgprocSegmenter(
    const SegmentationParams& p) {
  return cv::ximgproc::segmentation::createGraphSegmentation(p.sigma, p.k, p.minSize);
}

double ourSegmentation(const SegmentationFixture& f, const SegmentationParams& p, int& segments) {
  const double t0 = threadProcessorSeconds();
  const GridImage<RgbPixel> out = segmentImage(f.picture, p, segments);
  benchmark::DoNotOptimize(out.data());
  return threadProcessorSeconds() - t0;
}

double ximgprocSegmentation(const SegmentationFixture& f,
                            cv::ximgproc::segmentation::GraphSegmentation& segmenter,
                            cv::Mat& labels) {
  const double t0 = threadProcessorSeconds();
  segmenter.processImage(f.frame, labels);
  benchmark::DoNotOptimize(labels.data);
  return threadProcessorSeconds() - t0;
}

void BM_OurSegmentation768x576(benchmark::State& state) {
  const SegmentationFixture& f = fixture();
  const SegmentationParams p = benchParams(state.range(0));
  int segments = 0;
  for (auto _ : state) ourSegmentation(f, p, segments);
  state.counters["segments"] = segments;
}

void BM_XimgprocSegmentation768x576(benchmark::State& state) {
  const SegmentationFixture& f = fixture();
  const OneOpenCvThread oneThread;
  const auto segmenter = ximgprocSegmenter(benchParams(state.range(0)));
  cv::Mat labels;
  for (auto _ : state) ximgprocSegmentation(f, *segmenter, labels);
  double maxLabel = 0;
  cv::minMaxLoc(labels, nullptr, &maxLabel);
  state.counters["segments"] = maxLabel + 1;
}

// Both in turn within each iteration, so a load that comes and goes weighs on
// the two alike; counters: processor milliseconds of each and ours / theirs.
void BM_SegmentationVsXimgproc768x576(benchmark::State& state) {
  const SegmentationFixture& f = fixture();
  const OneOpenCvThread oneThread;
  const SegmentationParams p = benchParams(state.range(0));
  const auto segmenter = ximgprocSegmenter(p);
  cv::Mat labels;
  int segments = 0;
  double ours = 0;
  double theirs = 0;
  for (auto _ : state) {
    ours += ourSegmentation(f, p, segments);
    theirs += ximgprocSegmentation(f, *segmenter, labels);
  }
  state.counters["ours_ms"] = bench::avgMs(ours);
  state.counters["ximgproc_ms"] = bench::avgMs(theirs);
  state.counters["ratio"] = theirs > 0 ? ours / theirs : 0.0;
}

BENCHMARK(BM_OurSegmentation768x576)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_XimgprocSegmentation768x576)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_SegmentationVsXimgproc768x576)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace
}  // namespace rovelin
