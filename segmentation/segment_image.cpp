// SPDX-License-Identifier: Apache-2.0
// The segmentation pipeline: smooth, build the 8-neighbourhood graph, merge
// with the adaptive threshold, merge away small components, colour.
//
// Each edge is kept in 8 bytes: the order-preserving key of its weight and a
// 32-bit identifier (pixel index * 4 + direction), from which its end points
// follow. Edges are radix-sorted by weight; edges of equal weight keep their
// construction order (the sort is stable). The small-component pass visits
// only the edges the merge left between components.
// The colours are not kept in an array of their own: a root's colour is
// parked in its own output pixel. One rand() triple is drawn per pixel, in
// pixel order, and a component takes the triple drawn at its root; the
// draws come from RandSequence, the same numbers without a library call each.
#include "segmentation/segment_image.hpp"

#include <cmath>
#include <cstdint>
#include <locale>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "segmentation/rand_sequence.hpp"
#include "segmentation/smoothing.hpp"
#include "util/clock.hpp"
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

// Element-wise distanceBetween of two runs of n pixels, vectorised where the
// processor allows: the same operations in the same precisions, so the same
// values as one call per pixel (the clones are built without fused
// multiply-adds).
__attribute__((target_clones("avx512f", "avx2", "default"))) void runDistances(
    const float* __restrict r1, const float* __restrict g1, const float* __restrict b1,
    const float* __restrict r2, const float* __restrict g2, const float* __restrict b2,
    float* __restrict out, int n) {
  for (int x = 0; x < n; ++x) out[x] = distanceBetween(r1[x], g1[x], b1[x], r2[x], g2[x], b2[x]);
}

