// SPDX-License-Identifier: Apache-2.0
#include "pipeline/video_frame_source.hpp"
#include "support/tool_runner.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

namespace rovelin {
namespace {

using test_support::TempDir;

// A capture that serves numbered frames from memory and records every
// property request, so seeks can be observed.
class FakeCapture : public cv::VideoCapture {
public:
  FakeCapture(int width, int height, int count) : width_(width), height_(height), count_(count) {}
  bool isOpened() const override { return open_; }
  void release() override {
    open_ = false;
    ++releases;
  }
  double get(int prop) const override {
    gets.push_back(prop);
    switch (prop) {
      case cv::CAP_PROP_FRAME_WIDTH:
        return width_ + 0.9;  // truncated toward zero
      case cv::CAP_PROP_FRAME_HEIGHT:
        return height_ + 0.9;
      case cv::CAP_PROP_FRAME_COUNT:
        return claimedCount ? *claimedCount : count_;
      case cv::CAP_PROP_POS_FRAMES:
        return position_;
      default:
        return 0;
    }
  }
  bool set(int prop, double value) override {
    sets.emplace_back(prop, value);
    if (prop == cv::CAP_PROP_POS_FRAMES) position_ = static_cast<int>(value);
    return true;
  }
  bool grab() override {
    if (position_ < 0 || position_ >= count_) return false;
    ++position_;
    return true;
  }
  bool read(cv::OutputArray image) override {
    if (position_ < 0 || position_ >= count_) {
      image.release();
      return false;
    }
    cv::Mat frame(height_, width_, CV_8UC3);
    for (int y = 0; y < height_; ++y)
      for (int x = 0; x < width_; ++x)
        frame.at<cv::Vec3b>(y, x) =
            cv::Vec3b(static_cast<uchar>(position_), static_cast<uchar>(x * 7 + y),
                      static_cast<uchar>(x * y));
    frame.copyTo(image);
    ++position_;
    return true;
  }

