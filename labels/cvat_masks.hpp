// SPDX-License-Identifier: Apache-2.0
// CVAT's "Segmentation mask 1.1" archive, which annotation tools exchange as
// plain PNGs:
//
//     labelmap.txt                       # label:color_rgb:parts:actions
//                                        background:0,0,0::
//                                        sky:135,185,235::
//     SegmentationClass/frame_000006.png   class colours
//     SegmentationObject/frame_000006.png  one colour per region
//     ImageSets/Segmentation/default.txt   frame_000006
//
// Read back from the zip or from its unpacked folder: the class PNGs' colours
// are looked up in labelmap.txt and its names in the class list.
#pragma once

#include "labels/coco.hpp"

#include <filesystem>
#include <string>
#include <vector>

namespace rovelin {

// The zip archive's bytes for `frames`, whose classes `names` name and `rgb`
// colours. Throws Error when an image cannot be encoded.
std::string writeCvatMasksZip(const std::vector<RegionLabels>& frames,
                              const std::vector<std::string>& names,
                              const std::vector<cv::Vec3b>& rgb);

// The frames of the archive `path` (a .zip file or its unpacked folder).
// Members named with ".." or an absolute path are refused. Throws
// LabelMapError naming `path`.
std::vector<ImportedFrame> readCvatMasks(const std::filesystem::path& path,
                                         const std::vector<ClassEntry>& classes,
                                         const std::vector<cv::Size>& allowedSizes,
                                         bool ignoreUnknown);

}  // namespace rovelin
