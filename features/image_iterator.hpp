// SPDX-License-Identifier: Apache-2.0
// Element access over a rectangle of a cv::Mat: the walk that every
// per-element pass of the feature stage follows (channels interleaved, rows
// top to bottom), with neighbour access that never leaves the image.
//
// Set-up clips the rectangle (x, y, w, h) like this: the walk starts at row
// max(y, 0) and element column max(x, 0) · channels; it ends before row
// y + h and element column (x + w) · channels, except that a far edge at 0 or
// below or beyond the image is taken as the image edge. The empty rectangle
// therefore covers the whole image. A rectangle that starts right of the
// image has no elements (the walk is empty instead of running past the row).
#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace rovelin {

template <typename T>
class ImageIterator {
  using Element = std::remove_const_t<T>;
  static_assert(std::is_same_v<Element, std::uint8_t> || std::is_same_v<Element, float>,
                "ImageIterator walks 8-bit unsigned or 32-bit float images");

public:
  // The iterator borrows `image`; it must outlive the walk.
  explicit ImageIterator(cv::Mat& image, cv::Rect rect = {}) { setUp(image, rect); }
  explicit ImageIterator(const cv::Mat& image, cv::Rect rect = {}) requires std::is_const_v<T> {
    setUp(image, rect);
  }

  bool hasNext() const { return currentRow_ < endRow_; }

  // Valid only while hasNext() is true.
  T& current() const { return data_[rowOffset_ + currentColumn_]; }

  void advance() {
    if (++currentColumn_ >= endColumn_) {
      currentColumn_ = startColumn_;
      ++currentRow_;
      rowOffset_ += rowStep_;
    }
  }

  // The element dx element columns and dy rows away; the current element
  // itself when that position lies outside the image, so borders repeat the
  // centre instead of wrapping to the opposite edge.
  T& neighbor(int dx, int dy) const requires std::is_same_v<Element, float> {
    const long column = currentColumn_ + dx;
    const long row = currentRow_ + dy;
    if (column < 0 || column >= endColumn_ || row < 0 || row >= endRow_) return current();
    return data_[rowOffset_ + static_cast<std::ptrdiff_t>(dy) * rowStep_ + column];
  }

  long row() const { return currentRow_; }
  long column() const { return currentColumn_; }  // element column
  int channels() const { return channels_; }

private:
  void setUp(const cv::Mat& image, cv::Rect rect) {
    constexpr int depth = std::is_same_v<Element, float> ? CV_32F : CV_8U;
    if (!image.empty() && (image.dims != 2 || image.depth() != depth))
      throw std::invalid_argument(std::string("ImageIterator: the image must be a 2-D ") +
                                  (depth == CV_32F ? "32-bit float" : "8-bit unsigned") + " image");
    if (image.step[0] % sizeof(Element) != 0)
      throw std::invalid_argument("ImageIterator: row step is not a whole number of elements");
    // The pointer is only ever indexed inside the image; the const view of a
    // const image is restored by T being const.
    data_ = reinterpret_cast<T*>(const_cast<uchar*>(image.data));
    channels_ = image.channels();
    const long width = image.cols;
    const long height = image.rows;
    const long x = rect.x;
    const long y = rect.y;

    currentColumn_ = x;
    currentRow_ = y;
    startColumn_ = 0;
    rowStep_ = static_cast<std::ptrdiff_t>(image.step[0] / sizeof(Element));
    endRow_ = height;
    if (y + rect.height > 0 && y + rect.height < height) endRow_ = y + rect.height;
    if (y < 0) currentRow_ = 0;
    rowOffset_ = static_cast<std::ptrdiff_t>(currentRow_) * rowStep_;
    endColumn_ = width;
    if (x + rect.width > 0 && x + rect.width < width) endColumn_ = x + rect.width;
    endColumn_ *= channels_;
    if (x > 0) startColumn_ = x * channels_;
    currentColumn_ = startColumn_;
    if (startColumn_ >= endColumn_ || image.empty()) currentRow_ = endRow_;
  }

  long startColumn_ = 0;
  long currentColumn_ = 0;
  long currentRow_ = 0;
  std::ptrdiff_t rowStep_ = 0;
  long endRow_ = 0;
  long endColumn_ = 0;
  int channels_ = 1;
  std::ptrdiff_t rowOffset_ = 0;  // offset of the current row from the image data, in elements
  T* data_ = nullptr;
};

// Every element of the 8-bit `source` divided by 255.0 and rounded to float,
// written into the 32-bit float `destination` in walk order; the walk stops at
// whichever image runs out first. An empty destination is created with the
// source's size and channel count.
void toFloatImage(const cv::Mat& source, cv::Mat& destination);
cv::Mat toFloatImage(const cv::Mat& source);

}  // namespace rovelin
