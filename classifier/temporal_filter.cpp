// SPDX-License-Identifier: Apache-2.0
#include "classifier/temporal_filter.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>

TemporalFilter::TemporalFilter(float tau, float alphaMin) : tau_(tau), alphaMin_(alphaMin) {}

cv::Mat TemporalFilter::update(const cv::Mat& frame, const cv::Mat& regionIndex,
                               const std::vector<float>& posteriors, int classCount) {
  if (frame.type() != CV_8UC3 || regionIndex.type() != CV_32SC1 ||
      regionIndex.size() != frame.size() || classCount < 1 ||
      posteriors.size() % static_cast<std::size_t>(classCount) != 0) {
    throw std::invalid_argument("temporal filter: mismatched frame, regions or posteriors");
  }
  for (const float p : posteriors) {
    if (!std::isfinite(p)) throw std::invalid_argument("temporal filter: non-finite posterior");
  }
  const int regions = static_cast<int>(posteriors.size() / static_cast<std::size_t>(classCount));
  const int rows = frame.rows, cols = frame.cols, k = classCount;
  cv::Mat blurred;
  frame.convertTo(blurred, CV_32FC3);
  cv::blur(blurred, blurred, cv::Size(3, 3), cv::Point(-1, -1), cv::BORDER_REFLECT_101);
  const bool fresh = !started_ || bPrev_.size() != frame.size() || classCount_ != k;
  if (fresh) {
    q_.create(rows, cols * k, CV_32FC1);
    q_.setTo(0);
    n_.create(rows, cols, CV_32SC1);
    n_.setTo(0);
    classCount_ = k;
  }
  cv::Mat labels(rows, cols, CV_32SC1);
  for (int y = 0; y < rows; ++y) {
    const float* b = blurred.ptr<float>(y);
    const float* bp = fresh ? nullptr : bPrev_.ptr<float>(y);
    const int* idx = regionIndex.ptr<int>(y);
    float* q = q_.ptr<float>(y);
    int* n = n_.ptr<int>(y);
    int* out = labels.ptr<int>(y);
    for (int x = 0; x < cols; ++x, q += k) {
      bool moved = fresh;
      if (!moved) {
        const float d =
            std::max({std::abs(b[3 * x] - bp[3 * x]), std::abs(b[3 * x + 1] - bp[3 * x + 1]),
                      std::abs(b[3 * x + 2] - bp[3 * x + 2])});
        moved = d > tau_;
      }
      n[x] = moved ? 1 : n[x] + 1;
      const float a = std::max(alphaMin_, 1.0f / static_cast<float>(n[x]));
      const int r = idx[x];
      if (r >= 0 && r < regions) {
        const float* p =
            posteriors.data() + static_cast<std::size_t>(r) * static_cast<std::size_t>(k);
        for (int c = 0; c < k; ++c) q[c] = a * p[c] + (1.0f - a) * q[c];
      }
      int best = 0;
      for (int c = 1; c < k; ++c) {
        if (q[c] > q[best]) best = c;
      }
      out[x] = best;
    }
  }
  bPrev_ = blurred;
  started_ = true;
  return labels;
}

std::optional<std::string> temporalTauProblem(double tau) {
  if (!std::isfinite(tau) || tau < 6.0) {
    return "--temporal-tau must be at least 6 grey levels (above video block noise)";
  }
  return std::nullopt;
}

std::optional<std::string> temporalAlphaMinProblem(double alphaMin) {
  if (!std::isfinite(alphaMin) || alphaMin <= 0.0 || alphaMin > 1.0) {
    return "--temporal-alpha-min must be in (0, 1]";
  }
  return std::nullopt;
}

void moveAwayFrom(float* posterior, int classCount, int left, int target) {
  if (left < 0 || left >= classCount) return;
  posterior[left] = 0.0f;
  float sum = 0.0f;
  for (int c = 0; c < classCount; ++c) sum += posterior[c];
  if (sum > 0.0f && std::isfinite(sum)) {
    for (int c = 0; c < classCount; ++c) posterior[c] /= sum;
  } else if (target >= 0 && target < classCount) {
    std::fill(posterior, posterior + classCount, 0.0f);
    posterior[target] = 1.0f;
  }
}
