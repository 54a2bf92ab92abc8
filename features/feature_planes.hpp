// SPDX-License-Identifier: Apache-2.0
// The region-feature stage: the ten feature planes of a frame and the
// region identity of every pixel of its segmentation.
#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace rovelin {

// Every element of the 8-bit `source` divided by 255.0 and rounded to float
// once: a 32-bit float image of the source's size and channel count.
cv::Mat toFloatImage(const cv::Mat& source);

// Central differences over the element stream of `source` (CV_32FC1 or
// CV_32FC3, channels interleaved); dx and dy are CV_32FC1 of the source's
// width and height and receive the first width×height elements.
void firstDerivatives(const cv::Mat& source, cv::Mat& dx, cv::Mat& dy);

// The ten CV_32FC1 feature planes of an 8-bit 3-channel (BGR) frame.
std::vector<cv::Mat> computeFeaturePlanes(const cv::Mat& frame);

// Exact colour identity of every pixel of an 8-bit BGR segmentation image:
// r + 256·g + 65536·b, CV_32SC1.
cv::Mat colourCodes(const cv::Mat& segmented);

}  // namespace rovelin
