// SPDX-License-Identifier: Apache-2.0
#include "driver/frame_outputs.hpp"
#include "util/output_file.hpp"

#include "support/temp_dir.hpp"
#include "support/tool_runner.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace rovelin {
namespace {

using test_support::readFile;
using test_support::TempDir;
namespace fs = std::filesystem;

// What `action` throws, or "" when it succeeds.
std::string failureOf(const std::function<void()>& action) {
  try {
    action();
    return "";
  } catch (const std::runtime_error& error) {
    return error.what();
  }
}

std::string refusal(const std::vector<std::pair<std::string, std::string>>& outputs,
                    const std::vector<std::pair<std::string, std::string>>& inputs = {}) {
  return failureOf([&] { checkDistinctOutputs(outputs, inputs); });
}

std::string writeFailure(const fs::path& target, const std::string& bytes) {
  return failureOf([&] { writeOutputFile(target, bytes); });
}

std::vector<std::string> entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Outputs, NamesForTheSameFileCollideHoweverTheyAreSpelt) {
  TempDir dir;
  const std::string d = dir.path().string();
  fs::create_directory(dir / "sub");
  std::ofstream(dir / "model.txt") << "model";
  fs::create_symlink("a.json", dir / "link.json");
  fs::create_symlink("missing.json", dir / "dangling.json");
  fs::create_directory_symlink("sub", dir / "alias");
  for (const auto& [first, second] :
       std::vector<std::pair<std::string, std::string>>{{d + "/a.json", d + "/./a.json"},
                                                        {d + "/a.json", d + "/sub/../a.json"},
                                                        {d + "/a.json", d + "/link.json"},
                                                        {d + "/missing.json", d + "/dangling.json"},
                                                        {d + "/sub/x.png", d + "/alias/x.png"}}) {
    EXPECT_EQ(
        refusal({{"--json", first}, {"--overlay", second}}),
        "--json and --overlay both write \"" + second + "\"; give every output its own file name")
        << first << " " << second;
  }
  EXPECT_EQ(refusal({{"--json", d + "/sub/../link.json"}},
                    {{"the training file", d + "/model.txt"}, {"the video", d + "/a.json"}}),
            "--json \"" + d + "/sub/../link.json\" names the video, which would be overwritten");
  // Different files, and a device every output may share.
  EXPECT_EQ(refusal({{"--json", d + "/a.json"},
                     {"--overlay", d + "/sub/a.json"},
                     {"--label-map", "/dev/null"},
                     {"--save-frame", "/dev/null"}},
                    {{"the class list", ""}, {"the video", d + "/model.txt"}}),
            "");
}

TEST(Outputs, AFileIsReplacedWholeThroughItsLinkOrLeftAsItWas) {
  TempDir dir;
  std::ofstream(dir / "real.json") << "old";
  ::chmod((dir / "real.json").c_str(), 0640);
  fs::create_symlink("real.json", dir / "link.json");
  fs::create_directory(dir / "sub");
  fs::create_symlink("../real.json", dir / "sub" / "up.json");
  EXPECT_EQ(writeFailure(dir / "sub" / "up.json", "new"), "");
  EXPECT_EQ(readFile(dir / "real.json"), "new");
  EXPECT_TRUE(fs::is_symlink(dir / "sub" / "up.json"));
  EXPECT_EQ(fs::status(dir / "real.json").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  // A check of the complete bytes that fails leaves the old file.
  EXPECT_THROW(writeOutputFile(dir / "link.json", "bad",
                               [](const fs::path&) { throw std::runtime_error("refused"); }),
               std::runtime_error);
  EXPECT_EQ(readFile(dir / "real.json"), "new");

  // Links that lead nowhere writable, and descriptors that are not open.
  fs::create_symlink("nowhere/x.json", dir / "lost.json");
  fs::create_symlink("loop2.json", dir / "loop1.json");
  fs::create_symlink("loop1.json", dir / "loop2.json");
  fs::create_symlink("sub", dir / "folder.json");
  const std::string d = dir.path().string();
  EXPECT_THAT(writeFailure(dir / "lost.json", "x"),
              ::testing::EndsWith("/nowhere/x.json\": No such file or directory"));
  EXPECT_EQ(writeFailure(dir / "loop1.json", "x"),
            "cannot write \"" + d + "/loop1.json\": Too many levels of symbolic links");
  EXPECT_EQ(writeFailure(dir / "folder.json", "x"),
            "cannot write \"" + d + "/folder.json\": it is a directory");
  EXPECT_EQ(writeFailure("/dev/fd/999", "x"), "cannot write \"/dev/fd/999\": Bad file descriptor");
  EXPECT_EQ(entries(dir.path()),
            (std::vector<std::string>{"folder.json", "link.json", "loop1.json", "loop2.json",
                                      "lost.json", "real.json", "sub"}));
}

TEST(Outputs, ImagesTakeTheirFormatFromTheName) {
  TempDir dir;
  const cv::Mat image(4, 6, CV_8UC3, cv::Scalar(1, 2, 3));
  writeImageAtomically(dir / "upper.PNG", image);
  EXPECT_EQ(readFile(dir / "upper.PNG").substr(1, 3), "PNG");
  const std::string d = dir.path().string();
  for (const char* name : {"plain", "odd.xyz"}) {
    EXPECT_EQ(failureOf([&] { writeImageAtomically(dir / name, image); }),
              "cannot write \"" + d + "/" + name +
                  "\": no image format is known for its name (use .png, .jpg, ...)");
    EXPECT_FALSE(fs::exists(dir / name));
  }
}

}  // namespace
}  // namespace rovelin
