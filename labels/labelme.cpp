// SPDX-License-Identifier: Apache-2.0
#include "labels/labelme.hpp"

#include "labels/polygon_annotation.hpp"
#include "labels/region_outlines.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>

namespace rovelin {

cv::Mat paintCentrePolygons(cv::Size size,
                            const std::vector<std::pair<int, std::vector<cv::Point>>>& shapes) {
  cv::Mat map(size, CV_32SC1, cv::Scalar(0));
  auto span = [&](int y, int from, int to, int value) {
    if (y < 0 || y >= size.height) return;
    int* row = map.ptr<int>(y);
    for (int x = std::max(from, 0); x <= std::min(to, size.width - 1); ++x) row[x] = value;
  };
  std::vector<std::vector<double>> crossings(static_cast<std::size_t>(size.height));
  for (const auto& [value, points] : shapes) {
    // Rows through pixel centres: an edge crosses row y when one end lies at
    // or above it and the other below; a span takes the pixels whose centres
    // its ends round to, inwards at halves.
    const std::size_t n = points.size();
    int top = size.height, bottom = -1;
    for (std::size_t i = 0; i < n; ++i) {
      const cv::Point a = points[i], b = points[(i + 1) % n];
      top = std::min(top, a.y);
      bottom = std::max(bottom, a.y);
      if (a.y == b.y) continue;
      const int first = std::max(std::min(a.y, b.y), 0);
      const int last = std::min(std::max(a.y, b.y), size.height);  // exclusive
      for (int y = first; y < last; ++y) {
        crossings[static_cast<std::size_t>(y)].push_back(a.x + static_cast<double>(y - a.y) *
                                                                   (b.x - a.x) / (b.y - a.y));
      }
    }
    for (int y = std::max(top, 0); y <= std::min(bottom, size.height - 1); ++y) {
      std::vector<double>& row = crossings[static_cast<std::size_t>(y)];
      std::sort(row.begin(), row.end());
      for (std::size_t i = 0; i + 1 < row.size(); i += 2) {
        span(y, static_cast<int>(std::floor(row[i] + 0.5)),
             static_cast<int>(std::ceil(row[i + 1] - 0.5)), value);
      }
      row.clear();
    }
    // Level edges and the corners themselves are always painted.
    for (std::size_t i = 0; i < n; ++i) {
      const cv::Point a = points[i], b = points[(i + 1) % n];
      if (a.y == b.y) span(a.y, std::min(a.x, b.x), std::max(a.x, b.x), value);
      span(a.y, a.x, a.x, value);
    }
  }
  return map;
}

LabelmeFile writeLabelmeJson(const RegionLabels& frame, const std::vector<std::string>& names,
                             const std::string& imagePath, double tolerance) {
  const cv::Mat& index = frame.regionIndex;
  const int count = static_cast<int>(frame.regionClass.size());
  auto classOf = [&](int region) {
    const int k =
        region >= 0 && region < count ? frame.regionClass[static_cast<std::size_t>(region)] : -1;
    return k >= 0 && k < static_cast<int>(names.size()) ? k : -1;
  };
  using ordered_json = nlohmann::ordered_json;
  ordered_json shapes = ordered_json::array();
  std::vector<std::pair<int, std::vector<cv::Point>>> painted;
  for (RegionOutline& outline :
       regionOutlines(index, count, OutlinePoints::Centres, tolerance, kMaxShapeVertices)) {
    const int k = classOf(outline.region);
    if (k < 0) continue;
    ordered_json points = ordered_json::array();
    for (const cv::Point& p : outline.points) points.push_back({p.x, p.y});
    shapes.push_back({{"label", names[static_cast<std::size_t>(k)]},
                      {"points", std::move(points)},
                      {"group_id", nullptr},
                      {"shape_type", "polygon"},
                      {"flags", ordered_json::object()}});
    painted.emplace_back(k + 1, std::move(outline.points));
  }
  const cv::Mat drawn = paintCentrePolygons(index.size(), painted);
  std::size_t wrong = 0;
  for (int y = 0; y < index.rows; ++y) {
    const int* region = index.ptr<int>(y);
    const int* value = drawn.ptr<int>(y);
    for (int x = 0; x < index.cols; ++x) wrong += value[x] != classOf(region[x]) + 1;
  }
  ordered_json doc = {{"version", "5.1.1"},          {"flags", ordered_json::object()},
                      {"shapes", std::move(shapes)}, {"imagePath", imagePath},
                      {"imageData", nullptr},        {"imageHeight", index.rows},
                      {"imageWidth", index.cols}};
  LabelmeFile file;
  file.json = doc.dump(2, ' ', false, ordered_json::error_handler_t::replace) + "\n";
  file.mismatch = index.total() > 0 ? static_cast<double>(wrong) / index.total() : 0.0;
  return file;
}

}  // namespace rovelin
