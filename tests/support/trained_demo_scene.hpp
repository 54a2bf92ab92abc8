// SPDX-License-Identifier: Apache-2.0
// A fixture for end-to-end suites: the 320x240 demo scene of 12 frames,
// rendered once per suite, with a model trained on its frames 0, 4 and 8 by
// the real rovelin-train (model.txt and model.txt.settings.json beside it).
#pragma once

#include "support/tool_runner.hpp"
#include "tools/demo_scene.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace rovelin::test_support {

class TrainedDemoScene : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir = new TempDir();
    writeDemoScene(dir->path(), DemoSceneOptions{320, 240, 12});
    const auto trained = runTool(ROVELIN_TRAIN_EXE,
                                 {"--classes", "classes.txt", "-o", "model.txt", "demo.avi", "1",
                                  "0:labels_0.png", "4:labels_4.png", "8:labels_8.png"},
                                 dir->path());
    ASSERT_EQ(trained.status, 0) << trained.err;
  }
  static void TearDownTestSuite() {
    delete dir;
    dir = nullptr;
  }
  // A fresh folder below the scene's, with the video, the model and the
  // class list copied into it.
  static fs::path folder(const std::string& name) {
    const fs::path path = dir->path() / name;
    fs::create_directories(path);
    for (const char* file : {"demo.avi", "model.txt", "classes.txt"}) {
      fs::copy_file(dir->path() / file, path / file, fs::copy_options::overwrite_existing);
    }
    return path;
  }
  inline static TempDir* dir = nullptr;
};

}  // namespace rovelin::test_support
