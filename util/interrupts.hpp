// SPDX-License-Identifier: Apache-2.0
// SIGINT and SIGTERM (a user's Ctrl-C, a batch system's time limit or
// preemption) as a request to stop: a long run checks for it between
// frames, finishes and writes the frames in flight, and ends with 128 + the
// signal's number. A second signal ends the process at once.
#pragma once

namespace rovelin {

// Catches SIGINT and SIGTERM from now on; calling it again does nothing.
void catchInterrupts();

// The signal that asked the process to stop, or 0.
int interruptSignal();

}  // namespace rovelin
