// SPDX-License-Identifier: Apache-2.0
// The real executables on input a user can get wrong. Every failing run must
// say what is wrong on standard error, end with a status from 1 to 127 (not
// a signal), leave no partial or temporary file behind and change nothing it
// was not asked to write.
#include "support/tool_runner.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace rovelin {
namespace {

namespace fs = std::filesystem;
using test_support::runTool;
using test_support::TempDir;
using test_support::ToolResult;

const std::string kRovelin = ROVELIN_EXE;
const std::string kTrain = ROVELIN_TRAIN_EXE;
const cv::Size kSize(64, 48);
constexpr int kFrames = 6;

// Every entry below a directory: its relative path and its bytes ("<dir>"
// for a directory).
using Snapshot = std::map<std::string, std::string>;

Snapshot snapshot(const fs::path& root) {
  Snapshot s;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    s[name] = entry.is_directory() ? std::string("<dir>") : test_support::readFile(entry.path());
  }
  return s;
}

std::string describeChanges(const Snapshot& before, const Snapshot& after) {
  std::string text;
  for (const auto& [name, bytes] : after) {
    const auto it = before.find(name);
    if (it == before.end()) {
      text += " new:" + name;
    } else if (it->second != bytes) {
      text += " changed:" + name;
    }
  }
  for (const auto& [name, bytes] : before) {
    if (!after.count(name)) text += " removed:" + name;
  }
  return text;
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The working directory of one case: the small video, a small model, and a
// file no run may touch.
class Workspace {
public:
  Workspace(const fs::path& video, const fs::path& model) {
    fs::copy_file(video, dir_ / "video.avi");
    fs::copy_file(model, dir_ / "model.txt");
    std::ofstream(dir_ / "keep.txt") << "a file no run is asked to write\n";
  }
  const fs::path& path() const { return dir_.path(); }
  fs::path operator/(const std::string& name) const { return dir_ / name; }

private:
  TempDir dir_;
};

class BadInput : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    shared_ = new TempDir;
    test_support::writeVideo(*shared_ / "video.avi", kFrames, kSize,
                             [](int i) { return test_support::blockFrame(i, kSize); });
    test_support::writeModelFile(*shared_ / "model.txt", {"sky", "grass"}, 3, 10);
  }
  static void TearDownTestSuite() {
    delete shared_;
    shared_ = nullptr;
  }

  static fs::path video() { return *shared_ / "video.avi"; }
  static fs::path model() { return *shared_ / "model.txt"; }

  // Runs and checks a run that must fail. `mentions` are words standard error
  // must contain (compared without case); `mayWrite` are the names the run
  // may create or change before it fails (its own work files).
  static void expectCleanFailure(const std::string& label, const std::string& exe,
                                 const std::vector<std::string>& args, const Workspace& ws,
                                 const std::vector<std::string>& mentions,
                                 const std::vector<std::string>& mayWrite = {}) {
    SCOPED_TRACE(label);
    const Snapshot before = snapshot(ws.path());
    const ToolResult r = runTool(exe, args, ws.path());
    EXPECT_GT(r.status, 0) << "stderr: " << r.err;
    EXPECT_LT(r.status, 128) << "killed by a signal; stderr: " << r.err;
    EXPECT_NE(r.err.find("Error : "), std::string::npos) << r.err;
    for (const std::string& word : mentions) {
      EXPECT_NE(lower(r.err).find(lower(word)), std::string::npos)
          << "standard error does not mention '" << word << "': " << r.err;
    }
    Snapshot after = snapshot(ws.path());
    for (const std::string& name : mayWrite) {
      if (!before.count(name))
        after.erase(name);
      else if (after.count(name))
        after[name] = before.at(name);
    }
    EXPECT_EQ(describeChanges(before, after), "") << "stderr: " << r.err;
    EXPECT_TRUE(fs::exists(ws / "keep.txt"));
  }

  static TempDir* shared_;
};

