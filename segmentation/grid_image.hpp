// SPDX-License-Identifier: Apache-2.0
// The segmentation's own image container and its binary PPM (P6) files.
//
// The segmentation runs on plain grids that do not depend on OpenCV: a
// GridImage<RgbPixel> for the pictures it reads and writes and
// GridImage<float> for the colour planes it smooths.
//
// PPM format read and written here (binary, 8-bit samples, r g b order):
//
//   P6
//   # comment lines may stand wherever a header token starts
//   640 480
//   255
//   <exactly one separator byte, then width*height*3 sample bytes>
#pragma once

#include "util/error.hpp"

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace rovelin {

// One pixel of a P6 file: an array of pixels is the file's byte sequence.
struct RgbPixel {
  unsigned char r = 0;
  unsigned char g = 0;
  unsigned char b = 0;
};
static_assert(sizeof(RgbPixel) == 3, "RgbPixel must be exactly three bytes, no padding");

// The failure of reading or writing a PPM file; what() names the file and the problem.
class pnm_error : public Error {
public:
  using Error::Error;
};

// Largest picture the reader accepts. A header is a few bytes, so without a
// cap a tiny file could demand gigabytes; 2^27 pixels (for example
// 16384 x 8192, 384 MiB of samples) is far above any video frame, and keeps
// every pixel index and the four edge slots per pixel of the segmentation
// graph within 32-bit integers.
inline constexpr std::int64_t kMaxPpmPixels = std::int64_t{1} << 27;

// Size of the header token buffer, terminator included: header words and
// comment lines are limited to 255 characters.
inline constexpr int kPnmTokenSize = 256;

// Owning, move-only, row-major grid of width x height elements.
template <typename T>
class GridImage {
public:
  GridImage() = default;

  // Every element is zero when zeroFill is set; otherwise the elements are
  // left for the caller to write (smoothing buffers write every element).
  GridImage(int width, int height, bool zeroFill = true) : width_(width), height_(height) {
    if (width < 0 || height < 0) {
      throw std::invalid_argument("GridImage: negative size " + std::to_string(width) + "x" +
                                  std::to_string(height));
    }
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    data_ = zeroFill ? std::make_unique<T[]>(n) : std::make_unique_for_overwrite<T[]>(n);
  }

  GridImage(const GridImage&) = delete;
  GridImage& operator=(const GridImage&) = delete;

  GridImage(GridImage&& other) noexcept
      : data_(std::move(other.data_)),
        width_(std::exchange(other.width_, 0)),
        height_(std::exchange(other.height_, 0)) {}

  GridImage& operator=(GridImage&& other) noexcept {
    data_ = std::move(other.data_);
    width_ = std::exchange(other.width_, 0);
    height_ = std::exchange(other.height_, 0);
    return *this;
  }

  int width() const noexcept { return width_; }
  int height() const noexcept { return height_; }
  std::size_t pixelCount() const noexcept {
    return static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
  }

  T* data() noexcept { return data_.get(); }
  const T* data() const noexcept { return data_.get(); }

  // Row y, leftmost element first.
  T* row(int y) noexcept { return data_.get() + static_cast<std::size_t>(y) * width_; }
  const T* row(int y) const noexcept { return data_.get() + static_cast<std::size_t>(y) * width_; }

  T& operator()(int x, int y) noexcept { return row(y)[x]; }
  const T& operator()(int x, int y) const noexcept { return row(y)[x]; }

private:
  std::unique_ptr<T[]> data_;
  int width_ = 0;
  int height_ = 0;
};

// Reads one header token into buf: skips white space and whole '#' comment
// lines where a token starts, reads one word of at most 255 characters, then
// discards exactly one byte after it (the separator that ends the token).
// Throws pnm_error naming `name` when the stream ends before a token or a
// comment line is 256 characters or longer.
void readPnmToken(std::istream& in, char (&buf)[kPnmTokenSize],
                  std::string_view name = "PPM stream");

// Reads a P6 picture. The magic is compared on its first two characters;
// maxval above 255 is rejected and samples are not rescaled. Exactly one byte
// after maxval is skipped; a pixel block shorter than the header promises
// leaves the remaining pixels black. Throws pnm_error (naming `name`) on a
// wrong magic, maxval > 255, width or height <= 0, more than kMaxPpmPixels
// pixels, an over-long comment line or a header cut short.
GridImage<RgbPixel> readPpm(std::istream& in, const std::string& name);
GridImage<RgbPixel> readPpm(const std::string& path);

// Writes "P6\n<w> <h>\n255\n" and the samples as they are. Throws pnm_error
// naming the file when it cannot be created or fully written.
void writePpm(const GridImage<RgbPixel>& image, std::ostream& out,
              const std::string& name = "PPM stream");
void writePpm(const GridImage<RgbPixel>& image, const std::string& path);

}  // namespace rovelin
