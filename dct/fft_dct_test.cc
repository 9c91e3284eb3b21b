// SPDX-License-Identifier: MIT
// fft_dct_test.cc - the FFT-based DCT batches against the defining sums,
// on every route: FFTW's real FFTs, Rader's and Bluestein's convolutions.
#include "dct/fft_dct.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "dct/half_untangle.h"
#include "tests/reference.h"

using namespace pellimor::detail;  // the library's internals

namespace {

constexpr int lines = 4;

TEST(FftDct, LengthsWithLargePrimeFactorsTakeTheChirpRoute) {
  const std::pair<std::int32_t, bool> cases[] = {
      {1, false},    {2, false},      {7, false},    {11, false},      {22, false},     {31, false},
      {37, true},    {49, false},     {74, true},    {1021, true},     {1080, false},   {1100, false},
      {2187, false}, {2 * 509, true}, {3840, false}, {31 * 29, false}, {31 * 37, true},
  };
  for (const auto& [length, chirp] : cases) EXPECT_EQ(uses_chirp(length), chirp) << length;
  // Of those, lengths m p with a prime p > 31 once, m with no factor above
  // 31 and p - 1 none above 13 (17 when m > 1) take Rader's, split into DFTs
  // of p and m.
  const std::pair<std::int32_t, bool> rader[] = {
      {31, false},  {37, true},      {53, true},       {59, false},      {74, true},
      {97, true},   {103, false},    {2 * 59, false},  {769, true},      {1021, false},
      {1153, true}, {2 * 769, true}, {37 * 37, false}, {37 * 41, false}, {3 * 1153, true},
      {307, false}, {2 * 307, true}, {2 * 647, false}, {3 * 1021, true},
  };
  for (const auto& [length, yes] : rader) EXPECT_EQ(uses_rader(length), yes) << length;
}

TEST(FftDct, Dct2AndDct3MatchTheSums) {
  // Smooth, odd, prime and composite-with-a-large-prime lengths, through
  // FFTW alone, Rader's route (37, 53, 97, 1153, and split: 74, 111, 194, 206, 318)
  // and Bluestein's (59, 103, 118);
  // keep < N checks the cut and the zero tail.
  for (std::int32_t n : {1,  2,  3,  4,   5,   8,   11,  13,  22,  26,  37,  49,  53,
                         59, 74, 97, 103, 111, 118, 128, 194, 206, 243, 318, 1153}) {
    SCOPED_TRACE(n);
    dct_plan plan = make_dct_plan(n, lines);
    dct_workspace work = make_dct_workspace({&plan});
    std::mt19937 rng(n);
    std::uniform_real_distribution<double> value(-1000.0, 1000.0);
    std::vector<double> x(static_cast<std::size_t>(n) * lines);
    for (double& v : x) v = value(rng);
    const std::int32_t keep = std::max(1, n - n / 3);

    for (int l = 0; l < lines; ++l)
      for (std::int32_t i = 0; i < n; ++i)
        work.real[l * plan.real_distance + reordered_index(i, n)] = x[l * n + i];
    dct2_batch(plan, work, keep);
    std::vector<double> forward(x.size());
    for (int l = 0; l < lines; ++l)
      for (std::int32_t k = 0; k < keep; ++k) forward[l * n + k] = work.real[l * plan.real_distance + k];

    for (int l = 0; l < lines; ++l)
      for (std::int32_t k = 0; k < keep; ++k) work.real[l * plan.real_distance + k] = x[l * n + k];
    dct3_batch(plan, work, keep);
    for (int l = 0; l < lines; ++l)
      for (std::int32_t i = 0; i < n; ++i) {
        long double f = 0, b = 0;
        for (std::int32_t j = 0; j < n; ++j) {
          f += x[l * n + j] * reference::cos_half_pi(std::int64_t{i} * (2 * j + 1), n);
          if (j < keep) b += x[l * n + j] * reference::cos_half_pi(std::int64_t{2 * i + 1} * j, n);
        }
        const double tolerance = 1e-12 * 1000 * n;
        if (i < keep) {
          EXPECT_NEAR(forward[l * n + i], static_cast<double>(f), tolerance)
              << "dct2 line " << l << " k " << i;
        }
        EXPECT_NEAR(work.real[l * plan.real_distance + reordered_index(i, n)], static_cast<double>(b),
                    tolerance)
            << "dct3 line " << l << " n " << i;
      }
    destroy_dct_plan(&plan);
  }
}

// `count` lines of length n holding random values from `seed`, with the
// plan and workspace that transform them.
struct random_batch {
  dct_plan plan;
  dct_workspace work;
  std::vector<double> input;
  random_batch(std::int32_t n, int count, std::uint32_t seed)
      : plan(make_dct_plan(n, count)), work(make_dct_workspace({&plan})) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> value(-1000.0, 1000.0);
    input.resize(static_cast<std::size_t>(plan.real_distance) * count);
    for (double& v : input) v = value(rng);
  }
  ~random_batch() { destroy_dct_plan(&plan); }
  random_batch(const random_batch&) = delete;
  random_batch& operator=(const random_batch&) = delete;
};

