// SPDX-License-Identifier: Apache-2.0
// COCO instances JSON for a whole run: one image per frame, one annotation
// per region with its mask as run-length encoding (iscrowd 1, the form COCO
// readers take as a mask), one category per class.
//
//     {"images": [{"id": 6, "file_name": "frame_000006.png", "width": 320, "height": 240}],
//      "annotations": [{"id": 1, "image_id": 6, "category_id": 2, "iscrowd": 1,
//        "segmentation": {"size": [240, 320], "counts": "..."}, "area": 512,
//        "bbox": [0, 0, 32, 16]}],
//      "categories": [{"id": 1, "name": "sky"}, {"id": 2, "name": "grass"}]}
//
// Read back, a frame is the number in a "frame_FFFFFF" file name, else the
// image id; segmentations may be polygons ([[x0, y0, x1, y1, ...], ...] in
// pixel-corner coordinates), integer counts or compressed counts.
#pragma once

#include "labels/class_list.hpp"

#include <opencv2/core.hpp>

#include <istream>
#include <string>
#include <vector>

namespace rovelin {

// A labelled frame as a run gives it.
struct RegionLabels {
  int frame = 0;
  cv::Mat regionIndex;           // CV_32SC1, region of every pixel
  std::vector<int> regionClass;  // per region: 0-based class, or -1 for none
};

// A frame's labels read from a whole-run annotation file.
struct ImportedFrame {
  int frame = 0;
  cv::Mat classNumbers;  // CV_32SC1: 0 no class, k the k-th class
};

// Sets to 1 the pixels of `mask` (CV_8UC1) whose centres lie inside the
// polygon `corners` (pixel-corner coordinates: pixel (x, y) spans x..x+1),
// by the even-odd rule.
void fillPolygonByCentres(cv::Mat& mask, const std::vector<cv::Point2d>& corners);

// The "frame_FFFFFF.png" name the whole-run formats give frame `frame`.
std::string frameImageName(int frame);

// The COCO JSON text of `frames`, whose classes `names` name.
std::string writeCocoJson(const std::vector<RegionLabels>& frames,
                          const std::vector<std::string>& names);

// The frames of a COCO JSON, each of one of `allowedSizes` (the video's
// frame size and its size at the factor). Categories are matched to
// `classes` by name; an unknown one is an error unless `ignoreUnknown`.
// Later annotations cover earlier ones. Throws LabelMapError naming `source`.
std::vector<ImportedFrame> readCocoJson(std::istream& in, const std::string& source,
                                        const std::vector<ClassEntry>& classes,
                                        const std::vector<cv::Size>& allowedSizes,
                                        bool ignoreUnknown);

}  // namespace rovelin
