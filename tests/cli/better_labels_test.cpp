// SPDX-License-Identifier: Apache-2.0
// End to end with the real programs: the default run stays what it was, the
// settings a model was trained with travel beside it, and --tune chooses
// settings by cross-validation.
#include "labels/label_map.hpp"
#include "support/trained_demo_scene.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <regex>

#include <sys/stat.h>

namespace rovelin {
namespace {

using test_support::readFile;
using test_support::runTool;
using test_support::TempDir;
using test_support::withoutTime;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

const std::string kRovelin = ROVELIN_EXE;
const std::string kTrain = ROVELIN_TRAIN_EXE;

// FNV-1a, 64 bits.
std::uint64_t fingerprint(const std::string& bytes) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char byte : bytes) {
    hash ^= byte;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

class BetterLabels : public test_support::TrainedDemoScene {};

TEST_F(BetterLabels, DefaultTrainingAndRunGiveTheSameBytesAsBefore) {
  const auto run =
      runTool(kRovelin,
              {"--no-gui", "--classes", "classes.txt", "--overlay", "overlay.png", "--json",
               "run.json", "--label-map", "labels.png", "demo.avi", "6", "1", "model.txt"},
              dir->path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  // Fingerprints of what this scene gave before models carried settings, on
  // Debian 12 with its current video and maths libraries: the model's and
  // the JSON's last digits follow the floating-point routines the libraries
  // pick for the processor (two machines of the same kind, with and without
  // AVX-512, give the two values).
  EXPECT_THAT(fingerprint(readFile(*dir / "model.txt")),
              ::testing::AnyOf(0xab4ea410fae14483ull, 0xd3b8097ccc8043d1ull));
  EXPECT_EQ(fingerprint(withoutTime(run.out)), 0x213939c91a91ef15ull) << run.out;
  // The JSON is what it was, with the frame's uncertainty and what made the
  // frame appended.
  auto doc = nlohmann::ordered_json::parse(readFile(*dir / "run.json"));
  char model[17];
  std::snprintf(model, sizeof model, "%016llx",
                static_cast<unsigned long long>(fingerprint(readFile(*dir / "model.txt"))));
  EXPECT_EQ(doc["model"], model);
  EXPECT_EQ(doc["settings"]["descriptor"], "covariance");
  EXPECT_TRUE(doc.at("uncertainty").is_number());
  EXPECT_TRUE(doc.at("least_certain_class").is_string());
  for (const char* added : {"model", "settings", "uncertainty", "least_certain_class"}) {
    doc.erase(added);
  }
  EXPECT_THAT(fingerprint(doc.dump(2) + "\n"),
              ::testing::AnyOf(0x6fb6f125fbce1b2cull, 0xb4bfe8899d0dceaeull));
  // The label map is numbered 1-based in a palette PNG now; numbered the old
  // way (0-based, 255 for none) in a grey PNG it gives the old bytes.
  cv::Mat classes = readLabelMap(*dir / "labels.png", readClassList(*dir / "classes.txt"),
                                 {320, 240}, {320, 240});
  cv::Mat old;
  cv::Mat(classes - 1).convertTo(old, CV_8U);  // -1 saturates to 0 ...
  old.setTo(255, classes == 0);                // ... and is 255, no class
  std::vector<unsigned char> oldBytes;
  ASSERT_TRUE(cv::imencode(".png", old, oldBytes));
  EXPECT_EQ(fingerprint(std::string(oldBytes.begin(), oldBytes.end())), 0x5f693c08ecf35a3bull);
  EXPECT_EQ(fingerprint(readFile(*dir / "overlay.png")), 0xe231b345451435b8ull);

  const auto settings = nlohmann::json::parse(readFile(*dir / "model.txt.settings.json"));
  EXPECT_EQ(settings["descriptor"], "covariance");
  EXPECT_EQ(settings["segmentation"],
            nlohmann::json::parse(R"({"sigma": 1.0, "k": 500.0, "min_size": 500})"));
  EXPECT_EQ(settings["vehicle_rule"], true);
  EXPECT_EQ(settings["classes"][4]["name"], "car");
  EXPECT_EQ(settings["training"]["frames"].size(), 3u);
  EXPECT_TRUE(settings["training"]["cross_validated_accuracy"].is_null());
}

TEST_F(BetterLabels, SettingsTravelWithTheModelAndOptionsOverrideThem) {
  const auto trained = runTool(kTrain,
                               {"--classes", "classes.txt", "--descriptor", "embedding", "--sigma",
                                "0.5", "--k", "200", "--min-size", "25", "--no-vehicle-rule", "-o",
                                "fine.txt", "demo.avi", "1", "0:labels_0.png", "4:labels_4.png"},
                               dir->path());
  ASSERT_EQ(trained.status, 0) << trained.err;
  std::istringstream header(readFile(*dir / "fine.txt"));
  int samples = 0, order = 0;
  header >> samples >> order;
  EXPECT_EQ(order, 11);
  const auto settings = nlohmann::json::parse(readFile(*dir / "fine.txt.settings.json"));
  EXPECT_EQ(settings["descriptor"], "embedding");
  EXPECT_EQ(settings["segmentation"],
            nlohmann::json::parse(R"({"sigma": 0.5, "k": 200.0, "min_size": 25})"));
  EXPECT_EQ(settings["vehicle_rule"], false);

  const std::vector<std::string> frame = {"demo.avi", "6", "1"};
  auto args = [&frame](std::vector<std::string> options, const std::string& model) {
    options.insert(options.begin(), "--no-gui");
    options.insert(options.end(), frame.begin(), frame.end());
    options.push_back(model);
    return options;
  };
  const auto coarse = runTool(kRovelin, args({}, "model.txt"), dir->path());
  const auto fine =
      runTool(kRovelin, args({"--ground-truth", "labels_6.png"}, "fine.txt"), dir->path());
  ASSERT_EQ(fine.status, 0) << fine.err;
  EXPECT_THAT(fine.err, HasSubstr("Pixel accuracy: "));
  EXPECT_NE(firstLine(withoutTime(fine.out)), firstLine(withoutTime(coarse.out)));

  // The command line wins, with one note; the segmentation is then the default one.
  const auto overridden = runTool(
      kRovelin, args({"--sigma", "1", "--k", "500", "--min-size", "500"}, "fine.txt"), dir->path());
  ASSERT_EQ(overridden.status, 0) << overridden.err;
  EXPECT_EQ(overridden.err,
            "rovelin: note: the command line overrides fine.txt.settings.json: --sigma 1, --k 500, "
            "--min-size 500\n");
  EXPECT_EQ(firstLine(withoutTime(overridden.out)), firstLine(withoutTime(coarse.out)));

  // Refused values, a damaged file, and settings of another kind of model.
  const auto negative = runTool(kRovelin, args({"--sigma", "-1"}, "fine.txt"), dir->path());
  EXPECT_EQ(negative.status, 2);
  EXPECT_EQ(negative.err, "Error : --sigma: sigma must be a number from 0 to 100, not -1!\n");
  const auto tiny = runTool(
      kTrain, {"--min-size", "0", "-o", "x.txt", "demo.avi", "1", "0:labels_0.png"}, dir->path());
  EXPECT_EQ(tiny.status, 2);
  EXPECT_THAT(tiny.err,
              HasSubstr("Error : --min-size takes a whole number of at least 1, not '0'!"));
  const auto lonely = runTool(
      kTrain,
      {"--tune", "--classes", "classes.txt", "-o", "x.txt", "demo.avi", "1", "0:labels_0.png"},
      dir->path());
  EXPECT_EQ(lonely.status, 2);
  EXPECT_THAT(lonely.err, HasSubstr("--tune needs at least 2 labelled frames"));

  const std::string good = readFile(*dir / "fine.txt.settings.json");
  { std::ofstream(*dir / "fine.txt.settings.json") << good.substr(0, good.size() / 2); }
  const auto damaged = runTool(kRovelin, args({}, "fine.txt"), dir->path());
  EXPECT_EQ(damaged.status, 1);
  EXPECT_EQ(damaged.err,
            "Error : settings file fine.txt.settings.json is damaged: it is not JSON!\n");
  EXPECT_EQ(damaged.out, "");
  fs::copy_file(*dir / "model.txt.settings.json", *dir / "fine.txt.settings.json",
                fs::copy_options::overwrite_existing);
  const auto stale = runTool(kRovelin, args({}, "fine.txt"), dir->path());
  EXPECT_EQ(stale.status, 1);
  EXPECT_EQ(
      stale.err,
      "Error : settings file fine.txt.settings.json was written for another fine.txt (remove it, "
      "or train again)!\n");
}

// A tuned model's density tolerance skips distances, and changes the
// outputs only within its bound: the same labels, the same two leading
// classes and their probabilities to 1e-11, every other probability to
// 1e-12. A settings file without it computes every pair, as before.
TEST_F(BetterLabels, ADensityToleranceKeepsTheLabelsAndBoundsTheProbabilities) {
  const fs::path here = folder("tolerance");
  const auto trained =
      runTool(kTrain,
              {"--classes", "classes.txt", "--descriptor", "embedding", "--sigma", "0.5", "--k",
               "100", "--min-size", "25", "--no-vehicle-rule", "-o", "fine.txt", "demo.avi", "1",
               "0:" + (*dir / "labels_0.png").string(), "4:" + (*dir / "labels_4.png").string(),
               "8:" + (*dir / "labels_8.png").string()},
              here);
  ASSERT_EQ(trained.status, 0) << trained.err;
  const fs::path settingsFile = here / "fine.txt.settings.json";
  const std::string exactSettings = readFile(settingsFile);
  ASSERT_THAT(exactSettings, Not(HasSubstr("density_tolerance")));
  const auto run = [&here](const std::string& name) {
    return runTool(kRovelin,
                   {"--no-gui", "--json", name + ".json", "--label-map", name + ".png", "demo.avi",
                    "6", "1", "fine.txt"},
                   here);
  };
  const auto exact = run("exact");
  ASSERT_EQ(exact.status, 0) << exact.err;
  auto settings = nlohmann::ordered_json::parse(exactSettings);
  settings["density_tolerance"] = 1e-12;
  { std::ofstream(settingsFile) << settings.dump(2) << "\n"; }
  const auto pruned = run("pruned");
  ASSERT_EQ(pruned.status, 0) << pruned.err;

  EXPECT_EQ(withoutTime(pruned.out), withoutTime(exact.out));
  EXPECT_EQ(readFile(here / "pruned.png"), readFile(here / "exact.png"));
  const auto a = nlohmann::json::parse(readFile(here / "exact.json"));
  const auto b = nlohmann::json::parse(readFile(here / "pruned.json"));
  EXPECT_FALSE(a["settings"].contains("density_tolerance"));
  EXPECT_EQ(b["settings"]["density_tolerance"], 1e-12);
  ASSERT_EQ(a["regions"].size(), b["regions"].size());
  ASSERT_GT(a["regions"].size(), 20u);
  for (std::size_t i = 0; i < a["regions"].size(); ++i) {
    const auto& x = a["regions"][i];
    const auto& y = b["regions"][i];
    EXPECT_EQ(x["label"], y["label"]);
    std::map<std::string, double> others;
    for (std::size_t r = 0; r < x["probabilities"].size(); ++r) {
      const auto& p = x["probabilities"][r];
      if (r < 2) {
        EXPECT_EQ(p["class"], y["probabilities"][r]["class"]) << "region " << i;
        EXPECT_NEAR(p["probability"].get<double>(),
                    y["probabilities"][r]["probability"].get<double>(), 1e-11);
      } else {
        others[p["class"].get<std::string>()] = p["probability"].get<double>();
      }
    }
    for (std::size_t r = 2; r < y["probabilities"].size(); ++r) {
      const auto& q = y["probabilities"][r];
      EXPECT_NEAR(others.at(q["class"].get<std::string>()), q["probability"].get<double>(), 1e-12);
    }
  }

  // A value that is no tolerance is refused before any work.
  settings["density_tolerance"] = -1;
  { std::ofstream(settingsFile) << settings.dump(2) << "\n"; }
  const auto refused = run("refused");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err,
            "Error : settings file fine.txt.settings.json is damaged: \"density_tolerance\" must "
            "be a number from 0 to 0.001!\n");
}

// A model and its settings are one unit: each model file name has its own
// settings, a failed retrain leaves the old pair as it was, and a settings
// name that is a pipe is refused rather than waited on.
TEST_F(BetterLabels, AModelAndItsSettingsAreOneUnit) {
  const fs::path work = folder("unit");
  const auto train = [&work](const std::string& video, const std::string& sigma,
                             const std::string& output) {
    return runTool(kTrain,
                   {"--classes", "classes.txt", "--sigma", sigma, "-o", output, video, "1",
                    "0:labels_0.png", "4:labels_4.png", "8:labels_8.png"},
                   work);
  };
  for (const char* labels : {"labels_0.png", "labels_4.png", "labels_8.png"}) {
    fs::copy_file(dir->path() / labels, work / labels);
  }
  ASSERT_EQ(train("demo.avi", "0.5", "cars.v1").status, 0);
  ASSERT_EQ(train("demo.avi", "0.8", "cars.v2").status, 0);
  for (const std::string model : {"cars.v1", "cars.v2"}) {
    const auto run = runTool(kRovelin, {"--no-gui", "demo.avi", "6", "1", model}, work);
    EXPECT_EQ(run.status, 0) << model << ": " << run.err;
  }
  EXPECT_EQ(
      nlohmann::json::parse(readFile(work / "cars.v1.settings.json"))["segmentation"]["sigma"],
      0.5);

  // A video name that is not UTF-8 cannot go into the settings: nothing is
  // replaced and no temporary is left.
  const std::string model = readFile(work / "cars.v1");
  const std::string settings = readFile(work / "cars.v1.settings.json");
  fs::copy_file(work / "demo.avi", work / "d\xe9mo.avi");
  const auto latin1 = train("d\xe9mo.avi", "0.8", "cars.v1");
  EXPECT_EQ(latin1.status, 1);
  EXPECT_THAT(latin1.err, HasSubstr("is not UTF-8 text"));
  EXPECT_THAT(latin1.err, Not(HasSubstr("[json.exception")));
  EXPECT_EQ(readFile(work / "cars.v1"), model);
  EXPECT_EQ(readFile(work / "cars.v1.settings.json"), settings);
  for (const auto& entry : fs::directory_iterator(work)) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
  }

  // An older trainer's name is read when it was written for these bytes.
  fs::rename(work / "cars.v1.settings.json", work / "cars.settings.json");
  const auto legacy =
      runTool(kRovelin, {"--no-gui", "--sigma", "1", "demo.avi", "6", "1", "cars.v1"}, work);
  EXPECT_EQ(legacy.status, 0);
  EXPECT_THAT(legacy.err, HasSubstr("overrides cars.settings.json: --sigma 1"));

  ASSERT_EQ(::mkfifo((work / "cars.v1.settings.json").c_str(), 0600), 0);
  const auto fifo = runTool(kRovelin, {"--no-gui", "demo.avi", "6", "1", "cars.v1"}, work);
  EXPECT_EQ(fifo.status, 1);
  EXPECT_EQ(fifo.err, "Error : settings file cars.v1.settings.json is not a regular file!\n");
}

TEST_F(BetterLabels, WhatTheModelNeedsTravelsWithItOrIsAskedFor) {
  const fs::path here = folder("carried");
  fs::copy_file(*dir / "model.txt.settings.json", here / "model.txt.settings.json");
  auto run = [&here](std::vector<std::string> options, const std::string& factor = "1") {
    options.insert(options.end(), {"--no-gui", "demo.avi", "6", factor, "model.txt"});
    return runTool(kRovelin, options, here);
  };
  // The overlay takes the class colours stored with the model.
  ASSERT_EQ(run({"--overlay", "listed.png", "--classes", "classes.txt"}).status, 0);
  const auto stored = run({"--overlay", "stored.png"});
  ASSERT_EQ(stored.status, 0) << stored.err;
  EXPECT_EQ(readFile(here / "stored.png"), readFile(here / "listed.png"));

  // A factor far from the trained one: one warning, kept under -q.
  const std::string warning =
      "Warning : model.txt was trained at FACTOR 1, this run is at 0.5: regions at another scale "
      "are often labelled wrongly (run at 1, or train at this factor)\n";
  const auto half = run({}, "0.5");
  ASSERT_EQ(half.status, 0) << half.err;
  EXPECT_EQ(half.err, warning);
  EXPECT_EQ(run({"-q"}, "0.5").err, warning);
  EXPECT_EQ(run({}, "0.95").err, "");

  // A lossy label map is refused before any work.
  const auto jpeg = run({"--label-map", "labels.jpg"});
  EXPECT_EQ(jpeg.status, 2);
  EXPECT_EQ(jpeg.err,
            "Error : --label-map writes PNG or TIFF (.png, .tif, .tiff), not 'labels.jpg': a lossy "
            "format would change the class values!\n");
  EXPECT_FALSE(fs::exists(here / "labels.jpg"));
  EXPECT_EQ(run({"--label-map", "labels.TIF"}).status, 0);

  // An embedding model is never a default model: without its settings it is refused.
  const auto trained = runTool(kTrain,
                               {"--classes", "classes.txt", "--descriptor", "embedding", "-o",
                                "fine.txt", "demo.avi", "1", "0:labels_0.png", "4:labels_4.png"},
                               dir->path());
  ASSERT_EQ(trained.status, 0) << trained.err;
  fs::copy_file(*dir / "fine.txt", here / "fine.txt");
  const auto bare = runTool(kRovelin, {"--no-gui", "demo.avi", "6", "1", "fine.txt"}, here);
  EXPECT_EQ(bare.status, 1);
  EXPECT_EQ(bare.err,
            "Error : fine.txt is an embedding model (matrices of order 11), and its settings file "
            "fine.txt.settings.json is missing: copy it from where the model was trained, or train "
            "again with rovelin-train!\n");
  EXPECT_EQ(bare.out, "");
  // A covariance model without settings still runs on the defaults.
  fs::remove(here / "model.txt.settings.json");
  EXPECT_EQ(run({}).status, 0);

  // Training at a small factor names the minimum size that would do.
  const auto small = runTool(kTrain,
                             {"--classes", "classes.txt", "-o", "small.txt", "demo.avi", "0.25",
                              "0:labels_0.png", "4:labels_4.png"},
                             dir->path());
  EXPECT_EQ(small.status, 1);
  EXPECT_THAT(small.err, HasSubstr("every class needs at least 2 samples"));
  EXPECT_THAT(small.err, HasSubstr("; at FACTOR 0.25 the smallest region (--min-size 500 pixels) "
                                   "is large for the frame: try --min-size 31, the size --tune "
                                   "takes at this factor!\n"));
}

// Vertical stripes, dark and bright in turn, all with the same noise: the
// classes share their covariance and differ only in their mean.
cv::Mat stripeFrame(int index, cv::Mat* labels) {
  const cv::Size size(96, 64);
  std::mt19937 random(static_cast<unsigned>(17 + index));
  std::uniform_int_distribution<int> noise(-25, 25);
  cv::Mat frame(size, CV_8UC3);
  if (labels != nullptr) *labels = cv::Mat(size, CV_8UC1);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      const bool bright = (x / 24) % 2 == 1;
      for (int c = 0; c < 3; ++c) {
        frame.at<cv::Vec3b>(y, x)[c] =
            cv::saturate_cast<unsigned char>((bright ? 170 : 70) + noise(random));
      }
      if (labels != nullptr) labels->at<unsigned char>(y, x) = bright ? 2 : 1;
    }
  }
  return frame;
}