TempDir* BadInput::shared_ = nullptr;

// What a run writes besides the outputs it is asked for: the frame and its
// segmentation, and the prepared model cached beside the training file. A
// run that fails after these may leave them (they are whole files).
const std::vector<std::string> kWorkFiles = {"inpimage.ppm", "outimage.ppm", "model.txt.cache"};
const std::vector<std::string> kCache = {"model.txt.cache"};

// Labels of two classes for the block video, for rovelin-train.
const char* const kTwoClassLabels =
    R"({"imageWidth": 64, "imageHeight": 48, "shapes": [)"
    R"({"label": "sky", "shape_type": "rectangle", "points": [[0,0],[63,5]]},)"
    R"({"label": "grass", "shape_type": "rectangle", "points": [[0,44],[63,47]]}]})";

std::vector<std::string> rovelinArgs(const std::string& video, const std::string& frame,
                                     const std::string& factor,
                                     const std::string& model = "model.txt",
                                     std::vector<std::string> options = {}) {
  options.insert(options.begin(), "--no-gui");
  options.insert(options.end(), {video, frame, factor, model});
  return options;
}

TEST_F(BadInput, VideosThatCannotBeRead) {
  struct Case {
    std::string label;
    std::function<void(const Workspace&)> prepare;  // makes "bad.avi"
  };
  const std::string good = test_support::readFile(video());
  const std::vector<Case> cases = {
      {"missing", [](const Workspace&) {}},
      {"empty", [](const Workspace& ws) { std::ofstream(ws / "bad.avi"); }},
      {"truncated to its header",
       [&good](const Workspace& ws) {
         std::ofstream(ws / "bad.avi", std::ios::binary) << good.substr(0, 300);
       }},
      {"truncated to a third",
       [&good](const Workspace& ws) {
         std::ofstream(ws / "bad.avi", std::ios::binary) << good.substr(0, good.size() / 3);
       }},
      {"text",
       [](const Workspace& ws) { std::ofstream(ws / "bad.avi") << "not a video at all\n"; }},
      {"random bytes",
       [](const Workspace& ws) {
         std::ofstream out(ws / "bad.avi", std::ios::binary);
         for (int i = 0; i < 4096; ++i) out.put(static_cast<char>((i * 7919) ^ (i >> 3)));
       }},
      {"directory", [](const Workspace& ws) { fs::create_directory(ws / "bad.avi"); }},
  };
  for (const Case& c : cases) {
    Workspace ws(video(), model());
    c.prepare(ws);
    expectCleanFailure("video " + c.label, kRovelin, rovelinArgs("bad.avi", "0", "1"), ws,
                       {"video file could not be opened"}, kCache);
  }
}

TEST_F(BadInput, FramesOutsideTheVideo) {
  const std::string end = std::to_string(kFrames);
  const std::vector<std::vector<std::string>> cases = {
      rovelinArgs("video.avi", "-1", "1"),
      rovelinArgs("video.avi", "-2147483648", "1"),
      rovelinArgs("video.avi", end, "1"),
      rovelinArgs("video.avi", std::to_string(kFrames + 5), "1"),
      rovelinArgs("video.avi", "2147483647", "1"),
      rovelinArgs("video.avi", "99999999999999", "1"),
      rovelinArgs("video.avi", "0", "1", "model.txt", {"--frames", "0," + end}),
  };
  for (const auto& args : cases) {
    Workspace ws(video(), model());
    std::string label;
    for (const std::string& a : args) label += a + " ";
    // A batch may finish the frames before the bad one: their work files stay.
    expectCleanFailure(label, kRovelin, args, ws, {"frame"}, kWorkFiles);
  }
  // A frame list that names a negative frame is refused as a bad option.
  Workspace ws(video(), model());
  expectCleanFailure("--frames -1", kRovelin,
                     rovelinArgs("video.avi", "0", "1", "model.txt", {"--frames=-1,2"}), ws,
                     {"--frames"});
}

