// SPDX-License-Identifier: Apache-2.0
// A frame's regions as polygons, for the annotation tools that take shapes
// rather than masks. Every 4-connected piece of a region gets one outline,
// traced along the pixel edges with the piece on its right; holes are not
// traced, since these tools' polygons have none. The outlines come
// enclosing first: an outline precedes every outline inside it, so painted
// in order, later over earlier, they give back the pieces (exactly at
// tolerance 0).
//
//     regionOutlines(index, count, OutlinePoints::Centres, 1.0)
#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace rovelin {

// Where the points of an outline lie.
enum class OutlinePoints {
  // On pixel corners (pixel (x, y) spans x..x+1, y..y+1): the pixels whose
  // centres lie inside are the piece.
  Corners,
  // On the centres of the piece's border pixels (pixel (x, y) is the point
  // (x, y)), half a pixel inside the corner outline: the pixels inside or on
  // the edges are the piece, as tools that draw polygons with their
  // outline fill them.
  Centres,
};

struct RegionOutline {
  int region = 0;                 // index of the region in the index image
  std::vector<cv::Point> points;  // at least 3; repeated for a line or a pixel
};

// The outlines of every region 0..count-1 of `regionIndex` (CV_32SC1; other
// values belong to no region), simplified by Douglas-Peucker at `tolerance`
// pixels (0 keeps every corner). An outline that would keep more than
// `maxPoints` points is simplified further, doubling the tolerance until it
// fits.
std::vector<RegionOutline> regionOutlines(const cv::Mat& regionIndex, int count,
                                          OutlinePoints where, double tolerance,
                                          std::size_t maxPoints);

}  // namespace rovelin
