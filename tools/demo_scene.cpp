// SPDX-License-Identifier: Apache-2.0
// The demo scene is laid out on a 640 x 480 design grid and scaled to the
// requested size; every boundary is rounded to whole pixels once, so a pixel
// belongs to exactly one class and the label map is exact by construction
// (no anti-aliasing). Texture comes from an integer hash of the position:
// per-pixel values for fine noise, and smoothly interpolated lattice values
// for clouds and patches.

#include "tools/demo_scene.hpp"

#include "util/atomic_file.hpp"
#include "util/error.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include <opencv2/videoio.hpp>

namespace rovelin {
namespace {

enum DemoClass : int { kSky = 1, kBuilding = 2, kGrass = 3, kRoad = 4, kCar = 5 };

constexpr double kFramesPerSecond = 10.0;
constexpr int kMinSide = 32;
constexpr int kMaxSide = 4096;
constexpr int kMaxFrames = 10000;

std::uint32_t hash3(std::int64_t x, std::int64_t y, std::uint32_t seed) {
  std::uint64_t h = static_cast<std::uint64_t>(x) * 0x9E3779B97F4A7C15ull;
  h ^= static_cast<std::uint64_t>(y) * 0xC2B2AE3D27D4EB4Full + seed;
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return static_cast<std::uint32_t>(h);
}

// Uniform in [0, 1).
double unit(std::int64_t x, std::int64_t y, std::uint32_t seed) {
  return hash3(x, y, seed) * (1.0 / 4294967296.0);
}

double smooth(double t) { return t * t * (3.0 - 2.0 * t); }

// Value noise in [0, 1): lattice values every `cell` units, blended smoothly.
double valueNoise(double x, double y, double cell, std::uint32_t seed) {
  const double fx = x / cell, fy = y / cell;
  const double x0 = std::floor(fx), y0 = std::floor(fy);
  const auto ix = static_cast<std::int64_t>(x0), iy = static_cast<std::int64_t>(y0);
  const double tx = smooth(fx - x0), ty = smooth(fy - y0);
  const double a = unit(ix, iy, seed), b = unit(ix + 1, iy, seed);
  const double c = unit(ix, iy + 1, seed), d = unit(ix + 1, iy + 1, seed);
  const double top = a + (b - a) * tx, bottom = c + (d - c) * tx;
  return top + (bottom - top) * ty;
}

cv::Vec3b bgr(double r, double g, double b) {
  auto clamp8 = [](double v) {
    return static_cast<unsigned char>(std::lround(std::clamp(v, 0.0, 255.0)));
  };
  return {clamp8(b), clamp8(g), clamp8(r)};
}

// Pixel boundaries of the scene at one output size and frame.
struct Layout {
  int width, height;
  double sx, sy;
  int horizon;                      // first grass row below the sky
  int roadTop, roadBottom;          // road rows [roadTop, roadBottom)
  int buildingLeft, buildingRight;  // building columns [left, right)
  int buildingTop;
  int roofRows;
  int windowCellW, windowCellH, windowW, windowH, windowX, windowY;
  int dashTop, dashBottom, dashPeriod, dashLength;
  int carLeft, carWidth, bodyTop, bodyBottom, cabinLeft, cabinRight, cabinTop;
  int windowMargin, pillarLeft, pillarRight;
  int wheelY, wheelRadius, hubRadius, wheel1X, wheel2X;

  Layout(int w, int h, int frame) : width(w), height(h), sx(w / 640.0), sy(h / 480.0) {
    auto X = [&](double v) { return static_cast<int>(std::lround(v * sx)); };
    auto Y = [&](double v) { return static_cast<int>(std::lround(v * sy)); };
    auto atLeast1 = [](int v) { return std::max(1, v); };
    horizon = Y(260);
    roadTop = Y(330);
    roadBottom = Y(440);
    buildingLeft = X(380);
    buildingRight = X(600);
    buildingTop = Y(70);
    roofRows = atLeast1(Y(8));
    windowCellW = atLeast1(X(44));
    windowCellH = atLeast1(Y(46));
    windowW = atLeast1(X(24));
    windowH = atLeast1(Y(28));
    windowX = X(10);
    windowY = Y(10);
    dashTop = Y(381);
    dashBottom = std::max(dashTop + 1, Y(389));
    dashPeriod = atLeast1(X(100));
    dashLength = atLeast1(X(50));

    carWidth = atLeast1(X(130));
    // The car advances 20 design pixels a frame and re-enters from the left
    // once it has left the frame.
    const std::int64_t start = X(20), step = atLeast1(X(20));
    const std::int64_t period = static_cast<std::int64_t>(width) + carWidth;
    carLeft = static_cast<int>((start + carWidth + step * frame) % period) - carWidth;
    bodyTop = Y(355);
    bodyBottom = Y(400);
    cabinTop = Y(300);
    cabinLeft = carLeft + X(18);
    cabinRight = carLeft + X(112);
    windowMargin = atLeast1(static_cast<int>(std::lround(5 * std::min(sx, sy))));
    const int middle = (cabinLeft + cabinRight) / 2;
    pillarLeft = middle - atLeast1(X(3));
    pillarRight = middle + atLeast1(X(3));
    wheelY = bodyBottom;
    wheelRadius = atLeast1(static_cast<int>(std::lround(17 * std::min(sx, sy))));
    hubRadius = std::max(1, wheelRadius * 2 / 5);
    wheel1X = carLeft + X(30);
    wheel2X = carLeft + X(100);
  }

