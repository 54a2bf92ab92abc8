// SPDX-License-Identifier: Apache-2.0
// Runs the real executables for end-to-end tests, and makes the small videos
// and training-data files they read.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace rovelin::test_support {

namespace fs = std::filesystem;

struct ToolResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;  // standard output
  std::string err;  // standard error
};

inline std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

// The report with every segmentation time replaced by T: the figures vary
// from run to run, the rest of the line does not.
inline std::string withoutTime(const std::string& out) {
  const std::string mark = "Time taken = ";
  std::string masked;
  std::size_t from = 0;
  for (std::size_t at = out.find(mark); at != std::string::npos; at = out.find(mark, from)) {
    const std::size_t value = at + mark.size();
    const std::size_t end = out.find(' ', value);
    if (end == std::string::npos) break;
    masked.append(out, from, value - from);
    masked += 'T';
    from = end;
  }
  masked.append(out, from, std::string::npos);
  return masked;
}

// How many times `word` occurs in `text`.
inline int countOf(const std::string& text, const std::string& word) {
  int n = 0;
  for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
  return n;
}

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs `exe args...` in `directory` without a display, standard input empty.
inline ToolResult runTool(const std::string& exe, const std::vector<std::string>& args,
                          const fs::path& directory) {
  const fs::path out = directory / ".tool_stdout";
  const fs::path err = directory / ".tool_stderr";
  std::string command = "cd ";
  command += shellQuote(directory.string());
  command += " && env -u DISPLAY -u WAYLAND_DISPLAY ";
  command += shellQuote(exe);
  for (const std::string& arg : args) {
    command += ' ';
    command += shellQuote(arg);
  }
  command += " </dev/null >";
  command += shellQuote(out.string());
  command += " 2>";
  command += shellQuote(err.string());
  const int raw = std::system(command.c_str());
  ToolResult result;
  if (WIFEXITED(raw)) {
    result.status = WEXITSTATUS(raw);
  } else if (WIFSIGNALED(raw)) {
    result.status = 128 + WTERMSIG(raw);
  }
  result.out = readFile(out);
  result.err = readFile(err);
  fs::remove(out);
  fs::remove(err);
  return result;
}

// Writes an MJPG AVI of `frames` frames made by `draw(index)` (CV_8UC3).
inline void writeVideo(const fs::path& path, int frames, cv::Size size,
                       const std::function<cv::Mat(int)>& draw, double fps = 10.0) {
  cv::VideoWriter writer(path.string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), fps, size);
  if (!writer.isOpened()) {
    throw std::runtime_error("cannot write the test video " + path.string());
  }
  for (int i = 0; i < frames; ++i) {
    writer.write(draw(i));
  }
}

// A frame with a flat colour per frame index and two blocks, so a frame can
// be told apart after compression by its mean colour.
inline cv::Mat blockFrame(int index, cv::Size size) {
  cv::Mat frame(size, CV_8UC3, cv::Scalar(40 + 8 * (index % 20), 90, 160));
  cv::rectangle(frame, cv::Rect(size.width / 8, size.height / 8, size.width / 3, size.height / 3),
                cv::Scalar(20, 200, 60), cv::FILLED);
  cv::circle(frame, cv::Point(size.width * 2 / 3, size.height * 2 / 3), size.height / 5,
             cv::Scalar(220, 220, 30), cv::FILLED);
  return frame;
}

// A training-data file of `perClass` samples for each named class: random
// well-conditioned SPD matrices of order d, each class around its own scale,
// with a uniform context matrix.
inline void writeModelFile(const fs::path& path, const std::vector<std::string>& classes,
                           int perClass = 3, int d = 10, unsigned seed = 7) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> entry(-1.0, 1.0);
  std::ofstream out(path);
  const int k = static_cast<int>(classes.size());
  out << perClass * k << " " << d << " " << k << "\n";
  for (const std::string& name : classes) out << perClass << " " << name << "\n";
  for (int r = 0; r < k; ++r) {
    for (int c = 0; c < k; ++c) out << (r == c ? 1.0 : 0.5) << " ";
    out << "\n";
  }
  out.precision(17);
  for (int s = 0; s < perClass * k; ++s) {
    const int cls = s % k;
    std::vector<double> a(static_cast<std::size_t>(d * d));
    for (double& v : a) v = entry(random);
    out << cls + 1;
    for (int i = 0; i < d; ++i) {
      for (int j = 0; j <= i; ++j) {
        double sum = (i == j ? d * (1.0 + cls) : 0.0);
        for (int m = 0; m < d; ++m)
          sum += a[static_cast<std::size_t>(i * d + m)] * a[static_cast<std::size_t>(j * d + m)];
        out << " " << sum * 1e-3 * (1 + cls);
      }
    }
    out << "\n";
  }
}

}  // namespace rovelin::test_support
