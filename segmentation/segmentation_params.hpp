// SPDX-License-Identifier: Apache-2.0
// The three settings of the graph-based segmentation, with the values every
// run uses unless told otherwise.
#pragma once

#include <string>

namespace rovelin {

struct SegmentationParams {
  // Largest accepted sigma: the smoothing mask grows with 4·sigma, and far
  // above this the picture is blurred flat anyway.
  static constexpr float kMaxSigma = 100.0f;

  float sigma = 1.0f;  // Gaussian smoothing of the colour planes before the edges are weighed
  float k = 500.0f;    // merge threshold scale: larger k gives larger components
  int minSize = 500;   // components below this many pixels join a neighbour

  bool operator==(const SegmentationParams&) const = default;
};

// Empty when the parameters can be used; otherwise why not ("sigma must be
// ..."). Refused: a negative or non-finite sigma or k, sigma above
// kMaxSigma, a minimum size below 1.
std::string segmentationParamsProblem(const SegmentationParams& params);

// Throws std::invalid_argument with segmentationParamsProblem's text.
void checkSegmentationParams(const SegmentationParams& params);

}  // namespace rovelin
