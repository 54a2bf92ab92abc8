// SPDX-License-Identifier: Apache-2.0
// Class lists and label maps.
//
// Every reader checks sizes before it allocates: a PNG's dimensions are taken
// from its header and compared with the two accepted sizes before the pixels
// are decoded, and files are read only up to a fixed cap.
//
// Polygons are clipped to a rectangle one pixel larger than the image before
// they reach cv::fillPoly. Clipping keeps every pixel centre of the image on
// the same side of the outline (the cut-off parts wind around no such point),
// and it keeps the fixed-point coordinates that OpenCV's rasteriser uses
// internally far from overflow, whatever the file says.
//
// Frame-size maps are resampled with INTER_NEAREST_EXACT rather than plain
// INTER_NEAREST: the exact variant samples at pixel centres, the alignment
// the bicubic frame scaling uses, whereas plain INTER_NEAREST drifts by up to
// one source pixel towards the top left and misplaces labels along region
// borders.

#include "driver/label_map.hpp"

#include "features/atomic_file.hpp"

#include <unistd.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace rovelin {
namespace {

constexpr std::size_t kMaxClassListBytes = 1u << 20;
// JSON annotations may embed the image itself as base64.
constexpr std::size_t kMaxJsonBytes = 256u << 20;
constexpr std::size_t kMaxPngBytes = 256u << 20;
// Sides beyond this are refused before rasterising or decoding.
constexpr int kMaxSide = 16384;
// Sub-pixel bits of the polygon vertices handed to cv::fillPoly.
constexpr int kSubpixelBits = 8;

std::string sizeText(cv::Size s) {
  return std::to_string(s.width) + "x" + std::to_string(s.height);
}

// Built by appending: GCC 12 warns falsely (-Wrestrict) on literal + temporary string.
std::string quoted(const std::filesystem::path& path) {
  std::string text(1, '\'');
  text += path.string();
  text += '\'';
  return text;
}

[[noreturn]] void fail(const std::string& source, const std::string& problem) {
  throw LabelMapError(source + ": " + problem);
}

std::string readFileCapped(const std::filesystem::path& path, std::size_t cap,
                           const std::string& what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail(quoted(path), "cannot open " + what);
  std::string data;
  std::array<char, 65536> buffer{};
  while (in) {
    in.read(buffer.data(), buffer.size());
    const auto got = static_cast<std::size_t>(in.gcount());
    if (data.size() + got > cap)
      fail(quoted(path), what + " is larger than " + std::to_string(cap) + " bytes");
    data.append(buffer.data(), got);
  }
  if (in.bad()) fail(quoted(path), "read error in " + what);
  return data;
}

bool parseWholeInt(const std::string& token, int& value) {
  const char* first = token.data();
  const char* last = first + token.size();
  const auto [ptr, ec] = std::from_chars(first, last, value);
  return ec == std::errc() && ptr == last;
}

std::string lowerExtension(const std::filesystem::path& path) {
  std::string ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

void checkSizes(cv::Size frameSize, cv::Size scaledSize, const std::string& source) {
  for (const cv::Size s : {frameSize, scaledSize}) {
    if (s.width <= 0 || s.height <= 0 || s.width > kMaxSide || s.height > kMaxSide) {
      fail(source, "cannot use a label map for a frame of size " + sizeText(s));
    }
  }
}

void checkMapSize(cv::Size mapSize, cv::Size frameSize, cv::Size scaledSize,
                  const std::string& source) {
  if (mapSize == frameSize || mapSize == scaledSize) return;
  std::string expected = "the frame size " + sizeText(frameSize);
  if (scaledSize != frameSize) expected += " or the scaled size " + sizeText(scaledSize);
  fail(source, "label map is " + sizeText(mapSize) + ", expected " + expected);
}

// Reads width and height from the IHDR chunk, which a valid PNG must start with.
cv::Size pngHeaderSize(const std::string& data, const std::string& source) {
  static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (data.size() < 24 || std::memcmp(data.data(), signature, 8) != 0 ||
      data.compare(12, 4, "IHDR") != 0) {
    fail(source, "not a PNG file");
  }
  auto be32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(data[at + i]);
    return v;
  };
  const std::uint32_t w = be32(16);
  const std::uint32_t h = be32(20);
  if (w == 0 || h == 0 || w > static_cast<std::uint32_t>(kMaxSide) ||
      h > static_cast<std::uint32_t>(kMaxSide)) {
    fail(source, "PNG size " + std::to_string(w) + "x" + std::to_string(h) + " is out of range");
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
        fail(source, "class number " + std::to_string(row[x]) + " at pixel (" + std::to_string(x) +
                         ", " + std::to_string(y) + ") exceeds the " + std::to_string(classCount) +
                         " classes of the list");
      }
    }
  }
  return numbers;
}

