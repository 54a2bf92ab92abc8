// SPDX-License-Identifier: Apache-2.0
#include "segmentation/grid_image.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "support/temp_dir.hpp"

namespace rovelin {
namespace {

using ::testing::HasSubstr;

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) {
    s.push_back(static_cast<char>(v));
  }
  return s;
}

GridImage<RgbPixel> readFrom(const std::string& content, const std::string& name = "test.ppm") {
  std::istringstream in(content, std::ios::in | std::ios::binary);
  return readPpm(in, name);
}

// The message of the pnm_error thrown while reading `content`, or "" if none.
std::string readError(const std::string& content) {
  try {
    readFrom(content, "bad.ppm");
  } catch (const pnm_error& e) {
    return e.what();
  }
  return "";
}

void expectPixel(const RgbPixel& p, int r, int g, int b) {
  EXPECT_EQ(p.r, r);
  EXPECT_EQ(p.g, g);
  EXPECT_EQ(p.b, b);
}

TEST(GridImage, ZeroFilledRowMajorAndMoveOnly) {
  GridImage<RgbPixel> image(3, 2);
  EXPECT_EQ(image.width(), 3);
  EXPECT_EQ(image.height(), 2);
  for (std::size_t i = 0; i < image.pixelCount(); ++i) {
    expectPixel(image.data()[i], 0, 0, 0);
  }
  image(2, 1).g = 7;
  EXPECT_EQ(image.data()[5].g, 7);
  EXPECT_EQ(image.row(1) + 2, &image(2, 1));

  GridImage<RgbPixel> moved(std::move(image));
  EXPECT_EQ(moved(2, 1).g, 7);
  EXPECT_EQ(image.width(), 0);  // NOLINT(bugprone-use-after-move): the moved-from state is defined
  EXPECT_EQ(image.pixelCount(), 0u);
  EXPECT_THROW(GridImage<float>(-1, 4), std::invalid_argument);
}

TEST(PpmWrite, TwoByOneHeaderBytesThenSamples) {
  GridImage<RgbPixel> image(2, 1);
  image(0, 0) = RgbPixel{1, 2, 3};
  image(1, 0) = RgbPixel{4, 5, 250};
  std::ostringstream out(std::ios::out | std::ios::binary);
  writePpm(image, out);
  EXPECT_EQ(out.str(), std::string("P6\n2 1\n255\n") + bytes({1, 2, 3, 4, 5, 250}));
  EXPECT_EQ(out.str().size(), 11u + 6u);
}

TEST(PpmRead, HeaderTokensCommentsAndSeparators) {
  const std::string samples = bytes({10, 20, 30, 40, 50, 60});
  const GridImage<RgbPixel> plain = readFrom("P6\n2 1\n255\n" + samples);
  ASSERT_EQ(plain.width(), 2);
  ASSERT_EQ(plain.height(), 1);
  expectPixel(plain(0, 0), 10, 20, 30);
  expectPixel(plain(1, 0), 40, 50, 60);

  const GridImage<RgbPixel> commented =
      readFrom("P6\n# made by hand\n2 1\n#another one\n255\n" + samples);
  ASSERT_EQ(commented.width(), 2);
  expectPixel(commented(1, 0), 40, 50, 60);

  const GridImage<RgbPixel> spaced = readFrom("P6  \n\n 2 \t 1\n\n255\n" + samples);
  ASSERT_EQ(spaced.width(), 2);
  ASSERT_EQ(spaced.height(), 1);
  expectPixel(spaced(0, 0), 10, 20, 30);

  // Only one byte is skipped after maxval: a second separator becomes data.
  const GridImage<RgbPixel> shifted = readFrom("P6\n2 1\n255\n\n" + samples);
  expectPixel(shifted(0, 0), '\n', 10, 20);
  expectPixel(shifted(1, 0), 30, 40, 50);

  // The magic is compared on two characters; a '#' inside a token is part of it.
  EXPECT_EQ(readFrom("P6x#y 2 1 255\n" + samples).width(), 2);
  EXPECT_THAT(readError("P5\n2 1\n255\n" + samples), HasSubstr("bad.ppm"));
  EXPECT_THAT(readError("P\n2 1\n255\n" + samples), HasSubstr("not a binary PPM"));
}

