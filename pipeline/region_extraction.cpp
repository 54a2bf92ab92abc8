// SPDX-License-Identifier: Apache-2.0
// Failures to write "inpimage.ppm" or "outimage.ppm" throw with the file name
// and the cause instead of going on with missing data.
#include "pipeline/region_extraction.hpp"

#include "features/feature_planes.hpp"
#include "segmentation/grid_image.hpp"
#include "util/atomic_file.hpp"
#include "util/clock.hpp"
#include "util/error.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace rovelin {

namespace {

namespace fs = std::filesystem;

void checkArguments(const cv::Mat& frame, int planeCount, const SegmentationParams& segmentation) {
  if (planeCount != 10)
    throw std::invalid_argument("extractRegions: the plane count must be 10, not " +
                                std::to_string(planeCount));
  if (frame.empty() || frame.type() != CV_8UC3)
    throw std::invalid_argument(
        "extractRegions: the frame must be a non-empty 8-bit 3-channel image");
  checkSegmentationParams(segmentation);
}

// The work files are left for whoever wants to look at them, each written
// whole under a private name and renamed into place (never through a link).
// A run segments its own bytes and keeps its own result, so runs sharing a
// folder never read each other's frame or segmentation; the files are those
// of whichever run wrote last.
AtomicWrite workFileWrite() {
  AtomicWrite how;
  how.durable = false;
  return how;
}

// Writes `frame` as workDir/"inpimage.ppm" and returns the file's bytes.
std::string writeFrameFile(const cv::Mat& frame, const fs::path& workDir) {
  const fs::path path = workDir / "inpimage.ppm";
  std::vector<unsigned char> encoded;
  try {
    if (!cv::imencode(".ppm", frame, encoded)) {
      throw Error("Cannot write the frame to file " + path.string() + "!!");
    }
  } catch (const cv::Exception& e) {
    throw Error("Cannot write the frame to file " + path.string() + " (" + e.what() + ")!!");
  }
  std::string bytes(encoded.begin(), encoded.end());
  try {
    writeFileAtomically(path, bytes, workFileWrite());
  } catch (const FileWriteError& e) {
    throw Error("Cannot write the frame to file " + path.string() + " (" + e.what() + ")!!");
  }
  return bytes;
}

// Writes `segmentation` as workDir/"outimage.ppm".
void writeSegmentationFile(const GridImage<RgbPixel>& segmentation, const fs::path& workDir) {
  const fs::path path = workDir / "outimage.ppm";
  std::ostringstream bytes;
  writePpm(segmentation, bytes, path.string());
  try {
    writeFileAtomically(path, bytes.view(), workFileWrite());
  } catch (const FileWriteError& e) {
    throw pnm_error(e.what());
  }
}

// The samples of an 8-bit BGR picture in r, g, b order, as a PPM file carries them.
GridImage<RgbPixel> rgbPicture(const cv::Mat& bgr) {
  GridImage<RgbPixel> picture(bgr.cols, bgr.rows, false);
  for (int y = 0; y < bgr.rows; ++y) {
    const std::uint8_t* in = bgr.ptr<std::uint8_t>(y);
    RgbPixel* out = picture.row(y);
    for (int x = 0; x < bgr.cols; ++x, in += 3) out[x] = RgbPixel{in[2], in[1], in[0]};
  }
  return picture;
}

// The segmentation as the colour image the file holds (BGR, as OpenCV reads it).
cv::Mat bgrPicture(const GridImage<RgbPixel>& picture) {
  cv::Mat bgr;
  cv::cvtColor(
      cv::Mat(picture.height(), picture.width(), CV_8UC3, const_cast<RgbPixel*>(picture.data())),
      bgr, cv::COLOR_RGB2BGR);
  return bgr;
}

// Segments `input`; gives the segmentation, its segment count and the
// calling thread's processor seconds spent.
GridImage<RgbPixel> segment(const GridImage<RgbPixel>& input,
                            const SegmentationParams& segmentation, const ColourDrawTurn* turn,
                            int& segmentCount, float& seconds) {
  const double t0 = threadProcessorSeconds();
  GridImage<RgbPixel> output = segmentImage(input, segmentation, segmentCount, nullptr, turn);
  seconds = static_cast<float>(threadProcessorSeconds() - t0);
  return output;
}

void printSegmentationLine(std::ostream* report, int segmentCount, float seconds) {
  (report ? *report : std::cout) << segmentationReportLine(segmentCount, seconds) << std::endl;
}

// Feature planes, label image and the RegionSet of `frame` cut as `segmented` (BGR) shows.
RegionSet regionsOfSegmentation(const cv::Mat& frame, const cv::Mat& segmented, int segmentCount,
                                ExtractTimings* timings, DescriptorKind descriptor) {
  const auto regionStart = std::chrono::steady_clock::now();
  RegionSet regions =
      buildRegionSet(computeFeaturePlanes(frame), colourCodes(segmented), descriptor);
  regions.segmentCount = segmentCount;
  if (timings) timings->regions = secondsSince(regionStart);
  return regions;
}

}  // namespace

RegionSet extractRegions(const cv::Mat& frame, int planeCount, const fs::path& workDir,
                         std::ostream* report, ExtractTimings* timings,
                         const SegmentationParams& segmentation, DescriptorKind descriptor) {
  checkArguments(frame, planeCount, segmentation);
  const auto segmentationStart = std::chrono::steady_clock::now();
  std::istringstream inputFile(writeFrameFile(frame, workDir));
  const GridImage<RgbPixel> input = readPpm(inputFile, (workDir / "inpimage.ppm").string());
  int segmentCount = 0;
  float seconds = 0.0f;
  const GridImage<RgbPixel> output = segment(input, segmentation, nullptr, segmentCount, seconds);
  writeSegmentationFile(output, workDir);
  printSegmentationLine(report, segmentCount, seconds);
  const cv::Mat segmented = bgrPicture(output);
  if (timings) timings->segmentation = secondsSince(segmentationStart);
  return regionsOfSegmentation(frame, segmented, segmentCount, timings, descriptor);
}

RegionSet extractRegionsInMemory(const cv::Mat& frame, int planeCount, std::ostream* report,
                                 ExtractTimings* timings, const ColourDrawTurn* turn,
                                 cv::Mat* segmented, const SegmentationParams& segmentation,
                                 DescriptorKind descriptor) {
  checkArguments(frame, planeCount, segmentation);
  const auto segmentationStart = std::chrono::steady_clock::now();
  int segmentCount = 0;
  float seconds = 0.0f;
  const GridImage<RgbPixel> output =
      segment(rgbPicture(frame), segmentation, turn, segmentCount, seconds);
  printSegmentationLine(report, segmentCount, seconds);
  cv::Mat picture = bgrPicture(output);
  if (timings) timings->segmentation = secondsSince(segmentationStart);
  RegionSet regions = regionsOfSegmentation(frame, picture, segmentCount, timings, descriptor);
  if (segmented) *segmented = std::move(picture);
  return regions;
}

void writeWorkFiles(const cv::Mat& frame, const cv::Mat& segmented, const fs::path& workDir) {
  if (frame.empty() || frame.type() != CV_8UC3 || segmented.type() != CV_8UC3 ||
      segmented.size() != frame.size())
    throw std::invalid_argument(
        "writeWorkFiles: the frame and its segmentation must be 8-bit 3-channel images of one "
        "size");
  writeFrameFile(frame, workDir);
  writeSegmentationFile(rgbPicture(segmented), workDir);
}

}  // namespace rovelin
