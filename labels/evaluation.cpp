// SPDX-License-Identifier: Apache-2.0
#include "labels/evaluation.hpp"

#include <iomanip>
#include <sstream>

namespace rovelin {

std::vector<std::vector<long long>> regionClassHistograms(const cv::Mat& regionIndex,
                                                          int regionCount, const cv::Mat& labels,
                                                          int classCount) {
  std::vector<std::vector<long long>> histograms(
      static_cast<std::size_t>(regionCount),
      std::vector<long long>(static_cast<std::size_t>(classCount + 1), 0));
  for (int y = 0; y < labels.rows; ++y) {
    const int* label = labels.ptr<int>(y);
    const int* index = regionIndex.ptr<int>(y);
    for (int x = 0; x < labels.cols; ++x) {
      ++histograms[static_cast<std::size_t>(index[x])][static_cast<std::size_t>(label[x])];
    }
  }
  return histograms;
}

std::string evaluateLabels(const cv::Mat& truth, const cv::Mat& regionIndex,
                           const std::vector<int>& regionClass,
                           const std::vector<std::string>& names) {
  const int classCount = static_cast<int>(names.size());
  std::vector<long long> intersection(static_cast<std::size_t>(classCount), 0);
  std::vector<long long> predicted(static_cast<std::size_t>(classCount), 0);
  std::vector<long long> actual(static_cast<std::size_t>(classCount), 0);
  long long labelled = 0;
  long long correct = 0;
  for (int y = 0; y < truth.rows; ++y) {
    const int* t = truth.ptr<int>(y);
    const int* index = regionIndex.ptr<int>(y);
    for (int x = 0; x < truth.cols; ++x) {
      if (t[x] <= 0) {
        continue;  // unlabelled
      }
      const int want = t[x] - 1;
      const int got = regionClass[static_cast<std::size_t>(index[x])];
      ++labelled;
      ++actual[static_cast<std::size_t>(want)];
      ++predicted[static_cast<std::size_t>(got)];
      if (want == got) {
        ++correct;
        ++intersection[static_cast<std::size_t>(want)];
      }
    }
  }
  std::ostringstream text;
  text << std::fixed << std::setprecision(4);
  if (labelled == 0) {
    text << "Ground truth: no labelled pixels" << '\n';
  } else {
    text << "Pixel accuracy: " << static_cast<double>(correct) / static_cast<double>(labelled)
         << " (" << correct << " of " << labelled << " labelled pixels)" << '\n';
  }
  for (int k = 0; k < classCount; ++k) {
    const auto u = static_cast<std::size_t>(k);
    const long long unionCount = actual[u] + predicted[u] - intersection[u];
    text << "IoU " << names[u] << ": ";
    if (unionCount == 0) {
      text << "n/a (absent from both)";
    } else {
      text << static_cast<double>(intersection[u]) / static_cast<double>(unionCount);
    }
    text << '\n';
  }
  return text.str();
}

}  // namespace rovelin
