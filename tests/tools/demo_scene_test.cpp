// SPDX-License-Identifier: Apache-2.0
#include "tools/demo_scene.hpp"

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "support/tool_runner.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace rovelin {
namespace {

namespace fs = std::filesystem;

class DemoSceneTest : public ::testing::Test {
protected:
  test_support::TempDir tmp_;
  fs::path dir_ = tmp_.path();
};

// Mean absolute horizontal difference of the green channel over the pixels
// of one class: a rough measure of fine texture.
double meanGreenStep(const cv::Mat& image, const cv::Mat& labels, int cls) {
  double sum = 0;
  int count = 0;
  for (int y = 0; y < image.rows; ++y)
    for (int x = 0; x + 1 < image.cols; ++x)
      if (labels.at<int>(y, x) == cls && labels.at<int>(y, x + 1) == cls) {
        sum += std::abs(image.at<cv::Vec3b>(y, x + 1)[1] - image.at<cv::Vec3b>(y, x)[1]);
        ++count;
      }
  return count ? sum / count : -1.0;
}

cv::Point2d centroid(const cv::Mat& labels, int cls) {
  const cv::Moments m = cv::moments(labels == cls, true);
  return {m.m10 / m.m00, m.m01 / m.m00};
}

TEST_F(DemoSceneTest, RendersAreDeterministicAndLabelsAreExact) {
  const DemoSceneOptions options;
  cv::Mat labelsA, labelsB;
  const cv::Mat a = renderDemoFrame(3, options, &labelsA);
  const cv::Mat b = renderDemoFrame(3, options, &labelsB);
  ASSERT_EQ(a.type(), CV_8UC3);
  ASSERT_EQ(a.size(), cv::Size(640, 480));
  ASSERT_EQ(labelsA.type(), CV_32SC1);
  EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::countNonZero(labelsA != labelsB), 0);

  cv::Mat labels0, labels10;
  const cv::Mat frame0 = renderDemoFrame(0, options, &labels0);
  renderDemoFrame(10, options, &labels10);
  // Every pixel has a class, every class covers a fair share of frame 0.
  for (int cls = 1; cls <= 5; ++cls)
    EXPECT_GT(cv::countNonZero(labels0 == cls), 640 * 480 / 100) << cls;
  EXPECT_EQ(cv::countNonZero(labels0 < 1) + cv::countNonZero(labels0 > 5), 0);
  // The car drives right along the road; the rest stays put.
  const cv::Point2d car0 = centroid(labels0, 5), car10 = centroid(labels10, 5);
  EXPECT_NEAR(car10.x - car0.x, 200.0, 1.0);
  EXPECT_NEAR(car10.y, car0.y, 1e-9);
  EXPECT_EQ(cv::countNonZero((labels0 != labels10) & (labels0 != 5) & (labels10 != 5)), 0);
  // Car pixels look like the car: the body red is the most common colour there.
  cv::Mat reddish;
  cv::inRange(frame0, cv::Scalar(0, 0, 150), cv::Scalar(60, 60, 255), reddish);
  EXPECT_GT(cv::countNonZero(reddish & (labels0 == 5)), cv::countNonZero(labels0 == 5) / 2);
  EXPECT_EQ(cv::countNonZero(reddish & (labels0 != 5)), 0);

  // Texture differs as designed: smooth sky, fine grey road, noisy grass.
  const double sky = meanGreenStep(frame0, labels0, 1), road = meanGreenStep(frame0, labels0, 4);
  const double grass = meanGreenStep(frame0, labels0, 3);
  EXPECT_LT(sky, 1.0);
  EXPECT_GT(road, 5.0);
  EXPECT_GT(grass, 1.5 * road);

  // Other sizes scale the layout; the car wraps around instead of vanishing.
  const DemoSceneOptions small{64, 48, 200};
  cv::Mat smallLabels;
  EXPECT_EQ(renderDemoFrame(199, small, &smallLabels).size(), cv::Size(64, 48));
  int framesWithCar = 0, wraps = 0;
  double lastX = -1e9;
  for (int f = 0; f < 100; ++f) {
    renderDemoFrame(f, small, &smallLabels);
    if (cv::countNonZero(smallLabels == 5) == 0) continue;
    ++framesWithCar;
    const double x = centroid(smallLabels, 5).x;
    wraps += x < lastX;
    lastX = x;
  }
  EXPECT_GE(framesWithCar, 95);
  EXPECT_GE(wraps, 2);
  EXPECT_THROW(renderDemoFrame(-1, options, nullptr), std::invalid_argument);
  EXPECT_THROW(renderDemoFrame(0, DemoSceneOptions{16, 480, 1}, nullptr), std::invalid_argument);
  EXPECT_THROW(renderDemoFrame(0, DemoSceneOptions{640, 480, 0}, nullptr), std::invalid_argument);
}

