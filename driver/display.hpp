// SPDX-License-Identifier: Apache-2.0
// The windows of an interactive run: the frame in window "image", and the
// walk through its regions' masks in window "mask", one key press each.
#pragma once

#include "features/region_set.hpp"

#include <opencv2/core.hpp>

namespace rovelin {

// True when windows can be opened: a display is named in the environment.
// The window library aborts the process without one, so nothing may open a
// window before this holds.
bool displayAvailable();

// Shows `image` in window "image"; closeFrameWindow closes it.
void showFrame(const cv::Mat& image);
void closeFrameWindow();

// Shows mask `i` of `regions` in window "mask", waits for a key and closes
// the window; returns the key.
int showMask(const RegionSet& regions, int i);

// True for the keys that end the walk through the masks early.
bool endsWalk(int key);

}  // namespace rovelin
