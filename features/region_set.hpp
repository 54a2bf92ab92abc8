// SPDX-License-Identifier: Apache-2.0
// All regions of one frame: per-region pixel counts, bounding boxes,
// covariance descriptors of the feature planes, overlaps, moments and
// eccentricities, built in a few passes over the pixels.
#pragma once

#include "statistics/covariance_descriptor.hpp"

#include <Eigen/Core>
#include <Eigen/SparseCore>
#include <opencv2/core.hpp>

#include <vector>

namespace rovelin {

struct RegionSet {
  int count = 0;                 // number of regions n (distinct label codes)
  int segmentCount = 0;          // components the segmentation reported; more than count
                                 // when two of them were drawn the same colour
  cv::Size size;                 // width and height of the label image
  cv::Mat indexImage;            // CV_32SC1: region index (0..n-1) of every pixel
  std::vector<cv::Rect> boxes;   // bounding box of every region
  std::vector<int> pixelCounts;  // pixels of every region
  int planeCount = 0;            // number of feature planes (10)
  std::vector<CovarianceDescriptor> statistics;            // descriptor of every region
  DescriptorKind descriptor = DescriptorKind::Covariance;  // what `statistics` holds
  // Overlap ratio of the masks of regions i and j (symmetric, diagonal unset).
  // Regions are disjoint, so every stored entry is an exception; absent
  // entries are 0.
  Eigen::SparseMatrix<double, Eigen::RowMajor> overlap;
  std::vector<cv::Moments> moments;  // binary moments of every mask
  Eigen::VectorXd eccentricity;      // 0 for a disc or square (and a single pixel), 1 for a line
  int regularizedCount = 0;          // descriptors that needed the ridge (degenerate covariance)

  // Mask of region i: CV_8UC1 of `size`, 255 on its pixels, 0 elsewhere.
  cv::Mat mask(int i) const;
};

// Builds the set from the feature planes (planeCount CV_32FC1 images) and a
// CV_32SC1 image of region identities (any integer code per region). Regions
// are numbered in raster order of their first pixel. `descriptor` chooses
// what `statistics` holds: covariances (order planeCount) or Gaussian
// embeddings (order planeCount + 1).
RegionSet buildRegionSet(const std::vector<cv::Mat>& planes, const cv::Mat& labelImage,
                         DescriptorKind descriptor = DescriptorKind::Covariance);

// Sizes `overlap` to count × count. Every pixel of the index image carries
// exactly one region, so the masks are disjoint and no entry is stored.
void computeOverlap(RegionSet& regions);

// Fills `moments` (binary moments of every mask, central and normalised ones
// included) and `eccentricity` from the index image in one pass. The sums are
// exact integers; a region whose second central moments are all 0 (a single
// pixel) gets eccentricity 0 rather than 0/0.
void computeShape(RegionSet& regions);

}  // namespace rovelin
