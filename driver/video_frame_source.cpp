#include "driver/video_frame_source.hpp"

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <sstream>

namespace rovelin {

VideoFrameSource::VideoFrameSource(const std::string& name, double factor) : videoName(name) {
  auto opened = std::make_unique<cv::VideoCapture>();
  // The capture library reports missing or undecodable files by a closed
  // capture; some backends throw instead.
  bool ok = false;
  try {
    // FFmpeg first: it seeks frame-accurately; then whatever else can.
    ok = (opened->open(name, cv::CAP_FFMPEG) && opened->isOpened()) ||
         (opened->open(name, cv::CAP_ANY) && opened->isOpened());
  } catch (const cv::Exception&) {
    ok = false;
  }
  if (!ok) {
    throw VideoOpenError("Video file could not be opened");
  }
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
  frameCount = static_cast<int>(capture->get(cv::CAP_PROP_FRAME_COUNT));

  double width = frameWidth;
  double height = frameHeight;
  if (resizeFactor == 1.0) {
    resizeNeeded = false;
  } else {
    resizeNeeded = true;
    width = std::floor(static_cast<double>(frameWidth) * resizeFactor);
    height = std::floor(static_cast<double>(frameHeight) * resizeFactor);
  }
  // NaN fails every comparison, so test for the good range.
  const bool sane = width >= 1.0 && height >= 1.0 && width <= kMaxOutputSide &&
                    height <= kMaxOutputSide && width * height <= static_cast<double>(kMaxOutputPixels);
  if (!sane) {
    std::ostringstream message;
    message << "scale factor " << resizeFactor << " turns the " << frameWidth << " x " << frameHeight
            << " video into a frame of " << width << " x " << height
            << " pixels; each side must be from 1 to " << kMaxOutputSide << " and the frame at most "
            << kMaxOutputPixels << " pixels";
    release();
    throw ScaleFactorError(message.str());
  }
  outputWidth = static_cast<int>(width);
  outputHeight = static_cast<int>(height);
  output.create(outputHeight, outputWidth, CV_8UC3);
  output.setTo(cv::Scalar::all(0));
}

bool VideoFrameSource::grabFrame(int n) {
  // Seeking to a negative position lands on frame 0 with some backends,
  // which would label a frame nobody asked for.
  if (!capture || n < 0) {
    return false;
  }
  if (n >= frameCount) {
    n = frameCount;
  }
  const double position = capture->get(cv::CAP_PROP_POS_FRAMES);
  if (position != static_cast<double>(n)) {
    capture->set(cv::CAP_PROP_POS_FRAMES, static_cast<double>(n));
  }
  return convert();
}

bool VideoFrameSource::nextFrame() { return capture && convert(); }

bool VideoFrameSource::convert() {
  frame.release();
  try {
    if (!capture->read(frame)) {
      frame.release();
    }
  } catch (const cv::Exception&) {
    frame.release();
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
  } else if (frame.channels() != 3) {
    frame.release();
    return false;
  }
  if (colour.cols != frameWidth || colour.rows != frameHeight) {
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
  if (!output.empty()) {
    output.release();
  }
}

}  // namespace rovelin
