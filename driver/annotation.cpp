#include "driver/annotation.hpp"

#include "classifier/region_classifier.hpp"
#include "driver/batch_plan.hpp"
#include "driver/label_map.hpp"
#include "driver/model_loading.hpp"
#include "driver/model_settings.hpp"
#include "driver/outputs.hpp"
#include "driver/video_frame_source.hpp"
#include "features/feature_planes.hpp"
#include "segmentation/grid_image.hpp"
#include "statistics/parallel.hpp"

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/highgui.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>

#include <unistd.h>

namespace rovelin {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct StageTimes {
  double model = 0;
  double grab = 0;
  double segmentation = 0;
  double regions = 0;
  double classification = 0;
  double labelling = 0;
  double report = 0;
};

void printTimings(std::ostream& err, const StageTimes& t, int frame, bool includeModel) {
  auto line = [&err](const char* stage, double seconds) {
    err << "  " << std::left << std::setw(22) << stage << std::right << std::fixed
        << std::setprecision(3) << std::setw(9) << seconds * 1000.0 << " ms" << std::endl;
    err.unsetf(std::ios::floatfield);
    err << std::setprecision(6);
  };
  err << "Timings for frame " << frame << ":" << std::endl;
  if (includeModel) line("model preparation", t.model);
  line("grab", t.grab);
  line("segmentation", t.segmentation);
  line("features and regions", t.regions);
  line("classification", t.classification);
  line("labelling", t.labelling);
  line("report", t.report);
}

// The walk through the masks ends early on Escape or q.
bool endsWalk(int key) {
  key &= 0xFF;
  return key == 27 || key == 'q' || key == 'Q';
}

void evaluate(std::ostream& err, const cv::Mat& truth, const RegionSet& seg,
              const Eigen::VectorXd& labels, const std::vector<std::string>& names) {
  const int classCount = static_cast<int>(names.size());
  std::vector<long long> intersection(static_cast<std::size_t>(classCount), 0);
  std::vector<long long> predicted(static_cast<std::size_t>(classCount), 0);
  std::vector<long long> actual(static_cast<std::size_t>(classCount), 0);
  long long labelled = 0;
  long long correct = 0;
  for (int y = 0; y < truth.rows; ++y) {
    const int* t = truth.ptr<int>(y);
    const int* index = seg.indexImage.ptr<int>(y);
    for (int x = 0; x < truth.cols; ++x) {
      if (t[x] <= 0) {
        continue;  // unlabelled
      }
      const int want = t[x] - 1;
      const int got = static_cast<int>(labels[index[x]]);
      ++labelled;
      ++actual[static_cast<std::size_t>(want)];
      ++predicted[static_cast<std::size_t>(got)];
      if (want == got) {
        ++correct;
        ++intersection[static_cast<std::size_t>(want)];
      }
    }
  }
  err << std::fixed << std::setprecision(4);
  if (labelled == 0) {
    err << "Ground truth: no labelled pixels" << std::endl;
  } else {
    err << "Pixel accuracy: " << static_cast<double>(correct) / static_cast<double>(labelled)
        << " (" << correct << " of " << labelled << " labelled pixels)" << std::endl;
  }
  for (int k = 0; k < classCount; ++k) {
    const auto u = static_cast<std::size_t>(k);
    const long long unionCount = actual[u] + predicted[u] - intersection[u];
    err << "IoU " << names[u] << ": ";
    if (unionCount == 0) {
      err << "n/a (absent from both)";
    } else {
      err << static_cast<double>(intersection[u]) / static_cast<double>(unionCount);
    }
    err << std::endl;
  }
  err.unsetf(std::ios::floatfield);
  err << std::setprecision(6);
}

}  // namespace

void quietImageLibrary() {
  if (std::getenv("OPENCV_LOG_LEVEL") == nullptr) {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  }
}