// The forms that read or write lines elsewhere (a column pass's own
// columns) give the bits of the forms that use work.real, on every route:
// half-length, odd, Rader's and Bluestein's, whose lines go through in pairs. The
// forward form writes nothing past the line's length; the inverse form
// zeroes nothing past it, and lines named twice read the same values.
TEST(FftDct, LinesElsewhereGiveTheSameBits) {
  constexpr int count = 8;
  for (std::int32_t n : {2, 9, 16, 22, 31, 62, 74, 97, 100, 118, 1021}) {
    for (std::int32_t keep : {1, n / 2, n / 2 + 1, n - 1, n}) {
      if (keep < 1) continue;
      SCOPED_TRACE(testing::Message() << "N = " << n << ", keep " << keep);
      random_batch batch(n, count, static_cast<std::uint32_t>(n * 31 + keep));
      dct_plan& plan = batch.plan;
      dct_workspace& work = batch.work;
      const std::vector<double>& input = batch.input;
      const auto bits_equal = [](const double* a, const double* b, std::int32_t length) {
        return std::memcmp(a, b, sizeof(double) * length) == 0;
      };

      // Forward: into separate lines with a guard after each.
      std::copy(input.begin(), input.end(), work.real.get());
      dct2_batch(plan, work, keep);
      std::vector<double> own(work.real.get(), work.real.get() + input.size());
      const std::int64_t spacing = n + 3;
      std::vector<double> elsewhere(static_cast<std::size_t>(spacing) * count, std::nan(""));
      double* out[count];
      for (int l = 0; l < count; ++l) out[l] = elsewhere.data() + l * spacing;
      std::copy(input.begin(), input.end(), work.real.get());
      dct2_batch(plan, work, keep, out);
      for (int l = 0; l < count; ++l) {
        EXPECT_TRUE(bits_equal(out[l], own.data() + l * plan.real_distance, keep)) << "dct2 line " << l;
        for (std::int64_t i = n; i < spacing; ++i) EXPECT_TRUE(std::isnan(out[l][i])) << "dct2 line " << l;
      }

      // Inverse: from separate lines, the last three naming line 4.
      std::copy(input.begin(), input.end(), work.real.get());
      for (int l = 5; l < count; ++l)
        std::copy_n(input.begin() + 4 * plan.real_distance, plan.real_distance,
                    work.real.get() + l * plan.real_distance);
      dct3_batch(plan, work, keep);
      own.assign(work.real.get(), work.real.get() + input.size());
      std::vector<double> from(static_cast<std::size_t>(spacing) * count, -7.0);
      double* in[count];
      for (int l = 0; l < count; ++l) {
        in[l] = from.data() + std::min(l, 4) * spacing;
        std::copy_n(input.begin() + std::min(l, 4) * plan.real_distance, n, in[l]);
      }
      std::fill_n(work.real.get(), input.size(), std::nan(""));  // the inverse reads in[] alone
      dct3_batch(plan, work, keep, in);
      for (int l = 0; l < count; ++l) {
        EXPECT_TRUE(
            bits_equal(work.real.get() + l * plan.real_distance, own.data() + l * plan.real_distance, n))
            << "dct3 line " << l;
        for (std::int64_t i = n; i < spacing; ++i)
          EXPECT_EQ(in[std::min(l, 4)][i], -7.0) << "dct3 line " << l;
      }
    }
  }
}

