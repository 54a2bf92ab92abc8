// SPDX-License-Identifier: Apache-2.0
#include "segmentation/disjoint_set_forest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <random>
#include <vector>

namespace rovelin {
namespace {

TEST(DisjointSetForest, FindRootRepointsOnlyTheQueriedElement) {
  DisjointSetForest forest(8);
  // Builds the chain 0 -> 1 -> 3 -> 7 through equal-rank unions.
  forest.unite(0, 1);
  forest.unite(2, 3);
  forest.unite(1, 3);
  forest.unite(4, 5);
  forest.unite(6, 7);
  forest.unite(5, 7);
  forest.unite(3, 7);
  ASSERT_EQ(forest.node(0).parent, 1);
  ASSERT_EQ(forest.node(1).parent, 3);
  ASSERT_EQ(forest.node(3).parent, 7);
  EXPECT_EQ(forest.findRoot(0), 7);
  EXPECT_EQ(forest.node(0).parent, 7);
  EXPECT_EQ(forest.node(1).parent, 3);
  EXPECT_EQ(forest.componentSize(7), 8);
  EXPECT_EQ(forest.node(7).rank, 3);
  EXPECT_EQ(forest.componentCount(), 1);
}

TEST(DisjointSetForest, UniteByRankAndCount) {
  DisjointSetForest forest(5);
  EXPECT_EQ(forest.componentCount(), 5);
  forest.unite(0, 1);  // equal ranks: the second root wins
  EXPECT_EQ(forest.findRoot(0), 1);
  EXPECT_EQ(forest.node(1).rank, 1);
  forest.unite(1, 2);  // ranks 1 and 0: the first stays the root
  EXPECT_EQ(forest.findRoot(2), 1);
  EXPECT_EQ(forest.node(1).rank, 1);
  EXPECT_EQ(forest.componentSize(1), 3);
  EXPECT_EQ(forest.componentCount(), 5 - 2);
  EXPECT_EQ(forest.componentSize(forest.findRoot(4)), 1);
}

TEST(MergeGraph, ThresholdsZeroKDuplicatesAndNaN) {
  // With k = 0 only zero weights merge.
  std::vector<GraphEdge> edges = {{0.5f, 0, 1}, {0.0f, 1, 2}, {0.0f, 2, 1}, {0.0f, 3, 4}};
  DisjointSetForest zero = mergeGraph(6, edges, 0.0f);
  EXPECT_EQ(zero.componentCount(), 6 - 2);  // the repeated pair finds one root and is skipped
  EXPECT_NE(zero.findRoot(0), zero.findRoot(1));
  EXPECT_EQ(zero.findRoot(1), zero.findRoot(2));
  EXPECT_EQ(zero.componentSize(zero.findRoot(5)), 1);
  EXPECT_EQ(edges.back().weight, 0.5f);  // the caller's array is left sorted

  // Threshold of {0,1} after the first merge: 1 + 2 / 2 = 2; an edge at exactly 2 merges.
  std::vector<GraphEdge> atThreshold = {{1.0f, 0, 1}, {2.0f, 1, 2}};
  EXPECT_EQ(mergeGraph(3, atThreshold, 2.0f).componentCount(), 1);
  std::vector<GraphEdge> above = {{1.0f, 0, 1}, {std::nextafter(2.0f, 3.0f), 1, 2}};
  EXPECT_EQ(mergeGraph(3, above, 2.0f).componentCount(), 2);

  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<GraphEdge> withNaN = {{nan, 0, 1}, {0.0f, 1, 2}};
  DisjointSetForest forest = mergeGraph(3, withNaN, 500.0f);
  EXPECT_EQ(forest.componentCount(), 2);
  EXPECT_TRUE(std::isnan(withNaN.back().weight));
  mergeSmallComponents(forest, withNaN, 100);
  EXPECT_EQ(forest.componentCount(), 2);  // not even the small-component pass crosses NaN

  std::vector<GraphEdge> outside = {{0.0f, 0, 3}};
  EXPECT_THROW(mergeGraph(3, outside, 1.0f), std::out_of_range);
}

TEST(SortEdgesByWeight, SameOrderAsStableSortWithTiesAndSpecialValues) {
  std::mt19937 random(12345);
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            -0.0f,
                            0.0f,
                            -1.5f,
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            1e-40f,
                            441.67f};
  auto nanLast = [](const GraphEdge& p, const GraphEdge& q) {
    if (std::isnan(p.weight)) {
      return false;
    }
    return std::isnan(q.weight) || p.weight < q.weight;
  };
  // The last size puts most weights within one top 16-bit digit (1 plus up
  // to 2^16 - 1 units in the last place), far more than one group of the
  // sort holds, with ties among them.
  for (std::size_t n : {0u, 1u, 2u, 100u, 50000u, 300000u}) {
    std::vector<GraphEdge> edges(n);
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned pick = random() % 10;
      edges[i].weight = pick < 8 ? specials[pick] : static_cast<float>(random() % 300) / 8.0f;
      if (n == 300000u && pick < 9) {
        edges[i].weight =
            std::bit_cast<float>(0x3F800000u + static_cast<unsigned>(random() % 65536));
      }
      edges[i].a = static_cast<int>(i);
      edges[i].b = static_cast<int>(n - i);
    }
    std::vector<GraphEdge> expected = edges;
    std::stable_sort(expected.begin(), expected.end(), nanLast);
    sortEdgesByWeight(edges);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(edges[i].a, expected[i].a) << "n = " << n << ", position " << i;
    }
  }
  for (float w : specials) {
    const float back = weightFromSortKey(weightSortKey(w));
    EXPECT_TRUE(back == w || (std::isnan(back) && std::isnan(w))) << w;
  }
  EXPECT_LT(weightSortKey(-1.0f), weightSortKey(-0.0f));
  EXPECT_EQ(weightSortKey(-0.0f), weightSortKey(0.0f));
  EXPECT_LT(weightSortKey(std::numeric_limits<float>::infinity()),
            weightSortKey(-std::numeric_limits<float>::quiet_NaN()));

  // Every digit the same: the radix passes are skipped and the order kept.
  std::vector<GraphEdge> equal(1000, GraphEdge{3.0f, 0, 0});
  for (int i = 0; i < 1000; ++i) {
    equal[static_cast<std::size_t>(i)].a = i;
  }
  sortEdgesByWeight(equal);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(equal[static_cast<std::size_t>(i)].a, i);
  }
}

}  // namespace
}  // namespace rovelin