TEST(Tuning, ChoosesTheEmbeddingWhenOnlyTheMeanTellsClassesApart) {
  TempDir dir;
  test_support::writeVideo(dir / "stripes.avi", 3, cv::Size(96, 64),
                           [](int i) { return stripeFrame(i, nullptr); });
  std::vector<std::string> args = {"--tune",      "--classes", "classes.txt", "-o", "model.txt",
                                   "stripes.avi", "1"};
  for (int i = 0; i < 3; ++i) {
    cv::Mat labels;
    stripeFrame(i, &labels);
    cv::imwrite(dir.file("labels_" + std::to_string(i) + ".png"), labels);
    args.push_back(std::to_string(i) + ":labels_" + std::to_string(i) + ".png");
  }
  std::ofstream(dir / "classes.txt") << "dark\nbright\n";
  const auto tuned = runTool(kTrain, args, dir.path());
  ASSERT_EQ(tuned.status, 0) << tuned.err;
  EXPECT_THAT(tuned.err, HasSubstr("Tuning by leave-one-frame-out cross-validation"));
  EXPECT_THAT(tuned.err, HasSubstr("chosen: embedding descriptor"));
  const auto settings = nlohmann::json::parse(readFile(dir / "model.txt.settings.json"));
  EXPECT_EQ(settings["descriptor"], "embedding");
  EXPECT_EQ(settings["density_tolerance"], 1e-12);
  EXPECT_GT(settings["training"]["cross_validated_accuracy"].get<double>(), 0.95);
  // The covariance alone does no better than chance on some candidate's fold.
  std::smatch match;
  const std::string table = tuned.err;
  ASSERT_TRUE(std::regex_search(table, match,
                                std::regex("\n  covariance +1 +500 +500 +on +[0-9.]+ +([0-9.]+)")))
      << table;
  EXPECT_LT(std::stod(match[1]), 0.9) << table;
}

}  // namespace
}  // namespace rovelin
