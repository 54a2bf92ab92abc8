// SPDX-License-Identifier: Apache-2.0
#include "driver/frame_outputs.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "model/model_loading.hpp"
#include "pipeline/output_names.hpp"
#include "util/atomic_file.hpp"
#include "util/error.hpp"
#include "util/output_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <iostream>
#include <map>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rovelin {

namespace fs = std::filesystem;

void writeImageAtomically(const fs::path& target, const cv::Mat& image) {
  std::string extension = target.extension().string();
  // A stream (standard output, a device, a pipe) has no extension to go by: PNG.
  struct stat st {};
  if (extension.empty() && (descriptorNamed(target) >= 0 ||
                            (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)))) {
    extension = ".png";
  }
  std::vector<unsigned char> encoded;
  try {
    if (extension.empty() || !cv::imencode(extension, image, encoded)) {
      throw FileWriteError(target, "no image format is known for its name (use .png, .jpg, ...)");
    }
  } catch (const cv::Exception&) {
    throw FileWriteError(target, "no image format is known for its name (use .png, .jpg, ...)");
  }
  writeOutputFile(target,
                  std::string_view(reinterpret_cast<const char*>(encoded.data()), encoded.size()));
}

void checkRunFiles(const Options& options, const std::vector<int>& frames) {
  const std::string video = videoOutputName(options.videoName);
  std::vector<std::pair<std::string, std::string>> inputs = {
      {"the video", options.videoName},
      {"the training file", options.trainingFile},
      {"the class list", options.classListPath}};
  std::vector<std::pair<std::string, std::string>> outputs;
  for (int frame : frames) {
    if (!options.groundTruthPath.empty()) {
      inputs.emplace_back(
          "a ground-truth map",
          expandFramePattern(expandVideoPattern(options.groundTruthPath, video), frame));
    }
    for (const auto& [option, pattern] :
         {std::pair<const char*, const std::string*>{"--overlay", &options.overlayPath},
          {"--label-map", &options.labelMapPath},
          {"--json", &options.jsonPath},
          {"--save-frame", &options.saveFramePath}}) {
      // Standard output takes every frame's JSON line in turn: one output.
      if (!pattern->empty() && !(*pattern == "-" && frame != frames.front())) {
        outputs.emplace_back(option,
                             expandFramePattern(expandVideoPattern(*pattern, video), frame));
      }
    }
  }
  if (!options.overlayVideoPath.empty()) {
    outputs.emplace_back("--overlay-video", expandVideoPattern(options.overlayVideoPath, video));
  }
  const std::string cache = modelCachePath(options.modelSource());
  if (options.useCache) {
    // Nothing but a cache may ever be replaced by one.
    const std::string refusal = cacheRefusal(cache, inputs);
    if (!refusal.empty()) {
      throw Error("the model cache \"" + cache + "\" cannot be written: " + refusal +
                  " (name another file with --cache, or use --no-cache)");
    }
    outputs.emplace_back("the model cache", cache);
  }
  checkDistinctOutputs(outputs, inputs);
  if (!options.workDir.empty()) {
    std::error_code ec;
    if (!fs::is_directory(options.workDir, ec)) {
      throw Error("--workdir \"" + options.workDir + "\" is not a directory");
    }
  }
}

cv::Mat labelMapImage(const RegionSet& seg, const Eigen::VectorXd& labels, int classCount) {
  const bool wide = classCount > kLabelMapNone;
  cv::Mat map(seg.size, wide ? CV_16UC1 : CV_8UC1);
  std::vector<int> classOf(static_cast<std::size_t>(seg.count));
  for (int i = 0; i < seg.count; ++i) {
    classOf[static_cast<std::size_t>(i)] = static_cast<int>(labels[i]);
  }
  const int none = wide ? 65535 : kLabelMapNone;
  for (int y = 0; y < map.rows; ++y) {
    const int* index = seg.indexImage.ptr<int>(y);
    for (int x = 0; x < map.cols; ++x) {
      const int region = index[x];
      const int value =
          region >= 0 && region < seg.count ? classOf[static_cast<std::size_t>(region)] : none;
      if (wide) {
        map.at<unsigned short>(y, x) = static_cast<unsigned short>(value);
      } else {
        map.at<unsigned char>(y, x) = static_cast<unsigned char>(value);
      }
    }
  }
  return map;
}

cv::Vec3b classColour(int k, const std::vector<std::optional<cv::Vec3b>>& palette) {
  if (k >= 0 && static_cast<std::size_t>(k) < palette.size() &&
      palette[static_cast<std::size_t>(k)]) {
    return *palette[static_cast<std::size_t>(k)];
  }
  // Well-separated colours (BGR), repeated with a shift for many classes.
  static const cv::Vec3b table[] = {
      {180, 119, 31}, {14, 127, 255},  {44, 160, 44},   {40, 39, 214},  {189, 103, 148},
      {75, 86, 140},  {194, 119, 227}, {127, 127, 127}, {34, 189, 188}, {207, 190, 23}};
  const std::size_t n = sizeof(table) / sizeof(table[0]);
  cv::Vec3b colour = table[static_cast<std::size_t>(k) % n];
  const int shift = static_cast<int>((static_cast<std::size_t>(k) / n) * 37 % 256);
  for (int c = 0; c < 3; ++c) colour[c] = static_cast<unsigned char>((colour[c] + shift) % 256);
  return colour;
}

