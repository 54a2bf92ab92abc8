// SPDX-License-Identifier: Apache-2.0
// The region-feature stage. The ten planes follow the training data
// bit for bit, including a quirk that must stay: the first differences of the
// colour frame run over its interleaved element stream (b, g, r, b, g, r, ...)
// and only the first width × height elements of that stream are kept, so
// planes 3 to 9 describe the top third of the frame in a layout of their own.
//
// Region identity is the exact colour r + 256·g + 65536·b instead of a float
// code (which would merge nearby colours), and the number of regions is the
// number of distinct colours present (no phantom repeats of region 0).
#include "features/feature_planes.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace rovelin {

namespace {

// Walks the source element stream (channels interleaved, rows top to bottom) and
// writes destination element k for source element k. A missing neighbour is
// the centre element, so borders give a halved one-sided difference.
void derivativesInto(const cv::Mat& source, float* dx, float* dy) {
  const int height = source.rows;
  const long rowLength = static_cast<long>(source.cols) * source.channels();
  const long total = static_cast<long>(source.cols) * source.rows;
  long k = 0;
  for (int r = 0; r < height && k < total; ++r) {
    const float* row = source.ptr<float>(r);
    const float* above = r > 0 ? source.ptr<float>(r - 1) : row;
    const float* below = r + 1 < height ? source.ptr<float>(r + 1) : row;
    const long count = std::min(rowLength, total - k);
    float* outX = dx + k;
    float* outY = dy + k;
    // (a - b) / 2.0 rounded to float equals (a - b) * 0.5f: halving is exact
    // in both, so the single rounding to float sees the same value.
    for (long c = 0; c < count; ++c) {
      const float centre = row[c];
      const float left = c > 0 ? row[c - 1] : centre;
      const float right = c + 1 < rowLength ? row[c + 1] : centre;
      outX[c] = (right - left) * 0.5f;
      outY[c] = (below[c] - above[c]) * 0.5f;
    }
    k += count;
  }
}

void absoluteInPlace(cv::Mat& plane) { cv::absdiff(plane, cv::Scalar::all(0), plane); }

}  // namespace

cv::Mat toFloatImage(const cv::Mat& source) {
  if (source.empty() || source.depth() != CV_8U)
    throw std::invalid_argument("toFloatImage: the source must be a non-empty 8-bit image");
  // Quotients by 255.0 in double, each rounded once to float: the values the
  // training data were computed with.
  static const cv::Mat table = [] {
    cv::Mat values(1, 256, CV_32FC1);
    for (int b = 0; b < 256; ++b) values.at<float>(b) = static_cast<float>(b / 255.0);
    return values;
  }();
  cv::Mat destination;
  cv::LUT(source, table, destination);
  return destination;
}

void firstDerivatives(const cv::Mat& source, cv::Mat& dx, cv::Mat& dy) {
  if (source.type() != CV_32FC1 && source.type() != CV_32FC3)
    throw std::invalid_argument(
        "firstDerivatives: the source must be a 32-bit float image of 1 or 3 channels");
  // Writing into the source while reading it would change later differences.
  const bool aliased =
      (!dx.empty() && dx.data == source.data) || (!dy.empty() && dy.data == source.data);
  const cv::Mat input = aliased ? source.clone() : source;
  dx.create(input.size(), CV_32FC1);
  dy.create(input.size(), CV_32FC1);
  if (dx.isContinuous() && dy.isContinuous()) {
    derivativesInto(input, dx.ptr<float>(), dy.ptr<float>());
    return;
  }
  cv::Mat x(input.size(), CV_32FC1), y(input.size(), CV_32FC1);
  derivativesInto(input, x.ptr<float>(), y.ptr<float>());
  x.copyTo(dx);
  y.copyTo(dy);
}

std::vector<cv::Mat> computeFeaturePlanes(const cv::Mat& frame) {
  if (frame.empty() || frame.type() != CV_8UC3)
    throw std::invalid_argument(
        "computeFeaturePlanes: the frame must be a non-empty 8-bit 3-channel image");
  const cv::Mat floatFrame = toFloatImage(frame);
  std::vector<cv::Mat> planes(10);
  for (auto& plane : planes) plane.create(frame.size(), CV_32FC1);
  cv::Mat colour[] = {planes[0], planes[1], planes[2]};
  cv::split(floatFrame, colour);
  firstDerivatives(floatFrame, planes[3], planes[4]);
  cv::cartToPolar(planes[3], planes[4], planes[6], planes[5], false);
  // Plane 8 first gets the x-difference of plane 4 and is then overwritten
  // with the y-difference of plane 3; the training data keep that result.
  firstDerivatives(planes[4], planes[8], planes[9]);
  firstDerivatives(planes[3], planes[7], planes[8]);
  for (int p : {3, 4, 7, 8, 9}) absoluteInPlace(planes[p]);
  return planes;
}

cv::Mat colourCodes(const cv::Mat& segmented) {
  if (segmented.empty() || segmented.type() != CV_8UC3)
    throw std::invalid_argument(
        "colourCodes: the segmentation image must be a non-empty 8-bit 3-channel image");
  cv::Mat codes(segmented.size(), CV_32SC1);
  for (int r = 0; r < segmented.rows; ++r) {
    const std::uint8_t* bgr = segmented.ptr<std::uint8_t>(r);
    std::int32_t* out = codes.ptr<std::int32_t>(r);
    for (int c = 0; c < segmented.cols; ++c, bgr += 3)
      out[c] = bgr[2] + 256 * bgr[1] + 65536 * bgr[0];
  }
  return codes;
}

}  // namespace rovelin