TEST_F(BadInput, ScaleFactorsThatGiveNoUsableFrame) {
  for (const std::string factor :
       {"0", "-1", "-0.5", "nan", "NaN", "-nan", "inf", "1e-9", "0.001", "1e9", "1e308", "abc"}) {
    Workspace ws(video(), model());
    expectCleanFailure("factor " + factor, kRovelin, rovelinArgs("video.avi", "0", factor), ws,
                       {"factor"}, kCache);
  }
  // The training builder checks its factor the same way.
  for (const std::string factor : {"0", "-1", "nan", "1e9"}) {
    Workspace ws(video(), model());
    std::ofstream(ws / "labels.json") << kTwoClassLabels;
    expectCleanFailure("rovelin-train factor " + factor, kTrain,
                       {"-o", "out.txt", "video.avi", factor, "0:labels.json"}, ws, {"factor"});
  }
}

// The tokens of a valid model of two classes with three samples each
// (order 10): N d K, two "count name" pairs, four context values, then
// samples of 1 + 55 tokens.
std::vector<std::string> modelTokens(const fs::path& model) {
  std::istringstream in(test_support::readFile(model));
  std::vector<std::string> tokens;
  for (std::string t; in >> t;) tokens.push_back(t);
  return tokens;
}

std::string joinTokens(const std::vector<std::string>& tokens) {
  std::string text;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    text += tokens[i];
    text += (i % 8 == 7) ? "\n" : " ";
  }
  return text + "\n";
}

constexpr std::size_t kFirstSample = 11;
constexpr std::size_t kSampleTokens = 56;

TEST_F(BadInput, TrainingFilesTheLoaderRejects) {
  const std::vector<std::string> valid = modelTokens(model());
  ASSERT_EQ(valid.size(), kFirstSample + 6 * kSampleTokens);
  using Edit = std::function<void(std::vector<std::string>&)>;
  auto set = [](std::size_t at, std::string value) -> Edit {
    return [at, value](std::vector<std::string>& t) { t[at] = value; };
  };
  const std::size_t sample2 = kFirstSample + kSampleTokens;
  struct Case {
    std::string label;
    Edit edit;
    std::string mention;
  };
  const std::vector<Case> cases = {
      {"N of 0", set(0, "0"), "number of samples"},
      {"N not a number", set(0, "six"), "number of samples"},
      {"N far too large", set(0, "99999999999"), "number of samples"},
      {"matrix order 2", set(1, "2"), "matrix order"},
      {"one class", set(2, "1"), "number of classes"},
      {"more classes than samples allow", set(0, "3"), "at least two samples"},
      {"negative class count", set(3, "-3"), "negative sample count"},
      {"class number 0", set(kFirstSample, "0"), "class number"},
      {"class number past K", set(kFirstSample, "3"), "class number"},
      {"more samples than declared", set(sample2, "1"), "more samples than"},
      {"value not a number", set(kFirstSample + 5, "x1.5"), "value"},
      {"NaN value", set(kFirstSample + 1, "nan"), "sample 1"},
      {"infinite value", set(kFirstSample + 1, "inf"), "sample 1"},
      {"indefinite matrix", set(kFirstSample + 1, "-5"), "sample 1"},
      {"singular matrix",
       [](std::vector<std::string>& t) {
         const std::string zero(1, '0');
         std::fill(t.begin() + kFirstSample + 1, t.begin() + kFirstSample + kSampleTokens, zero);
       },
       "sample 1"},
      {"cut short in a sample", [](std::vector<std::string>& t) { t.resize(t.size() - 20); },
       "sample 6"},
      {"cut short in the context", [](std::vector<std::string>& t) { t.resize(9); }, "context"},
      {"over-long token", set(4, std::string(300, 'x')), "characters"},
  };
  for (const Case& c : cases) {
    Workspace ws(video(), model());
    std::vector<std::string> tokens = valid;
    c.edit(tokens);
    std::ofstream(ws / "model.txt", std::ios::binary) << joinTokens(tokens);
    expectCleanFailure("training file: " + c.label, kRovelin, rovelinArgs("video.avi", "0", "1"),
                       ws, {"model.txt", c.mention});
  }
  {
    Workspace ws(video(), model());
    expectCleanFailure("training file missing", kRovelin,
                       rovelinArgs("video.avi", "0", "1", "absent.txt"), ws,
                       {"absent.txt", "unable to open file"});
  }
  {
    Workspace ws(video(), model());
    std::ofstream(ws / "empty.txt");
    expectCleanFailure("training file empty", kRovelin,
                       rovelinArgs("video.avi", "0", "1", "empty.txt"), ws, {"empty.txt"});
  }
  {
    Workspace ws(video(), model());
    fs::create_directory(ws / "dir.txt");
    expectCleanFailure("training file a directory", kRovelin,
                       rovelinArgs("video.avi", "0", "1", "dir.txt"), ws, {"dir.txt"});
  }
}