TEST(PpmRead, MaximumValueCheckedButSamplesNotRescaled) {
  const std::string samples = bytes({200, 15, 0, 1, 2, 3});
  EXPECT_THAT(readError("P6\n2 1\n256\n" + samples), HasSubstr("256"));
  EXPECT_THAT(readError("P6\n2 1\n65535\n" + samples), HasSubstr("bad.ppm"));
  expectPixel(readFrom("P6\n2 1\n255\n" + samples)(0, 0), 200, 15, 0);
  expectPixel(readFrom("P6\n2 1\n15\n" + samples)(0, 0), 200, 15, 0);
}

TEST(PpmRead, ShortPixelBlockLeavesTailBlack) {
  const GridImage<RgbPixel> image = readFrom("P6\n2 2\n255\n" + bytes({9, 8, 7, 6, 5}));
  ASSERT_EQ(image.pixelCount(), 4u);
  expectPixel(image(0, 0), 9, 8, 7);
  expectPixel(image(1, 0), 6, 5, 0);
  expectPixel(image(0, 1), 0, 0, 0);
  expectPixel(image(1, 1), 0, 0, 0);

  const GridImage<RgbPixel> noData = readFrom("P6\n1 1\n255");
  expectPixel(noData(0, 0), 0, 0, 0);
}

TEST(PpmRead, HostileHeadersFailWithMessages) {
  EXPECT_THAT(readError(""), HasSubstr("cut short"));
  EXPECT_THAT(readError("P6\n2 1\n"), HasSubstr("cut short"));
  EXPECT_THAT(readError("P6\n2 # only a comment"), HasSubstr("cut short"));
  EXPECT_THAT(readError("P6\n0 1\n255\n"), HasSubstr("invalid PPM size 0 x 1"));
  EXPECT_THAT(readError("P6\n4 -3\n255\n"), HasSubstr("invalid PPM size"));
  EXPECT_THAT(readError("P6\nwide 1\n255\n"), HasSubstr("invalid PPM size"));
  EXPECT_THAT(readError("P6\n70000 70000\n255\n"), HasSubstr("exceeds the limit"));
  EXPECT_THAT(readError("P6\n99999999999999999999 99999999999999999999\n255\n"),
              HasSubstr("exceeds the limit"));
  EXPECT_THAT(readError("P6\n-99999999999999999999 2\n255\n"), HasSubstr("invalid PPM size"));

  // A comment body of 255 characters still fits the line buffer; 256 does not.
  const std::string samples = bytes({1, 2, 3});
  EXPECT_EQ(readFrom("P6\n#" + std::string(255, 'c') + "\n1 1 255\n" + samples).width(), 1);
  EXPECT_THAT(readError("P6\n#" + std::string(256, 'c') + "\n1 1 255\n" + samples),
              HasSubstr("256 characters or more"));
  EXPECT_THAT(readError("P6\n#" + std::string(5000, 'c') + "\n1 1 255\n" + samples),
              HasSubstr("bad.ppm"));
}

TEST(PpmFiles, RoundTripAndFailuresNameTheFile) {
  test_support::TempDir dir;
  GridImage<RgbPixel> image(7, 5);
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 7; ++x) {
      image(x, y) =
          RgbPixel{static_cast<unsigned char>(x * 37 + y), static_cast<unsigned char>(255 - x * y),
                   static_cast<unsigned char>(y * 51 ^ x)};
    }
  }
  const std::string path = dir.file("round.ppm");
  writePpm(image, path);
  std::ifstream raw(path, std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(raw)),
                            std::istreambuf_iterator<char>());
  EXPECT_EQ(written.size(), std::string("P6\n7 5\n255\n").size() + 7u * 5u * 3u);

  const GridImage<RgbPixel> back = readPpm(path);
  ASSERT_EQ(back.width(), 7);
  ASSERT_EQ(back.height(), 5);
  EXPECT_EQ(0, std::memcmp(back.data(), image.data(), image.pixelCount() * 3));

  const std::string missing = dir.file("missing.ppm");
  try {
    readPpm(missing);
    ADD_FAILURE() << "reading a missing file must throw";
  } catch (const pnm_error& e) {
    EXPECT_THAT(e.what(), HasSubstr(missing));
  }
  const std::string unwritable = dir.file("no-such-dir/out.ppm");
  try {
    writePpm(image, unwritable);
    ADD_FAILURE() << "writing into a missing directory must throw";
  } catch (const pnm_error& e) {
    EXPECT_THAT(e.what(), HasSubstr(unwritable));
  }
  std::ostream broken(nullptr);
  EXPECT_THROW(writePpm(image, broken, "broken stream"), pnm_error);
}

}  // namespace
}  // namespace rovelin