bool displayAvailable() {
  namespace fs = std::filesystem;
  // The GUI library aborts the whole process when it cannot reach the display
  // it is told to use, so a local display is only trusted when its socket
  // is there. Remote displays (host:N) are taken on trust.
  if (const char* wayland = std::getenv("WAYLAND_DISPLAY"); wayland != nullptr && *wayland != '\0') {
    const fs::path socket(wayland);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (socket.is_absolute() ? fs::exists(socket)
                             : runtime != nullptr && fs::exists(fs::path(runtime) / socket)) {
      return true;
    }
  }
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    return false;
  }
  const std::string name(display);
  const std::size_t colon = name.rfind(':');
  if (colon == std::string::npos) {
    return false;
  }
  const std::string host = name.substr(0, colon);
  if (!host.empty() && host != "unix" && host != "localhost") {
    return true;
  }
  const std::string number = name.substr(colon + 1, name.find('.', colon) - colon - 1);
  return fs::exists("/tmp/.X11-unix/X" + number);
}

namespace {

// Class names of the model with their display colours (BGR, from --classes
// where it gives one) and the entries label maps are read against.
struct ClassTable {
  std::vector<std::string> names;
  std::vector<std::optional<cv::Vec3b>> palette;
  std::vector<ClassEntry> entries;
};

ClassTable makeClassTable(const RegionClassifier& model, const std::string& classListPath) {
  ClassTable table;
  for (int k = 0; k < model.classCount; ++k) {
    table.names.push_back(model.trainingClass(k).name);
  }
  table.palette.resize(table.names.size());
  table.entries.resize(table.names.size());
  const std::vector<ClassEntry> listed =
      classListPath.empty() ? std::vector<ClassEntry>{} : readClassList(classListPath);
  for (std::size_t k = 0; k < table.names.size(); ++k) {
    table.entries[k].name = table.names[k];
    for (const ClassEntry& entry : listed) {
      if (entry.name == table.names[k] && entry.colour) {
        const cv::Vec3b rgb = *entry.colour;
        table.entries[k].colour = rgb;
        table.palette[k] = cv::Vec3b(rgb[2], rgb[1], rgb[0]);
      }
    }
  }
  return table;
}

// Clears a progress line before anything else is written on the terminal.
void clearProgress(std::ostream& err, bool progress) {
  if (progress) err << "\r\033[K" << std::flush;
}

}  // namespace

