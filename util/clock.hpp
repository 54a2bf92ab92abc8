// SPDX-License-Identifier: Apache-2.0
// The clocks the tool reports times with.
#pragma once

#include <chrono>
#include <ctime>

#include <time.h>

namespace rovelin {

// The seconds of the steady clock gone by since `start`.
inline double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Processor seconds the calling thread has used; other threads of the
// process do not count, which keeps a stage's time meaningful on a busy
// machine.
inline double threadProcessorSeconds() {
  timespec now{};
  if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) {
    // Without a per-thread clock the process clock is the closest measure.
    return static_cast<double>(std::clock()) / static_cast<double>(CLOCKS_PER_SEC);
  }
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace rovelin