std::uint32_t packRgb(int r, int g, int b) {
  return (static_cast<std::uint32_t>(r) << 16) | (static_cast<std::uint32_t>(g) << 8) |
         static_cast<std::uint32_t>(b);
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
        fail(source, "colour (" + std::to_string(r) + ", " + std::to_string(g) + ", " +
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
  const std::string source = quoted(path);
  const std::string data = readFileCapped(path, kMaxPngBytes, "label map");
  checkMapSize(pngHeaderSize(data, source), frameSize, scaledSize, source);
  const cv::Mat raw(1, static_cast<int>(data.size()), CV_8UC1,
                    const_cast<char*>(data.data()));  // imdecode only reads it
  const cv::Mat image = cv::imdecode(raw, cv::IMREAD_UNCHANGED);
  if (image.empty()) fail(source, "cannot decode the PNG data");
  checkMapSize(image.size(), frameSize, scaledSize, source);
  if (image.channels() == 1 && (image.depth() == CV_8U || image.depth() == CV_16U)) {
    return classNumbersFromGrey(image, classes.size(), source);
  }
  if ((image.channels() == 3 || image.channels() == 4) && image.depth() == CV_8U) {
    return classNumbersFromColour(image, classes, source);
  }
  fail(source, "unsupported PNG layout (" + std::to_string(image.channels()) + " channels of " +
                   (image.depth() == CV_16U ? "16" : "8") +
                   " bits); use one channel of class numbers or 8-bit colour");
}

// Sutherland-Hodgman clipping against one axis-aligned edge.
template <typename Inside, typename Cross>
std::vector<cv::Point2d> clipEdge(const std::vector<cv::Point2d>& in, Inside inside, Cross cross) {
  std::vector<cv::Point2d> out;
  out.reserve(in.size() + 4);
  for (std::size_t i = 0; i < in.size(); ++i) {
    const cv::Point2d& a = in[i];
    const cv::Point2d& b = in[(i + 1) % in.size()];
    const bool ia = inside(a), ib = inside(b);
    if (ia) out.push_back(a);
    if (ia != ib) out.push_back(cross(a, b));
  }
  return out;
}

std::vector<cv::Point2d> clipToBox(std::vector<cv::Point2d> poly, double x0, double y0, double x1,
                                   double y1) {
  auto atX = [](double x) {
    return [x](const cv::Point2d& a, const cv::Point2d& b) {
      return cv::Point2d(x, a.y + (b.y - a.y) * (x - a.x) / (b.x - a.x));
    };
  };
  auto atY = [](double y) {
    return [y](const cv::Point2d& a, const cv::Point2d& b) {
      return cv::Point2d(a.x + (b.x - a.x) * (y - a.y) / (b.y - a.y), y);
    };
  };
  poly = clipEdge(
      poly, [&](const cv::Point2d& p) { return p.x >= x0; }, atX(x0));
  if (!poly.empty())
    poly = clipEdge(
        poly, [&](const cv::Point2d& p) { return p.x <= x1; }, atX(x1));
  if (!poly.empty())
    poly = clipEdge(
        poly, [&](const cv::Point2d& p) { return p.y >= y0; }, atY(y0));
  if (!poly.empty())
    poly = clipEdge(
        poly, [&](const cv::Point2d& p) { return p.y <= y1; }, atY(y1));
  return poly;
}

int jsonSide(const nlohmann::json& doc, const char* key, const std::string& source) {
  const auto it = doc.find(key);
  if (it == doc.end()) fail(source, std::string("missing \"") + key + "\"");
  if (!it->is_number_integer()) fail(source, std::string("\"") + key + "\" is not an integer");
  const auto v = it->get<std::int64_t>();
  if (v <= 0 || v > kMaxSide)
    fail(source, std::string("\"") + key + "\" is out of range: " + std::to_string(v));
  return static_cast<int>(v);
}

void drawShape(cv::Mat& map, const nlohmann::json& shape, std::size_t index,
               const std::unordered_map<std::string, int>& classOfName, const std::string& source) {
  const std::string where = "shape " + std::to_string(index);
  if (!shape.is_object()) fail(source, where + " is not an object");
  const auto label = shape.find("label");
  if (label == shape.end() || !label->is_string()) fail(source, where + " has no \"label\" string");
  const auto cls = classOfName.find(label->get<std::string>());
  if (cls == classOfName.end()) {
    fail(source, where + " has label \"" + label->get<std::string>() +
                     "\", which is not in the class list");
  }
  std::string type = "polygon";
  if (const auto t = shape.find("shape_type"); t != shape.end() && !t->is_null()) {
    if (!t->is_string()) fail(source, where + " has a \"shape_type\" that is not a string");
    type = t->get<std::string>();
  }
  if (type != "polygon" && type != "rectangle") {
    fail(source, where + " has shape_type \"" + type +
                     "\"; only \"polygon\" and \"rectangle\" are supported");
  }
  const auto points = shape.find("points");
  if (points == shape.end() || !points->is_array())
    fail(source, where + " has no \"points\" array");
  std::vector<cv::Point2d> poly;
  poly.reserve(points->size());
  for (const auto& p : *points) {
    if (!p.is_array() || p.size() != 2 || !p[0].is_number() || !p[1].is_number()) {
      fail(source, where + " has a point that is not a pair of numbers");
    }
    const double x = p[0].get<double>(), y = p[1].get<double>();
    if (!std::isfinite(x) || !std::isfinite(y))
      fail(source, where + " has a non-finite coordinate");
    poly.emplace_back(x, y);
  }
  const int value = cls->second;
  // Clip one pixel beyond the outermost pixel centres.
  const double x0 = -1.0, y0 = -1.0, x1 = map.cols, y1 = map.rows;
  if (type == "rectangle") {
    if (poly.size() != 2)
      fail(source,
           where + " is a rectangle with " + std::to_string(poly.size()) + " points instead of 2");
    const double lx = std::clamp(std::min(poly[0].x, poly[1].x), x0, x1);
    const double hx = std::clamp(std::max(poly[0].x, poly[1].x), x0, x1);
    const double ly = std::clamp(std::min(poly[0].y, poly[1].y), y0, y1);
    const double hy = std::clamp(std::max(poly[0].y, poly[1].y), y0, y1);
    const int cx0 = std::max(0, static_cast<int>(std::ceil(lx)));
    const int cx1 = std::min(map.cols - 1, static_cast<int>(std::floor(hx)));
    const int cy0 = std::max(0, static_cast<int>(std::ceil(ly)));
    const int cy1 = std::min(map.rows - 1, static_cast<int>(std::floor(hy)));
    if (cx0 <= cx1 && cy0 <= cy1)
      map(cv::Rect(cx0, cy0, cx1 - cx0 + 1, cy1 - cy0 + 1)).setTo(value);
    return;
  }
  if (poly.size() < 3)
    fail(source, where + " is a polygon with " + std::to_string(poly.size()) +
                     " points; at least 3 are needed");
  const std::vector<cv::Point2d> clipped = clipToBox(std::move(poly), x0, y0, x1, y1);
  if (clipped.size() < 3) return;
  const double scale = static_cast<double>(1 << kSubpixelBits);
  std::vector<cv::Point> fixed;
  fixed.reserve(clipped.size());
  for (const auto& p : clipped) {
    fixed.emplace_back(static_cast<int>(std::lround(p.x * scale)),
                       static_cast<int>(std::lround(p.y * scale)));
  }
  const cv::Point* pts = fixed.data();
  const int n = static_cast<int>(fixed.size());
  cv::fillPoly(map, &pts, &n, 1, cv::Scalar(value), cv::LINE_8, kSubpixelBits);
}

cv::Mat scaleToTarget(cv::Mat map, cv::Size scaledSize) {
  if (map.size() == scaledSize) return map;
  cv::Mat scaled;
  cv::resize(map, scaled, scaledSize, 0, 0, cv::INTER_NEAREST_EXACT);
  return scaled;
}

void checkClassCount(const std::vector<ClassEntry>& classes, const std::string& source) {
  if (classes.size() > kMaxClassCount)
    fail(source, "more than " + std::to_string(kMaxClassCount) + " classes");
}

}  // namespace

