// SPDX-License-Identifier: MIT
// half_untangle_test.cc - every vector version gives the plain version's
// bits, and writes exactly where it does.
#include "dct/half_untangle.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace pellimor::detail;  // the library's internals

namespace {

struct twiddle_arrays {
  std::vector<double> wr, wi, big_wr, big_wi;
  explicit twiddle_arrays(std::int32_t n) {
    const double pi = std::acos(-1.0);
    for (std::int32_t k = 0; k <= n / 2; ++k) {
      wr.push_back(std::cos(pi * k / (2.0 * n)));
      wi.push_back(-std::sin(pi * k / (2.0 * n)));
    }
    for (std::int32_t k = 0; k < n / 2; ++k) {
      big_wr.push_back(std::cos(-2.0 * pi * k / n));
      big_wi.push_back(std::sin(-2.0 * pi * k / n));
    }
  }
  half_twiddles view() const { return {wr.data(), wi.data(), big_wr.data(), big_wi.data()}; }
};

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(HalfUntangle, EveryVersionGivesThePlainBits) {
  int count = 0;
  const half_untangle_kernels* kernels = runnable_half_untangles(&count);
  ASSERT_GE(count, 1);
  EXPECT_EQ(kernels[0].dct2, plain_half_untangle.dct2);
  std::mt19937_64 random(12345);
  std::uniform_real_distribution<double> value(-1000.0, 1000.0);
  const std::int32_t lengths[] = {2,  4,  6,  8,  10, 12, 14,  16,  18,  20,   22,  30,
                                  34, 38, 42, 46, 50, 54, 58, 62, 64, 66, 126, 250, 1000, 1922};
  for (std::int32_t n : lengths) {
    const twiddle_arrays tw(n);
    const half_twiddles t = tw.view();
    for (std::int32_t keep : {1, 2, 3, n / 2 - 1, n / 2, n / 2 + 1, n / 2 + 2, n - 5, n - 1, n}) {
      if (keep < 1 || keep > n) continue;
      SCOPED_TRACE("N = " + std::to_string(n) + ", keep " + std::to_string(keep));
      std::vector<double> spectrum(n), coefficients(n);
      for (double& v : spectrum) v = value(random);
      for (std::int32_t k = 0; k < n; ++k) coefficients[k] = k < keep ? value(random) : 0.0;
      // Zeros of both signs among the kept ones: a product of -0 must stay
      // -0 in the low tangle, as in the full one.
      for (std::int32_t k = 1; k < keep; k += 3) coefficients[k] = k % 2 ? -0.0 : 0.0;
      // Outputs start as NaN, so positions a version leaves alone show.
      const std::vector<double> untouched(n + 4, std::nan(""));
      std::vector<double> plain2 = untouched, plain3 = untouched;
      plain_half_untangle.dct2(spectrum.data(), plain2.data(), n, keep, t);
      plain_half_untangle.dct3(coefficients.data(), plain3.data(), n, t);
      if (keep <= n / 2 + 1) {
        // The low tangle reads nothing past M: poison it.
        std::vector<double> low_input = coefficients;
        std::fill(low_input.begin() + n / 2 + 1, low_input.end(), std::nan(""));
        for (int i = 0; i < count; ++i) {
          std::vector<double> got3 = untouched;
          kernels[i].dct3_low(low_input.data(), got3.data(), n, t);
          EXPECT_TRUE(same_bits(got3, plain3)) << kernels[i].name << " dct3_low";
        }
      }
      for (int i = 1; i < count; ++i) {
        std::vector<double> got2 = untouched, got3 = untouched;
        kernels[i].dct2(spectrum.data(), got2.data(), n, keep, t);
        kernels[i].dct3(coefficients.data(), got3.data(), n, t);
        EXPECT_TRUE(same_bits(got2, plain2)) << kernels[i].name << " dct2";
        EXPECT_TRUE(same_bits(got3, plain3)) << kernels[i].name << " dct3";
      }
    }
  }
}

// The column versions against the plain steps line by line, over lengths
// whose bins pair up evenly and unevenly and keeps on both sides of M.
// Columns past keep and spectrum entries past each line's M bins must be
// left alone; the array's padding rows too.
TEST(HalfUntangle, ColumnVersionsGiveThePlainBits) {
  int count = 0;
  const half_untangle_kernels* kernels = runnable_half_untangles(&count);
  std::mt19937_64 random(777);
  std::uniform_real_distribution<double> value(-1000.0, 1000.0);
  constexpr std::int64_t stride = 24;  // two padding cache lines a column
  int checked = 0;
  for (std::int32_t n : {2, 4, 6, 8, 10, 14, 16, 30, 64, 66, 250, 1922}) {
    const twiddle_arrays tw(n);
    const half_twiddles t = tw.view();
    const std::int64_t z_distance = n + 6;  // M complex values and some slack
    for (std::int32_t keep : {1, 2, n / 2 - 1, n / 2, n / 2 + 1, n / 2 + 2, n - 1, n}) {
      if (keep < 1 || keep > n) continue;
      SCOPED_TRACE("N = " + std::to_string(n) + ", keep " + std::to_string(keep));
      std::vector<double> spectra(column_lines * z_distance), coefficients(n * stride, std::nan(""));
      for (double& v : spectra) v = value(random);
      for (std::int32_t u = 0; u < keep; ++u)
        for (int l = 0; l < column_lines; ++l)
          coefficients[u * stride + l] = (u + l) % 5 == 1 ? ((u + l) % 2 ? -0.0 : 0.0) : value(random);
      const std::vector<double> untouched_columns(n * stride + 8, std::nan(""));
      const std::vector<double> untouched_spectra(column_lines * z_distance, std::nan(""));
      std::vector<double> plain2 = untouched_columns, plain3 = untouched_spectra;
      // The array starts 64-byte aligned in the pass; here a vector's own
      // alignment is rounded up to a cache line.
      const auto aligned = [](std::vector<double>& v) {
        const auto address = reinterpret_cast<std::uintptr_t>(v.data());
        return v.data() + ((64 - address % 64) % 64) / sizeof(double);
      };
      plain_dct2_columns(spectra.data(), z_distance, aligned(plain2), stride, n, keep, false, t);
      plain_dct3_columns(coefficients.data(), stride, keep, plain3.data(), z_distance, n, t);
      std::vector<double> columns_in(n * stride + 8, std::nan(""));
      std::copy(coefficients.begin(), coefficients.end(), aligned(columns_in));
      for (int i = 0; i < count; ++i) {
        if (kernels[i].dct2_columns == nullptr) continue;
        for (bool stream : {false, true}) {
          std::vector<double> got2 = untouched_columns;
          kernels[i].dct2_columns(spectra.data(), z_distance, aligned(got2), stride, n, keep, stream, t);
          EXPECT_EQ(std::memcmp(aligned(got2), aligned(plain2), sizeof(double) * n * stride), 0)
              << kernels[i].name << " dct2_columns, stream " << stream;
        }
        std::vector<double> got3 = untouched_spectra;
        kernels[i].dct3_columns(aligned(columns_in), stride, keep, got3.data(), z_distance, n, t);
        EXPECT_TRUE(same_bits(got3, plain3)) << kernels[i].name << " dct3_columns";
        ++checked;
      }
    }
  }
  if (checked == 0) GTEST_SKIP() << "no column kernel on this processor";
}

}  // namespace