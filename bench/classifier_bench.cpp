// SPDX-License-Identifier: Apache-2.0
// Model preparation (loading, per-class distances and bandwidths) and
// classification of a frame's regions against a 2,000-sample model.
#include "classifier/region_classifier.hpp"
#include "util/parallel.hpp"

#include <benchmark/benchmark.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace rovelin {
namespace {

constexpr int kDimension = 10;
constexpr int kSamples = 2000;
constexpr int kClasses = 4;
constexpr int kRegions = 300;

// Random SPD matrix with eigenvalues kept away from 0 (A·Aᵀ/d + 0.5·I),
// scaled per class so the classes differ.
Eigen::MatrixXd randomSpd(std::mt19937& rng, double scale) {
  std::normal_distribution<double> g(0.0, 1.0);
  Eigen::MatrixXd a(kDimension, kDimension);
  for (int i = 0; i < a.size(); ++i) a.data()[i] = g(rng);
  return scale *
         (a * a.transpose() / kDimension + 0.5 * Eigen::MatrixXd::Identity(kDimension, kDimension));
}

std::string modelText() {
  std::mt19937 rng(42);
  std::ostringstream out;
  out.precision(17);
  out << kSamples << ' ' << kDimension << ' ' << kClasses << '\n';
  for (int k = 0; k < kClasses; ++k) out << kSamples / kClasses << " class" << k << '\n';
  for (int r = 0; r < kClasses; ++r) {
    for (int c = 0; c < kClasses; ++c) out << (r == c ? 1.0 : 0.5) << ' ';
    out << '\n';
  }
  for (int j = 0; j < kSamples; ++j) {
    const int k = j % kClasses;
    const Eigen::MatrixXd s = randomSpd(rng, 1.0 + k);
    out << k + 1;
    for (int r = 0; r < kDimension; ++r)
      for (int c = 0; c <= r; ++c) out << ' ' << s(r, c);
    out << '\n';
  }
  return out.str();
}

const std::string& modelTextOnce() {
  static const std::string text = modelText();
  return text;
}

// Argument: worker threads.
void BM_PrepareModel2000(benchmark::State& state) {
  const std::string& text = modelTextOnce();
  setThreadCount(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::istringstream in(text);
    RegionClassifier model = RegionClassifier::load(in, "bench", kDimension);
    benchmark::DoNotOptimize(model.trainingClass(0).bandwidth);
  }
}
BENCHMARK(BM_PrepareModel2000)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();

void BM_SelectBandwidth500(benchmark::State& state) {
  std::istringstream in(modelTextOnce());
  const RegionClassifier model = RegionClassifier::load(in, "bench", kDimension);
  TrainingClass c = model.trainingClass(0);
  for (auto _ : state) {
    c.selectBandwidth();
    benchmark::DoNotOptimize(c.bandwidth);
  }
}
BENCHMARK(BM_SelectBandwidth500)->Unit(benchmark::kMillisecond);

void BM_Classify300Regions(benchmark::State& state) {
  setThreadCount(0);
  std::istringstream in(modelTextOnce());
  const RegionClassifier model = RegionClassifier::load(in, "bench", kDimension);
  std::mt19937 rng(7);
  std::vector<CovarianceDescriptor> regions;
  for (int i = 0; i < kRegions; ++i) regions.emplace_back(randomSpd(rng, 1.0 + i % kClasses), 100);
  setThreadCount(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::vector<SegmentPrediction> pred = model.classify(regions);
    benchmark::DoNotOptimize(pred.data());
  }
}
BENCHMARK(BM_Classify300Regions)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace rovelin
