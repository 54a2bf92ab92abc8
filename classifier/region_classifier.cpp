// SPDX-License-Identifier: Apache-2.0
// The classifier model: loading and preparing the classes of a training-data
// file, classification, and the labelling rules.
//
// The labelling rules look at the layout of the regions: confident regions
// pull uncertain overlapping neighbours towards classes that fit them
// (context matrix), large regions hand their label to small ones they
// overlap, and elongated regions are not taken for vehicles. Overlap entries
// that are not stored are 0, so walking the stored entries of a row in
// ascending column order visits every pair that can pass a test, in the
// order a dense sweep would.
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

constexpr double kConfidentRatio = 5.0;  // context: a region this sure drives its neighbours
constexpr double kUncertainRatio = 2.0;  // context: neighbours less sure than this are reweighted
constexpr double kContextOverlap = 0.1;  // context: overlap that makes a neighbour
constexpr double kSizeOverlap = 0.25;    // size: overlap that lets a label pass
constexpr std::int64_t kSizeFactor = 5;  // size: how much larger the giving region must be
constexpr double kSizeConfidentRatio = 5.0;  // size: regions at least this sure keep their label
constexpr double kElongated = 0.8;  // shape: eccentricity above which a region is no vehicle

constexpr std::array<std::string_view, 4> kVehicleNames = {"car", "cars", "vehicle", "vehicles"};

bool isVehicle(const std::string& name) {
  for (std::string_view v : kVehicleNames) {
    if (name == v) return true;
  }
  return false;
}

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
    std::span<const CovarianceDescriptor> test) const {
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

Eigen::VectorXd RegionClassifier::labelSegments(std::vector<SegmentPrediction>& predictions,
                                                const RegionSet& seg, bool vehicleRule) const {
  using SparseRow = Eigen::SparseMatrix<double, Eigen::RowMajor>::InnerIterator;
  const int m = seg.count;
  const int k = classCount;
  if (!classes || static_cast<int>(classes->size()) != k || context.rows() != k ||
      context.cols() != k) {
    throw std::logic_error("labelSegments: the model is not loaded");
  }
  if (m < 0 || static_cast<int>(predictions.size()) != m ||
      static_cast<int>(seg.pixelCounts.size()) != m || seg.eccentricity.size() != m ||
      seg.overlap.rows() != m || seg.overlap.cols() != m) {
    throw std::invalid_argument("labelSegments: " + std::to_string(predictions.size()) +
                                " predictions for a region set of " + std::to_string(m) +
                                " regions (pixel counts, eccentricities and overlaps must match)");
  }
  for (int i = 0; i < m; ++i) {
    const SegmentPrediction& p = predictions[i];
    if (p.classCount != k || p.probs.size() != k || p.labels.size() != k) {
      throw std::invalid_argument("labelSegments: prediction " + std::to_string(i) +
                                  " does not rank the " + std::to_string(k) +
                                  " classes of the model");
    }
    for (int r = 0; r < k; ++r) {
      if (p.labels[r] < 0 || p.labels[r] >= k) {
        throw std::invalid_argument("labelSegments: prediction " + std::to_string(i) +
                                    " holds a class index outside the model");
      }
    }
  }
  // Labels travel as doubles with integral values; a value outside the class
  // range would index past the class table below.
  auto classOf = [k](double label) {
    const int c = static_cast<int>(label);
    if (c < 0 || c >= k) throw std::logic_error("labelSegments: label out of range");
    return c;
  };

  Eigen::VectorXd predLabels = Eigen::VectorXd::Zero(m);
  for (int i = 0; i < m; ++i) predLabels[i] = predictions[i].topLabel();

  // Context: confidence is read as it stands now, after any reweighting an
  // earlier region in this sweep did. Probabilities are deliberately left
  // unnormalised; only their order and ratio matter from here on.
  for (int i = 0; i < m; ++i) {
    if (!(predictions[i].ratio > kConfidentRatio)) continue;
    const int c = classOf(predLabels[i]);
    for (SparseRow it(seg.overlap, i); it; ++it) {
      const auto j = static_cast<int>(it.col());
      if (j == i) continue;
      SegmentPrediction& nb = predictions[j];
      if (it.value() > kContextOverlap && nb.ratio < kUncertainRatio) {
        for (int r = 0; r < k; ++r) nb.probs[r] *= context(nb.labels[r], c);
        nb.rankClasses();
      }
    }
  }

  // Size: pairs i < j in ascending order, so a label copied at one pair is
  // what a later pair passes on. Pixel counts are compared in 64 bits.
  for (int i = 0; i < m; ++i) {
    for (SparseRow it(seg.overlap, i); it; ++it) {
      const auto j = static_cast<int>(it.col());
      if (j <= i || !(it.value() >= kSizeOverlap)) continue;
      const std::int64_t pi = seg.pixelCounts[i];
      const std::int64_t pj = seg.pixelCounts[j];
      if (pi > kSizeFactor * pj && predictions[j].ratio < kSizeConfidentRatio) {
        predLabels[j] = predLabels[i];
      } else if (kSizeFactor * pi < pj && predictions[i].ratio < kSizeConfidentRatio) {
        predLabels[i] = predLabels[j];
      }
    }
  }

  // Shape: an elongated region is not a vehicle; it takes its best-ranked
  // other class.
  for (int i = 0; i < m && vehicleRule; ++i) {
    const int c = classOf(predLabels[i]);
    if (!isVehicle((*classes)[c].name) || !(seg.eccentricity[i] > kElongated)) continue;
    const SegmentPrediction& p = predictions[i];
    for (int r = 0; r < k; ++r) {
      if (p.labels[r] != c) {
        predLabels[i] = p.labels[r];
        break;
      }
    }
  }
  for (int i = 0; i < m; ++i) classOf(predLabels[i]);
  return predLabels;
}

}  // namespace rovelin
