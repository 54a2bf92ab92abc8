// SPDX-License-Identifier: Apache-2.0
#include "labels/region_outlines.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <stdexcept>
#include <utility>

namespace rovelin {
namespace {

// Directions along the pixel edges, clockwise on the screen (y grows down):
// east, south, west, north. The one on the right of d is d + 1.
constexpr int kStepX[4] = {1, 0, -1, 0};
constexpr int kStepY[4] = {0, 1, 0, -1};
// The pixel ahead on the right of a corner, moving in each direction; the
// one ahead on the left is the one ahead on the right of the direction
// turned left.
constexpr int kAheadRightX[4] = {0, -1, -1, 0};
constexpr int kAheadRightY[4] = {0, 0, -1, -1};

int rightOf(int d) { return (d + 1) & 3; }
int leftOf(int d) { return (d + 3) & 3; }

// The 4-connected pieces of equal region: a piece number for every pixel
// (-1 outside every region), pieces numbered in raster order of their first
// pixels.
struct Pieces {
  std::vector<int> of;
  std::vector<int> first;   // raster index of every piece's first pixel
  std::vector<int> region;  // region of every piece
};

int rootOf(std::vector<int>& parent, int i) {
  while (parent[static_cast<std::size_t>(i)] != i) {
    const auto u = static_cast<std::size_t>(i);
    parent[u] = parent[static_cast<std::size_t>(parent[u])];
    i = parent[u];
  }
  return i;
}

// The smaller index stays the root, so a piece's root is its first pixel.
void join(std::vector<int>& parent, int a, int b) {
  a = rootOf(parent, a);
  b = rootOf(parent, b);
  if (a != b) parent[static_cast<std::size_t>(std::max(a, b))] = std::min(a, b);
}

Pieces findPieces(const cv::Mat& index, int count) {
  const int w = index.cols;
  Pieces pieces;
  std::vector<int>& parent = pieces.of;
  parent.assign(index.total(), -1);
  for (int y = 0; y < index.rows; ++y) {
    const int* row = index.ptr<int>(y);
    const int* above = y > 0 ? index.ptr<int>(y - 1) : nullptr;
    for (int x = 0; x < w; ++x) {
      const int v = row[x];
      if (v < 0 || v >= count) continue;
      const int p = y * w + x;
      parent[static_cast<std::size_t>(p)] = p;
      if (x > 0 && row[x - 1] == v) join(parent, p, p - 1);
      if (above && above[x] == v) join(parent, p, p - w);
    }
  }
  // Roots come before the rest of their pieces: number them as they come.
  std::vector<int> number(parent.size(), -1);
  for (int p = 0; p < static_cast<int>(parent.size()); ++p) {
    const auto u = static_cast<std::size_t>(p);
    if (parent[u] < 0) continue;
    const int root = rootOf(parent, p);
    if (root == p) {
      number[u] = static_cast<int>(pieces.first.size());
      pieces.first.push_back(p);
      pieces.region.push_back(index.ptr<int>(p / w)[p % w]);
    }
    number[u] = number[static_cast<std::size_t>(root)];
  }
  pieces.of = std::move(number);
  return pieces;
}

struct Corner {
  cv::Point at;
  int in = 0;   // direction arriving
  int out = 0;  // direction leaving
};

// The corners where the outline of piece `piece` turns, from the top-left
// corner of its first pixel.
std::vector<Corner> traceCorners(const Pieces& pieces, int piece, cv::Size size) {
  const int first = pieces.first[static_cast<std::size_t>(piece)];
  const cv::Point start(first % size.width, first / size.width);
  auto inside = [&](int x, int y) {
    return x >= 0 && y >= 0 && x < size.width && y < size.height &&
           pieces.of[static_cast<std::size_t>(y) * static_cast<std::size_t>(size.width) +
                     static_cast<std::size_t>(x)] == piece;
  };
  // Nothing of the piece lies above or left of its first pixel: the outline
  // comes up its left edge and turns east along its top.
  std::vector<Corner> corners{{start, 3, 0}};
  cv::Point v = start;
  int d = 0;
  for (;;) {
    v.x += kStepX[d];
    v.y += kStepY[d];
    int next = d;
    if (!inside(v.x + kAheadRightX[d], v.y + kAheadRightY[d])) {
      next = rightOf(d);  // also where the piece only touches a corner ahead
    } else if (inside(v.x + kAheadRightX[leftOf(d)], v.y + kAheadRightY[leftOf(d)])) {
      next = leftOf(d);
    }
    if (v == start && next == 0) break;
    if (next != d) corners.push_back({v, d, next});
    d = next;
  }
  return corners;
}

// Twice the area inside the corner outline: the pixels it encloses, holes
// included, times 2.
std::int64_t doubledArea(const std::vector<Corner>& corners) {
  std::int64_t sum = 0;
  for (std::size_t i = 0; i < corners.size(); ++i) {
    const cv::Point a = corners[i].at;
    const cv::Point b = corners[(i + 1) % corners.size()].at;
    sum += static_cast<std::int64_t>(a.x) * b.y - static_cast<std::int64_t>(b.x) * a.y;
  }
  return sum < 0 ? -sum : sum;
}

// The outline's points: the corners themselves, or each corner moved half a
// pixel inwards, off both its edges, onto the centre of a border pixel.
std::vector<cv::Point> outlinePoints(const std::vector<Corner>& corners, OutlinePoints where) {
  std::vector<cv::Point> points;
  points.reserve(corners.size());
  for (const Corner& c : corners) {
    cv::Point p = c.at;
    if (where == OutlinePoints::Centres) {
      const int rIn = rightOf(c.in), rOut = rightOf(c.out);
      p.x = (2 * p.x + kStepX[rIn] + kStepX[rOut] - 1) / 2;
      p.y = (2 * p.y + kStepY[rIn] + kStepY[rOut] - 1) / 2;
    }
    if (points.empty() || points.back() != p) points.push_back(p);
  }
  while (points.size() > 1 && points.back() == points.front()) points.pop_back();
  return points;
}

double squaredDistanceToSegment(cv::Point p, cv::Point a, cv::Point b) {
  const double dx = b.x - a.x, dy = b.y - a.y;
  double t = 0.0;
  const double length = dx * dx + dy * dy;
  if (length > 0) t = std::clamp(((p.x - a.x) * dx + (p.y - a.y) * dy) / length, 0.0, 1.0);
  const double ex = p.x - (a.x + t * dx), ey = p.y - (a.y + t * dy);
  return ex * ex + ey * ey;
}

// Douglas-Peucker on a closed outline, from its first point and the point
// farthest from it.
std::vector<cv::Point> simplified(const std::vector<cv::Point>& points, double tolerance) {
  const std::size_t n = points.size();
  if (n <= 3 || tolerance <= 0) return points;
  auto at = [&](std::size_t i) { return points[i % n]; };
  std::size_t far = 0;
  double farthest = -1;
  for (std::size_t i = 1; i < n; ++i) {
    const double d = squaredDistanceToSegment(points[i], points[0], points[0]);
    if (d > farthest) farthest = d, far = i;
  }
  std::vector<char> keep(n, 0);
  keep[0] = keep[far] = 1;
  std::vector<std::pair<std::size_t, std::size_t>> spans{{0, far}, {far, n}};
  const double limit = tolerance * tolerance;
  while (!spans.empty()) {
    const auto [a, b] = spans.back();
    spans.pop_back();
    double worst = -1;
    std::size_t worstAt = a;
    for (std::size_t i = a + 1; i < b; ++i) {
      const double d = squaredDistanceToSegment(at(i), at(a), at(b));
      if (d > worst) worst = d, worstAt = i;
    }
    if (worst > limit) {
      keep[worstAt] = 1;
      spans.emplace_back(a, worstAt);
      spans.emplace_back(worstAt, b);
    }
  }
  std::vector<cv::Point> kept;
  for (std::size_t i = 0; i < n; ++i)
    if (keep[i]) kept.push_back(points[i]);
  return kept;
}

}  // namespace

std::vector<RegionOutline> regionOutlines(const cv::Mat& regionIndex, int count,
                                          OutlinePoints where, double tolerance,
                                          std::size_t maxPoints) {
  CV_Assert(regionIndex.type() == CV_32SC1);
  if (static_cast<double>(regionIndex.total()) >= static_cast<double>(INT_MAX))
    throw std::length_error("the frame is too large to outline");
  maxPoints = std::max<std::size_t>(maxPoints, 3);
  const Pieces pieces = findPieces(regionIndex, count);
  struct Traced {
    std::int64_t area;
    int piece;
    std::vector<cv::Point> points;
  };
  std::vector<Traced> traced;
  traced.reserve(pieces.first.size());
  for (int piece = 0; piece < static_cast<int>(pieces.first.size()); ++piece) {
    const std::vector<Corner> corners = traceCorners(pieces, piece, regionIndex.size());
    traced.push_back({doubledArea(corners), piece, outlinePoints(corners, where)});
  }
  // A piece inside another's hole encloses fewer pixels than that one.
  std::stable_sort(traced.begin(), traced.end(),
                   [](const Traced& a, const Traced& b) { return a.area > b.area; });
  std::vector<RegionOutline> outlines;
  outlines.reserve(traced.size());
  for (Traced& t : traced) {
    std::vector<cv::Point> points = simplified(t.points, tolerance);
    for (double wider = std::max(2 * tolerance, 0.5); points.size() > maxPoints; wider *= 2)
      points = simplified(t.points, wider);
    while (points.size() < 3) points.push_back(points[0]);
    outlines.push_back({pieces.region[static_cast<std::size_t>(t.piece)], std::move(points)});
  }
  return outlines;
}

}  // namespace rovelin
