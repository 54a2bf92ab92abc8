// SPDX-License-Identifier: Apache-2.0
#include "pipeline/process_setup.hpp"

#include <opencv2/core/utils/logger.hpp>

#include <malloc.h>

#include <cstdarg>
#include <cstdlib>

extern "C" {
#include <libavutil/log.h>
}

namespace rovelin {

void setUpProcess(Verbosity verbosity) {
  // Every frame allocates and frees the same few hundred bytes per pixel.
  // With the allocator's defaults the larger buffers are mapped and unmapped
  // (and the heap trimmed) on every frame, and the kernel zeroes their pages
  // again each time, which costs about as much as the segmentation itself.
  // Keeping them in the heap lets the next frame reuse them. One arena for
  // all threads keeps the freed blocks where every frame in flight finds
  // them, so the memory held stays that of the frames in flight, whatever
  // the length of the batch; the allocations are few and large, so the lock
  // costs nothing.
  mallopt(M_ARENA_MAX, 1);
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
  mallopt(M_TOP_PAD, 16 << 20);
  if (std::getenv("OPENCV_LOG_LEVEL") != nullptr) return;
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  // A callback rather than a log level: the capture library sets the level
  // itself when it opens its first video, but leaves the callback alone.
  if (verbosity != Verbosity::Verbose) av_log_set_callback([](void*, int, const char*, va_list) {});
}

}  // namespace rovelin