// Calls emit(weight, p, direction, q) for every edge in construction order;
// directions 0..3 are right, below, below right, above right. Each row's
// weights are computed a direction at a time, then emitted pixel by pixel.
template <typename Emit>
void forEachGraphEdge(const GridImage<float>& red, const GridImage<float>& green,
                      const GridImage<float>& blue, Emit emit) {
  const int w = red.width();
  const int h = red.height();
  std::vector<float> weights(4 * static_cast<std::size_t>(w));
  float* right = weights.data();
  float* below = right + w;
  float* belowRight = below + w;
  float* aboveRight = belowRight + w;
  for (int y = 0; y < h; ++y) {
    const float* r0 = red.row(y);
    const float* g0 = green.row(y);
    const float* b0 = blue.row(y);
    const bool hasBelow = y < h - 1;
    const bool hasAbove = y > 0;
    runDistances(r0, g0, b0, r0 + 1, g0 + 1, b0 + 1, right, w - 1);
    if (hasBelow) {
      const float* r1 = red.row(y + 1);
      const float* g1 = green.row(y + 1);
      const float* b1 = blue.row(y + 1);
      runDistances(r0, g0, b0, r1, g1, b1, below, w);
      runDistances(r0, g0, b0, r1 + 1, g1 + 1, b1 + 1, belowRight, w - 1);
    }
    if (hasAbove) {
      runDistances(r0, g0, b0, red.row(y - 1) + 1, green.row(y - 1) + 1, blue.row(y - 1) + 1,
                   aboveRight, w - 1);
    }
    const int rowStart = y * w;
    if (hasBelow && hasAbove) {  // the rows between the first and the last
      for (int x = 0; x < w - 1; ++x) {
        const int p = rowStart + x;
        emit(right[x], p, 0, p + 1);
        emit(below[x], p, 1, p + w);
        emit(belowRight[x], p, 2, p + w + 1);
        emit(aboveRight[x], p, 3, p - w + 1);
      }
      emit(below[w - 1], rowStart + w - 1, 1, rowStart + 2 * w - 1);
      continue;
    }
    for (int x = 0; x < w; ++x) {
      const int p = rowStart + x;
      const bool hasRight = x < w - 1;
      if (hasRight) emit(right[x], p, 0, p + 1);
      if (hasBelow) emit(below[x], p, 1, p + w);
      if (hasRight && hasBelow) emit(belowRight[x], p, 2, p + w + 1);
      if (hasRight && hasAbove) emit(aboveRight[x], p, 3, p - w + 1);
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

// The segmentation's own forest. What the merging loop reads about an end
// point on every edge (parent, threshold) lies in one 8-byte node; size and
// rank, read only when two components unite, lie in a second array. Queries
// halve the path they walk. Neither changes which element becomes a root:
// unions see the same roots and the same ranks as with DisjointSetForest, so
// the components and their roots (which pick the colours) are the same.
struct PixelNode {
  int parent;
  float threshold;  // meaningful at roots only
};

struct RootTally {
  int size;
  int rank;
};

class PixelForest {
public:
  PixelForest(int n, float threshold)
      : nodes_(std::make_unique_for_overwrite<PixelNode[]>(static_cast<std::size_t>(n))),
        tallies_(std::make_unique_for_overwrite<RootTally[]>(static_cast<std::size_t>(n))),
        n_(n),
        count_(n) {
    for (int i = 0; i < n; ++i) {
      nodes_[i] = PixelNode{i, threshold};
      tallies_[i] = RootTally{1, 0};
    }
  }

  int findRoot(int x) noexcept {
    PixelNode* nodes = nodes_.get();
    while (nodes[x].parent != x) {
      const int grandparent = nodes[nodes[x].parent].parent;
      nodes[x].parent = grandparent;
      x = grandparent;
    }
    return x;
  }

  // Unites two distinct roots as DisjointSetForest::unite does; returns the
  // root of the union.
  int unite(int x, int y) noexcept {
    RootTally& tx = tallies_[x];
    RootTally& ty = tallies_[y];
    --count_;
    if (tx.rank > ty.rank) {
      nodes_[y].parent = x;
      tx.size += ty.size;
      return x;
    }
    nodes_[x].parent = y;
    ty.size += tx.size;
    if (tx.rank == ty.rank) ++ty.rank;
    return y;
  }

  // Points every element straight at its root.
  void flatten() noexcept {
    for (int i = 0; i < n_; ++i) nodes_[i].parent = findRoot(nodes_[i].parent);
  }

  PixelNode& operator[](int x) noexcept { return nodes_[x]; }
  int size(int root) const noexcept { return tallies_[root].size; }
  void prefetch(int x) const noexcept { __builtin_prefetch(nodes_.get() + x); }
  int componentCount() const noexcept { return count_; }

private:
  std::unique_ptr<PixelNode[]> nodes_;
  std::unique_ptr<RootTally[]> tallies_;
  int n_;
  int count_;
};

// Sorted edges jump across the picture: the nodes of the edge 2L ahead are
// fetched, then their parents L ahead.
constexpr std::size_t kLookahead = 8;

template <typename Ends>
inline void prefetchEnds(PixelForest& forest, Ends ends, std::size_t i, std::size_t count) {
  if (i + 2 * kLookahead < count) {
    const auto [a, b] = ends(i + 2 * kLookahead);
    forest.prefetch(a);
    forest.prefetch(b);
  }
  if (i + kLookahead < count) {
    const auto [a, b] = ends(i + kLookahead);
    forest.prefetch(forest[a].parent);
    forest.prefetch(forest[b].parent);
  }
}

// The adaptive-threshold merge over edges in ascending order. Every edge
// between two components that it does not join is passed to kept(i), in
// order: only those can join anything in the small-component pass, since an
// edge within one component stays within one.
template <typename Ends, typename WeightOf, typename Kept>
void mergeEdges(PixelForest& forest, std::size_t count, Ends ends, WeightOf weightOf, float k,
                Kept kept) {
  for (std::size_t i = 0; i < count; ++i) {
    prefetchEnds(forest, ends, i, count);
    const auto [a0, b0] = ends(i);
    const int a = forest.findRoot(a0);
    const int b = forest.findRoot(b0);
    if (a == b) continue;
    const float weight = weightOf(i);
    if (weight <= forest[a].threshold && weight <= forest[b].threshold) {
      const int root = forest.unite(a, b);
      forest[root].threshold = static_cast<float>(static_cast<double>(weight) +
                                                  static_cast<double>(k) / forest.size(root));
    } else {
      kept(i);
    }
  }
}

// The small-component pass over edges in ascending order, on a flattened
// forest. It stops once no component is below minSize: no later edge could
// join anything.
template <typename Ends>
void mergeSmall(PixelForest& forest, int pixels, std::size_t count, Ends ends, int minSize) {
  long small = 0;
  for (int i = 0; i < pixels; ++i) small += forest[i].parent == i && forest.size(i) < minSize;
  for (std::size_t i = 0; i < count && small > 0; ++i) {
    prefetchEnds(forest, ends, i, count);
    const auto [a0, b0] = ends(i);
    const int a = forest.findRoot(a0);
    const int b = forest.findRoot(b0);
    if (a == b) continue;
    const int sizeA = forest.size(a);
    const int sizeB = forest.size(b);
    if (sizeA < minSize || sizeB < minSize) {
      forest.unite(a, b);
      small -= (sizeA < minSize) + (sizeB < minSize) - (sizeA + sizeB < minSize);
    }
  }
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

float colourDistance(const GridImage<float>& red, const GridImage<float>& green,
                     const GridImage<float>& blue, int x1, int y1, int x2, int y2) {
  return distanceBetween(red(x1, y1), green(x1, y1), blue(x1, y1), red(x2, y2), green(x2, y2),
                         blue(x2, y2));
}

RgbPixel randomColour() { return randomColour(colourSequence()); }

RgbPixel randomColour(RandSequence& sequence) {
  RgbPixel c;
  c.r = static_cast<unsigned char>(sequence.next());
  c.g = static_cast<unsigned char>(sequence.next());
  c.b = static_cast<unsigned char>(sequence.next());
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

GridImage<RgbPixel> segmentImage(const GridImage<RgbPixel>& input, const SegmentationParams& params,
                                 int& num_ccs, SegmentationStageTimes* times,
                                 const ColourDrawTurn* turn, std::vector<std::int32_t>* roots) {
  const int w = input.width();
  const int h = input.height();
  const std::size_t n = input.pixelCount();
  if (n >= kMaxSegmentPixels) {
    throw Error("segmentImage: " + std::to_string(w) + " x " + std::to_string(h) +
                " pixels is above the limit of " + std::to_string(kMaxSegmentPixels));
  }
  StageClock stages(times);

  GridImage<float> red = smoothPlane(colourPlane(input, &RgbPixel::r), params.sigma);
  GridImage<float> green = smoothPlane(colourPlane(input, &RgbPixel::g), params.sigma);
  GridImage<float> blue = smoothPlane(colourPlane(input, &RgbPixel::b), params.sigma);
  stages.mark(&SegmentationStageTimes::smoothing);

  const std::size_t edgeCount = graphEdgeCount(w, h);
  auto edges = std::make_unique_for_overwrite<PackedEdge[]>(edgeCount);
  auto counts = std::make_unique<TopDigitCounts>();
  counts->fill(0);
  std::size_t filled = 0;
  forEachGraphEdge(red, green, blue, [&](float weight, int p, int direction, int) {
    const std::uint32_t key = weightSortKey(weight);
    countTopDigit(*counts, key);
    edges[filled++] =
        PackedEdge{key, static_cast<std::uint32_t>(p) * 4u + static_cast<std::uint32_t>(direction)};
  });
  red = GridImage<float>();
  green = GridImage<float>();
  blue = GridImage<float>();
  stages.mark(&SegmentationStageTimes::edges);

  {
    auto scratch = std::make_unique_for_overwrite<PackedEdge[]>(edgeCount);
    if (radixSortCounted(edges.get(), scratch.get(), edgeCount, KeyOfPacked{}, *counts) ==
        scratch.get()) {
      edges.swap(scratch);
    }
  }
  const std::size_t ordered = countOrderedKeys(edges.get(), edgeCount, KeyOfPacked{});
  stages.mark(&SegmentationStageTimes::sort);

  const int offset[4] = {1, w, w + 1, 1 - w};
  const auto endsOf = [&offset](std::uint32_t id) {
    const int a = static_cast<int>(id >> 2);
    return std::pair<int, int>{a, a + offset[id & 3u]};
  };
  const PackedEdge* sorted = edges.get();
  const int pixels = static_cast<int>(n);
  // A one-element component tolerates k / 1.
  PixelForest forest(pixels, static_cast<float>(static_cast<double>(params.k) / 1.0));
  // The edges the merge leaves between components, by identifier, in order.
  auto between = std::make_unique_for_overwrite<std::uint32_t[]>(ordered);
  std::size_t betweenCount = 0;
  // NaN weights are sorted last and fail both threshold comparisons anyway.
  mergeEdges(
      forest, ordered, [&](std::size_t i) { return endsOf(sorted[i].id); },
      [sorted](std::size_t i) { return weightFromSortKey(sorted[i].key); }, params.k,
      [&](std::size_t i) { between[betweenCount++] = sorted[i].id; });
  edges.reset();
  forest.flatten();
  stages.mark(&SegmentationStageTimes::merge);

  mergeSmall(
      forest, pixels, betweenCount, [&](std::size_t i) { return endsOf(between[i]); },
      params.minSize);
  between.reset();
  num_ccs = forest.componentCount();
  forest.flatten();
  stages.mark(&SegmentationStageTimes::smallComponents);

  GridImage<RgbPixel> output(w, h, true);
  RgbPixel* out = output.data();
  const auto draws = [&] {
    // A turn orders the frames that take part in it; the lock keeps any
    // other caller's block of draws from interleaving with this one.
    const std::lock_guard<std::mutex> lock(colourSequenceMutex());
    RandSequence& sequence = colourSequence();
    for (int i = 0; i < pixels; ++i) {
      const RgbPixel colour = randomColour(sequence);
      if (forest[i].parent == i) out[i] = colour;
    }
  };
  if (turn != nullptr && *turn) {
    (*turn)(draws);
  } else {
    draws();
  }
  for (int i = 0; i < pixels; ++i) out[i] = out[forest[i].parent];
  if (roots != nullptr) {
    roots->resize(n);
    for (int i = 0; i < pixels; ++i) (*roots)[static_cast<std::size_t>(i)] = forest[i].parent;
  }
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
