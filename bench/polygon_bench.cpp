// SPDX-License-Identifier: Apache-2.0
// Rasterising one polygon annotation of 100, 1,000 and 10,000 vertices on a
// 640x480 map: a star-like outline (few edges per row) and a comb whose
// every row crosses about a tenth of the edges. The cost should grow with
// vertices plus covered pixels.
#include "labels/polygon_annotation.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <sstream>
#include <string>

namespace {

std::string annotationJson(int vertices, bool comb) {
  std::ostringstream json;
  json << R"({"imageWidth": 640, "imageHeight": 480, "shapes": [{"label": "a", "points": [)";
  for (int i = 0; i < vertices; ++i) {
    double x = 0, y = 0;
    if (comb) {
      // Teeth down from the top edge: the inner rows cross many edges.
      const int teeth = vertices / 2;
      x = 640.0 * (i / 2) / teeth + (i % 2 == 0 ? 0.0 : 320.0 / teeth);
      y = (i / 2) % 2 == 0 ? (i % 2 == 0 ? 0.0 : 470.0) : (i % 2 == 0 ? 470.0 : 0.0);
    } else {
      const double a = 2 * std::numbers::pi * i / vertices;
      const double r = 200.0 + 30.0 * std::sin(17.0 * a);
      x = 320.0 + r * std::cos(a);
      y = 240.0 + r * std::sin(a);
    }
    json << (i ? "," : "") << '[' << x << ',' << y << ']';
  }
  json << "]}]}";
  return json.str();
}

void rasterise(benchmark::State& state, bool comb) {
  const std::string json = annotationJson(static_cast<int>(state.range(0)), comb);
  const std::vector<rovelin::ClassEntry> classes{{"a", {}}};
  for (auto _ : state) {
    std::istringstream in(json);
    benchmark::DoNotOptimize(
        rovelin::rasteriseJsonAnnotation(in, "bench.json", classes, {cv::Size(640, 480)}));
  }
}

void BM_RasteriseStarPolygon(benchmark::State& state) { rasterise(state, false); }
void BM_RasteriseCombPolygon(benchmark::State& state) { rasterise(state, true); }

BENCHMARK(BM_RasteriseStarPolygon)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RasteriseCombPolygon)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
