// SPDX-License-Identifier: Apache-2.0
// Static-partition worker threads. The index range is cut into one
// contiguous range per thread by arithmetic alone, so which thread computes
// an element never changes what is computed; results are bit-identical for
// every thread count. Threads are started per call: the loops this serves
// run for milliseconds to seconds, far longer than a thread start.
#include "util/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

namespace rovelin {

namespace {

std::atomic<int> requestedThreads{0};

// Set inside a worker: a nested parallelFor runs inline instead of
// multiplying threads beyond the cores.
thread_local bool insideWorker = false;

}  // namespace

void setThreadCount(int threads) { requestedThreads.store(std::max(threads, 0)); }

int threadCount() {
  const int requested = requestedThreads.load();
  if (requested > 0) return requested;
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware == 0 ? 1 : static_cast<int>(hardware);
}

void parallelFor(long count, const std::function<void(long begin, long end)>& body) {
  if (count <= 0) return;
  const long threads = insideWorker ? 1 : std::min<long>(threadCount(), count);
  if (threads <= 1) {
    body(0, count);
    return;
  }

  std::vector<std::exception_ptr> failures(static_cast<std::size_t>(threads));
  auto runChunk = [&](long chunk) {
    const long begin = count * chunk / threads;
    const long end = count * (chunk + 1) / threads;
    const bool wasInside = insideWorker;
    insideWorker = true;
    try {
      if (begin < end) body(begin, end);
    } catch (...) {
      failures[static_cast<std::size_t>(chunk)] = std::current_exception();
    }
    insideWorker = wasInside;
  };

  std::vector<std::thread> workers;
  workers.reserve(static_cast<std::size_t>(threads - 1));
  try {
    for (long chunk = 1; chunk < threads; ++chunk) workers.emplace_back(runChunk, chunk);
  } catch (...) {
    // Could not start a thread: finish the chunks that have none here.
    for (long chunk = static_cast<long>(workers.size()) + 1; chunk < threads; ++chunk)
      runChunk(chunk);
  }
  runChunk(0);
  for (std::thread& worker : workers) worker.join();

  // The lowest failing chunk wins, so the reported error does not depend on timing.
  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);
}

}  // namespace rovelin
