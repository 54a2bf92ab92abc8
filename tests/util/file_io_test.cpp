// SPDX-License-Identifier: Apache-2.0
#include "util/file_io.hpp"
#include "util/atomic_file.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace rovelin {
namespace {

namespace fs = std::filesystem;

void writeText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The failure and message of reading `path` with `cap`, or "read" when it succeeds.
std::string readProblem(const fs::path& path, std::size_t cap) {
  try {
    readFileCapped(path, cap);
    return "read";
  } catch (const FileReadError& e) {
    return std::to_string(static_cast<int>(e.failure)) + " " + e.what();
  }
}

TEST(FileIo, ReadsWholeFilesWithinTheirCapAndNothingBeyondIt) {
  test_support::TempDir dir;
  const fs::path four = dir.path() / "four.txt";
  writeText(four, std::string("a\0b\n", 4));
  EXPECT_EQ(readFileCapped(four, 4), std::string("a\0b\n", 4));
  EXPECT_EQ(readProblem(four, 3), "1 cannot read \"" + four.string() + "\": larger than 3 bytes");
  EXPECT_EQ(readProblem(dir.path() / "none", 9),
            "0 cannot read \"" + (dir.path() / "none").string() + "\": No such file or directory");
  EXPECT_EQ(readProblem(dir.path(), 9),
            "0 cannot read \"" + dir.path().string() + "\": Is a directory");
  // A device reports no size: it is read up to the cap and refused there.
  EXPECT_EQ(readProblem("/dev/zero", 100000),
            "1 cannot read \"/dev/zero\": larger than 100000 bytes");

  EXPECT_EQ(readFileHead("/dev/zero", 32), std::string(32, '\0'));
  EXPECT_EQ(readFileHead(four, 32), std::string("a\0b\n", 4));
}

TEST(FileIo, AFileWrittenByAnEncoderReplacesItsTargetWholeOrNotAtAll) {
  test_support::TempDir dir;
  const fs::path target = dir.path() / "video.avi";
  writeText(target, "old");
  fs::path temporary = temporaryNameFor(target);
  temporary += ".avi";

  writeText(temporary, "refused");
  AtomicWrite refuse;
  refuse.verify = [](const fs::path&) { throw Error("not a video"); };
  EXPECT_THROW(commitTemporary(temporary, target, refuse), Error);
  EXPECT_FALSE(fs::exists(temporary));
  EXPECT_EQ(readFileCapped(target, 100), "old");

  writeText(temporary, "new");
  commitTemporary(temporary, target);
  EXPECT_FALSE(fs::exists(temporary));
  EXPECT_EQ(readFileCapped(target, 100), "new");
}

}  // namespace
}  // namespace rovelin
