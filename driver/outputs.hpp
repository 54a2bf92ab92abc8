// What a run writes besides its report: the overlay picture, the per-pixel
// class map and the run as JSON. Every file is written under a temporary
// name in its own directory and renamed into place, so a failed run never
// leaves a half-written file.
#pragma once

#include "classifier/segment_prediction.hpp"
#include "features/region_set.hpp"

#include <Eigen/Core>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace rovelin {

// Calls write(temporary) with a path in the same directory that keeps the
// target's extension, then renames it over `target`. Throws
// std::runtime_error naming the target when writing or renaming fails; the
// temporary is removed in every case.
void writeAtomically(const std::filesystem::path& target,
                     const std::function<bool(const std::filesystem::path& temporary)>& write);
// Throws std::runtime_error naming `target` when it plainly cannot be
// written: its directory is missing (or not a directory), or it is itself a
// directory. Lets a run refuse a bad output name before doing its work.
void checkOutputPath(const std::filesystem::path& target);
void writeImageAtomically(const std::filesystem::path& target, const cv::Mat& image);
void writeTextAtomically(const std::filesystem::path& target, const std::string& text);

// Replaces every "{frame}" in `pattern` by the frame number.
std::string expandFramePattern(const std::string& pattern, int frame);

// Value of a pixel without a class in the label map (8-bit maps).
constexpr int kLabelMapNone = 255;

// Class index of every pixel: CV_8UC1 when the classes fit in 0..254 (255 =
// none), CV_16UC1 otherwise (65535 = none).
cv::Mat labelMapImage(const RegionSet& seg, const Eigen::VectorXd& labels, int classCount);

// BGR colour of class k: from the palette when given there, else a fixed
// table of well-separated colours.
cv::Vec3b classColour(int k, const std::vector<std::optional<cv::Vec3b>>& palette);

// The frame with every region tinted by its class colour, region borders
// and a legend of the class names and colours.
cv::Mat renderOverlay(const cv::Mat& frame, const RegionSet& seg, const Eigen::VectorXd& labels,
                      const std::vector<std::string>& classNames,
                      const std::vector<std::optional<cv::Vec3b>>& palette);

struct RunDescription {
  std::string video;
  int frame = 0;
  double factor = 1.0;
  cv::Size frameSize;
  int segmentCount = 0;
};

// The run as data: video, frame, factor, frame size, segment count and, per
// region, index, label, class name, pixel count, bounding box, centroid,
// eccentricity, ranked probabilities (as classified) and ratio.
nlohmann::json describeRun(const RunDescription& run, const RegionSet& seg,
                           const std::vector<SegmentPrediction>& predictions,
                           const Eigen::VectorXd& labels,
                           const std::vector<std::string>& classNames);

}  // namespace rovelin
