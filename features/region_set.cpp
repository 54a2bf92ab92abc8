// SPDX-License-Identifier: Apache-2.0
// Region builder. One full-size mask per region and a comparison of every
// pair of masks would cost regions × pixels memory and regions² × pixels
// time; an 8-bit index image could not tell more than 256 regions apart.
// Here the same results come from a few raster passes:
//   1. labelling: codes become indices 0..n-1 in raster order of their first
//      pixel (region 0 holds the top-left pixel), with pixel counts and
//      bounding boxes, into a 32-bit index image;
//   2. samples: region by region, column k of the region's matrix is its
//      k-th pixel in raster order, planes widened to double, copied from
//      the region's row runs into one buffer that serves every region of a
//      worker (no frame-sized sample matrix);
//   3. shape: exact integer moment sums per region.
// Masks are disjoint by construction, so the overlap matrix stays empty.
// Descriptors are computed in parallel over ranges of regions;
// each one depends only on its own samples, so the thread count never changes
// a result.
#include "features/region_set.hpp"

#include "util/parallel.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace rovelin {

namespace {

__extension__ typedef __int128 Int128;

// Raw moment sums of one region; pixel (x, y) contributes x^p y^q to m_pq.
struct MomentSums {
  std::int64_t m00 = 0;
  Int128 m10 = 0, m01 = 0, m20 = 0, m11 = 0, m02 = 0, m30 = 0, m21 = 0, m12 = 0, m03 = 0;
};

long double toLong(Int128 v) { return static_cast<long double>(v); }

Int128 absolute(Int128 v) { return v < 0 ? -v : v; }

cv::Moments momentsOf(const MomentSums& s) {
  cv::Moments m;
  const long double n = static_cast<long double>(s.m00);
  m.m00 = static_cast<double>(n);
  m.m10 = static_cast<double>(toLong(s.m10));
  m.m01 = static_cast<double>(toLong(s.m01));
  m.m20 = static_cast<double>(toLong(s.m20));
  m.m11 = static_cast<double>(toLong(s.m11));
  m.m02 = static_cast<double>(toLong(s.m02));
  m.m30 = static_cast<double>(toLong(s.m30));
  m.m21 = static_cast<double>(toLong(s.m21));
  m.m12 = static_cast<double>(toLong(s.m12));
  m.m03 = static_cast<double>(toLong(s.m03));
  if (s.m00 == 0) return m;

  // n · mu_pq of second order, exact: no cancellation for regions far from
  // the origin.
  const Int128 a = s.m00 * s.m20 - s.m10 * s.m10;
  const Int128 b = s.m00 * s.m02 - s.m01 * s.m01;
  const Int128 c = s.m00 * s.m11 - s.m10 * s.m01;
  const long double mu20 = toLong(a) / n, mu02 = toLong(b) / n, mu11 = toLong(c) / n;
  const long double cx = toLong(s.m10) / n, cy = toLong(s.m01) / n;
  const long double mu30 = toLong(s.m30) - cx * (3 * mu20 + cx * toLong(s.m10));
  const long double mu21 = toLong(s.m21) - cx * (2 * mu11 + cx * toLong(s.m01)) - cy * mu20;
  const long double mu12 = toLong(s.m12) - cy * (2 * mu11 + cy * toLong(s.m10)) - cx * mu02;
  const long double mu03 = toLong(s.m03) - cy * (3 * mu02 + cy * toLong(s.m01));
  m.mu20 = static_cast<double>(mu20);
  m.mu11 = static_cast<double>(mu11);
  m.mu02 = static_cast<double>(mu02);
  m.mu30 = static_cast<double>(mu30);
  m.mu21 = static_cast<double>(mu21);
  m.mu12 = static_cast<double>(mu12);
  m.mu03 = static_cast<double>(mu03);
  const long double s2 = 1 / (n * n), s3 = s2 / std::sqrt(n);
  m.nu20 = static_cast<double>(mu20 * s2);
  m.nu11 = static_cast<double>(mu11 * s2);
  m.nu02 = static_cast<double>(mu02 * s2);
  m.nu30 = static_cast<double>(mu30 * s3);
  m.nu21 = static_cast<double>(mu21 * s3);
  m.nu12 = static_cast<double>(mu12 * s3);
  m.nu03 = static_cast<double>(mu03 * s3);
  return m;
}

// sqrt(2D / (mu20 + mu02 + D)), D = sqrt((mu02 - mu20)^2 + 4 mu11^2). The
// common factor n of the central moments cancels, so the exact sums are used
// directly: a straight line gives exactly 1, a square exactly 0.
double eccentricityOf(const MomentSums& s) {
  const Int128 a = s.m00 * s.m20 - s.m10 * s.m10;
  const Int128 b = s.m00 * s.m02 - s.m01 * s.m01;
  const Int128 c = s.m00 * s.m11 - s.m10 * s.m01;
  const Int128 difference = b - a, twiceC = 2 * c;
  constexpr Int128 exactLimit = Int128(1) << 62;
  long double discriminant;
  if (absolute(difference) < exactLimit && absolute(twiceC) < exactLimit) {
    discriminant = toLong(difference * difference + twiceC * twiceC);
  } else {
    const long double d = toLong(difference), t = toLong(twiceC);
    discriminant = d * d + t * t;
  }
  const long double root = std::sqrt(discriminant);
  const long double denominator = toLong(a + b) + root;
  // One pixel: all second central moments are 0. The ellipse degenerates
  // to a point, which is as round as it is long; 0 keeps NaN out of the
  // labelling rules.
  if (denominator <= 0) return 0.0;
  return static_cast<double>(std::sqrt(2 * root / denominator));
}

void checkInputs(const std::vector<cv::Mat>& planes, const cv::Mat& labelImage) {
  if (labelImage.empty() || labelImage.type() != CV_32SC1)
    throw std::invalid_argument(
        "buildRegionSet: the label image must be a non-empty 32-bit integer image");
  if (static_cast<long long>(labelImage.rows) * labelImage.cols > INT_MAX)
    throw std::invalid_argument("buildRegionSet: the label image has too many pixels");
  if (planes.empty()) throw std::invalid_argument("buildRegionSet: no feature planes");
  for (std::size_t p = 0; p < planes.size(); ++p) {
    if (planes[p].type() != CV_32FC1 || planes[p].size() != labelImage.size())
      throw std::invalid_argument("buildRegionSet: feature plane " + std::to_string(p) +
                                  " must be a 32-bit float image of the label image's size");
  }
}

// Pass 1: indices in raster order of first pixel, pixel counts, boxes.
void label(const cv::Mat& labelImage, RegionSet& regions) {
  regions.indexImage.create(labelImage.size(), CV_32SC1);
  std::unordered_map<std::int32_t, int> indexOf;
  std::vector<int> minX, maxX, minY, maxY;
  int previousIndex = -1;
  std::int32_t previousCode = 0;
  for (int y = 0; y < labelImage.rows; ++y) {
    const std::int32_t* codes = labelImage.ptr<std::int32_t>(y);
    std::int32_t* indices = regions.indexImage.ptr<std::int32_t>(y);
    for (int x = 0; x < labelImage.cols; ++x) {
      // Neighbouring pixels mostly share a region, so the map is consulted
      // only where the code changes.
      if (previousIndex < 0 || codes[x] != previousCode) {
        const auto [found, inserted] =
            indexOf.try_emplace(codes[x], static_cast<int>(indexOf.size()));
        previousCode = codes[x];
        previousIndex = found->second;
        if (inserted) {
          regions.pixelCounts.push_back(0);
          minX.push_back(x);
          maxX.push_back(x);
          minY.push_back(y);
          maxY.push_back(y);
        }
      }
      const int i = previousIndex;
      indices[x] = i;
      ++regions.pixelCounts[i];
      minX[i] = std::min(minX[i], x);
      maxX[i] = std::max(maxX[i], x);
      maxY[i] = y;  // rows only grow
    }
  }
  regions.count = static_cast<int>(regions.pixelCounts.size());
  regions.boxes.resize(regions.count);
  for (int i = 0; i < regions.count; ++i)
    regions.boxes[i] = cv::Rect(minX[i], minY[i], maxX[i] - minX[i] + 1, maxY[i] - minY[i] + 1);
}

// A row segment of one region: pixels x .. x + length - 1 of row y.
struct Run {
  int y, x, length;
};

// The runs of every region, region after region, each region's in raster
// order: runs[start[i]] .. runs[start[i + 1] - 1] are region i's.
struct RegionRuns {
  std::vector<Run> runs;
  std::vector<int> start;
};

RegionRuns regionRuns(const RegionSet& regions) {
  RegionRuns result;
  std::vector<int>& start = result.start;
  start.assign(regions.count + 1, 0);
  const int width = regions.size.width;
  for (int y = 0; y < regions.size.height; ++y) {
    const std::int32_t* indices = regions.indexImage.ptr<std::int32_t>(y);
    for (int x = 0; x < width; ++x)
      if (x == 0 || indices[x] != indices[x - 1]) ++start[indices[x] + 1];
  }
  for (int i = 0; i < regions.count; ++i) start[i + 1] += start[i];
  result.runs.resize(start[regions.count]);
  std::vector<int> next(start.begin(), start.end() - 1);
  for (int y = 0; y < regions.size.height; ++y) {
    const std::int32_t* indices = regions.indexImage.ptr<std::int32_t>(y);
    for (int x = 0; x < width;) {
      const int i = indices[x];
      int end = x + 1;
      while (end < width && indices[end] == i) ++end;
      result.runs[next[i]++] = Run{y, x, end - x};
      x = end;
    }
  }
  return result;
}

// Copies the samples of the runs [begin, end) to `column` (d values a
// pixel, one pixel after another) and adds each plane's values to sums[p].
// D > 0 is d known at compile time: the sums then stay in registers.
template <int D>
void gather(const std::vector<cv::Mat>& planes, int d, const Run* begin, const Run* end,
            double* column, double* sums) {
  if constexpr (D > 0) d = D;
  std::vector<const float*> rowOf(d);
  double fixedSums[D > 0 ? D : 1];
  double* total = D > 0 ? fixedSums : sums;
  for (int p = 0; p < d; ++p) total[p] = sums[p];
  for (const Run* run = begin; run != end; ++run) {
    for (int p = 0; p < d; ++p) rowOf[p] = planes[p].ptr<float>(run->y) + run->x;
    for (int x = 0; x < run->length; ++x, column += d) {
      for (int p = 0; p < d; ++p) {
        const double value = rowOf[p][x];
        column[p] = value;
        total[p] += value;
      }
    }
  }
  for (int p = 0; p < d; ++p) sums[p] = total[p];
}

// Pass 2 for regions [first, last): each region's samples are copied, from
// its runs, into one buffer that every region of the range reuses, with the
// row sums taken on the way, then described in place.
void describeRange(const std::vector<cv::Mat>& planes, const RegionRuns& runs, RegionSet& regions,
                   int first, int last) {
  if (first >= last) return;
  const int d = regions.planeCount;
  int largest = 0;
  for (int i = first; i < last; ++i) largest = std::max(largest, regions.pixelCounts[i]);
  const auto buffer =
      std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(d) * largest);
  Eigen::VectorXd sums(d);
  for (int i = first; i < last; ++i) {
    // -0 + v is v for every v, -0 and +0 included, so the sums are those of a
    // loop that starts from column 0's value.
    sums.setConstant(-0.0);
    const Run* begin = runs.runs.data() + runs.start[i];
    const Run* end = runs.runs.data() + runs.start[i + 1];
    if (d == 10) {  // the ten feature planes
      gather<10>(planes, d, begin, end, buffer.get(), sums.data());
    } else {
      gather<0>(planes, d, begin, end, buffer.get(), sums.data());
    }
    regions.statistics[i].computeFromSums(
        Eigen::Map<Eigen::MatrixXd>(buffer.get(), d, regions.pixelCounts[i]), sums,
        regions.descriptor);
  }
}