  // Car part at (x, y): 0 none, 1 body, 2 window, 3 tyre, 4 hub.
  int carPart(int x, int y) const {
    for (const int cx : {wheel1X, wheel2X}) {
      const std::int64_t dx = x - cx, dy = y - wheelY;
      const std::int64_t d2 = dx * dx + dy * dy;
      if (d2 <= static_cast<std::int64_t>(hubRadius) * hubRadius) return 4;
      if (d2 <= static_cast<std::int64_t>(wheelRadius) * wheelRadius) return 3;
    }
    if (x >= carLeft && x < carLeft + carWidth && y >= bodyTop && y < bodyBottom) return 1;
    if (x >= cabinLeft && x < cabinRight && y >= cabinTop && y < bodyTop) {
      const bool inGlass = x >= cabinLeft + windowMargin && x < cabinRight - windowMargin &&
                           y >= cabinTop + windowMargin && !(x >= pillarLeft && x < pillarRight);
      return inGlass ? 2 : 1;
    }
    return 0;
  }
};

cv::Vec3b skyColour(const Layout& L, int x, int y) {
  const double t = L.horizon > 1 ? static_cast<double>(y) / (L.horizon - 1) : 0.0;
  double r = 60 + 105 * t, g = 120 + 80 * t, b = 215 + 25 * t;
  // Clouds stretched horizontally, with soft edges.
  const double dx = x / L.sx, dy = y / L.sy;
  const double n = 0.6 * valueNoise(dx, dy * 2.2, 110, 11) + 0.4 * valueNoise(dx, dy * 2.2, 45, 12);
  const double cover = 0.85 * smooth(std::clamp((n - 0.52) / 0.2, 0.0, 1.0));
  r += (246 - r) * cover;
  g += (246 - g) * cover;
  b += (250 - b) * cover;
  return bgr(r, g, b);
}

cv::Vec3b buildingColour(const Layout& L, int x, int y) {
  const double grain = (unit(x, y, 21) - 0.5) * 10;
  if (y < L.buildingTop + L.roofRows) return bgr(105 + grain, 80 + grain, 68 + grain);
  const int lx = x - L.buildingLeft, ly = y - L.buildingTop - L.roofRows;
  const int wx = lx % L.windowCellW - L.windowX, wy = ly % L.windowCellH - L.windowY;
  if (wx >= 0 && wx < L.windowW && wy >= 0 && wy < L.windowH) {
    // Dark glass, lighter towards the top of each pane.
    const double shine = 25.0 * (1.0 - static_cast<double>(wy) / L.windowH);
    return bgr(40 + shine, 52 + shine, 72 + shine);
  }
  return bgr(182 + grain, 146 + grain, 108 + grain);
}

cv::Vec3b grassColour(const Layout& L, int x, int y) {
  const double fine = unit(x, y, 31) - 0.5;
  // Short vertical blades: noise that repeats over a few rows.
  const double blade = unit(x, static_cast<std::int64_t>(std::floor(y / (3.0 * L.sy))), 32) - 0.5;
  const double patch = valueNoise(x / L.sx, y / L.sy, 35, 33) - 0.5;
  return bgr(72 + 40 * fine + 20 * patch, 138 + 90 * fine + 40 * blade + 30 * patch,
             44 + 25 * fine);
}

cv::Vec3b roadColour(const Layout& L, int x, int y) {
  const double fine = (unit(x, y, 41) - 0.5) * 36;
  const double patch = (valueNoise(x / L.sx, y / L.sy, 25, 42) - 0.5) * 10;
  const bool dash = y >= L.dashTop && y < L.dashBottom && x % L.dashPeriod < L.dashLength;
  if (dash) return bgr(232 + fine * 0.3, 232 + fine * 0.3, 222 + fine * 0.3);
  const double g = 100 + fine + patch;
  return bgr(g, g, g + 4);
}

cv::Vec3b carColour(const Layout& L, int part, int x, int y) {
  switch (part) {
    case 1: {
      // Lighter towards the roof line.
      const double t = std::clamp(
          static_cast<double>(y - L.cabinTop) / std::max(1, L.bodyBottom - L.cabinTop), 0.0, 1.0);
      return bgr(215 - 40 * t, 32 - 10 * t, 36 - 10 * t);
    }
    case 2: {
      // A diagonal reflection across the glass.
      const int d = (x - L.cabinLeft) + (y - L.cabinTop);
      const bool glare = d % std::max(2, static_cast<int>(std::lround(28 * L.sx))) <
                         std::max(1, static_cast<int>(std::lround(6 * L.sx)));
      return glare ? bgr(120, 135, 155) : bgr(35, 45, 62);
    }
    case 3:
      return bgr(24, 24, 27);
    default:
      return bgr(160, 160, 166);
  }
}

void writeVideo(const std::filesystem::path& path, const DemoSceneOptions& options) {
  // The extension tells the writer which container to use.
  std::filesystem::path temp = temporaryNameFor(path);
  temp += ".avi";
  try {
    {
      cv::VideoWriter writer(temp.string(), cv::CAP_OPENCV_MJPEG,
                             cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), kFramesPerSecond,
                             cv::Size(options.width, options.height),
                             {cv::VIDEOWRITER_PROP_QUALITY, 95});
      if (!writer.isOpened()) {
        throw Error("'" + path.string() + "': cannot open the video for writing");
      }
      for (int f = 0; f < options.frames; ++f) writer.write(renderDemoFrame(f, options));
    }
    std::error_code ec;
    if (std::filesystem::file_size(temp, ec) == 0 || ec) {
      throw Error("'" + path.string() + "': writing the video failed");
    }
    commitTemporary(temp, path);
  } catch (const FileWriteError& e) {
    throw Error("'" + path.string() + "': cannot write: " + e.cause);
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(temp, ignored);
    throw;
  }
}

void writeClassList(const std::filesystem::path& path) {
  std::string text;
  for (const ClassEntry& c : demoSceneClasses()) {
    text += c.name + ' ' + std::to_string(int((*c.colour)[0])) + ' ' +
            std::to_string(int((*c.colour)[1])) + ' ' + std::to_string(int((*c.colour)[2])) + '\n';
  }
  try {
    writeFileAtomically(path, text);
  } catch (const FileWriteError& e) {
    throw Error("'" + path.string() + "': cannot write the class list (" + e.what() + ")");
  }
}

}  // namespace

