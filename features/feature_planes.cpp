// SPDX-License-Identifier: Apache-2.0
// The region-feature stage. The ten planes follow the training data
// bit for bit, including a quirk that must stay: the first differences of the
// colour frame run over its interleaved element stream (b, g, r, b, g, r, ...)
// and only the first width × height elements of that stream are kept, so
// planes 3 to 9 describe the top third of the frame in a layout of their own.
//
// Two choices made for soundness:
// - region identity is the exact colour r + 256·g + 65536·b instead of a float
//   code (which would merge nearby colours), and the number of regions is the number
//   of distinct colours present (no phantom repeats of region 0);
// - failures to write "inpimage.ppm" or "outimage.ppm" throw with the file
//   name and the cause instead of going on with missing data.
#include "features/feature_planes.hpp"

#include "features/atomic_file.hpp"
#include "features/image_iterator.hpp"
#include "segmentation/grid_image.hpp"
#include "segmentation/segment_image.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace rovelin {

namespace {

// Walks the source element stream (as the lock-step iterators do) and
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

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The shared tail of both hand-offs: feature planes, label image and the
// RegionSet of `frame` cut as `segmented` (BGR) shows.
RegionSet regionsOfSegmentation(const cv::Mat& frame, const cv::Mat& segmented, int segmentCount,
                                ExtractTimings* timings, DescriptorKind descriptor);

}  // namespace

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

namespace {

RegionSet regionsOfSegmentation(const cv::Mat& frame, const cv::Mat& segmented, int segmentCount,
                                ExtractTimings* timings, DescriptorKind descriptor) {
  const auto regionStart = std::chrono::steady_clock::now();
  const std::vector<cv::Mat> planes = computeFeaturePlanes(frame);
  RegionSet regions = buildRegionSet(planes, colourCodes(segmented), descriptor);
  regions.segmentCount = segmentCount;
  if (timings) timings->regions = secondsSince(regionStart);
  return regions;
}

}  // namespace

RegionSet extractRegions(const cv::Mat& frame, int planeCount, const std::filesystem::path& workDir,
                         std::ostream* report, ExtractTimings* timings,
                         const SegmentationParams& segmentation, DescriptorKind descriptor) {
  if (planeCount != 10)
    throw std::invalid_argument("extractRegions: the plane count must be 10, not " +
                                std::to_string(planeCount));
  if (frame.empty() || frame.type() != CV_8UC3)
    throw std::invalid_argument(
        "extractRegions: the frame must be a non-empty 8-bit 3-channel image");
  checkSegmentationParams(segmentation);

  const auto segmentationStart = std::chrono::steady_clock::now();
  const std::filesystem::path inputPath = workDir / "inpimage.ppm";
  const std::filesystem::path outputPath = workDir / "outimage.ppm";
  // The work files are left for whoever wants to look at them, each written
  // whole under a private name and renamed into place (never through a
  // link). The run itself segments its own bytes and keeps its own result,
  // so runs sharing a folder never read each other's frame or segmentation;
  // the files are those of whichever run wrote last.
  AtomicWrite scratch;
  scratch.durable = false;
  std::vector<unsigned char> encoded;
  try {
    if (!cv::imencode(".ppm", frame, encoded)) {
      throw std::runtime_error("Cannot write the frame to file " + inputPath.string() + "!!");
    }
  } catch (const cv::Exception& e) {
    throw std::runtime_error("Cannot write the frame to file " + inputPath.string() + " (" +
                             e.what() + ")!!");
  }
  const std::string_view inputBytes(reinterpret_cast<const char*>(encoded.data()), encoded.size());
  try {
    writeFileAtomically(inputPath, inputBytes, scratch);
  } catch (const FileWriteError& e) {
    throw std::runtime_error("Cannot write the frame to file " + inputPath.string() + " (" +
                             e.what() + ")!!");
  }

  std::istringstream inputStream{std::string(inputBytes)};
  const GridImage<RgbPixel> input = readPpm(inputStream, inputPath.string());
  int segmentCount = 0;
  const double t0 = threadProcessorSeconds();
  const GridImage<RgbPixel> output =
      segmentImage(input, segmentation.sigma, segmentation.k, segmentation.minSize, segmentCount);
  const double t1 = threadProcessorSeconds();
  std::ostringstream outputStream;
  writePpm(output, outputStream, outputPath.string());
  try {
    writeFileAtomically(outputPath, outputStream.view(), scratch);
  } catch (const FileWriteError& e) {
    throw pnm_error(e.what());
  }
  const float seconds = static_cast<float>(t1 - t0);
  (report ? *report : std::cout) << segmentationReportLine(segmentCount, seconds) << std::endl;

  // The segmentation as the colour image the file holds (BGR, as OpenCV reads it).
  cv::Mat segmented;
  cv::cvtColor(
      cv::Mat(output.height(), output.width(), CV_8UC3, const_cast<RgbPixel*>(output.data())),
      segmented, cv::COLOR_RGB2BGR);
  if (timings) timings->segmentation = secondsSince(segmentationStart);
  return regionsOfSegmentation(frame, segmented, segmentCount, timings, descriptor);
}