TEST_F(BadInput, TrainingFilesFromOtherEditorsLoad) {
  const std::string text = joinTokens(modelTokens(model()));
  std::string crlf;
  for (char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Windows line ends", crlf},
      {"byte-order mark", "\xEF\xBB\xBF" + text},
      {"byte-order mark and Windows line ends", "\xEF\xBB\xBF" + crlf},
      {"trailing garbage", text + "these words follow the last sample 1 2 3\n"},
  };
  Workspace reference(video(), model());
  const ToolResult expected =
      runTool(kRovelin, rovelinArgs("video.avi", "0", "1"), reference.path());
  ASSERT_EQ(expected.status, 0) << expected.err;
  for (const auto& [label, content] : cases) {
    SCOPED_TRACE(label);
    Workspace ws(video(), model());
    std::ofstream(ws / "model.txt", std::ios::binary) << content;
    const ToolResult r = runTool(kRovelin, rovelinArgs("video.avi", "0", "1"), ws.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("Error"), std::string::npos) << r.err;
    // The same model: the same labels (the timing on the first line differs).
    EXPECT_EQ(r.out.substr(r.out.find('\n')), expected.out.substr(expected.out.find('\n')));
  }
}

TEST_F(BadInput, WorkFilesThatCannotBeWritten) {
  for (const std::string name : {"inpimage.ppm", "outimage.ppm"}) {
    Workspace ws(video(), model());
    fs::create_directory(ws / name);
    std::ofstream(ws / name / "inside.txt") << "untouched\n";
    // The reading side may have been written before the other one fails.
    std::vector<std::string> mayWrite;
    for (const std::string& other : kWorkFiles) {
      if (other != name) mayWrite.push_back(other);
    }
    expectCleanFailure(name + " is a directory", kRovelin, rovelinArgs("video.avi", "0", "1"), ws,
                       {name}, mayWrite);
    EXPECT_EQ(test_support::readFile(ws / name / "inside.txt"), "untouched\n");
  }
  // Only a cache is ever replaced by one: anything else at its name is refused before any work.
  {
    Workspace ws(video(), model());
    fs::create_directory(ws / "model.txt.cache");
    const ToolResult r = runTool(kRovelin, rovelinArgs("video.avi", "0", "1"), ws.path());
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err,
              "Error : the model cache \"model.txt.cache\" cannot be written: it is a "
              "directory (name another file with --cache, or use --no-cache)!\n");
    EXPECT_TRUE(fs::is_directory(ws / "model.txt.cache"));
    EXPECT_EQ(r.out, "");
  }
  // The training builder's work directory.
  {
    Workspace ws(video(), model());
    std::ofstream(ws / "labels.json") << kTwoClassLabels;
    fs::create_directory(ws / "work");
    fs::create_directory(ws / "work" / "inpimage.ppm");
    expectCleanFailure("rovelin-train, inpimage.ppm a directory", kTrain,
                       {"--workdir", "work", "-o", "out.txt", "video.avi", "1", "0:labels.json"},
                       ws, {"inpimage.ppm"});
  }
  // A read-only working directory stops writes only for other users than root.
  if (::geteuid() != 0) {
    Workspace ws(video(), model());
    fs::permissions(ws.path(), fs::perms::owner_write, fs::perm_options::remove);
    const ToolResult r = runTool(kRovelin, rovelinArgs("video.avi", "0", "1"), ws.path());
    fs::permissions(ws.path(), fs::perms::owner_write, fs::perm_options::add);
    // runTool itself cannot capture output in a read-only directory; only the
    // status is known then.
    EXPECT_GT(r.status, 0);
    EXPECT_LT(r.status, 128);
  }
}

