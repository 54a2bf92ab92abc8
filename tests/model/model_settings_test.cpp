// SPDX-License-Identifier: Apache-2.0
// The settings file beside a model: its name, its round trip, and the
// values and texts it refuses.
#include "model/model_settings.hpp"

#include "model/model_loading.hpp"
#include "support/tool_runner.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace rovelin {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

TEST(ModelSettings, RoundTripNamesAndRefusals) {
  EXPECT_EQ(settingsPathFor("dir/model.txt"), "dir/model.txt.settings.json");
  EXPECT_EQ(settingsPathFor("cars.v1"), "cars.v1.settings.json");
  EXPECT_EQ(settingsPathFor("model"), "model.settings.json");
  EXPECT_EQ(legacySettingsPathFor("dir/model.txt"), "dir/model.settings.json");

  ModelSettings settings;
  settings.descriptor = DescriptorKind::Embedding;
  settings.segmentation = SegmentationParams{0.8f, 200.0f, 25};
  settings.vehicleRule = false;
  settings.classes = {{"sky", cv::Vec3b(135, 185, 235)}, {"road", std::nullopt}};
  settings.video = "street.avi";
  settings.model = modelFingerprint("5 10 2");
  settings.factor = 0.5;
  settings.frames = {{0, "labels_0.png"}, {40, "labels_40.json"}};
  settings.crossValidatedAccuracy = 0.9625;
  // No tolerance: the file holds no such field, as before it existed.
  EXPECT_THAT(formatSettings(settings), Not(HasSubstr("density_tolerance")));
  EXPECT_EQ(parseSettings(formatSettings(settings), "m.settings.json").densityTolerance, 0.0);
  settings.densityTolerance = 1e-12;
  const std::string text = formatSettings(settings);
  EXPECT_THAT(text, HasSubstr("\"sigma\": 0.8,"));
  EXPECT_THAT(text, HasSubstr("\"density_tolerance\": 1e-12"));
  const ModelSettings back = parseSettings(text, "m.settings.json");
  EXPECT_EQ(back.descriptor, DescriptorKind::Embedding);
  EXPECT_EQ(back.segmentation, settings.segmentation);
  EXPECT_FALSE(back.vehicleRule);
  ASSERT_EQ(back.classes.size(), 2u);
  EXPECT_EQ(back.classes[0].name, "sky");
  EXPECT_EQ(back.classes[0].colour, cv::Vec3b(135, 185, 235));
  EXPECT_FALSE(back.classes[1].colour.has_value());
  EXPECT_EQ(back.video, "street.avi");
  EXPECT_EQ(back.model, settings.model);
  EXPECT_EQ(back.model.size(), 16u);
  EXPECT_EQ(back.frames.size(), 2u);
  EXPECT_EQ(back.frames[1].labels, "labels_40.json");
  EXPECT_EQ(back.crossValidatedAccuracy, 0.9625);
  EXPECT_EQ(back.densityTolerance, 1e-12);

  const auto error = [](const std::string& damaged) {
    try {
      parseSettings(damaged, "m.settings.json");
    } catch (const SettingsError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(error("{\"descriptor\": \"covariance\""),
            "settings file m.settings.json is damaged: it is not JSON");
  EXPECT_THAT(error(R"({"descriptor": "mean", "segmentation": {}, "vehicle_rule": true})"),
              HasSubstr("\"descriptor\" must be \"covariance\" or \"embedding\""));
  EXPECT_THAT(
      error(R"({"descriptor": "covariance", "segmentation": {"sigma": 1, "k": -5, "min_size": 9},
                        "vehicle_rule": true})"),
      HasSubstr("k must be a finite number of at least 0, not -5"));
  EXPECT_THAT(
      error(R"({"descriptor": "covariance", "segmentation": {"sigma": 1, "k": 5, "min_size": 0},
                        "vehicle_rule": true})"),
      HasSubstr("min_size 0 is out of range"));
  EXPECT_THAT(
      error(R"({"descriptor": "covariance", "segmentation": {"sigma": 1, "k": 5, "min_size": 9}})"),
      HasSubstr("\"vehicle_rule\" is missing"));
  for (const char* tolerance : {"-1e-12", "0.5", "\"1e-12\"", "null"}) {
    EXPECT_EQ(
        error(std::string(R"({"descriptor": "embedding", "segmentation": {"sigma": 1, "k": 5,
                          "min_size": 9}, "vehicle_rule": true, "density_tolerance": )") +
              tolerance + "}"),
        "settings file m.settings.json is damaged: \"density_tolerance\" must be a number from 0 "
        "to 0.001")
        << tolerance;
  }

  // Command-line values: refused as the file's are.
  SegmentationParams params;
  bool known = false;
  EXPECT_EQ(parseSegmentationOption("--sigma", "-1", params, known),
            "--sigma: sigma must be a number from 0 to 100, not -1");
  EXPECT_EQ(parseSegmentationOption("--k", "nan", params, known),
            "--k: k must be a finite number of at least 0, not nan");
  EXPECT_EQ(parseSegmentationOption("--k", "1e99", params, known),
            "--k: k must be a finite number of at least 0, not inf");
  EXPECT_EQ(parseSegmentationOption("--min-size", "0", params, known),
            "--min-size takes a whole number of at least 1, not '0'");
  EXPECT_EQ(parseSegmentationOption("--sigma", "0.5x", params, known),
            "--sigma takes a number, not '0.5x'");
  EXPECT_EQ(params, SegmentationParams{});
  EXPECT_EQ(parseSegmentationOption("--min-size", "25", params, known), "");
  EXPECT_TRUE(known);
  EXPECT_EQ(params.minSize, 25);
}

// The settings are checked against the bytes the run loaded: a retrain that
// replaces the model and its settings after the load cannot pair the old
// samples with the new segmentation.
TEST(ModelSettings, AreCheckedAgainstTheBytesLoadedNotTheFileAsItIsNow) {
  test_support::TempDir dir;
  const fs::path model = dir / "model.txt";
  test_support::writeModelFile(model, {"sky", "road"}, 3, 10, 7);
  std::ostringstream notes;
  std::string loaded;
  const RegionClassifier classifier =
      loadModel(ModelSource{model.string(), "", false}, notes, nullptr, &loaded);
  EXPECT_EQ(loaded, modelFingerprint(test_support::readFile(model)));

  test_support::writeModelFile(model, {"sky", "road"}, 3, 10, 8);  // the retrain
  ModelSettings retrained;
  retrained.segmentation = SegmentationParams{0.5f, 200.0f, 25};
  retrained.model = modelFingerprint(test_support::readFile(model));
  retrained.classes = {{"sky", std::nullopt}, {"road", std::nullopt}};
  std::ofstream(settingsPathFor(model)) << formatSettings(retrained);
  EXPECT_THROW(resolveRunSettings(model.string(), {}, classifier, loaded, notes), SettingsError);
  const RunSettings fresh =
      resolveRunSettings(model.string(), {}, classifier, retrained.model, notes);
  EXPECT_EQ(fresh.segmentation, retrained.segmentation);
  EXPECT_EQ(fresh.model, retrained.model);

  // The old name counts only for the bytes it was written for.
  fs::rename(settingsPathFor(model), legacySettingsPathFor(model));
  EXPECT_EQ(resolveRunSettings(model.string(), {}, classifier, retrained.model, notes).segmentation,
            retrained.segmentation);
  EXPECT_EQ(resolveRunSettings(model.string(), {}, classifier, loaded, notes).segmentation,
            SegmentationParams{});
}

}  // namespace
}  // namespace rovelin
