// SPDX-License-Identifier: Apache-2.0
// From a frame to its regions: segments the frame (leaving it and its
// segmentation in "inpimage.ppm" / "outimage.ppm", or handing them over in
// memory for frames worked on at once), prints the segmentation line and
// describes every region with the feature stage.
#pragma once

#include "features/region_set.hpp"
#include "segmentation/segment_image.hpp"
#include "segmentation/segmentation_params.hpp"

#include <opencv2/core.hpp>

#include <filesystem>
#include <iosfwd>

namespace rovelin {

// Wall-clock seconds spent in the parts of extractRegions.
struct ExtractTimings {
  double segmentation = 0.0;  // writing inpimage.ppm, segmenting, writing outimage.ppm
  double regions = 0.0;       // feature planes, label image and the RegionSet
};

// Segments `frame`, leaves the frame in workDir/"inpimage.ppm" and the
// segmentation in workDir/"outimage.ppm" (each written whole and renamed
// into place, never through a link), prints the segmentation line on
// `report` (standard output when null) and builds the RegionSet from the
// run's own segmentation, never from what another run left in the folder.
// planeCount must be 10. Throws Error (or pnm_error) naming the
// file and the cause when a work file cannot be written.
// `segmentation` sets the segmentation (checked before any file is written)
// and `descriptor` what describes each region.
RegionSet extractRegions(const cv::Mat& frame, int planeCount,
                         const std::filesystem::path& workDir = {}, std::ostream* report = nullptr,
                         ExtractTimings* timings = nullptr,
                         const SegmentationParams& segmentation = {},
                         DescriptorKind descriptor = DescriptorKind::Covariance);

// The same regions as extractRegions gives for `frame`, with the picture
// handed to the segmentation and back in memory: no file is written or read.
// The segmentation line goes to `report` (standard output when null); its
// time is the calling thread's processor time. `turn`, when given, orders the
// segmentation's colour draws among frames segmented at the same time.
// `segmented`, when given, receives the segmentation picture (BGR, as
// "outimage.ppm" reads back).
RegionSet extractRegionsInMemory(const cv::Mat& frame, int planeCount,
                                 std::ostream* report = nullptr, ExtractTimings* timings = nullptr,
                                 const ColourDrawTurn* turn = nullptr, cv::Mat* segmented = nullptr,
                                 const SegmentationParams& segmentation = {},
                                 DescriptorKind descriptor = DescriptorKind::Covariance);

// Writes `frame` to workDir/"inpimage.ppm" and `segmented` (BGR) to
// workDir/"outimage.ppm", the two work files extractRegions leaves behind.
// Throws Error (or pnm_error) naming the file that cannot be
// written.
void writeWorkFiles(const cv::Mat& frame, const cv::Mat& segmented,
                    const std::filesystem::path& workDir = {});

}  // namespace rovelin
