// SPDX-License-Identifier: MIT
// engine_cache_test.cc - resampler states kept between resizes of one shape.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "dct/fast_resample.h"
#include "tests/engines.h"
#include "tests/test_util.h"

using namespace pellimor::detail;  // the library's internals

namespace {

class EngineCache : public ::testing::Test {
 protected:
  void SetUp() override {
    release_engine_cache();
    budget_ = set_engine_cache_budget(std::uint64_t{256} << 20);
  }
  void TearDown() override {
    set_engine_cache_budget(budget_);
    release_engine_cache();
  }

 private:
  std::uint64_t budget_ = 0;
};

struct shape {
  std::int32_t width, height, new_width, new_height;
  double taper;
  int threads;
  std::string name() const {
    return std::to_string(width) + "x" + std::to_string(height) + " -> " + std::to_string(new_width) + "x" +
           std::to_string(new_height) + " taper " + std::to_string(taper) + ", " + std::to_string(threads) +
           " threads";
  }
  std::uint64_t bytes() const {
    return fast_resampler::working_bytes(width, height, new_width, new_height, threads);
  }
};

// Everything a resampler gives for one plane: bytes both ways of rounding
// and the unquantised values of the same samples shifted past both ends,
// all through one resampler, in that order.
struct outputs {
  std::vector<std::uint8_t> trunc, nearest;
  std::vector<double> values;
  bool operator==(const outputs&) const = default;
};

outputs run(fast_resampler& resampler, const shape& s, unsigned seed) {
  const channel_plane source = test_util::random_plane(s.width, s.height, seed);
  outputs out;
  for (auto mode : {pellimor::rounding::trunc, pellimor::rounding::nearest}) {
    channel_plane plane;
    allocate_plane(&plane, s.new_width, s.new_height);
    EXPECT_TRUE(resampler.resample(test_engines::plane_rows(source), test_engines::plane_writer(&plane),
                                   test_engines::quiet(), mode));
    (mode == pellimor::rounding::trunc ? out.trunc : out.nearest) = plane.samples;
  }
  out.values.resize(static_cast<std::size_t>(s.new_width) * s.new_height);
  const value_row_reader read = [&](std::int32_t first, std::int32_t count, double* rows) {
    for (std::int32_t r = 0; r < count; ++r)
      for (std::int32_t x = 0; x < s.width; ++x)
        rows[static_cast<std::size_t>(r) * s.width + x] =
            source.samples[plane_index(x, first + r, s.height)] * 1.5 - 100.0;
    return true;
  };
  const value_row_writer write = [&](std::int32_t first, std::int32_t count, const double* rows) {
    std::copy_n(rows, static_cast<std::size_t>(count) * s.new_width,
                out.values.begin() + static_cast<std::ptrdiff_t>(first) * s.new_width);
    return true;
  };
  EXPECT_TRUE(resampler.resample_doubles(read, write, test_engines::quiet()));
  return out;
}

outputs fresh(const shape& s, unsigned seed) {
  const std::uint64_t budget = set_engine_cache_budget(0);
  outputs out;
  {
    fast_resampler resampler(s.width, s.height, s.new_width, s.new_height, s.threads, s.taper);
    out = run(resampler, s, seed);
  }
  set_engine_cache_budget(budget);
  return out;
}

// Shapes whose state holds rows past the new height (shrinking, a height
// that is not a whole batch), lengths through Rader's (37, 41) and
// Bluestein's (59) methods, where a batch pairs lines, and one size with two
// tapers, which must not share.
const shape shapes[] = {
    {37, 41, 29, 23, 0.0, 2}, {59, 13, 31, 21, 0.0, 1}, {23, 17, 19, 29, 0.0, 3},
    {40, 30, 25, 50, 0.0, 2}, {40, 30, 25, 50, 2.0, 2}, {40, 30, 25, 50, 0.5, 2},
};

TEST_F(EngineCache, ATakenStateGivesTheOutputOfAFreshOne) {
  for (const shape& s : shapes) {
    SCOPED_TRACE(s.name());
    const outputs expected = fresh(s, 2);
    {
      fast_resampler first(s.width, s.height, s.new_width, s.new_height, s.threads, s.taper);
      run(first, s, 1);  // leaves another plane's values behind
    }
    ASSERT_GT(engine_cache_bytes(), 0u);
    fast_resampler again(s.width, s.height, s.new_width, s.new_height, s.threads, s.taper);
    EXPECT_EQ(engine_cache_bytes(), 0u) << "the state was not taken from the cache";
    EXPECT_TRUE(run(again, s, 2) == expected);
  }
}

TEST_F(EngineCache, StatesServeOnlyTheirOwnShapeTaperAndThreads) {
  const shape kept{40, 30, 25, 50, 0.0, 2};
  const shape others[] = {{40, 30, 25, 50, 2.0, 2}, {40, 30, 25, 50, 0.0, 1}, {40, 30, 26, 50, 0.0, 2},
                          {40, 30, 25, 49, 0.0, 2}, {30, 40, 25, 50, 0.0, 2}, {40, 31, 25, 50, 0.0, 2}};
  for (const shape& other : others) {
    SCOPED_TRACE(other.name());
    const outputs expected = fresh(other, 4);
    {
      fast_resampler first(kept.width, kept.height, kept.new_width, kept.new_height, kept.threads,
                           kept.taper);
      run(first, kept, 3);
    }
    ASSERT_EQ(engine_cache_bytes(), kept.bytes());
    fast_resampler resampler(other.width, other.height, other.new_width, other.new_height, other.threads,
                             other.taper);
    EXPECT_EQ(engine_cache_bytes(), kept.bytes()) << "another shape's state was taken";
    EXPECT_TRUE(run(resampler, other, 4) == expected);
    release_engine_cache();
  }
}

TEST_F(EngineCache, KeepsTheTwoLatestAndDropsTheOldest) {
  const shape a{20, 10, 30, 15, 0.0, 1}, b{21, 10, 30, 15, 0.0, 1}, c{22, 10, 30, 15, 0.0, 1};
  const auto use = [](const shape& s) {
    fast_resampler(s.width, s.height, s.new_width, s.new_height, s.threads, s.taper);
  };
  use(a);
  EXPECT_EQ(engine_cache_bytes(), a.bytes());
  use(b);
  EXPECT_EQ(engine_cache_bytes(), a.bytes() + b.bytes());
  use(c);  // a goes
  EXPECT_EQ(engine_cache_bytes(), b.bytes() + c.bytes());
  use(b);  // taken and kept again: now the latest
  EXPECT_EQ(engine_cache_bytes(), b.bytes() + c.bytes());
  use(a);  // c goes
  EXPECT_EQ(engine_cache_bytes(), a.bytes() + b.bytes());
  release_engine_cache();
  EXPECT_EQ(engine_cache_bytes(), 0u);
}

TEST_F(EngineCache, KeepsWithinItsBudget) {
  const shape small{16, 16, 24, 24, 0.0, 1}, big{64, 64, 96, 96, 0.0, 1};
  ASSERT_LT(small.bytes(), big.bytes());
  EXPECT_EQ(set_engine_cache_budget(big.bytes() - 1), std::uint64_t{256} << 20);
  fast_resampler(big.width, big.height, big.new_width, big.new_height, 1);
  EXPECT_EQ(engine_cache_bytes(), 0u) << "a state over the budget was kept";
  fast_resampler(small.width, small.height, small.new_width, small.new_height, 1);
  EXPECT_EQ(engine_cache_bytes(), small.bytes());
  set_engine_cache_budget(big.bytes() + small.bytes());
  fast_resampler(big.width, big.height, big.new_width, big.new_height, 1);
  EXPECT_EQ(engine_cache_bytes(), big.bytes() + small.bytes());
  set_engine_cache_budget(big.bytes());  // lowering it lets states go
  EXPECT_LE(engine_cache_bytes(), big.bytes());
  set_engine_cache_budget(0);
  EXPECT_EQ(engine_cache_bytes(), 0u);
}

TEST_F(EngineCache, ConcurrentResizesEachGetTheirOwnState) {
  // Two callers on the same two shapes in opposite orders, so that they
  // take, keep and evict states of one shape at the same time.
  const shape pair[2] = {{31, 22, 45, 17, 0.0, 2}, {29, 23, 44, 61, 0.0, 2}};
  const outputs expected[2] = {fresh(pair[0], 7), fresh(pair[1], 7)};
  std::vector<int> mismatches(2, 0);
  std::vector<std::thread> callers;
  for (int t = 0; t < 2; ++t)
    callers.emplace_back([&, t] {
      for (int round = 0; round < 6; ++round) {
        const int which = (round + t) % 2;
        const shape& s = pair[which];
        fast_resampler resampler(s.width, s.height, s.new_width, s.new_height, s.threads);
        if (!(run(resampler, s, 7) == expected[which])) ++mismatches[t];
      }
    });
  for (std::thread& t : callers) t.join();
  EXPECT_EQ(mismatches, std::vector<int>(2, 0));
  EXPECT_LE(engine_cache_bytes(), pair[0].bytes() + pair[1].bytes());
}

TEST_F(EngineCache, AForkedChildStartsItsOwnCacheWithTheParentsBudget) {
  const shape s{24, 16, 12, 20, 0.0, 1};
  const std::uint64_t budget = 10 * s.bytes();
  set_engine_cache_budget(budget);
  fast_resampler(s.width, s.height, s.new_width, s.new_height, s.threads);
  ASSERT_EQ(engine_cache_bytes(), s.bytes());
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    // Exit codes say what went wrong: 1 the parent's states, 2 another
    // budget, 3 a cache that does not work.
    if (engine_cache_bytes() != 0) _exit(1);
    if (set_engine_cache_budget(budget) != budget) _exit(2);
    fast_resampler(s.width, s.height, s.new_width, s.new_height, s.threads);
    _exit(engine_cache_bytes() == s.bytes() ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(engine_cache_bytes(), s.bytes()) << "the parent's cache changed";
}

}  // namespace
