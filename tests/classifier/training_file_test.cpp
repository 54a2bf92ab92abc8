// SPDX-License-Identifier: Apache-2.0
#include "classifier/training_file.hpp"
#include "classifier/region_classifier.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace rovelin {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// N = 4, d = 2, K = 2, two samples per class: 27 tokens.
const char* const kExample = "4 2 2 2 sky 2 road 1 0.5 0.5 1 1 4 0 9 1 4 1 5 2 1 0 1 2 2 0 3";

RegionClassifier loadText(const std::string& text, int expectedDimension = 2) {
  std::istringstream in(text);
  return RegionClassifier::load(in, "train.txt", expectedDimension);
}

std::string loadError(const std::string& text, int expectedDimension = 2) {
  try {
    loadText(text, expectedDimension);
  } catch (const TrainingDataError& e) {
    return e.what();
  }
  return "(loaded)";
}

void expectSameModel(const RegionClassifier& a, const RegionClassifier& b) {
  ASSERT_EQ(a.classCount, b.classCount);
  EXPECT_EQ(a.context, b.context);
  for (int k = 0; k < a.classCount; ++k) {
    EXPECT_EQ(a.trainingClass(k).name, b.trainingClass(k).name);
    EXPECT_EQ(a.trainingClass(k).sampleCount, b.trainingClass(k).sampleCount);
    EXPECT_EQ(a.trainingClass(k).distances, b.trainingClass(k).distances);
    EXPECT_EQ(a.trainingClass(k).bandwidth, b.trainingClass(k).bandwidth);
  }
}

TEST(TrainingFile, LoadsTheTokenStream) {
  RegionClassifier m = loadText(kExample);
  EXPECT_EQ(m.sampleCount, 4);
  EXPECT_EQ(m.dimension, 2);
  EXPECT_EQ(m.classCount, 2);
  EXPECT_EQ(m.context, (Eigen::Matrix2d() << 1, 0.5, 0.5, 1).finished());
  EXPECT_EQ(m.trainingClass(0).sampleCount, 2);
  EXPECT_EQ(m.trainingClass(0).samples[1].covariance, (Eigen::Matrix2d() << 4, 1, 1, 5).finished());
  const TrainingClass& road = m.trainingClass(1);
  EXPECT_EQ(road.name, "road");
  EXPECT_EQ(road.sampleCount, 2);
  EXPECT_EQ(road.dimension, 2);
  EXPECT_EQ(road.samples[1].covariance, (Eigen::Matrix2d() << 2, 0, 0, 3).finished());
  // Two samples: the bandwidth is 2·D/d.
  EXPECT_NEAR(road.bandwidth, 2.0 * road.distances(0, 1) / 2.0, 1e-12 * road.bandwidth);
  EXPECT_GT(road.bandwidth, 0.0);

  // Line structure carries no meaning; Windows line ends and a byte-order mark are accepted.
  std::string perLine = kExample;
  std::replace(perLine.begin(), perLine.end(), ' ', '\n');
  expectSameModel(m, loadText(perLine));
  std::string crlf =
      "\xEF\xBB\xBF"
      "4 2 2\r\n2 sky\r\n2 road\r\n1 0.5\t0.5 1\r\n"
      "1 4 0 9\r\n1 4 1 5\r\n2 1 0 1\r\n2 2 0 3\r\n";
  expectSameModel(m, loadText(crlf));
  // Tokens after the last sample are not read.
  expectSameModel(m, loadText(std::string(kExample) + " trailing ### 17"));

  // Copies share the model's arrays.
  RegionClassifier copy = m;
  EXPECT_EQ(copy.classes.get(), m.classes.get());
}

