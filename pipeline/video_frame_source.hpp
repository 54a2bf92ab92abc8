// SPDX-License-Identifier: Apache-2.0
// Opens a video through OpenCV's capture, seeks to a frame, grabs it and
// delivers it scaled by a fixed factor in an image the source owns.
#pragma once

#include "util/error.hpp"

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <memory>
#include <string>

namespace rovelin {

// The video file could not be opened.
class VideoOpenError : public Error {
public:
  using Error::Error;
};

// The scale factor gives no usable output size.
class ScaleFactorError : public Error {
public:
  using Error::Error;
};

class VideoFrameSource {
public:
  // Largest output the pipeline accepts: each side and the pixel count.
  // About 200 bytes per pixel are needed downstream, so 40 million pixels
  // (a little more than an 8K UHD frame) already need about 8 GB.
  static constexpr int kMaxOutputSide = 32768;
  static constexpr long long kMaxOutputPixels = 40'000'000;

  std::string videoName;                      // the file name given to the constructor
  std::unique_ptr<cv::VideoCapture> capture;  // the open capture; null after release
  // The frame most recently read; empty before the first grab and after a failed read.
  cv::Mat frame;
  int frameWidth = 0;   // capture property 3, truncated
  int frameHeight = 0;  // capture property 4, truncated
  int frameCount = 0;   // capture property 7, truncated; -1 when the stream gives no usable count
  // Batches set this: a frame at most this many frames ahead of the position
  // is reached by reading forward instead of seeking (0: always seek).
  int readForwardLimit = 0;
  int outputWidth = 0;
  int outputHeight = 0;
  bool resizeNeeded = false;  // true unless the factor is exactly 1.0
  double resizeFactor = 1.0;
  cv::Mat output;  // CV_8UC3 (BGR), outputWidth × outputHeight; empty after release

  // Opens the file. Throws VideoOpenError when it cannot be opened and
  // ScaleFactorError when the factor gives an output side below 1 or above
  // the limits (the capture is released first).
  VideoFrameSource(const std::string& name, double factor);
  // The same over a capture made by the caller (tests pass a capture whose
  // property and read calls they observe). The capture must be open.
  VideoFrameSource(std::unique_ptr<cv::VideoCapture> openCapture, const std::string& name,
                   double factor);
  ~VideoFrameSource();
  VideoFrameSource(const VideoFrameSource&) = delete;
  VideoFrameSource& operator=(const VideoFrameSource&) = delete;

  // Seeks (only when the position differs), reads and converts into output.
  // A frame number at or past the count is clamped to the count. Returns
  // false, leaving output unchanged, when no frame could be read. Without a
  // usable count (raw streams, stills) the frame is reached by reading
  // forward from the start, so a frame past the end is a failed read.
  bool grabFrame(int n);
  // Reads and drops `skip` frames, then reads the next one, all without
  // seeking and whatever the frame count says; false when the stream ends
  // first.
  bool readAhead(int skip);
  // Closes the capture and frees output; a second call does nothing.
  void release();
  // True when the stream gives a frame count that can be believed.
  bool frameCountKnown() const { return frameCount >= 0; }
  // "the video has N frames", or a note that the stream gives no count.
  std::string frameCountText() const;

  // Largest frame count taken as given; a larger, negative or non-finite
  // count is unknown.
  static constexpr double kMaxFrameCount = 1e9;

  // The frame count a container states, when it can be believed; -1 when it
  // is unknown. 0 is unknown too (a recording cut off before its header was
  // finalised says 0 and still gives frames), and so is a count that the
  // file `name` cannot hold, at least one byte per frame.
  static int believableFrameCount(double count, const std::string& name);

private:
  void prepare(double factor);
  bool convert();
  bool skipFrames(long count);
  bool reopen();
  long position_ = 0;  // next frame of a stream without a count; -1: unknown
  int backend_ = cv::CAP_ANY;
};

}  // namespace rovelin
