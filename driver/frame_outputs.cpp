// SPDX-License-Identifier: Apache-2.0
#include "driver/frame_outputs.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "labels/label_map.hpp"
#include "model/model_loading.hpp"
#include "pipeline/output_names.hpp"
#include "util/atomic_file.hpp"
#include "util/error.hpp"
#include "util/file_io.hpp"
#include "util/output_file.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <system_error>

#include <sys/stat.h>

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
  bool known = false;
  try {
    known = !extension.empty() && cv::imencode(extension, image, encoded);
  } catch (const cv::Exception&) {
  }
  if (!known) {
    throw FileWriteError(target, "no image format is known for its name (use .png, .jpg, ...)");
  }
  writeOutputFile(target,
                  std::string_view(reinterpret_cast<const char*>(encoded.data()), encoded.size()));
}

void checkRunFiles(const Options& options, const std::vector<int>& frames) {
  const std::string& video = options.videoName;  // {video} and {videopath} come from it
  std::error_code ec;
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
    if (!options.labelmePath.empty()) {
      const std::string json =
          expandFramePattern(expandVideoPattern(options.labelmePath, video), frame);
      outputs.emplace_back("--labelme", json);
      outputs.emplace_back("--labelme's picture", labelmeImageName(json));
    }
  }
  if (!options.overlayVideoPath.empty()) {
    outputs.emplace_back("--overlay-video", expandVideoPattern(options.overlayVideoPath, video));
  }
  // --coco, --cvat and --frames-dir: checked like every output, before any work.
  for (const auto& [option, name] :
       {std::pair<const char*, const std::string*>{"--coco", &options.cocoPath},
        {"--cvat", &options.cvatPath},
        {"--cvat-masks", &options.cvatMasksPath}}) {
    if (name->empty()) continue;
    outputs.emplace_back(option, expandVideoPattern(*name, video));
    checkOutputPath(outputs.back().second);
  }
  if (!options.framesDir.empty() && !fs::is_directory(options.framesDir, ec)) {
    throw Error("--frames-dir \"" + options.framesDir + "\" is not a directory");
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
  if (!options.workDir.empty() && !fs::is_directory(options.workDir, ec)) {
    throw Error("--workdir \"" + options.workDir + "\" is not a directory");
  }
}

std::string labelmeImageName(const std::string& json) {
  return fs::path(json).replace_extension(".png").string();
}

cv::Mat labelMapImage(const RegionSet& seg, const Eigen::VectorXd& labels, int classCount) {
  cv::Mat map(seg.size, CV_32SC1);
  std::vector<int> numberOf(static_cast<std::size_t>(seg.count));
  for (int i = 0; i < seg.count; ++i) {
    const int k = static_cast<int>(labels[i]);
    numberOf[static_cast<std::size_t>(i)] = k >= 0 && k < classCount ? k + 1 : 0;
  }
  for (int y = 0; y < map.rows; ++y) {
    const int* index = seg.indexImage.ptr<int>(y);
    int* out = map.ptr<int>(y);
    for (int x = 0; x < map.cols; ++x) {
      const int region = index[x];
      out[x] = region >= 0 && region < seg.count ? numberOf[static_cast<std::size_t>(region)] : 0;
    }
  }
  return map;
}

