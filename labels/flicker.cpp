// SPDX-License-Identifier: Apache-2.0
#include "labels/flicker.hpp"

#include "labels/class_list.hpp"
#include "labels/indexed_png.hpp"
#include "util/error.hpp"
#include "util/file_io.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <string>

namespace rovelin {

namespace {
constexpr float kStaticChange = 6.0f;  // grey levels
}  // namespace

FlickerMeter::FlickerMeter(int window) : window_(window < 2 ? 2 : window) {}

void FlickerMeter::close() {
  if (current_.frames >= 2) {
    const cv::Mat still = moved_ == 0;
    current_.staticPixels = cv::countNonZero(still);
    current_.changed = cv::countNonZero(still & (changed_ != 0));
    done_.push_back(current_);
  }
  current_ = FlickerWindow{};
}

void FlickerMeter::add(int frameNumber, const cv::Mat& frame, const cv::Mat& labels) {
  if (frame.type() != CV_8UC3 || labels.type() != CV_32SC1 || frame.size() != labels.size()) {
    throw Error("frame " + std::to_string(frameNumber) + ": the label map is " +
                sizeText(labels.size()) + ", the frame " + sizeText(frame.size()));
  }
  cv::Mat blurred;
  frame.convertTo(blurred, CV_32FC3);
  cv::blur(blurred, blurred, cv::Size(3, 3), cv::Point(-1, -1), cv::BORDER_REFLECT_101);
  const bool follows = current_.frames > 0 && current_.frames < window_ &&
                       frameNumber == last_ + 1 && frame.size() == blurred_.size();
  if (!follows) {
    close();
    current_.firstFrame = frameNumber;
    moved_ = cv::Mat::zeros(frame.size(), CV_8UC1);
    changed_ = cv::Mat::zeros(frame.size(), CV_8UC1);
  } else {
    cv::Mat difference;
    cv::absdiff(blurred, blurred_, difference);
    std::vector<cv::Mat> channels;
    cv::split(difference, channels);
    moved_ |= cv::max(cv::max(channels[0], channels[1]), channels[2]) > kStaticChange;
    changed_ |= labels != labels_;
  }
  blurred_ = blurred;
  labels_ = labels.clone();
  last_ = frameNumber;
  ++current_.frames;
}

std::vector<FlickerWindow> FlickerMeter::windows() const {
  FlickerMeter copy = *this;
  copy.close();
  return copy.done_;
}

cv::Mat readClassNumbers(const std::string& path) {
  const std::string bytes = readFileCapped(path, std::size_t{1} << 30);
  cv::Mat numbers;
  if (isIndexedPng(bytes)) {
    decodeIndexedPng(bytes, path).convertTo(numbers, CV_32SC1);
    return numbers;
  }
  const cv::Mat raw(1, static_cast<int>(bytes.size()), CV_8UC1, const_cast<char*>(bytes.data()));
  const cv::Mat image = cv::imdecode(raw, cv::IMREAD_UNCHANGED);
  if (image.empty() || image.channels() != 1) {
    throw Error("\"" + path + "\" is not a label map (a palette or grey PNG or TIFF)");
  }
  image.convertTo(numbers, CV_32SC1);
  return numbers;
}

}  // namespace rovelin
