// SPDX-License-Identifier: Apache-2.0
// What every program that works on frames sets up first.
#pragma once

#include "util/report.hpp"

namespace rovelin {

// Keeps the large buffers of frame work in the heap between frames, and
// silences the image library's and the video decoder's own messages (for
// example "[msmpeg4 @ 0x…] ac-tex damaged"): the tool reports every failure
// itself, in its own words. The decoder's messages stay when `verbosity` is
// Verbose, and both libraries' when OPENCV_LOG_LEVEL is set.
void setUpProcess(Verbosity verbosity);

}  // namespace rovelin
