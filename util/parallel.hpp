// SPDX-License-Identifier: Apache-2.0
// Worker threads for the distance matrices and other data-parallel loops,
// under one budget for the whole process: at most threadCount() threads do
// work at once, whether they are frames in flight or the workers a loop
// starts. Work is split into fixed index ranges and every result element is
// computed by one thread alone, so results never depend on the thread count
// or on how many workers a loop finds free.
#pragma once

#include <functional>

namespace rovelin {

// 0 (the default) means one thread per hardware core.
void setThreadCount(int threads);
int threadCount();

// Holds one place of the budget for the calling thread while it lives,
// waiting for one to be free. A thread that already holds one takes no
// second.
class WorkerSlot {
public:
  WorkerSlot();
  ~WorkerSlot();
  WorkerSlot(const WorkerSlot&) = delete;
  WorkerSlot& operator=(const WorkerSlot&) = delete;

private:
  bool taken_ = false;
};

// Calls body(begin, end) on disjoint ranges that cover [0, count): as many
// ranges as min(threadCount(), count), shared between the calling thread and
// the workers it finds room for in the budget. Returns when all are done;
// the first exception thrown by a body (lowest range first) is rethrown here.
void parallelFor(long count, const std::function<void(long begin, long end)>& body);

}  // namespace rovelin