// The row passes' column forms give the bits of the line forms with the
// copy into (or out of) the columns, where they run; elsewhere (odd
// lengths, the paired routes, no column kernel) they decline and touch
// nothing. The array's padding rows are never written.
TEST(FftDct, ColumnFormsGiveTheLineFormsBits) {
  constexpr int count = 8;
  constexpr std::int64_t stride = 16;
  for (std::int32_t n : {1, 2, 7, 16, 22, 30, 64, 202, 1080}) {
    const bool runs = n % 2 == 0 && !uses_chirp(n) && best_half_untangle().dct2_columns != nullptr;
    for (std::int32_t keep : {1, n / 2, n / 2 + 1, n - 1, n}) {
      if (keep < 1 || keep > n) continue;
      SCOPED_TRACE(testing::Message() << "N = " << n << ", keep " << keep);
      random_batch batch(n, count, static_cast<std::uint32_t>(n * 17 + keep));
      dct_plan& plan = batch.plan;
      dct_workspace& work = batch.work;
      const std::vector<double>& input = batch.input;
      // 64-byte aligned columns, NaN where nothing may be written.
      std::vector<double> storage(static_cast<std::size_t>(n) * stride + 8, std::nan(""));
      double* const columns =
          storage.data() + ((64 - reinterpret_cast<std::uintptr_t>(storage.data()) % 64) % 64) / 8;

      std::copy(input.begin(), input.end(), work.real.get());
      dct2_batch(plan, work, keep);
      const std::vector<double> own(work.real.get(), work.real.get() + input.size());
      for (bool stream : {false, true}) {
        std::copy(input.begin(), input.end(), work.real.get());
        ASSERT_EQ(dct2_batch_to_columns(plan, work, keep, columns, stride, stream), runs);
        for (std::int32_t u = 0; u < n; ++u)
          for (int l = 0; l < stride; ++l) {
            const double got = columns[u * stride + l];
            if (runs && u < keep && l < count)
              EXPECT_EQ(std::memcmp(&got, &own[l * plan.real_distance + u], sizeof got), 0) << u << ", " << l;
            else
              EXPECT_TRUE(std::isnan(got)) << u << ", " << l;
          }
      }
      if (!runs) continue;

      // Inverse: the columns just written, the zero-frequency terms halved
      // on the way, against the lines copied out and halved.
      for (int l = 0; l < count; ++l) {
        double* line = work.real.get() + l * plan.real_distance;
        for (std::int32_t u = 0; u < keep; ++u) line[u] = columns[u * stride + l];
        line[0] *= 0.5;
      }
      dct3_batch(plan, work, keep);
      const std::vector<double> lines(work.real.get(), work.real.get() + input.size());
      std::fill_n(work.real.get(), input.size(), std::nan(""));
      ASSERT_TRUE(dct3_batch_from_columns(plan, work, keep, columns, stride));
      for (int l = 0; l < count; ++l)
        EXPECT_EQ(std::memcmp(work.real.get() + l * plan.real_distance, lines.data() + l * plan.real_distance,
                              sizeof(double) * n),
                  0)
            << "dct3 line " << l;
    }
  }
}

}  // namespace