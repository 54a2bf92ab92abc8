// SPDX-License-Identifier: Apache-2.0
// Scores of a frame's labels against a ground-truth label map.
#pragma once

#include "features/region_set.hpp"

#include <Eigen/Core>
#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace rovelin {

// Pixel accuracy over the labelled pixels of `truth` (CV_32SC1 class
// numbers, 0 unlabelled, k class k − 1) and the intersection-over-union of
// every class, as the lines the run prints on standard error.
std::string evaluateLabels(const cv::Mat& truth, const RegionSet& seg,
                           const Eigen::VectorXd& labels, const std::vector<std::string>& names);

}  // namespace rovelin
