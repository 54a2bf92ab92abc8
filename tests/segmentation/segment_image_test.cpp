// SPDX-License-Identifier: Apache-2.0
#include "segmentation/segment_image.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <utility>
#include <vector>

#include "segmentation/smoothing.hpp"

namespace rovelin {
namespace {

bool samePixel(const RgbPixel& p, const RgbPixel& q) {
  return p.r == q.r && p.g == q.g && p.b == q.b;
}

GridImage<RgbPixel> twoHalves(int w, int h) {
  GridImage<RgbPixel> image(w, h);
  for (int y = 0; y < h; ++y) {
    for (int x = w / 2; x < w; ++x) {
      image(x, y) = RgbPixel{230, 220, 40};
    }
  }
  return image;
}

// Blocks, a ramp and pseudo-random noise: many components and many ties.
GridImage<RgbPixel> busyPicture(int w, int h, unsigned noiseLevels = 9) {
  GridImage<RgbPixel> image(w, h);
  unsigned state = 99;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      state = state * 1103515245u + 12345u;
      const int noise = static_cast<int>((state >> 16) % noiseLevels);
      const int block = ((x / 7) + (y / 5)) % 3 * 60;
      image(x, y) = RgbPixel{static_cast<unsigned char>(block + noise),
                             static_cast<unsigned char>(x * 3 + noise),
                             static_cast<unsigned char>((y / 4) * 20)};
    }
  }
  return image;
}

GridImage<float> planeOf(const GridImage<RgbPixel>& image, unsigned char RgbPixel::*sample) {
  GridImage<float> plane(image.width(), image.height());
  for (std::size_t i = 0; i < image.pixelCount(); ++i) {
    plane.data()[i] = static_cast<float>(image.data()[i].*sample);
  }
  return plane;
}

TEST(SegmentGraph, EdgeCountOrderAndDistance) {
  EXPECT_EQ(graphEdgeCount(3, 2), 11u);
  EXPECT_EQ(graphEdgeCount(1, 1), 0u);
  EXPECT_EQ(graphEdgeCount(640, 480), 1225442u);
  const GridImage<float> flat(3, 2);
  const std::vector<GraphEdge> edges = buildGraphEdges(flat, flat, flat);
  const std::vector<std::pair<int, int>> expected = {{0, 1}, {0, 3}, {0, 4}, {1, 2}, {1, 4}, {1, 5},
                                                     {2, 5}, {3, 4}, {3, 1}, {4, 5}, {4, 2}};
  ASSERT_EQ(edges.size(), expected.size());
  for (std::size_t i = 0; i < edges.size(); ++i) {
    EXPECT_EQ(std::pair(edges[i].a, edges[i].b), expected[i]) << i;
    EXPECT_EQ(edges[i].weight, 0.0f);
  }

  GridImage<float> red(2, 1), green(2, 1), blue(2, 1);
  red(1, 0) = 3.0f;
  green(1, 0) = -4.0f;
  blue(1, 0) = 12.0f;
  EXPECT_EQ(colourDistance(red, green, blue, 0, 0, 1, 0), 13.0f);
  EXPECT_EQ(colourDistance(red, green, blue, 1, 0, 0, 0), 13.0f);
}

TEST(SegmentImage, SmallAndUniformPicturesAreOneSegment) {
  int num_ccs = -1;
  colourSequence().reseed(7);
  const RgbPixel firstDrawn = randomColour();
  colourSequence().reseed(7);
  const GridImage<RgbPixel> single =
      segmentImage(GridImage<RgbPixel>(1, 1), SegmentationParams{}, num_ccs);
  EXPECT_EQ(num_ccs, 1);
  EXPECT_TRUE(samePixel(single(0, 0), firstDrawn));

  GridImage<RgbPixel> uniform(40, 30);
  std::fill(uniform.data(), uniform.data() + uniform.pixelCount(), RgbPixel{12, 34, 56});
  segmentImage(uniform, SegmentationParams{}, num_ccs);
  EXPECT_EQ(num_ccs, 1);

  // Below 500 pixels the small-component pass joins everything.
  const GridImage<RgbPixel> busy = segmentImage(busyPicture(20, 20), SegmentationParams{}, num_ccs);
  EXPECT_EQ(num_ccs, 1);
  for (std::size_t i = 0; i < busy.pixelCount(); ++i) {
    ASSERT_TRUE(samePixel(busy.data()[i], busy.data()[0]));
  }
}

