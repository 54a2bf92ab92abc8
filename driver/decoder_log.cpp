// SPDX-License-Identifier: Apache-2.0
#include "driver/decoder_log.hpp"

#include <cstdarg>
#include <cstdlib>

extern "C" {
#include <libavutil/log.h>
}

namespace rovelin {

namespace {

void dropMessage(void*, int, const char*, va_list) {}

}  // namespace

void quietVideoDecoder(bool verbose) {
  if (verbose || std::getenv("OPENCV_LOG_LEVEL") != nullptr) {
    return;
  }
  // A callback rather than a log level: the capture library sets the level
  // itself when it opens its first video, but leaves the callback alone.
  av_log_set_callback(dropMessage);
}

}  // namespace rovelin
