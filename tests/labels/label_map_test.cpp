// SPDX-License-Identifier: Apache-2.0
#include "labels/label_map.hpp"
#include "labels/polygon_annotation.hpp"

#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <unistd.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace rovelin {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

class LabelMapTest : public ::testing::Test {
protected:
  fs::path write(const std::string& name, const std::string& text) const {
    const fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }

  // Runs `f`, expects a LabelMapError whose message names `file` and holds `problem`.
  template <typename F>
  void expectError(F f, const fs::path& file, const std::string& problem) const {
    try {
      f();
      ADD_FAILURE() << "no error for " << file << " (" << problem << ")";
    } catch (const LabelMapError& e) {
      EXPECT_THAT(e.what(), HasSubstr(file.filename().string()));
      EXPECT_THAT(e.what(), HasSubstr(problem));
    }
  }

  test_support::TempDir tmp_;
  fs::path dir_ = tmp_.path();
};

std::vector<ClassEntry> fiveClasses() {
  std::istringstream in(
      "sky 135 185 235\nbuilding 150 120 90\ngrass 60 140 50\nroad 110 110 110\ncar 200 30 30\n");
  return readClassList(in.str(), "classes");
}

TEST_F(LabelMapTest, ClassListSkipsCommentsAndReadsColours) {
  std::istringstream in(
      "# name r g b\n\nsky 135 185 235\r\n  # indented comment\n\tgrass\nroad 1 2 3   \n");
  const auto classes = readClassList(in.str(), "list.txt");
  ASSERT_EQ(classes.size(), 3u);
  EXPECT_EQ(classes[0].name, "sky");
  ASSERT_TRUE(classes[0].colour.has_value());
  EXPECT_EQ(*classes[0].colour, cv::Vec3b(135, 185, 235));
  EXPECT_EQ(classes[1].name, "grass");
  EXPECT_FALSE(classes[1].colour.has_value());
  EXPECT_EQ(*classes[2].colour, cv::Vec3b(1, 2, 3));

  const auto bad = [](const std::string& text, const std::string& problem) {
    std::istringstream s(text);
    try {
      readClassList(s.str(), "list.txt");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const LabelMapError& e) {
      EXPECT_THAT(e.what(), HasSubstr("list.txt"));
      EXPECT_THAT(e.what(), HasSubstr(problem)) << text;
    }
  };
  bad("sky\nsky\n", "line 2");
  bad("sky 1 2\n", "line 1");
  bad("sky 1 2 256\n", "256");
  bad("sky 1 2 3x\n", "3x");
  bad("sky 1 2 3\ngrass 1 2 3\n", "already used on line 1");
  bad("sky 0 0 0\n", "reserved");
  bad("# only a comment\n\n", "no classes");
  bad("two words\n", "line 1");

  expectError([&] { readClassList(dir_ / "missing.txt"); }, "missing.txt", "cannot open");
}

std::vector<cv::Vec3b> coloursOf(const std::vector<ClassEntry>& classes) {
  std::vector<cv::Vec3b> rgb;
  for (const ClassEntry& c : classes) rgb.push_back(c.colour.value_or(cv::Vec3b(9, 9, 9)));
  return rgb;
}

