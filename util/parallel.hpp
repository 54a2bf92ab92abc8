// SPDX-License-Identifier: Apache-2.0
// Worker threads for the distance matrices and other data-parallel loops.
// Work is split into fixed index ranges and every result element is computed
// by one thread alone, so results never depend on the thread count.
#pragma once

#include <functional>

namespace rovelin {

// 0 (the default) means one thread per hardware core.
void setThreadCount(int threads);
int threadCount();

// Calls body(begin, end) on disjoint ranges that cover [0, count), on up to
// threadCount() threads, and returns when all are done. The first exception
// thrown by a body is rethrown here.
void parallelFor(long count, const std::function<void(long begin, long end)>& body);

}  // namespace rovelin
