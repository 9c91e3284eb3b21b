// SPDX-License-Identifier: MIT
// fast_resample_test.cc - the FFTW engine: accuracy, determinism, failures.
#include "dct/fast_resample.h"

#include <gtest/gtest.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "tests/engines.h"
#include "tests/reference.h"
#include "tests/test_util.h"

using namespace pellimor::detail;  // the library's internals

namespace {

TEST(FastResampler, ValuesAgreeWithTheDefinitionToTheNinthDigit) {
  const int shapes[][4] = {
      {1, 1, 2, 3},     {2, 2, 1, 1},    {3, 7, 11, 5},  {31, 17, 16, 40}, {64, 9, 97, 9},
      {37, 41, 29, 83}, {101, 3, 50, 7}, {6, 61, 6, 30}, {74, 5, 106, 8},  {143, 4, 26, 9},
  };
  for (const auto& s : shapes) {
    SCOPED_TRACE(std::to_string(s[0]) + "x" + std::to_string(s[1]) + " -> " + std::to_string(s[2]) + "x" +
                 std::to_string(s[3]));
    const channel_plane source = test_util::random_plane(s[0], s[1], s[0] + 7 * s[1]);
    std::vector<double> values(static_cast<std::size_t>(s[2]) * s[3]);
    fast_resampler(s[0], s[1], s[2], s[3], 2)
        .resample_values(test_engines::plane_rows(source), values.data(), test_engines::quiet());
    const std::vector<long double> exact = reference::resize_values(source, s[2], s[3]);
    double worst = 0;
    for (std::size_t i = 0; i < exact.size(); ++i)
      worst = std::max(worst, std::abs(values[i] - static_cast<double>(exact[i])));
    EXPECT_LT(worst, 1e-9 * 255);
  }
}

TEST(FastResampler, SameBytesForEveryThreadCount) {
  const channel_plane source = test_util::random_plane(53, 45, 3);
  const channel_plane one = test_engines::resize(engine_kind::fast, source, 70, 33, 1);
  for (int threads : {2, 3, 5, 16})
    EXPECT_EQ(test_engines::resize(engine_kind::fast, source, 70, 33, threads).samples, one.samples)
        << threads << " threads";
}

TEST(FastResampler, ReusableAcrossPlanes) {
  // One resampler serves all three channels; nothing may leak between them.
  const channel_plane first = test_util::random_plane(19, 12, 1), second = test_util::random_plane(19, 12, 2);
  fast_resampler resampler(19, 12, 30, 7, 2);
  channel_plane a, b;
  allocate_plane(&a, 30, 7);
  allocate_plane(&b, 30, 7);
  resampler.resample(test_engines::plane_rows(first), test_engines::plane_writer(&a), test_engines::quiet());
  resampler.resample(test_engines::plane_rows(second), test_engines::plane_writer(&b), test_engines::quiet());
  EXPECT_EQ(b.samples, test_engines::resize(engine_kind::fast, second, 30, 7).samples);
  EXPECT_EQ(a.samples, test_engines::resize(engine_kind::fast, first, 30, 7).samples);
}

TEST(FastResampler, RowWriterGetsEveryRowOnce) {
  const channel_plane source = test_util::random_plane(23, 14, 9);
  const channel_plane expected = test_engines::resize(engine_kind::fast, source, 17, 29);
  channel_plane got;
  allocate_plane(&got, 17, 29);
  std::vector<int> seen(29, 0);
  std::mutex lock;
  fast_resampler resampler(23, 14, 17, 29, 3);
  const row_writer collect = [&](std::int32_t first, std::int32_t count, const std::uint8_t* rows) {
    std::lock_guard<std::mutex> hold(lock);
    for (std::int32_t r = 0; r < count; ++r) {
      ++seen[first + r];
      for (std::int32_t x = 0; x < 17; ++x) got.samples[plane_index(x, first + r, 29)] = rows[r * 17 + x];
    }
    return true;
  };
  ASSERT_TRUE(resampler.resample(test_engines::plane_rows(source), collect, test_engines::quiet()));
  EXPECT_EQ(seen, std::vector<int>(29, 1));
  EXPECT_EQ(got.samples, expected.samples);
}

// The last batch of output rows reads up to seven rows past the new
// height, and Rader's and Bluestein's routes round each row with its
// partner: those rows must read as zeros whatever the array's memory held
// before. The heap is left dirty (NaN) where the array will be taken from.
TEST(FastResampler, RowsPastTheNewHeightReadAsZerosOnReusedMemory) {
  const int shapes[][4] = {{12, 9, 37, 13}, {12, 9, 59, 21}, {30, 11, 37, 14}, {80, 12, 59, 45}};
  const std::uint64_t budget = set_engine_cache_budget(0);  // every resampler makes its own array
#ifdef __GLIBC__
  mallopt(M_MMAP_THRESHOLD, 30 << 20);  // large blocks from the heap, which keeps freed memory as it was
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
  for (const auto& s : shapes) {
    SCOPED_TRACE(std::to_string(s[0]) + "x" + std::to_string(s[1]) + " -> " + std::to_string(s[2]) + "x" +
                 std::to_string(s[3]));
    {
      const std::size_t bytes = std::size_t{16} << 20;
      void* dirty = std::malloc(bytes);
      ASSERT_NE(dirty, nullptr);
      std::memset(dirty, 0xff, bytes);                 // every double a NaN
      __asm__ volatile("" : : "r"(dirty) : "memory");  // the fill is not dropped as dead
      std::free(dirty);
    }
    const channel_plane source = test_util::random_plane(s[0], s[1], s[1]);
    std::vector<double> values(static_cast<std::size_t>(s[2]) * s[3]);
    ASSERT_TRUE(fast_resampler(s[0], s[1], s[2], s[3], 1)
                    .resample_values(test_engines::plane_rows(source), values.data(), test_engines::quiet()));
    const std::vector<long double> exact = reference::resize_values(source, s[2], s[3]);
    double worst = 0;
    for (std::size_t i = 0; i < exact.size(); ++i)
      worst = std::max(
          worst, std::isnan(values[i]) ? INFINITY : std::abs(values[i] - static_cast<double>(exact[i])));
    EXPECT_LT(worst, 1e-9 * 255);
  }
#ifdef __GLIBC__
  mallopt(M_MMAP_THRESHOLD, 128 << 10);
  mallopt(M_TRIM_THRESHOLD, 128 << 10);
#endif
  set_engine_cache_budget(budget);
}

TEST(FastResampler, StopsWhenTheDestinationFails) {
  const channel_plane source = test_util::random_plane(10, 10, 1);
  fast_resampler resampler(10, 10, 12, 30, 2);
  const row_writer refuse = [](std::int32_t first, std::int32_t, const std::uint8_t*) { return first < 16; };
  EXPECT_FALSE(resampler.resample(test_engines::plane_rows(source), refuse, test_engines::quiet()));
}

TEST(FastResampler, StopsWhenTheSourceFails) {
  fast_resampler resampler(10, 20, 5, 5, 2);
  const row_reader failing = [](std::int32_t first, std::int32_t, std::uint8_t*) { return first < 8; };
  channel_plane out;
  allocate_plane(&out, 5, 5);
  EXPECT_FALSE(resampler.resample(failing, test_engines::plane_writer(&out), test_engines::quiet()));
}

}  // namespace

