// SPDX-License-Identifier: Apache-2.0
#include "classifier/region_classifier.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace rovelin {
namespace {

// A model with class names and a context matrix only: labelling reads
// nothing else.
RegionClassifier makeModel(const std::vector<std::string>& names, const Eigen::MatrixXd& context) {
  RegionClassifier model;
  model.classCount = static_cast<int>(names.size());
  model.context = context;
  auto classes = std::make_shared<std::vector<TrainingClass>>(names.size());
  for (std::size_t k = 0; k < names.size(); ++k) {
    (*classes)[k].name = names[k];
    (*classes)[k].index = static_cast<int>(k);
  }
  model.classes = std::move(classes);
  return model;
}

// Probabilities per class (unnormalised on purpose, so exact ratios are easy
// to write), ranked.
SegmentPrediction prediction(std::initializer_list<double> perClass) {
  SegmentPrediction p;
  p.classCount = static_cast<int>(perClass.size());
  p.probs.resize(p.classCount);
  p.labels.resize(p.classCount);
  int r = 0;
  for (double v : perClass) {
    p.probs[r] = v;
    p.labels[r] = r;
    ++r;
  }
  p.rankClasses();
  return p;
}

RegionSet makeRegions(std::vector<int> pixels,
                      const std::vector<std::tuple<int, int, double>>& overlaps,
                      std::vector<double> eccentricity = {}) {
  RegionSet seg;
  seg.count = static_cast<int>(pixels.size());
  seg.pixelCounts = std::move(pixels);
  std::vector<Eigen::Triplet<double>> t;
  for (const auto& [i, j, v] : overlaps) {
    t.emplace_back(i, j, v);
    t.emplace_back(j, i, v);
  }
  seg.overlap.resize(seg.count, seg.count);
  seg.overlap.setFromTriplets(t.begin(), t.end());
  if (eccentricity.empty()) eccentricity.assign(seg.pixelCounts.size(), 0.0);
  seg.eccentricity = Eigen::Map<Eigen::VectorXd>(eccentricity.data(),
                                                 static_cast<Eigen::Index>(eccentricity.size()));
  return seg;
}

Eigen::MatrixXd ones(int k) { return Eigen::MatrixXd::Ones(k, k); }

TEST(SegmentLabelling, ContextReweightsUncertainNeighboursWithoutRenormalising) {
  Eigen::MatrixXd context = ones(3);
  context.col(0) << 10.0, 0.5, 1.0;  // what fits beside a confident class 0
  context.col(1) << 1.0, 1.0, 8.0;   // beside class 1
  RegionClassifier model = makeModel({"sky", "road", "tree"}, context);

  std::vector<SegmentPrediction> pred = {
      prediction({0.625, 0.0625, 0.03125}),  // confident class 0 (ratio 10)
      prediction({0.3, 0.4, 0.3}),           // uncertain, top class 1
      prediction({0.3, 0.35, 0.35}),         // uncertain, overlaps region 1 only
  };
  RegionSet seg = makeRegions({100, 100, 100}, {{0, 1, 0.5}, {1, 2, 0.5}});
  Eigen::VectorXd labels = model.labelSegments(pred, seg);

  // Region 1: class 0 ×10, class 1 ×0.5, class 2 ×1 → 3.0, 0.2, 0.3.
  EXPECT_EQ(pred[1].labels, (Eigen::VectorXi(3) << 0, 2, 1).finished());
  EXPECT_DOUBLE_EQ(pred[1].probs[0], 3.0);
  EXPECT_NEAR(pred[1].ratio, 10.0, 1e-12);
  // The rule leaves the labels themselves alone.
  EXPECT_EQ(labels[1], 1.0);
  // Region 1 became confident during the sweep, so it then reweights region 2
  // with the column of its label (1), not of its new top class (0).
  EXPECT_EQ(pred[2].labels, (Eigen::VectorXi(3) << 2, 1, 0).finished());
  EXPECT_DOUBLE_EQ(pred[2].probs[0], 0.35 * 8.0);
  EXPECT_EQ(labels[2], 1.0);
}

TEST(SegmentLabelling, ContextThresholdsAreStrict) {
  Eigen::MatrixXd context = ones(3);
  context.col(0) << 10.0, 0.5, 1.0;
  RegionClassifier model = makeModel({"sky", "road", "tree"}, context);
  const SegmentPrediction uncertain = prediction({0.3, 0.4, 0.3});

  // Confident ratio exactly 5.0 does not drive its neighbour.
  std::vector<SegmentPrediction> pred = {prediction({0.625, 0.125, 0.0625}), uncertain};
  ASSERT_EQ(pred[0].ratio, 5.0);
  model.labelSegments(pred, makeRegions({100, 100}, {{0, 1, 0.5}}));
  EXPECT_EQ(pred[1].probs, uncertain.probs);

  // Overlap exactly 0.1 is no neighbour.
  pred = {prediction({0.625, 0.0625, 0.03125}), uncertain};
  model.labelSegments(pred, makeRegions({100, 100}, {{0, 1, 0.1}}));
  EXPECT_EQ(pred[1].probs, uncertain.probs);

  // A neighbour with ratio exactly 2.0 is not uncertain.
  pred = {prediction({0.625, 0.0625, 0.03125}), prediction({0.25, 0.5, 0.25})};
  ASSERT_EQ(pred[1].ratio, 2.0);
  model.labelSegments(pred, makeRegions({100, 100}, {{0, 1, 0.5}}));
  EXPECT_EQ(pred[1].topLabel(), 1);
  EXPECT_EQ(pred[1].probs[0], 0.5);

  // Just above 0.1 it is.
  pred = {prediction({0.625, 0.0625, 0.03125}), uncertain};
  model.labelSegments(pred, makeRegions({100, 100}, {{0, 1, 0.1000001}}));
  EXPECT_EQ(pred[1].topLabel(), 0);
}

TEST(SegmentLabelling, LargeRegionsPassTheirLabelToSmallOverlappingOnes) {
  RegionClassifier model = makeModel({"sky", "road", "tree"}, ones(3));
  auto run = [&](std::vector<int> pixels, double ov, std::initializer_list<double> second) {
    std::vector<SegmentPrediction> pred = {prediction({0.5, 0.3, 0.2}), prediction(second)};
    return model.labelSegments(pred, makeRegions(std::move(pixels), {{0, 1, ov}}));
  };
  // Overlap exactly 0.25 counts; more than five times the pixels propagate.
  EXPECT_EQ(run({501, 100}, 0.25, {0.2, 0.5, 0.3}), Eigen::Vector2d(0, 0));
  // Exactly five times does not; nor does an overlap below 0.25.
  EXPECT_EQ(run({500, 100}, 0.25, {0.2, 0.5, 0.3}), Eigen::Vector2d(0, 1));
  EXPECT_EQ(run({501, 100}, 0.2499, {0.2, 0.5, 0.3}), Eigen::Vector2d(0, 1));
  // The smaller region may come first.
  EXPECT_EQ(run({100, 501}, 0.3, {0.2, 0.5, 0.3}), Eigen::Vector2d(1, 1));
  // A receiving region with ratio exactly 5.0 is confident enough to keep its label.
  EXPECT_EQ(run({501, 100}, 0.3, {0.125, 0.625, 0.0625}), Eigen::Vector2d(0, 1));
  EXPECT_EQ(run({501, 100}, 0.3, {0.125, 0.62, 0.0625}), Eigen::Vector2d(0, 0));

  // Chain: 0 → 1 at pair (0, 1), then the copied label 1 → 2 at pair (1, 2).
  std::vector<SegmentPrediction> pred = {prediction({0.5, 0.3, 0.2}), prediction({0.3, 0.5, 0.2}),
                                         prediction({0.3, 0.2, 0.5})};
  Eigen::VectorXd labels =
      model.labelSegments(pred, makeRegions({10000, 1000, 100}, {{0, 1, 0.3}, {1, 2, 0.4}}));
  EXPECT_EQ(labels, Eigen::Vector3d(0, 0, 0));

  // Pixel counts whose five-fold exceeds 32 bits still compare correctly.
  EXPECT_EQ(run({2'000'000'000, 300'000'000}, 0.3, {0.2, 0.5, 0.3}), Eigen::Vector2d(0, 0));
}

TEST(SegmentLabelling, ElongatedRegionsAreNotVehicles) {
  RegionClassifier model = makeModel({"road", "car", "tree", "Car", "vehicles", "cars2"}, ones(6));
  auto labelOf = [&](std::initializer_list<double> probs, double ecc) {
    std::vector<SegmentPrediction> pred = {prediction(probs)};
    return model.labelSegments(pred, makeRegions({100}, {}, {ecc}))[0];
  };
  EXPECT_EQ(labelOf({0.1, 0.5, 0.3, 0.0, 0.1, 0.0}, 0.9), 2.0);   // car → next best, tree
  EXPECT_EQ(labelOf({0.1, 0.5, 0.3, 0.0, 0.1, 0.0}, 0.8), 1.0);   // exactly 0.8 is not elongated
  EXPECT_EQ(labelOf({0.1, 0.0, 0.2, 0.5, 0.1, 0.0}, 0.95), 3.0);  // "Car" differs in case
  EXPECT_EQ(labelOf({0.1, 0.0, 0.2, 0.0, 0.1, 0.5}, 0.95), 5.0);  // "cars2" has an added character
  EXPECT_EQ(labelOf({0.3, 0.0, 0.2, 0.0, 0.5, 0.0}, 0.95), 0.0);  // "vehicles"

  // A vehicle label taken over from a large region is moved on again, here
  // back to the small region's own top class.
  std::vector<SegmentPrediction> pred = {prediction({0.1, 0.6, 0.3, 0, 0, 0}),
                                         prediction({0.5, 0.2, 0.3, 0, 0, 0})};
  Eigen::VectorXd labels =
      model.labelSegments(pred, makeRegions({1000, 100}, {{0, 1, 0.5}}, {0.1, 0.9}));
  EXPECT_EQ(labels, Eigen::Vector2d(1, 0));
}

TEST(SegmentLabelling, RejectsInputsThatDoNotMatch) {
  RegionClassifier model = makeModel({"sky", "road"}, ones(2));
  std::vector<SegmentPrediction> pred = {prediction({0.5, 0.5})};
  EXPECT_THROW(model.labelSegments(pred, makeRegions({10, 10}, {})), std::invalid_argument);
  std::vector<SegmentPrediction> three = {prediction({0.5, 0.3, 0.2})};
  EXPECT_THROW(model.labelSegments(three, makeRegions({10}, {})), std::invalid_argument);
  pred[0].labels[0] = 7;
  EXPECT_THROW(model.labelSegments(pred, makeRegions({10}, {})), std::invalid_argument);
  std::vector<SegmentPrediction> none;
  EXPECT_EQ(model.labelSegments(none, makeRegions({}, {})).size(), 0);
}

}  // namespace
}  // namespace rovelin
