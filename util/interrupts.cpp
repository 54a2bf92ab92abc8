// SPDX-License-Identifier: Apache-2.0
#include "util/interrupts.hpp"

#include <atomic>
#include <csignal>

#include <signal.h>

namespace rovelin {

namespace {

std::atomic<int> requested{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

void onInterrupt(int signal) {
  requested.store(signal);
  // The handler is reset as it runs (SA_RESETHAND), so a second signal
  // takes the default action and ends the process at once.
}

}  // namespace

void catchInterrupts() {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM}) {
      struct sigaction previous {};
      // A signal the shell ignores (a background job's SIGINT) stays ignored.
      if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
      ::sigaction(signal, &action, nullptr);
    }
    return true;
  }();
  (void)installed;
}

int interruptSignal() { return requested.load(); }

}  // namespace rovelin
