// SPDX-License-Identifier: Apache-2.0
#include "labels/run_annotations.hpp"

#include "labels/cvat_masks.hpp"
#include "labels/cvat_xml.hpp"

#include <sstream>

namespace rovelin {

namespace {
// Whole-run files hold every frame's shapes; masks as text take room.
constexpr std::size_t kMaxRunFileBytes = 1024u << 20;
}  // namespace

std::vector<ImportedFrame> readRunAnnotations(const std::filesystem::path& path,
                                              const std::vector<ClassEntry>& classes,
                                              const std::vector<cv::Size>& allowedSizes,
                                              bool ignoreUnknown) {
  const std::string source = quotedSource(path);
  const std::string ext = lowerCase(path.extension().string());
  std::error_code ec;
  if (ext == ".zip" || std::filesystem::is_directory(path, ec))
    return readCvatMasks(path, classes, allowedSizes, ignoreUnknown);
  if (ext == ".xml") {
    return readCvatXml(readLabelFile(path, kMaxRunFileBytes, "annotation file"), source, classes,
                       allowedSizes, ignoreUnknown);
  }
  if (ext == ".json") {
    std::istringstream in(readLabelFile(path, kMaxRunFileBytes, "annotation file"));
    return readCocoJson(in, source, classes, allowedSizes, ignoreUnknown);
  }
  throw LabelMapError(
      source, "unknown annotation file kind \"" + ext +
                  "\" (expected .xml or .zip for CVAT, a folder of CVAT masks, or .json for COCO)");
}

}  // namespace rovelin