std::vector<ClassEntry> readClassList(std::istream& in, const std::string& sourceName) {
  std::string text;
  std::array<char, 4096> buffer{};
  while (in) {
    in.read(buffer.data(), buffer.size());
    const auto got = static_cast<std::size_t>(in.gcount());
    if (text.size() + got > kMaxClassListBytes) {
      fail(sourceName,
           "class list is larger than " + std::to_string(kMaxClassListBytes) + " bytes");
    }
    text.append(buffer.data(), got);
  }
  if (in.bad()) fail(sourceName, "read error in class list");

  std::vector<ClassEntry> classes;
  std::unordered_map<std::string, int> lineOfName;
  std::unordered_map<std::uint32_t, int> lineOfColour;
  std::istringstream lines(text);
  std::string line;
  int lineNumber = 0;
  while (std::getline(lines, line)) {
    ++lineNumber;
    const std::string where = "line " + std::to_string(lineNumber) + ": ";
    std::istringstream fields(line);
    std::vector<std::string> tokens;
    for (std::string t; fields >> t;) tokens.push_back(t);
    if (tokens.empty() || tokens[0][0] == '#') continue;
    if (tokens.size() != 1 && tokens.size() != 4) {
      fail(sourceName,
           where + "expected a one-word class name, optionally followed by red green blue");
    }
    ClassEntry entry{tokens[0], std::nullopt};
    if (const auto [it, fresh] = lineOfName.emplace(entry.name, lineNumber); !fresh) {
      fail(sourceName, where + "class name \"" + entry.name + "\" already used on line " +
                           std::to_string(it->second));
    }
    if (tokens.size() == 4) {
      cv::Vec3b rgb;
      for (int c = 0; c < 3; ++c) {
        int v = 0;
        if (!parseWholeInt(tokens[c + 1], v) || v < 0 || v > 255) {
          fail(sourceName,
               where + "colour component \"" + tokens[c + 1] + "\" is not an integer 0..255");
        }
        rgb[c] = static_cast<unsigned char>(v);
      }
      if (rgb == cv::Vec3b(0, 0, 0))
        fail(sourceName, where + "colour 0 0 0 is reserved for unlabelled pixels");
      if (const auto [it, fresh] =
              lineOfColour.emplace(packRgb(rgb[0], rgb[1], rgb[2]), lineNumber);
          !fresh) {
        fail(sourceName, where + "colour already used on line " + std::to_string(it->second));
      }
      entry.colour = rgb;
    }
    classes.push_back(std::move(entry));
    if (classes.size() > kMaxClassCount)
      fail(sourceName, "more than " + std::to_string(kMaxClassCount) + " classes");
  }
  if (classes.empty()) fail(sourceName, "class list names no classes");
  return classes;
}

