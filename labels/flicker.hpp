// SPDX-License-Identifier: Apache-2.0
// How much the labels of a static scene flicker: the share of static pixels
// whose label changes at least once within a window of consecutive frames.
// A pixel is static in a window when its colour, box-blurred 3x3, moves by
// at most 6 grey levels in every channel from each frame to the next.
#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace rovelin {

struct FlickerWindow {
  int firstFrame = 0;
  int frames = 0;  // frames in the window
  long long staticPixels = 0;
  long long changed = 0;  // static pixels whose label changed at least once
  double share() const {
    return staticPixels > 0 ? static_cast<double>(changed) / static_cast<double>(staticPixels)
                            : 0.0;
  }
};

class FlickerMeter {
public:
  // Windows of `window` frames (at least 2).
  explicit FlickerMeter(int window);
  // The next frame: `frame` BGR (CV_8UC3) as the run scaled it, `labels`
  // its class numbers (CV_32SC1, the same size). A frame that does not
  // follow the one before, or has another size, starts a new window, and
  // so does a full one.
  // Throws Error on a frame and label map of different sizes.
  void add(int frameNumber, const cv::Mat& frame, const cv::Mat& labels);
  // The windows so far, the unfinished one included when it has 2 frames.
  std::vector<FlickerWindow> windows() const;

private:
  void close();
  int window_;
  std::vector<FlickerWindow> done_;
  FlickerWindow current_;
  int last_ = 0;
  cv::Mat blurred_;  // the previous frame, blurred (CV_32FC3)
  cv::Mat labels_;   // the previous labels
  cv::Mat moved_;    // CV_8UC1: 1 where the colour moved in this window
  cv::Mat changed_;  // CV_8UC1: 1 where the label changed in this window
};

// The class numbers of a label map as rovelin writes it (a palette PNG, or
// grey PNG or TIFF), CV_32SC1. Throws Error when it cannot be read.
cv::Mat readClassNumbers(const std::string& path);

}  // namespace rovelin