void checkDemoSceneOptions(const DemoSceneOptions& options) {
  auto range = [](const char* what, int v, int lo, int hi) {
    if (v < lo || v > hi) {
      throw std::invalid_argument(std::string(what) + " must be " + std::to_string(lo) + ".." +
                                  std::to_string(hi) + ", not " + std::to_string(v));
    }
  };
  range("width", options.width, kMinSide, kMaxSide);
  range("height", options.height, kMinSide, kMaxSide);
  range("frame count", options.frames, 1, kMaxFrames);
}

std::vector<ClassEntry> demoSceneClasses() {
  return {{"sky", cv::Vec3b(135, 185, 235)},
          {"building", cv::Vec3b(150, 120, 90)},
          {"grass", cv::Vec3b(60, 140, 50)},
          {"road", cv::Vec3b(110, 110, 110)},
          {"car", cv::Vec3b(200, 30, 30)}};
}

cv::Mat renderDemoFrame(int frameIndex, const DemoSceneOptions& options, cv::Mat* labels) {
  checkDemoSceneOptions(options);
  if (frameIndex < 0)
    throw std::invalid_argument("frame index must not be negative, not " +
                                std::to_string(frameIndex));
  const Layout L(options.width, options.height, frameIndex);
  cv::Mat image(options.height, options.width, CV_8UC3);
  cv::Mat classes(options.height, options.width, CV_32SC1);
  for (int y = 0; y < L.height; ++y) {
    auto* out = image.ptr<cv::Vec3b>(y);
    int* cls = classes.ptr<int>(y);
    for (int x = 0; x < L.width; ++x) {
      if (const int part = L.carPart(x, y); part != 0) {
        cls[x] = kCar;
        out[x] = carColour(L, part, x, y);
      } else if (y < L.horizon) {
        const bool building = x >= L.buildingLeft && x < L.buildingRight && y >= L.buildingTop;
        cls[x] = building ? kBuilding : kSky;
        out[x] = building ? buildingColour(L, x, y) : skyColour(L, x, y);
      } else if (y >= L.roadTop && y < L.roadBottom) {
        cls[x] = kRoad;
        out[x] = roadColour(L, x, y);
      } else {
        cls[x] = kGrass;
        out[x] = grassColour(L, x, y);
      }
    }
  }
  if (labels) *labels = classes;
  return image;
}

std::vector<std::filesystem::path> writeDemoScene(const std::filesystem::path& dir,
                                                  const DemoSceneOptions& options) {
  checkDemoSceneOptions(options);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw Error("'" + dir.string() + "': cannot create the directory: " + ec.message());

  std::vector<std::filesystem::path> written;
  written.push_back(dir / "demo.avi");
  writeVideo(written.back(), options);
  written.push_back(dir / "classes.txt");
  writeClassList(written.back());
  std::vector<cv::Vec3b> colours;
  for (const ClassEntry& c : demoSceneClasses()) colours.push_back(*c.colour);
  for (int f = 0; f < options.frames; ++f) {
    cv::Mat labels;
    renderDemoFrame(f, options, &labels);
    written.push_back(dir / ("labels_" + std::to_string(f) + ".png"));
    writeLabelMapPng(written.back(), labels, colours);
  }
  return written;
}

}  // namespace rovelin
