// SPDX-License-Identifier: Apache-2.0
// Disjoint-set forest over pixel indices and the merging of a weighted graph
// with an adaptive threshold (heaviest internal edge + k / component size).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
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
    if (n < 0) throw std::invalid_argument("DisjointSetForest: negative element count");
    for (int i = 0; i < n; ++i) nodes_[static_cast<std::size_t>(i)].parent = i;
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
      if (nx.rank == ny.rank) ++ny.rank;
    }
    --count_;
  }

  int componentSize(int x) const noexcept { return nodes_[static_cast<std::size_t>(x)].size; }
  int componentCount() const noexcept { return count_; }
  int elementCount() const noexcept { return static_cast<int>(nodes_.size()); }
  const ForestNode& node(int x) const noexcept { return nodes_[static_cast<std::size_t>(x)]; }

  // Asks the cache for x's node ahead of a findRoot(x) to come.
  void prefetch(int x) const noexcept { __builtin_prefetch(nodes_.data() + x); }

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
  if (std::isnan(weight)) return 0xFFFFFFFFu;
  std::uint32_t bits = std::bit_cast<std::uint32_t>(weight);
  if (bits == 0x80000000u) {
    bits = 0;  // -0 ties with +0
  }
  return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

// Weight of a key made by weightSortKey: the inverse mapping, NaN for the
// NaN key, +0 for the key of either zero.
inline float weightFromSortKey(std::uint32_t key) noexcept {
  if (key == 0xFFFFFFFFu) return std::numeric_limits<float>::quiet_NaN();
  return std::bit_cast<float>((key & 0x80000000u) ? (key & 0x7FFFFFFFu) : ~key);
}

// Eight-bit radix digits measured faster than eleven-bit ones on large edge
// arrays: 256 write streams stay within the cache and TLB where 2048 do not.
inline constexpr int kRadixBits = 8;
// Digit histograms of radixSortByKey: kRadixPasses rows of kRadixBuckets
// counts. Counting them while the records are made saves the sort a pass.
inline constexpr int kRadixPasses = (32 + kRadixBits - 1) / kRadixBits;
inline constexpr std::size_t kRadixBuckets = std::size_t{1} << kRadixBits;
using RadixCounts = std::array<std::size_t, kRadixPasses * kRadixBuckets>;

inline void countRadixDigits(RadixCounts& counts, std::uint32_t key) noexcept {
  constexpr std::uint32_t kDigitMask = static_cast<std::uint32_t>(kRadixBuckets - 1);
  for (int pass = 0; pass < kRadixPasses; ++pass) {
    ++counts[pass * kRadixBuckets + ((key >> (pass * kRadixBits)) & kDigitMask)];
  }
}

// radixSortByKey with the histograms of the n records already counted;
// `counts` is used up.
template <typename Record, typename KeyOf>
Record* radixSortCounted(Record* data, Record* scratch, std::size_t n, KeyOf keyOf,
                         RadixCounts& counts) {
  constexpr std::uint32_t kDigitMask = static_cast<std::uint32_t>(kRadixBuckets - 1);
  Record* src = data;
  Record* dst = scratch;
  for (int pass = 0; pass < kRadixPasses; ++pass) {
    std::size_t* count = counts.data() + pass * kRadixBuckets;
    if (n == 0 || std::find(count, count + kRadixBuckets, n) != count + kRadixBuckets) {
      continue;  // every record has the same digit: the pass would not move anything
    }
    std::size_t offset = 0;
    for (std::size_t d = 0; d < kRadixBuckets; ++d) {
      const std::size_t c = count[d];
      count[d] = offset;
      offset += c;
    }
    const int shift = pass * kRadixBits;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t digit = (keyOf(src[i]) >> shift) & kDigitMask;
      dst[count[digit]++] = src[i];
    }
    std::swap(src, dst);
  }
  return src;
}

// Stable LSD radix sort by the 32-bit keyOf(record), one pass per
// kRadixBits-bit digit; a pass whose digit is the same for every record is
// skipped. `scratch` must hold n records. Returns the buffer that holds the
// sorted records (data or scratch).
template <typename Record, typename KeyOf>
Record* radixSortByKey(Record* data, Record* scratch, std::size_t n, KeyOf keyOf) {
  auto counts = std::make_unique<RadixCounts>();
  for (std::size_t i = 0; i < n; ++i) countRadixDigits(*counts, keyOf(data[i]));
  return radixSortCounted(data, scratch, n, keyOf, *counts);
}

// Sorts edges by ascending weight, equal weights in their present order (the
// order of a stable sort), NaN weights last.
void sortEdgesByWeight(std::span<GraphEdge> edges);

// Number of leading records of a sorted array whose key is not the NaN key.
template <typename Record, typename KeyOf>
std::size_t countOrderedKeys(const Record* sorted, std::size_t n, KeyOf keyOf) {
  while (n > 0 && keyOf(sorted[n - 1]) == 0xFFFFFFFFu) --n;
  return n;
}

inline constexpr std::size_t kMergeLookahead = 8;

// Sorted edges jump across the picture. Fetching the nodes of the edge 2L
// steps ahead, then their parents (and thresholds, when given) L steps
// ahead, hides most of the cache misses of findRoot.
template <typename EdgeAt>
void prefetchAhead(const DisjointSetForest& forest, EdgeAt& edgeAt, std::size_t i,
                   std::size_t edgeCount, const float* threshold) {
  if (i + 2 * kMergeLookahead < edgeCount) {
    int aheadA = 0;
    int aheadB = 0;
    edgeAt(i + 2 * kMergeLookahead, aheadA, aheadB);
    forest.prefetch(aheadA);
    forest.prefetch(aheadB);
  }
  if (i + kMergeLookahead < edgeCount) {
    int aheadA = 0;
    int aheadB = 0;
    edgeAt(i + kMergeLookahead, aheadA, aheadB);
    aheadA = forest.node(aheadA).parent;
    aheadB = forest.node(aheadB).parent;
    forest.prefetch(aheadA);
    forest.prefetch(aheadB);
    if (threshold != nullptr) {
      __builtin_prefetch(threshold + aheadA);
      __builtin_prefetch(threshold + aheadB);
    }
  }
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
    prefetchAhead(forest, edgeAt, i, edgeCount, threshold.data());
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
    prefetchAhead(forest, edgeAt, i, edgeCount, nullptr);
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
