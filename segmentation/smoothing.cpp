// Separable Gaussian smoothing with clamped borders.
//
// Each pass runs along rows and writes its result transposed, so the same
// routine does the horizontal pass and then, on the transposed buffer, the
// vertical one. Symmetric taps are folded: the two pixels at distance i are
// added first and multiplied once. The running sum of a tap is formed in
// double and stored as float after every tap; that rounding is part of the
// result and must not be reordered.
#include "segmentation/smoothing.hpp"

#include <cmath>
#include <stdexcept>

namespace rovelin {

std::vector<float> gaussianMask(float sigma) {
  if (!(sigma > 0.01f)) {
    sigma = 0.01f;
  }
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
    mask[static_cast<std::size_t>(i)] = static_cast<float>(std::exp(-0.5 * static_cast<double>(q2)));
  }
  return mask;
}

void normalizeMask(std::vector<float>& mask) {
  if (mask.empty()) {
    return;
  }
  float s = 0.0f;
  for (std::size_t i = 1; i < mask.size(); ++i) {
    s += std::fabs(mask[i]);
  }
  const float total = 2.0f * s + std::fabs(mask[0]);
  for (float& m : mask) {
    m /= total;
  }
}

namespace {

inline float tapSum(const float* row, int x, int last, const float* mask, int n) {
  float sum = row[x] * mask[0];
  for (int i = 1; i < n; ++i) {
    const int left = x - i > 0 ? x - i : 0;
    const int right = x + i < last ? x + i : last;
    sum = static_cast<float>(static_cast<double>(sum) +
                             static_cast<double>(mask[i]) *
                                 (static_cast<double>(row[left]) + static_cast<double>(row[right])));
  }
  return sum;
}

// Same arithmetic as tapSum for columns whose taps all fall inside the row.
inline float tapSumInterior(const float* row, int x, const float* mask, int n) {
  float sum = row[x] * mask[0];
  for (int i = 1; i < n; ++i) {
    sum = static_cast<float>(static_cast<double>(sum) +
                             static_cast<double>(mask[i]) *
                                 (static_cast<double>(row[x - i]) + static_cast<double>(row[x + i])));
  }
  return sum;
}

}  // namespace

void convolveSymmetric(const GridImage<float>& src, GridImage<float>& dst,
                       const std::vector<float>& mask) {
  const int w = src.width();
  const int h = src.height();
  if (dst.width() != h || dst.height() != w) {
    throw std::invalid_argument("convolveSymmetric: destination must be the transposed size");
  }
  if (mask.empty()) {
    throw std::invalid_argument("convolveSymmetric: empty mask");
  }
  const int n = static_cast<int>(mask.size());
  const float* m = mask.data();
  const int last = w - 1;
  // Columns [n - 1, w - n] see no border; the rest are clamped.
  const int interiorBegin = n - 1;
  const int interiorEnd = w - n + 1;
  for (int y = 0; y < h; ++y) {
    const float* row = src.row(y);
    int x = 0;
    for (; x < w && x < interiorBegin; ++x) {
      dst(y, x) = tapSum(row, x, last, m, n);
    }
    for (; x < interiorEnd; ++x) {
      dst(y, x) = tapSumInterior(row, x, m, n);
    }
    for (; x < w; ++x) {
      dst(y, x) = tapSum(row, x, last, m, n);
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
