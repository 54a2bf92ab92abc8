// SPDX-License-Identifier: Apache-2.0
// From a frame to its regions: segments the frame (leaving it and its
// segmentation in "inpimage.ppm" / "outimage.ppm", or handing them over in
// memory for frames worked on at once), gives the segmentation line and
// describes every region with the feature stage.
#pragma once

#include "features/region_set.hpp"
#include "segmentation/segment_image.hpp"
#include "segmentation/segmentation_params.hpp"

#include <opencv2/core.hpp>

#include <filesystem>
#include <optional>
#include <string>

namespace rovelin {

// Wall-clock seconds spent in the parts of extractRegions.
struct ExtractTimings {
  double segmentation = 0.0;  // segmenting, with the work files when they are written
  double regions = 0.0;       // feature planes, label image and the RegionSet
};

// What to extract from a frame, and how.
struct ExtractionRequest {
  SegmentationParams segmentation;                         // checked before any file is written
  DescriptorKind descriptor = DescriptorKind::Covariance;  // what describes each region
  // Set: the frame goes to workDir/"inpimage.ppm" and its segmentation to
  // workDir/"outimage.ppm" (each written whole and renamed into place, never
  // through a link). Unset: the picture is handed over in memory, and no
  // file is written or read.
  std::optional<std::filesystem::path> workDir;
  // When given, orders the segmentation's colour draws among frames
  // segmented at the same time (in memory only).
  const ColourDrawTurn* turn = nullptr;
};

// A frame's regions and what came with them.
struct Extraction {
  RegionSet regions;  // built from this run's own segmentation, never a file another left
  std::string segmentationLine;  // "Number of segments = ...", without its end of line
  ExtractTimings timings;
  cv::Mat segmented;  // the segmentation picture, BGR, as "outimage.ppm" reads back
};

// Segments `frame` (8-bit, 3 channels) and describes every region with the
// feature stage. Throws std::invalid_argument for a frame or parameters that
// cannot be segmented, and Error (or pnm_error) naming the file and the
// cause when a work file cannot be written.
Extraction extractRegions(const cv::Mat& frame, const ExtractionRequest& request);

// The samples of an 8-bit BGR picture in r, g, b order, as the segmentation
// and a PPM file take them.
GridImage<RgbPixel> rgbPicture(const cv::Mat& bgr);

// A segmentation's picture as an 8-bit BGR image, as OpenCV takes it.
cv::Mat bgrPicture(const GridImage<RgbPixel>& picture);

// Writes `frame` to workDir/"inpimage.ppm" and `segmented` (BGR) to
// workDir/"outimage.ppm", the two work files extractRegions leaves behind.
// Throws Error (or pnm_error) naming the file that cannot be
// written.
void writeWorkFiles(const cv::Mat& frame, const cv::Mat& segmented,
                    const std::filesystem::path& workDir = {});

}  // namespace rovelin
