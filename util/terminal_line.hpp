// SPDX-License-Identifier: Apache-2.0
// The one line a program redraws in place on a terminal (progress, the
// model being prepared, the tuner's step): drawn over, then cleared before
// any other text is written.
#pragma once

#include <ostream>
#include <string_view>

namespace rovelin {

inline void drawTerminalLine(std::ostream& err, std::string_view text) {
  err << '\r' << text << "\033[K" << std::flush;
}

inline void clearTerminalLine(std::ostream& err) { err << "\r\033[K" << std::flush; }

}  // namespace rovelin
