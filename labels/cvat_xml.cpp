// SPDX-License-Identifier: Apache-2.0
#include "labels/cvat_xml.hpp"

#include "labels/polygon_annotation.hpp"
#include "labels/region_outlines.hpp"
#include "labels/rle.hpp"

#include <tinyxml2.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <regex>
#include <sstream>
#include <unordered_map>

namespace rovelin {
namespace {

std::string escaped(const std::string& text) {
  static const std::map<char, std::string> kEntities = {
      {'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'"', "&quot;"}};
  std::string out;
  for (const char c : text) {
    const auto entity = kEntities.find(c);
    if (entity != kEntities.end()) {
      out += entity->second;
    } else {
      out += c;
    }
  }
  return out;
}

std::string hexColour(const cv::Vec3b& rgb) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", rgb[0], rgb[1], rgb[2]);
  return text;
}

// Bounding boxes of the regions, in one pass over the frame.
std::vector<cv::Rect> regionBoxes(const cv::Mat& index, int count) {
  std::vector<cv::Vec4i> box(static_cast<std::size_t>(count), cv::Vec4i(1 << 30, 1 << 30, -1, -1));
  for (int y = 0; y < index.rows; ++y) {
    const int* row = index.ptr<int>(y);
    for (int x = 0; x < index.cols; ++x) {
      if (row[x] < 0 || row[x] >= count) continue;
      cv::Vec4i& b = box[static_cast<std::size_t>(row[x])];
      b = {std::min(b[0], x), std::min(b[1], y), std::max(b[2], x), std::max(b[3], y)};
    }
  }
  std::vector<cv::Rect> rects;
  for (const cv::Vec4i& b : box)
    rects.emplace_back(b[0], b[1], b[2] >= b[0] ? b[2] - b[0] + 1 : 0,
                       b[3] >= b[1] ? b[3] - b[1] + 1 : 0);
  return rects;
}

std::string runText(const std::vector<std::int64_t>& runs) {
  std::string text;
  for (std::size_t i = 0; i < runs.size(); ++i) text += (i ? ", " : "") + std::to_string(runs[i]);
  return text;
}

int intAttribute(const tinyxml2::XMLElement& e, const char* name, const std::string& where,
                 const std::string& source) {
  const char* text = e.Attribute(name);
  long long value = 0;
  char tail = 0;
  if (!text || std::sscanf(text, "%lld%c", &value, &tail) != 1 || value < 0 || value > (1 << 30))
    throw LabelMapError(source, where + " has no whole-number \"" + name + "\"");
  return static_cast<int>(value);
}

struct Shape {
  int z = 0;
  int value = 0;
  cv::Mat mask;
};

cv::Mat maskOf(const tinyxml2::XMLElement& e, cv::Size size, const std::string& where,
               const std::string& source) {
  const cv::Rect box(intAttribute(e, "left", where, source), intAttribute(e, "top", where, source),
                     intAttribute(e, "width", where, source),
                     intAttribute(e, "height", where, source));
  if (box.width == 0 || box.height == 0 || box.x + box.width > size.width ||
      box.y + box.height > size.height)
    throw LabelMapError(source, where + " has a box outside the frame");
  const char* rle = e.Attribute("rle");
  if (!rle) throw LabelMapError(source, where + " has no \"rle\"");
  std::vector<std::int64_t> runs;
  std::istringstream in(rle);
  std::string token;
  while (std::getline(in, token, ',')) {
    long long value = 0;
    char tail = 0;
    if (std::sscanf(token.c_str(), " %lld %c", &value, &tail) != 1)
      throw LabelMapError(source, where + " has an \"rle\" that is not whole numbers");
    runs.push_back(value);
  }
  cv::Mat mask(size, CV_8UC1, cv::Scalar(0));
  maskFromRuns(runs, box.size(), false, source + ", " + where).copyTo(mask(box));
  return mask;
}

cv::Mat polygonOf(const tinyxml2::XMLElement& e, cv::Size size, const std::string& where,
                  const std::string& source) {
  const char* text = e.Attribute("points");
  if (!text) throw LabelMapError(source, where + " has no \"points\"");
  std::vector<cv::Point2d> points;
  std::istringstream in(text);
  std::string pair;
  while (std::getline(in, pair, ';')) {
    double x = 0, y = 0;
    char tail = 0;
    if (std::sscanf(pair.c_str(), " %lf , %lf %c", &x, &y, &tail) != 2 || !std::isfinite(x) ||
        !std::isfinite(y))
      throw LabelMapError(source, where + " has a point that is not \"x,y\"");
    if (x < 0 || y < 0 || x > size.width || y > size.height)
      throw LabelMapError(source, where + " has a point outside the frame");
    points.emplace_back(x, y);
    if (points.size() > kMaxShapeVertices) {
      throw LabelMapError(
          source, where + " has more than " + std::to_string(kMaxShapeVertices) + " points");
    }
  }
  if (points.size() < 3) throw LabelMapError(source, where + " has fewer than 3 points");
  cv::Mat mask(size, CV_8UC1, cv::Scalar(0));
  fillPolygonByCentres(mask, points);
  return mask;
}

// A frame's pieces as <polygon> elements, painted in z_order.
std::string polygonElements(const RegionLabels& frame, const std::vector<std::string>& names,
                            double tolerance) {
  const int count = static_cast<int>(frame.regionClass.size());
  std::string xml;
  int z = 0;
  for (const RegionOutline& outline : regionOutlines(
           frame.regionIndex, count, OutlinePoints::Corners, tolerance, kMaxShapeVertices)) {
    const int k = frame.regionClass[static_cast<std::size_t>(outline.region)];
    if (k < 0 || k >= static_cast<int>(names.size())) continue;
    std::string points;
    for (const cv::Point& p : outline.points) {
      if (!points.empty()) points += ';';
      points += std::to_string(p.x);
      points += ',';
      points += std::to_string(p.y);
    }
    xml += "    <polygon label=\"" + escaped(names[static_cast<std::size_t>(k)]) +
           "\" source=\"auto\" occluded=\"0\" points=\"" + points + "\" z_order=\"" +
           std::to_string(z++) + "\">\n    </polygon>\n";
  }
  return xml;
}

}  // namespace

std::string writeCvatXml(const std::vector<RegionLabels>& frames,
                         const std::vector<std::string>& names, const std::vector<cv::Vec3b>& rgb,
                         const CvatShapes& shapes) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<annotations>\n"
      "  <version>1.1</version>\n  <meta>\n    <task>\n      <labels>\n";
  for (std::size_t k = 0; k < names.size(); ++k) {
    xml += "        <label>\n          <name>" + escaped(names[k]) + "</name>\n          <color>" +
           hexColour(rgb[k]) + "</color>\n          <type>" +
           (shapes.polygons ? "polygon" : "mask") +
           "</type>\n"
           "          <attributes>\n          </attributes>\n        </label>\n";
  }
  xml += "      </labels>\n    </task>\n  </meta>\n";
  for (const RegionLabels& f : frames) {
    const cv::Mat& index = f.regionIndex;
    std::string name = frameImageName(f.frame);
    name.erase(name.size() - 4);  // CVAT names video frames without an extension
    xml += "  <image id=\"" + std::to_string(f.frame) + "\" name=\"" + name + "\" width=\"" +
           std::to_string(index.cols) + "\" height=\"" + std::to_string(index.rows) + "\">\n";
    const int count = static_cast<int>(f.regionClass.size());
    if (shapes.polygons) {
      xml += polygonElements(f, names, shapes.tolerance);
      xml += "  </image>\n";
      continue;
    }
    const std::vector<cv::Rect> boxes = regionBoxes(index, count);
    for (int r = 0; r < count; ++r) {
      const int k = f.regionClass[static_cast<std::size_t>(r)];
      const cv::Rect box = boxes[static_cast<std::size_t>(r)];
      if (k < 0 || k >= static_cast<int>(names.size()) || box.area() == 0) continue;
      cv::Mat region = index(box) == r;
      cv::Mat pieces, stats, centroids;
      const int n = cv::connectedComponentsWithStats(region, pieces, stats, centroids, 8, CV_32S);
      for (int p = 1; p < n; ++p) {
        const cv::Rect piece(stats.at<int>(p, cv::CC_STAT_LEFT), stats.at<int>(p, cv::CC_STAT_TOP),
                             stats.at<int>(p, cv::CC_STAT_WIDTH),
                             stats.at<int>(p, cv::CC_STAT_HEIGHT));
        const cv::Mat mask = pieces(piece) == p;
        xml += "    <mask label=\"" + escaped(names[static_cast<std::size_t>(k)]) +
               "\" source=\"auto\" occluded=\"0\" rle=\"" + runText(maskRuns(mask, false)) +
               "\" left=\"" + std::to_string(box.x + piece.x) + "\" top=\"" +
               std::to_string(box.y + piece.y) + "\" width=\"" + std::to_string(piece.width) +
               "\" height=\"" + std::to_string(piece.height) + "\" z_order=\"0\">\n    </mask>\n";
      }
    }
    xml += "  </image>\n";
  }
  xml += "</annotations>\n";
  return xml;
}

std::vector<ImportedFrame> readCvatXml(std::string_view text, const std::string& source,
                                       const std::vector<ClassEntry>& classes,
                                       const std::vector<cv::Size>& allowedSizes,
                                       bool ignoreUnknown) {
  tinyxml2::XMLDocument doc;
  if (doc.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS)
    throw LabelMapError(source, "malformed XML (line " + std::to_string(doc.ErrorLineNum()) + ")");
  const tinyxml2::XMLElement* root = doc.FirstChildElement("annotations");
  if (!root) throw LabelMapError(source, "no <annotations> element");
  if (root->FirstChildElement("track"))
    throw LabelMapError(source, "holds <track> elements; export the task as images");
  std::unordered_map<std::string, int> classOfName;
  for (std::size_t k = 0; k < classes.size(); ++k)
    classOfName.emplace(classes[k].name, static_cast<int>(k + 1));
  static const std::regex framePattern(R"((?:^|.*/)frame_([0-9]{1,9})(?:\.[A-Za-z]+)?)");
  std::vector<ImportedFrame> frames;
  std::map<int, bool> seen;
  for (const tinyxml2::XMLElement* image = root->FirstChildElement("image"); image;
       image = image->NextSiblingElement("image")) {
    const int id = intAttribute(*image, "id", "an <image>", source);
    const std::string where = "image " + std::to_string(id);
    const cv::Size size(intAttribute(*image, "width", where, source),
                        intAttribute(*image, "height", where, source));
    if (std::find(allowedSizes.begin(), allowedSizes.end(), size) == allowedSizes.end()) {
      throw LabelMapError(source, where + " is " + sizeText(size) +
                                      ", not the size of the video's frames at the factor");
    }
    int frame = id;
    std::smatch match;
    const std::string name = image->Attribute("name") ? image->Attribute("name") : "";
    if (std::regex_match(name, match, framePattern)) frame = std::stoi(match[1]);
    if (!seen.emplace(frame, true).second)
      throw LabelMapError(source, "frame " + std::to_string(frame) + " is given twice");
    std::vector<Shape> shapes;
    int index = 0;
    for (const tinyxml2::XMLElement* e = image->FirstChildElement(); e;
         e = e->NextSiblingElement(), ++index) {
      const std::string kind = e->Name();
      const std::string at = where + ", " + kind + " " + std::to_string(index);
      if (kind == "box")
        throw LabelMapError(source, at + ": boxes are not region labels; draw a mask or polygon");
      if (kind != "mask" && kind != "polygon") continue;
      const char* label = e->Attribute("label");
      const auto cls = label ? classOfName.find(label) : classOfName.end();
      if (cls == classOfName.end() && ignoreUnknown) continue;
      if (cls == classOfName.end()) {
        throw LabelMapError(source, at + " has label \"" + (label ? label : "") +
                                        "\", which is not in the class list");
      }
      const int z = e->IntAttribute("z_order", 0);
      shapes.push_back(
          {z, cls->second,
           kind == "mask" ? maskOf(*e, size, at, source) : polygonOf(*e, size, at, source)});
    }
    std::stable_sort(shapes.begin(), shapes.end(),
                     [](const Shape& a, const Shape& b) { return a.z < b.z; });
    ImportedFrame out{frame, cv::Mat(size, CV_32SC1, cv::Scalar(0))};
    for (const Shape& s : shapes) out.classNumbers.setTo(s.value, s.mask);
    frames.push_back(std::move(out));
  }
  return frames;
}

}  // namespace rovelin
