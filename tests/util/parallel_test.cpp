// SPDX-License-Identifier: Apache-2.0
#include "util/parallel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace rovelin {
namespace {

// Restores the default thread count however a test ends.
class ParallelFor : public ::testing::Test {
protected:
  void TearDown() override { setThreadCount(0); }
};

TEST_F(ParallelFor, AFailingRangeIsReportedAfterEveryOtherRangeHasFinished) {
  setThreadCount(4);
  for (int round = 0; round < 20; ++round) {
    // Every range but the first fails; the others run to their end, slowly,
    // so a caller that got the error before they finished would see it.
    std::vector<std::atomic<int>> visits(400);
    try {
      parallelFor(400, [&](long begin, long end) {
        for (long k = begin; k < end; ++k) {
          ++visits[static_cast<std::size_t>(k)];
          if (k % 50 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (begin > 0) throw std::runtime_error("range from " + std::to_string(begin));
      });
      FAIL() << "no error reached the caller";
    } catch (const std::runtime_error& error) {
      // The lowest failing range wins, whichever thread failed first.
      EXPECT_EQ(std::string(error.what()), "range from 100");
    }
    for (const auto& v : visits) ASSERT_EQ(v.load(), 1) << "round " << round;
  }

  // An error of a type the caller does not expect still arrives whole.
  struct Custom {
    int code;
  };
  try {
    parallelFor(10, [](long begin, long) {
      if (begin == 0) throw Custom{42};
    });
    FAIL() << "no error reached the caller";
  } catch (const Custom& custom) {
    EXPECT_EQ(custom.code, 42);
  }
  // The pool works as before afterwards.
  std::atomic<long> sum{0};
  parallelFor(100, [&](long begin, long end) {
    for (long k = begin; k < end; ++k) sum += k;
  });
  EXPECT_EQ(sum.load(), 4950);
}

TEST_F(ParallelFor, LoopsOfBusyThreadsShareOneBudget) {
  // Two threads hold the two places of the budget: a loop run by either
  // finds no room for helpers and does its ranges itself, still cut as two.
  setThreadCount(2);
  auto loop = [] {
    const WorkerSlot slot;
    std::atomic<int> running{0};
    std::atomic<int> most{0};
    std::mutex lock;
    std::vector<std::pair<long, long>> ranges;
    parallelFor(1000, [&](long begin, long end) {
      const int now = ++running;
      most = std::max(most.load(), now);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      {
        const std::lock_guard<std::mutex> hold(lock);
        ranges.emplace_back(begin, end);
      }
      --running;
    });
    std::sort(ranges.begin(), ranges.end());
    EXPECT_EQ(ranges, (std::vector<std::pair<long, long>>{{0, 500}, {500, 1000}}));
    return most.load();
  };
  std::atomic<bool> holding{false};
  std::atomic<bool> done{false};
  std::thread other([&] {
    const WorkerSlot slot;
    holding = true;
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (!holding) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(loop(), 1);
  done = true;
  other.join();
  // With the other place free again, the loop takes a helper.
  EXPECT_EQ(loop(), 2);
}

TEST_F(ParallelFor, MoreThreadsThanWorkGiveOneNonEmptyRangePerElement) {
  setThreadCount(64);
  for (long count : {1L, 2L, 3L, 63L}) {
    std::mutex lock;
    std::vector<std::pair<long, long>> ranges;
    parallelFor(count, [&](long begin, long end) {
      const std::lock_guard<std::mutex> hold(lock);
      ranges.emplace_back(begin, end);
    });
    std::set<long> covered;
    for (const auto& [begin, end] : ranges) {
      EXPECT_LT(begin, end) << count;
      for (long k = begin; k < end; ++k) EXPECT_TRUE(covered.insert(k).second) << k;
    }
    EXPECT_EQ(static_cast<long>(covered.size()), count);
    EXPECT_EQ(static_cast<long>(ranges.size()), count);
  }
  // Nothing to do calls nothing, negative counts included.
  bool called = false;
  parallelFor(-5, [&](long, long) { called = true; });
  EXPECT_FALSE(called);
  // A negative request means the default: one thread per core.
  setThreadCount(-3);
  EXPECT_GE(threadCount(), 1);
}

TEST_F(ParallelFor, NestedLoopsRunInlineOnTheirWorkerAndTheCallerKeepsItsThreads) {
  setThreadCount(3);
  std::vector<std::atomic<int>> visits(3 * 50);
  std::atomic<int> foreignThreads{0};
  std::mutex lock;
  std::set<std::thread::id> outerThreads;
  parallelFor(3, [&](long begin, long end) {
    const std::thread::id self = std::this_thread::get_id();
    {
      const std::lock_guard<std::mutex> hold(lock);
      outerThreads.insert(self);
    }
    for (long row = begin; row < end; ++row) {
      // One range only, on this very thread: no threads beyond the outer ones.
      int calls = 0;
      parallelFor(50, [&](long innerBegin, long innerEnd) {
        ++calls;
        if (std::this_thread::get_id() != self) ++foreignThreads;
        for (long k = innerBegin; k < innerEnd; ++k)
          ++visits[static_cast<std::size_t>(row * 50 + k)];
      });
      EXPECT_EQ(calls, 1);
    }
  });
  EXPECT_EQ(outerThreads.size(), 3u);
  EXPECT_EQ(foreignThreads.load(), 0);
  for (const auto& v : visits) EXPECT_EQ(v.load(), 1);

  // A nested loop that fails leaves the caller's thread a caller again: its
  // next loop is spread over threads, not run inline.
  EXPECT_THROW(parallelFor(3,
                           [](long, long) {
                             parallelFor(4, [](long, long) { throw std::runtime_error("inner"); });
                           }),
               std::runtime_error);
  std::set<std::thread::id> after;
  parallelFor(3, [&](long, long) {
    const std::lock_guard<std::mutex> hold(lock);
    after.insert(std::this_thread::get_id());
  });
  EXPECT_EQ(after.size(), 3u);
}

}  // namespace
}  // namespace rovelin
