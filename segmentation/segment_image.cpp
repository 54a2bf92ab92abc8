// SPDX-License-Identifier: Apache-2.0
// The segmentation pipeline: smooth, build the 8-neighbourhood graph, merge
// with the adaptive threshold, merge away small components, colour.
//
// Each edge is kept in 8 bytes: the order-preserving key of its weight and a
// 32-bit identifier (pixel index * 4 + direction), from which its end points
// follow. Edges are radix-sorted by weight; edges of equal weight keep their
// construction order (the sort is stable).
// The colours are not kept in an array of their own: a root's colour is
// parked in its own output pixel. One rand() triple is drawn per pixel, in
// pixel order, and a component takes the triple drawn at its root.
#include "segmentation/segment_image.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <locale>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <time.h>

#include "segmentation/smoothing.hpp"
#include "util/error.hpp"

namespace rovelin {
namespace {

inline float distanceBetween(float r1, float g1, float b1, float r2, float g2, float b2) {
  const float dr = r1 - r2;
  const float dg = g1 - g2;
  const float db = b1 - b2;
  const float sr = dr * dr;
  const float sg = dg * dg;
  const float sb = db * db;
  const float sum = static_cast<float>(static_cast<double>(sr) + static_cast<double>(sg) +
                                       static_cast<double>(sb));
  return static_cast<float>(std::sqrt(static_cast<double>(sum)));
}

// Calls emit(weight, p, direction, q) for every edge in construction order;
// directions 0..3 are right, below, below right, above right.
template <typename Emit>
void forEachGraphEdge(const GridImage<float>& red, const GridImage<float>& green,
                      const GridImage<float>& blue, Emit emit) {
  const int w = red.width();
  const int h = red.height();
  for (int y = 0; y < h; ++y) {
    const float* r0 = red.row(y);
    const float* g0 = green.row(y);
    const float* b0 = blue.row(y);
    const bool hasBelow = y < h - 1;
    const bool hasAbove = y > 0;
    const float* r1 = hasBelow ? red.row(y + 1) : r0;
    const float* g1 = hasBelow ? green.row(y + 1) : g0;
    const float* b1 = hasBelow ? blue.row(y + 1) : b0;
    const float* ru = hasAbove ? red.row(y - 1) : r0;
    const float* gu = hasAbove ? green.row(y - 1) : g0;
    const float* bu = hasAbove ? blue.row(y - 1) : b0;
    const int rowStart = y * w;
    for (int x = 0; x < w; ++x) {
      const int p = rowStart + x;
      const bool hasRight = x < w - 1;
      if (hasRight) {
        emit(distanceBetween(r0[x], g0[x], b0[x], r0[x + 1], g0[x + 1], b0[x + 1]), p, 0, p + 1);
      }
      if (hasBelow) emit(distanceBetween(r0[x], g0[x], b0[x], r1[x], g1[x], b1[x]), p, 1, p + w);
      if (hasRight && hasBelow) {
        emit(distanceBetween(r0[x], g0[x], b0[x], r1[x + 1], g1[x + 1], b1[x + 1]), p, 2,
             p + w + 1);
      }
      if (hasRight && hasAbove) {
        emit(distanceBetween(r0[x], g0[x], b0[x], ru[x + 1], gu[x + 1], bu[x + 1]), p, 3,
             p - w + 1);
      }
    }
  }
}

void checkPlanes(const GridImage<float>& red, const GridImage<float>& green,
                 const GridImage<float>& blue) {
  if (green.width() != red.width() || blue.width() != red.width() ||
      green.height() != red.height() || blue.height() != red.height()) {
    throw std::invalid_argument("colour planes of different sizes");
  }
}

// An edge as the pipeline keeps it.
struct PackedEdge {
  std::uint32_t key;  // weightSortKey of the weight
  std::uint32_t id;   // pixel index * 4 + direction
};

struct KeyOfPacked {
  std::uint32_t operator()(const PackedEdge& e) const noexcept { return e.key; }
};

GridImage<float> colourPlane(const GridImage<RgbPixel>& input, unsigned char RgbPixel::*sample) {
  GridImage<float> plane(input.width(), input.height(), true);
  const RgbPixel* in = input.data();
  float* out = plane.data();
  const std::size_t n = input.pixelCount();
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(in[i].*sample);
  return plane;
}

class StageClock {
public:
  explicit StageClock(SegmentationStageTimes* times) : times_(times) {
    if (times_ != nullptr) {
      *times_ = SegmentationStageTimes{};
      last_ = threadProcessorSeconds();
    }
  }
  // Adds the time since the previous mark to `stage`.
  void mark(double SegmentationStageTimes::*stage) {
    if (times_ != nullptr) {
      const double now = threadProcessorSeconds();
      times_->*stage += now - last_;
      last_ = now;
    }
  }

private:
  SegmentationStageTimes* times_;
  double last_ = 0;
};

}  // namespace

double threadProcessorSeconds() {
  timespec now{};
  if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) {
    // Without a per-thread clock the process clock is the closest measure.
    return static_cast<double>(std::clock()) / static_cast<double>(CLOCKS_PER_SEC);
  }
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

float colourDistance(const GridImage<float>& red, const GridImage<float>& green,
                     const GridImage<float>& blue, int x1, int y1, int x2, int y2) {
  return distanceBetween(red(x1, y1), green(x1, y1), blue(x1, y1), red(x2, y2), green(x2, y2),
                         blue(x2, y2));
}

RgbPixel randomColour() {
  RgbPixel c;
  c.r = static_cast<unsigned char>(std::rand());
  c.g = static_cast<unsigned char>(std::rand());
  c.b = static_cast<unsigned char>(std::rand());
  return c;
}

std::size_t graphEdgeCount(int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  const std::size_t w = static_cast<std::size_t>(width);
  const std::size_t h = static_cast<std::size_t>(height);
  return (w - 1) * h + w * (h - 1) + 2 * (w - 1) * (h - 1);
}

std::vector<GraphEdge> buildGraphEdges(const GridImage<float>& red, const GridImage<float>& green,
                                       const GridImage<float>& blue) {
  checkPlanes(red, green, blue);
  std::vector<GraphEdge> edges;
  edges.reserve(graphEdgeCount(red.width(), red.height()));
  forEachGraphEdge(red, green, blue, [&](float weight, int p, int, int q) {
    edges.push_back(GraphEdge{weight, p, q});
  });
  return edges;
}

GridImage<RgbPixel> segmentImage(const GridImage<RgbPixel>& input, float sigma, float k,
                                 int minSize, int& num_ccs, SegmentationStageTimes* times,
                                 const ColourDrawTurn* turn) {
  const int w = input.width();
  const int h = input.height();
  const std::size_t n = input.pixelCount();
  if (n >= kMaxSegmentPixels) {
    throw Error("segmentImage: " + std::to_string(w) + " x " + std::to_string(h) +
                " pixels is above the limit of " + std::to_string(kMaxSegmentPixels));
  }
  StageClock stages(times);

  GridImage<float> red = smoothPlane(colourPlane(input, &RgbPixel::r), sigma);
  GridImage<float> green = smoothPlane(colourPlane(input, &RgbPixel::g), sigma);
  GridImage<float> blue = smoothPlane(colourPlane(input, &RgbPixel::b), sigma);
  stages.mark(&SegmentationStageTimes::smoothing);

  const std::size_t edgeCount = graphEdgeCount(w, h);
  auto edges = std::make_unique_for_overwrite<PackedEdge[]>(edgeCount);
  std::size_t filled = 0;
  forEachGraphEdge(red, green, blue, [&](float weight, int p, int direction, int) {
    edges[filled++] = PackedEdge{weightSortKey(weight), static_cast<std::uint32_t>(p) * 4u +
                                                            static_cast<std::uint32_t>(direction)};
  });
  red = GridImage<float>();
  green = GridImage<float>();
  blue = GridImage<float>();
  stages.mark(&SegmentationStageTimes::edges);

  {
    auto scratch = std::make_unique_for_overwrite<PackedEdge[]>(edgeCount);
    if (radixSortByKey(edges.get(), scratch.get(), edgeCount, KeyOfPacked{}) == scratch.get()) {
      edges.swap(scratch);
    }
  }
  const std::size_t ordered = countOrderedKeys(edges.get(), edgeCount, KeyOfPacked{});
  stages.mark(&SegmentationStageTimes::sort);

  const int offset[4] = {1, w, w + 1, 1 - w};
  auto edgeAt = [&](std::size_t i, int& a, int& b) {
    const PackedEdge e = edges[i];
    a = static_cast<int>(e.id >> 2);
    b = a + offset[e.id & 3u];
    return weightFromSortKey(e.key);
  };
  DisjointSetForest forest(static_cast<int>(n));
  // NaN weights are sorted last and fail both threshold comparisons anyway.
  mergeSortedEdges(forest, ordered, edgeAt, k);
  stages.mark(&SegmentationStageTimes::merge);

  mergeSmallComponents(forest, ordered, edgeAt, minSize);
  edges.reset();
  num_ccs = forest.componentCount();
  stages.mark(&SegmentationStageTimes::smallComponents);

  GridImage<RgbPixel> output(w, h, true);
  RgbPixel* out = output.data();
  const int pixels = static_cast<int>(n);
  const auto draws = [&] {
    for (int i = 0; i < pixels; ++i) {
      const RgbPixel colour = randomColour();
      if (forest.node(i).parent == i) out[i] = colour;
    }
  };
  if (turn != nullptr && *turn) {
    (*turn)(draws);
  } else {
    draws();
  }
  for (int i = 0; i < pixels; ++i) out[i] = out[forest.findRoot(i)];
  stages.mark(&SegmentationStageTimes::colouring);
  return output;
}

std::string segmentationReportLine(int num_ccs, float seconds) {
  std::ostringstream line;
  line.imbue(std::locale::classic());
  line << "Number of segments = " << num_ccs << " ;  Time taken = " << seconds << " seconds ";
  return line.str();
}

}  // namespace rovelin
