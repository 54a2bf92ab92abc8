// SPDX-License-Identifier: Apache-2.0
#include "tools/training_builder.hpp"
#include "classifier/region_classifier.hpp"
#include "support/tool_runner.hpp"
#include "tools/demo_scene.hpp"

#include <opencv2/imgcodecs.hpp>

#include <gtest/gtest.h>

#include <sstream>

namespace rovelin {
namespace {

using test_support::runTool;
using test_support::TempDir;
namespace fs = std::filesystem;

const std::string kTrain = ROVELIN_TRAIN_EXE;

TEST(TrainingBuilder, PureClassNeedsTheShareOfLabelledPixels) {
  // histogram[0] counts unlabelled pixels, which never count for or against.
  EXPECT_EQ(pureClass({100, 9, 1}, 0.9), 1);
  EXPECT_EQ(pureClass({0, 8, 2}, 0.9), 0);
  EXPECT_EQ(pureClass({0, 8, 2}, 0.8), 1);
  EXPECT_EQ(pureClass({0, 0, 5, 5}, 0.5), 2);  // a tie goes to the lower class
  EXPECT_EQ(pureClass({7, 0, 0}, 0.1), 0);     // nothing labelled
  EXPECT_EQ(pureClass({0, 0, 0, 4}, 1.0), 3);
}

TEST(TrainingBuilder, SubsamplingIsEvenAndDeterministic) {
  EXPECT_EQ(evenSubsample(10, 4), (std::vector<int>{0, 2, 5, 7}));
  EXPECT_EQ(evenSubsample(3, 5), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(evenSubsample(4, 0), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(evenSubsample(1000, 3), evenSubsample(1000, 3));
}

TEST(TrainingBuilder, EstimatedContextIsPositiveAndUniformForAnEvenScene) {
  cv::Mat labels = (cv::Mat_<int>(2, 3) << 1, 1, 2,  //
                    0, 2, 2);
  Eigen::MatrixXd adjacency = Eigen::MatrixXd::Zero(3, 3);
  countAdjacency(labels, adjacency);
  // Horizontal pairs: (1,1), (1,2), (0,2) skipped, (2,2); vertical: (1,0) skipped, (1,2), (2,2).
  EXPECT_EQ(adjacency(1, 1), 2.0);
  EXPECT_EQ(adjacency(1, 2), 2.0);
  EXPECT_EQ(adjacency(2, 1), 2.0);
  EXPECT_EQ(adjacency(2, 2), 4.0);
  EXPECT_EQ(adjacency(0, 1) + adjacency(0, 2), 0.0);

  const Eigen::MatrixXd context = estimateContext(adjacency.bottomRightCorner(2, 2));
  EXPECT_DOUBLE_EQ(context(0, 0), 2.0 * 3.0 / 6.0);  // K (a+1) / (column + K)
  EXPECT_DOUBLE_EQ(context(1, 1), 2.0 * 5.0 / 8.0);
  EXPECT_TRUE((context.array() > 0).all());
  const Eigen::MatrixXd even = estimateContext(Eigen::MatrixXd::Constant(4, 4, 10.0));
  EXPECT_TRUE(even.isApprox(Eigen::MatrixXd::Ones(4, 4)));
}

TrainingSet smallSet(int perClass) {
  TrainingSet set;
  set.classes = {{"sky", perClass, perClass}, {"road", perClass, perClass}};
  set.context = Eigen::MatrixXd::Identity(2, 2);
  for (int c = 0; c < 2; ++c) {
    std::vector<CovarianceDescriptor> samples;
    for (int s = 0; s < perClass; ++s) {
      Eigen::MatrixXd x = Eigen::MatrixXd::Random(10, 40);
      x.row(0) *= 1.0 + c;
      samples.emplace_back(x);
    }
    set.samples.push_back(samples);
  }
  return set;
}

TEST(TrainingBuilder, WrittenFileLoadsAndReproducesTheDescriptors) {
  const TrainingSet set = smallSet(3);
  std::istringstream text(formatTrainingFile(set));
  const RegionClassifier model = RegionClassifier::load(text, "written");
  ASSERT_EQ(model.classCount, 2);
  EXPECT_EQ(model.sampleCount, 6);
  EXPECT_EQ(model.trainingClass(1).name, "road");
  for (int c = 0; c < 2; ++c) {
    for (int s = 0; s < 3; ++s) {
      const auto& original = set.samples[static_cast<std::size_t>(c)][static_cast<std::size_t>(s)];
      const auto& loaded = model.trainingClass(c).samples[static_cast<std::size_t>(s)];
      EXPECT_EQ((original.covariance - loaded.covariance).cwiseAbs().maxCoeff(), 0.0);
    }
  }
}

TEST(TrainingBuilder, RefusesModelsTheLoaderWouldReject) {
  TrainingSet tooFew = smallSet(3);
  tooFew.samples[1].resize(1);
  try {
    formatTrainingFile(tooFew);
    FAIL() << "a class with one sample was accepted";
  } catch (const TrainingBuildError& e) {
    EXPECT_NE(std::string(e.what()).find("road (1)"), std::string::npos) << e.what();
  }
  TrainingSet one = smallSet(3);
  one.classes.resize(1);
  one.samples.resize(1);
  EXPECT_THROW(formatTrainingFile(one), TrainingBuildError);
}

TEST(TrainingBuilder, CommandLineRefusalsLeaveNoModelFile) {
  TempDir dir;
  writeDemoScene(dir.path(), DemoSceneOptions{96, 64, 3});
  std::ofstream(dir / "one.txt") << "sky\n";
  std::ofstream(dir / "bad.json") << "{\"shapes\": [";
  std::ofstream(dir / "unknown.json")
      << R"({"imageWidth": 96, "imageHeight": 64, "shapes": [{"label": "moon", "points": [[0,0],[5,0],[5,5]]}]})";
  cv::imwrite((dir / "small.png").string(), cv::Mat(10, 10, CV_8UC1, cv::Scalar(1)));

  const std::vector<std::vector<std::string>> cases = {
      {"--classes", "classes.txt", "demo.avi", "1", "0:labels_0.png"},                 // no -o
      {"--classes", "classes.txt", "-o", "m.txt", "demo.avi", "1", "0"},               // no labels
      {"--classes", "classes.txt", "-o", "m.txt", "demo.avi", "0", "0:labels_0.png"},  // factor
      {"--classes", "classes.txt", "--purity", "1.5", "-o", "m.txt", "demo.avi", "1",
       "0:labels_0.png"},
      {"--classes", "one.txt", "-o", "m.txt", "demo.avi", "1", "0:labels_0.png"},   // 1 class
      {"--classes", "classes.txt", "-o", "m.txt", "demo.avi", "1", "0:small.png"},  // size
      {"--classes", "classes.txt", "-o", "m.txt", "demo.avi", "1", "0:bad.json"},
      {"--classes", "classes.txt", "-o", "m.txt", "demo.avi", "1", "0:unknown.json"},
      {"--classes", "classes.txt", "-o", "m.txt", "demo.avi", "1", "7:labels_0.png"},  // frame
      {"--classes", "classes.txt", "-o", "m.txt", "missing.avi", "1", "0:labels_0.png"},
      // One small frame cannot give every class two pure regions.
      {"--classes", "classes.txt", "-o", "m.txt", "demo.avi", "1", "0:labels_0.png"},
  };
  for (const auto& args : cases) {
    const auto run = runTool(kTrain, args, dir.path());
    EXPECT_TRUE(run.status == 1 || run.status == 2) << run.status << " " << run.err;
    EXPECT_EQ(run.err.rfind("Error : ", 0) == 0 || run.err.find("\nError : ") != std::string::npos,
              true)
        << run.err;
    EXPECT_FALSE(fs::exists(dir / "m.txt")) << run.err;
  }
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
  }

  // A context matrix for another class count is refused, not cut to fit.
  {
    std::ofstream context(dir / "context.txt");
    for (int i = 0; i < 36; ++i) context << "1 ";
  }
  const auto run = runTool(kTrain,
                           {"--classes", "classes.txt", "--context", "context.txt", "-o", "m.txt",
                            "demo.avi", "1", "0:labels_0.png"},
                           dir.path());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("Error : context file \"context.txt\" holds more than its 25 values (5 "
                         "classes)"),
            std::string::npos)
      << run.err;
  EXPECT_FALSE(fs::exists(dir / "m.txt"));

  // The settings go beside the model, so standard output is no place for it.
  const auto toStdout =
      runTool(kTrain, {"--classes", "classes.txt", "-o", "-", "demo.avi", "1", "0:labels_0.png"},
              dir.path());
  EXPECT_EQ(toStdout.status, 1);
  EXPECT_EQ(toStdout.out, "");
  EXPECT_NE(toStdout.err.find("Error : -o \"-\" is not a file; the model's settings go beside it!"),
            std::string::npos)
      << toStdout.err;
  EXPECT_FALSE(fs::exists(dir / "-.settings.json"));
}

}  // namespace
}  // namespace rovelin
