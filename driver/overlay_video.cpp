// SPDX-License-Identifier: Apache-2.0
#include "driver/overlay_video.hpp"

#include "labels/class_list.hpp"
#include "util/error.hpp"
#include "util/output_file.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <system_error>

#include <unistd.h>

namespace rovelin {

namespace fs = std::filesystem;

int overlayVideoCodec(const fs::path& path) {
  const std::string extension = lowerCase(path.extension().string());
  if (extension == ".avi" || extension == ".mkv") {
    return cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
  }
  if (extension == ".mp4" || extension == ".mov") {
    return cv::VideoWriter::fourcc('m', 'p', '4', 'v');
  }
  return 0;
}

void checkOverlayVideoPath(const fs::path& path) {
  if (overlayVideoCodec(path) == 0) {
    throw Error("cannot write the video \"" + path.string() +
                "\": its extension names no format this build can encode (use "
                ".avi, .mkv, .mp4 or .mov)");
  }
  checkOutputPath(path);
  const fs::path directory = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::string name = ".";
  name.append(path.stem().string()).append(".probe").append(std::to_string(::getpid()));
  name.append(path.extension().string());
  const fs::path probe = directory / name;
  bool opened = false;
  try {
    cv::VideoWriter writer(probe.string(), cv::CAP_FFMPEG, overlayVideoCodec(path), 25.0,
                           cv::Size(16, 16));
    opened = writer.isOpened();
    writer.release();
  } catch (const cv::Exception&) {
    opened = false;
  }
  std::error_code ec;
  fs::remove(probe, ec);
  if (!opened) {
    throw Error("cannot write the video \"" + path.string() +
                "\": the video encoder cannot be opened there");
  }
}

double overlayVideoRate(double sourceRate, int step) {
  const double rate =
      std::isfinite(sourceRate) && sourceRate > 0.0 && sourceRate <= 1000.0 ? sourceRate : 25.0;
  return rate / std::max(step, 1);
}

OverlayVideoWriter::OverlayVideoWriter(const fs::path& file, double fps, cv::Size size)
    : file_(file) {
  try {
    writer_.open(file.string(), cv::CAP_FFMPEG, overlayVideoCodec(file), fps, size);
  } catch (const cv::Exception&) {
  }
  if (!writer_.isOpened()) throw Error("the video encoder cannot be opened");
}

void OverlayVideoWriter::write(const cv::Mat& frame) {
  writer_.write(frame);
  ++frames_;
}

bool OverlayVideoWriter::finish() {
  writer_.release();
  std::error_code ec;
  return frames_ > 0 && fs::file_size(file_, ec) > 0 && !ec;
}

}  // namespace rovelin
