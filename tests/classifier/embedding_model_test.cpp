// SPDX-License-Identifier: Apache-2.0
// Models of Gaussian embeddings: a file of order 11 loads and classifies,
// other orders than 10 and 11 are refused where regions are classified.
#include "classifier/region_classifier.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <sstream>

namespace rovelin {
namespace {

using ::testing::HasSubstr;

CovarianceDescriptor embeddingOf(double brightness, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0.0, 2.0);
  Eigen::MatrixXd samples(10, 60);
  for (int j = 0; j < samples.cols(); ++j)
    for (int i = 0; i < 10; ++i) samples(i, j) = (i < 3 ? brightness : 1.0) + noise(random);
  CovarianceDescriptor descriptor;
  descriptor.computeEmbeddingFromSamples(samples);
  return descriptor;
}

TEST(EmbeddingModel, OrderElevenLoadsAndOtherOrdersAreRefused) {
  // Two classes with the same noise and different brightness.
  std::ostringstream file;
  file.precision(std::numeric_limits<double>::max_digits10);
  file << "6 11 2\n3 dark 3 bright\n1 0\n0 1\n";
  for (int c = 0; c < 2; ++c) {
    for (unsigned s = 0; s < 3; ++s) {
      file << c + 1;
      const Eigen::VectorXd packed = embeddingOf(c == 0 ? 40.0 : 160.0, 10 * c + s).packed();
      for (Eigen::Index i = 0; i < packed.size(); ++i) file << " " << packed[i];
      file << "\n";
    }
  }
  std::istringstream in(file.str());
  const RegionClassifier model =
      RegionClassifier::load(in, "model.txt", RegionClassifier::kRegionDescriptorOrders);
  EXPECT_EQ(model.dimension, 11);
  EXPECT_TRUE(model.trainingClass(0).samples[0].embedding);
  const std::vector<CovarianceDescriptor> test = {embeddingOf(150.0, 99), embeddingOf(45.0, 98)};
  const auto predictions = model.classify(test);
  EXPECT_EQ(predictions[0].topLabel(), 1);
  EXPECT_EQ(predictions[1].topLabel(), 0);

  std::istringstream twelve("4 12 2 2 a 2 b 1 0 0 1");
  try {
    RegionClassifier::load(twelve, "model.txt", RegionClassifier::kRegionDescriptorOrders);
    ADD_FAILURE() << "an order-12 file was accepted";
  } catch (const TrainingDataError& e) {
    EXPECT_THAT(e.what(),
                HasSubstr("model.txt: line 1, token 2: the matrix order d = 12 is neither 10 "
                          "(covariance descriptors) nor 11 (Gaussian embeddings)"));
  }
}

}  // namespace
}  // namespace rovelin