TEST(TrainingFile, SamplesInAnyClassOrderAndSpareCapacity) {
  // K = 3; class 0 declares room for 4 but has 2 samples; samples interleaved.
  RegionClassifier m = loadText(
      "6 2 3  4 a 2 b 2 c  1 2 3 4 5 6 7 8 9 "
      "3 1 0 1  1 2 0 2  2 3 0 3  3 4 0 5  1 6 0 7  2 8 1 8");
  EXPECT_EQ(m.context(0, 2), 3.0);
  EXPECT_EQ(m.context(2, 0), 7.0);
  EXPECT_EQ(m.sampleCount, 6);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(m.trainingClass(k).sampleCount, 2);
  EXPECT_EQ(m.trainingClass(0).samples[0].covariance(0, 0), 2.0);
  EXPECT_EQ(m.trainingClass(0).samples[1].covariance(0, 0), 6.0);
  EXPECT_EQ(m.trainingClass(2).samples[0].covariance(0, 0), 1.0);
  EXPECT_EQ(m.trainingClass(2).samples[1].covariance(1, 1), 5.0);
}

TEST(TrainingFile, RejectsMalformedFilesNamingTheProblem) {
  const std::string header = "4 2 2 2 sky 2 road 1 0.5 0.5 1 ";
  // A token that does not parse: where it is and what was expected.
  EXPECT_THAT(loadError("4 2 2 2 sky 2 road 1 0.5 0.5 abc"),
              AllOf(StartsWith("train.txt: "), HasSubstr("line 1, token 11"),
                    HasSubstr("context entry (2, 2)"), HasSubstr("\"abc\"")));
  EXPECT_THAT(loadError(header + "1 4 0 9 1.5 4 1 5 2 1 0 1 2 2 0 3"),
              AllOf(HasSubstr("class number of sample 2"), HasSubstr("an integer")));
  EXPECT_THAT(loadError(header + "1 4 0 9 1 4 1 5 2 1 0x1 1 2 2 0 3"),
              HasSubstr("value 2 of sample 3"));
  // Early end of file.
  EXPECT_THAT(loadError(header + "1 4 0 9\n1 4 1 5\n2 1 0 1\n2 2 0"),
              AllOf(HasSubstr("unexpected end of file at line 4"), HasSubstr("token 27"),
                    HasSubstr("value 3 of sample 4")));
  EXPECT_THAT(loadError(""), HasSubstr("expected the number of samples N"));
  // Counts.
  EXPECT_THAT(loadError("0 2 2"), HasSubstr("number of samples N = 0"));
  EXPECT_THAT(loadError("2000000000 2 2"), HasSubstr("outside 1 .. 10000000"));
  EXPECT_THAT(loadError("4 0 2"), HasSubstr("matrix order d = 0"));
  EXPECT_THAT(loadError("4 3 2"),
              AllOf(HasSubstr("d = 3"), HasSubstr("does not match the 2 features")));
  EXPECT_THAT(loadError(kExample, 10), HasSubstr("does not match the 10 features"));
  EXPECT_THAT(loadError("4 2 1 4 sky"), HasSubstr("number of classes K = 1"));
  EXPECT_THAT(loadError("4 2 3"), HasSubstr("3 classes need at least two samples each"));
  EXPECT_THAT(loadError("4 2 2 -1 sky"), HasSubstr("class 1 declares a negative sample count"));
  // Samples.
  EXPECT_THAT(loadError(header + "1 4 0 9\n3 4 1 5 2 1 0 1 2 2 0 3"),
              AllOf(HasSubstr("sample 2 (line 2)"), HasSubstr("class number 3 is outside 1 .. 2")));
  EXPECT_THAT(loadError("4 2 2 1 sky 3 road 1 0.5 0.5 1 2 1 0 1 1 4 0 9 1 4 1 5 2 2 0 3"),
              AllOf(HasSubstr("sample 3"), HasSubstr("class 1 'sky' has more samples than the 1")));
  EXPECT_THAT(loadError("4 2 2 3 sky 3 road 1 0.5 0.5 1 1 4 0 9 1 4 1 5 1 1 0 1 2 2 0 3"),
              HasSubstr("class 2 'road' has 1 sample; every class needs at least two"));
  EXPECT_THAT(loadError(header + "1 4 0 nan 1 4 1 5 2 1 0 1 2 2 0 3"),
              AllOf(HasSubstr("value 3 of sample 1"), HasSubstr("not a finite number")));
  EXPECT_THAT(loadError(header + "1 4 0 1e999 1 4 1 5 2 1 0 1 2 2 0 3"),
              HasSubstr("value 3 of sample 1"));
  EXPECT_THAT(loadError("4 2 2 2 sky 2 road 1 inf 0.5 1"),
              HasSubstr("context entry (1, 2) is not a finite"));
  // [[1, 2], [2, 1]] has eigenvalues −1 and 3; [[1, 1], [1, 1]] is singular.
  EXPECT_THAT(loadError("4 2 2 2 sky 2 road\n1 0.5 0.5 1\n1 4 0 9\r\n1 1 2 1\n2 1 0 1 2 2 0 3"),
              AllOf(HasSubstr("sample 2 (line 4)"), HasSubstr("not a usable covariance matrix")));
  EXPECT_THAT(loadError("4 2 2 2 sky 2 road\n1 0.5 0.5 1\n1 4 0 9\n1 4 1 5\n2 1 0 1\n2 1 1 1\n"),
              AllOf(HasSubstr("sample 4 (line 6)"), HasSubstr("not positive definite")));
  EXPECT_THAT(loadError(header + "1 4 0 9 1 4 0 9 2 1 0 1 2 2 0 3"),
              HasSubstr("class 1 'sky': no kernel bandwidth can be chosen"));
  EXPECT_THAT(loadError("4 2 2 2 " + std::string(300, 'x')),
              HasSubstr("longer than 256 characters"));
}