std::vector<ClassEntry> readClassList(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail(quoted(path), "cannot open class list");
  return readClassList(in, quoted(path));
}

cv::Mat rasteriseJsonAnnotation(std::istream& in, const std::string& sourceName,
                                const std::vector<ClassEntry>& classes,
                                const std::vector<cv::Size>& allowedSizes) {
  checkClassCount(classes, sourceName);
  nlohmann::json doc;
  try {
    doc = nlohmann::json::parse(in);
  } catch (const nlohmann::json::exception& e) {
    fail(sourceName, std::string("malformed JSON: ") + e.what());
  }
  if (!doc.is_object()) fail(sourceName, "JSON annotation is not an object");
  const cv::Size size(jsonSide(doc, "imageWidth", sourceName),
                      jsonSide(doc, "imageHeight", sourceName));
  if (std::find(allowedSizes.begin(), allowedSizes.end(), size) == allowedSizes.end()) {
    std::string expected;
    for (const cv::Size s : allowedSizes)
      expected += (expected.empty() ? "" : " or ") + sizeText(s);
    fail(sourceName, "annotation is for an image of " + sizeText(size) + ", expected " + expected);
  }
  const auto shapes = doc.find("shapes");
  if (shapes == doc.end() || !shapes->is_array()) fail(sourceName, "missing \"shapes\" array");

  std::unordered_map<std::string, int> classOfName;
  for (std::size_t k = 0; k < classes.size(); ++k)
    classOfName.emplace(classes[k].name, static_cast<int>(k + 1));
  cv::Mat map(size, CV_32SC1, cv::Scalar(0));
  for (std::size_t i = 0; i < shapes->size(); ++i)
    drawShape(map, (*shapes)[i], i, classOfName, sourceName);
  return map;
}

