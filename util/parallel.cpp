// SPDX-License-Identifier: Apache-2.0
// Static-partition worker threads. The index range is cut into contiguous
// ranges by arithmetic alone, so which thread computes an element never
// changes what is computed; results are bit-identical for every thread
// count. Threads are started per call: the loops this serves run for
// milliseconds to seconds, far longer than a thread start. A loop takes
// only the workers the process budget has room for, so frames in flight
// that each run loops never multiply the threads beyond --threads.
#include "util/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace rovelin {

namespace {

std::atomic<int> requestedThreads{0};

// Set inside a worker: a nested parallelFor runs inline instead of
// multiplying threads beyond the cores.
thread_local bool insideWorker = false;

// The places of the budget in use, and whether this thread holds one. A
// thread that runs a loop without holding a place still counts as one of the
// loop's threads, so it never takes more than threadCount() − 1 helpers.
std::mutex budgetMutex;
std::condition_variable budgetFreed;
int busyThreads = 0;
thread_local bool holdsSlot = false;

// Takes up to `wanted` places without waiting; returns how many it got.
long takeFreeSlots(long wanted) {
  const std::lock_guard<std::mutex> lock(budgetMutex);
  const long got = std::clamp<long>(threadCount() - busyThreads, 0, wanted);
  busyThreads += static_cast<int>(got);
  return got;
}

void giveBackSlots(long count) {
  if (count <= 0) return;
  {
    const std::lock_guard<std::mutex> lock(budgetMutex);
    busyThreads -= static_cast<int>(count);
  }
  budgetFreed.notify_all();
}

}  // namespace

WorkerSlot::WorkerSlot() {
  if (holdsSlot) return;
  std::unique_lock<std::mutex> lock(budgetMutex);
  budgetFreed.wait(lock, [] { return busyThreads < threadCount(); });
  ++busyThreads;
  holdsSlot = taken_ = true;
}

WorkerSlot::~WorkerSlot() {
  if (!taken_) return;
  holdsSlot = false;
  giveBackSlots(1);
}

void setThreadCount(int threads) { requestedThreads.store(std::max(threads, 0)); }

int threadCount() {
  const int requested = requestedThreads.load();
  if (requested > 0) return requested;
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware == 0 ? 1 : static_cast<int>(hardware);
}

void parallelFor(long count, const std::function<void(long begin, long end)>& body) {
  if (count <= 0) return;
  const long ranges = insideWorker ? 1 : std::min<long>(threadCount(), count);
  if (ranges <= 1) {
    body(0, count);
    return;
  }

  // The caller works on the ranges too, in the place it holds.
  const long helpers = takeFreeSlots(ranges - 1);
  // Thread w of the `threads` takes ranges w, w + threads, ...: with room for
  // every helper each thread has one range, as each had before the budget.
  const long threads = helpers + 1;
  std::vector<std::exception_ptr> failures(static_cast<std::size_t>(ranges));
  auto runRanges = [&](long first) {
    const bool wasInside = insideWorker;
    insideWorker = true;
    for (long range = first; range < ranges; range += threads) {
      const long begin = count * range / ranges;
      const long end = count * (range + 1) / ranges;
      try {
        if (begin < end) body(begin, end);
      } catch (...) {
        failures[static_cast<std::size_t>(range)] = std::current_exception();
      }
    }
    insideWorker = wasInside;
  };

  std::vector<std::thread> workers;
  workers.reserve(static_cast<std::size_t>(helpers));
  try {
    for (long w = 1; w < threads; ++w) workers.emplace_back(runRanges, w);
  } catch (...) {
    // Could not start a thread: this one runs the ranges it would have had.
    for (long w = static_cast<long>(workers.size()) + 1; w < threads; ++w) runRanges(w);
  }
  runRanges(0);
  for (std::thread& worker : workers) worker.join();
  giveBackSlots(helpers);

  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);
}

}  // namespace rovelin
