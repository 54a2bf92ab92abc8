// SPDX-License-Identifier: Apache-2.0
// The labelling rules look at the layout of the regions: confident regions
// pull uncertain overlapping neighbours towards classes that fit them
// (context matrix), large regions hand their label to small ones they
// overlap, and elongated regions are not taken for vehicles. Overlap entries
// that are not stored are 0, so walking the stored entries of a row in
// ascending column order visits every pair that can pass a test, in the
// order a dense sweep would.
#include "classifier/labelling_rules.hpp"

#include "classifier/region_classifier.hpp"

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

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

}  // namespace

bool isVehicleClass(const std::string& name) {
  for (std::string_view v : kVehicleNames) {
    if (name == v) return true;
  }
  return false;
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
    if (!isVehicleClass((*classes)[c].name) || !(seg.eccentricity[i] > kElongated)) continue;
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
