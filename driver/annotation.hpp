// SPDX-License-Identifier: Apache-2.0
// The annotation run: model, video, and for every requested frame the grab,
// the regions, their classification and labelling, and the report.
#pragma once

#include "driver/options.hpp"
#include "util/error.hpp"

#include <iosfwd>

namespace rovelin {

constexpr int kExitUsage = 255;  // -1 from main, as the shell sees it

// Runs what `options` asks for. Results go to `out`; errors, warnings,
// notes, progress and timings to `err`, as far as its verbosity shows them
// (setMessageStyle). Returns the exit status. Bad input is reported on `err`
// where it is met; other exceptions propagate to the caller.
int runAnnotation(const Options& options, std::ostream& out, std::ostream& err);

}  // namespace rovelin