cv::Mat readLabelMap(const std::filesystem::path& path, const std::vector<ClassEntry>& classes,
                     cv::Size frameSize, cv::Size scaledSize) {
  const std::string source = quoted(path);
  checkSizes(frameSize, scaledSize, source);
  checkClassCount(classes, source);
  const std::string ext = lowerExtension(path);
  if (ext == ".png")
    return scaleToTarget(readPngLabelMap(path, classes, frameSize, scaledSize), scaledSize);
  if (ext == ".json") {
    std::istringstream in(readFileCapped(path, kMaxJsonBytes, "annotation"));
    return scaleToTarget(rasteriseJsonAnnotation(in, source, classes, {frameSize, scaledSize}),
                         scaledSize);
  }
  fail(source, "unknown label map kind \"" + ext + "\" (expected .png or .json)");
}

void writeLabelMapPng(const std::filesystem::path& path, const cv::Mat& classNumbers) {
  const std::string source = quoted(path);
  if (classNumbers.empty() || classNumbers.type() != CV_32SC1) {
    fail(source, "label map to write must be a non-empty single-channel 32-bit integer image");
  }
  double lo = 0, hi = 0;
  cv::minMaxLoc(classNumbers, &lo, &hi);
  if (lo < 0 || hi > static_cast<double>(kMaxClassCount)) {
    fail(source, "class numbers must lie in 0.." + std::to_string(kMaxClassCount));
  }
  cv::Mat narrow;
  classNumbers.convertTo(narrow, hi > 255 ? CV_16U : CV_8U);
  std::vector<unsigned char> bytes;
  if (!cv::imencode(".png", narrow, bytes)) fail(source, "cannot encode PNG");

  try {
    writeFileAtomically(
        path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  } catch (const FileWriteError& e) {
    const std::string what = e.what();
    fail(source, "cannot write label map (" + what.substr(what.rfind(": ") + 2) + ")");
  }
}

}  // namespace rovelin
