// SPDX-License-Identifier: MIT
// cache_limit_test.cc - the engine's cache as the library shows it, and
// how the memory limit bounds it.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "dct/fast_resample.h"
#include "lib/limits.h"
#include "pellimor/pellimor.h"
#include "tests/test_util.h"

using namespace pellimor::detail;  // the library's internals

namespace {

constexpr std::uint64_t mib = std::uint64_t{1} << 20;

// Resizes a generated grey width x height picture to new_width x new_height
// on one thread, leaving its state in the cache.
pellimor::image resize_once(std::int32_t width, std::int32_t height, std::int32_t new_width,
                            std::int32_t new_height, int seed = 0) {
  pellimor::image source;
  source.width = width;
  source.height = height;
  source.channels = 1;
  if (!source.allocate()) throw std::bad_alloc();
  pellimor::resize_settings settings;
  settings.threads = 1;
  for (std::size_t i = 0; i < source.pixels.size(); ++i)
    source.pixels[i] = static_cast<std::uint8_t>(i * 7 + seed);
  return pellimor::resize(source, new_width, new_height, settings);
}

std::uint64_t state_bytes(std::int32_t width, std::int32_t height, std::int32_t new_width,
                          std::int32_t new_height) {
  return fast_resampler::working_bytes(width, height, new_width, new_height, 1);
}

class CacheLimit : public testing::Test {
 protected:
  void SetUp() override {
    asked_ = pellimor::set_cache_limit(256 * mib);
    pellimor::release_caches();  // what earlier tests left
  }
  void TearDown() override {
    pellimor::set_cache_limit(asked_);
    pellimor::release_caches();
  }
  std::uint64_t asked_ = 0;
};

TEST(CacheBudget, AtMostAQuarterOfTheProcessLimit) {
  const struct {
    std::uint64_t asked;
    double limit;
    std::uint64_t budget;
  } cases[] = {
      {256 * mib, 0, 256 * mib},             // no limit known
      {256 * mib, 4096.0 * mib, 256 * mib},  // a quarter is more than asked
      {256 * mib, 1024.0 * mib, 256 * mib},  // exactly a quarter
      {256 * mib, 1023.0 * mib, 1023 * mib / 4},
      {256 * mib, 100.0 * mib, 25 * mib},
      {0, 100.0 * mib, 0},  // off stays off
      {std::uint64_t{1} << 62, 8.0 * 1024 * mib, 2048 * mib},
  };
  for (const auto& c : cases)
    EXPECT_EQ(cache_budget_within(c.asked, c.limit), c.budget) << c.asked << " asked, limit " << c.limit;
}

TEST_F(CacheLimit, ReleaseEmptiesWhatAResizeLeft) {
  resize_once(40, 30, 90, 70);
  ASSERT_EQ(pellimor::cache_bytes(), state_bytes(40, 30, 90, 70));
  pellimor::release_caches();
  EXPECT_EQ(pellimor::cache_bytes(), 0u);
}

TEST_F(CacheLimit, LimitReturnsTheOneBeforeAndBoundsWhatIsKept) {
  const std::uint64_t small = state_bytes(40, 30, 90, 70), big = state_bytes(400, 300, 900, 700);
  ASSERT_LT(small, big);
  EXPECT_EQ(pellimor::set_cache_limit(big - 1), 256 * mib);
  resize_once(400, 300, 900, 700);
  EXPECT_EQ(pellimor::cache_bytes(), 0u) << "a state over the limit was kept";
  resize_once(40, 30, 90, 70);
  EXPECT_EQ(pellimor::cache_bytes(), small);
  EXPECT_EQ(pellimor::set_cache_limit(big + small), big - 1);
  resize_once(400, 300, 900, 700);
  EXPECT_EQ(pellimor::cache_bytes(), big + small);
  EXPECT_EQ(pellimor::set_cache_limit(0), big + small);
  EXPECT_EQ(pellimor::cache_bytes(), 0u) << "turning the cache off kept what it held";
  resize_once(40, 30, 90, 70);
  EXPECT_EQ(pellimor::cache_bytes(), 0u);
}

TEST_F(CacheLimit, CachedStatesGiveWayToWorkThatWouldNotFitBesideThem) {
  resize_once(40, 30, 90, 70);
  const double held = static_cast<double>(pellimor::cache_bytes());
  ASSERT_GT(held, 0);
  const struct {
    double need, limit;
    bool kept;
  } cases[] = {
      {1000, held + 1000, true},  // both fit exactly
      {1000, held + 999, false},  // one byte short
      {0, held - 1, false},       // the cache alone is over
      {1e6, 0, true},             // the process's own limit, far above
  };
  for (const auto& c : cases) {
    resize_once(40, 30, 90, 70);
    make_room_for(c.need, c.limit);
    EXPECT_EQ(pellimor::cache_bytes() != 0, c.kept) << "need " << c.need << ", limit " << c.limit;
  }
}

// Two threads resizing one shape take and put back states while a third
// frees the cache and moves its limit: each still gets what it gets alone.
TEST_F(CacheLimit, ThreadsResizingWhileTheLimitChanges) {
  const pellimor::image alone[2] = {resize_once(37, 29, 61, 44, 1), resize_once(37, 29, 61, 44, 2)};
  bool same[2] = {true, true};
  std::atomic<int> finished{0};
  std::thread workers[2];
  for (int t = 0; t < 2; ++t)
    workers[t] = std::thread([&, t] {
      for (int i = 0; i < 20; ++i)
        same[t] = same[t] && resize_once(37, 29, 61, 44, t + 1).pixels == alone[t].pixels;
      ++finished;
    });
  for (int i = 0; finished < 2; ++i) {
    pellimor::set_cache_limit(i % 3 == 0 ? 0 : 256 * mib);
    if (i % 4 == 0) pellimor::release_caches();
    std::this_thread::yield();
  }
  for (std::thread& w : workers) w.join();
  EXPECT_TRUE(same[0]);
  EXPECT_TRUE(same[1]);
  EXPECT_LE(pellimor::cache_bytes(), 2 * state_bytes(37, 29, 61, 44));
}

// In a child whose address space is bounded: the budget asked for is cut to
// a quarter of what the bound leaves, so a state over that quarter is not
// kept where one under it is.
TEST_F(CacheLimit, AddressSpaceLimitCutsTheBudget) {
#ifdef PELLIMOR_SANITIZED
  GTEST_SKIP() << "the sanitizers' address space does not fit an address-space limit";
#endif
  const std::uint64_t small = state_bytes(40, 30, 90, 70), big = state_bytes(1500, 1200, 3000, 2400);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    long mapped = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%ld", &mapped) != 1) mapped = 0;
      std::fclose(statm);
    }
    // Room for the work and twice the big state, so a quarter of the room
    // is under the big state and far over the small one.
    const rlim_t room = 2 * big + 40 * mib;
    const rlimit bound{static_cast<rlim_t>(mapped) * sysconf(_SC_PAGESIZE) + room, RLIM_INFINITY};
    if (setrlimit(RLIMIT_AS, &bound) != 0) _exit(10);
    if (room / 4 >= big || room / 4 <= small) _exit(11);
    pellimor::set_cache_limit(256 * mib);  // reads the limit again
    try {
      resize_once(1500, 1200, 3000, 2400);
      if (pellimor::cache_bytes() != 0) _exit(1);
      resize_once(40, 30, 90, 70);
      if (pellimor::cache_bytes() != small) _exit(2);
    } catch (...) {
      _exit(12);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the big state was kept, 2: the small one was not, 1x: setup";
}

}  // namespace
