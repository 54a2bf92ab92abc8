// SPDX-License-Identifier: Apache-2.0
// The labelling loop through the annotation tools' files: a run exports its
// labels as COCO JSON and CVAT XML, one region's class is changed in each
// file (the correction), and training from the corrected file gives the
// samples that the corrected label map gives. The polygon exports (labelme,
// CVAT polygons) paint back the label map: exactly at tolerance 0, and
// within 1% of the pixels in labelme's own painting at the default.
#include "labels/label_map.hpp"
#include "labels/rle.hpp"
#include "support/trained_demo_scene.hpp"
#include "tools/demo_scene.hpp"

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

namespace rovelin {
namespace {

using test_support::readFile;
using test_support::runTool;
namespace fs = std::filesystem;

class AnnotationFiles : public test_support::TrainedDemoScene {};

TEST_F(AnnotationFiles, CorrectedExportsTrainLikeTheCorrectedMapAndBadOnesAreRefused) {
  const fs::path work = folder("annotation_files");
  fs::copy_file(dir->path() / "labels_0.png", work / "labels_0.png");
  fs::copy_file(dir->path() / "labels_4.png", work / "labels_4.png");
  fs::create_directory(work / "frames");
  const auto run = runTool(ROVELIN_EXE,
                           {"--no-gui", "--frames", "6", "--label-map", "run_{frame}.png", "--coco",
                            "run.json", "--cvat", "run.xml", "--cvat-masks", "run.zip",
                            "--frames-dir", "frames", "demo.avi", "0", "1", "model.txt"},
                           work);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(cv::imread((work / "frames" / "frame_000006.png").string()).size(), cv::Size(320, 240));
  const auto classes = readClassList(work / "classes.txt");
  std::vector<cv::Vec3b> colours;
  for (const ClassEntry& c : classes) colours.push_back(*c.colour);
  const cv::Mat labels = readLabelMap(work / "run_6.png", classes, {320, 240}, {320, 240});

  // COCO: the largest road region becomes grass (classes 4 and 3).
  nlohmann::json coco = nlohmann::json::parse(readFile(work / "run.json"));
  nlohmann::json* pick = nullptr;
  for (auto& a : coco["annotations"]) {
    if (a["category_id"] == 4 && (!pick || a["area"] > (*pick)["area"])) pick = &a;
  }
  ASSERT_NE(pick, nullptr);
  (*pick)["category_id"] = 3;
  std::ofstream(work / "coco_fixed.json") << coco.dump();
  cv::Mat corrected = labels.clone();
  corrected.setTo(
      3, maskFromRuns(decompressCocoRuns((*pick)["segmentation"]["counts"].get<std::string>(), "t"),
                      {320, 240}, true, "t"));
  writeLabelMapPng(work / "coco_fixed.png", corrected, colours);

  // CVAT: the largest road piece becomes grass.
  std::string xml = readFile(work / "run.xml");
  const std::regex mask(
      R"re(<mask label="([a-z]+)" source="auto" occluded="0" rle="([0-9, ]+)" left="([0-9]+)" top="([0-9]+)" width="([0-9]+)" height="([0-9]+)")re");
  std::smatch best;
  long long bestArea = -1;
  for (std::sregex_iterator it(xml.begin(), xml.end(), mask), end; it != end; ++it) {
    const long long area = std::stoll((*it)[5]) * std::stoll((*it)[6]);
    if ((*it)[1] == "road" && area > bestArea) {
      best = *it;
      bestArea = area;
    }
  }
  ASSERT_GT(bestArea, 0);
  std::vector<std::int64_t> runs;
  std::istringstream rle(best[2].str());
  for (std::string n; std::getline(rle, n, ',');) runs.push_back(std::stoll(n));
  const cv::Rect box(std::stoi(best[3]), std::stoi(best[4]), std::stoi(best[5]),
                     std::stoi(best[6]));
  cv::Mat cvatCorrected = labels.clone();
  cv::Mat inBox = cvatCorrected(box);
  inBox.setTo(3, maskFromRuns(runs, box.size(), false, "t"));
  writeLabelMapPng(work / "cvat_fixed.png", cvatCorrected, colours);
  const std::string before = best[0].str();
  xml.replace(static_cast<std::size_t>(best.position(0)), before.size(),
              std::regex_replace(before, std::regex("label=\"[a-z]+\""), "label=\"grass\""));
  std::ofstream(work / "cvat_fixed.xml") << xml;

  const auto train = [&](const std::string& model, const std::vector<std::string>& labelled) {
    std::vector<std::string> args = {
        "--classes",      "classes.txt",   "-o", model, "demo.avi", "1",
        "0:labels_0.png", "4:labels_4.png"};
    args.insert(args.end(), labelled.begin(), labelled.end());
    return runTool(ROVELIN_TRAIN_EXE, args, work);
  };
  for (const auto& [model, labelled] :
       {std::pair<std::string, std::string>{"a.txt", "6:coco_fixed.png"},
        {"b.txt", "coco_fixed.json"},
        {"c.txt", "6:cvat_fixed.png"},
        {"d.txt", "cvat_fixed.xml"},
        {"e.txt", "6:run_6.png"},
        {"f.txt", "run.json"},
        {"g.txt", "run.xml"},
        {"h.txt", "run.zip"}}) {
    const auto trained = train(model, {labelled});
    ASSERT_EQ(trained.status, 0) << labelled << ": " << trained.err;
  }
  EXPECT_EQ(readFile(work / "b.txt"), readFile(work / "a.txt"));
  EXPECT_EQ(readFile(work / "d.txt"), readFile(work / "c.txt"));
  EXPECT_EQ(readFile(work / "f.txt"), readFile(work / "e.txt"));  // the exports as written
  EXPECT_EQ(readFile(work / "g.txt"), readFile(work / "e.txt"));
  EXPECT_EQ(readFile(work / "h.txt"), readFile(work / "e.txt"));
  EXPECT_NE(readFile(work / "a.txt"), readFile(work / "e.txt"));  // the corrections count
  EXPECT_NE(readFile(work / "c.txt"), readFile(work / "e.txt"));

  // Bad files: status 1, a message naming the problem, nothing written.
  std::ofstream(work / "short.json") << R"({"images": [{"id": 6, "width": 320, "height": 240}],
      "categories": [{"id": 1, "name": "sky"}], "annotations": [{"image_id": 6,
      "category_id": 1, "segmentation": {"size": [240, 320], "counts": [5, 10]}}]})";
  std::ofstream(work / "broken.xml") << "<annotations><image id=\"6\"";
  std::ofstream(work / "small.json") << R"({"images": [{"id": 6, "width": 32, "height": 24}],
      "categories": [], "annotations": []})";
  for (const auto& [labelled, problem] :
       {std::pair<std::vector<std::string>, std::string>{{"short.json"},
                                                         "add up to 15, not the 76800 pixels"},
        {{"broken.xml"}, "malformed XML"},
        {{"small.json"}, "32x24, not the size of the video's frames"},
        {{"6:run_6.png", "run.json"}, "frame 6 is given twice"}}) {
    const auto refused = train("bad.txt", labelled);
    EXPECT_EQ(refused.status, 1) << labelled.back() << ": " << refused.err;
    EXPECT_NE(refused.err.find(problem), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(work / "bad.txt")) << labelled.back();
  }
}