// A written map is a palette PNG of the class colours whose indices read back
// as the class numbers (OpenCV itself decodes it to colours), 16-bit grey
// beyond 255 classes.
TEST_F(LabelMapTest, WrittenMapsArePalettePngsThatReadBackAsClassNumbers) {
  const auto classes = fiveClasses();
  cv::Mat numbers(7, 9, CV_32SC1);
  for (int y = 0; y < numbers.rows; ++y)
    for (int x = 0; x < numbers.cols; ++x) numbers.at<int>(y, x) = (x + 2 * y) % 6;
  const fs::path png = dir_ / "labels.png";
  writeLabelMapPng(png, numbers, coloursOf(classes));
  const cv::Mat shown = cv::imread(png.string(), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(shown.type(), CV_8UC3);
  EXPECT_EQ(shown.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 0));       // 0: no class, black
  EXPECT_EQ(shown.at<cv::Vec3b>(0, 5), cv::Vec3b(30, 30, 200));   // 5: car, as BGR
  EXPECT_EQ(shown.at<cv::Vec3b>(1, 0), cv::Vec3b(90, 120, 150));  // 2: building
  const cv::Mat back = readLabelMap(png, classes, {9, 7}, {9, 7});
  ASSERT_EQ(back.type(), CV_32SC1);
  EXPECT_EQ(cv::countNonZero(back != numbers), 0);
  // The palette's colours play no part: a list without colours reads it too.
  std::vector<ClassEntry> plain = classes;
  for (ClassEntry& c : plain) c.colour.reset();
  EXPECT_EQ(cv::countNonZero(readLabelMap(png, plain, {9, 7}, {9, 7}) != numbers), 0);
  expectError(
      [&] {
        readLabelMap(png, {classes.begin(), classes.begin() + 4}, {9, 7}, {9, 7});
      },
      "labels.png", "exceeds the 4 classes");

  std::vector<ClassEntry> many(300);
  for (std::size_t k = 0; k < many.size(); ++k)
    many[k].name = std::string("c").append(std::to_string(k));
  numbers.at<int>(3, 4) = 300;
  writeLabelMapPng(png, numbers, coloursOf(many));
  EXPECT_EQ(cv::imread(png.string(), cv::IMREAD_UNCHANGED).type(), CV_16UC1);
  EXPECT_EQ(cv::countNonZero(readLabelMap(png, many, {9, 7}, {9, 7}) != numbers), 0);

  // Only the final file remains: no temporary siblings.
  int files = 0;
  for (const auto& entry : fs::directory_iterator(dir_)) files += entry.is_regular_file();
  EXPECT_EQ(files, 1);

  expectError([&] { writeLabelMapPng(dir_ / "big.png", numbers, coloursOf(classes)); }, "big.png",
              "0..5");
  expectError([&] { writeLabelMapPng(dir_ / "no_such_dir" / "x.png", numbers, coloursOf(many)); },
              "x.png", "cannot write");
  const std::string bytes =
      encodeLabelMapPng(cv::Mat(3, 2, CV_32SC1, cv::Scalar(1)), coloursOf(classes));
  expectError(
      [&] {
        write("cut.png", bytes.substr(0, bytes.size() - 20));
        readLabelMap(dir_ / "cut.png", classes, {2, 3}, {2, 3});
      },
      "cut.png", "cannot decode");
}

TEST_F(LabelMapTest, ColourPngUsesThePalette) {
  const auto classes = fiveClasses();
  cv::Mat bgr(2, 3, CV_8UC3, cv::Scalar(0, 0, 0));
  bgr.at<cv::Vec3b>(0, 1) = {235, 185, 135};  // sky, stored blue first
  bgr.at<cv::Vec3b>(1, 2) = {30, 30, 200};    // car
  bgr.at<cv::Vec3b>(1, 0) = {50, 140, 60};    // grass
  const fs::path png = dir_ / "colour.png";
  ASSERT_TRUE(cv::imwrite(png.string(), bgr));
  const cv::Mat numbers = readLabelMap(png, classes, {3, 2}, {3, 2});
  EXPECT_EQ(numbers.at<int>(0, 0), 0);
  EXPECT_EQ(numbers.at<int>(0, 1), 1);
  EXPECT_EQ(numbers.at<int>(1, 2), 5);
  EXPECT_EQ(numbers.at<int>(1, 0), 3);

  // Transparent pixels are unlabelled whatever their colour.
  cv::Mat bgra;
  cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
  bgra.at<cv::Vec4b>(0, 1)[3] = 0;
  ASSERT_TRUE(cv::imwrite(png.string(), bgra));
  EXPECT_EQ(readLabelMap(png, classes, {3, 2}, {3, 2}).at<int>(0, 1), 0);

  bgr.at<cv::Vec3b>(1, 1) = {3, 2, 1};
  ASSERT_TRUE(cv::imwrite(png.string(), bgr));
  expectError(
      [&] {
        readLabelMap(png, classes, {3, 2}, {3, 2});
      },
      png, "colour (1, 2, 3) at pixel (1, 1)");
}

