// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <opencv2/core.hpp>

#include <optional>
#include <string>
#include <vector>

// Gated running mean of per-pixel class posteriors over consecutive frames.
// Each pixel keeps the plain mean of its posteriors since its blurred colour
// last moved by more than tau, and an exponential mean with weight alphaMin
// once 1/alphaMin frames have passed. Memory: H*W*(4K+16) bytes.
class TemporalFilter {
public:
  TemporalFilter(float tau, float alphaMin);

  // frame: scaled BGR frame (CV_8UC3); regionIndex: CV_32SC1 region of every
  // pixel (as RegionSet::indexImage); posteriors: count x K row-major, finite,
  // one row per region. Pixels outside 0..count-1 take no update. Returns the
  // 0-based class of every pixel (CV_32SC1).
  cv::Mat update(const cv::Mat& frame, const cv::Mat& regionIndex,
                 const std::vector<float>& posteriors, int classCount);
  // Forget the state (a gap in the frame sequence).
  void reset() { started_ = false; }

private:
  float tau_;
  float alphaMin_;
  bool started_ = false;
  int classCount_ = 0;
  cv::Mat q_;      // H x W x K float32, stored as H rows of W*K floats
  cv::Mat n_;      // H x W int32 counter
  cv::Mat bPrev_;  // H x W x 3 float32
};

// The message for an unusable tau, or nothing when it is fine.
std::optional<std::string> temporalTauProblem(double tau);
// The message for an unusable alphaMin, or nothing when it is fine.
std::optional<std::string> temporalAlphaMinProblem(double alphaMin);

// A region's posterior after a rule moved it away from class `left`: that
// class gets probability 0 and the rest is renormalised; when nothing is
// left, all mass goes to `target`.
void moveAwayFrom(float* posterior, int classCount, int left, int target);
