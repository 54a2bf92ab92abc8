// SPDX-License-Identifier: Apache-2.0
// Labels scored against ground truth: how a frame's regions overlap the
// classes of a label map.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace rovelin {

// For every region of `regionIndex` (CV_32SC1, 0 <= index < regionCount)
// the number of its pixels of each value 0..classCount of `labels`
// (CV_32SC1 class numbers, 0 unlabelled, k class k − 1, same size).
std::vector<std::vector<long long>> regionClassHistograms(const cv::Mat& regionIndex,
                                                          int regionCount, const cv::Mat& labels,
                                                          int classCount);

// Pixel accuracy over the labelled pixels of `truth` (CV_32SC1 class
// numbers, 0 unlabelled, k class k − 1) of the labels `regionClass` gives
// each region of `regionIndex`, and the intersection-over-union of every
// class, as the lines the run prints on standard error.
std::string evaluateLabels(const cv::Mat& truth, const cv::Mat& regionIndex,
                           const std::vector<int>& regionClass,
                           const std::vector<std::string>& names);

}  // namespace rovelin
