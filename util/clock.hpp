// SPDX-License-Identifier: Apache-2.0
// The clocks the tool reports times with.
#pragma once

#include <chrono>

namespace rovelin {

// The seconds of the steady clock gone by since `start`.
inline double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace rovelin
