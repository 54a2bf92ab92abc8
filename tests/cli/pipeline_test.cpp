// SPDX-License-Identifier: Apache-2.0
// End to end: render the demo scene, train on some of its frames, annotate
// others with the real executables, and check the report and the outputs.
#include "labels/label_map.hpp"
#include "support/trained_demo_scene.hpp"

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include <gtest/gtest.h>

#include <regex>

namespace rovelin {
namespace {

using test_support::runTool;
using test_support::TempDir;
using test_support::withoutTime;
namespace fs = std::filesystem;

const std::string kRovelin = ROVELIN_EXE;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    result.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return result;
}

class Pipeline : public test_support::TrainedDemoScene {};

TEST_F(Pipeline, TrainedModelLabelsAnotherFrameWell) {
  const auto run = runTool(
      kRovelin, {"--no-gui", "--ground-truth", "labels_6.png", "demo.avi", "6", "1", "model.txt"},
      dir->path());
  ASSERT_EQ(run.status, 0) << run.err;
  std::smatch match;
  ASSERT_TRUE(std::regex_search(run.err, match, std::regex("Pixel accuracy: ([0-9.]+)")))
      << run.err;
  // Guessing the largest class would give about 0.4; a broken descriptor,
  // distance or bandwidth gives far less than this.
  EXPECT_GT(std::stod(match[1]), 0.85) << run.err;
  EXPECT_NE(run.err.find("IoU sky: "), std::string::npos);
}

TEST_F(Pipeline, ReportJsonLabelMapAndOverlayAgree) {
  const auto run = runTool(kRovelin,
                           {"--no-gui", "--json", "run.json", "--label-map", "labels.png",
                            "--overlay", "overlay.png", "demo.avi", "6", "1", "model.txt"},
                           dir->path());
  ASSERT_EQ(run.status, 0) << run.err;
  const auto out = lines(run.out);
  ASSERT_GE(out.size(), 4u);
  EXPECT_EQ(out[0].rfind("Number of segments = ", 0), 0u);
  EXPECT_EQ(out[1], "");
  EXPECT_EQ(out.back(), "");
  const std::vector<std::string> report(out.begin() + 2, out.end() - 1);

  std::ifstream in(dir->path() / "run.json");
  const nlohmann::json doc = nlohmann::json::parse(in);
  ASSERT_EQ(doc["regions"].size(), report.size());
  EXPECT_EQ(doc["frame"], 6);
  EXPECT_EQ(doc["frame_size"]["width"], 320);
  const std::regex line("([0-9]+)   ([^ ]+)");
  long long pixels = 0;
  for (std::size_t i = 0; i < report.size(); ++i) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(report[i], match, line)) << "'" << report[i] << "'";
    const auto& region = doc["regions"][i];
    EXPECT_EQ(std::stoi(match[1]), region["label"].get<int>());
    EXPECT_EQ(match[2].str(), region["class"].get<std::string>());
    const auto& probs = region["probabilities"];
    ASSERT_EQ(probs.size(), 5u);
    EXPECT_GE(probs[0]["probability"].get<double>(), probs[1]["probability"].get<double>());
    pixels += region["pixel_count"].get<long long>();
  }
  EXPECT_EQ(pixels, 320 * 240);

  const auto classes = readClassList(dir->path() / "classes.txt");
  const cv::Mat labels = readLabelMap(dir->path() / "labels.png", classes, {320, 240}, {320, 240});
  for (const auto& region : doc["regions"]) {
    const auto& box = region["bounding_box"];
    const cv::Mat inBox = labels(cv::Rect(box["x"], box["y"], box["width"], box["height"]));
    EXPECT_GT(cv::countNonZero(inBox == region["label"].get<int>() + 1), 0);
  }
  const cv::Mat overlay = cv::imread((dir->path() / "overlay.png").string());
  EXPECT_EQ(overlay.size(), cv::Size(320, 240));
  EXPECT_EQ(overlay.type(), CV_8UC3);
  for (const auto& entry : fs::directory_iterator(dir->path())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
  }
}

