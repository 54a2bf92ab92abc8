// SPDX-License-Identifier: Apache-2.0
// The batch loop: decodes the frames of a run in order, keeps up to
// --threads of them in flight on as many threads, and hands the results to
// the writer in frame order. Memory stays bounded by the frames in flight.
#pragma once

#include "driver/run_context.hpp"

#include <iosfwd>

namespace rovelin {

// Runs the frames of `run`'s schedule and writes their outputs in frame
// order. Returns the exit status; throws on data errors.
int runFrames(const RunContext& run, std::ostream& out, std::ostream& err);

}  // namespace rovelin
