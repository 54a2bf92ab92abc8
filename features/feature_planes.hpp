// SPDX-License-Identifier: Apache-2.0
// The region-feature stage: segments the frame (leaving it and its
// segmentation in "inpimage.ppm" / "outimage.ppm", or handing them over in
// memory for frames worked on at once), builds the ten feature planes and
// the label image, and returns the regions of the frame.
#pragma once

#include "features/region_set.hpp"
#include "segmentation/segment_image.hpp"
#include "segmentation/segmentation_params.hpp"

#include <opencv2/core.hpp>

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace rovelin {

// Central differences over the element stream of `source` (CV_32FC1 or
// CV_32FC3, channels interleaved); dx and dy are CV_32FC1 of the source's
// width and height and receive the first width×height elements.
void firstDerivatives(const cv::Mat& source, cv::Mat& dx, cv::Mat& dy);

// The ten CV_32FC1 feature planes of an 8-bit 3-channel (BGR) frame.
std::vector<cv::Mat> computeFeaturePlanes(const cv::Mat& frame);

// Exact colour identity of every pixel of an 8-bit BGR segmentation image:
// r + 256·g + 65536·b, CV_32SC1.
cv::Mat colourCodes(const cv::Mat& segmented);

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
// planeCount must be 10. Throws std::runtime_error (or pnm_error) naming the
// file and the cause when a work file cannot be written.
// `segmentation` sets the segmentation (checked before any file is written)
// and `descriptor` what describes each region.
RegionSet extractRegions(const cv::Mat& frame, int planeCount,
                         const std::filesystem::path& workDir = {}, std::ostream* report = nullptr,
                         ExtractTimings* timings = nullptr,
                         const SegmentationParams& segmentation = {},
                         DescriptorKind descriptor = DescriptorKind::Covariance);

}  // namespace rovelin

namespace rovelin {

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
// Throws std::runtime_error (or pnm_error) naming the file that cannot be
// written.
void writeWorkFiles(const cv::Mat& frame, const cv::Mat& segmented,
                    const std::filesystem::path& workDir = {});

}  // namespace rovelin
