// SPDX-License-Identifier: Apache-2.0
// End to end: batches with frames in flight, runs to the end of the video
// and the annotated video, with the real executables on the demo scene.
#include "support/trained_demo_scene.hpp"

#include <nlohmann/json.hpp>
#include <opencv2/videoio.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace rovelin {
namespace {

using test_support::countOf;
using test_support::readFile;
using test_support::runTool;
using test_support::withoutTime;
namespace fs = std::filesystem;

const std::string kRovelin = ROVELIN_EXE;

// prefix + frame number + suffix.
std::string named(const std::string& prefix, int frame, const std::string& suffix) {
  std::ostringstream name;
  name << prefix << frame << suffix;
  return name.str();
}

struct VideoFacts {
  int frames = 0;
  cv::Size size;
  double fps = 0;
};

VideoFacts readVideo(const fs::path& path) {
  VideoFacts facts;
  cv::VideoCapture capture(path.string(), cv::CAP_FFMPEG);
  if (!capture.isOpened()) return facts;
  facts.fps = capture.get(cv::CAP_PROP_FPS);
  cv::Mat frame;
  while (capture.read(frame)) {
    ++facts.frames;
    facts.size = frame.size();
  }
  return facts;
}

class Batch : public test_support::TrainedDemoScene {};

TEST_F(Batch, FramesInFlightWriteExactlyWhatOneThreadWrites) {
  // Seven frames on three threads (as many in flight as there are cores):
  // more frames than threads, and a count that does not divide evenly.
  std::map<std::string, test_support::ToolResult> runs;
  for (const std::string threads : {"1", "3"}) {
    const fs::path work = folder("threads" + threads);
    for (int f = 0; f < 7; ++f) {
      fs::copy_file(dir->path() / named("labels_", f, ".png"), work / named("labels_", f, ".png"));
    }
    runs[threads] = runTool(
        kRovelin,
        {"--no-gui", "--threads", threads, "--frames", "0:7", "--classes", "classes.txt", "--json",
         "{frame}.json", "--label-map", "{frame}.png", "--overlay", "o{frame}.png",
         "--ground-truth", "labels_{frame}.png", "demo.avi", "0", "1", "model.txt"},
        work);
    ASSERT_EQ(runs[threads].status, 0) << runs[threads].err;
  }
  EXPECT_EQ(countOf(runs["1"].out, "Number of segments = "), 7);
  EXPECT_EQ(withoutTime(runs["3"].out), withoutTime(runs["1"].out));
  // Ground-truth scores in frame order; on fewer than 3 cores, --threads 3
  // first gets its one warning.
  std::string err3 = runs["3"].err;
  if (err3.rfind("Warning : --threads 3 ", 0) == 0) err3.erase(0, err3.find('\n') + 1);
  EXPECT_EQ(err3, runs["1"].err);
  EXPECT_EQ(countOf(runs["1"].err, "Pixel accuracy: "), 7);
  for (int f = 0; f < 7; ++f) {
    for (const std::string& name :
         {named("", f, ".json"), named("", f, ".png"), named("o", f, ".png")}) {
      const std::string one = readFile(dir->path() / "threads1" / name);
      EXPECT_FALSE(one.empty()) << name;
      EXPECT_EQ(readFile(dir->path() / "threads3" / name), one) << name;
    }
  }
  // The work files are left once, for the last frame, the same either way.
  for (const char* name : {"inpimage.ppm", "outimage.ppm"}) {
    EXPECT_FALSE(readFile(dir->path() / "threads1" / name).empty()) << name;
    EXPECT_EQ(readFile(dir->path() / "threads3" / name), readFile(dir->path() / "threads1" / name))
        << name;
  }
  // The first frame of a batch is the single-frame run of that frame: the
  // in-memory hand-off gives what the work files give.
  const fs::path single = folder("single");
  const auto run = runTool(
      kRovelin, {"--no-gui", "--json", "0.json", "demo.avi", "0", "1", "model.txt"}, single);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(readFile(single / "0.json"), readFile(dir->path() / "threads3" / "0.json"));
}

TEST_F(Batch, JsonLinesOnStandardOutputAndOneDegenerateWarningPerRun) {
  const fs::path work = folder("lines");
  // --min-size 5 gives every frame tiny regions with a degenerate covariance.
  auto run = [&work](std::vector<std::string> options) {
    options.insert(options.end(), {"--no-gui", "--min-size", "5", "--frames", "0:3", "demo.avi",
                                   "0", "1", "model.txt"});
    return runTool(kRovelin, options, work);
  };
  const auto lines = run({"--json", "-", "--threads", "2"});
  ASSERT_EQ(lines.status, 0) << lines.err;
  std::istringstream out(lines.out);
  std::string line;
  std::vector<int> frames;
  std::vector<nlohmann::json> objects;
  while (std::getline(out, line)) {
    objects.push_back(nlohmann::json::parse(line, nullptr, false));
    ASSERT_FALSE(objects.back().is_discarded()) << line;
    frames.push_back(objects.back()["frame"].get<int>());
  }
  EXPECT_EQ(frames, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(lines.out.back(), '\n');
  // The files of a run are still pretty-printed, and the report is as before.
  const auto files = run({"--json", "f{frame}.json"});
  ASSERT_EQ(files.status, 0) << files.err;
  EXPECT_EQ(countOf(files.out, "Number of segments = "), 3);
  EXPECT_EQ(nlohmann::json::parse(readFile(work / "f1.json")), objects.at(1));
  EXPECT_NE(readFile(work / "f1.json").find("\n  "), std::string::npos);

  // One warning line for the run; -v names the frames.
  const std::string warning = "Warning : 3 of 3 frames have regions with a degenerate covariance";
  EXPECT_EQ(countOf(files.err, "Warning : "), 1) << files.err;
  EXPECT_EQ(countOf(files.err, warning), 1) << files.err;
  const auto verbose = run({"-v"});
  EXPECT_EQ(countOf(verbose.err, warning), 1) << verbose.err;
  for (const char* frame : {"Warning : frame 0: ", "Warning : frame 1: ", "Warning : frame 2: "}) {
    EXPECT_EQ(countOf(verbose.err, frame), 1) << frame << verbose.err;
  }
  EXPECT_EQ(run({"-q"}).err, "");
}

// The threads of process `pid` that are running or waiting for a core.
int runnableThreads(pid_t pid) {
  int running = 0;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream stat(task.path() / "stat");
    std::string line;
    std::getline(stat, line);
    // "tid (name) S ...": the state follows the last ')'.
    const auto close = line.rfind(')');
    if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'R') ++running;
  }
  return running;
}

