// SPDX-License-Identifier: Apache-2.0
#include "driver/progress.hpp"

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
}

}  // namespace
}  // namespace rovelin
