// SPDX-License-Identifier: Apache-2.0
// The classifier model: loading and preparing the classes of a training-data
// file, and classification. The labelling rules are in labelling_rules.cpp.
#include "classifier/region_classifier.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace rovelin {

namespace {

// Checks that `prepared` fits the classes; std::invalid_argument when not.
void checkPrepared(const std::vector<PreparedClass>& prepared,
                   const std::vector<TrainingClass>& classes) {
  if (prepared.size() != classes.size()) {
    throw std::invalid_argument("prepared classes: " + std::to_string(prepared.size()) +
                                " given for " + std::to_string(classes.size()) + " classes");
  }
  for (std::size_t c = 0; c < classes.size(); ++c) {
    const PreparedClass& p = prepared[c];
    const int n = classes[c].sampleCount;
    if (p.distances.rows() != n || p.distances.cols() != n) {
      throw std::invalid_argument("prepared classes: class " + std::to_string(c + 1) + " has " +
                                  std::to_string(n) +
                                  " samples, the prepared distances another size");
    }
    if (!(p.bandwidth > 0.0) || !std::isfinite(p.bandwidth)) {
      throw std::invalid_argument("prepared classes: class " + std::to_string(c + 1) +
                                  " has no usable bandwidth");
    }
  }
}

}  // namespace

RegionClassifier::RegionClassifier(const std::string& path, int expectedDimension) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    throw TrainingFileUnreadable(path + ": is a directory, not a training data file");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) {
    throw TrainingFileUnreadable(path + ": the training data file cannot be opened");
  }
  *this = load(in, path, expectedDimension);
}

RegionClassifier RegionClassifier::load(std::istream& in, const std::string& name,
                                        int expectedDimension) {
  return load(in, name, expectedDimension, PreparedSource());
}

std::vector<PreparedClass> RegionClassifier::preparedClasses() const {
  std::vector<PreparedClass> result;
  if (classes) {
    for (const TrainingClass& tc : *classes) {
      result.push_back(PreparedClass{tc.distances, tc.bandwidth, tc.bandwidthIterations});
    }
  }
  return result;
}

RegionClassifier RegionClassifier::load(std::istream& in, const std::string& name,
                                        int expectedDimension, const PreparedSource& source) {
  TrainingData data = readTrainingData(in, name, expectedDimension);
  RegionClassifier model;
  model.fileName = name;
  model.dimension = data.dimension;
  model.classCount = static_cast<int>(data.classNames.size());
  model.context = std::move(data.context);
  auto classes = std::make_shared<std::vector<TrainingClass>>(data.classNames.size());
  std::vector<int> classSizes;
  for (int c = 0; c < model.classCount; ++c) {
    TrainingClass& tc = (*classes)[static_cast<std::size_t>(c)];
    tc.name = std::move(data.classNames[static_cast<std::size_t>(c)]);
    tc.dimension = data.dimension;
    tc.samples = std::move(data.samples[static_cast<std::size_t>(c)]);
    tc.sampleCount = static_cast<int>(tc.samples.size());
    model.sampleCount += tc.sampleCount;
    classSizes.push_back(tc.sampleCount);
  }

  const std::vector<PreparedClass>* prepared = source ? source(classSizes) : nullptr;
  if (prepared != nullptr) checkPrepared(*prepared, *classes);
  for (int c = 0; c < model.classCount; ++c) {
    TrainingClass& tc = (*classes)[static_cast<std::size_t>(c)];
    if (prepared != nullptr) {
      const PreparedClass& p = (*prepared)[static_cast<std::size_t>(c)];
      tc.distances = p.distances;
      tc.bandwidth = p.bandwidth;
      tc.bandwidthIterations = p.bandwidthIterations;
    } else {
      tc.computeDistances();
      tc.selectBandwidth();
    }
    if (!(tc.bandwidth > 0.0) || !std::isfinite(tc.bandwidth)) {
      throw TrainingDataError(name + ": class " + std::to_string(c + 1) + " '" + tc.name +
                              "': no kernel bandwidth can be chosen (its samples coincide)");
    }
  }
  model.classes = std::move(classes);
  return model;
}

std::vector<SegmentPrediction> RegionClassifier::classify(
    std::span<const CovarianceDescriptor> test, double densityTolerance,
    PruningCounts* counts) const {
  if (!classes || static_cast<int>(classes->size()) != classCount || classCount < 1) {
    throw std::logic_error("classify: the model is not loaded");
  }
  for (std::size_t i = 0; i < test.size(); ++i) {
    const CovarianceDescriptor& t = test[i];
    if (t.dimension != dimension || t.covariance.rows() != dimension ||
        t.inverseSqrt.rows() != dimension) {
      throw std::invalid_argument("classify: region " + std::to_string(i) +
                                  " has a descriptor of order " + std::to_string(t.dimension) +
                                  ", the model's samples have order " + std::to_string(dimension));
    }
  }
  if (densityTolerance != 0.0 || counts != nullptr) {
    return classifyLogDensities(prunedLogDensities(*classes, test, densityTolerance, counts));
  }
  const Eigen::Index m = static_cast<Eigen::Index>(test.size());
  Eigen::MatrixXd logp(m, classCount);
  for (int c = 0; c < classCount; ++c) logp.col(c) = (*classes)[c].logDensities(test);
  return classifyLogDensities(logp);
}

std::vector<SegmentPrediction> RegionClassifier::classifyLogDensities(const Eigen::MatrixXd& logp) {
  const Eigen::Index m = logp.rows();
  const int classCount = static_cast<int>(logp.cols());
  std::vector<SegmentPrediction> result(static_cast<std::size_t>(m));
  for (Eigen::Index i = 0; i < m; ++i) {
    const double top = logp.row(i).maxCoeff();
    Eigen::VectorXd v(classCount);
    if (top == -std::numeric_limits<double>::infinity()) {
      // Not one class gives this region a kernel value: nothing favours any of them.
      v.setConstant(1.0);
    } else {
      for (int c = 0; c < classCount; ++c) v[c] = std::exp(logp(i, c) - top);
    }
    v /= v.sum();
    result[static_cast<std::size_t>(i)].setProbabilities(v);
  }
  return result;
}

}  // namespace rovelin