  std::optional<double> claimedCount;  // what the container says, when not the truth
  mutable std::vector<int> gets;
  std::vector<std::pair<int, double>> sets;
  int releases = 0;

private:
  int width_, height_, count_;
  int position_ = 0;
  bool open_ = true;
};

struct Source {
  FakeCapture* fake;
  std::unique_ptr<VideoFrameSource> source;
};

Source makeSource(int width, int height, int count, double factor) {
  auto capture = std::make_unique<FakeCapture>(width, height, count);
  FakeCapture* fake = capture.get();
  auto source = std::make_unique<VideoFrameSource>(std::move(capture), "fake.avi", factor);
  return {fake, std::move(source)};
}

TEST(VideoFrameSource, ReadsPropertiesInOrderAndSizesTheOutput) {
  Source s = makeSource(640, 480, 20, 0.5);
  ASSERT_GE(s.fake->gets.size(), 3u);
  EXPECT_EQ(s.fake->gets[0], cv::CAP_PROP_FRAME_WIDTH);
  EXPECT_EQ(s.fake->gets[1], cv::CAP_PROP_FRAME_HEIGHT);
  EXPECT_EQ(s.fake->gets[2], cv::CAP_PROP_FRAME_COUNT);
  EXPECT_EQ(s.source->frameWidth, 640);  // 640.9 truncated
  EXPECT_EQ(s.source->frameHeight, 480);
  EXPECT_EQ(s.source->frameCount, 20);
  EXPECT_TRUE(s.source->resizeNeeded);
  EXPECT_EQ(s.source->output.size(), cv::Size(320, 240));
  EXPECT_EQ(s.source->output.type(), CV_8UC3);

  Source narrow = makeSource(641, 100, 5, 0.3);
  EXPECT_EQ(narrow.source->outputWidth, 192);  // floor(192.3)
  EXPECT_EQ(narrow.source->outputHeight, 30);
}

TEST(VideoFrameSource, FactorOneCopiesAndAnyOtherFactorResamples) {
  Source exact = makeSource(32, 24, 3, 1.0);
  EXPECT_FALSE(exact.source->resizeNeeded);
  ASSERT_TRUE(exact.source->grabFrame(1));
  EXPECT_EQ(cv::norm(exact.source->output, exact.source->frame, cv::NORM_INF), 0.0);

  Source almost = makeSource(32, 24, 3, 1.0000001);
  EXPECT_TRUE(almost.source->resizeNeeded);
  EXPECT_EQ(almost.source->output.size(), cv::Size(32, 24));
  ASSERT_TRUE(almost.source->grabFrame(1));
  cv::Mat bicubic;
  cv::resize(almost.source->frame, bicubic, cv::Size(32, 24), 0, 0, cv::INTER_CUBIC);
  EXPECT_EQ(cv::norm(almost.source->output, bicubic, cv::NORM_INF), 0.0);
}

TEST(VideoFrameSource, SeeksOnlyWhenThePositionDiffers) {
  Source s = makeSource(16, 16, 10, 1.0);
  ASSERT_TRUE(s.source->grabFrame(0));  // position 0 right after opening: no seek
  EXPECT_TRUE(s.fake->sets.empty());
  ASSERT_TRUE(s.source->grabFrame(1));  // the capture is now at 1
  EXPECT_TRUE(s.fake->sets.empty());
  ASSERT_TRUE(s.source->grabFrame(5));
  ASSERT_EQ(s.fake->sets.size(), 1u);
  EXPECT_EQ(s.fake->sets[0], std::make_pair(static_cast<int>(cv::CAP_PROP_POS_FRAMES), 5.0));
  EXPECT_EQ(s.source->output.at<cv::Vec3b>(0, 0)[0], 5);
  ASSERT_TRUE(s.source->readAhead(0));
  EXPECT_EQ(s.source->output.at<cv::Vec3b>(0, 0)[0], 6);
  EXPECT_EQ(s.fake->sets.size(), 1u);
}

TEST(VideoFrameSource, FrameAtOrPastTheCountIsClampedAndReportedUnreadable) {
  Source s = makeSource(16, 16, 10, 1.0);
  ASSERT_TRUE(s.source->grabFrame(3));
  const cv::Mat before = s.source->output.clone();
  EXPECT_FALSE(s.source->grabFrame(25));
  ASSERT_FALSE(s.fake->sets.empty());
  EXPECT_EQ(s.fake->sets.back().second, 10.0);  // the count itself
  EXPECT_TRUE(s.source->frame.empty());
  EXPECT_EQ(cv::norm(before, s.source->output, cv::NORM_INF), 0.0);  // output kept
}

// A header cut off before it was finalised says 0 frames, a damaged one a
// billion: neither is believed, and frame N is still frame N.
TEST(VideoFrameSource, ContainerCountsThatCannotBeTrustedAreUnknown) {
  auto capture = std::make_unique<FakeCapture>(16, 16, 10);
  capture->claimedCount = 0.0;
  VideoFrameSource cut(std::move(capture), "fake.avi", 1.0);
  EXPECT_FALSE(cut.frameCountKnown());
  ASSERT_TRUE(cut.grabFrame(5));
  EXPECT_EQ(cut.output.at<cv::Vec3b>(0, 0)[0], 5);

  TempDir dir;
  std::ofstream(dir / "small.avi") << std::string(4096, 'x');
  const std::string small = (dir / "small.avi").string();
  EXPECT_EQ(VideoFrameSource::believableFrameCount(999'999'999.0, small), -1);
  EXPECT_EQ(VideoFrameSource::believableFrameCount(4097.0, small), -1);
  EXPECT_EQ(VideoFrameSource::believableFrameCount(120.0, small), 120);
  EXPECT_EQ(VideoFrameSource::believableFrameCount(0.0, small), -1);
  EXPECT_EQ(VideoFrameSource::believableFrameCount(120.0, "rtsp://camera/stream"), 120);
}

TEST(VideoFrameSource, ReleaseIsIdempotent) {
  Source s = makeSource(16, 16, 10, 1.0);
  s.source->release();
  EXPECT_EQ(s.source->capture, nullptr);
  EXPECT_TRUE(s.source->output.empty());
  s.source->release();
  EXPECT_FALSE(s.source->grabFrame(0));
  s.source.reset();  // the destructor releases once more: harmless
}

TEST(VideoFrameSource, RefusesFactorsThatGiveNoUsableFrame) {
  for (double factor :
       {0.0, -1.0, std::nan(""), 1e-4, 1e6, std::numeric_limits<double>::infinity()}) {
    EXPECT_THROW(makeSource(640, 480, 5, factor), ScaleFactorError) << factor;
  }
  EXPECT_THROW(makeSource(640, 480, 5, 1.0 / 640), ScaleFactorError);  // 1 × 0.75: height 0
  EXPECT_NO_THROW(makeSource(640, 480, 5, 1.0 / 480));                 // 1.33 × 1: 1 × 1
}

TEST(VideoFrameSource, RealVideoFileRoundTrip) {
  TempDir dir;
  const auto path = dir / "clip.avi";
  test_support::writeVideo(path, 6, cv::Size(64, 48),
                           [](int i) { return test_support::blockFrame(i, cv::Size(64, 48)); });
  VideoFrameSource source(path.string(), 0.5);
  EXPECT_EQ(source.frameCount, 6);
  EXPECT_EQ(source.output.size(), cv::Size(32, 24));
  ASSERT_TRUE(source.grabFrame(4));
  EXPECT_FALSE(source.grabFrame(6));
  EXPECT_THROW(VideoFrameSource((dir / "missing.avi").string(), 1.0), VideoOpenError);
  test_support::writeVideo(dir / "empty.avi", 0, cv::Size(64, 48),
                           [](int i) { return test_support::blockFrame(i, cv::Size(64, 48)); });
  std::ofstream(dir / "text.avi") << "not a video";
  EXPECT_THROW(VideoFrameSource((dir / "text.avi").string(), 1.0), VideoOpenError);
}

// A frame's pictures compared exactly.
bool samePixels(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0.0;
}

TEST(VideoFrameSource, ReadingForwardGivesTheFramesASeekGives) {
  TempDir dir;
  const auto path = dir / "clip.avi";
  test_support::writeVideo(path, 20, cv::Size(64, 48),
                           [](int i) { return test_support::blockFrame(i, cv::Size(64, 48)); });
  VideoFrameSource forward(path.string(), 1.0);
  forward.readForwardLimit = 8;
  for (int n : {0, 3, 6, 13, 19}) {
    ASSERT_TRUE(forward.grabFrame(n)) << n;
    VideoFrameSource seeking(path.string(), 1.0);
    ASSERT_TRUE(seeking.grabFrame(n)) << n;
    EXPECT_TRUE(samePixels(forward.output, seeking.output)) << "frame " << n;
  }
  // A run to the end reads ahead whatever the count says, and stops there.
  VideoFrameSource ahead(path.string(), 1.0);
  ASSERT_TRUE(ahead.grabFrame(2));
  ASSERT_TRUE(ahead.readAhead(4));  // frame 7
  VideoFrameSource seeking(path.string(), 1.0);
  ASSERT_TRUE(seeking.grabFrame(7));
  EXPECT_TRUE(samePixels(ahead.output, seeking.output));
  EXPECT_FALSE(ahead.readAhead(12));  // frame 20: past the end
}

TEST(VideoFrameSource, StreamsWithoutAFrameCountAreReadForward) {
  TempDir dir;
  // A raw Motion JPEG stream and a PNG still give no usable count.
  const auto raw = dir / "clip.mjpeg";
  test_support::writeVideo(raw, 8, cv::Size(64, 48),
                           [](int i) { return test_support::blockFrame(i, cv::Size(64, 48)); });
  const auto meanBlue = [](const cv::Mat& image) { return cv::mean(image)[0]; };
  std::vector<double> blue;
  {
    VideoFrameSource source(raw.string(), 1.0);
    EXPECT_FALSE(source.frameCountKnown());
    EXPECT_EQ(source.frameCountText(), "the stream does not give its frame count");
    for (int n = 0; n < 8; ++n) {
      ASSERT_TRUE(source.readAhead(0)) << n;
      blue.push_back(meanBlue(source.output));
    }
    EXPECT_FALSE(source.readAhead(0));
  }
  VideoFrameSource source(raw.string(), 1.0);
  for (int n : {5, 2, 2, 7, 0}) {  // forward, back, the same, forward, back to the start
    ASSERT_TRUE(source.grabFrame(n)) << n;
    EXPECT_DOUBLE_EQ(meanBlue(source.output), blue[static_cast<std::size_t>(n)]) << n;
  }
  EXPECT_FALSE(source.grabFrame(8));
  EXPECT_FALSE(source.grabFrame(1000));
  ASSERT_TRUE(source.grabFrame(3));  // readable again after a read past the end
  EXPECT_DOUBLE_EQ(meanBlue(source.output), blue[3]);

  const auto still = dir / "still.png";
  ASSERT_TRUE(cv::imwrite(still.string(), test_support::blockFrame(4, cv::Size(64, 48))));
  VideoFrameSource picture(still.string(), 1.0);
  EXPECT_FALSE(picture.frameCountKnown());
  EXPECT_FALSE(picture.grabFrame(3));
  ASSERT_TRUE(picture.grabFrame(0));
  EXPECT_FALSE(picture.grabFrame(1));
}

}  // namespace
}  // namespace rovelin