TEST_F(LabelMapTest, JsonShapesAreRasterisedInFileOrder) {
  const auto classes = fiveClasses();
  const fs::path json = write("a.json", R"({
    "version": "5.0", "flags": {}, "imagePath": "frame.png", "imageData": null,
    "imageWidth": 40, "imageHeight": 30,
    "shapes": [
      {"label": "grass", "points": [[0, 0], [39, 0], [0, 29]], "group_id": null},
      {"label": "road", "shape_type": "rectangle", "points": [[30, 20], [10, 10]]},
      {"label": "car", "shape_type": "polygon", "points": [[-1e9, 25], [1e9, 25], [1e9, 1e9], [-1e9, 1e9]]}
    ]})");
  const cv::Mat m = readLabelMap(json, classes, {40, 30}, {40, 30});
  ASSERT_EQ(m.size(), cv::Size(40, 30));
  EXPECT_EQ(m.at<int>(2, 2), 3);    // triangle
  EXPECT_EQ(m.at<int>(10, 10), 4);  // both rectangle corners are inside
  EXPECT_EQ(m.at<int>(20, 30), 4);
  EXPECT_EQ(m.at<int>(12, 12), 4);  // the rectangle covers the triangle drawn before it
  EXPECT_EQ(m.at<int>(9, 10), 3);   // just above the rectangle: triangle
  EXPECT_EQ(m.at<int>(21, 30), 0);  // just below it: beyond the diagonal
  EXPECT_EQ(m.at<int>(15, 31), 0);  // right of it, beyond the diagonal
  EXPECT_EQ(m.at<int>(24, 5), 3);   // triangle, just above the car band
  EXPECT_EQ(m.at<int>(25, 5), 5);   // the far-off polygon is clipped, not lost
  EXPECT_EQ(m.at<int>(29, 39), 5);
  EXPECT_EQ(cv::countNonZero(m.rowRange(25, 30) != 5), 0);

  // Circles are areas; lines and points are passed over with one warning,
  // and so, when asked, are labels the class list lacks.
  const fs::path wheel = write("wheel.json", R"({"imageWidth": 9, "imageHeight": 9, "shapes": [
      {"label": "car", "shape_type": "circle", "points": [[4, 4], [4, 6]]},
      {"label": "road", "shape_type": "line", "points": [[0, 0], [8, 8]]},
      {"label": "pole", "shape_type": "point", "points": [[1, 1]]},
      {"label": "pole", "shape_type": "polygon", "points": [[0, 0], [1, 0], [1, 1]]},
      {"label": "road", "shape_type": "linestrip", "points": [[0, 0], [8, 0], [8, 8]]}]})");
  std::ostringstream warnings;
  const cv::Mat w = readLabelMap(wheel, classes, {9, 9}, {9, 9}, {true, &warnings});
  EXPECT_EQ(cv::countNonZero(w == 5), 13);  // centres within 2 of (4, 4)
  EXPECT_EQ(w.at<int>(2, 4), 5);
  EXPECT_EQ(w.at<int>(3, 3), 5);
  EXPECT_EQ(w.at<int>(2, 3), 0);
  EXPECT_EQ(cv::countNonZero((w != 5) & (w != 0)), 0);
  EXPECT_EQ(warnings.str(),
            "Warning : '" + wheel.string() +
                "': skipped 3 shape(s) without an area (\"line\", "
                "\"point\", \"linestrip\")\nWarning : '" +
                wheel.string() +
                "': skipped 1 shape(s) of labels not in the class list (\"pole\")\n");
  expectError(
      [&] {
        readLabelMap(wheel, classes, {9, 9}, {9, 9});
      },
      "wheel.json", "label \"pole\", which is not in the class list");
}

TEST_F(LabelMapTest, FrameSizeMapsAreScaledNearestNeighbour) {
  const auto classes = fiveClasses();
  // Columns 0..11 carry classes 0 0 1 1 2 2 ... 5 5; rows are alike.
  cv::Mat frame(3, 12, CV_32SC1);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 12; ++x) frame.at<int>(y, x) = x / 2;
  const fs::path png = dir_ / "frame.png";
  writeLabelMapPng(png, frame, coloursOf(classes));
  const cv::Mat scaled = readLabelMap(png, classes, {12, 3}, {4, 1});
  ASSERT_EQ(scaled.size(), cv::Size(4, 1));
  // Each scaled pixel takes the source pixel under its centre, column 3x+1
  // (sampling at 3x would give 0 1 3 4).
  EXPECT_EQ(scaled.at<int>(0, 0), 0);
  EXPECT_EQ(scaled.at<int>(0, 1), 2);
  EXPECT_EQ(scaled.at<int>(0, 2), 3);
  EXPECT_EQ(scaled.at<int>(0, 3), 5);

  // A map already at the scaled size is used as it is.
  const fs::path small = dir_ / "small.png";
  writeLabelMapPng(small, scaled, coloursOf(classes));
  EXPECT_EQ(cv::countNonZero(readLabelMap(small, classes, {12, 3}, {4, 1}) != scaled), 0);

  const fs::path json = write("frame.json", R"({"imageWidth": 8, "imageHeight": 4, "shapes": [
      {"label": "sky", "shape_type": "rectangle", "points": [[4, 0], [7, 3]]}]})");
  const cv::Mat fromJson = readLabelMap(json, classes, {8, 4}, {4, 2});
  EXPECT_EQ(fromJson.at<int>(0, 1), 0);
  EXPECT_EQ(fromJson.at<int>(0, 2), 1);
  EXPECT_EQ(fromJson.at<int>(1, 3), 1);
}

