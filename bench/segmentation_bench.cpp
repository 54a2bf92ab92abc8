// SPDX-License-Identifier: Apache-2.0
// Speed of the segmentation against a comparison sort of its own edge array.
// The target: the whole of segmentImage at 640 x 480 takes less time than
// std::sort alone needs for the same (about 1.2 million) edges.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "bench/demo_scene_fixture.hpp"
#include "segmentation/segment_image.hpp"
#include "segmentation/smoothing.hpp"

namespace {

using rovelin::GraphEdge;
using rovelin::GridImage;
using rovelin::RgbPixel;

unsigned char clampByte(double v) { return static_cast<unsigned char>(std::clamp(v, 0.0, 255.0)); }

// A deterministic frame that looks like a scene: a sky-to-ground gradient,
// a few flat and shaded shapes, and sensor noise.
GridImage<RgbPixel> syntheticFrame(int w, int h) {
  GridImage<RgbPixel> frame(w, h);
  unsigned state = 2024u;
  for (int y = 0; y < h; ++y) {
    const double v = static_cast<double>(y) / h;
    for (int x = 0; x < w; ++x) {
      const double u = static_cast<double>(x) / w;
      double r = 90 + 80 * v + 20 * std::sin(6.0 * u);
      double g = 130 + 40 * v - 30 * u;
      double b = 210 - 150 * v;
      const double dx = u - 0.3;
      const double dy = v - 0.55;
      if (dx * dx + dy * dy < 0.02) {  // a shaded disc
        r = 200 - 300 * (dx * dx + dy * dy);
        g = 60;
        b = 40;
      }
      if (u > 0.6 && u < 0.85 && v > 0.3 && v < 0.8) {  // a box with stripes
        const bool stripe = (x / 12) % 2 == 0;
        r = stripe ? 40 : 70;
        g = stripe ? 90 : 110;
        b = 50 + 60 * u;
      }
      if (v > 0.85) {  // a textured floor
        r = 120 + 25 * std::sin(0.9 * x) * std::cos(0.7 * y);
        g = 100;
        b = 80;
      }
      state = state * 1664525u + 1013904223u;
      const double noise = static_cast<double>((state >> 24) % 13) - 6.0;
      frame(x, y) =
          RgbPixel{clampByte(r + noise), clampByte(g + noise * 0.8), clampByte(b - noise * 0.6)};
    }
  }
  return frame;
}

std::vector<GraphEdge> frameEdges(int w, int h) {
  const GridImage<RgbPixel> frame = syntheticFrame(w, h);
  GridImage<float> planes[3] = {GridImage<float>(w, h), GridImage<float>(w, h),
                                GridImage<float>(w, h)};
  for (std::size_t i = 0; i < frame.pixelCount(); ++i) {
    planes[0].data()[i] = frame.data()[i].r;
    planes[1].data()[i] = frame.data()[i].g;
    planes[2].data()[i] = frame.data()[i].b;
  }
  const GridImage<float> red = rovelin::smoothPlane(planes[0], 1.0f);
  const GridImage<float> green = rovelin::smoothPlane(planes[1], 1.0f);
  const GridImage<float> blue = rovelin::smoothPlane(planes[2], 1.0f);
  return rovelin::buildGraphEdges(red, green, blue);
}

void BM_SegmentImage(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0));
  const int h = static_cast<int>(state.range(1));
  const GridImage<RgbPixel> frame = syntheticFrame(w, h);
  rovelin::SegmentationStageTimes total;
  int num_ccs = 0;
  for (auto _ : state) {
    rovelin::SegmentationStageTimes times;
    GridImage<RgbPixel> out =
        rovelin::segmentImage(frame, rovelin::SegmentationParams{}, num_ccs, &times);
    benchmark::DoNotOptimize(out.data());
    total += times;
  }
  state.counters["segments"] = num_ccs;
  rovelin::bench::addStageCounters(state, total);
}

template <typename Sort>
void sortBenchmark(benchmark::State& state, Sort sort) {
  const std::vector<GraphEdge> edges =
      frameEdges(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  std::vector<GraphEdge> work;
  for (auto _ : state) {
    state.PauseTiming();
    work = edges;
    state.ResumeTiming();
    sort(work);
    benchmark::DoNotOptimize(work.data());
  }
  state.counters["edges"] = static_cast<double>(edges.size());
}

bool lighter(const GraphEdge& p, const GraphEdge& q) { return p.weight < q.weight; }

void BM_EdgeStdSort(benchmark::State& state) {
  sortBenchmark(state, [](std::vector<GraphEdge>& e) { std::sort(e.begin(), e.end(), lighter); });
}

void BM_EdgeStableSort(benchmark::State& state) {
  sortBenchmark(state,
                [](std::vector<GraphEdge>& e) { std::stable_sort(e.begin(), e.end(), lighter); });
}

void BM_EdgeRadixSort(benchmark::State& state) {
  sortBenchmark(state, [](std::vector<GraphEdge>& e) { rovelin::sortEdgesByWeight(e); });
}

}  // namespace

BENCHMARK(BM_SegmentImage)->Args({640, 480})->Args({1280, 720})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EdgeStdSort)->Args({640, 480})->Args({1280, 720})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EdgeStableSort)->Args({640, 480})->Args({1280, 720})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EdgeRadixSort)->Args({640, 480})->Args({1280, 720})->Unit(benchmark::kMillisecond);
