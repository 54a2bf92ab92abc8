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

// The sort by 32-bit key goes in two steps, so that only one pass runs over
// the whole array in memory:
// - a pass by the top 16 bits scatters the records into groups of adjacent
//   top digits, each small enough to stay in the cache (at most
//   kRadixGroupRecords records unless one top digit has more, and at most
//   256 top digits wide);
// - each group is then sorted within the cache by its remaining 24 bits of
//   difference, two 12-bit digits, through a scratch buffer of its size.
// Scattering a large array into many groups costs several times what a
// pass within the cache does, so this takes about half the time of four
// 8-bit passes over the whole array. Every step keeps equal keys in order,
// so the result is exactly that of a stable sort.
inline constexpr int kTopDigitBits = 16;
inline constexpr std::size_t kTopDigits = std::size_t{1} << kTopDigitBits;
inline constexpr std::size_t kRadixGroupRecords = std::size_t{1} << 16;
// Records per top digit of the keys (key >> 16). Counting them while the
// records are made saves the sort a pass.
using TopDigitCounts = std::array<std::uint32_t, kTopDigits>;

inline void countTopDigit(TopDigitCounts& counts, std::uint32_t key) noexcept {
  ++counts[key >> kTopDigitBits];
}

namespace radix_detail {

// Sorts the m records of `group`, whose top digits lie in [base, base + 256),
// by key; `spare` holds m records. Both 12-bit digits are counted in one
// pass; a digit that is the same for every record needs no pass.
template <typename Record, typename KeyOf>
void sortGroup(Record* group, Record* spare, std::size_t m, std::uint32_t base, KeyOf keyOf,
               std::array<std::uint32_t, 2 * 4096>& counts) {
  if (m <= 32) {  // insertion sort: stable, and cheaper than counting for a few records
    for (std::size_t i = 1; i < m; ++i) {
      const Record r = group[i];
      const std::uint32_t key = keyOf(r);
      std::size_t j = i;
      for (; j > 0 && keyOf(group[j - 1]) > key; --j) group[j] = group[j - 1];
      group[j] = r;
    }
    return;
  }
  const auto low = [](std::uint32_t key) { return key & 4095u; };
  const auto high = [base](std::uint32_t key) {
    return (((key >> kTopDigitBits) - base) << 4) | ((key >> 12) & 15u);
  };
  counts.fill(0);
  std::uint32_t* lowCount = counts.data();
  std::uint32_t* highCount = counts.data() + 4096;
  for (std::size_t i = 0; i < m; ++i) {
    const std::uint32_t key = keyOf(group[i]);
    ++lowCount[low(key)];
    ++highCount[high(key)];
  }
  Record* src = group;
  Record* dst = spare;
  const auto pass = [&](std::uint32_t* count, auto digitOf) {
    if (count[digitOf(keyOf(src[0]))] == m) return;  // every record has this digit
    std::uint32_t offset = 0;
    for (std::size_t d = 0; d < 4096; ++d) {
      const std::uint32_t c = count[d];
      count[d] = offset;
      offset += c;
    }
    for (std::size_t i = 0; i < m; ++i) dst[count[digitOf(keyOf(src[i]))]++] = src[i];
    std::swap(src, dst);
  };
  pass(lowCount, low);
  pass(highCount, high);
  if (src != group) std::copy(src, src + m, group);
}

}  // namespace radix_detail

// Stable sort of n records by the 32-bit keyOf(record), given the top-digit
// counts of exactly those records; `scratch` must hold n records. Returns
// the buffer that holds the sorted records (data or scratch).
template <typename Record, typename KeyOf>
Record* radixSortCounted(Record* data, Record* scratch, std::size_t n, KeyOf keyOf,
                         const TopDigitCounts& counts) {
  if (n < 2) return data;
  if (n > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("radix sort of more than 2^32 - 1 records");
  }
  // Groups of adjacent top digits: first digit and first record of each.
  std::vector<std::uint32_t> groupBase;
  std::vector<std::uint32_t> groupStart;
  std::vector<std::uint16_t> groupOf(kTopDigits);  // digits without records are never looked up
  std::uint32_t inGroup = 0;
  std::uint32_t offset = 0;
  for (std::uint32_t digit = 0; digit < kTopDigits; ++digit) {
    const std::uint32_t c = counts[digit];
    if (c != 0 && (groupBase.empty() || inGroup + std::size_t{c} > kRadixGroupRecords ||
                   digit - groupBase.back() >= 256)) {
      groupBase.push_back(digit);
      groupStart.push_back(offset);
      inGroup = 0;
    }
    if (!groupBase.empty()) groupOf[digit] = static_cast<std::uint16_t>(groupBase.size() - 1);
    inGroup += c;
    offset += c;
  }
  groupStart.push_back(offset);
  std::vector<std::uint32_t> next(groupStart.begin(), groupStart.end() - 1);
  for (std::size_t i = 0; i < n; ++i) {
    scratch[next[groupOf[keyOf(data[i]) >> kTopDigitBits]]++] = data[i];
  }
  std::vector<Record> spare;
  auto digitCounts = std::make_unique<std::array<std::uint32_t, 2 * 4096>>();
  for (std::size_t g = 0; g + 1 < groupStart.size(); ++g) {
    const std::size_t m = groupStart[g + 1] - groupStart[g];
    Record* group = scratch + groupStart[g];
    // A group above the limit (one top digit of many records) sorts through
    // its own stretch of `data` rather than a spare buffer of its size.
    Record* spareRecords = data + groupStart[g];
    if (m <= kRadixGroupRecords) {
      if (spare.size() < m) spare.resize(std::max(m, std::min(n, kRadixGroupRecords)));
      spareRecords = spare.data();
    }
    radix_detail::sortGroup(group, spareRecords, m, groupBase[g], keyOf, *digitCounts);
  }
  return scratch;
}

// The same, counting the top digits first.
template <typename Record, typename KeyOf>
Record* radixSortByKey(Record* data, Record* scratch, std::size_t n, KeyOf keyOf) {
  auto counts = std::make_unique<TopDigitCounts>();
  counts->fill(0);
  for (std::size_t i = 0; i < n; ++i) countTopDigit(*counts, keyOf(data[i]));
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