TEST(TrainingFile, NumberSyntaxAndWriterRoundTrip) {
  // A leading '+' and exponents are accepted; nothing else beyond decimal numbers.
  expectSameModel(loadText(kExample),
                  loadText("+4 2 2 +2 sky 2 road 1E0 5e-1 +0.5 1 1 4 0 9 1 4 1 5 2 1 0 1 2 2 0 3"));
  EXPECT_THAT(loadError("++4 2 2"), HasSubstr("found \"++4\""));
  EXPECT_THAT(loadError("+-4 2 2"), HasSubstr("found \"+-4\""));
  EXPECT_THAT(loadError("4 2 2 2 sky 2 road 1 0x1p-1 0.5 1"), HasSubstr("found \"0x1p-1\""));
  EXPECT_THAT(loadError("4 2 2 2 sky 2 road 1 +Infinity 0.5 1"), HasSubstr("not a finite number"));
  EXPECT_THAT(loadError("4 2 2 2 sky 2 road 1 -nan(1) 0.5 1"), HasSubstr("not a finite number"));
  EXPECT_THAT(loadError("4 2 2 2 sky 2 road 1 infx 0.5 1"), HasSubstr("(a real number)"));

  std::istringstream in(kExample);
  const TrainingData data = readTrainingData(in, "train.txt", 2);
  const std::string text = formatTrainingData(data);
  EXPECT_EQ(text, "4\n2\n2\n2 sky\n2 road\n1 0.5\n0.5 1\n1 4 0 9\n1 4 1 5\n2 1 0 1\n2 2 0 3\n");
  std::istringstream again(text);
  EXPECT_EQ(formatTrainingData(readTrainingData(again, "again.txt", 2)), text);
}

TEST(TrainingFile, OpensFilesByPath) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("rovelin-cls-" +
                    std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "train.txt").string();
  std::ofstream(path) << kExample << "\n";
  RegionClassifier m(path, 2);
  EXPECT_EQ(m.fileName, path);
  expectSameModel(m, loadText(kExample));

  const std::string missing = (dir / "missing.txt").string();
  try {
    RegionClassifier bad(missing);
    ADD_FAILURE() << "a missing file loaded";
  } catch (const TrainingFileUnreadable& e) {
    EXPECT_THAT(e.what(), AllOf(HasSubstr(missing), HasSubstr("cannot be opened")));
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace rovelin
