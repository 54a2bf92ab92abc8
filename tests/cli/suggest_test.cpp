// SPDX-License-Identifier: Apache-2.0
// The frames to label next: a model trained without the car class is least
// sure where the car is, and the frames rovelin-summary --suggest names show
// the car.
#include "labels/label_map.hpp"
#include "support/trained_demo_scene.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

namespace rovelin {
namespace {

using test_support::runTool;
namespace fs = std::filesystem;

class Suggest : public test_support::TrainedDemoScene {};

TEST_F(Suggest, FramesWithTheClassLeftOutAreSuggestedApart) {
  const fs::path work = folder("suggest");
  const auto classes = readClassList(work / "classes.txt");
  std::ofstream(work / "four.txt") << "sky\nbuilding\ngrass\nroad\n";
  std::vector<long long> carPixels;
  for (int f = 0; f < 12; ++f) {
    const cv::Mat truth = readLabelMap(dir->path() / ("labels_" + std::to_string(f) + ".png"),
                                       classes, {320, 240}, {320, 240});
    carPixels.push_back(cv::countNonZero(truth == 5));
    if (f % 4 != 0) continue;
    cv::Mat withoutCar = truth.clone();
    withoutCar.setTo(0, truth == 5);  // car is the last class: the others keep their numbers
    std::vector<cv::Vec3b> colours;
    for (std::size_t k = 0; k < 4; ++k) colours.push_back(*classes[k].colour);
    writeLabelMapPng(work / ("nocar_" + std::to_string(f) + ".png"), withoutCar, colours);
  }
  const auto trained = runTool(ROVELIN_TRAIN_EXE,
                               {"--classes", "four.txt", "-o", "model4.txt", "demo.avi", "1",
                                "0:nocar_0.png", "4:nocar_4.png", "8:nocar_8.png"},
                               work);
  ASSERT_EQ(trained.status, 0) << trained.err;
  fs::create_directory(work / "out");
  const auto run = runTool(ROVELIN_EXE,
                           {"--no-gui", "--frames", "all", "--json", "out/{frame}.json", "demo.avi",
                            "0", "1", "model4.txt"},
                           work);
  ASSERT_EQ(run.status, 0) << run.err;

  const auto lines =
      runTool(ROVELIN_SUMMARY_EXE, {"--suggest", "3", "--min-gap", "2", "out"}, work);
  ASSERT_EQ(lines.status, 0) << lines.err;
  const auto json =
      runTool(ROVELIN_SUMMARY_EXE, {"--suggest", "3", "--min-gap", "2", "--json", "out"}, work);
  ASSERT_EQ(json.status, 0) << json.err;
  const auto picks = nlohmann::json::parse(json.out);
  ASSERT_EQ(picks.size(), 3u) << json.out;
  std::string expected;
  std::vector<int> frames;
  double previous = 2.0;
  for (const auto& p : picks) {
    const int frame = p["frame"].get<int>();
    const double u = p["uncertainty"].get<double>();
    EXPECT_LE(u, previous);
    previous = u;
    for (const int other : frames) EXPECT_GE(std::abs(other - frame), 2) << json.out;
    frames.push_back(frame);
    EXPECT_GT(carPixels[static_cast<std::size_t>(frame)], 0) << "frame " << frame;
    char text[64];
    std::snprintf(text, sizeof text, "%.4f", u);
    expected += "demo " + std::to_string(frame) + " " + text + " " +
                p["least_certain_class"].get<std::string>() + "\n";
  }
  EXPECT_EQ(lines.out, expected);

  const auto bad = runTool(ROVELIN_SUMMARY_EXE, {"--suggest", "0", "out"}, work);
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("--suggest takes a whole number of at least 1"), std::string::npos);
}

}  // namespace
}  // namespace rovelin
