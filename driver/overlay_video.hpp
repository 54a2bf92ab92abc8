// SPDX-License-Identifier: Apache-2.0
// The annotated video: the overlay of every processed frame, in frame order,
// in one video file.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <filesystem>

namespace rovelin {

// The codec (fourcc) written for the file's extension: Motion JPEG for
// .avi and .mkv, MPEG-4 (mp4v) for .mp4 and .mov; 0 for any other.
int overlayVideoCodec(const std::filesystem::path& path);

// Throws Error naming `path` when no video can be written
// there: an extension without a codec, a missing directory, or an encoder
// the installed image library cannot open (tried on a temporary file beside
// `path`, removed again).
void checkOverlayVideoPath(const std::filesystem::path& path);

// Frames per second of the annotated video: the source's rate divided by
// the frame step; 25 / step when the source gives no plausible rate.
double overlayVideoRate(double sourceRate, int step);

class OverlayVideoWriter {
public:
  // Opens an encoder writing `file` (whose extension picks the codec).
  // Throws Error when it cannot be opened.
  OverlayVideoWriter(const std::filesystem::path& file, double fps, cv::Size size);
  // Appends one frame of the size given above (BGR, 8-bit).
  void write(const cv::Mat& frame);
  // Closes the file; false when nothing usable was written.
  bool finish();

private:
  std::filesystem::path file_;
  cv::VideoWriter writer_;
  int frames_ = 0;
};

}  // namespace rovelin