// The run's label map is ground truth and training data as it stands: scored
// against it the run is perfect, and training from it gives the samples that
// the same class numbers in a plain grey PNG give.
TEST_F(Pipeline, ALabelMapReadsBackAsGroundTruthAndTrainingData) {
  const fs::path work = folder("read_back");
  const auto run = runTool(kRovelin,
                           {"--no-gui", "--label-map", "run_labels.png", "--classes", "classes.txt",
                            "demo.avi", "6", "1", "model.txt"},
                           work);
  ASSERT_EQ(run.status, 0) << run.err;
  const auto scored = runTool(kRovelin,
                              {"--no-gui", "--ground-truth", "run_labels.png", "--classes",
                               "classes.txt", "demo.avi", "6", "1", "model.txt"},
                              work);
  ASSERT_EQ(scored.status, 0) << scored.err;
  EXPECT_NE(scored.err.find("Pixel accuracy: 1.0000"), std::string::npos) << scored.err;
  const std::regex iou("IoU ([a-z]+): ([0-9.]+)");
  int present = 0;
  for (std::sregex_iterator it(scored.err.begin(), scored.err.end(), iou), end; it != end; ++it) {
    EXPECT_EQ((*it)[2].str(), "1.0000") << (*it)[1];
    ++present;
  }
  EXPECT_GE(present, 3) << scored.err;

  const auto classes = readClassList(work / "classes.txt");
  const cv::Mat numbers = readLabelMap(work / "run_labels.png", classes, {320, 240}, {320, 240});
  cv::Mat grey;
  numbers.convertTo(grey, CV_8U);
  ASSERT_TRUE(cv::imwrite((work / "grey.png").string(), grey));
  fs::copy_file(dir->path() / "labels_0.png", work / "labels_0.png");
  for (const auto& [map, model] : {std::pair{"run_labels.png", "a.txt"}, {"grey.png", "b.txt"}}) {
    const auto trained = runTool(ROVELIN_TRAIN_EXE,
                                 {"--classes", "classes.txt", "-o", model, "demo.avi", "1",
                                  "0:labels_0.png", std::string("6:") + map},
                                 work);
    ASSERT_EQ(trained.status, 0) << trained.err;
  }
  const std::string samples = test_support::readFile(work / "a.txt");
  EXPECT_FALSE(samples.empty());
  EXPECT_EQ(samples, test_support::readFile(work / "b.txt"));
}

TEST_F(Pipeline, BatchEqualsFramesRunOneByOne) {
  const auto batch = runTool(kRovelin,
                             {"--no-gui", "--frames", "2,9", "--json", "batch_{frame}.json",
                              "demo.avi", "0", "1", "model.txt"},
                             dir->path());
  ASSERT_EQ(batch.status, 0) << batch.err;
  std::string single;
  for (const std::string frame : {"2", "9"}) {
    const auto run = runTool(
        kRovelin,
        {"--no-gui", "--json", "single_" + frame + ".json", "demo.avi", frame, "1", "model.txt"},
        dir->path());
    ASSERT_EQ(run.status, 0) << run.err;
    single += run.out;
    EXPECT_EQ(test_support::readFile(dir->path() / ("batch_" + frame + ".json")),
              test_support::readFile(dir->path() / ("single_" + frame + ".json")));
  }
  EXPECT_EQ(withoutTime(batch.out), withoutTime(single));

  // Several frames into one file name would overwrite it: refused up front.
  const auto clash = runTool(
      kRovelin,
      {"--no-gui", "--frames", "2,9", "--json", "one.json", "demo.avi", "0", "1", "model.txt"},
      dir->path());
  EXPECT_EQ(clash.status, 2);
  EXPECT_FALSE(fs::exists(dir->path() / "one.json"));
}

TEST_F(Pipeline, ACachedModelPrintsExactlyWhatAFreshOnePrints) {
  const auto fresh =
      runTool(kRovelin, {"--no-gui", "--no-cache", "demo.avi", "5", "1", "model.txt"}, dir->path());
  ASSERT_EQ(fresh.status, 0) << fresh.err;
  const auto first = runTool(
      kRovelin, {"--no-gui", "--cache", "m.cache", "demo.avi", "5", "1", "model.txt"}, dir->path());
  ASSERT_TRUE(fs::exists(dir->path() / "m.cache"));
  const auto second = runTool(
      kRovelin, {"--no-gui", "--cache", "m.cache", "demo.avi", "5", "1", "model.txt"}, dir->path());
  EXPECT_EQ(withoutTime(first.out), withoutTime(fresh.out));
  EXPECT_EQ(withoutTime(second.out), withoutTime(fresh.out));
  EXPECT_EQ(second.err, fresh.err);
}

TEST_F(Pipeline, TimingsListEveryStage) {
  const auto run = runTool(
      kRovelin, {"--no-gui", "--timings", "--threads", "2", "demo.avi", "3", "1", "model.txt"},
      dir->path());
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* stage : {"model preparation", "grab", "segmentation", "features and regions",
                            "classification", "labelling", "report"}) {
    EXPECT_NE(run.err.find(stage), std::string::npos) << stage;
  }
  EXPECT_EQ(run.out.find("ms"), std::string::npos);  // nothing of it on standard output
}

TEST(PipelineEdge, OneRegionGivesOneReportLine) {
  TempDir dir;
  test_support::writeVideo(dir / "flat.avi", 2, cv::Size(40, 30),
                           [](int) { return cv::Mat(30, 40, CV_8UC3, cv::Scalar(90, 90, 90)); });
  test_support::writeModelFile(dir / "model.txt", {"car", "road"});
  const auto run = runTool(kRovelin, {"--no-gui", "flat.avi", "0", "1", "model.txt"}, dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  const auto out = lines(run.out);
  ASSERT_EQ(out.size(), 4u) << run.out;
  EXPECT_EQ(out[0].rfind("Number of segments = 1 ;  Time taken = ", 0), 0u);
  EXPECT_EQ(out[1], "");
  EXPECT_TRUE(std::regex_match(out[2], std::regex("[01]   (car|road)"))) << out[2];
  EXPECT_EQ(out[3], "");
  EXPECT_EQ(run.out.back(), '\n');
}

}  // namespace
}  // namespace rovelin
