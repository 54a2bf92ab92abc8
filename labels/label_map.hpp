// SPDX-License-Identifier: Apache-2.0
// Label maps: the ground truth that training and evaluation compare regions
// with.
//
// A label map gives every pixel of a frame a class number: 0 is unlabelled,
// k is the k-th class of the class list. Its kind follows the file's
// extension:
//
//  - ".png", palette: the indices are class numbers (the form this tool
//    writes; the palette's colours are only for viewing).
//  - ".png", one channel (8 or 16 bit): the pixel values are class numbers.
//  - ".png", colour (RGB or RGBA, 8 bit): colours are looked up in the class
//    list; black, and any pixel with alpha 0, is unlabelled.
//  - ".json": a polygon annotation (labels/polygon_annotation.hpp).
//
// A map has either the video's frame size, and is then brought to the scaled
// size by nearest-neighbour sampling, or the scaled size itself.
#pragma once

#include "labels/class_list.hpp"
#include "labels/polygon_annotation.hpp"

#include <opencv2/core.hpp>

#include <filesystem>
#include <string>
#include <vector>

namespace rovelin {

// Reads a label map and returns a CV_32SC1 matrix of class numbers
// (0..classes.size()) at `scaledSize`. Throws LabelMapError.
// `reading` applies to JSON annotations.
cv::Mat readLabelMap(const std::filesystem::path& path, const std::vector<ClassEntry>& classes,
                     cv::Size frameSize, cv::Size scaledSize,
                     const AnnotationReading& reading = {});

// PNG bytes of a label map: `classNumbers` (CV_32SC1, 0 no class, k the
// k-th class) of the `rgb.size()` classes whose colours (red first) `rgb`
// gives. A palette PNG (entry 0 black, entry k the k-th colour) for up to 255
// classes, else 16-bit grey. Throws Error for values beyond the classes.
std::string encodeLabelMapPng(const cv::Mat& classNumbers, const std::vector<cv::Vec3b>& rgb);

// Writes encodeLabelMapPng's bytes to `path`, complete or not at all
// (written under a temporary name in the same directory, then renamed).
// Throws LabelMapError.
void writeLabelMapPng(const std::filesystem::path& path, const cv::Mat& classNumbers,
                      const std::vector<cv::Vec3b>& rgb);

}  // namespace rovelin
