// SPDX-License-Identifier: Apache-2.0
#include "driver/progress.hpp"
#include "driver/degenerate_regions.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace rovelin {
namespace {

TEST(Progress, LineTextAndWhereItGoes) {
  EXPECT_EQ(progressText(0, 120, 0.0), "rovelin: 0 of 120 frames (0%)");
  EXPECT_EQ(progressText(12, 120, 4.0), "rovelin: 12 of 120 frames (10%), 3.0 frames/s, 36 s left");
  EXPECT_EQ(progressText(10, 400, 2.0),
            "rovelin: 10 of 400 frames (2%), 5.0 frames/s, 1 min 18 s left");
  EXPECT_EQ(progressText(7, std::nullopt, 2.0), "rovelin: 7 frames, 3.5 frames/s");

  // Off the terminal nothing is written at all.
  std::ostringstream quiet;
  ProgressLine off(quiet, false, 10);
  off.show(3);
  off.clear();
  EXPECT_EQ(quiet.str(), "");
  // On it, each update redraws the one line and clearing removes it.
  std::ostringstream terminal;
  ProgressLine on(terminal, true, std::nullopt);
  on.show(0);
  on.clear();
  on.clear();
  EXPECT_EQ(terminal.str(), "\rrovelin: 0 frames\033[K\r\033[K");

  // A batch on a terminal leaves one summary line behind.
  EXPECT_EQ(summaryText(120, 24.0), "rovelin: 120 frames in 24.0 s, 5.0 frames/s");
  std::ostringstream finished;
  ProgressLine batch(finished, true, 2);
  batch.show(2);
  batch.finish();
  EXPECT_NE(finished.str().find("\rrovelin: 2 frames in "), std::string::npos);
  EXPECT_EQ(finished.str().substr(finished.str().size() - 4), "\033[K\n");
  EXPECT_NE(finished.str().find("frames/s"), std::string::npos);
}

TEST(DegenerateRegions, OneLinePerRunWithTheRangePerFrame) {
  DegenerateRegions none;
  none.add(0);
  EXPECT_EQ(none.runText(), "");
  DegenerateRegions run;
  for (int degenerate : {0, 79, 3, 0, 12}) run.add(degenerate);
  EXPECT_EQ(run.runText(),
            "3 of 5 frames have regions with a degenerate covariance (flat or too few pixels), 3 "
            "to 79 per frame; a ridge of 1e-06 was added to their diagonal (-v names the frames)");
  EXPECT_EQ(DegenerateRegions::frameText(79, 227, 12),
            "frame 12: 79 of 227 regions have a degenerate covariance (flat or too few pixels); a "
            "ridge of 1e-06 was added to their diagonal");
  EXPECT_EQ(DegenerateRegions::frameText(79, 227, std::nullopt).rfind("79 of 227 regions", 0), 0u);
}

}  // namespace
}  // namespace rovelin
