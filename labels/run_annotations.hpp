// SPDX-License-Identifier: Apache-2.0
// Whole-run annotation files, as the annotation tools export them: the
// labels of many frames in one file. The kind follows the name: ".xml" CVAT
// for images 1.1 (labels/cvat_xml.hpp), ".zip" or a folder CVAT's
// segmentation masks (labels/cvat_masks.hpp), ".json" COCO instances
// (labels/coco.hpp).
#pragma once

#include "labels/coco.hpp"

#include <filesystem>
#include <vector>

namespace rovelin {

// Reads the frames of the whole-run file `path`; see readCocoJson and
// readCvatXml. Throws LabelMapError naming the file.
std::vector<ImportedFrame> readRunAnnotations(const std::filesystem::path& path,
                                              const std::vector<ClassEntry>& classes,
                                              const std::vector<cv::Size>& allowedSizes,
                                              bool ignoreUnknown);

}  // namespace rovelin
