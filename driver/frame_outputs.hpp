// SPDX-License-Identifier: Apache-2.0
// What a run writes besides its report: the overlay picture, the per-pixel
// class map and the run as JSON. Every file is written under a temporary
// name in its own directory, flushed to the disk and renamed into place, so
// an output is complete or absent, even after a full disk, a killed run or
// a power cut.
#pragma once

#include "classifier/segment_prediction.hpp"
#include "driver/options.hpp"
#include "features/region_set.hpp"
#include "model/model_settings.hpp"

#include <Eigen/Core>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace rovelin {

// The image encoded in the format its name's extension gives (PNG for a
// stream without one, such as "-" or a device), written by writeOutputFile.
void writeImageAtomically(const std::filesystem::path& target, const cv::Mat& image);

// Checks, before any work, the files a run of `options` over `frames` will
// write: no two outputs the same and none an input (checkDistinctOutputs),
// a cache name that names a cache of this tool or nothing (unless the cache
// is off), and a --workdir that is a directory. Throws Error
// saying what is wrong.
void checkRunFiles(const Options& options, const std::vector<int>& frames);

// The picture beside a --labelme file: its name with the extension .png.
std::string labelmeImageName(const std::string& json);

// Class number of every pixel as training and --ground-truth read them
// (CV_32SC1): 0 for no class, k for the k-th class (1-based).
cv::Mat labelMapImage(const RegionSet& seg, const Eigen::VectorXd& labels, int classCount);

// Writes a label map of labelMapImage: for a .png name (or a stream) a
// palette PNG whose palette holds the class colours of `palette` (16-bit
// grey beyond 255 classes); for another image extension the class numbers
// in that format.
void writeLabelMapAtomically(const std::filesystem::path& target, const cv::Mat& classNumbers,
                             const std::vector<std::optional<cv::Vec3b>>& palette, int classCount);

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

// The frame's JSON text: describeRun's fields in their order, then what
// made the frame: "model" (the fingerprint of the training-data bytes) and
// "settings" (runSettingsJson). Names that are not UTF-8 (a Latin-1 file
// name, a class name) get replacement characters in the text fields, and
// their exact bytes in "raw_bytes" ("video", "classes" with null for the
// names that are fine), printable ASCII as is and every other byte as \xHH.
// Indented, or on one line when `compact` (JSON Lines on standard output).
std::string formatFrameJson(const nlohmann::json& run, const RunSettings& settings,
                            bool compact = false);

// Whose output an existing frame JSON is, for --skip-existing.
enum class FrameOrigin {
  ThisRun,     // the same video, factor, model and effective settings
  Stale,       // this video, but another factor, model or settings (or unknown): redo it
  OtherVideo,  // another video's output: it must not be replaced
};
// Compares the frame JSON `file` with this run's identity; `otherVideo`
// receives the video named in the file. A file that cannot be read or holds
// no identity is Stale.
FrameOrigin frameJsonOrigin(const std::filesystem::path& file, const std::string& video,
                            double factor, const RunSettings& settings, std::string& otherVideo);

}  // namespace rovelin
