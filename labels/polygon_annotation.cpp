// SPDX-License-Identifier: Apache-2.0
// Polygons are clipped to a rectangle one pixel larger than the image before
// they reach cv::fillPoly. Clipping keeps every pixel centre of the image on
// the same side of the outline (the cut-off parts wind around no such point),
// and it keeps the fixed-point coordinates that OpenCV's rasteriser uses
// internally far from overflow, whatever the file says.
#include "labels/polygon_annotation.hpp"

#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>

namespace rovelin {
namespace {

// Sub-pixel bits of the polygon vertices handed to cv::fillPoly.
constexpr int kSubpixelBits = 8;

// The annotation as a JSON object.
nlohmann::json parseAnnotation(std::istream& in, const std::string& source) {
  nlohmann::json doc;
  try {
    doc = nlohmann::json::parse(in);
  } catch (const nlohmann::json::exception& e) {
    throw LabelMapError(source, std::string("malformed JSON: ") + e.what());
  }
  if (!doc.is_object()) throw LabelMapError(source, "JSON annotation is not an object");
  return doc;
}

const nlohmann::json& shapesOf(const nlohmann::json& doc, const std::string& source) {
  const auto shapes = doc.find("shapes");
  if (shapes == doc.end() || !shapes->is_array())
    throw LabelMapError(source, "missing \"shapes\" array");
  return *shapes;
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
  // Clipping an empty polygon leaves it empty, so the four edges run unguarded.
  poly = clipEdge(
      poly, [&](const cv::Point2d& p) { return p.x >= x0; }, atX(x0));
  poly = clipEdge(
      poly, [&](const cv::Point2d& p) { return p.x <= x1; }, atX(x1));
  poly = clipEdge(
      poly, [&](const cv::Point2d& p) { return p.y >= y0; }, atY(y0));
  poly = clipEdge(
      poly, [&](const cv::Point2d& p) { return p.y <= y1; }, atY(y1));
  return poly;
}

int jsonSide(const nlohmann::json& doc, const char* key, const std::string& source) {
  const auto it = doc.find(key);
  if (it == doc.end()) throw LabelMapError(source, std::string("missing \"") + key + "\"");
  if (!it->is_number_integer())
    throw LabelMapError(source, std::string("\"") + key + "\" is not an integer");
  const auto v = it->get<std::int64_t>();
  if (v <= 0 || v > kMaxLabelMapSide)
    throw LabelMapError(source,
                        std::string("\"") + key + "\" is out of range: " + std::to_string(v));
  return static_cast<int>(v);
}

// What drawShape passed over, for the file's warnings.
struct Skipped {
  std::vector<std::string> types;   // area-less shape types, each once
  std::vector<std::string> labels;  // unknown labels, each once
  int shapes = 0;
  int unknownShapes = 0;
};

void addOnce(std::vector<std::string>& list, const std::string& item) {
  if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
}

void drawCircle(cv::Mat& map, const std::vector<cv::Point2d>& points, int value) {
  const double r = std::hypot(points[1].x - points[0].x, points[1].y - points[0].y);
  const double cx = points[0].x, cy = points[0].y;
  const int x0 = std::max(0, static_cast<int>(std::ceil(std::max(cx - r, -1.0))));
  const int x1 =
      std::min(map.cols - 1, static_cast<int>(std::floor(std::min(cx + r, 1.0 * map.cols))));
  const int y0 = std::max(0, static_cast<int>(std::ceil(std::max(cy - r, -1.0))));
  const int y1 =
      std::min(map.rows - 1, static_cast<int>(std::floor(std::min(cy + r, 1.0 * map.rows))));
  for (int y = y0; y <= y1; ++y) {
    int* row = map.ptr<int>(y);
    for (int x = x0; x <= x1; ++x) {
      if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r) row[x] = value;
    }
  }
}

void drawShape(cv::Mat& map, const nlohmann::json& shape, std::size_t index,
               const std::unordered_map<std::string, int>& classOfName, const std::string& source,
               bool ignoreUnknown, Skipped& skipped) {
  const std::string where = "shape " + std::to_string(index);
  if (!shape.is_object()) throw LabelMapError(source, where + " is not an object");
  const auto label = shape.find("label");
  if (label == shape.end() || !label->is_string())
    throw LabelMapError(source, where + " has no \"label\" string");
  std::string type = "polygon";
  if (const auto t = shape.find("shape_type"); t != shape.end() && !t->is_null()) {
    if (!t->is_string())
      throw LabelMapError(source, where + " has a \"shape_type\" that is not a string");
    type = t->get<std::string>();
  }
  if (type == "line" || type == "linestrip" || type == "point" || type == "points") {
    addOnce(skipped.types, type);
    ++skipped.shapes;
    return;
  }
  if (type != "polygon" && type != "rectangle" && type != "circle") {
    throw LabelMapError(source, where + " has shape_type \"" + type +
                                    "\"; only \"polygon\", \"rectangle\" and \"circle\" "
                                    "are areas");
  }
  const auto cls = classOfName.find(label->get<std::string>());
  if (cls == classOfName.end() && ignoreUnknown) {
    addOnce(skipped.labels, label->get<std::string>());
    ++skipped.unknownShapes;
    return;
  }
  if (cls == classOfName.end()) {
    throw LabelMapError(source, where + " has label \"" + label->get<std::string>() +
                                    "\", which is not in the class list");
  }
  const auto points = shape.find("points");
  if (points == shape.end() || !points->is_array())
    throw LabelMapError(source, where + " has no \"points\" array");
  if (points->size() > kMaxShapeVertices) {
    throw LabelMapError(source, where + " has " + std::to_string(points->size()) +
                                    " points; at most " + std::to_string(kMaxShapeVertices) +
                                    " are accepted (simplify the outline)");
  }
  std::vector<cv::Point2d> poly;
  poly.reserve(points->size());
  for (const auto& p : *points) {
    if (!p.is_array() || p.size() != 2 || !p[0].is_number() || !p[1].is_number()) {
      throw LabelMapError(source, where + " has a point that is not a pair of numbers");
    }
    const double x = p[0].get<double>(), y = p[1].get<double>();
    if (!std::isfinite(x) || !std::isfinite(y))
      throw LabelMapError(source, where + " has a non-finite coordinate");
    poly.emplace_back(x, y);
  }
  const int value = cls->second;
  // Clip one pixel beyond the outermost pixel centres.
  const double x0 = -1.0, y0 = -1.0, x1 = map.cols, y1 = map.rows;
  if (type != "polygon" && poly.size() != 2) {
    throw LabelMapError(source, where + " is a " + type + " with " + std::to_string(poly.size()) +
                                    " points instead of 2");
  }
  if (type == "circle") {
    drawCircle(map, poly, value);
    return;
  }
  if (type == "rectangle") {
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
    throw LabelMapError(source, where + " is a polygon with " + std::to_string(poly.size()) +
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

}  // namespace

cv::Mat rasteriseJsonAnnotation(std::istream& in, const std::string& sourceName,
                                const std::vector<ClassEntry>& classes,
                                const std::vector<cv::Size>& allowedSizes,
                                const AnnotationReading& reading) {
  if (classes.size() > kMaxClassCount)
    throw LabelMapError(sourceName, "more than " + std::to_string(kMaxClassCount) + " classes");
  const nlohmann::json doc = parseAnnotation(in, sourceName);
  const cv::Size size(jsonSide(doc, "imageWidth", sourceName),
                      jsonSide(doc, "imageHeight", sourceName));
  if (std::find(allowedSizes.begin(), allowedSizes.end(), size) == allowedSizes.end()) {
    std::string expected;
    for (auto s = allowedSizes.begin(); s != allowedSizes.end(); ++s) {
      if (std::find(allowedSizes.begin(), s, *s) != s) continue;  // FACTOR 1: one size
      expected += (expected.empty() ? "" : " or ") + sizeText(*s);
    }
    throw LabelMapError(
        sourceName, "annotation is for an image of " + sizeText(size) + ", expected " + expected);
  }
  const nlohmann::json& shapes = shapesOf(doc, sourceName);

  std::unordered_map<std::string, int> classOfName;
  for (std::size_t k = 0; k < classes.size(); ++k)
    classOfName.emplace(classes[k].name, static_cast<int>(k + 1));
  cv::Mat map(size, CV_32SC1, cv::Scalar(0));
  Skipped skipped;
  for (std::size_t i = 0; i < shapes.size(); ++i)
    drawShape(map, shapes[i], i, classOfName, sourceName, reading.ignoreUnknown, skipped);
  auto warn = [&](int shapes, const char* which, const std::vector<std::string>& items) {
    if (!reading.warnings || shapes == 0) return;
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "\"" : ", \"") + item + "\"";
    *reading.warnings << "Warning : " << sourceName << ": skipped " << shapes << " shape(s) "
                      << which << " (" << text << ")\n";
  };
  warn(skipped.shapes, "without an area", skipped.types);
  warn(skipped.unknownShapes, "of labels not in the class list", skipped.labels);
  return map;
}

std::vector<std::string> annotationLabels(std::istream& in, const std::string& sourceName) {
  const nlohmann::json doc = parseAnnotation(in, sourceName);
  std::vector<std::string> labels;
  std::unordered_set<std::string> seen;
  for (const auto& shape : shapesOf(doc, sourceName)) {
    if (!shape.is_object() || !shape.contains("label") || !shape["label"].is_string()) continue;
    const std::string label = shape["label"].get<std::string>();
    if (seen.insert(label).second) labels.push_back(label);
  }
  return labels;
}

}  // namespace rovelin
