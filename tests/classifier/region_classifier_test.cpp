// SPDX-License-Identifier: Apache-2.0
#include "classifier/region_classifier.hpp"
#include "statistics/riemannian_distances.hpp"
#include "util/parallel.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
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

constexpr double kTwoPi = 6.283185307179586;

// Two classes of d = 2 descriptors: near the identity and near 4·identity.
const char* const kModel =
    "6 2 2 3 inner 3 outer 1 0.5 0.5 1 "
    "1 1 0 1  1 1.2 0.1 0.9  1 0.8 0 1.1 "
    "2 4 0 4  2 4.5 0.3 3.8  2 3.6 -0.2 4.2";

RegionClassifier model() {
  std::istringstream in(kModel);
  return RegionClassifier::load(in, "model.txt", 2);
}

// exp of the log densities, entry by entry (0 where it underflows).
Eigen::VectorXd densities(const TrainingClass& c, const std::vector<CovarianceDescriptor>& test) {
  return c.logDensities(test).unaryExpr([](double v) { return std::exp(v); });
}

CovarianceDescriptor descriptor(double a, double b, double c) {
  CovarianceDescriptor x;
  x.setFromPacked((Eigen::VectorXd(3) << a, b, c).finished(), 2);
  return x;
}

TEST(Classify, LogDomainDensitiesAgreeWithThePlainFormula) {
  const RegionClassifier m = model();
  std::vector<CovarianceDescriptor> test = {descriptor(1, 0, 1), descriptor(2.3, 0, 2.3),
                                            descriptor(5, 0, 3)};
  for (int k = 0; k < 2; ++k) {
    const TrainingClass& c = m.trainingClass(k);
    const Eigen::MatrixXd Dtest = crossSquaredDistances(test, c.samples);
    const Eigen::VectorXd dens = densities(c, test);
    for (int i = 0; i < 3; ++i) {
      const double plain = (-0.5 * Dtest.row(i).array() / c.bandwidth).exp().mean() *
                           std::pow(kTwoPi * c.bandwidth, -1.0);
      EXPECT_NEAR(dens[i], plain, 1e-13 * plain) << "class " << k << " test " << i;
    }
  }
  const std::vector<SegmentPrediction> pred = m.classify(test);
  ASSERT_EQ(pred.size(), 3u);
  EXPECT_EQ(pred[0].topLabel(), 0);
  EXPECT_EQ(pred[2].topLabel(), 1);
  for (const SegmentPrediction& p : pred) {
    EXPECT_EQ(p.classCount, 2);
    EXPECT_NEAR(p.probs.sum(), 1.0, 1e-15);
  }
  // Between the classes (K = 2): ratio = p / (1 − p).
  ASSERT_GT(pred[1].probs[1], 0.01);
  EXPECT_NEAR(pred[1].ratio, pred[1].probs[0] / (1.0 - pred[1].probs[0]), 1e-12 * pred[1].ratio);
  // Against the plain posterior.
  const Eigen::VectorXd d0 = densities(m.trainingClass(0), test);
  const Eigen::VectorXd d1 = densities(m.trainingClass(1), test);
  EXPECT_NEAR(pred[1].probs[0], std::max(d0[1], d1[1]) / (d0[1] + d1[1]), 1e-14);
}

TEST(Classify, RegionsFarFromEveryClassStillGetDefinedPosteriors) {
  const RegionClassifier m = model();
  // Far beyond every sample: every kernel value underflows, so the plain
  // densities are 0 under both classes and their posterior would be 0/0.
  std::vector<CovarianceDescriptor> test = {descriptor(1e150, 0, 1e150),
                                            descriptor(1e-150, 0, 1e-150)};
  EXPECT_EQ(densities(m.trainingClass(0), test), Eigen::Vector2d::Zero());
  EXPECT_EQ(densities(m.trainingClass(1), test), Eigen::Vector2d::Zero());
  const Eigen::VectorXd l0 = m.trainingClass(0).logDensities(test);
  const Eigen::VectorXd l1 = m.trainingClass(1).logDensities(test);
  ASSERT_TRUE(l0.allFinite() && l1.allFinite());
  const std::vector<SegmentPrediction> pred = m.classify(test);
  for (int i = 0; i < 2; ++i) {
    const SegmentPrediction& p = pred[static_cast<std::size_t>(i)];
    ASSERT_TRUE(p.probs.allFinite());
    EXPECT_NEAR(p.probs.sum(), 1.0, 1e-15);
    // The posterior follows the log densities: the runner-up gets
    // exp(−|Δ|)/(1 + exp(−|Δ|)), here 0 in double precision.
    EXPECT_EQ(p.topLabel(), l0[i] >= l1[i] ? 0 : 1);
    const double odds = std::exp(-std::abs(l0[i] - l1[i]));
    EXPECT_NEAR(p.probs[1], odds / (1.0 + odds), 1e-15);
  }
}

TEST(Classify, ResultsDoNotDependOnTheThreadCount) {
  const RegionClassifier m = model();
  std::vector<CovarianceDescriptor> test;
  for (int i = 0; i < 40; ++i) test.push_back(descriptor(0.5 + 0.1 * i, 0.01 * i, 4.0 - 0.08 * i));
  setThreadCount(1);
  const std::vector<SegmentPrediction> one = m.classify(test);
  setThreadCount(2);
  const std::vector<SegmentPrediction> two = m.classify(test);
  setThreadCount(0);
  for (std::size_t i = 0; i < test.size(); ++i) {
    EXPECT_EQ(one[i].probs, two[i].probs);
    EXPECT_EQ(one[i].labels, two[i].labels);
  }
  // Descriptors of another order are refused, not read out of bounds.
  CovarianceDescriptor three;
  three.setFromPacked(Eigen::VectorXd::Ones(6), 3);
  std::vector<CovarianceDescriptor> wrong = {three};
  EXPECT_THROW(m.classify(wrong), std::invalid_argument);
  EXPECT_TRUE(m.classify(std::span<const CovarianceDescriptor>()).empty());
}

}  // namespace
}  // namespace rovelin