TEST_F(BadInput, OutputsThatCannotBeWritten) {
  struct Case {
    std::string label;
    std::vector<std::string> options;
    std::string mention;
    std::function<void(const Workspace&)> prepare;
  };
  const std::vector<Case> cases = {
      {"--json into a missing directory", {"--json", "missing/run.json"}, "missing/run.json", {}},
      {"--json onto a directory",
       {"--json", "out"},
       "out",
       [](const Workspace& ws) { fs::create_directory(ws / "out"); }},
      {"--overlay onto a directory",
       {"--overlay", "out.png"},
       "out.png",
       [](const Workspace& ws) { fs::create_directory(ws / "out.png"); }},
      {"--overlay into a missing directory", {"--overlay", "missing/o.png"}, "missing/o.png", {}},
      {"--label-map into a missing directory",
       {"--label-map", "missing/l.png"},
       "missing/l.png",
       {}},
      {"--label-map onto a directory",
       {"--label-map", "l.png"},
       "l.png",
       [](const Workspace& ws) { fs::create_directory(ws / "l.png"); }},
      {"--save-frame into a missing directory",
       {"--save-frame", "missing/f.png"},
       "missing/f.png",
       {}},
      {"--json below a file", {"--json", "keep.txt/run.json"}, "keep.txt/run.json", {}},
  };
  for (const Case& c : cases) {
    Workspace ws(video(), model());
    if (c.prepare) c.prepare(ws);
    expectCleanFailure(c.label, kRovelin,
                       rovelinArgs("video.avi", "0", "1", "model.txt", c.options), ws, {c.mention},
                       kWorkFiles);
    EXPECT_FALSE(fs::exists(ws / "missing"));
  }
  // rovelin-train's output, on a scene it can learn from: the model is
  // ready before the write fails.
  const std::string demo = ROVELIN_DEMO_EXE;
  if (demo.empty()) GTEST_SKIP() << "rovelin-demo-scene not built";
  for (const std::string& output :
       {std::string("missing/model.txt"), std::string("keep.txt/m.txt")}) {
    Workspace ws(video(), model());
    const ToolResult made =
        runTool(demo, {"--size", "160x120", "--frames", "3", "scene"}, ws.path());
    ASSERT_EQ(made.status, 0) << made.err;
    std::ofstream(ws / "labels.json")
        << R"({"imageWidth": 160, "imageHeight": 120, "shapes": [)"
           R"({"label": "sky", "shape_type": "rectangle", "points": [[0,0],[159,15]]},)"
           R"({"label": "grass", "shape_type": "rectangle", "points": [[0,105],[159,119]]}]})";
    expectCleanFailure(
        "rovelin-train -o " + output, kTrain,
        {"-o", output, "scene/demo.avi", "1", "0:labels.json", "1:labels.json", "2:labels.json"},
        ws, {output}, kWorkFiles);
  }
}

}  // namespace
}  // namespace rovelin