RegionSet extractRegionsInMemory(const cv::Mat& frame, int planeCount, std::ostream* report,
                                 ExtractTimings* timings, const ColourDrawTurn* turn,
                                 cv::Mat* segmented, const SegmentationParams& segmentation,
                                 DescriptorKind descriptor) {
  if (planeCount != 10)
    throw std::invalid_argument("extractRegions: the plane count must be 10, not " +
                                std::to_string(planeCount));
  if (frame.empty() || frame.type() != CV_8UC3)
    throw std::invalid_argument(
        "extractRegions: the frame must be a non-empty 8-bit 3-channel image");

  const auto segmentationStart = std::chrono::steady_clock::now();
  // The picture the segmentation sees is the frame's samples in r, g, b order,
  // exactly what the PPM work file would carry.
  GridImage<RgbPixel> input(frame.cols, frame.rows, false);
  for (int y = 0; y < frame.rows; ++y) {
    const std::uint8_t* bgr = frame.ptr<std::uint8_t>(y);
    RgbPixel* out = input.row(y);
    for (int x = 0; x < frame.cols; ++x, bgr += 3) out[x] = RgbPixel{bgr[2], bgr[1], bgr[0]};
  }
  const double t0 = threadProcessorSeconds();
  int segmentCount = 0;
  const GridImage<RgbPixel> output = segmentImage(
      input, segmentation.sigma, segmentation.k, segmentation.minSize, segmentCount, nullptr, turn);
  const double t1 = threadProcessorSeconds();
  (report ? *report : std::cout) << segmentationReportLine(segmentCount,
                                                           static_cast<float>(t1 - t0))
                                 << std::endl;
  cv::Mat picture(frame.size(), CV_8UC3);
  for (int y = 0; y < picture.rows; ++y) {
    const RgbPixel* in = output.row(y);
    std::uint8_t* bgr = picture.ptr<std::uint8_t>(y);
    for (int x = 0; x < picture.cols; ++x, bgr += 3) {
      bgr[0] = in[x].b;
      bgr[1] = in[x].g;
      bgr[2] = in[x].r;
    }
  }
  if (timings) timings->segmentation = secondsSince(segmentationStart);
  RegionSet regions = regionsOfSegmentation(frame, picture, segmentCount, timings, descriptor);
  if (segmented) *segmented = std::move(picture);
  return regions;
}

void writeWorkFiles(const cv::Mat& frame, const cv::Mat& segmented,
                    const std::filesystem::path& workDir) {
  if (frame.empty() || frame.type() != CV_8UC3 || segmented.type() != CV_8UC3 ||
      segmented.size() != frame.size())
    throw std::invalid_argument(
        "writeWorkFiles: the frame and its segmentation must be 8-bit 3-channel images of one "
        "size");
  const std::filesystem::path inputPath = workDir / "inpimage.ppm";
  const std::filesystem::path outputPath = workDir / "outimage.ppm";
  // Written as extractRegions writes them: whole, under a private name,
  // renamed into place, never through a link.
  AtomicWrite scratch;
  scratch.durable = false;
  std::vector<unsigned char> encoded;
  try {
    if (!cv::imencode(".ppm", frame, encoded)) {
      throw std::runtime_error("Cannot write the frame to file " + inputPath.string() + "!!");
    }
  } catch (const cv::Exception& e) {
    throw std::runtime_error("Cannot write the frame to file " + inputPath.string() + " (" +
                             e.what() + ")!!");
  }
  try {
    writeFileAtomically(
        inputPath, std::string_view(reinterpret_cast<const char*>(encoded.data()), encoded.size()),
        scratch);
  } catch (const FileWriteError& e) {
    throw std::runtime_error("Cannot write the frame to file " + inputPath.string() + " (" +
                             e.what() + ")!!");
  }
  GridImage<RgbPixel> picture(segmented.cols, segmented.rows, false);
  for (int y = 0; y < segmented.rows; ++y) {
    const std::uint8_t* bgr = segmented.ptr<std::uint8_t>(y);
    RgbPixel* out = picture.row(y);
    for (int x = 0; x < segmented.cols; ++x, bgr += 3) out[x] = RgbPixel{bgr[2], bgr[1], bgr[0]};
  }
  std::ostringstream outputStream;
  writePpm(picture, outputStream, outputPath.string());
  try {
    writeFileAtomically(outputPath, outputStream.view(), scratch);
  } catch (const FileWriteError& e) {
    throw pnm_error(e.what());
  }
}

}  // namespace rovelin