void writeLabelMapAtomically(const fs::path& target, const cv::Mat& classNumbers,
                             const std::vector<std::optional<cv::Vec3b>>& palette, int classCount) {
  const std::string extension = lowerCase(target.extension().string());
  if (!extension.empty() && extension != ".png") {
    cv::Mat narrow;
    classNumbers.convertTo(narrow, classCount > 255 ? CV_16U : CV_8U);
    writeImageAtomically(target, narrow);
    return;
  }
  std::vector<cv::Vec3b> rgb;
  for (int k = 0; k < classCount; ++k) {
    const cv::Vec3b bgr = classColour(k, palette);
    rgb.emplace_back(bgr[2], bgr[1], bgr[0]);
  }
  writeOutputFile(target, encodeLabelMapPng(classNumbers, rgb));
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

// How much labelling this frame would teach the model: the pixel-weighted
// mean over its regions of 1 - (p1 - p2), p1 and p2 the best and runner-up
// posteriors, and the class whose regions carry the highest such mean.
void addUncertainty(nlohmann::json& doc, const RegionSet& seg,
                    const std::vector<SegmentPrediction>& predictions,
                    const Eigen::VectorXd& labels, const std::vector<std::string>& classNames) {
  double weighted = 0.0;
  double pixels = 0.0;
  std::vector<double> classSum(classNames.size(), 0.0), classPixels(classNames.size(), 0.0);
  for (int i = 0; i < seg.count && static_cast<std::size_t>(i) < predictions.size(); ++i) {
    const SegmentPrediction& p = predictions[static_cast<std::size_t>(i)];
    if (p.classCount < 1) continue;
    const double margin = p.probs[0] - (p.classCount > 1 ? p.probs[1] : 0.0);
    const double n = static_cast<double>(seg.pixelCounts[static_cast<std::size_t>(i)]);
    weighted += n * (1.0 - margin);
    pixels += n;
    const auto k = static_cast<std::size_t>(labels[i]);
    if (k < classNames.size()) {
      classSum[k] += n * (1.0 - margin);
      classPixels[k] += n;
    }
  }
  std::size_t least = classNames.size();
  for (std::size_t k = 0; k < classNames.size(); ++k) {
    if (classPixels[k] > 0 && (least == classNames.size() ||
                               classSum[k] / classPixels[k] > classSum[least] / classPixels[least]))
      least = k;
  }
  doc["uncertainty"] = pixels > 0 ? number(weighted / pixels) : nlohmann::json();
  doc["least_certain_class"] =
      least < classNames.size() ? nlohmann::json(classNames[least]) : nlohmann::json();
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
  addUncertainty(doc, seg, predictions, labels, classNames);
  return doc;
}

namespace {

using ordered_json = nlohmann::ordered_json;

bool isUtf8(const std::string& text) {
  try {
    (void)ordered_json(text).dump();
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

// Printable ASCII as is (a backslash doubled), every other byte as \xHH.
std::string escapedBytes(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\\') {
      escaped += "\\\\";
    } else if (byte >= 0x20 && byte < 0x7f) {
      escaped += c;
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      escaped += hex;
    }
  }
  return escaped;
}

}  // namespace

std::string formatFrameJson(const nlohmann::json& run, const RunSettings& settings, bool compact) {
  ordered_json doc = run;  // the members in the order they are stored (sorted)
  doc["model"] = settings.model;
  doc["settings"] = runSettingsJson(settings);
  ordered_json raw = ordered_json::object();
  if (const auto video = run.find("video"); video != run.end() && video->is_string()) {
    if (!isUtf8(video->get<std::string>())) raw["video"] = escapedBytes(video->get<std::string>());
  }
  if (const auto classes = run.find("classes"); classes != run.end() && classes->is_array()) {
    ordered_json names = ordered_json::array();
    bool any = false;
    for (const nlohmann::json& name : *classes) {
      const bool plain = !name.is_string() || isUtf8(name.get<std::string>());
      names.push_back(plain ? ordered_json(nullptr)
                            : ordered_json(escapedBytes(name.get<std::string>())));
      any = any || !plain;
    }
    if (any) raw["classes"] = std::move(names);
  }
  if (!raw.empty()) doc["raw_bytes"] = std::move(raw);
  return doc.dump(compact ? -1 : 2, ' ', false, ordered_json::error_handler_t::replace) + "\n";
}

FrameOrigin frameJsonOrigin(const std::filesystem::path& file, const std::string& video,
                            double factor, const RunSettings& settings, std::string& otherVideo) {
  // A frame's record lists every region with its ranked classes.
  constexpr std::size_t kMaxRecordBytes = 256u << 20;
  ordered_json doc;
  try {
    doc = ordered_json::parse(readFileCapped(file, kMaxRecordBytes), nullptr, false);
  } catch (const std::exception&) {
    return FrameOrigin::Stale;
  }
  if (!doc.is_object() || !doc.contains("video") || !doc["video"].is_string()) {
    return FrameOrigin::Stale;
  }
  // A name that is not UTF-8 is compared by its exact bytes.
  const bool escaped = doc.contains("raw_bytes") && doc["raw_bytes"].is_object() &&
                       doc["raw_bytes"].contains("video");
  otherVideo =
      escaped ? doc["raw_bytes"]["video"].get<std::string>() : doc["video"].get<std::string>();
  const std::string mine = escaped ? escapedBytes(video) : video;
  std::error_code ec;
  if (otherVideo != mine && !(!escaped && std::filesystem::equivalent(otherVideo, video, ec))) {
    return FrameOrigin::OtherVideo;
  }
  const bool same = doc.contains("factor") && doc["factor"].is_number() &&
                    doc["factor"].get<double>() == factor && doc.contains("model") &&
                    doc["model"] == settings.model && doc.contains("settings") &&
                    doc["settings"] == runSettingsJson(settings);
  return same ? FrameOrigin::ThisRun : FrameOrigin::Stale;
}

}  // namespace rovelin
