// SPDX-License-Identifier: Apache-2.0
// Indexed (palette) PNG: the form of every written label map with at most
// 255 classes. The pixel values are the class numbers and the palette holds
// the class colours, so a viewer shows colours while the numbers stay exact.
//
// OpenCV cannot write palette PNGs and decodes them to colour, which loses
// the indices; this unit reads and writes them with libpng.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace rovelin {

// Encodes `indices` (CV_8UC1, every value < palette size) as an 8-bit
// palette PNG; `rgb` holds the palette, red first, at most 256 entries.
// Throws Error when the image or palette is unusable.
std::string encodeIndexedPng(const cv::Mat& indices, const std::vector<cv::Vec3b>& rgb);

// True when `data` is a PNG whose header says it is palette-coloured.
bool isIndexedPng(std::string_view data);

// Decodes a palette PNG to its indices (CV_8UC1), whatever its bit depth.
// `source` names it in messages. Throws LabelMapError when the data is not
// a valid palette PNG.
cv::Mat decodeIndexedPng(std::string_view data, const std::string& source);

}  // namespace rovelin