cv::Mat renderOverlay(const cv::Mat& frame, const RegionSet& seg, const Eigen::VectorXd& labels,
                      const std::vector<std::string>& classNames,
                      const std::vector<std::optional<cv::Vec3b>>& palette) {
  cv::Mat overlay = frame.clone();
  const int width = overlay.cols;
  const int height = overlay.rows;
  std::vector<cv::Vec3b> regionColour(static_cast<std::size_t>(seg.count));
  for (int i = 0; i < seg.count; ++i) {
    regionColour[static_cast<std::size_t>(i)] = classColour(static_cast<int>(labels[i]), palette);
  }
  for (int y = 0; y < height; ++y) {
    const int* index = seg.indexImage.ptr<int>(y);
    const int* below = y + 1 < height ? seg.indexImage.ptr<int>(y + 1) : nullptr;
    cv::Vec3b* pixel = overlay.ptr<cv::Vec3b>(y);
    for (int x = 0; x < width; ++x) {
      const int region = index[x];
      const bool border =
          (x + 1 < width && index[x + 1] != region) || (below != nullptr && below[x] != region);
      if (border) {
        pixel[x] = cv::Vec3b(255, 255, 255);
        continue;
      }
      const cv::Vec3b tint = regionColour[static_cast<std::size_t>(region)];
      for (int c = 0; c < 3; ++c) {
        pixel[x][c] = static_cast<unsigned char>((pixel[x][c] * 2 + tint[c] * 3 + 2) / 5);
      }
    }
  }

  // Legend: one row per class, a colour swatch and the name, on a dark box.
  const double scale = std::clamp(height / 600.0, 0.35, 1.0);
  const int thickness = 1;
  const int rowHeight = static_cast<int>(std::lround(22 * scale)) + 4;
  int boxWidth = 0;
  for (const std::string& name : classNames) {
    int baseline = 0;
    const cv::Size text =
        cv::getTextSize(name, cv::FONT_HERSHEY_SIMPLEX, scale * 0.6, thickness, &baseline);
    boxWidth = std::max(boxWidth, text.width);
  }
  boxWidth += rowHeight + 16;
  const int boxHeight = rowHeight * static_cast<int>(classNames.size()) + 8;
  const cv::Rect box(4, 4, std::min(boxWidth, width - 8), std::min(boxHeight, height - 8));
  if (box.width > 0 && box.height > 0) {
    cv::Mat area = overlay(box);
    area.convertTo(area, -1, 0.35, 0);
    for (std::size_t k = 0; k < classNames.size(); ++k) {
      const int top = box.y + 4 + static_cast<int>(k) * rowHeight;
      if (top + rowHeight > box.y + box.height) break;
      const cv::Vec3b colour = classColour(static_cast<int>(k), palette);
      cv::rectangle(overlay, cv::Rect(box.x + 4, top + 2, rowHeight - 6, rowHeight - 6),
                    cv::Scalar(colour[0], colour[1], colour[2]), cv::FILLED);
      cv::putText(overlay, classNames[k], cv::Point(box.x + rowHeight + 4, top + rowHeight - 8),
                  cv::FONT_HERSHEY_SIMPLEX, scale * 0.6, cv::Scalar(255, 255, 255), thickness,
                  cv::LINE_AA);
    }
  }
  return overlay;
}

namespace {

// JSON has no NaN or infinity: such values are written as null.
nlohmann::json number(double value) {
  return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(nullptr);
}

}  // namespace

nlohmann::json describeRun(const RunDescription& run, const RegionSet& seg,
                           const std::vector<SegmentPrediction>& predictions,
                           const Eigen::VectorXd& labels,
                           const std::vector<std::string>& classNames) {
  nlohmann::json doc;
  doc["video"] = run.video;
  doc["frame"] = run.frame;
  doc["factor"] = number(run.factor);
  doc["frame_size"] = {{"width", run.frameSize.width}, {"height", run.frameSize.height}};
  doc["segment_count"] = run.segmentCount;
  doc["region_count"] = seg.count;
  doc["classes"] = classNames;
  nlohmann::json regions = nlohmann::json::array();
  for (int i = 0; i < seg.count; ++i) {
    const auto u = static_cast<std::size_t>(i);
    const int label = static_cast<int>(labels[i]);
    const cv::Rect box = seg.boxes[u];
    const cv::Moments& m = seg.moments[u];
    nlohmann::json region;
    region["index"] = i;
    region["label"] = label;
    region["class"] = classNames[static_cast<std::size_t>(label)];
    region["pixel_count"] = seg.pixelCounts[u];
    region["bounding_box"] = {
        {"x", box.x}, {"y", box.y}, {"width", box.width}, {"height", box.height}};
    region["centroid"] = {{"x", number(m.m10 / m.m00)}, {"y", number(m.m01 / m.m00)}};
    region["eccentricity"] = number(seg.eccentricity[i]);
    nlohmann::json ranked = nlohmann::json::array();
    if (u < predictions.size()) {
      const SegmentPrediction& p = predictions[u];
      for (int r = 0; r < p.classCount; ++r) {
        const int k = p.labels[r];
        ranked.push_back({{"class", classNames[static_cast<std::size_t>(k)]},
                          {"label", k},
                          {"probability", number(p.probs[r])}});
      }
      region["ratio"] = number(p.ratio);
    }
    region["probabilities"] = std::move(ranked);
    regions.push_back(std::move(region));
  }
  doc["regions"] = std::move(regions);
  return doc;
}

}  // namespace rovelin
