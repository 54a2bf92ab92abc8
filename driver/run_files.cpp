// SPDX-License-Identifier: Apache-2.0
// A run keeps every frame's region index for these files, about 4 bytes a
// pixel: 1.8 MB a frame at 768x576, which is why the files are opt-in.
#include "driver/run_files.hpp"

#include "driver/frame_outputs.hpp"
#include "labels/cvat_masks.hpp"
#include "labels/cvat_xml.hpp"
#include "pipeline/output_names.hpp"
#include "util/output_file.hpp"

#include <filesystem>

namespace rovelin {

void RunFiles::add(const FrameResult& frame) {
  if (!options_.framesDir.empty()) {
    writeImageAtomically(
        std::filesystem::path(options_.framesDir) / frameImageName(frame.frameNumber), frame.image);
  }
  if (options_.cocoPath.empty() && options_.cvatPath.empty() && options_.cvatMasksPath.empty())
    return;
  // With --temporal, the filtered labels.
  const RegionSet& regions = frame.filtered ? frame.filtered->regions : frame.regions;
  const Eigen::VectorXd& classes = frame.filtered ? frame.filtered->labels : frame.labels;
  frames_.push_back({frame.frameNumber, regions.indexImage, {classes.begin(), classes.end()}});
}

void RunFiles::finish() const {
  const std::string video = videoOutputName(options_.videoName);
  if (!options_.cocoPath.empty()) {
    writeTextAtomically(expandVideoPattern(options_.cocoPath, video),
                        writeCocoJson(frames_, classes_.names));
  }
  std::vector<cv::Vec3b> rgb;
  for (std::size_t k = 0; k < classes_.names.size(); ++k) {
    const cv::Vec3b bgr = classColour(static_cast<int>(k), classes_.palette);
    rgb.emplace_back(bgr[2], bgr[1], bgr[0]);
  }
  if (!options_.cvatMasksPath.empty()) {
    writeOutputFile(expandVideoPattern(options_.cvatMasksPath, video),
                    writeCvatMasksZip(frames_, classes_.names, rgb));
  }
  if (!options_.cvatPath.empty()) {
    writeTextAtomically(expandVideoPattern(options_.cvatPath, video),
                        writeCvatXml(frames_, classes_.names, rgb,
                                     {options_.cvatPolygons, options_.polygonTolerance}));
  }
}

}  // namespace rovelin
