// SPDX-License-Identifier: Apache-2.0
// Squared Riemannian distances: one pair beside a plain Eigen
// eigenvalues-only solve of the same matrix, and the distance matrices on
// one and two threads.
#include "statistics/riemannian_distances.hpp"
#include "util/parallel.hpp"

#include <benchmark/benchmark.h>

#include <Eigen/Eigenvalues>

#include <random>
#include <vector>

namespace {

// Well-conditioned random SPD descriptors of order 10, the same every run.
std::vector<rovelin::CovarianceDescriptor> randomDescriptors(int count, unsigned long seed) {
  std::mt19937_64 generator(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<rovelin::CovarianceDescriptor> descriptors;
  descriptors.reserve(static_cast<std::size_t>(count));
  for (int k = 0; k < count; ++k) {
    Eigen::MatrixXd A(10, 10);
    for (Eigen::Index i = 0; i < A.size(); ++i) A(i) = normal(generator);
    const Eigen::MatrixXd sigma = A * A.transpose() / 10.0 + Eigen::MatrixXd::Identity(10, 10);
    descriptors.emplace_back(sigma, 0);
  }
  return descriptors;
}

// A lone pair: the lanes of the batched kernel stay idle.
void BM_SquaredDistanceLonePair(benchmark::State& state) {
  const auto descriptors = randomDescriptors(64, 1);
  std::size_t k = 0;
  for (auto _ : state) {
    const double value =
        rovelin::squaredRiemannianDistance(descriptors[k % 64], descriptors[(k + 1) % 64]);
    benchmark::DoNotOptimize(value);
    ++k;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SquaredDistanceLonePair)->Unit(benchmark::kMicrosecond);

// Times `distances()`, a distance matrix of `pairs` distances, on `threads`
// worker threads.
template <typename Distances>
void timeDistances(benchmark::State& state, int threads, long pairs, const Distances& distances) {
  rovelin::setThreadCount(threads);
  for (auto _ : state) {
    const Eigen::MatrixXd D = distances();
    benchmark::DoNotOptimize(D.data());
  }
  rovelin::setThreadCount(0);
  state.SetItemsProcessed(state.iterations() * pairs);
}

// One squared distance as the distance matrices compute it: a row of 64
// pairs sharing the first of `descriptors` (65), one thread. Time per pair
// is 1 / items_per_second.
void distanceRow(benchmark::State& state,
                 const std::vector<rovelin::CovarianceDescriptor>& descriptors) {
  const std::span<const rovelin::CovarianceDescriptor> columns(descriptors.data() + 1, 64);
  timeDistances(state, 1, 64, [&] {
    return rovelin::crossSquaredDistances(std::span(descriptors.data(), 1), columns);
  });
}

void BM_SquaredDistance(benchmark::State& state) { distanceRow(state, randomDescriptors(65, 2)); }
BENCHMARK(BM_SquaredDistance)->Unit(benchmark::kMicrosecond);

// Gaussian embeddings (order 11) of random samples with a mean of a few
// units per feature, the same every run.
std::vector<rovelin::CovarianceDescriptor> randomEmbeddings(int count, unsigned long seed) {
  std::mt19937_64 generator(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<rovelin::CovarianceDescriptor> descriptors(static_cast<std::size_t>(count));
  for (auto& descriptor : descriptors) {
    Eigen::MatrixXd samples(10, 40);
    const double mean = 3.0 * normal(generator);
    for (Eigen::Index i = 0; i < samples.size(); ++i) samples(i) = mean + normal(generator);
    descriptor.computeEmbeddingFromSamples(samples);
  }
  return descriptors;
}

// BM_SquaredDistance for order-11 embeddings. Its time per pair over
// BM_SquaredDistance's is the cost of the embedding's extra order.
void BM_SquaredDistanceOrder11(benchmark::State& state) {
  distanceRow(state, randomEmbeddings(65, 2));
}
BENCHMARK(BM_SquaredDistanceOrder11)->Unit(benchmark::kMicrosecond);

// The plain reference: Eigen's fixed-size eigenvalues-only solve of M alone
// (the two products forming M are not even counted).
void BM_EigenBaselineEigenvaluesOnly(benchmark::State& state) {
  const auto descriptors = randomDescriptors(64, 1);
  std::vector<Eigen::Matrix<double, 10, 10>> matrices;
  for (int k = 0; k < 64; ++k)
    matrices.emplace_back(descriptors[k].inverseSqrt * descriptors[(k + 1) % 64].covariance *
                          descriptors[k].inverseSqrt);
  std::size_t k = 0;
  Eigen::SelfAdjointEigenSolver<Eigen::Matrix<double, 10, 10>> solver;
  for (auto _ : state) {
    solver.compute(matrices[k % 64], Eigen::EigenvaluesOnly);
    benchmark::DoNotOptimize(solver.eigenvalues().data());
    ++k;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EigenBaselineEigenvaluesOnly)->Unit(benchmark::kMicrosecond);

// Argument: thread count.
void BM_PairwiseSquaredDistances500(benchmark::State& state) {
  const auto descriptors = randomDescriptors(500, 3);
  timeDistances(state, static_cast<int>(state.range(0)), 500 * 499 / 2,
                [&] { return rovelin::pairwiseSquaredDistances(descriptors); });
}
BENCHMARK(BM_PairwiseSquaredDistances500)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// 300 regions against 2,000 training samples. Argument: thread count.
void BM_CrossSquaredDistances300x2000(benchmark::State& state) {
  const auto rows = randomDescriptors(300, 4);
  const auto columns = randomDescriptors(2000, 5);
  timeDistances(state, static_cast<int>(state.range(0)), 300 * 2000,
                [&] { return rovelin::crossSquaredDistances(rows, columns); });
}
BENCHMARK(BM_CrossSquaredDistances300x2000)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
