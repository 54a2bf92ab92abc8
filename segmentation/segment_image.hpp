// SPDX-License-Identifier: Apache-2.0
// Graph-based segmentation of an RGB picture into flat-coloured components:
// pixels are vertices, the 8-neighbourhood gives the edges, the weight of an
// edge is the colour distance of the smoothed picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "segmentation/disjoint_set_forest.hpp"
#include "segmentation/grid_image.hpp"
#include "segmentation/rand_sequence.hpp"
#include "segmentation/segmentation_params.hpp"

namespace rovelin {

// Largest picture segmentImage accepts: every pixel index and every edge
// identifier (pixel index * 4 + direction) must fit in 32 bits.
inline constexpr std::size_t kMaxSegmentPixels = std::size_t{1} << 30;

// Processor seconds of the calling thread spent in each stage of one segmentImage call;
// processor time keeps the split meaningful on a busy machine.
struct SegmentationStageTimes {
  double smoothing = 0.0;        // the three Gaussian-smoothed colour planes
  double edges = 0.0;            // edge weights of the 8-neighbourhood graph
  double sort = 0.0;             // edges in ascending weight
  double merge = 0.0;            // adaptive-threshold merging
  double smallComponents = 0.0;  // joining components below the minimum size
  double colouring = 0.0;        // random colours and the output picture

  SegmentationStageTimes& operator+=(const SegmentationStageTimes& other) {
    smoothing += other.smoothing;
    edges += other.edges;
    sort += other.sort;
    merge += other.merge;
    smallComponents += other.smallComponents;
    colouring += other.colouring;
    return *this;
  }
};

// Runs `draws`, the colour draws of one segmentImage call, when it is that
// picture's turn. Pictures segmented at the same time pass one that runs their
// draws in a fixed order, so each takes the same block of the rand() sequence
// as in a run that segments them one after another.
using ColourDrawTurn = std::function<void(const std::function<void()>& draws)>;

// Euclidean distance between the (r, g, b) values of two pixels of the planes.
float colourDistance(const GridImage<float>& red, const GridImage<float>& green,
                     const GridImage<float>& blue, int x1, int y1, int x2, int y2);

// Three draws of the rand() sequence in the order red, green, blue; low 8
// bits of each. The first form draws from colourSequence() (the caller holds
// colourSequenceMutex()).
RgbPixel randomColour();
RgbPixel randomColour(RandSequence& sequence);

// (w - 1) h + w (h - 1) + 2 (w - 1)(h - 1): each pair of 8-neighbours once.
std::size_t graphEdgeCount(int width, int height);

// The edges of the planes in construction order: pixels row by row, and for
// each pixel p its right, lower, lower-right and upper-right neighbour.
std::vector<GraphEdge> buildGraphEdges(const GridImage<float>& red, const GridImage<float>& green,
                                       const GridImage<float>& blue);

// Segments `input` (unchanged) and returns a picture of its size in which
// every component has one random colour, the colour drawn for its root's
// pixel index. num_ccs receives the number of components. Equal-weight
// edges are visited in construction order. Uses exactly 3 * width * height
// draws of colourSequence(), all of them inside one call of `turn` when it is
// given. `roots`, when given, receives every pixel's root index in raster
// order: unlike two colours, two roots never coincide. Throws Error above
// kMaxSegmentPixels.
GridImage<RgbPixel> segmentImage(const GridImage<RgbPixel>& input, const SegmentationParams& params,
                                 int& num_ccs, SegmentationStageTimes* times = nullptr,
                                 const ColourDrawTurn* turn = nullptr,
                                 std::vector<std::int32_t>* roots = nullptr);

// "Number of segments = <n> ;  Time taken = <seconds> seconds " (no end of
// line), seconds in default float notation, independent of stream state.
std::string segmentationReportLine(int num_ccs, float seconds);

}  // namespace rovelin