// Holds each of the first two callers until the other has come too (or
// half a minute has passed), so that two workers are inside the engine at
// once: a worker that has read its source rows, or made its output rows,
// waits in the reader or writer until the other has done the same. Workers
// that shared a buffer would then go on with each other's rows (wrong
// bytes), and ThreadSanitizer would see the unordered writes.
class meeting_point {
 public:
  void arrive() {
    std::unique_lock<std::mutex> hold(lock_);
    if (++arrived_ > 2) return;
    changed_.notify_all();
    changed_.wait_for(hold, std::chrono::seconds(30), [&] { return arrived_ >= 2; });
  }
  bool met() {
    std::lock_guard<std::mutex> hold(lock_);
    return arrived_ >= 2;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int arrived_ = 0;
};

TEST(FastResampler, TwoWorkersInsideAtOnceGiveTheSameBytes) {
  const channel_plane source = test_util::random_plane(40, 24, 5);
  const channel_plane expected = test_engines::resize(engine_kind::fast, source, 56, 30, 1);
  channel_plane got;
  allocate_plane(&got, 56, 30);
  meeting_point readers, writers;
  const row_reader plane_rows = test_engines::plane_rows(source);
  const row_reader read = [&](std::int32_t first, std::int32_t count, std::uint8_t* out) {
    const bool ok = plane_rows(first, count, out);
    readers.arrive();
    return ok;
  };
  std::mutex lock;
  const row_writer store = test_engines::plane_writer(&got);
  const row_writer write = [&](std::int32_t first, std::int32_t count, const std::uint8_t* rows) {
    writers.arrive();
    std::lock_guard<std::mutex> hold(lock);
    return store(first, count, rows);
  };
  ASSERT_TRUE(fast_resampler(40, 24, 56, 30, 2).resample(read, write, test_engines::quiet()));
  EXPECT_TRUE(readers.met()) << "the workers never read at the same time";
  EXPECT_TRUE(writers.met()) << "the workers never wrote at the same time";
  EXPECT_EQ(got.samples, expected.samples);
}

// Says stop from a thread of its own at the engine's ask number `at`: the
// worker making that ask hands over to the thread and waits until it has
// raised the flag, so the stop lands at a known batch, as a Ctrl-C landing
// mid-pass would. Counts every ask, and those that found the flag raised.
class stop_from_another_thread {
 public:
  explicit stop_from_another_thread(std::int64_t at)
      : at_(at), stopper_([this] {
          std::unique_lock<std::mutex> hold(lock_);
          changed_.wait(hold, [&] { return wanted_ || closing_; });
          if (wanted_) raised_ = true;
          changed_.notify_all();
        }) {}
  ~stop_from_another_thread() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      closing_ = true;
    }
    changed_.notify_all();
    stopper_.join();
  }
  bool proceed() {
    if (++asks_ == at_) {
      std::unique_lock<std::mutex> hold(lock_);
      wanted_ = true;
      changed_.notify_all();
      changed_.wait(hold, [&] { return raised_.load(); });
    }
    if (!raised_) return true;
    ++asks_after_;
    return false;
  }
  proceed_check hook() {
    return [this] { return proceed(); };
  }
  std::int64_t asks() const { return asks_; }
  std::int64_t asks_after_stop() const { return asks_after_; }

 private:
  const std::int64_t at_;
  std::atomic<std::int64_t> asks_{0}, asks_after_{0};
  std::atomic<bool> raised_{false};
  std::mutex lock_;
  std::condition_variable changed_;
  bool wanted_ = false, closing_ = false;
  std::thread stopper_;  // last: it starts on the members above
};

