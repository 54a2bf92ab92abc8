// SPDX-License-Identifier: Apache-2.0
#pragma once

// Class lists and label maps: the ground truth that training and evaluation
// compare regions with.
//
// A class list names the classes, one a line; line k is class k (1-based).
// Blank lines and lines whose first non-blank character is '#' are skipped
// and not counted. A line is either a one-word name or a name followed by the
// class's colour in colour label maps, as three integers 0..255 (red green
// blue):
//
//     # name   r   g   b
//     sky     135 185 235
//     grass    60 140  50
//
// Names and colours must be unique. Black (0 0 0) is reserved: in a colour
// label map it marks unlabelled pixels, so no class may use it.
//
// A label map gives every pixel of a frame a class number: 0 is unlabelled,
// k is the k-th class of the list. Its kind follows the file's extension:
//
//  - ".png", one channel (8 or 16 bit): the pixel values are class numbers.
//  - ".png", colour (RGB or RGBA, 8 bit): colours are looked up in the class
//    list; black, and any pixel with alpha 0, is unlabelled.
//  - ".json": a polygon annotation in the form common to image-annotation
//    tools. Shapes are drawn in file order, so later shapes cover earlier
//    ones; "shape_type" is "polygon" (at least 3 points; the default when
//    absent) or "rectangle" (2 points, opposite corners, pixels whose centres
//    lie inside or on the edge). Coordinates are pixel coordinates in the
//    frame of imageWidth x imageHeight, integer values at pixel centres.
//
//        {"imageWidth": 640, "imageHeight": 480, "shapes": [
//          {"label": "grass", "points": [[0,300],[639,300],[639,479],[0,479]]},
//          {"label": "sky", "shape_type": "rectangle", "points": [[0,0],[639,120]]}]}
//
// A map has either the video's frame size, and is then brought to the scaled
// size by nearest-neighbour sampling, or the scaled size itself.

#include <filesystem>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace rovelin {

// Thrown for every unreadable or inconsistent class list or label map; the
// message names the file and the problem.
class LabelMapError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Largest class count: class numbers must fit a 16-bit PNG.
inline constexpr std::size_t kMaxClassCount = 65535;

struct ClassEntry {
  std::string name;                 // one word
  std::optional<cv::Vec3b> colour;  // red, green, blue as written in the list
};

// Reads a class list. `sourceName` is the name used in error messages.
std::vector<ClassEntry> readClassList(std::istream& in, const std::string& sourceName);
std::vector<ClassEntry> readClassList(const std::filesystem::path& path);

// Reads a label map and returns a CV_32SC1 matrix of class numbers
// (0..classes.size()) at `scaledSize`.
cv::Mat readLabelMap(const std::filesystem::path& path, const std::vector<ClassEntry>& classes,
                     cv::Size frameSize, cv::Size scaledSize);

// Parses a JSON polygon annotation and rasterises it at the annotation's own
// size, which must be one of `allowedSizes`. `sourceName` is used in messages.
cv::Mat rasteriseJsonAnnotation(std::istream& in, const std::string& sourceName,
                                const std::vector<ClassEntry>& classes,
                                const std::vector<cv::Size>& allowedSizes);

// Writes class numbers (CV_32SC1, values 0..65535) as a single-channel PNG:
// 8-bit when every value fits, else 16-bit. The file appears complete or not
// at all (written under a temporary name in the same directory, then renamed).
void writeLabelMapPng(const std::filesystem::path& path, const cv::Mat& classNumbers);

}  // namespace rovelin
