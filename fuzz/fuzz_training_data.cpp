// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the training-data loader. The first byte picks the matrix
// order the loader expects (2, the small test layout, or 10, the system's
// own); the rest is the file.
#include "classifier/region_classifier.hpp"
#include "fuzz/fuzz_check.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Model preparation grows with the square of the sample count; a few
  // kilobytes already hold more samples than the loader's checks need.
  if (size < 1 || size > 8192) {
    return 0;
  }
  const int expected = (data[0] & 1) != 0 ? 10 : 2;
  std::istringstream in(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  try {
    const rovelin::RegionClassifier model =
        rovelin::RegionClassifier::load(in, "fuzz.txt", expected);
    // A model the loader accepts must be whole and usable.
    rovelin::abortIf(model.dimension != expected || model.classCount < 2 || !model.classes ||
                     static_cast<int>(model.classes->size()) != model.classCount);
    int samples = 0;
    for (int c = 0; c < model.classCount; ++c) {
      const double h = model.trainingClass(c).bandwidth;
      rovelin::abortIf(!(h > 0.0) || !std::isfinite(h));
      samples += static_cast<int>(model.trainingClass(c).samples.size());
    }
    rovelin::abortIf(samples != model.sampleCount);
    const std::vector<rovelin::SegmentPrediction> predictions = model.classify(
        std::span<const rovelin::CovarianceDescriptor>(model.trainingClass(0).samples.data(), 1));
    // Probabilities must stay defined and sum to one.
    rovelin::abortIf(predictions.size() != 1 || !predictions[0].probs.allFinite() ||
                     std::abs(predictions[0].probs.sum() - 1.0) > 1e-9);
  } catch (const rovelin::TrainingDataError&) {
  }
  return 0;
}
