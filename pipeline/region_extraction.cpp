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
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace rovelin {

namespace {

namespace fs = std::filesystem;

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

// Segments `input`; gives the segmentation, its segment count, every
// pixel's root and the calling thread's processor seconds spent.
GridImage<RgbPixel> segment(const GridImage<RgbPixel>& input,
                            const SegmentationParams& segmentation, const ColourDrawTurn* turn,
                            int& segmentCount, std::vector<std::int32_t>& roots, float& seconds) {
  const double t0 = threadProcessorSeconds();
  GridImage<RgbPixel> output =
      segmentImage(input, segmentation, segmentCount, nullptr, turn, &roots);
  seconds = static_cast<float>(threadProcessorSeconds() - t0);
  return output;
}

}  // namespace

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

Extraction extractRegions(const cv::Mat& frame, const ExtractionRequest& request) {
  if (frame.empty() || frame.type() != CV_8UC3)
    throw std::invalid_argument(
        "extractRegions: the frame must be a non-empty 8-bit 3-channel image");
  checkSegmentationParams(request.segmentation);
  Extraction result;
  const auto segmentationStart = std::chrono::steady_clock::now();
  int segmentCount = 0;
  float seconds = 0.0f;
  // The regions come from the components' roots, not from their colours:
  // two components that drew the same colour stay two regions. Without such
  // a collision the regions, their order and their numbers are those the
  // colours give.
  std::vector<std::int32_t> roots;
  if (request.workDir) {
    const fs::path& workDir = *request.workDir;
    std::istringstream inputFile(writeFrameFile(frame, workDir));
    const GridImage<RgbPixel> input = readPpm(inputFile, (workDir / "inpimage.ppm").string());
    const GridImage<RgbPixel> output =
        segment(input, request.segmentation, nullptr, segmentCount, roots, seconds);
    writeSegmentationFile(output, workDir);
    result.segmented = bgrPicture(output);
  } else {
    result.segmented = bgrPicture(segment(rgbPicture(frame), request.segmentation, request.turn,
                                          segmentCount, roots, seconds));
  }
  result.segmentationLine = segmentationReportLine(segmentCount, seconds);
  result.timings.segmentation = secondsSince(segmentationStart);

  const auto regionStart = std::chrono::steady_clock::now();
  const cv::Mat rootImage(frame.rows, frame.cols, CV_32SC1, roots.data());
  result.regions = buildRegionSet(computeFeaturePlanes(frame), rootImage, request.descriptor);
  result.regions.segmentCount = segmentCount;
  result.timings.regions = secondsSince(regionStart);
  return result;
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