// Entities runnable on the whole machine right now (the fourth field of
// /proc/loadavg, "running/total").
int machineRunnable() {
  std::ifstream loadavg("/proc/loadavg");
  double one = 0, five = 0, fifteen = 0;
  int running = 0;
  loadavg >> one >> five >> fifteen >> running;
  return running;
}

TEST_F(Batch, ThreadsNeverOutnumberTheBudget) {
  // Frames in flight, each with its own loops, on --threads 2: sampled all
  // through the run, at most two threads do work at once. A thread that a
  // freed place wakes is runnable for an instant before it waits again, so
  // a sample may now and then catch a third: fewer than one in a hundred
  // do, where without the budget about one in ten did. On a busy machine a
  // woken thread can wait for a core much longer than an instant, so only
  // the samples taken while nothing else on the machine was runnable (other
  // tests, other builds) count.
  const fs::path work = folder("budget");
  std::string frames = "0:12";
  for (int pass = 0; pass < 5; ++pass) frames += ",0:12";
  const std::vector<std::string> args = {kRovelin, "--no-gui", "--threads", "2", "--frames",
                                         frames,   "demo.avi", "0",         "1", "model.txt"};
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (chdir(work.c_str()) != 0) _exit(127);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int most = 0;
  int samples = 0;
  int over = 0;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    const int before = machineRunnable();
    const int running = runnableThreads(pid);
    // This thread and the run's own are all the machine may be running.
    if (std::max(before, machineRunnable()) > running + 1) {
      usleep(500);
      continue;
    }
    most = std::max(most, running);
    over += running > 2 ? 1 : 0;
    ++samples;
    usleep(500);
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  if (samples < 50) GTEST_SKIP() << "the machine was never quiet enough to sample the run";
  EXPECT_LE(over * 100, samples * 3)
      << over << " of " << samples << " samples over two, up to " << most;
}

