// SPDX-License-Identifier: Apache-2.0
// Separable Gaussian smoothing with clamped borders.
//
// Each pass runs along rows and writes its result transposed, so the same
// routine does the horizontal pass and then, on the transposed buffer, the
// vertical one. Rows are convolved in small blocks and written out together
// to keep the transposed writes from touching a new cache line per pixel. Symmetric taps are
// folded: the two pixels at distance i are added first and multiplied once. The running sum of a
// tap is formed in double and stored as float after every tap; that rounding is part of the result
// and must not be reordered.
#include "segmentation/smoothing.hpp"

#include <cmath>
#include <stdexcept>

namespace rovelin {

std::vector<float> gaussianMask(float sigma) {
  if (!(sigma > 0.01f)) sigma = 0.01f;
  const double halfWidth = std::ceil(static_cast<double>(sigma) * 4.0);
  if (!(halfWidth < kMaxMaskLength)) {
    throw std::invalid_argument("gaussianMask: sigma " + std::to_string(sigma) +
                                " gives a mask longer than " + std::to_string(kMaxMaskLength));
  }
  const int length = static_cast<int>(halfWidth) + 1;
  std::vector<float> mask(static_cast<std::size_t>(length));
  for (int i = 0; i < length; ++i) {
    const float q = static_cast<float>(i) / sigma;
    const float q2 = q * q;
    mask[static_cast<std::size_t>(i)] =
        static_cast<float>(std::exp(-0.5 * static_cast<double>(q2)));
  }
  return mask;
}

void normalizeMask(std::vector<float>& mask) {
  if (mask.empty()) return;
  float s = 0.0f;
  for (std::size_t i = 1; i < mask.size(); ++i) s += std::fabs(mask[i]);
  const float total = 2.0f * s + std::fabs(mask[0]);
  for (float& m : mask) m /= total;
}

namespace {

// Rows convolved together before their results are written out transposed,
// so that every destination row receives a run of kRowBlock floats at once.
constexpr int kRowBlock = 8;

// One tap step of the running sum, in the prescribed precision.
inline float addTap(float sum, double weight, float left, float right) {
  return static_cast<float>(static_cast<double>(sum) +
                            weight * (static_cast<double>(left) + static_cast<double>(right)));
}

// Convolves one row into out. The taps are applied one after the other to
// the whole row (instead of all taps to one pixel) so the inner loops run
// over contiguous memory; each pixel still sees the taps in order 0, 1, ...
// On processors with AVX2 the interior loop runs four doubles at a time.
// The clone is built without FMA: a fused multiply-add would round
// differently, and the result must not depend on the processor.
__attribute__((target_clones("avx512f", "avx2", "default"))) void convolveRow(const float* row,
                                                                              float* out, int w,
                                                                              const float* mask,
                                                                              int n) {
  const int last = w - 1;
  for (int x = 0; x < w; ++x) out[x] = row[x] * mask[0];
  for (int i = 1; i < n; ++i) {
    const double weight = mask[i];
    // Columns [i, last - i] need no clamping at distance i.
    const int interiorBegin = i < w ? i : w;
    const int interiorEnd = last - i + 1 > interiorBegin ? last - i + 1 : interiorBegin;
    auto clamped = [&](int x) {
      const int left = x - i > 0 ? x - i : 0;
      const int right = x + i < last ? x + i : last;
      out[x] = addTap(out[x], weight, row[left], row[right]);
    };
    for (int x = 0; x < interiorBegin; ++x) clamped(x);
    for (int x = interiorBegin; x < interiorEnd; ++x) {
      out[x] = addTap(out[x], weight, row[x - i], row[x + i]);
    }
    for (int x = interiorEnd; x < w; ++x) clamped(x);
  }
}

}  // namespace

void convolveSymmetric(const GridImage<float>& src, GridImage<float>& dst,
                       const std::vector<float>& mask) {
  const int w = src.width();
  const int h = src.height();
  if (dst.width() != h || dst.height() != w) {
    throw std::invalid_argument("convolveSymmetric: destination must be the transposed size");
  }
  if (mask.empty()) throw std::invalid_argument("convolveSymmetric: empty mask");
  const int n = static_cast<int>(mask.size());
  std::vector<float> block(static_cast<std::size_t>(kRowBlock) * static_cast<std::size_t>(w));
  for (int y0 = 0; y0 < h; y0 += kRowBlock) {
    const int rows = h - y0 < kRowBlock ? h - y0 : kRowBlock;
    for (int r = 0; r < rows; ++r) {
      convolveRow(src.row(y0 + r), block.data() + static_cast<std::size_t>(r) * w, w, mask.data(),
                  n);
    }
    for (int x = 0; x < w; ++x) {
      float* out = dst.row(x) + y0;
      for (int r = 0; r < rows; ++r) out[r] = block[static_cast<std::size_t>(r) * w + x];
    }
  }
}

GridImage<float> smoothPlane(const GridImage<float>& src, float sigma) {
  std::vector<float> mask = gaussianMask(sigma);
  normalizeMask(mask);
  GridImage<float> transposed(src.height(), src.width(), false);
  GridImage<float> result(src.width(), src.height(), false);
  convolveSymmetric(src, transposed, mask);
  convolveSymmetric(transposed, result, mask);
  return result;
}

}  // namespace rovelin
