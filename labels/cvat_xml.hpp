// SPDX-License-Identifier: Apache-2.0
// CVAT for images 1.1 XML for a whole run: the task's labels and colours,
// then one <image> per frame (id the 0-based frame number, name
// "frame_FFFFFF") holding one <mask> per connected piece of a region. A mask
// is CVAT's run-length encoding, row-major inside its box, starting with a
// run of 0s:
//
//     <image id="6" name="frame_000006" width="320" height="240">
//       <mask label="sky" source="auto" occluded="0" rle="0, 3, 1, 2"
//             left="10" top="4" width="3" height="2" z_order="0"/>
//     </image>
//
// With polygons, each piece is a <polygon> instead, its points on pixel
// corners, pieces inside others after them and z_order counting up:
//
//       <polygon label="sky" source="auto" occluded="0"
//                points="10,4;13,4;13,6;10,6" z_order="0">
//       </polygon>
//
// Read back, <mask> and <polygon> (points "x,y;x,y;...", pixel-corner
// coordinates) are painted in z_order, then file order; <box> is refused.
#pragma once

#include "labels/coco.hpp"

#include <opencv2/core.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace rovelin {

// How the pieces of the regions are written.
struct CvatShapes {
  bool polygons = false;   // <polygon> rather than <mask>
  double tolerance = 1.0;  // pixels a polygon may stray from the outline
};

// The XML text of `frames`, whose classes `names` name and `rgb` colours.
std::string writeCvatXml(const std::vector<RegionLabels>& frames,
                         const std::vector<std::string>& names, const std::vector<cv::Vec3b>& rgb,
                         const CvatShapes& shapes = {});

// The frames of a CVAT 1.1 XML, each of one of `allowedSizes`. Labels are
// matched to `classes` by name; an unknown one is an error unless
// `ignoreUnknown`. Throws LabelMapError naming `source`.
std::vector<ImportedFrame> readCvatXml(std::string_view text, const std::string& source,
                                       const std::vector<ClassEntry>& classes,
                                       const std::vector<cv::Size>& allowedSizes,
                                       bool ignoreUnknown);

}  // namespace rovelin
