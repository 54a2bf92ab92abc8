// SPDX-License-Identifier: Apache-2.0
#include "driver/temporal_labels.hpp"

#include <string>
#include <vector>

namespace rovelin {

TemporalLabels::TemporalLabels(const TemporalSettings& settings)
    : filter_(static_cast<float>(settings.tau), static_cast<float>(settings.alphaMin)) {}

void TemporalLabels::apply(FrameResult& result, int classCount) {
  if (!last_ || result.frameNumber != *last_ + 1) filter_.reset();
  last_ = result.frameNumber;
  const cv::Mat classes =
      filter_.update(result.image, result.regions.indexImage, result.posteriors, classCount);

  // A region of the segmentation and a filtered class make one region of
  // the labelling, numbered in raster order of its first pixel.
  const RegionSet& seg = result.regions;
  const auto k = static_cast<std::size_t>(classCount);
  std::vector<int> numberOf(static_cast<std::size_t>(seg.count) * k, -1);
  PixelLabelling labelling;
  labelling.regions.size = seg.size;
  labelling.regions.indexImage.create(seg.size, CV_32SC1);
  std::vector<int> classOf;
  for (int y = 0; y < seg.size.height; ++y) {
    const int* region = seg.indexImage.ptr<int>(y);
    const int* cls = classes.ptr<int>(y);
    int* out = labelling.regions.indexImage.ptr<int>(y);
    for (int x = 0; x < seg.size.width; ++x) {
      if (region[x] < 0 || region[x] >= seg.count) {
        out[x] = -1;
        continue;
      }
      int& number =
          numberOf[static_cast<std::size_t>(region[x]) * k + static_cast<std::size_t>(cls[x])];
      if (number < 0) {
        number = static_cast<int>(classOf.size());
        classOf.push_back(cls[x]);
      }
      out[x] = number;
    }
  }
  labelling.regions.count = static_cast<int>(classOf.size());
  labelling.regions.segmentCount = seg.segmentCount;
  labelling.labels =
      Eigen::Map<const Eigen::VectorXi>(classOf.data(), static_cast<Eigen::Index>(classOf.size()))
          .cast<double>();
  result.filtered = std::move(labelling);
}

std::optional<std::string> temporalSelectionProblem(const FrameSelection& selection) {
  if (selection.toEnd) {
    if (selection.step != 1) {
      return "--temporal needs frames that follow one another; a step of " +
             std::to_string(selection.step) + " leaves gaps (use START: or all)";
    }
    return std::nullopt;
  }
  for (std::size_t i = 1; i < selection.list.size(); ++i) {
    if (selection.list[i] != selection.list[i - 1] + 1) {
      return "--temporal needs frames that follow one another, such as 100:200; the list goes "
             "from frame " +
             std::to_string(selection.list[i - 1]) + " to " + std::to_string(selection.list[i]);
    }
  }
  return std::nullopt;
}

}  // namespace rovelin
