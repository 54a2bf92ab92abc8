// SPDX-License-Identifier: Apache-2.0
// Indexed PNG through libpng's memory callbacks. libpng reports errors by
// longjmp unless its error handler leaves some other way; ours throws, which
// unwinds through libpng's frames (compiled with unwind tables, the default
// on every Debian architecture) and skips no C++ destructor, as a longjmp
// would.
#include "labels/indexed_png.hpp"

#include "labels/class_list.hpp"
#include "util/error.hpp"

#include <png.h>

#include <cstring>
#include <stdexcept>

namespace rovelin {
namespace {

struct PngFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void onError(png_structp, png_const_charp message) { throw PngFailure(message); }
void onWarning(png_structp, png_const_charp) {}

struct Reader {
  std::string_view data;
  std::size_t at = 0;
};

void readBytes(png_structp png, png_bytep out, png_size_t n) {
  auto* r = static_cast<Reader*>(png_get_io_ptr(png));
  if (n > r->data.size() - r->at) throw PngFailure("the PNG data ends early");
  std::memcpy(out, r->data.data() + r->at, n);
  r->at += n;
}

void writeBytes(png_structp png, png_bytep in, png_size_t n) {
  static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(in), n);
}
void flushNothing(png_structp) {}

constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

}  // namespace

bool isIndexedPng(std::string_view data) {
  // Colour type is byte 25: signature (8), chunk length (4), "IHDR" (4),
  // width (4), height (4), bit depth (1).
  return data.size() >= 26 && std::memcmp(data.data(), kSignature, 8) == 0 &&
         data.substr(12, 4) == "IHDR" && static_cast<unsigned char>(data[25]) == 3;
}

std::string encodeIndexedPng(const cv::Mat& indices, const std::vector<cv::Vec3b>& rgb) {
  if (indices.empty() || indices.type() != CV_8UC1)
    throw Error("an indexed PNG needs a non-empty 8-bit single-channel image");
  if (rgb.empty() || rgb.size() > 256) throw Error("an indexed PNG needs 1 to 256 colours");
  std::string out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, onWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    throw Error("cannot start the PNG encoder");
  }
  try {
    png_set_write_fn(png, &out, writeBytes, flushNothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(indices.cols),
                 static_cast<png_uint_32>(indices.rows), 8, PNG_COLOR_TYPE_PALETTE,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> palette(rgb.size());
    for (std::size_t i = 0; i < rgb.size(); ++i) palette[i] = {rgb[i][0], rgb[i][1], rgb[i][2]};
    png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
    png_write_info(png, info);
    for (int y = 0; y < indices.rows; ++y) {
      const unsigned char* row = indices.ptr<unsigned char>(y);
      for (int x = 0; x < indices.cols; ++x) {
        if (row[x] >= rgb.size()) throw PngFailure("an index lies beyond the palette");
      }
      png_write_row(png, const_cast<png_bytep>(row));  // libpng only reads it
    }
    png_write_end(png, nullptr);
  } catch (const PngFailure& e) {
    png_destroy_write_struct(&png, &info);
    throw Error(std::string("cannot encode the indexed PNG: ") + e.what());
  }
  png_destroy_write_struct(&png, &info);
  return out;
}

cv::Mat decodeIndexedPng(std::string_view data, const std::string& source) {
  if (!isIndexedPng(data)) throw LabelMapError(source, "not a palette PNG");
  Reader reader{data, 0};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, onWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    throw LabelMapError(source, "cannot start the PNG decoder");
  }
  cv::Mat indices;
  try {
    png_set_read_fn(png, &reader, readBytes);
    png_read_info(png, info);
    const png_uint_32 w = png_get_image_width(png, info);
    const png_uint_32 h = png_get_image_height(png, info);
    if (w == 0 || h == 0 || w > 65535 || h > 65535) throw PngFailure("the size is out of range");
    if (png_get_bit_depth(png, info) < 8) png_set_packing(png);  // one byte a pixel
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != w) throw PngFailure("unexpected row layout");
    indices.create(static_cast<int>(h), static_cast<int>(w), CV_8UC1);
    for (int pass = 0; pass < passes; ++pass) {
      for (int y = 0; y < indices.rows; ++y) png_read_row(png, indices.ptr<png_byte>(y), nullptr);
    }
    png_read_end(png, nullptr);
  } catch (const PngFailure& e) {
    png_destroy_read_struct(&png, &info, nullptr);
    throw LabelMapError(source, std::string("cannot decode the PNG data (") + e.what() + ")");
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return indices;
}

}  // namespace rovelin