TEST_F(LabelMapTest, BadMapsAreRefusedNamingTheFile) {
  const auto classes = fiveClasses();
  const cv::Size frame(8, 6), scaled(4, 3);
  const auto read = [&](const fs::path& p) { return readLabelMap(p, classes, frame, scaled); };

  const fs::path wrongSize = dir_ / "wrong_size.png";
  writeLabelMapPng(wrongSize, cv::Mat(5, 5, CV_32SC1, cv::Scalar(1)), coloursOf(classes));
  expectError([&] { read(wrongSize); }, wrongSize,
              "5x5, expected the frame size 8x6 or the scaled size 4x3");

  const fs::path tooLarge = dir_ / "too_large.png";
  cv::Mat numbers(3, 4, CV_32SC1, cv::Scalar(2));
  numbers.at<int>(2, 1) = 6;
  writeLabelMapPng(tooLarge, numbers, std::vector<cv::Vec3b>(6, cv::Vec3b(1, 2, 3)));
  expectError([&] { read(tooLarge); }, tooLarge, "class number 6 at pixel (1, 2)");

  expectError([&] { read(dir_ / "missing.png"); }, "missing.png", "cannot open");
  expectError([&] { read(write("text.png", "not a png at all, just text")); }, "text.png",
              "not a PNG");
  expectError([&] { read(write("map.bmp", "BM")); }, "map.bmp", "unknown label map kind");

  const auto json = [&](const std::string& name, const std::string& shapes,
                        const std::string& problem,
                        const std::string& size = R"("imageWidth": 4, "imageHeight": 3)") {
    const fs::path p = write(name, "{" + size + ", \"shapes\": [" + shapes + "]}");
    expectError([&] { read(p); }, p, problem);
  };
  json("unknown.json", R"({"label": "tree", "points": [[0,0],[1,0],[1,1]]})",
       "\"tree\", which is not in the class list");
  json("two_points.json", R"({"label": "sky", "points": [[0,0],[1,0]]})", "2 points; at least 3");
  json("rect3.json",
       R"({"label": "sky", "shape_type": "rectangle", "points": [[0,0],[1,0],[1,1]]})",
       "3 points instead of 2");
  json("inf.json", R"({"label": "sky", "points": [[0,0],[1e999,0],[1,1]]})", "1e999");
  json("string_coord.json", R"({"label": "sky", "points": [[0,"0"],[1,0],[1,1]]})",
       "not a pair of numbers");
  json("triple.json", R"({"label": "sky", "points": [[0,0,0],[1,0],[1,1]]})",
       "not a pair of numbers");
  json("label_type.json", R"({"label": 3, "points": [[0,0],[1,0],[1,1]]})", "no \"label\" string");
  json("ellipse.json", R"({"label": "sky", "shape_type": "ellipse", "points": [[0,0],[1,0]]})",
       "\"ellipse\"");
  json("circle.json", R"({"label": "sky", "shape_type": "circle", "points": [[0,0]]})",
       "circle with 1 points");
  json("shape_type.json", R"(7)", "shape 0 is not an object");
  std::string zigzag = R"({"label": "sky", "points": [)";
  for (int i = 0; i < 10'001; ++i) zigzag += (i > 0 ? ",[" : "[") + std::to_string(i % 4) + ",1]";
  json("zigzag.json", zigzag + "]}", "10001 points; at most 10000 are accepted");
  json("json_size.json", "", "annotation is for an image of 5x3",
       R"("imageWidth": 5, "imageHeight": 3)");
  // At FACTOR 1 the frame and scaled sizes are one size, named once.
  const fs::path wide = write("wide.json", R"({"imageWidth": 5, "imageHeight": 3, "shapes": []})");
  expectError(
      [&] {
        readLabelMap(wide, classes, {4, 3}, {4, 3});
      },
      wide, "annotation is for an image of 5x3, expected 4x3");
  try {
    readLabelMap(wide, classes, {4, 3}, {4, 3});
  } catch (const LabelMapError& e) {
    EXPECT_THAT(e.what(), Not(HasSubstr(" or ")));
  }
  json("no_height.json", "", "missing \"imageHeight\"", R"("imageWidth": 4)");
  json("float_width.json", "", "\"imageWidth\" is not an integer",
       R"("imageWidth": 4.5, "imageHeight": 3)");
  expectError([&] { read(write("malformed.json", R"({"imageWidth": 4, "shapes": [)")); },
              "malformed.json", "malformed JSON");
  expectError([&] { read(write("array.json", "[1, 2]")); }, "array.json", "not an object");
  expectError([&] { read(write("no_shapes.json", R"({"imageWidth": 4, "imageHeight": 3})")); },
              "no_shapes.json", "missing \"shapes\"");
}

}  // namespace
}  // namespace rovelin