TEST_F(Batch, WholeVideosAndTheAnnotatedVideo) {
  const fs::path work = folder("whole");
  // Every frame once, in order, with its overlay in the video.
  const auto all =
      runTool(kRovelin,
              {"--no-gui", "--threads", "2", "--frames", "all", "--json", "all_{frame}.json",
               "--overlay-video", "all.avi", "demo.avi", "0", "1", "model.txt"},
              work);
  ASSERT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(all.err, "");
  EXPECT_EQ(countOf(all.out, "Number of segments = "), 12);
  for (int f = 0; f < 12; ++f) EXPECT_TRUE(fs::exists(work / named("all_", f, ".json")));
  EXPECT_FALSE(fs::exists(work / "all_12.json"));
  const double sourceFps = readVideo(work / "demo.avi").fps;
  const VideoFacts video = readVideo(work / "all.avi");
  EXPECT_EQ(video.frames, 12);
  EXPECT_EQ(video.size, cv::Size(320, 240));
  EXPECT_NEAR(video.fps, sourceFps, 1e-6);

  // START::STEP and START: end with the stream; the video's rate follows the step.
  const auto stepped =
      runTool(kRovelin,
              {"--no-gui", "--frames", "5::3", "--json", "s_{frame}.json", "--overlay-video",
               "stepped.mkv", "demo.avi", "0", "1", "model.txt"},
              work);
  ASSERT_EQ(stepped.status, 0) << stepped.err;
  EXPECT_EQ(countOf(stepped.out, "Number of segments = "), 3);  // 5, 8, 11
  for (int f : {5, 8, 11}) EXPECT_TRUE(fs::exists(work / named("s_", f, ".json")));
  const VideoFacts steppedVideo = readVideo(work / "stepped.mkv");
  EXPECT_EQ(steppedVideo.frames, 3);
  EXPECT_NEAR(steppedVideo.fps, sourceFps / 3, 0.01);
  const auto tail =
      runTool(kRovelin, {"--no-gui", "--frames", "10:", "demo.avi", "0", "1", "model.txt"}, work);
  ASSERT_EQ(tail.status, 0) << tail.err;
  EXPECT_EQ(countOf(tail.out, "Number of segments = "), 2);

  // A container that promises more frames than it holds (cut in half) ends
  // the run where its frames end, with one note.
  fs::copy_file(work / "demo.avi", work / "cut.avi");
  fs::resize_file(work / "cut.avi", fs::file_size(work / "cut.avi") / 2);
  const auto cut =
      runTool(kRovelin, {"--no-gui", "--frames", "all", "cut.avi", "0", "1", "model.txt"}, work);
  ASSERT_EQ(cut.status, 0) << cut.err;
  const std::string ends = "rovelin: the video ends after frame ";
  const std::size_t at = cut.err.find(ends);
  ASSERT_NE(at, std::string::npos) << cut.err;
  std::size_t digits = 0;
  const int last = std::stoi(cut.err.substr(at + ends.size()), &digits);
  EXPECT_EQ(cut.err.substr(at + ends.size() + digits),
            ", before the 12 frames its container reports\n");
  EXPECT_EQ(countOf(cut.out, "Number of segments = "), last + 1);
  EXPECT_LT(last, 11);

  // A stream that gives no frame count (raw Motion JPEG) is read to its end.
  test_support::writeVideo(work / "raw.mjpeg", 4, cv::Size(320, 240),
                           [](int i) { return test_support::blockFrame(i, cv::Size(320, 240)); });
  const auto raw =
      runTool(kRovelin, {"--no-gui", "--frames", "all", "raw.mjpeg", "0", "1", "model.txt"}, work);
  ASSERT_EQ(raw.status, 0) << raw.err;
  EXPECT_EQ(countOf(raw.out, "Number of segments = "), 4);
  // A frame asked for by number past its end is the usual read error.
  const auto past = runTool(kRovelin, {"--no-gui", "raw.mjpeg", "9", "1", "model.txt"}, work);
  EXPECT_EQ(past.status, 1);
  EXPECT_NE(past.err.find("Error : frame 9 of \"raw.mjpeg\" could not be read (the stream does not "
                          "give its frame count)!"),
            std::string::npos)
      << past.err;
  for (const auto& entry : fs::directory_iterator(work)) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
  }
}