// Pass 2: one descriptor per region. The regions are cut into one range per
// worker with about equal pixel totals; each worker describes its own range,
// and every descriptor sees the same samples whatever the split.
void describe(const std::vector<cv::Mat>& planes, RegionSet& regions) {
  regions.statistics.assign(regions.count, CovarianceDescriptor());
  const RegionRuns runs = regionRuns(regions);
  const int chunks = std::max(1, std::min(threadCount(), regions.count));
  const long total = static_cast<long>(regions.size.area());
  std::vector<int> firstOf(chunks + 1, regions.count);
  firstOf[0] = 0;
  long covered = 0;
  int chunk = 1;
  for (int i = 0; i < regions.count && chunk < chunks; ++i) {
    covered += regions.pixelCounts[i];
    while (chunk < chunks && covered >= total * chunk / chunks) firstOf[chunk++] = i + 1;
  }
  parallelFor(chunks, [&](long begin, long end) {
    for (long c = begin; c < end; ++c)
      describeRange(planes, runs, regions, firstOf[c], firstOf[c + 1]);
  });
  regions.regularizedCount =
      static_cast<int>(std::count_if(regions.statistics.begin(), regions.statistics.end(),
                                     [](const auto& s) { return s.regularized; }));
}

}  // namespace

cv::Mat RegionSet::mask(int i) const {
  if (i < 0 || i >= count)
    throw std::out_of_range("RegionSet::mask: region " + std::to_string(i) + " of " +
                            std::to_string(count));
  cv::Mat result;
  cv::compare(indexImage, cv::Scalar(i), result, cv::CMP_EQ);
  return result;
}

