// SPDX-License-Identifier: Apache-2.0
#include "labels/rle.hpp"

#include "labels/class_list.hpp"

#include <limits>

namespace rovelin {

std::vector<std::int64_t> maskRuns(const cv::Mat& mask, bool columnMajor) {
  std::vector<std::int64_t> runs{0};
  bool set = false;
  const int outer = columnMajor ? mask.cols : mask.rows;
  const int inner = columnMajor ? mask.rows : mask.cols;
  for (int o = 0; o < outer; ++o) {
    for (int i = 0; i < inner; ++i) {
      const bool on =
          (columnMajor ? mask.at<unsigned char>(i, o) : mask.at<unsigned char>(o, i)) != 0;
      if (on != set) {
        runs.push_back(0);
        set = on;
      }
      ++runs.back();
    }
  }
  return runs;
}

cv::Mat maskFromRuns(const std::vector<std::int64_t>& runs, cv::Size size, bool columnMajor,
                     const std::string& source) {
  const std::int64_t total = static_cast<std::int64_t>(size.width) * size.height;
  std::int64_t sum = 0;
  for (const std::int64_t r : runs) {
    if (r < 0) throw LabelMapError(source, "a run length is negative");
    if (r > total - sum) {
      throw LabelMapError(source, "the run lengths add up to more than the " + sizeText(size) +
                                      " pixels of the mask");
    }
    sum += r;
  }
  if (sum != total) {
    throw LabelMapError(source, "the run lengths add up to " + std::to_string(sum) + ", not the " +
                                    std::to_string(total) + " pixels of the " + sizeText(size) +
                                    " mask");
  }
  cv::Mat mask(size, CV_8UC1, cv::Scalar(0));
  std::int64_t at = 0;
  for (std::size_t k = 0; k < runs.size(); ++k) {
    if (k % 2 == 1) {
      const int inner = columnMajor ? size.height : size.width;
      for (std::int64_t p = at; p < at + runs[k]; ++p) {
        const int outer = static_cast<int>(p / inner), along = static_cast<int>(p % inner);
        mask.at<unsigned char>(columnMajor ? along : outer, columnMajor ? outer : along) = 1;
      }
    }
    at += runs[k];
  }
  return mask;
}

std::string compressCocoRuns(const std::vector<std::int64_t>& runs) {
  std::string text;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    std::int64_t x = runs[i];
    if (i > 2) x -= runs[i - 2];
    bool more = true;
    while (more) {
      int c = static_cast<int>(x & 0x1f);
      x >>= 5;  // arithmetic: negative differences keep their sign
      more = (c & 0x10) ? x != -1 : x != 0;
      if (more) c |= 0x20;
      text += static_cast<char>(c + 48);
    }
  }
  return text;
}

std::vector<std::int64_t> decompressCocoRuns(std::string_view text, const std::string& source) {
  std::vector<std::int64_t> runs;
  std::size_t p = 0;
  while (p < text.size()) {
    std::int64_t x = 0;
    int k = 0;
    bool more = true;
    while (more) {
      if (p >= text.size()) throw LabelMapError(source, "the compressed counts end inside a count");
      const int c = static_cast<unsigned char>(text[p]) - 48;
      if (c < 0 || c > 0x3f)
        throw LabelMapError(source, "the compressed counts hold a character outside '0'..'o'");
      if (k >= 12) throw LabelMapError(source, "a compressed count is too long");
      x |= static_cast<std::int64_t>(c & 0x1f) << (5 * k);
      more = (c & 0x20) != 0;
      ++p;
      ++k;
      if (!more && (c & 0x10)) x |= static_cast<std::int64_t>(-1) * (std::int64_t{1} << (5 * k));
    }
    if (runs.size() > 2) {
      const std::int64_t back = runs[runs.size() - 2];
      if ((x > 0 && back > std::numeric_limits<std::int64_t>::max() - x) ||
          (x < 0 && back < std::numeric_limits<std::int64_t>::min() - x))
        throw LabelMapError(source, "a compressed count is out of range");
      x += back;
    }
    runs.push_back(x);
  }
  return runs;
}

}  // namespace rovelin
