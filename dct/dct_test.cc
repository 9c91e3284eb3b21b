// SPDX-License-Identifier: MIT
// dct_test.cc - the direct-sum transform pair against its defining sums.
#include "dct/dct.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "tests/reference.h"

using namespace pellimor::detail;  // the library's internals

namespace {

std::vector<double> random_line(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> value(-300.0, 300.0);
  std::vector<double> line(n);
  for (double& v : line) v = value(rng);
  return line;
}

TEST(Dct, MatchesDefiningSumsForManyLengths) {
  for (int n : {1, 2, 3, 4, 7, 16, 31}) {
    SCOPED_TRACE(n);
    const std::vector<double> in = random_line(n, n);
    std::vector<double> forward(n), inverse(n);
    dct_forward(n, 1, in.data(), forward.data());
    dct_inverse(n, 1, in.data(), inverse.data());
    for (int k = 0; k < n; ++k) {
      long double f = 0, i = 0;
      for (int j = 0; j < n; ++j) {
        f += in[j] * reference::cos_half_pi(std::int64_t{k} * (2 * j + 1), n);
        i += in[j] * reference::cos_half_pi(std::int64_t{2 * k + 1} * j, n);
      }
      if (k == 0) f /= 2;
      EXPECT_NEAR(forward[k], static_cast<double>(f), 1e-9 * 300 * n) << "forward k=" << k;
      EXPECT_NEAR(inverse[k], static_cast<double>(i), 1e-9 * 300 * n) << "inverse i=" << k;
    }
  }
}

TEST(Dct, LengthOneHalvesForwardAndKeepsInverse) {
  const double in = 77.0;
  double out = 0.0;
  dct_forward(1, 1, &in, &out);
  EXPECT_DOUBLE_EQ(out, 38.5);
  dct_inverse(1, 1, &in, &out);
  EXPECT_DOUBLE_EQ(out, 77.0);
}

TEST(Dct, RoundTripScalesByHalfTheLength) {
  for (int n : {1, 2, 5, 8, 13}) {
    const std::vector<double> in = random_line(n, 100 + n);
    std::vector<double> coefficients(n), back(n);
    dct_forward(n, 1, in.data(), coefficients.data());
    dct_inverse(n, 1, coefficients.data(), back.data());
    for (int i = 0; i < n; ++i) EXPECT_NEAR(back[i], in[i] * n / 2.0, 1e-9) << "n=" << n << " i=" << i;
  }
}

TEST(Dct, ConstantLineKeepsOnlyTheZeroFrequency) {
  for (int n : {1, 3, 6, 10}) {
    const std::vector<double> in(n, 9.0);
    std::vector<double> out(n);
    dct_forward(n, 1, in.data(), out.data());
    EXPECT_NEAR(out[0], n * 9.0 / 2, 1e-12);
    for (int k = 1; k < n; ++k) EXPECT_NEAR(out[k], 0.0, 1e-12) << "n=" << n << " k=" << k;
  }
}

TEST(Dct, ZeroExtendedInverseStretchesAConstant) {
  // N forward coefficients of a constant c, then M - N zeros: a constant N*c/2.
  for (auto [n, m] : {std::pair{2, 5}, {3, 3}, {4, 9}, {7, 8}}) {
    std::vector<double> in(n, 5.0), coefficients(m, 0.0), out(m);
    dct_forward(n, 1, in.data(), coefficients.data());
    dct_inverse(m, 1, coefficients.data(), out.data());
    for (int i = 0; i < m; ++i) EXPECT_NEAR(out[i], n * 5.0 / 2, 1e-12) << n << "->" << m;
  }
}

TEST(Dct, StridedLinesMatchContiguousAndLeaveGapsAlone) {
  const int n = 6, stride = 3;
  const std::vector<double> line = random_line(n, 7);
  std::vector<double> in(n * stride, -1.0), out(n * stride, -2.0);
  for (int i = 0; i < n; ++i) in[i * stride] = line[i];
  for (auto transform : {dct_forward, dct_inverse}) {
    std::vector<double> expected(n);
    transform(n, 1, line.data(), expected.data());
    transform(n, stride, in.data(), out.data());
    for (int i = 0; i < n * stride; ++i)
      EXPECT_EQ(out[i], i % stride == 0 ? expected[i / stride] : -2.0) << "index " << i;
  }
}

}  // namespace