void computeOverlap(RegionSet& regions) {
  regions.overlap.resize(regions.count, regions.count);
  regions.overlap.data().squeeze();
}

// Sums of x, x^2 and x^3 over x = 0 .. n - 1.
Int128 powerSum1(Int128 n) { return n * (n - 1) / 2; }
Int128 powerSum2(Int128 n) { return (n - 1) * n * (2 * n - 1) / 6; }
Int128 powerSum3(Int128 n) { return powerSum1(n) * powerSum1(n); }

void computeShape(RegionSet& regions) {
  std::vector<MomentSums> sums(regions.count);
  // A row adds its runs of one region at once, through the closed forms of
  // the power sums: the same integers as pixel by pixel.
  for (int y = 0; y < regions.indexImage.rows; ++y) {
    const std::int32_t* indices = regions.indexImage.ptr<std::int32_t>(y);
    const Int128 y1 = y;
    const Int128 y2 = y1 * y;
    const int width = regions.indexImage.cols;
    for (int begin = 0; begin < width;) {
      const std::int32_t region = indices[begin];
      int end = begin + 1;
      while (end < width && indices[end] == region) ++end;
      const Int128 n = end - begin;
      const Int128 x1 = powerSum1(end) - powerSum1(begin);
      const Int128 x2 = powerSum2(end) - powerSum2(begin);
      const Int128 x3 = powerSum3(end) - powerSum3(begin);
      MomentSums& s = sums[region];
      s.m00 += end - begin;
      s.m10 += x1;
      s.m01 += n * y1;
      s.m20 += x2;
      s.m11 += x1 * y1;
      s.m02 += n * y2;
      s.m30 += x3;
      s.m21 += x2 * y1;
      s.m12 += x1 * y2;
      s.m03 += n * y2 * y1;
      begin = end;
    }
  }
  regions.moments.resize(regions.count);
  regions.eccentricity.resize(regions.count);
  for (int i = 0; i < regions.count; ++i) {
    regions.moments[i] = momentsOf(sums[i]);
    regions.eccentricity[i] = eccentricityOf(sums[i]);
  }
}

RegionSet buildRegionSet(const std::vector<cv::Mat>& planes, const cv::Mat& labelImage,
                         DescriptorKind descriptor) {
  checkInputs(planes, labelImage);
  RegionSet regions;
  regions.descriptor = descriptor;
  regions.size = labelImage.size();
  regions.planeCount = static_cast<int>(planes.size());
  label(labelImage, regions);
  describe(planes, regions);
  computeOverlap(regions);
  computeShape(regions);
  return regions;
}

}  // namespace rovelin
