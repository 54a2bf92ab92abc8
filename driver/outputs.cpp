// SPDX-License-Identifier: Apache-2.0
#include "driver/outputs.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "driver/batch_plan.hpp"
#include "driver/model_loading.hpp"
#include "util/atomic_file.hpp"
#include "util/error.hpp"

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

void checkOutputPath(const fs::path& target) {
  const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::error_code ec;
  const char* problem = nullptr;
  if (!fs::exists(directory, ec)) {
    problem = "its directory does not exist";
  } else if (!fs::is_directory(directory, ec)) {
    problem = "its directory is not a directory";
  } else if (fs::is_directory(target, ec)) {
    problem = "it is a directory";
  }
  if (problem != nullptr) throw Error("cannot write \"" + target.string() + "\": " + problem);
}

namespace {

// The descriptor a name stands for the way a shell treats it in a
// redirection: "-", /dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N;
// -1 for any other name.
int descriptorNamed(const fs::path& path) {
  const std::string name = path.string();
  if (name == "-" || name == "/dev/stdout") return STDOUT_FILENO;
  if (name == "/dev/stderr") return STDERR_FILENO;
  for (const std::string prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    if (name.rfind(prefix, 0) == 0 && name.size() > prefix.size() &&
        name.size() < prefix.size() + 9) {
      int fd = 0;
      for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return -1;
        fd = fd * 10 + (name[i] - '0');
      }
      return fd;
    }
  }
  return -1;
}

[[noreturn]] void failWrite(const fs::path& target, const std::string& cause) {
  throw FileWriteError(target, cause);
}

// Where a user's output name leads: links are followed (a dangling one
// leads to the file it names); a descriptor alias or a device or pipe
// sets `stream`.
struct OutputTarget {
  fs::path path;
  int descriptor = -1;  // write to this open descriptor
  bool stream = false;  // `path` is a character device or a pipe: open and write it
};

OutputTarget resolveOutput(const fs::path& target) {
  OutputTarget result{target};
  for (int hops = 0; hops < 40; ++hops) {
    result.descriptor = descriptorNamed(result.path);
    if (result.descriptor >= 0) return result;
    struct stat entry {};
    if (::lstat(result.path.c_str(), &entry) != 0) {
      if (errno == ENOENT) return result;  // a new file
      failWrite(target, std::generic_category().message(errno));
    }
    if (S_ISLNK(entry.st_mode)) {
      std::error_code ec;
      const fs::path link = fs::read_symlink(result.path, ec);
      if (ec) failWrite(target, ec.message());
      result.path = link.is_absolute() ? link : result.path.parent_path() / link;
      continue;
    }
    if (S_ISDIR(entry.st_mode)) failWrite(target, "it is a directory");
    if (S_ISCHR(entry.st_mode) || S_ISFIFO(entry.st_mode)) {
      result.stream = true;
    } else if (!S_ISREG(entry.st_mode)) {
      failWrite(target, "it is neither a regular file nor a character device or pipe");
    }
    return result;
  }
  failWrite(target, std::generic_category().message(ELOOP));
}

}  // namespace

void writeOutputFile(const fs::path& target, std::string_view bytes,
                     const std::function<void(const fs::path&)>& verify) {
  checkOutputPath(target);
  const OutputTarget resolved = resolveOutput(target);
  if (resolved.descriptor >= 0 || resolved.stream) {
    int fd = resolved.descriptor;
    if (fd == STDOUT_FILENO) std::cout.flush();  // keep the order of what the run printed
    if (fd < 0) {
      fd = ::open(resolved.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
      if (fd < 0) failWrite(target, std::generic_category().message(errno));
    }
    int error = writeAll(fd, bytes);
    if (resolved.descriptor < 0 && ::close(fd) != 0 && error == 0) error = errno;
    if (error != 0) failWrite(target, std::generic_category().message(error));
    return;
  }
  AtomicWrite how;
  how.verify = verify;
  writeFileAtomically(resolved.path, bytes, how);
}

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
      failWrite(target, "no image format is known for its name (use .png, .jpg, ...)");
    }
  } catch (const cv::Exception&) {
    failWrite(target, "no image format is known for its name (use .png, .jpg, ...)");
  }
  writeOutputFile(target,
                  std::string_view(reinterpret_cast<const char*>(encoded.data()), encoded.size()));
}

void writeTextAtomically(const fs::path& target, const std::string& text) {
  writeOutputFile(target, text);
}

void checkDistinctOutputs(const std::vector<std::pair<std::string, std::string>>& outputs,
                          const std::vector<std::pair<std::string, std::string>>& inputs) {
  // A name as the file system sees it: links and "." or ".." resolved as far
  // as the path exists. Folders are resolved once each, as a batch names
  // many files in few folders.
  std::map<fs::path, fs::path> folders;
  auto identity = [&folders](const std::string& name) -> std::string {
    if (descriptorNamed(name) >= 0) return name == "-" ? "/dev/stdout" : name;
    std::error_code ec;
    const fs::path absolute = fs::absolute(name, ec).lexically_normal();
    if (ec) return name;
    auto folder = folders.find(absolute.parent_path());
    if (folder == folders.end()) {
      fs::path resolved = fs::weakly_canonical(absolute.parent_path(), ec);
      if (ec) resolved = absolute.parent_path();
      folder = folders.emplace(absolute.parent_path(), resolved).first;
    }
    fs::path full = folder->second / absolute.filename();
    // A link, even a dangling one, stands for the file it leads to.
    for (int hops = 0; hops < 40 && fs::is_symlink(full, ec); ++hops) {
      const fs::path link = fs::read_symlink(full, ec);
      if (ec) break;
      full = (link.is_absolute() ? link : full.parent_path() / link).lexically_normal();
      const fs::path resolved = fs::weakly_canonical(full.parent_path(), ec);
      if (!ec) full = resolved / full.filename();
    }
    return full.string();
  };
  auto sharable = [](const std::string& name) {
    struct stat st {};
    return ::stat(name.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
  };
  std::map<std::string, std::string> inputOf;
  for (const auto& [what, name] : inputs) {
    if (!name.empty()) inputOf.emplace(identity(name), what);
  }
  std::map<std::string, std::string> seen;
  for (const auto& [option, name] : outputs) {
    if (name.empty()) continue;
    const std::string key = identity(name);
    if (const auto input = inputOf.find(key); input != inputOf.end() && !sharable(name)) {
      throw Error(option + " \"" + name + "\" names " + input->second +
                  ", which would be overwritten");
    }
    const auto [at, fresh] = seen.emplace(key, option);
    if (!fresh && !sharable(name)) {
      throw Error(at->second + " and " + option + " both write \"" + name +
                  "\"; give every output its own file name");
    }
  }
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
      if (!pattern->empty()) {
        outputs.emplace_back(option,
                             expandFramePattern(expandVideoPattern(*pattern, video), frame));
      }
    }
  }
  if (!options.overlayVideoPath.empty()) {
    outputs.emplace_back("--overlay-video", expandVideoPattern(options.overlayVideoPath, video));
  }
  const std::string cache = modelCachePath(options);
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

std::string expandFramePattern(const std::string& pattern, int frame) {
  std::string result = pattern;
  const std::string key = "{frame}";
  const std::string number = std::to_string(frame);
  for (std::size_t at = result.find(key); at != std::string::npos;
       at = result.find(key, at + number.size())) {
    result.replace(at, key.size(), number);
  }
  return result;
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