TEST_F(Batch, OutputsThatCannotBeWrittenFailBeforeAnyWork) {
  const fs::path work = folder("refused");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--overlay-video", "v.xyz"},
       "Error : cannot write the video \"v.xyz\": its extension names no format this build can "
       "encode (use .avi, .mkv, .mp4 or .mov)!\n"},
      {{"--overlay-video", "missing/v.avi"},
       "Error : cannot write \"missing/v.avi\": its directory does not exist!\n"},
      {{"--frames", "all", "--overlay", "o.png"},
       "Error : with several frames, output file names must contain {frame} ('o.png' would be "
       "overwritten)!\n"},
      {{"--overlay-video", "demo.avi"},
       "Error : --overlay-video \"demo.avi\" names the video, which would be overwritten!\n"},
      {{"--frames", "4,2,4"},
       "Error : frame 4 is listed twice in --frames; its output files would be overwritten!\n"},
  };
  for (const auto& [options, message] : cases) {
    std::vector<std::string> args = {"--no-gui", "--json", "{frame}.json"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"demo.avi", "3", "1", "model.txt"});
    const auto run = runTool(kRovelin, args, work);
    EXPECT_NE(run.status, 0);
    EXPECT_EQ(run.err, message);
    EXPECT_EQ(run.out, "");
    for (const char* name : {"3.json", "0.json", "inpimage.ppm", "model.txt.cache", "v.xyz"}) {
      EXPECT_FALSE(fs::exists(work / name)) << name;
    }
  }
}

TEST_F(Batch, AKilledBatchLeavesOnlyCompleteFilesAndTemporaries) {
  const fs::path work = folder("killed");
  // Started in the background; killed once its first JSON file is in place.
  const std::string command = "cd " + test_support::shellQuote(work.string()) +
                              " && { env -u DISPLAY " + test_support::shellQuote(kRovelin) +
                              " --no-gui --threads 2 --frames all --json '{frame}.json'"
                              " --overlay-video annotated.avi demo.avi 0 1 model.txt"
                              " >/dev/null 2>&1 & echo $! > pid; }";
  ASSERT_EQ(std::system(command.c_str()), 0);
  bool started = false;
  for (int i = 0; i < 1200 && !started; ++i) {
    started = fs::exists(work / "0.json");
    if (!started) std::system("sleep 0.05");
  }
  const std::string pid = readFile(work / "pid");
  ASSERT_FALSE(pid.empty());
  std::system(("kill -9 " + pid + " 2>/dev/null; sleep 0.2").c_str());
  ASSERT_TRUE(started) << "the batch wrote no frame";
  EXPECT_FALSE(fs::exists(work / "annotated.avi"));  // only under its temporary name
  int complete = 0;
  for (const auto& entry : fs::directory_iterator(work)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".json" || name[0] == '.') continue;
    EXPECT_TRUE(nlohmann::json::accept(readFile(entry.path()))) << name;
    ++complete;
  }
  EXPECT_GE(complete, 1);
}

