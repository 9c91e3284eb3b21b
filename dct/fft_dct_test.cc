// SPDX-License-Identifier: MIT
// fft_dct_test.cc - the FFT-based DCT batches against the defining sums,
// on both routes: FFTW's real FFTs and Bluestein's chirp-z.
#include "dct/fft_dct.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/reference.h"

using namespace pellimor::detail;  // the library's internals

namespace {

constexpr int lines = 4;

TEST(FftDct, LengthsWithLargePrimeFactorsTakeTheChirpRoute) {
  const std::pair<std::int32_t, bool> cases[] = {
      {1, false},   {2, false},    {7, false},    {11, true},      {22, true},    {49, false},
      {1021, true}, {1080, false}, {2187, false}, {2 * 509, true}, {3840, false},
  };
  for (const auto& [length, chirp] : cases) EXPECT_EQ(uses_chirp(length), chirp) << length;
}

TEST(FftDct, Dct2AndDct3MatchTheSums) {
  // Smooth, odd, prime and composite-with-a-large-prime lengths; keep < N
  // checks the cut and the zero tail.
  for (std::int32_t n : {1, 2, 3, 4, 5, 8, 11, 13, 22, 26, 49, 97, 128, 243}) {
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

}  // namespace
