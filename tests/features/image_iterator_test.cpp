// SPDX-License-Identifier: Apache-2.0
#include "features/image_iterator.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace rovelin {
namespace {

TEST(ImageIterator, VisitsEveryElementInMemoryOrder) {
  cv::Mat image(3, 4, CV_8UC3);
  for (int i = 0; i < 36; ++i) image.data[i] = static_cast<std::uint8_t>(i);
  std::vector<int> seen;
  for (ImageIterator<std::uint8_t> it(image); it.hasNext(); it.advance())
    seen.push_back(it.current());
  ASSERT_EQ(seen.size(), 36u);
  for (int i = 0; i < 36; ++i) EXPECT_EQ(seen[i], i);

  // A view into a wider image: the row step skips the elements outside it.
  cv::Mat wide(4, 6, CV_32FC1);
  for (int i = 0; i < 24; ++i) wide.at<float>(i / 6, i % 6) = static_cast<float>(i);
  cv::Mat view = wide(cv::Rect(1, 1, 3, 2));
  std::vector<float> values;
  for (ImageIterator<float> it(view); it.hasNext(); it.advance()) values.push_back(it.current());
  EXPECT_EQ(values, (std::vector<float>{7, 8, 9, 13, 14, 15}));
}

TEST(ImageIterator, ClipsTheRectangleToTheImage) {
  cv::Mat image(4, 5, CV_8UC1);
  for (int i = 0; i < 20; ++i) image.data[i] = static_cast<std::uint8_t>(i);
  auto walk = [&](cv::Rect rect) {
    std::vector<int> values;
    for (ImageIterator<std::uint8_t> it(image, rect); it.hasNext(); it.advance())
      values.push_back(it.current());
    return values;
  };
  EXPECT_EQ(walk({0, 0, 0, 0}).size(), 20u);  // the empty rectangle is the whole image
  EXPECT_EQ(walk({1, 2, 2, 1}), (std::vector<int>{11, 12}));
  EXPECT_EQ(walk({3, 3, 10, 10}), (std::vector<int>{18, 19}));  // past the far edges
  EXPECT_EQ(walk({-2, -1, 3, 2}), (std::vector<int>{0}));
  EXPECT_TRUE(walk({5, 0, 2, 2}).empty());  // starts right of the image
  EXPECT_TRUE(walk({0, 4, 2, 2}).empty());  // starts below the image

  // Negative start: the near edge becomes 0, the far edge stays x + w, y + h.
  EXPECT_EQ(walk({-2, -1, 4, 3}), (std::vector<int>{0, 1, 5, 6}));

  cv::Mat colour(2, 3, CV_8UC3, cv::Scalar(0, 0, 0));
  ImageIterator<std::uint8_t> it(colour, {1, 0, 1, 1});
  EXPECT_EQ(it.column(), 3);  // element columns count channel values
  int count = 0;
  for (; it.hasNext(); it.advance()) ++count;
  EXPECT_EQ(count, 3);

  cv::Mat wrongDepth(2, 2, CV_16UC1);
  EXPECT_THROW(ImageIterator<std::uint8_t>{wrongDepth}, std::invalid_argument);
  EXPECT_THROW(ImageIterator<float>{image}, std::invalid_argument);
  cv::Mat empty;
  EXPECT_FALSE(ImageIterator<float>(empty).hasNext());
}

TEST(ImageIterator, NeighborFallsBackToTheCentreOutsideTheImage) {
  cv::Mat image(2, 2, CV_32FC3);
  for (int i = 0; i < 12; ++i) reinterpret_cast<float*>(image.data)[i] = static_cast<float>(i);
  ImageIterator<float> it(image);
  // Element 0: no left or upper neighbour.
  EXPECT_EQ(it.neighbor(-1, 0), 0.0f);
  EXPECT_EQ(it.neighbor(0, -1), 0.0f);
  EXPECT_EQ(it.neighbor(1, 0), 1.0f);
  EXPECT_EQ(it.neighbor(0, 1), 6.0f);
  for (int i = 0; i < 5; ++i) it.advance();
  // Element 5 is the last of row 0: the next element of memory is not its neighbour.
  EXPECT_EQ(it.current(), 5.0f);
  EXPECT_EQ(it.neighbor(1, 0), 5.0f);
  EXPECT_EQ(it.neighbor(-1, 0), 4.0f);
  EXPECT_EQ(it.neighbor(0, 1), 11.0f);
  it.advance();
  EXPECT_EQ(it.neighbor(0, 1), 6.0f);  // last row: no wrap to the top
  EXPECT_EQ(it.neighbor(0, -1), 0.0f);
  EXPECT_EQ(it.neighbor(-1, 0), 6.0f);  // first column of row 1
  it.neighbor(1, 0) = 42.0f;            // neighbours are writable references
  EXPECT_EQ(image.at<cv::Vec3f>(1, 0)[1], 42.0f);
}

TEST(ImageConversion, DividesBytesBy255AndFills) {
  const std::uint8_t bytes[] = {0, 51, 255, 255, 0, 102};
  const cv::Mat source(1, 2, CV_8UC3, const_cast<std::uint8_t*>(bytes));
  const cv::Mat converted = toFloatImage(source);
  ASSERT_EQ(converted.type(), CV_32FC3);
  const float* values = converted.ptr<float>();
  EXPECT_EQ(values[0], 0.0f);
  EXPECT_EQ(values[1], static_cast<float>(51 / 255.0));
  EXPECT_EQ(values[1], 0.2f);
  EXPECT_EQ(values[2], 1.0f);
  EXPECT_EQ(values[3], 1.0f);
  EXPECT_EQ(values[4], 0.0f);
  EXPECT_EQ(values[5], 0.4f);

  // Every byte value, through a destination of another shape (the iterator walk).
  cv::Mat all(16, 16, CV_8UC1);
  for (int i = 0; i < 256; ++i) all.data[i] = static_cast<std::uint8_t>(i);
  cv::Mat column(256, 1, CV_32FC1);
  toFloatImage(all, column);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(column.at<float>(i), static_cast<float>(i / 255.0)) << i;

  cv::Mat wrong(2, 2, CV_64FC1);
  EXPECT_THROW(toFloatImage(all, wrong), std::invalid_argument);
}

}  // namespace
}  // namespace rovelin
