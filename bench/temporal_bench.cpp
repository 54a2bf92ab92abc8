// SPDX-License-Identifier: Apache-2.0
#include "classifier/temporal_filter.hpp"

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>

#include <vector>

// One frame through the temporal filter at 768x576 with 5 classes and 400 regions.
static void BM_TemporalFilterFrame(benchmark::State& state) {
  const int rows = 576, cols = 768, k = 5, regions = 400;
  cv::Mat index(rows, cols, CV_32SC1);
  cv::randu(index, 0, regions);
  std::vector<float> p(static_cast<std::size_t>(regions * k), 0.2f);
  cv::Mat a(rows, cols, CV_8UC3), b(rows, cols, CV_8UC3);
  cv::randu(a, 0, 256);
  cv::randu(b, 0, 256);
  TemporalFilter filter(10.0f, 0.05f);
  bool odd = false;
  for (auto _ : state) {
    benchmark::DoNotOptimize(filter.update(odd ? a : b, index, p, k));
    odd = !odd;
  }
}
BENCHMARK(BM_TemporalFilterFrame)->Unit(benchmark::kMillisecond);
