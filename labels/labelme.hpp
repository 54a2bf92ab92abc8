// SPDX-License-Identifier: Apache-2.0
// labelme's JSON for one frame: every connected piece of a region as a
// polygon through the centres of its border pixels, enclosing pieces first,
// and the frame's picture named beside it.
//
//     {"version": "5.1.1", "flags": {}, "shapes": [{"label": "sky",
//       "points": [[0, 0], [319, 0], [319, 80], [0, 80]], "group_id": null,
//       "shape_type": "polygon", "flags": {}}, ...],
//      "imagePath": "frame_000006.png", "imageData": null,
//      "imageHeight": 240, "imageWidth": 320}
//
// labelme fills a polygon with its outline and paints later shapes over
// earlier ones; its polygons have no holes, so a piece inside another is
// written after it.
#pragma once

#include "labels/coco.hpp"

#include <string>
#include <vector>

namespace rovelin {

struct LabelmeFile {
  std::string json;
  // The share of the frame's pixels whose class the shapes, painted as
  // labelme paints them, do not give back (regions of no class included).
  double mismatch = 0.0;
};

// The labelme file of `frame`, whose classes `names` name, its picture
// `imagePath` (relative to the file), outlines simplified at `tolerance`
// pixels.
LabelmeFile writeLabelmeJson(const RegionLabels& frame, const std::vector<std::string>& names,
                             const std::string& imagePath, double tolerance);

// Paints `shapes` (class numbers from 1, points on pixel centres) into a
// CV_32SC1 map of `size` that starts at 0, in order, each polygon filled as
// labelme's picture library fills it: the pixels inside and on the outline.
cv::Mat paintCentrePolygons(cv::Size size,
                            const std::vector<std::pair<int, std::vector<cv::Point>>>& shapes);

}  // namespace rovelin
