// SPDX-License-Identifier: Apache-2.0
// The video decoder's own messages.
#pragma once

namespace rovelin {

// Drops the messages the video decoder library prints by itself on
// standard error (for example "[msmpeg4 @ 0x…] ac-tex damaged" for a damaged
// frame): the tool reports every failure itself, in its own words. Does
// nothing when OPENCV_LOG_LEVEL is set or `verbose` is true, so that the
// messages can be had when they are wanted.
void quietVideoDecoder(bool verbose);

}  // namespace rovelin
