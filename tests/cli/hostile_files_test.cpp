// SPDX-License-Identifier: Apache-2.0
// The real executables against what other files, other runs and a full or
// read-only disk can do to them: outputs are complete or absent, nothing that
// is not the tool's own is overwritten, a run reads only its own work files,
// and a damaged cache costs time, never a wrong or failed run.
#include "model/model_cache.hpp"
#include "support/tool_runner.hpp"
#include "util/atomic_file.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace rovelin {
namespace {

namespace fs = std::filesystem;
using test_support::readFile;
using test_support::runTool;
using test_support::TempDir;
using test_support::ToolResult;
using test_support::withoutTime;

const std::string kRovelin = ROVELIN_EXE;
const std::string kTrain = ROVELIN_TRAIN_EXE;
constexpr int kFrames = 8;

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> args(std::vector<std::string> options, const std::string& frame = "3",
                              const std::string& model = "model.txt") {
  options.insert(options.begin(), "--no-gui");
  options.insert(options.end(), {"video.avi", frame, "1", model});
  return options;
}

// The temporaries writeFileAtomically leaves only when a run is killed.
std::vector<std::string> temporariesIn(const fs::path& dir) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".tmp-") != std::string::npos) found.push_back(name);
  }
  return found;
}

// Runs several command lines at once in `dir`; command i writes its
// standard output to out_i.txt and its standard error to err_i.txt.
void runTogether(const fs::path& dir, const std::vector<std::vector<std::string>>& commands) {
  std::string script = "cd " + test_support::shellQuote(dir.string()) + " && (";
  for (std::size_t i = 0; i < commands.size(); ++i) {
    script += "env -u DISPLAY -u WAYLAND_DISPLAY " + test_support::shellQuote(kRovelin);
    for (const std::string& a : commands[i]) {
      script += ' ';
      script += test_support::shellQuote(a);
    }
    script +=
        " </dev/null >out_" + std::to_string(i) + ".txt 2>err_" + std::to_string(i) + ".txt & ";
  }
  script += "wait)";
  ASSERT_EQ(std::system(script.c_str()), 0);
}

// A small tmpfs at `dir`, unmounted when it goes; `mounted` is false where
// this process may not mount (not root, or no such permission).
class SmallFileSystem {
public:
  SmallFileSystem(const fs::path& dir, const std::string& size) : dir_(dir) {
    fs::create_directories(dir);
    mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  bool remountReadOnly() {
    return ::mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }
  // Fills the file system up with one file.
  void fill() const {
    std::ofstream out(dir_ / "filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (out.write(block.data(), static_cast<std::streamsize>(block.size()))) {
    }
  }

private:
  fs::path dir_;
  bool mounted_ = false;
};

class HostileFiles : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    shared_ = new TempDir();
    test_support::writeVideo(*shared_ / "video.avi", kFrames, cv::Size(96, 72),
                             [](int i) { return test_support::blockFrame(i, cv::Size(96, 72)); });
    test_support::writeModelFile(*shared_ / "model.txt", {"sky", "road", "car"}, 4);
  }
  // The report of frame f from a run on its own, made once per test process.
  static const std::string& reference(int f) {
    static std::map<int, std::string> reports;
    if (!reports.count(f)) {
      const ToolResult r =
          runTool(kRovelin, args({"--no-cache"}, std::to_string(f)), shared_->path());
      EXPECT_EQ(r.status, 0) << r.err;
      reports[f] = withoutTime(r.out);
    }
    return reports[f];
  }
  static void TearDownTestSuite() {
    delete shared_;
    shared_ = nullptr;
  }
  // A fresh folder holding the video and the model.
  void SetUp() override {
    fs::copy_file(*shared_ / "video.avi", dir_ / "video.avi");
    fs::copy_file(*shared_ / "model.txt", dir_ / "model.txt");
  }

  static TempDir* shared_;
  TempDir dir_;
};

TempDir* HostileFiles::shared_ = nullptr;