TEST(SegmentImage, TwoFlatHalvesGiveTwoFlatSegments) {
  int num_ccs = 0;
  const GridImage<RgbPixel> out = segmentImage(twoHalves(40, 30), SegmentationParams{}, num_ccs);
  EXPECT_EQ(num_ccs, 2);
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 40; ++x) {
      ASSERT_TRUE(samePixel(out(x, y), out(x < 20 ? 0 : 39, 0))) << x << "," << y;
    }
  }
  EXPECT_FALSE(samePixel(out(0, 0), out(39, 0)));
}

TEST(SegmentImage, DrawsThreeRandsPerPixelAndMatchesPlainPipeline) {
  const int w = 61;
  const int h = 47;
  // Noisy, and noiseless with its many equal weights where the tie order counts.
  for (unsigned noiseLevels : {9u, 1u}) {
    SCOPED_TRACE(noiseLevels);
    const GridImage<RgbPixel> input = busyPicture(w, h, noiseLevels);
    const float sigma = 0.8f;
    const float k = 150.0f;
    const int minSize = 25;

    // The same stages through the public pieces, with a comparison stable sort.
    const GridImage<float> red = smoothPlane(planeOf(input, &RgbPixel::r), sigma);
    const GridImage<float> green = smoothPlane(planeOf(input, &RgbPixel::g), sigma);
    const GridImage<float> blue = smoothPlane(planeOf(input, &RgbPixel::b), sigma);
    std::vector<GraphEdge> edges = buildGraphEdges(red, green, blue);
    std::stable_sort(edges.begin(), edges.end(),
                     [](const GraphEdge& p, const GraphEdge& q) { return p.weight < q.weight; });
    // The two merging passes written out plainly, without the library's loops.
    DisjointSetForest forest(w * h);
    std::vector<float> threshold(static_cast<std::size_t>(w * h), k);
    for (const GraphEdge& e : edges) {
      int a = forest.findRoot(e.a);
      const int b = forest.findRoot(e.b);
      if (a != b && e.weight <= threshold[a] && e.weight <= threshold[b]) {
        forest.unite(a, b);
        a = forest.findRoot(a);
        threshold[a] = static_cast<float>(static_cast<double>(e.weight) +
                                          static_cast<double>(k) / forest.componentSize(a));
      }
    }
    for (const GraphEdge& e : edges) {
      const int a = forest.findRoot(e.a);
      const int b = forest.findRoot(e.b);
      if (a != b && (forest.componentSize(a) < minSize || forest.componentSize(b) < minSize)) {
        forest.unite(a, b);
      }
    }
    RandSequence expected(3);
    std::vector<RgbPixel> colours(static_cast<std::size_t>(w * h));
    for (RgbPixel& c : colours) c = randomColour(expected);
    const int afterDraws = expected.next();

    colourSequence().reseed(3);
    int num_ccs = 0;
    SegmentationStageTimes times;
    std::vector<std::int32_t> roots;
    const GridImage<RgbPixel> out = segmentImage(input, SegmentationParams{sigma, k, minSize},
                                                 num_ccs, &times, nullptr, &roots);
    EXPECT_EQ(colourSequence().next(), afterDraws);
    colourSequence().reseed(1);
    EXPECT_EQ(num_ccs, forest.componentCount());
    EXPECT_GT(num_ccs, 3);
    for (int i = 0; i < w * h; ++i) {
      ASSERT_TRUE(samePixel(out.data()[i], colours[static_cast<std::size_t>(forest.findRoot(i))]))
          << "pixel " << i;
      ASSERT_EQ(roots[static_cast<std::size_t>(i)], forest.findRoot(i)) << "pixel " << i;
    }
    EXPECT_GE(times.sort, 0.0);
    EXPECT_GE(times.colouring, 0.0);
  }
}

// The colours must stay those of the C library's rand() on this platform.
TEST(RandSequence, SameFirstMillionAsTheCLibrary) {
  for (unsigned seed : {1u, 3u, 0u, 2654435769u}) {
    SCOPED_TRACE(seed);
    std::srand(seed);
    RandSequence sequence(seed);
    for (int i = 0; i < 1000000; ++i) ASSERT_EQ(sequence.next(), std::rand()) << "draw " << i;
  }
}

TEST(SegmentationReport, ExactLineWhateverTheStreamState) {
  EXPECT_EQ(segmentationReportLine(42, 0.25f),
            "Number of segments = 42 ;  Time taken = 0.25 seconds ");
  EXPECT_EQ(segmentationReportLine(7, 1.234567891f),
            "Number of segments = 7 ;  Time taken = 1.23457 seconds ");
  EXPECT_EQ(segmentationReportLine(1, 0.0f), "Number of segments = 1 ;  Time taken = 0 seconds ");
}

}  // namespace
}  // namespace rovelin
