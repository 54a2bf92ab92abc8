// SPDX-License-Identifier: Apache-2.0
#include "segmentation/segmentation_params.hpp"

#include <cmath>
#include <sstream>
#include <stdexcept>

namespace rovelin {

std::string segmentationParamsProblem(const SegmentationParams& params) {
  std::ostringstream why;
  if (!std::isfinite(params.sigma) || params.sigma < 0.0f ||
      params.sigma > SegmentationParams::kMaxSigma) {
    why << "sigma must be a number from 0 to " << SegmentationParams::kMaxSigma << ", not "
        << params.sigma;
  } else if (!std::isfinite(params.k) || params.k < 0.0f) {
    why << "k must be a finite number of at least 0, not " << params.k;
  } else if (params.minSize < 1) {
    why << "the minimum size must be a whole number of at least 1, not " << params.minSize;
  }
  return why.str();
}

void checkSegmentationParams(const SegmentationParams& params) {
  const std::string problem = segmentationParamsProblem(params);
  if (!problem.empty()) throw std::invalid_argument(problem);
}

}  // namespace rovelin
