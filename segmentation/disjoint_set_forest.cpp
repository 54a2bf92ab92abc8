// SPDX-License-Identifier: Apache-2.0
// Graph merging over a disjoint-set forest.
//
// Edges are visited in ascending weight; equal weights keep their order of
// construction (a stable order), so a run gives the same components with any
// compiler and standard library. The order comes from a radix sort on the
// float bits, which gives exactly the stable order and costs a few linear
// passes instead of a comparison sort.
#include "segmentation/disjoint_set_forest.hpp"

#include <memory>

namespace rovelin {
namespace {

void checkEndPoints(int vertexCount, std::span<const GraphEdge> edges) {
  for (std::size_t i = 0; i < edges.size(); ++i) {
    const GraphEdge& e = edges[i];
    if (e.a < 0 || e.a >= vertexCount || e.b < 0 || e.b >= vertexCount) {
      throw std::out_of_range("edge " + std::to_string(i) + " joins " + std::to_string(e.a) +
                              " and " + std::to_string(e.b) + " outside the " +
                              std::to_string(vertexCount) + " vertices");
    }
  }
}

struct KeyOfEdge {
  std::uint32_t operator()(const GraphEdge& e) const noexcept { return weightSortKey(e.weight); }
};

}  // namespace

void sortEdgesByWeight(std::span<GraphEdge> edges) {
  if (edges.size() < 2) return;
  auto scratch = std::make_unique_for_overwrite<GraphEdge[]>(edges.size());
  GraphEdge* sorted = radixSortByKey(edges.data(), scratch.get(), edges.size(), KeyOfEdge{});
  if (sorted != edges.data()) std::copy(sorted, sorted + edges.size(), edges.data());
}

DisjointSetForest mergeGraph(int vertexCount, std::span<GraphEdge> edges, float k) {
  checkEndPoints(vertexCount, edges);
  sortEdgesByWeight(edges);
  DisjointSetForest forest(vertexCount);
  mergeSortedEdges(
      forest, edges.size(),
      [&](std::size_t i, int& a, int& b) {
        a = edges[i].a;
        b = edges[i].b;
        return edges[i].weight;
      },
      k);
  return forest;
}

void mergeSmallComponents(DisjointSetForest& forest, std::span<const GraphEdge> sortedEdges,
                          int minSize) {
  checkEndPoints(forest.elementCount(), sortedEdges);
  const std::size_t ordered = countOrderedKeys(sortedEdges.data(), sortedEdges.size(), KeyOfEdge{});
  mergeSmallComponents(
      forest, ordered,
      [&](std::size_t i, int& a, int& b) {
        a = sortedEdges[i].a;
        b = sortedEdges[i].b;
        return sortedEdges[i].weight;
      },
      minSize);
}

}  // namespace rovelin
