// SPDX-License-Identifier: Apache-2.0
// The region stage without the segmentation: feature planes, colour codes and
// the region set, on synthetic frames whose segmentation image is a Voronoi
// partition with a chosen number of cells. Time per pixel should stay flat
// when the region count grows at a fixed frame size.
#include "features/feature_planes.hpp"
#include "features/region_set.hpp"

#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

struct Scene {
  cv::Mat frame;
  cv::Mat segmented;
};

// Voronoi cells of `regions` random seeds, each cell one distinct colour;
// nearest seeds are found on a coarse grid of buckets.
Scene makeScene(int width, int height, int regions) {
  cv::RNG rng(12345);
  Scene scene;
  scene.frame.create(height, width, CV_8UC3);
  rng.fill(scene.frame, cv::RNG::UNIFORM, 0, 256);

  std::vector<cv::Point> seeds(regions);
  for (auto& s : seeds) s = {rng.uniform(0, width), rng.uniform(0, height)};
  const int cell = 32;
  const int gridW = (width + cell - 1) / cell, gridH = (height + cell - 1) / cell;
  std::vector<std::vector<int>> buckets(static_cast<std::size_t>(gridW) * gridH);
  for (int i = 0; i < regions; ++i)
    buckets[(seeds[i].y / cell) * gridW + seeds[i].x / cell].push_back(i);

  scene.segmented.create(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      int best = 0;
      long bestDistance = -1;
      for (int radius = 0; bestDistance < 0 || radius <= 2; ++radius) {
        const int gx = x / cell, gy = y / cell;
        for (int by = std::max(0, gy - radius); by <= std::min(gridH - 1, gy + radius); ++by)
          for (int bx = std::max(0, gx - radius); bx <= std::min(gridW - 1, gx + radius); ++bx)
            for (int i : buckets[by * gridW + bx]) {
              const long dx = seeds[i].x - x, dy = seeds[i].y - y;
              const long d = dx * dx + dy * dy;
              if (bestDistance < 0 || d < bestDistance || (d == bestDistance && i < best)) {
                bestDistance = d;
                best = i;
              }
            }
        if (radius > gridW + gridH) break;
      }
      const std::uint32_t colour = static_cast<std::uint32_t>(best) * 2654435761u % 16777216u;
      scene.segmented.at<cv::Vec3b>(y, x) = {static_cast<std::uint8_t>(colour >> 16),
                                             static_cast<std::uint8_t>(colour >> 8),
                                             static_cast<std::uint8_t>(colour)};
    }
  }
  return scene;
}

void BM_RegionStage(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  const Scene scene = makeScene(width, height, static_cast<int>(state.range(2)));
  int count = 0;
  for (auto _ : state) {
    const std::vector<cv::Mat> planes = rovelin::computeFeaturePlanes(scene.frame);
    const rovelin::RegionSet regions =
        rovelin::buildRegionSet(planes, rovelin::colourCodes(scene.segmented));
    count = regions.count;
    benchmark::DoNotOptimize(regions.eccentricity.data());
  }
  state.counters["regions"] = count;
  state.counters["seconds_per_pixel"] = benchmark::Counter(
      static_cast<double>(width) * height,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(BM_RegionStage)
    ->Args({640, 480, 300})
    ->Args({640, 480, 2000})
    ->Args({768, 576, 50})
    ->Args({768, 576, 400})
    ->Args({1280, 720, 300})
    ->Args({1280, 720, 2000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
