// SPDX-License-Identifier: Apache-2.0
#include "driver/degenerate_regions.hpp"

#include "statistics/covariance_descriptor.hpp"

#include <algorithm>
#include <sstream>

namespace rovelin {

namespace {

std::string ridgeText() {
  std::ostringstream text;
  text << "a ridge of " << CovarianceDescriptor::kRidge << " was added to their diagonal";
  return text.str();
}

}  // namespace

std::string DegenerateRegions::frameText(int degenerate, int regions, std::optional<int> frame) {
  std::ostringstream text;
  if (frame) text << "frame " << *frame << ": ";
  text << degenerate << " of " << regions
       << " regions have a degenerate covariance (flat or too few pixels); " << ridgeText();
  return text.str();
}

void DegenerateRegions::add(int degenerate) {
  ++frames_;
  if (degenerate <= 0) return;
  fewest_ = affected_ == 0 ? degenerate : std::min(fewest_, degenerate);
  most_ = std::max(most_, degenerate);
  ++affected_;
}

std::string DegenerateRegions::runText() const {
  if (affected_ == 0) return {};
  std::ostringstream text;
  text << affected_ << " of " << frames_
       << " frames have regions with a degenerate covariance (flat or too few pixels), ";
  if (fewest_ != most_) text << fewest_ << " to ";
  text << most_ << " per frame; " << ridgeText() << " (-v names the frames)";
  return text.str();
}

}  // namespace rovelin
