// Disjoint-set forest over pixel indices and the merging of a weighted graph
// with an adaptive threshold (heaviest internal edge + k / component size).
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace rovelin {

struct ForestNode {
  int rank = 0;    // upper bound on the height of the tree under this node
  int parent = 0;  // a root is its own parent
  int size = 1;    // elements in the set; meaningful at roots only
};

class DisjointSetForest {
 public:
  // n singleton sets.
  explicit DisjointSetForest(int n) : nodes_(static_cast<std::size_t>(n < 0 ? 0 : n)), count_(n) {
    if (n < 0) {
      throw std::invalid_argument("DisjointSetForest: negative element count");
    }
    for (int i = 0; i < n; ++i) {
      nodes_[static_cast<std::size_t>(i)].parent = i;
    }
  }

  // Root of x's set. Only x itself is re-pointed at the root: the nodes in
  // between keep their parents, which keeps the walk free of recursion and
  // of a second pass.
  int findRoot(int x) noexcept {
    int y = x;
    while (nodes_[static_cast<std::size_t>(y)].parent != y) {
      y = nodes_[static_cast<std::size_t>(y)].parent;
    }
    nodes_[static_cast<std::size_t>(x)].parent = y;
    return y;
  }

  // Merges the sets of two distinct roots by rank; on equal ranks y wins.
  void unite(int x, int y) noexcept {
    ForestNode& nx = nodes_[static_cast<std::size_t>(x)];
    ForestNode& ny = nodes_[static_cast<std::size_t>(y)];
    if (nx.rank > ny.rank) {
      ny.parent = x;
      nx.size += ny.size;
    } else {
      nx.parent = y;
      ny.size += nx.size;
      if (nx.rank == ny.rank) {
        ++ny.rank;
      }
    }
    --count_;
  }

  int componentSize(int x) const noexcept { return nodes_[static_cast<std::size_t>(x)].size; }
  int componentCount() const noexcept { return count_; }
  int elementCount() const noexcept { return static_cast<int>(nodes_.size()); }
  const ForestNode& node(int x) const noexcept { return nodes_[static_cast<std::size_t>(x)]; }

 private:
  std::vector<ForestNode> nodes_;
  int count_ = 0;
};

struct GraphEdge {
  float weight = 0.0f;
  int a = 0;
  int b = 0;
};

// Unsigned key whose integer order is the order of the weights: negative
// below positive, -0 equal to +0, and every NaN above +infinity (all NaNs
// equal), so that NaN edges sort last.
inline std::uint32_t weightSortKey(float weight) noexcept {
  if (std::isnan(weight)) {
    return 0xFFFFFFFFu;
  }
  std::uint32_t bits = std::bit_cast<std::uint32_t>(weight);
  if (bits == 0x80000000u) {
    bits = 0;  // -0 ties with +0
  }
  return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

// Stable LSD radix sort by weightSortKey(weightOf(record)) in three passes of
// 11, 11 and 10 bits; a pass whose digit is the same for every record is
// skipped. `scratch` must hold n records. Returns the buffer that holds the
// sorted records (data or scratch).
template <typename Record, typename WeightOf>
Record* radixSortByWeight(Record* data, Record* scratch, std::size_t n, WeightOf weightOf) {
  constexpr int kShift[3] = {0, 11, 22};
  constexpr std::uint32_t kMask[3] = {0x7FFu, 0x7FFu, 0x3FFu};
  std::vector<std::size_t> counts(3 * 2048, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t key = weightSortKey(weightOf(data[i]));
    ++counts[key & 0x7FFu];
    ++counts[2048 + ((key >> 11) & 0x7FFu)];
    ++counts[4096 + (key >> 22)];
  }
  Record* src = data;
  Record* dst = scratch;
  for (int pass = 0; pass < 3; ++pass) {
    std::size_t* count = counts.data() + 2048 * pass;
    const std::size_t buckets = kMask[pass] + 1;
    if (n == 0 || std::find(count, count + buckets, n) != count + buckets) {
      continue;  // every record has the same digit: the pass would not move anything
    }
    std::size_t offset = 0;
    for (std::size_t d = 0; d < buckets; ++d) {
      const std::size_t c = count[d];
      count[d] = offset;
      offset += c;
    }
    const int shift = kShift[pass];
    const std::uint32_t mask = kMask[pass];
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t digit = (weightSortKey(weightOf(src[i])) >> shift) & mask;
      dst[count[digit]++] = src[i];
    }
    std::swap(src, dst);
  }
  return src;
}

// Sorts edges by ascending weight, equal weights in their present order (the
// order of a stable sort), NaN weights last.
void sortEdgesByWeight(std::span<GraphEdge> edges);

// Number of leading edges of a sorted array whose weight is not NaN.
template <typename Record, typename WeightOf>
std::size_t countOrderedWeights(const Record* sorted, std::size_t n, WeightOf weightOf) {
  while (n > 0 && std::isnan(weightOf(sorted[n - 1]))) {
    --n;
  }
  return n;
}

// The merging loop over edges already in ascending order. edgeAt(i, a, b)
// returns the weight of edge i and stores its end points in a and b.
template <typename EdgeAt>
void mergeSortedEdges(DisjointSetForest& forest, std::size_t edgeCount, EdgeAt edgeAt, float k) {
  const int vertexCount = forest.elementCount();
  // A one-element component tolerates k / 1.
  std::vector<float> threshold(static_cast<std::size_t>(vertexCount),
                               static_cast<float>(static_cast<double>(k) / 1.0));
  for (std::size_t i = 0; i < edgeCount; ++i) {
    int a = 0;
    int b = 0;
    const float weight = edgeAt(i, a, b);
    a = forest.findRoot(a);
    b = forest.findRoot(b);
    if (a != b && weight <= threshold[static_cast<std::size_t>(a)] &&
        weight <= threshold[static_cast<std::size_t>(b)]) {
      forest.unite(a, b);
      a = forest.findRoot(a);
      threshold[static_cast<std::size_t>(a)] = static_cast<float>(
          static_cast<double>(weight) + static_cast<double>(k) / forest.componentSize(a));
    }
  }
}

// Joins every component below minSize to its neighbour across the lightest
// edge that leaves it, over edges already in ascending order.
template <typename EdgeAt>
void mergeSmallComponents(DisjointSetForest& forest, std::size_t edgeCount, EdgeAt edgeAt,
                          int minSize) {
  for (std::size_t i = 0; i < edgeCount; ++i) {
    int a = 0;
    int b = 0;
    edgeAt(i, a, b);
    a = forest.findRoot(a);
    b = forest.findRoot(b);
    if (a != b && (forest.componentSize(a) < minSize || forest.componentSize(b) < minSize)) {
      forest.unite(a, b);
    }
  }
}

// Sorts `edges` in place (sortEdgesByWeight; they stay sorted for the
// caller) and merges them over vertexCount elements with scale k. An edge
// whose weight is NaN never merges. Throws std::out_of_range for an edge end
// point outside [0, vertexCount).
DisjointSetForest mergeGraph(int vertexCount, std::span<GraphEdge> edges, float k);

// The small-component pass over edges already sorted by mergeGraph; NaN
// edges join nothing.
void mergeSmallComponents(DisjointSetForest& forest, std::span<const GraphEdge> sortedEdges,
                          int minSize);

}  // namespace rovelin
