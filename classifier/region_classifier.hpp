// SPDX-License-Identifier: Apache-2.0
// The classifier model: training samples grouped by class, the class-context
// matrix, a kernel density classifier over covariance descriptors and the
// rules that turn predictions into one label per region.
//
// Training-data file: whitespace-separated tokens, line structure carries no
// meaning. N (samples), d (matrix order: 10 for covariance descriptors, 11
// for Gaussian embeddings), K (classes);
// K class entries "count name"; the K×K context matrix row by row; N samples,
// each a 1-based class number and the d(d+1)/2 lower-triangle values row by
// row. For example, N = 4, d = 2, K = 2:
//
//   4 2 2   2 sky 2 road   1 0.5 0.5 1
//   1 4 0 9   1 4 1 5   2 1 0 1   2 2 0 3
#pragma once

#include "classifier/segment_prediction.hpp"
#include "features/region_set.hpp"
#include "statistics/covariance_descriptor.hpp"

#include <Eigen/Core>

#include <functional>
#include <iosfwd>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace rovelin {

// A training file that cannot be opened or is malformed. what() names the
// file and the problem (without the "Error : " prefix).
class TrainingDataError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The training file could not be opened at all (the driver then prints the
// line "unable to open file" before its own error line).
class TrainingFileUnreadable : public TrainingDataError {
public:
  using TrainingDataError::TrainingDataError;
};

// Kernel variance the bandwidth fixed point starts from for a class of n
// samples: 1.1236 · n^0.4.
double initialBandwidth(int n);

// What preparing a class computes from its samples, as a cache keeps it.
struct PreparedClass {
  Eigen::MatrixXd distances;    // n×n squared distances
  double bandwidth = 0;         // kernel variance h
  int bandwidthIterations = 0;  // fixed-point steps that chose it
};

struct TrainingClass {
  static constexpr int kMaxBandwidthIterations = 25;
  static constexpr double kBandwidthTolerance = 1e-8;  // on successive values of h

  int dimension = 0;                          // d
  int sampleCount = 0;                        // n, samples of this class
  int index = 0;                              // 0-based position in the class table
  std::string name;                           // one word
  double bandwidth = 0;                       // kernel variance h
  std::vector<CovarianceDescriptor> samples;  // this class's samples, file order
  Eigen::MatrixXd distances;                  // n×n squared distances
  int bandwidthIterations = 0;                // fixed-point steps selectBandwidth ran

  void computeDistances();
  // Fixed point for h: start 1.1236·n^0.4, at most 25 iterations, tolerance 1e-8.
  // Each sample's ratio is formed from kernel values scaled by the largest
  // of its column, so a sample far from all others cannot turn h into 0/0.
  // Stops early if h leaves (0, ∞), which the loader then rejects.
  void selectBandwidth();
  // Log of the kernel density of every test descriptor under this class
  // (log-sum-exp, so far descriptors keep a finite value). A distance that
  // is not finite contributes a kernel value of 0.
  Eigen::VectorXd logDensities(std::span<const CovarianceDescriptor> test) const;
  // The same from the squared distances of the test descriptors (rows) to
  // this class's samples (columns).
  Eigen::VectorXd logDensitiesFromDistances(const Eigen::MatrixXd& dtest) const;
};

class RegionClassifier {
public:
  // Caps checked before anything is sized from the file's counts.
  static constexpr int kMaxSamples = 10'000'000;
  static constexpr int kMaxDimension = 64;
  static constexpr int kMaxClasses = 10'000;
  static constexpr int kMaxTokenLength = 256;
  // expectedDimension that accepts what regions can be described by: order
  // 10 (covariances of the ten features) or 11 (their Gaussian embeddings).
  static constexpr int kRegionDescriptorOrders = -1;

  std::string fileName;
  int dimension = 0;        // d
  int sampleCount = 0;      // N
  int classCount = 0;       // K
  Eigen::MatrixXd context;  // K×K
  // Shared, immutable after loading: copies of the model are cheap.
  std::shared_ptr<const std::vector<CovarianceDescriptor>> samples;
  std::shared_ptr<const std::vector<int>> sampleLabels;  // 0-based class of every sample
  std::shared_ptr<const std::vector<TrainingClass>> classes;

  // Why `name` cannot be a class name of a training file ("" when it can):
  // a name is one token, so it is not empty, holds no blank (space, tab,
  // line break, form feed) and has at most kMaxTokenLength characters.
  static std::string classNameProblem(const std::string& name);

  RegionClassifier() = default;
  // Loads and prepares the model. Throws TrainingFileUnreadable when the file cannot be
  // opened, TrainingDataError naming the file, the token or sample and the
  // problem for a malformed file.
  explicit RegionClassifier(const std::string& fileName, int expectedDimension = 10);
  // The same from a stream; `name` is used in messages.
  static RegionClassifier load(std::istream& in, const std::string& name,
                               int expectedDimension = 10);
  // The same, taking each class's distances and bandwidth from `prepared`
  // (one entry per class, in class order, sized to the class) instead of
  // computing them; used by the prepared-model cache. std::invalid_argument
  // when `prepared` does not fit the file's classes.
  static RegionClassifier load(std::istream& in, const std::string& name, int expectedDimension,
                               const std::vector<PreparedClass>& prepared);
  // Chooses, once the last sample has been read, what preparing the classes
  // may skip: given every class's sample count, the prepared classes to
  // take (one per class, sized to it, with a positive finite bandwidth), or
  // null to prepare the classes afresh.
  using PreparedSource =
      std::function<const std::vector<PreparedClass>*(const std::vector<int>& classSizes)>;
  // The same, asking `source` for prepared classes.
  static RegionClassifier load(std::istream& in, const std::string& name, int expectedDimension,
                               const PreparedSource& source);

  // What preparing each class computed, in class order.
  std::vector<PreparedClass> preparedClasses() const;

private:
  static RegionClassifier readModel(std::istream& in, const std::string& name,
                                    int expectedDimension, const PreparedSource& source);

public:
  const TrainingClass& trainingClass(int k) const { return (*classes)[k]; }

  // One ranked prediction per test descriptor. Posteriors are computed in the
  // log domain, so they are defined even where every kernel value underflows.
  // A descriptor whose log density is -inf under every class (only possible
  // with non-finite distances) gets equal probabilities.
  std::vector<SegmentPrediction> classify(std::span<const CovarianceDescriptor> test) const;
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
