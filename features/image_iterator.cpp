// SPDX-License-Identifier: Apache-2.0
// Conversion and fill over the element walk of ImageIterator. When both
// images have the same shape the walk pairs element k of one with element k of
// the other, so the conversion runs row by row through a table of the 256
// possible results instead of element by element through the iterators.
#include "features/image_iterator.hpp"

#include <array>

namespace rovelin {

namespace {

// Quotients by 255.0 in double, each rounded once to float: the values the
// training data were computed with.
const std::array<float, 256>& byteToFloat() {
  static const std::array<float, 256> table = [] {
    std::array<float, 256> values{};
    for (int b = 0; b < 256; ++b) values[b] = static_cast<float>(b / 255.0);
    return values;
  }();
  return table;
}

}  // namespace

void toFloatImage(const cv::Mat& source, cv::Mat& destination) {
  if (source.empty()) throw std::invalid_argument("toFloatImage: the source image is empty");
  if (source.depth() != CV_8U)
    throw std::invalid_argument("toFloatImage: the source must be 8-bit unsigned");
  if (destination.empty())
    destination.create(source.size(), CV_MAKETYPE(CV_32F, source.channels()));
  if (destination.depth() != CV_32F)
    throw std::invalid_argument("toFloatImage: the destination must be 32-bit float");
  const auto& table = byteToFloat();

  if (destination.size() == source.size() && destination.channels() == source.channels()) {
    const int rowLength = source.cols * source.channels();
    for (int r = 0; r < source.rows; ++r) {
      const std::uint8_t* in = source.ptr<std::uint8_t>(r);
      float* out = destination.ptr<float>(r);
      for (int c = 0; c < rowLength; ++c) out[c] = table[in[c]];
    }
    return;
  }
  ImageIterator<const std::uint8_t> in(source);
  ImageIterator<float> out(destination);
  for (; in.hasNext() && out.hasNext(); in.advance(), out.advance())
    out.current() = table[in.current()];
}

cv::Mat toFloatImage(const cv::Mat& source) {
  cv::Mat destination;
  toFloatImage(source, destination);
  return destination;
}

}  // namespace rovelin
