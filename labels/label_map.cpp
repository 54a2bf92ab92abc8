// SPDX-License-Identifier: Apache-2.0
// Label maps.
//
// Every reader checks sizes before it allocates: a PNG's dimensions are taken
// from its header and compared with the two accepted sizes before the pixels
// are decoded, and files are read only up to a fixed cap.
//
// Frame-size maps are resampled with INTER_NEAREST_EXACT rather than plain
// INTER_NEAREST: the exact variant samples at pixel centres, the alignment
// the bicubic frame scaling uses, whereas plain INTER_NEAREST drifts by up to
// one source pixel towards the top left and misplaces labels along region
// borders.
#include "labels/label_map.hpp"

#include "labels/indexed_png.hpp"
#include "labels/polygon_annotation.hpp"
#include "util/atomic_file.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <unordered_map>

namespace rovelin {
namespace {

// JSON annotations may embed the image itself as base64.
constexpr std::size_t kMaxJsonBytes = 256u << 20;
constexpr std::size_t kMaxPngBytes = 256u << 20;

void checkSizes(cv::Size frameSize, cv::Size scaledSize, const std::string& source) {
  for (const cv::Size s : {frameSize, scaledSize}) {
    if (s.width <= 0 || s.height <= 0 || s.width > kMaxLabelMapSide ||
        s.height > kMaxLabelMapSide) {
      throw LabelMapError(source, "cannot use a label map for a frame of size " + sizeText(s));
    }
  }
}

void checkMapSize(cv::Size mapSize, cv::Size frameSize, cv::Size scaledSize,
                  const std::string& source) {
  if (mapSize == frameSize || mapSize == scaledSize) return;
  std::string expected = "the frame size " + sizeText(frameSize);
  if (scaledSize != frameSize) expected += " or the scaled size " + sizeText(scaledSize);
  throw LabelMapError(source, "label map is " + sizeText(mapSize) + ", expected " + expected);
}

// Reads width and height from the IHDR chunk, which a valid PNG must start with.
cv::Size pngHeaderSize(const std::string& data, const std::string& source) {
  static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (data.size() < 24 || std::memcmp(data.data(), signature, 8) != 0 ||
      data.compare(12, 4, "IHDR") != 0) {
    throw LabelMapError(source, "not a PNG file");
  }
  auto be32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(data[at + i]);
    return v;
  };
  const std::uint32_t w = be32(16);
  const std::uint32_t h = be32(20);
  if (w == 0 || h == 0 || w > static_cast<std::uint32_t>(kMaxLabelMapSide) ||
      h > static_cast<std::uint32_t>(kMaxLabelMapSide)) {
    throw LabelMapError(
        source, "PNG size " + std::to_string(w) + "x" + std::to_string(h) + " is out of range");
  }
  return {static_cast<int>(w), static_cast<int>(h)};
}

cv::Mat classNumbersFromGrey(const cv::Mat& grey, std::size_t classCount,
                             const std::string& source) {
  cv::Mat numbers;
  grey.convertTo(numbers, CV_32S);
  for (int y = 0; y < numbers.rows; ++y) {
    const int* row = numbers.ptr<int>(y);
    for (int x = 0; x < numbers.cols; ++x) {
      if (row[x] > static_cast<int>(classCount)) {
        throw LabelMapError(source, "class number " + std::to_string(row[x]) + " at pixel (" +
                                        std::to_string(x) + ", " + std::to_string(y) +
                                        ") exceeds the " + std::to_string(classCount) +
                                        " classes of the list");
      }
    }
  }
  return numbers;
}

// `bgr` is CV_8UC3 or CV_8UC4 as OpenCV decodes it (blue first).
cv::Mat classNumbersFromColour(const cv::Mat& bgr, const std::vector<ClassEntry>& classes,
                               const std::string& source) {
  std::unordered_map<std::uint32_t, int> palette;
  for (std::size_t k = 0; k < classes.size(); ++k) {
    if (const auto& c = classes[k].colour)
      palette.emplace(packRgb((*c)[0], (*c)[1], (*c)[2]), static_cast<int>(k + 1));
  }
  const int channels = bgr.channels();
  cv::Mat numbers(bgr.size(), CV_32SC1);
  for (int y = 0; y < bgr.rows; ++y) {
    const unsigned char* in = bgr.ptr<unsigned char>(y);
    int* out = numbers.ptr<int>(y);
    for (int x = 0; x < bgr.cols; ++x, in += channels) {
      const int b = in[0], g = in[1], r = in[2];
      if ((channels == 4 && in[3] == 0) || (r == 0 && g == 0 && b == 0)) {
        out[x] = 0;
        continue;
      }
      const auto it = palette.find(packRgb(r, g, b));
      if (it == palette.end()) {
        throw LabelMapError(source,
                            "colour (" + std::to_string(r) + ", " + std::to_string(g) + ", " +
                                std::to_string(b) + ") at pixel (" + std::to_string(x) + ", " +
                                std::to_string(y) + ") is not in the class list's palette" +
                                (palette.empty() ? " (the class list gives no colours)" : ""));
      }
      out[x] = it->second;
    }
  }
  return numbers;
}

cv::Mat readPngLabelMap(const std::filesystem::path& path, const std::vector<ClassEntry>& classes,
                        cv::Size frameSize, cv::Size scaledSize) {
  const std::string source = quotedSource(path);
  const std::string data = readLabelFile(path, kMaxPngBytes, "label map");
  checkMapSize(pngHeaderSize(data, source), frameSize, scaledSize, source);
  // OpenCV would turn a palette into colours; the indices are the classes.
  if (isIndexedPng(data))
    return classNumbersFromGrey(decodeIndexedPng(data, source), classes.size(), source);
  const cv::Mat raw(1, static_cast<int>(data.size()), CV_8UC1,
                    const_cast<char*>(data.data()));  // imdecode only reads it
  const cv::Mat image = cv::imdecode(raw, cv::IMREAD_UNCHANGED);
  if (image.empty()) throw LabelMapError(source, "cannot decode the PNG data");
  checkMapSize(image.size(), frameSize, scaledSize, source);
  if (image.channels() == 1 && (image.depth() == CV_8U || image.depth() == CV_16U)) {
    return classNumbersFromGrey(image, classes.size(), source);
  }
  if ((image.channels() == 3 || image.channels() == 4) && image.depth() == CV_8U) {
    return classNumbersFromColour(image, classes, source);
  }
  throw LabelMapError(source, "unsupported PNG layout (" + std::to_string(image.channels()) +
                                  " channels of " + (image.depth() == CV_16U ? "16" : "8") +
                                  " bits); use one channel of class numbers or 8-bit colour");
}

cv::Mat scaleToTarget(cv::Mat map, cv::Size scaledSize) {
  if (map.size() == scaledSize) return map;
  cv::Mat scaled;
  cv::resize(map, scaled, scaledSize, 0, 0, cv::INTER_NEAREST_EXACT);
  return scaled;
}

}  // namespace