int runAnnotation(const Options& options, std::ostream& out, std::ostream& err) {
  std::vector<int> frames = requestedFrames(options);
  if (options.countFrames) {
    out << frames.size() << std::endl;
    return kExitSuccess;
  }
  const bool progress = &err == &std::cerr && ::isatty(STDERR_FILENO) == 1;
  bool gui = options.gui;
  if (gui && !displayAvailable()) {
    err << "rovelin: no display available; running without windows (--no-gui silences this)"
        << std::endl;
    gui = false;
  }

  // A factor that can give no frame is refused before anything is read or written.
  if (!(options.resizeFactor > 0.0) || !std::isfinite(options.resizeFactor)) {
    err << "Error : the scale factor must be a positive number, not '" << options.resizeFactor
        << "'!" << std::endl;
    return kExitFailure;
  }
  const std::vector<const std::string*> outputPatterns = {
      &options.overlayPath, &options.labelMapPath, &options.jsonPath, &options.saveFramePath};
  if (options.frames.size() > 1) {
    for (const std::string* path : outputPatterns) {
      if (!path->empty() && path->find("{frame}") == std::string::npos && *path != "-") {
        err << "Error : with several frames, output file names must contain {frame} ('" << *path
            << "' would be overwritten)!" << std::endl;
        return kExitBadOption;
      }
    }
  }
  // Output names that cannot be written are refused before any work.
  const std::string videoName = videoOutputName(options.videoName);
  auto outputName = [&videoName](const std::string& pattern, int frame) {
    return expandFramePattern(expandVideoPattern(pattern, videoName), frame);
  };
  for (const std::string* path : outputPatterns) {
    if (path->empty()) continue;
    for (int frame : frames) {
      try {
        checkOutputName(*path, outputName(*path, frame));
      } catch (const std::exception& e) {
        err << "Error : " << e.what() << "!" << std::endl;
        return kExitFailure;
      }
    }
  }
  try {
    checkRunFiles(options, frames);
  } catch (const std::exception& e) {
    err << "Error : " << e.what() << "!" << std::endl;
    return kExitFailure;
  }
  // A frame whose every output is in place was finished by an earlier run:
  // outputs are renamed into place only when complete.
  std::size_t skipped = 0;
  if (options.skipExisting) {
    if (std::all_of(outputPatterns.begin(), outputPatterns.end(),
                    [](const std::string* path) { return path->empty(); })) {
      err << "Error : --skip-existing needs an output file (--json, --overlay, --label-map or "
             "--save-frame)!"
          << std::endl;
      return kExitBadOption;
    }
    std::vector<int> missing;
    for (int frame : frames) {
      bool done = true;
      for (const std::string* path : outputPatterns) {
        std::error_code ec;
        done = done && (path->empty() || std::filesystem::exists(outputName(*path, frame), ec));
      }
      if (done) {
        ++skipped;
      } else {
        missing.push_back(frame);
      }
    }
    frames = std::move(missing);
  }
  auto reportCounts = [&](std::size_t done) {
    if (options.skipExisting) {
      err << "rovelin: frames skipped (outputs in place): " << skipped << ", done: " << done
          << std::endl;
    }
  };
  if (frames.empty()) {
    if (options.shard && skipped == 0) {
      err << "rovelin: part " << options.shard->index << "/" << options.shard->count
          << " of the frame list holds no frames" << std::endl;
    }
    reportCounts(0);
    return kExitSuccess;
  }
  if (options.threads > 0) {
    setThreadCount(options.threads);
  }

  StageTimes times;
  auto start = Clock::now();
  if (progress) {
    err << "rovelin: preparing the model from " << options.trainingFile << " ..." << std::flush;
  }
  RegionClassifier model;
  try {
    model = loadModel(options, err);
  } catch (const TrainingFileUnreadable& e) {
    clearProgress(err, progress);
    err << "unable to open file" << std::endl;
    err << "Error : " << e.what() << "!" << std::endl;
    return kExitFailure;
  } catch (const TrainingDataError& e) {
    clearProgress(err, progress);
    err << "Error : " << e.what() << "!" << std::endl;
    return kExitFailure;
  }
  clearProgress(err, progress);
  times.model = secondsSince(start);
  RunSettings settings;
  try {
    settings = resolveRunSettings(options, model, err);
  } catch (const SettingsError& e) {
    err << "Error : " << e.what() << "!" << std::endl;
    return kExitFailure;
  }
  const ClassTable classes = makeClassTable(model, options.classListPath);

  std::unique_ptr<VideoFrameSource> video;
  try {
    video = std::make_unique<VideoFrameSource>(options.videoName, options.resizeFactor);
  } catch (const VideoOpenError&) {
    err << "Error : Video file could not be opened!!!" << std::endl;
    err << "Error : \"" << options.videoName
        << "\" is missing, unreadable or not a video the capture library can decode!" << std::endl;
    return kExitFailure;
  } catch (const ScaleFactorError& e) {
    err << "Error : " << e.what() << "!" << std::endl;
    return kExitFailure;
  }
  const cv::Size frameSize(video->frameWidth, video->frameHeight);

  bool imageWindow = false;
  for (std::size_t f = 0; f < frames.size(); ++f) {
    const int frameNumber = frames[f];
    if (progress && frames.size() > 1) {
      err << "\rrovelin: frame " << frameNumber << " (" << f + 1 << " of " << frames.size()
          << ")\033[K" << std::flush;
    }
    // A bad ground-truth map fails the run before any of the frame's work.
    cv::Mat truth;
    if (!options.groundTruthPath.empty()) {
      truth = readLabelMap(outputName(options.groundTruthPath, frameNumber),
                           classes.entries, frameSize, video->output.size());
    }

    start = Clock::now();
    if (!video->grabFrame(frameNumber)) {
      clearProgress(err, progress);
      err << "Error : Cannot read from file!! " << std::endl;
      err << "Error : frame " << frameNumber << " of \"" << options.videoName
          << "\" could not be read (the video has " << video->frameCount << " frames)!"
          << std::endl;
      return kExitFailure;
    }
    times.grab = secondsSince(start);
    if (!options.saveFramePath.empty()) {
      const std::string target = outputName(options.saveFramePath, frameNumber);
      createOutputDirectories(target);
      writeImageAtomically(target, video->output);
    }

    ExtractTimings extractTimes;
    RegionSet seg = extractRegions(video->output, 10, options.workDir, &out, &extractTimes,
                                   settings.segmentation, settings.descriptor);
    times.segmentation = extractTimes.segmentation;
    times.regions = extractTimes.regions;
    if (seg.regularizedCount > 0) {
      err << "Warning : " << seg.regularizedCount << " of " << seg.count
          << " regions have a degenerate covariance (flat or too few pixels); a ridge of "
          << CovarianceDescriptor::kRidge << " was added to their diagonal" << std::endl;
    }

    start = Clock::now();
    const std::vector<SegmentPrediction> predictions = model.classify(seg.statistics);
    times.classification = secondsSince(start);

    start = Clock::now();
    std::vector<SegmentPrediction> relabelled = predictions;
    const RegionSet segCopy = seg;
    const Eigen::VectorXd newY = model.labelSegments(relabelled, segCopy, settings.vehicleRule);
    times.labelling = secondsSince(start);
    for (Eigen::Index i = 0; i < newY.size(); ++i) {
      const double label = newY[i];
      if (!(label >= 0.0) || label >= model.classCount) {
        throw std::logic_error("label " + std::to_string(label) + " of region " +
                               std::to_string(i) + " is outside the model's classes");
      }
    }

    start = Clock::now();
    if (gui) {
      cv::namedWindow("image", cv::WINDOW_AUTOSIZE);
      cv::imshow("image", video->output);
      imageWindow = true;
    }
    if (frames.size() > 1) clearProgress(err, progress);
    out << std::endl;
    bool walking = gui;
    for (Eigen::Index i = 0; i < newY.size(); ++i) {
      out << newY[i] << "   " << classes.names[static_cast<std::size_t>(static_cast<int>(newY[i]))]
          << std::endl;
      if (walking && endsWalk(seg.showMask(static_cast<int>(i), true))) {
        walking = false;
      }
    }
    out << std::endl;
    times.report = secondsSince(start);

    if (!options.overlayPath.empty()) {
      const std::string target = outputName(options.overlayPath, frameNumber);
      createOutputDirectories(target);
      writeImageAtomically(
          target, renderOverlay(video->output, seg, newY, classes.names, classes.palette));
    }
    if (!options.labelMapPath.empty()) {
      const std::string target = outputName(options.labelMapPath, frameNumber);
      createOutputDirectories(target);
      writeImageAtomically(target, labelMapImage(seg, newY, model.classCount));
    }
    if (!options.jsonPath.empty()) {
      const RunDescription run{options.videoName, frameNumber, options.resizeFactor,
                               video->output.size(), seg.segmentCount};
      const std::string target = outputName(options.jsonPath, frameNumber);
      createOutputDirectories(target);
      writeTextAtomically(
          target, describeRun(run, seg, predictions, newY, classes.names).dump(2) + "\n");
    }
    if (!truth.empty()) {
      evaluate(err, truth, seg, newY, classes.names);
    }
    if (options.timings) {
      printTimings(err, times, frameNumber, f == 0);
    }
  }

  if (imageWindow) {
    cv::destroyWindow("image");
  }
  video->release();
  reportCounts(frames.size());
  return kExitSuccess;
}

}  // namespace rovelin