// Starts rovelin in `work` with standard error to `err`, not through a shell
// (a shell's background job ignores SIGINT).
pid_t startRovelin(const fs::path& work, const std::vector<std::string>& args,
                   const fs::path& err) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (::chdir(work.c_str()) != 0) ::_exit(127);
  const int out = ::open("/dev/null", O_WRONLY);
  const int log = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0 || log < 0 || ::dup2(out, 1) < 0 || ::dup2(log, 2) < 0) ::_exit(127);
  ::unsetenv("DISPLAY");
  std::vector<char*> argv = {const_cast<char*>(kRovelin.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  ::execv(kRovelin.c_str(), argv.data());
  ::_exit(127);
}

int jsonFilesIn(const fs::path& folder) {
  int n = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    n += entry.path().extension() == ".json" && entry.path().filename().string()[0] != '.';
  }
  return n;
}

// Waits until `folder` holds `count` frame files; false after a minute.
bool waitForFrames(const fs::path& folder, int count) {
  for (int i = 0; i < 3000; ++i) {
    if (jsonFilesIn(folder) >= count) return true;
    ::usleep(20'000);
  }
  return false;
}

TEST_F(Batch, AnInterruptFinishesTheFramesInFlightAndAResumeDoesTheRest) {
  const fs::path work = folder("interrupted");
  fs::create_directory(work / "out");
  const std::vector<std::string> args = {
      "--no-gui", "--threads",        "2",        "--frames", "0:12", "--skip-existing",
      "--json",   "out/{frame}.json", "demo.avi", "0",        "1",    "model.txt"};
  const pid_t batch = startRovelin(work, args, work / "err.txt");
  ASSERT_GT(batch, 0);
  const bool started = waitForFrames(work / "out", 2);
  ::kill(batch, SIGTERM);  // as Slurm at a time limit
  int status = 0;
  ASSERT_EQ(::waitpid(batch, &status, 0), batch);
  ASSERT_TRUE(started);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 143);
  const int written = jsonFilesIn(work / "out");
  EXPECT_LT(written, 12);
  EXPECT_THAT(readFile(work / "err.txt"),
              testing::EndsWith("rovelin: interrupted after " + std::to_string(written) +
                                " of 12 frames\n"));
  for (const auto& entry : fs::directory_iterator(work / "out")) {
    EXPECT_TRUE(nlohmann::json::accept(readFile(entry.path()))) << entry.path();
  }
  const auto resumed = runTool(kRovelin, args, work);
  ASSERT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_THAT(resumed.err,
              testing::HasSubstr("frames skipped (outputs in place): " + std::to_string(written) +
                                 ", done: " + std::to_string(12 - written)));
  EXPECT_EQ(jsonFilesIn(work / "out"), 12);

  // A second signal ends the process at once, without waiting for the frames.
  const fs::path again = folder("twice");
  const pid_t second =
      startRovelin(again,
                   {"--no-gui", "--threads", "1", "--frames", "0:12", "--json", "{frame}.json",
                    "--overlay-video", "v.avi", "demo.avi", "0", "1", "model.txt"},
                   again / "err.txt");
  ASSERT_TRUE(waitForFrames(again, 1));
  // Two signals sent before the process runs merge into one: repeat the
  // second until the process is gone.
  ::kill(second, SIGINT);
  pid_t ended = 0;
  for (int tries = 0; tries < 1000 && ended == 0; ++tries) {
    ::usleep(10'000);
    ended = ::waitpid(second, &status, WNOHANG);
    if (ended == 0) ::kill(second, SIGINT);
  }
  if (ended == 0) ended = ::waitpid(second, &status, 0);
  ASSERT_EQ(ended, second);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
}

}  // namespace
}  // namespace rovelin
