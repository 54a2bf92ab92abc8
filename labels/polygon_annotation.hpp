// SPDX-License-Identifier: Apache-2.0
// Polygon annotations: label maps drawn as shapes in JSON, in the form
// common to image-annotation tools. Shapes are drawn in file order, so later
// shapes cover earlier ones; "shape_type" is "polygon" (at least 3 points;
// the default when absent) or "rectangle" (2 points, opposite corners, pixels
// whose centres lie inside or on the edge) or "circle" (2 points, the centre
// and a point on the circle; pixels whose centres lie inside or on it).
// Shapes without an area ("line", "linestrip", "point", "points") are
// skipped, with one warning for the file. Coordinates are pixel
// coordinates in the frame of imageWidth x imageHeight, integer values at
// pixel centres.
//
//     {"imageWidth": 640, "imageHeight": 480, "shapes": [
//       {"label": "grass", "points": [[0,300],[639,300],[639,479],[0,479]]},
//       {"label": "sky", "shape_type": "rectangle", "points": [[0,0],[639,120]]}]}
#pragma once

#include "labels/class_list.hpp"

#include <opencv2/core.hpp>

#include <cstddef>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace rovelin {

// Largest side of a label map or annotation; larger ones are refused before
// anything is decoded or drawn.
inline constexpr int kMaxLabelMapSide = 16384;

// Most points a shape of an annotation may have; more are refused.
inline constexpr std::size_t kMaxShapeVertices = 10'000;

// How to treat what an annotation holds beyond the classes' shapes.
struct AnnotationReading {
  bool ignoreUnknown = false;        // skip shapes of labels not in the class list
  std::ostream* warnings = nullptr;  // one "Warning : ..." line per file and cause, if set
};

// Parses a JSON polygon annotation and rasterises it at the annotation's own
// size, which must be one of `allowedSizes`, as a CV_32SC1 matrix of class
// numbers. `sourceName` is used in messages. Throws LabelMapError.
cv::Mat rasteriseJsonAnnotation(std::istream& in, const std::string& sourceName,
                                const std::vector<ClassEntry>& classes,
                                const std::vector<cv::Size>& allowedSizes,
                                const AnnotationReading& reading = {});

// The labels the shapes of an annotation use, each once, in order of first
// appearance (shapes without a label string are passed over). Throws
// LabelMapError when `in` is not a JSON object with a "shapes" array.
std::vector<std::string> annotationLabels(std::istream& in, const std::string& sourceName);

}  // namespace rovelin
