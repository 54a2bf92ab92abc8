// SPDX-License-Identifier: Apache-2.0
// The classifier model: the classes of a training-data file prepared for
// kernel density classification of covariance descriptors, the class-context
// matrix, and the rules that turn predictions into one label per region.
#pragma once

#include "classifier/density_pruning.hpp"
#include "classifier/segment_prediction.hpp"
#include "classifier/training_class.hpp"
#include "classifier/training_file.hpp"
#include "features/region_set.hpp"
#include "statistics/covariance_descriptor.hpp"

#include <Eigen/Core>

#include <functional>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace rovelin {

class RegionClassifier {
public:
  // expectedDimension that accepts order 10 or 11 (see readTrainingData).
  static constexpr int kRegionDescriptorOrders = rovelin::kRegionDescriptorOrders;

  std::string fileName;
  int dimension = 0;        // d
  int sampleCount = 0;      // N
  int classCount = 0;       // K
  Eigen::MatrixXd context;  // K×K
  // Shared, immutable after loading: copies of the model are cheap.
  std::shared_ptr<const std::vector<TrainingClass>> classes;

  RegionClassifier() = default;
  // Loads and prepares the model. Throws TrainingFileUnreadable when the file cannot be
  // opened, TrainingDataError naming the file, the token or sample and the
  // problem for a malformed file.
  explicit RegionClassifier(const std::string& fileName, int expectedDimension = 10);
  // The same from a stream; `name` is used in messages.
  static RegionClassifier load(std::istream& in, const std::string& name,
                               int expectedDimension = 10);
  // Chooses, once the last sample has been read, what preparing the classes
  // may skip: given every class's sample count, the prepared classes to
  // take (one per class, sized to it, with a positive finite bandwidth), or
  // null to prepare the classes afresh.
  using PreparedSource =
      std::function<const std::vector<PreparedClass>*(const std::vector<int>& classSizes)>;
  // The same, taking each class's distances and bandwidth from what `source`
  // returns instead of computing them (the prepared-model cache);
  // std::invalid_argument when that does not fit the file's classes.
  static RegionClassifier load(std::istream& in, const std::string& name, int expectedDimension,
                               const PreparedSource& source);

  // What preparing each class computed, in class order.
  std::vector<PreparedClass> preparedClasses() const;

  const TrainingClass& trainingClass(int k) const { return (*classes)[k]; }

  // One ranked prediction per test descriptor. Posteriors are computed in the
  // log domain, so they are defined even where every kernel value underflows.
  // A descriptor whose log density is -inf under every class (only possible
  // with non-finite distances) gets equal probabilities. densityTolerance
  // 0 computes every pair; a positive one skips the pairs that cannot
  // matter to within it (prunedLogDensities states the bound).
  std::vector<SegmentPrediction> classify(std::span<const CovarianceDescriptor> test,
                                          double densityTolerance = 0.0,
                                          PruningCounts* counts = nullptr) const;
  // The same from per-class log densities (one row per region, one column per class).
  static std::vector<SegmentPrediction> classifyLogDensities(const Eigen::MatrixXd& logp);

  // Context, size and shape rules; entry i is the 0-based class index of
  // region i held as a double. predictions is changed (reweighted, re-ranked).
  // Throws std::invalid_argument when predictions and seg do not match the
  // model or each other. vehicleRule false leaves out the shape rule (an
  // elongated region may then be a vehicle).
  Eigen::VectorXd labelSegments(std::vector<SegmentPrediction>& predictions, const RegionSet& seg,
                                bool vehicleRule = true) const;
};

}  // namespace rovelin