TEST_F(AnnotationFiles, PolygonExportsPaintBackTheLabelMap) {
  const fs::path work = folder("polygons");
  fs::copy_file(dir->path() / "labels_0.png", work / "labels_0.png");
  fs::create_directory(work / "exact");
  fs::create_directory(work / "lm");
  const auto exact =
      runTool(ROVELIN_EXE,
              {"--no-gui", "-q", "--frames", "6", "--label-map", "run_{frame}.png", "--labelme",
               "exact/{frame}.json", "--cvat", "poly.xml", "--cvat-shapes", "polygon",
               "--polygon-tolerance", "0", "demo.avi", "0", "1", "model.txt"},
              work);
  ASSERT_EQ(exact.status, 0) << exact.err;
  EXPECT_EQ(cv::imread((work / "exact" / "6.png").string()).size(), cv::Size(320, 240));
  const std::string xml = readFile(work / "poly.xml");
  EXPECT_NE(xml.find("<polygon label=\""), std::string::npos);
  EXPECT_EQ(xml.find("<mask "), std::string::npos);
  const auto train = [&](const std::string& model, const std::string& labelled) {
    return runTool(
        ROVELIN_TRAIN_EXE,
        {"--classes", "classes.txt", "-o", model, "demo.avi", "1", "0:labels_0.png", labelled},
        work);
  };
  for (const auto& [model, labelled] :
       {std::pair<std::string, std::string>{"map.txt", "6:run_6.png"},
        {"labelme.txt", "6:exact/6.json"},
        {"cvat.txt", "poly.xml"}}) {
    const auto trained = train(model, labelled);
    ASSERT_EQ(trained.status, 0) << labelled << ": " << trained.err;
  }
  EXPECT_EQ(readFile(work / "labelme.txt"), readFile(work / "map.txt"));
  EXPECT_EQ(readFile(work / "cvat.txt"), readFile(work / "map.txt"));

  // labelme's check runs on the demo at its usual size, 640x480.
  const fs::path demo = work / "demo";
  writeDemoScene(demo, DemoSceneOptions{640, 480, 3});
  fs::create_directory(demo / "lm");
  ASSERT_EQ(
      runTool(ROVELIN_TRAIN_EXE,
              {"--classes", "classes.txt", "-o", "model.txt", "demo.avi", "1", "0:labels_0.png"},
              demo)
          .status,
      0);
  const auto run = runTool(
      ROVELIN_EXE,
      {"--no-gui", "-q", "--frames", "0,1,2", "--label-map", "lm/{frame}_map.png", "--labelme",
       "lm/{frame}.json", "--json", "lm/{frame}.run.json", "demo.avi", "0", "1", "model.txt"},
      demo);
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json file = nlohmann::json::parse(readFile(demo / "lm" / "1.json"));
  EXPECT_EQ(file["imagePath"], "1.png");
  EXPECT_EQ(file["imageWidth"], 640);
  EXPECT_TRUE(file["imageData"].is_null());
  EXPECT_EQ(file["shapes"][0]["shape_type"], "polygon");
  // Without --labelme the frame's JSON has no such field.
  EXPECT_EQ(readFile(work / "exact" / "6.json").find("labelme_mismatch"), std::string::npos);

  // labelme's own painting, headless, against the label maps.
  const auto labelme = runTool("/usr/bin/python3", {"-c", "import labelme.utils"}, demo);
  if (labelme.status != 0) GTEST_SKIP() << "labelme is not installed";
  const std::string script = R"py(
import json, sys, numpy, PIL.Image, labelme.utils
names = [line.split()[0] for line in open("classes.txt") if line.strip()]
for frame in (0, 1, 2):
    shapes = json.load(open(f"lm/{frame}.json"))
    cls, _ = labelme.utils.shapes_to_label((480, 640), shapes["shapes"],
                                           {n: i + 1 for i, n in enumerate(names)})
    ours = numpy.array(PIL.Image.open(f"lm/{frame}_map.png"))
    reported = json.load(open(f"lm/{frame}.run.json"))["labelme_mismatch"]
    print(frame, (cls != ours).mean(), reported)
)py";
  const auto measured = runTool("/usr/bin/python3", {"-c", script}, demo);
  ASSERT_EQ(measured.status, 0) << measured.err;
  std::istringstream lines(measured.out);
  int frames = 0;
  for (int frame = 0; lines >> frame; ++frames) {
    double painted = 1, reported = 1;
    lines >> painted >> reported;
    EXPECT_LE(painted, 0.01) << "frame " << frame;
    EXPECT_GT(painted, 0.0) << "frame " << frame;  // simplified: not the exact outline
    EXPECT_NEAR(reported, painted, 0.001) << "frame " << frame;
  }
  EXPECT_EQ(frames, 3) << measured.out;
}

}  // namespace
}  // namespace rovelin
