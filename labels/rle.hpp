// SPDX-License-Identifier: Apache-2.0
// Run-length encodings of one region's mask, as the annotation tools store
// them. A run list alternates the lengths of runs of 0s and 1s and starts
// with a run of 0s (of length 0 when the first pixel is set).
//
//  - CVAT masks: row-major inside the region's bounding box.
//  - COCO: column-major over the whole frame, either as integers or as the
//    compressed string: each count, from the third on as the difference to
//    the count two places back, in little-endian groups of 5 bits, each
//    group + 48 as a character, bit 0x20 set on every group but the last and
//    bit 0x10 of the last one the sign.
//
//     column-major pixels 0 1 1 0 0 1 -> counts [1, 2, 2, 1] -> "122O"
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rovelin {

// Runs of `mask` (CV_8UC1, nonzero = set) in row-major order, or in
// column-major order when `columnMajor`.
std::vector<std::int64_t> maskRuns(const cv::Mat& mask, bool columnMajor);

// The CV_8UC1 mask (1 = set) of `size` the runs give. Throws LabelMapError
// (naming `source`) when a run is negative or the runs do not sum to the
// pixel count.
cv::Mat maskFromRuns(const std::vector<std::int64_t>& runs, cv::Size size, bool columnMajor,
                     const std::string& source);

// COCO's compressed string form of `runs`, and back. The decoder throws
// LabelMapError on a character outside '0'..'o' or a string cut short.
std::string compressCocoRuns(const std::vector<std::int64_t>& runs);
std::vector<std::int64_t> decompressCocoRuns(std::string_view text, const std::string& source);

}  // namespace rovelin
