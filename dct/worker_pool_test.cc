// SPDX-License-Identifier: MIT
// worker_pool_test.cc - the shared threads: every item once, worker numbers
// that are never shared at once, failures passed on, concurrent callers,
// helpers joining jobs back to back and after sleeping.
#include "dct/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace pellimor::detail;  // the library's internals

namespace {

// Runs `count` items on `threads` workers and checks that each item ran
// once, on a worker below min(threads, count), never on a worker number
// another thread was using at that moment.
void check_items(std::int64_t count, int threads) {
  std::vector<std::atomic<int>> done(static_cast<std::size_t>(count));
  std::vector<std::atomic<int>> busy(static_cast<std::size_t>(std::max(threads, 1)));
  std::atomic<int> bad_worker{0}, shared_worker{0};
  for_each_item(count, threads, [&](std::int64_t item, int worker) {
    if (worker < 0 || worker >= std::min<std::int64_t>(threads, count)) {
      ++bad_worker;
      return;
    }
    if (busy[worker].exchange(1) != 0) ++shared_worker;
    ++done[item];
    std::this_thread::yield();
    busy[worker] = 0;
  });
  EXPECT_EQ(bad_worker, 0);
  EXPECT_EQ(shared_worker, 0);
  for (std::int64_t i = 0; i < count; ++i) EXPECT_EQ(done[i], 1) << "item " << i << " of " << count;
}

TEST(WorkerPool, EveryItemOnceOnItsOwnWorker) {
  const struct {
    std::int64_t count;
    int threads;
  } jobs[] = {{0, 2}, {1, 4}, {5, 1}, {7, 2}, {3, 8}, {200, 3}, {64, 16}, {1000, 2}};
  for (const auto& job : jobs) {
    SCOPED_TRACE(std::to_string(job.count) + " items, " + std::to_string(job.threads) + " threads");
    check_items(job.count, job.threads);
  }
}

TEST(WorkerPool, SeveralCallersAtOnce) {
  std::vector<std::thread> callers;
  for (int c = 0; c < 4; ++c)
    callers.emplace_back([c] {
      for (int round = 0; round < 20; ++round) check_items(50 + c + round, 2 + c % 2);
    });
  for (std::thread& t : callers) t.join();
}

TEST(WorkerPool, AFailureIsPassedOnAndStopsTheJob) {
  for (int threads : {1, 2}) {
    std::atomic<int> after{0};
    EXPECT_THROW(for_each_item(1000, threads,
                               [&](std::int64_t item, int) {
                                 if (item == 3) throw std::runtime_error("item 3");
                                 if (item > 3) ++after;
                               }),
                 std::runtime_error);
    // One worker takes the items in order; with more, others may be past
    // item 3 already.
    if (threads == 1) {
      EXPECT_EQ(after, 0);
    }
    check_items(100, threads);  // the pool still serves
  }
}

// Two items that each wait for the other to start can only finish on two
// workers: a helper joins jobs offered back to back (each moving it off the
// caller's CPU and back) and after a pause long enough for it to sleep.
TEST(WorkerPool, HelpersJoinJobsBackToBackAndAfterSleeping) {
  for (int pause_ms : {0, 0, 20, 0, 50}) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    std::atomic<int> started{0}, workers_seen{0};
    for_each_item(2, 2, [&](std::int64_t, int worker) {
      workers_seen |= 1 << worker;
      ++started;
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (started < 2 && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
    });
    EXPECT_EQ(workers_seen, 3) << "after a pause of " << pause_ms << " ms";
  }
}

}  // namespace
