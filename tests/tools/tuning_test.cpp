// SPDX-License-Identifier: Apache-2.0
#include "tools/tuning.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace rovelin {
namespace {

TuningCandidate candidate(float sigma, double regions, double samples, double accuracy) {
  TuningCandidate c;
  c.segmentation = SegmentationParams{sigma, 500.0f, 500};
  c.regionsPerFrame = regions;
  c.samples = samples;
  c.meanAccuracy = accuracy;
  c.frameScores = {accuracy, accuracy};
  return c;
}

TEST(TuningMargin, TheCheapestWithinTheMarginWinsAndTheTableShowsTheCost) {
  TuningResult result;
  result.tried = {candidate(1.0f, 50, 150, 0.990), candidate(0.8f, 40, 120, 0.987),
                  candidate(0.5f, 800, 500, 0.996), candidate(0.5f, 30, 100, 0.950)};
  result.best = 2;
  TuningResult none = result;
  chooseWithinMargin(none, 0.0);
  EXPECT_EQ(none.best, 2u);  // no margin: the most accurate, as without the option
  chooseWithinMargin(result, 1.0);
  EXPECT_EQ(result.best, 1u);  // 0.987 is within 1 point of 0.996; 0.950 is not

  const std::vector<LabelledFrame> frames = {{0, "a.png"}, {8, "b.png"}};
  std::ostringstream table;
  printTuningTable(result, frames, table);
  EXPECT_NE(table.str().find("mean  distances/frame      f0      f8\n"), std::string::npos)
      << table.str();
  EXPECT_NE(table.str().find("0.9870             4800  0.9870  0.9870\n"), std::string::npos)
      << table.str();
  EXPECT_NE(table.str().find("margin: 1 points of mean accuracy below the best"),
            std::string::npos);
  TuningResult withoutMargin = none;
  withoutMargin.margin.reset();
  std::ostringstream plain;
  printTuningTable(withoutMargin, frames, plain);
  EXPECT_EQ(plain.str().find("distances/frame"), std::string::npos);
}

}  // namespace
}  // namespace rovelin