cv::Mat readLabelMap(const std::filesystem::path& path, const std::vector<ClassEntry>& classes,
                     cv::Size frameSize, cv::Size scaledSize, const AnnotationReading& reading) {
  const std::string source = quotedSource(path);
  checkSizes(frameSize, scaledSize, source);
  if (classes.size() > kMaxClassCount)
    throw LabelMapError(source, "more than " + std::to_string(kMaxClassCount) + " classes");
  const std::string ext = lowerCase(path.extension().string());
  if (ext == ".png")
    return scaleToTarget(readPngLabelMap(path, classes, frameSize, scaledSize), scaledSize);
  if (ext == ".json") {
    std::istringstream in(readLabelFile(path, kMaxJsonBytes, "annotation"));
    return scaleToTarget(
        rasteriseJsonAnnotation(in, source, classes, {frameSize, scaledSize}, reading), scaledSize);
  }
  throw LabelMapError(source, "unknown label map kind \"" + ext + "\" (expected .png or .json)");
}

std::string encodeLabelMapPng(const cv::Mat& classNumbers, const std::vector<cv::Vec3b>& rgb) {
  if (classNumbers.empty() || classNumbers.type() != CV_32SC1)
    throw Error("label map to write must be a non-empty single-channel 32-bit integer image");
  if (rgb.size() > kMaxClassCount)
    throw Error("more than " + std::to_string(kMaxClassCount) + " classes");
  double lo = 0, hi = 0;
  cv::minMaxLoc(classNumbers, &lo, &hi);
  if (lo < 0 || hi > static_cast<double>(rgb.size()))
    throw Error("class numbers must lie in 0.." + std::to_string(rgb.size()));
  if (rgb.size() <= 255) {
    std::vector<cv::Vec3b> palette{cv::Vec3b(0, 0, 0)};
    palette.insert(palette.end(), rgb.begin(), rgb.end());
    cv::Mat narrow;
    classNumbers.convertTo(narrow, CV_8U);
    return encodeIndexedPng(narrow, palette);
  }
  cv::Mat wide;
  classNumbers.convertTo(wide, CV_16U);
  std::vector<unsigned char> bytes;
  if (!cv::imencode(".png", wide, bytes)) throw Error("cannot encode PNG");
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void writeLabelMapPng(const std::filesystem::path& path, const cv::Mat& classNumbers,
                      const std::vector<cv::Vec3b>& rgb) {
  const std::string source = quotedSource(path);
  std::string bytes;
  try {
    bytes = encodeLabelMapPng(classNumbers, rgb);
  } catch (const Error& e) {
    throw LabelMapError(source, e.what());
  }
  try {
    writeFileAtomically(path, bytes);
  } catch (const FileWriteError& e) {
    throw LabelMapError(source, "cannot write label map (" + e.cause + ")");
  }
}

}  // namespace rovelin