// Few wide rows: nearly all the batches are in the passes over columns,
// which read and write no rows.
struct wide_shape {
  static constexpr std::int32_t width = 2048, height = 16, new_width = 1024, new_height = 24;
  static constexpr std::int64_t rows_in = (height + 7) / 8, columns = (std::min(width, new_width) + 7) / 8,
                                rows_out = (new_height + 7) / 8, batches = rows_in + columns + rows_out;
};

TEST(FastResampler, StopsAtTheBatchWhereTheStopWasAskedInEveryPass) {
  using w = wide_shape;
  struct when {
    const char* pass;
    std::int64_t ask;
  };
  const when stops[] = {
      {"first row batch", 1},
      {"last row batch", w::rows_in},
      {"first column batch", w::rows_in + 1},
      {"mid columns", w::rows_in + w::columns / 2},
      {"last column batch", w::rows_in + w::columns},
      {"first output row batch", w::rows_in + w::columns + 1},
      {"last output row batch", w::batches},
  };
  const channel_plane source = test_util::random_plane(w::width, w::height, 4);
  fast_resampler resampler(w::width, w::height, w::new_width, w::new_height, 1);
  for (const when& at : stops) {
    stop_from_another_thread stop(at.ask);
    std::int64_t rows_handed_on = 0;
    const row_writer count_rows = [&](std::int32_t, std::int32_t count, const std::uint8_t*) {
      rows_handed_on += count;
      return true;
    };
    EXPECT_FALSE(resampler.resample(test_engines::plane_rows(source), count_rows, test_engines::quiet(),
                                    pellimor::rounding::trunc, stop.hook()))
        << at.pass;
    // One worker: after the ask that stopped it, not one more batch began.
    EXPECT_EQ(stop.asks(), at.ask) << at.pass;
    EXPECT_EQ(stop.asks_after_stop(), 1) << at.pass;
    const std::int64_t output_batches_before =
        std::max<std::int64_t>(0, at.ask - 1 - w::rows_in - w::columns);
    EXPECT_EQ(rows_handed_on, std::min<std::int64_t>(w::new_height, 8 * output_batches_before)) << at.pass;
  }
  // Never stopped: one ask a batch, and the stopped runs left nothing behind.
  stop_from_another_thread never(w::batches + 1);
  channel_plane got;
  allocate_plane(&got, w::new_width, w::new_height);
  ASSERT_TRUE(resampler.resample(test_engines::plane_rows(source), test_engines::plane_writer(&got),
                                 test_engines::quiet(), pellimor::rounding::trunc, never.hook()));
  EXPECT_EQ(never.asks(), w::batches);
  EXPECT_EQ(got.samples,
            test_engines::resize(engine_kind::fast, source, w::new_width, w::new_height, 1).samples);
}

TEST(FastResampler, EveryWorkerStopsAfterItsCurrentBatch) {
  using w = wide_shape;
  const int threads = 3;
  const channel_plane source = test_util::random_plane(w::width, w::height, 6);
  fast_resampler resampler(w::width, w::height, w::new_width, w::new_height, threads);
  const std::int64_t asks[] = {w::rows_in + w::columns / 4, w::rows_in + w::columns / 2};
  for (const std::int64_t at : asks) {
    stop_from_another_thread stop(at);
    std::atomic<int> writes{0};
    const row_writer count_writes = [&](std::int32_t, std::int32_t, const std::uint8_t*) {
      ++writes;
      return true;
    };
    EXPECT_FALSE(resampler.resample(test_engines::plane_rows(source), count_writes, test_engines::quiet(),
                                    pellimor::rounding::trunc, stop.hook()))
        << at;
    // Each worker asks at most once more, and the pass over rows out never starts.
    EXPECT_GE(stop.asks_after_stop(), 1) << at;
    EXPECT_LE(stop.asks_after_stop(), threads) << at;
    EXPECT_EQ(writes, 0) << at;
  }
}
