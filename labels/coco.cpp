// SPDX-License-Identifier: Apache-2.0
// The runs of every region of a frame are gathered in one column-major pass
// over the frame instead of one pass per region, since a frame may have
// hundreds of regions.
#include "labels/coco.hpp"

#include "labels/polygon_annotation.hpp"

#include "labels/rle.hpp"

#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <regex>
#include <unordered_map>

namespace rovelin {
namespace {

using nlohmann::json;

struct RegionRuns {
  std::vector<std::int64_t> runs;
  std::int64_t end = 0;  // linear index after its last set pixel
  long long area = 0;
  int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
};

std::vector<RegionRuns> columnMajorRuns(const cv::Mat& index, int regionCount) {
  std::vector<RegionRuns> regions(static_cast<std::size_t>(regionCount));
  int previous = -1;
  std::int64_t p = 0;
  for (int x = 0; x < index.cols; ++x) {
    for (int y = 0; y < index.rows; ++y, ++p) {
      const int r = index.at<int>(y, x);
      if (r < 0 || r >= regionCount) {
        previous = -1;
        continue;
      }
      RegionRuns& region = regions[static_cast<std::size_t>(r)];
      if (r != previous) {
        region.runs.push_back(p - region.end);
        region.runs.push_back(0);
      }
      ++region.runs.back();
      region.end = p + 1;
      ++region.area;
      region.x0 = std::min(region.x0, x);
      region.x1 = std::max(region.x1, x);
      region.y0 = std::min(region.y0, y);
      region.y1 = std::max(region.y1, y);
      previous = r;
    }
  }
  for (RegionRuns& region : regions) {
    if (p > region.end) region.runs.push_back(p - region.end);
  }
  return regions;
}

const json& member(const json& object, const char* key, const std::string& where,
                   const std::string& source) {
  const auto it = object.find(key);
  if (it == object.end()) throw LabelMapError(source, where + " has no \"" + key + "\"");
  return *it;
}

int integerMember(const json& object, const char* key, const std::string& where,
                  const std::string& source) {
  const json& v = member(object, key, where, source);
  if (!v.is_number_integer() || v.get<std::int64_t>() < 0 || v.get<std::int64_t>() > (1 << 30))
    throw LabelMapError(source, where + " has a \"" + key + "\" that is not a whole number");
  return static_cast<int>(v.get<std::int64_t>());
}

int frameOfImage(const json& image, int id) {
  const auto name = image.find("file_name");
  static const std::regex pattern(R"((?:^|.*/)frame_([0-9]{1,9})\.[A-Za-z]+)");
  std::smatch match;
  if (name != image.end() && name->is_string()) {
    const std::string text = name->get<std::string>();
    if (std::regex_match(text, match, pattern)) return std::stoi(match[1]);
  }
  return id;
}

cv::Mat polygonMask(const json& polygons, cv::Size size, const std::string& where,
                    const std::string& source) {
  cv::Mat mask(size, CV_8UC1, cv::Scalar(0));
  for (const json& polygon : polygons) {
    if (!polygon.is_array() || polygon.size() < 6 || polygon.size() % 2 != 0)
      throw LabelMapError(source, where + " has a polygon that is not 3 or more x, y pairs");
    if (polygon.size() / 2 > kMaxShapeVertices) {
      throw LabelMapError(source, where + " has a polygon of " +
                                      std::to_string(polygon.size() / 2) + " points; at most " +
                                      std::to_string(kMaxShapeVertices) +
                                      " are accepted (simplify the outline)");
    }
    std::vector<cv::Point2d> points;
    for (std::size_t i = 0; i < polygon.size(); i += 2) {
      if (!polygon[i].is_number() || !polygon[i + 1].is_number())
        throw LabelMapError(source, where + " has a polygon coordinate that is not a number");
      const double x = polygon[i].get<double>(), y = polygon[i + 1].get<double>();
      if (!(x >= 0 && x <= size.width && y >= 0 && y <= size.height))
        throw LabelMapError(source, where + " has a polygon point outside the frame");
      points.emplace_back(x, y);
    }
    fillPolygonByCentres(mask, points);
  }
  return mask;
}

cv::Mat rleMask(const json& rle, cv::Size frameSize, const std::string& where,
                const std::string& source) {
  const json& size = member(rle, "size", where, source);
  if (!size.is_array() || size.size() != 2 || !size[0].is_number_integer() ||
      !size[1].is_number_integer() || size[0].get<std::int64_t>() != frameSize.height ||
      size[1].get<std::int64_t>() != frameSize.width) {
    throw LabelMapError(source, where + " has a mask \"size\" other than the frame's [" +
                                    std::to_string(frameSize.height) + ", " +
                                    std::to_string(frameSize.width) + "]");
  }
  const json& counts = member(rle, "counts", where, source);
  std::vector<std::int64_t> runs;
  if (counts.is_string()) {
    runs = decompressCocoRuns(counts.get<std::string>(), source + ", " + where);
  } else if (counts.is_array()) {
    for (const json& c : counts) {
      if (!c.is_number_integer())
        throw LabelMapError(source, where + " has a count that is not a whole number");
      runs.push_back(c.get<std::int64_t>());
    }
  } else {
    throw LabelMapError(source, where + " has \"counts\" that are neither a string nor a list");
  }
  return maskFromRuns(runs, frameSize, true, source + ", " + where);
}

}  // namespace

void fillPolygonByCentres(cv::Mat& mask, const std::vector<cv::Point2d>& corners) {
  // Each edge adds its crossings to the rows whose centres it spans, so the
  // fill costs the edges' rows plus the pixels, whatever the vertex count.
  std::vector<std::vector<double>> crossings(static_cast<std::size_t>(mask.rows));
  for (std::size_t i = 0; i < corners.size(); ++i) {
    const cv::Point2d& a = corners[i];
    const cv::Point2d& b = corners[(i + 1) % corners.size()];
    if (a.y == b.y) continue;
    // Rows whose centre y + 0.5 lies in [min, max) of the edge.
    const double low = std::min(a.y, b.y), high = std::max(a.y, b.y);
    const int first = std::max(0, static_cast<int>(std::ceil(low - 0.5)));
    const int last = std::min(mask.rows, static_cast<int>(std::ceil(high - 0.5)));
    for (int y = first; y < last; ++y) {
      const double centre = y + 0.5;
      crossings[static_cast<std::size_t>(y)].push_back(a.x +
                                                       (centre - a.y) * (b.x - a.x) / (b.y - a.y));
    }
  }
  for (int y = 0; y < mask.rows; ++y) {
    std::vector<double>& row = crossings[static_cast<std::size_t>(y)];
    std::sort(row.begin(), row.end());
    unsigned char* out = mask.ptr<unsigned char>(y);
    for (std::size_t i = 0; i + 1 < row.size(); i += 2) {
      // Pixel x is inside when its centre x + 0.5 lies in [from, to).
      const int from = std::max(0, static_cast<int>(std::ceil(row[i] - 0.5)));
      const int to = std::min(mask.cols, static_cast<int>(std::ceil(row[i + 1] - 0.5)));
      for (int x = from; x < to; ++x) out[x] = 1;
    }
  }
}

std::string frameImageName(int frame) {
  char name[32];
  std::snprintf(name, sizeof name, "frame_%06d.png", frame);
  return name;
}

std::string writeCocoJson(const std::vector<RegionLabels>& frames,
                          const std::vector<std::string>& names) {
  json images = json::array(), annotations = json::array(), categories = json::array();
  for (std::size_t k = 0; k < names.size(); ++k)
    categories.push_back({{"id", k + 1}, {"name", names[k]}, {"supercategory", ""}});
  long long id = 0;
  for (const RegionLabels& f : frames) {
    const cv::Size size = f.regionIndex.size();
    images.push_back({{"id", f.frame},
                      {"file_name", frameImageName(f.frame)},
                      {"width", size.width},
                      {"height", size.height}});
    const int count = static_cast<int>(f.regionClass.size());
    const std::vector<RegionRuns> regions = columnMajorRuns(f.regionIndex, count);
    for (int r = 0; r < count; ++r) {
      const RegionRuns& region = regions[static_cast<std::size_t>(r)];
      const int k = f.regionClass[static_cast<std::size_t>(r)];
      if (region.area == 0 || k < 0 || k >= static_cast<int>(names.size())) continue;
      annotations.push_back(
          {{"id", ++id},
           {"image_id", f.frame},
           {"category_id", k + 1},
           {"segmentation",
            {{"size", {size.height, size.width}}, {"counts", compressCocoRuns(region.runs)}}},
           {"area", region.area},
           {"bbox", {region.x0, region.y0, region.x1 - region.x0 + 1, region.y1 - region.y0 + 1}},
           {"iscrowd", 1}});
    }
  }
  const json doc = {{"images", images}, {"annotations", annotations}, {"categories", categories}};
  return doc.dump(1) + "\n";
}

std::vector<ImportedFrame> readCocoJson(std::istream& in, const std::string& source,
                                        const std::vector<ClassEntry>& classes,
                                        const std::vector<cv::Size>& allowedSizes,
                                        bool ignoreUnknown) {
  json doc;
  try {
    doc = json::parse(in);
  } catch (const json::exception&) {
    throw LabelMapError(source, "malformed JSON");
  }
  if (!doc.is_object()) throw LabelMapError(source, "COCO JSON is not an object");
  for (const char* key : {"images", "annotations", "categories"}) {
    if (!doc.contains(key) || !doc[key].is_array())
      throw LabelMapError(source, std::string("missing \"") + key + "\" array");
  }
  std::unordered_map<std::string, int> classOfName;
  for (std::size_t k = 0; k < classes.size(); ++k)
    classOfName.emplace(classes[k].name, static_cast<int>(k + 1));
  std::unordered_map<std::int64_t, int> classOfCategory;  // 0: skipped
  for (const json& c : doc["categories"]) {
    if (!c.is_object()) throw LabelMapError(source, "a category is not an object");
    const int id = integerMember(c, "id", "a category", source);
    const json& name = member(c, "name", "category " + std::to_string(id), source);
    if (!name.is_string())
      throw LabelMapError(source, "category " + std::to_string(id) + " has no name string");
    const auto cls = classOfName.find(name.get<std::string>());
    if (cls == classOfName.end() && !ignoreUnknown) {
      throw LabelMapError(source,
                          "category \"" + name.get<std::string>() + "\" is not in the class list");
    }
    classOfCategory[id] = cls == classOfName.end() ? 0 : cls->second;
  }
  std::vector<ImportedFrame> frames;
  std::unordered_map<std::int64_t, std::size_t> frameOfId;
  std::map<int, int> seen;
  for (const json& image : doc["images"]) {
    if (!image.is_object()) throw LabelMapError(source, "an image is not an object");
    const int id = integerMember(image, "id", "an image", source);
    const std::string where = "image " + std::to_string(id);
    const cv::Size size(integerMember(image, "width", where, source),
                        integerMember(image, "height", where, source));
    if (std::find(allowedSizes.begin(), allowedSizes.end(), size) == allowedSizes.end()) {
      throw LabelMapError(source, where + " is " + sizeText(size) +
                                      ", not the size of the video's frames at the factor");
    }
    const int frame = frameOfImage(image, id);
    if (!seen.emplace(frame, id).second)
      throw LabelMapError(source, "frame " + std::to_string(frame) + " is given twice");
    if (!frameOfId.emplace(id, frames.size()).second)
      throw LabelMapError(source, "image id " + std::to_string(id) + " is given twice");
    frames.push_back({frame, cv::Mat(size, CV_32SC1, cv::Scalar(0))});
  }
  std::size_t index = 0;
  for (const json& a : doc["annotations"]) {
    const std::string where = "annotation " + std::to_string(index++);
    if (!a.is_object()) throw LabelMapError(source, where + " is not an object");
    const auto image = frameOfId.find(integerMember(a, "image_id", where, source));
    if (image == frameOfId.end())
      throw LabelMapError(source, where + " refers to an image that is not listed");
    const auto cls = classOfCategory.find(integerMember(a, "category_id", where, source));
    if (cls == classOfCategory.end())
      throw LabelMapError(source, where + " refers to a category that is not listed");
    const json& segmentation = member(a, "segmentation", where, source);
    cv::Mat& map = frames[image->second].classNumbers;
    cv::Mat mask;
    if (segmentation.is_object()) {
      mask = rleMask(segmentation, map.size(), where, source);
    } else if (segmentation.is_array()) {
      mask = polygonMask(segmentation, map.size(), where, source);
    } else {
      throw LabelMapError(source, where + " has a segmentation of unknown form");
    }
    if (cls->second > 0) map.setTo(cls->second, mask);
  }
  return frames;
}

}  // namespace rovelin
