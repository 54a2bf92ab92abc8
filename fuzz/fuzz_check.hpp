// SPDX-License-Identifier: Apache-2.0
// A broken promise of the code under test ends a fuzz target the way the
// fuzzing engine reports as a crash, with the input kept.
#pragma once

#include <cstdlib>

namespace rovelin {

inline void abortIf(bool broken) {
  if (broken) std::abort();
}

}  // namespace rovelin
