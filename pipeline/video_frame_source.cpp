// SPDX-License-Identifier: Apache-2.0
#include "pipeline/video_frame_source.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <sstream>

#include <sys/stat.h>

namespace rovelin {

VideoFrameSource::VideoFrameSource(const std::string& name, double factor) : videoName(name) {
  auto opened = std::make_unique<cv::VideoCapture>();
  // The capture library reports missing or undecodable files by a closed
  // capture; some backends throw instead.
  bool ok = false;
  try {
    // FFmpeg first: it seeks frame-accurately; then whatever else can.
    backend_ = cv::CAP_FFMPEG;
    ok = opened->open(name, cv::CAP_FFMPEG) && opened->isOpened();
    if (!ok) {
      backend_ = cv::CAP_ANY;
      ok = opened->open(name, cv::CAP_ANY) && opened->isOpened();
    }
  } catch (const cv::Exception&) {
  }
  if (!ok) throw VideoOpenError("Video file could not be opened");
  capture = std::move(opened);
  prepare(factor);
}

VideoFrameSource::VideoFrameSource(std::unique_ptr<cv::VideoCapture> openCapture,
                                   const std::string& name, double factor)
    : videoName(name), capture(std::move(openCapture)) {
  if (!capture || !capture->isOpened()) {
    capture.reset();
    throw VideoOpenError("Video file could not be opened");
  }
  prepare(factor);
}

VideoFrameSource::~VideoFrameSource() { release(); }

void VideoFrameSource::prepare(double factor) {
  resizeFactor = factor;
  // Properties in the order width, height, count; truncated toward zero.
  frameWidth = static_cast<int>(capture->get(cv::CAP_PROP_FRAME_WIDTH));
  frameHeight = static_cast<int>(capture->get(cv::CAP_PROP_FRAME_HEIGHT));
  frameCount = believableFrameCount(capture->get(cv::CAP_PROP_FRAME_COUNT), videoName);
  position_ = 0;

  double width = frameWidth;
  double height = frameHeight;
  resizeNeeded = resizeFactor != 1.0;
  if (resizeNeeded) {
    width = std::floor(static_cast<double>(frameWidth) * resizeFactor);
    height = std::floor(static_cast<double>(frameHeight) * resizeFactor);
  }
  // NaN fails every comparison, so test for the good range.
  const bool sane = width >= 1.0 && height >= 1.0 && width <= kMaxOutputSide &&
                    height <= kMaxOutputSide &&
                    width * height <= static_cast<double>(kMaxOutputPixels);
  if (!sane) {
    std::ostringstream message;
    message << "scale factor " << resizeFactor << " turns the " << frameWidth << " x "
            << frameHeight << " video into a frame of " << width << " x " << height
            << " pixels; each side must be from 1 to " << kMaxOutputSide
            << " and the frame at most " << kMaxOutputPixels << " pixels";
    release();
    throw ScaleFactorError(message.str());
  }
  outputWidth = static_cast<int>(width);
  outputHeight = static_cast<int>(height);
  output.create(outputHeight, outputWidth, CV_8UC3);
  output.setTo(cv::Scalar::all(0));
}

int VideoFrameSource::believableFrameCount(double count, const std::string& name) {
  // Raw streams and stills give a negative or absurd count (converting it
  // to int would be undefined); such a stream has no count to clamp to.
  if (!(count >= 1.0 && count <= kMaxFrameCount)) return -1;
  struct stat st {};
  if (::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
      count > static_cast<double>(st.st_size)) {
    return -1;
  }
  return static_cast<int>(count);
}

bool VideoFrameSource::grabFrame(int n) {
  // Seeking to a negative position lands on frame 0 with some backends,
  // which would label a frame nobody asked for.
  if (!capture || n < 0) return false;
  if (!frameCountKnown()) {
    // No count, so no seek can be trusted: read forward, from the start
    // again when the frame lies behind.
    if ((position_ < 0 || position_ > n) && !reopen()) {
      frame.release();
      return false;
    }
    if (!skipFrames(n - position_)) return false;
    return convert();
  }
  n = std::min(n, frameCount);
  const double position = capture->get(cv::CAP_PROP_POS_FRAMES);
  if (position != static_cast<double>(n)) {
    const double gap = static_cast<double>(n) - position;
    if (gap > 0 && gap <= readForwardLimit) {
      if (!skipFrames(static_cast<long>(gap))) return false;
    } else {
      capture->set(cv::CAP_PROP_POS_FRAMES, static_cast<double>(n));
    }
  }
  return convert();
}

bool VideoFrameSource::readAhead(int skip) { return capture && skipFrames(skip) && convert(); }

std::string VideoFrameSource::frameCountText() const {
  if (!frameCountKnown()) return "the stream does not give its frame count";
  return "the video has " + std::to_string(frameCount) + " frames";
}

bool VideoFrameSource::skipFrames(long count) {
  for (long i = 0; i < count; ++i) {
    bool grabbed = false;
    try {
      grabbed = capture->grab();
    } catch (const cv::Exception&) {
    }
    if (!grabbed) {
      frame.release();
      position_ = -1;
      return false;
    }
    if (position_ >= 0) ++position_;
  }
  return true;
}

bool VideoFrameSource::reopen() {
  position_ = -1;
  try {
    if (!capture->open(videoName, backend_) || !capture->isOpened()) return false;
  } catch (const cv::Exception&) {
    return false;
  }
  position_ = 0;
  return true;
}

bool VideoFrameSource::convert() {
  frame.release();
  try {
    if (!capture->read(frame)) frame.release();
  } catch (const cv::Exception&) {
    frame.release();
  }
  if (frame.empty()) {
    position_ = -1;
  } else if (position_ >= 0) {
    ++position_;
  }
  // Only a frame of the size the capture announced and of 8-bit colour
  // can be delivered; anything else is a failed read, never a guess.
  if (frame.empty() || frame.depth() != CV_8U) {
    frame.release();
    return false;
  }
  cv::Mat colour = frame;
  if (frame.channels() == 1) {
    cv::cvtColor(frame, colour, cv::COLOR_GRAY2BGR);
  } else if (frame.channels() == 4) {
    cv::cvtColor(frame, colour, cv::COLOR_BGRA2BGR);
  }
  if (colour.channels() != 3 || colour.cols != frameWidth || colour.rows != frameHeight) {
    frame.release();
    return false;
  }
  if (resizeNeeded) {
    cv::resize(colour, output, output.size(), 0, 0, cv::INTER_CUBIC);
  } else {
    colour.copyTo(output);
  }
  return true;
}

void VideoFrameSource::release() {
  if (capture) {
    capture->release();
    capture.reset();
    frame.release();
  }
  output.release();
}

}  // namespace rovelin
