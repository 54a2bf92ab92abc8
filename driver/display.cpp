// SPDX-License-Identifier: Apache-2.0
#include "driver/display.hpp"

#include <opencv2/highgui.hpp>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace rovelin {

bool displayAvailable() {
  namespace fs = std::filesystem;
  // The GUI library aborts the whole process when it cannot reach the display
  // it is told to use, so a local display is only trusted when its socket
  // is there. Remote displays (host:N) are taken on trust.
  if (const char* wayland = std::getenv("WAYLAND_DISPLAY");
      wayland != nullptr && *wayland != '\0') {
    const fs::path socket(wayland);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (socket.is_absolute() ? fs::exists(socket)
                             : runtime != nullptr && fs::exists(fs::path(runtime) / socket)) {
      return true;
    }
  }
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') return false;
  const std::string name(display);
  const std::size_t colon = name.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = name.substr(0, colon);
  if (!host.empty() && host != "unix" && host != "localhost") return true;
  const std::string number = name.substr(colon + 1, name.find('.', colon) - colon - 1);
  return fs::exists("/tmp/.X11-unix/X" + number);
}

void showFrame(const cv::Mat& image) {
  cv::namedWindow("image", cv::WINDOW_AUTOSIZE);
  cv::imshow("image", image);
}

void closeFrameWindow() { cv::destroyWindow("image"); }

int showMask(const RegionSet& regions, int i) {
  const cv::Mat shown = regions.mask(i);
  cv::namedWindow("mask", cv::WINDOW_AUTOSIZE);
  cv::imshow("mask", shown);
  const int key = cv::waitKey(0);
  cv::destroyWindow("mask");
  return key;
}

bool endsWalk(int key) {
  key &= 0xFF;
  return key == 27 || key == 'q' || key == 'Q';
}

}  // namespace rovelin
