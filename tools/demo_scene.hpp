// SPDX-License-Identifier: Apache-2.0
#pragma once

// A synthetic outdoor scene with exact labels, for trying the whole pipeline
// (training and annotation) without any recorded video.
//
// The scene: sky with soft clouds above, a building with a grid of windows on
// the right, grass, a road with white lane dashes, and a red car that drives
// along the road from left to right, one step per frame. The five classes
// differ in colour and in texture, so that their covariance descriptors fall
// apart: the sky is smooth, grass carries strong fine noise, the road fine
// grey noise, the building hard-edged windows and the car large flat areas
// with dark windows and wheels.
//
// Everything is a pure function of the pixel position and the frame number
// (fixed hash noise, no random generator), so renders are identical from run
// to run.

#include <filesystem>
#include <vector>

#include <opencv2/core.hpp>

#include "labels/label_map.hpp"

namespace rovelin {

struct DemoSceneOptions {
  int width = 640;   // frame width in pixels, 32..4096
  int height = 480;  // frame height in pixels, 32..4096
  int frames = 24;   // frames in the written video, 1..10000
};

// Throws std::invalid_argument naming the first field out of range.
void checkDemoSceneOptions(const DemoSceneOptions& options);

// The scene's classes in class-number order (1 sky, 2 building, 3 grass,
// 4 road, 5 car), each with its label-map colour.
std::vector<ClassEntry> demoSceneClasses();

// Renders frame `frameIndex` (0 or more; the car wraps around after leaving
// the frame) as 8-bit BGR. When `labels` is given, it receives the exact
// class number of every pixel (CV_32SC1, 1..5).
cv::Mat renderDemoFrame(int frameIndex, const DemoSceneOptions& options, cv::Mat* labels = nullptr);

// Writes into `dir` (created if missing): "demo.avi" (Motion-JPEG in AVI,
// 10 frames per second, options.frames frames), "classes.txt" (the class
// list with colours) and "labels_<frame>.png" (single-channel class numbers,
// frame counted from 0) for every frame. Each file appears complete or not
// at all. Returns the written paths in that order. Throws Error
// (LabelMapError for the label maps) when a file cannot be written.
std::vector<std::filesystem::path> writeDemoScene(const std::filesystem::path& dir,
                                                  const DemoSceneOptions& options);

}  // namespace rovelin