TEST_F(DemoSceneTest, WrittenSceneReadsBack) {
  const DemoSceneOptions options{320, 240, 12};
  const auto files = writeDemoScene(dir_ / "out", options);
  ASSERT_EQ(files.size(), 14u);
  EXPECT_EQ(files[0], dir_ / "out" / "demo.avi");
  EXPECT_EQ(files[1], dir_ / "out" / "classes.txt");
  EXPECT_EQ(files[13], dir_ / "out" / "labels_11.png");
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_ / "out")) ++entries;
  EXPECT_EQ(entries, 14);  // no temporary files left behind

  const auto classes = readClassList(files[1]);
  ASSERT_EQ(classes.size(), 5u);
  const char* names[] = {"sky", "building", "grass", "road", "car"};
  for (int k = 0; k < 5; ++k) EXPECT_EQ(classes[k].name, names[k]);
  EXPECT_EQ(*classes[4].colour, cv::Vec3b(200, 30, 30));

  for (const int f : {0, 7}) {
    cv::Mat expected;
    renderDemoFrame(f, options, &expected);
    const cv::Mat back = readLabelMap(files[2 + f], classes, {320, 240}, {320, 240});
    EXPECT_EQ(cv::countNonZero(back != expected), 0) << f;
    // Frame-size map brought to a half-size frame.
    EXPECT_EQ(readLabelMap(files[2 + f], classes, {320, 240}, {160, 120}).size(),
              cv::Size(160, 120));
  }

  cv::VideoCapture video(files[0].string());
  ASSERT_TRUE(video.isOpened());
  EXPECT_EQ(video.get(cv::CAP_PROP_FRAME_COUNT), 12.0);
  EXPECT_EQ(video.get(cv::CAP_PROP_FRAME_WIDTH), 320.0);
  EXPECT_EQ(video.get(cv::CAP_PROP_FRAME_HEIGHT), 240.0);
  EXPECT_NEAR(video.get(cv::CAP_PROP_FPS), 10.0, 1e-6);
  // A seek lands on the frame that was rendered for that number: the car
  // is where its label map says, up to compression noise.
  ASSERT_TRUE(video.set(cv::CAP_PROP_POS_FRAMES, 7));
  cv::Mat decoded;
  ASSERT_TRUE(video.read(decoded));
  const cv::Mat rendered7 = renderDemoFrame(7, options), rendered6 = renderDemoFrame(6, options);
  const double error7 = cv::norm(decoded, rendered7, cv::NORM_L1) / decoded.total();
  const double error6 = cv::norm(decoded, rendered6, cv::NORM_L1) / decoded.total();
  EXPECT_LT(error7, 25.0);
  EXPECT_LT(error7, error6);

  // Identical options give an identical video.
  writeDemoScene(dir_ / "again", options);
  EXPECT_EQ(test_support::readFile(dir_ / "again" / "demo.avi"), test_support::readFile(files[0]));
}

TEST_F(DemoSceneTest, CommandLine) {
  const std::string exe = ROVELIN_DEMO_EXE;
  if (exe.empty()) GTEST_SKIP() << "rovelin-demo-scene not built";
  auto run = [&](const std::vector<std::string>& args) {
    return test_support::runTool(exe, args, dir_);
  };
  EXPECT_EQ(run({"--help"}).status, 0);
  auto result = run({});
  EXPECT_EQ(result.status, 2);
  EXPECT_THAT(result.err, ::testing::StartsWith("Error : no output directory"));
  result = run({"--size", "64", dir_.string()});
  EXPECT_EQ(result.status, 2);
  EXPECT_THAT(result.err, ::testing::HasSubstr("not WxH"));
  result = run({"--size", "20x48", "out"});
  EXPECT_EQ(result.status, 2);
  EXPECT_THAT(result.err, ::testing::HasSubstr("width must be 32..4096"));
  EXPECT_EQ(run({"--frames", "3x", "out"}).status, 2);
  EXPECT_EQ(run({"--frames"}).status, 2);
  EXPECT_EQ(run({"--bogus", "out"}).status, 2);
  EXPECT_EQ(run({"a", "b"}).status, 2);
  EXPECT_FALSE(fs::exists(dir_ / "out"));

  // A regular file where the directory should be: a failure, not a usage error.
  std::ofstream(dir_ / "file") << "x";
  result = run({"--frames", "1", "--size", "32x32", "file"});
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err, ::testing::StartsWith("Error : "));

  EXPECT_EQ(run({"--size", "64x48", "--frames", "2", "cli"}).status, 0);
  EXPECT_TRUE(fs::exists(dir_ / "cli" / "demo.avi"));
  EXPECT_TRUE(fs::exists(dir_ / "cli" / "labels_1.png"));
  EXPECT_FALSE(fs::exists(dir_ / "cli" / "labels_2.png"));
}

}  // namespace
}  // namespace rovelin