TEST_F(HostileFiles, OnlyACacheIsEverReplacedByTheCache) {
  std::ofstream(dir_ / "notes.txt") << "my notes\n";
  fs::create_directory(dir_ / "folder");
  ::mkfifo((dir_ / "pipe").c_str(), 0644);
  const std::string video = readFile(dir_ / "video.avi");
  const std::string model = readFile(dir_ / "model.txt");
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"video.avi", "it is the video"},
      {"model.txt", "it is the training file"},
      {"notes.txt", "it is not a model cache of rovelin, and only a cache is ever replaced"},
      {"folder", "it is a directory"},
      {"pipe", "it is not a regular file"},
  };
  for (const auto& [name, why] : refused) {
    const ToolResult r = runTool(kRovelin, args({"--cache", name}), dir_.path());
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.err, "Error : the model cache \"" + name + "\" cannot be written: " + why +
                         " (name another file with --cache, or use --no-cache)!\n");
    EXPECT_EQ(r.out, "") << name;
  }
  EXPECT_EQ(readFile(dir_ / "video.avi"), video);
  EXPECT_EQ(readFile(dir_ / "model.txt"), model);
  EXPECT_EQ(readFile(dir_ / "notes.txt"), "my notes\n");
  EXPECT_TRUE(fs::is_fifo(dir_ / "pipe"));
  EXPECT_FALSE(fs::exists(dir_ / "inpimage.ppm"));  // refused before any work

  // --prepare-cache makes the cache and nothing else; a run then reads it.
  ToolResult r =
      runTool(kRovelin, {"--prepare-cache", "model.txt", "--cache", "m.cache"}, dir_.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "rovelin: wrote the model cache \"m.cache\"\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(fs::exists(dir_ / "inpimage.ppm"));
  r = runTool(kRovelin, {"--prepare-cache", "model.txt", "--cache", "m.cache"}, dir_.path());
  EXPECT_EQ(r.err, "rovelin: the model cache \"m.cache\" is up to date\n");
  r = runTool(kRovelin, {"--prepare-cache", "model.txt", "--cache", "notes.txt"}, dir_.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(readFile(dir_ / "notes.txt"), "my notes\n");
  r = runTool(kRovelin, args({"--cache", "m.cache"}), dir_.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(withoutTime(r.out), reference(3));
}

TEST_F(HostileFiles, ACacheAlteredOnPurposeIsIgnoredAndRewritten) {
  ToolResult r = runTool(kRovelin, {"--prepare-cache", "model.txt"}, dir_.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const CacheKey key = cacheKeyOf(readFile(dir_ / "model.txt"));
  std::string why;
  auto classes = decodeModelCache(readFile(dir_ / "model.txt.cache"), key, why);
  ASSERT_TRUE(classes) << why;
  // Well formed, checksum right, values wrong: a negative bandwidth, then
  // a class of the wrong size.
  std::vector<std::vector<PreparedClass>> altered(2, *classes);
  altered[0][1].bandwidth = -1.0;
  altered[1][2].distances = Eigen::MatrixXd::Zero(2, 2);
  const std::vector<std::string> reasons = {
      "it is damaged (values)", "it is damaged (its size does not fit the training file)"};
  for (std::size_t i = 0; i < altered.size(); ++i) {
    writeFile(dir_ / "model.txt.cache", encodeModelCache(key, altered[i]));
    r = runTool(kRovelin, args({}), dir_.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err,
              "rovelin: note: ignoring the model cache \"model.txt.cache\": " + reasons[i] + "\n");
    EXPECT_EQ(withoutTime(r.out), reference(3));
    EXPECT_TRUE(decodeModelCache(readFile(dir_ / "model.txt.cache"), key, why)) << why;
  }
}

TEST_F(HostileFiles, AFullDiskLeavesEveryOutputWholeOrAbsent) {
  SmallFileSystem disk(dir_ / "disk", "256k");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  const fs::path work = dir_ / "work";
  fs::create_directory(work);
  const std::vector<std::string> outputs = {"--label-map",   "disk/map.png", "--json",
                                            "disk/run.json", "--overlay",    "disk/overlay.png",
                                            "--workdir",     "work"};
  ToolResult r = runTool(kRovelin, args(outputs, "2"), dir_.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string map = readFile(dir_ / "disk/map.png");
  const std::string json = readFile(dir_ / "disk/run.json");
  const std::string overlay = readFile(dir_ / "disk/overlay.png");

  disk.fill();
  r = runTool(kRovelin, args(outputs, "5"), dir_.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
  // The last run's files are untouched, and nothing half-written is left.
  EXPECT_EQ(readFile(dir_ / "disk/map.png"), map);
  EXPECT_EQ(readFile(dir_ / "disk/run.json"), json);
  EXPECT_EQ(readFile(dir_ / "disk/overlay.png"), overlay);
  EXPECT_EQ(temporariesIn(dir_ / "disk"), std::vector<std::string>{});

  // The trainer's file and the cache under the same conditions.
  // The green block and a strip of the background of two frames: two samples a class.
  std::ofstream(dir_ / "labels.json")
      << R"({"imageWidth": 96, "imageHeight": 72, "shapes": [)"
         R"({"label": "block", "shape_type": "rectangle", "points": [[12,9],[43,32]]},)"
         R"({"label": "ground", "shape_type": "rectangle", "points": [[0,66],[95,71]]}]})";
  r = runTool(kTrain, {"-o", "disk/model.txt", "video.avi", "1", "0:labels.json", "3:labels.json"},
              dir_.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir_ / "disk/model.txt"));
  r = runTool(kRovelin, args({"--cache", "disk/model.cache", "--workdir", "work"}), dir_.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(withoutTime(r.out), reference(3));
  EXPECT_EQ(r.err,
            "rovelin: note: the model cache \"disk/model.cache\" was not written (cannot write "
            "\"disk/model.cache\": No space left on device); the model was prepared in memory "
            "for this run\n");
  EXPECT_EQ(temporariesIn(dir_ / "disk"), std::vector<std::string>{});
}

TEST_F(HostileFiles, AModelFolderThatCannotBeWrittenStillWorks) {
  SmallFileSystem disk(dir_ / "models", "1m");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  fs::copy_file(dir_ / "model.txt", dir_ / "models/model.txt");
  ASSERT_TRUE(disk.remountReadOnly());
  const ToolResult r = runTool(kRovelin, args({}, "3", "models/model.txt"), dir_.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(withoutTime(r.out), reference(3));
  EXPECT_EQ(r.err,
            "rovelin: note: the model cache \"models/model.txt.cache\" was not written (cannot "
            "write \"models/model.txt.cache\": Read-only file system); the model was prepared in "
            "memory for this run\n");
}

TEST_F(HostileFiles, LinksDevicesAndStandardOutput) {
  // Work files never follow a link: the links are replaced, their targets untouched.
  std::ofstream(dir_ / "precious.txt") << "precious\n";
  fs::create_symlink("precious.txt", dir_ / "inpimage.ppm");
  fs::create_symlink("created-by-link.ppm", dir_ / "outimage.ppm");
  // An output the user names follows its link, as a shell redirection would.
  std::ofstream(dir_ / "real.json") << "old\n";
  fs::create_symlink("real.json", dir_ / "link.json");
  fs::create_symlink("fresh.json", dir_ / "dangling.json");
  ToolResult r = runTool(kRovelin, args({"--json", "link.json"}), dir_.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(dir_ / "precious.txt"), "precious\n");
  EXPECT_FALSE(fs::exists(dir_ / "created-by-link.ppm"));
  EXPECT_FALSE(fs::is_symlink(dir_ / "inpimage.ppm"));
  EXPECT_EQ(readFile(dir_ / "outimage.ppm").substr(0, 3), "P6\n");
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.json"));
  EXPECT_EQ(readFile(dir_ / "real.json").substr(0, 2), "{\n");
  r = runTool(kRovelin, args({"--json", "dangling.json"}), dir_.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_symlink(dir_ / "dangling.json"));
  EXPECT_EQ(readFile(dir_ / "fresh.json"), readFile(dir_ / "real.json"));

  // "-" and a pipe are written directly; a pipe is never replaced by a file.
  // On standard output the JSON is one line, and the report stays out of it.
  r = runTool(kRovelin, args({"--json", "-"}), dir_.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  EXPECT_EQ(nlohmann::json::parse(r.out), nlohmann::json::parse(readFile(dir_ / "real.json")));
  ASSERT_EQ(::mkfifo((dir_ / "pipe.json").c_str(), 0644), 0);
  std::string piped;
  std::thread reader([&] { piped = readFile(dir_ / "pipe.json"); });
  r = runTool(kRovelin, args({"--json", "pipe.json"}), dir_.path());
  reader.join();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_fifo(dir_ / "pipe.json"));
  EXPECT_EQ(piped, readFile(dir_ / "real.json"));
  // A character device (a null device made here) stays a device.
  if (::mknod((dir_ / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
    r = runTool(kRovelin, args({"--json", "null"}), dir_.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_character_file(dir_ / "null"));
  }
  EXPECT_EQ(temporariesIn(dir_.path()), std::vector<std::string>{});
}

TEST_F(HostileFiles, RunsSharingAFolderEachGetTheirOwnResult) {
  std::vector<std::vector<std::string>> singles;
  for (int f = 0; f < kFrames; ++f) singles.push_back(args({}, std::to_string(f)));
  ASSERT_EQ(runTool(kRovelin, {"--prepare-cache", "model.txt"}, dir_.path()).status, 0);
  runTogether(dir_.path(), singles);
  for (int f = 0; f < kFrames; ++f) {
    const std::string n = std::to_string(f);
    EXPECT_EQ(withoutTime(readFile(dir_ / ("out_" + n + ".txt"))), reference(f)) << "frame " << f;
    EXPECT_EQ(readFile(dir_ / ("err_" + n + ".txt")), "") << "frame " << f;
  }
  // Two batches over different frames, in the same folder.
  runTogether(dir_.path(), {args({"--frames", "0,2,4,6"}), args({"--frames", "1,3,5,7"})});
  std::string even, odd;
  for (int f = 0; f < kFrames; ++f) (f % 2 == 0 ? even : odd) += reference(f);
  EXPECT_EQ(withoutTime(readFile(dir_ / "out_0.txt")), even);
  EXPECT_EQ(withoutTime(readFile(dir_ / "out_1.txt")), odd);

  // Many runs preparing one model at once: one whole cache ends in place.
  fs::remove(dir_ / "model.txt.cache");
  runTogether(dir_.path(), singles);
  for (int f = 0; f < kFrames; ++f) {
    EXPECT_EQ(withoutTime(readFile(dir_ / ("out_" + std::to_string(f) + ".txt"))), reference(f));
  }
  std::string why;
  EXPECT_TRUE(decodeModelCache(readFile(dir_ / "model.txt.cache"),
                               cacheKeyOf(readFile(dir_ / "model.txt")), why))
      << why;
  EXPECT_EQ(temporariesIn(dir_.path()), std::vector<std::string>{});
}

TEST_F(HostileFiles, TemporariesOfKilledRunsAreRemoved) {
  // Names as a process of this host would leave them: one whose process is
  // gone, one of a live process (this one), one from another host.
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);
  const std::string mine = temporaryNameFor(dir_ / "outimage.ppm").filename().string();
  const std::string self = "-" + std::to_string(::getpid()) + "-";
  std::string dead = mine;
  dead.replace(dead.find(self), self.size(), "-" + std::to_string(child) + "-");
  const std::string foreign = ".run.json.tmp-otherhost-" + std::to_string(child) + "-0";
  // An annotated video's temporary carries its extension for the encoder.
  const std::string deadVideo = dead + ".avi";
  // The PID of a process in another PID namespace looks dead here: its lock
  // tells that it is at work. A file younger than the run is never a leftover.
  const std::string locked = dead + ".mkv";
  const std::string young = dead + ".mp4";
  for (const std::string& name : {dead, deadVideo, mine, foreign, locked, young}) {
    std::ofstream(dir_ / name) << std::string(1000, 'x');
  }
  const int lock = ::open((dir_ / locked).c_str(), O_RDONLY);
  ASSERT_EQ(::flock(lock, LOCK_SH), 0);
  const struct timespec later[2] = {{std::time(nullptr) + 3600, 0}, {std::time(nullptr) + 3600, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (dir_ / young).c_str(), later, 0), 0);
  const ToolResult r = runTool(kRovelin, args({}), dir_.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(dir_ / dead));
  EXPECT_FALSE(fs::exists(dir_ / deadVideo));
  EXPECT_TRUE(fs::exists(dir_ / mine));
  EXPECT_TRUE(fs::exists(dir_ / foreign));
  EXPECT_TRUE(fs::exists(dir_ / locked));
  EXPECT_TRUE(fs::exists(dir_ / young));
  ::close(lock);
}

TEST_F(HostileFiles, TheTrainerNeverWritesAModelTheLoaderRefuses) {
  std::ofstream(dir_ / "old.txt") << "the last good model\n";
  const std::vector<std::pair<std::string, std::string>> labels = {
      {"blue sky",
       "class 1 \"blue sky\" cannot be a class name of a model: it holds a blank or line break"},
      {"", "class 1 \"\" cannot be a class name of a model: it is empty"},
      {std::string(300, 'x'),
       "class 1 \"" + std::string(40, 'x') +
           "...\" cannot be a class name of a model: it is longer than 256 characters"},
  };
  for (const auto& [label, message] : labels) {
    nlohmann::json doc = {{"imageWidth", 96}, {"imageHeight", 72}};
    doc["shapes"] = {
        {{"label", label}, {"shape_type", "rectangle"}, {"points", {{0, 0}, {95, 8}}}},
        {{"label", "grass"}, {"shape_type", "rectangle"}, {"points", {{0, 62}, {95, 71}}}}};
    writeFile(dir_ / "labels.json", doc.dump());
    const ToolResult r =
        runTool(kTrain, {"-o", "old.txt", "video.avi", "1", "0:labels.json"}, dir_.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error : " + message + " (a name is one word of at most 256 characters)!\n");
    EXPECT_EQ(readFile(dir_ / "old.txt"), "the last good model\n");
  }
}

TEST_F(HostileFiles, TrainingFilesThatAreNotFilesFailAtOnce) {
  ToolResult r = runTool(kRovelin, args({}, "3", "/dev/zero"), dir_.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "Error : /dev/zero: line 1, token 1: expected the number of samples N, found a "
            "token longer than 256 characters!\n");
  fs::create_directory(dir_ / "models");
  r = runTool(kRovelin, args({}, "3", "models"), dir_.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "unable to open file\nError : models: is a directory, not a training data file!\n");
}

TEST_F(HostileFiles, CommandLinesThatLookRightButAreNot) {
  // Two outputs with one name, or an output over an input: refused before any work.
  ToolResult r =
      runTool(kRovelin, args({"--overlay", "a.png", "--label-map", "./a.png"}), dir_.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "Error : --overlay and --label-map both write \"./a.png\"; give every output its "
            "own file name!\n");
  r = runTool(kRovelin, args({"--json", "model.txt"}), dir_.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "Error : --json \"model.txt\" names the training file, which would be overwritten!\n");
  EXPECT_FALSE(fs::exists(dir_ / "inpimage.ppm"));
  const std::string video = readFile(dir_ / "video.avi");
  r = runTool(kTrain, {"-o", "video.avi", "video.avi", "1", "0:labels.json"}, dir_.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error : -o \"video.avi\" names the video, which would be overwritten!\n");
  EXPECT_EQ(readFile(dir_ / "video.avi"), video);

  // FRAME and FACTOR keep their lenient reading, with a warning.
  r = runTool(kRovelin, args({}, "3e3"), dir_.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "Warning : FRAME '3e3' is not a whole number; it reads as 3\n");
  EXPECT_EQ(withoutTime(r.out), reference(3));

  // The decoder's own complaints about a damaged video stay quiet unless asked for.
  std::string damagedVideo = video;
  for (std::size_t at = video.size() / 4; at + 16 < video.size(); at += 397)
    damagedVideo[at] ^= 0x55;
  writeFile(dir_ / "damaged.avi", damagedVideo);
  std::vector<std::string> damaged = args({});
  damaged[damaged.size() - 4] = "damaged.avi";
  r = runTool(kRovelin, damaged, dir_.path());
  EXPECT_EQ(r.err.find("@ 0x"), std::string::npos) << r.err;
  damaged.insert(damaged.begin(), "-v");
  r = runTool(kRovelin, damaged, dir_.path());
  EXPECT_NE(r.err.find("@ 0x"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace rovelin
