// SPDX-License-Identifier: MIT
// chirp_steps_test.cc - every vector version of the steps around
// Bluestein's convolution gives the plain version's bits, and writes
// exactly where it does.
#include "dct/chirp_steps.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace pellimor::detail;  // the library's internals

namespace {

using complex = std::complex<double>;

template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

// Odd and even lengths, short ones that the vector loops barely enter and
// ones whose blocks of four end at every remainder.
TEST(ChirpSteps, EveryVersionGivesThePlainBits) {
  int count = 0;
  const chirp_steps* steps = runnable_chirp_steps(&count);
  ASSERT_GE(count, 1);
  EXPECT_EQ(steps[0].dct2_pair, plain_chirp_steps.dct2_pair);
  if (count == 1) GTEST_SKIP() << "no vector version on this processor";
  std::mt19937_64 random(2026);
  std::uniform_real_distribution<double> value(-1000.0, 1000.0);
  const auto values = [&](std::int32_t size) {
    std::vector<double> v(size);
    for (double& x : v) x = value(random);
    return v;
  };
  const auto complexes = [&](std::int32_t size) {
    std::vector<complex> v(size);
    for (complex& x : v) x = {value(random), value(random)};
    return v;
  };
  const double nan = std::nan("");
  for (std::int32_t n : {3, 5, 7, 8, 9, 10, 11, 13, 37, 38, 41, 43, 74, 97, 202, 1021, 1294}) {
    const std::vector<double> x = values(n), y = values(n), wr = values(n / 2 + 1), wi = values(n / 2 + 1);
    const std::vector<complex> chirp = complexes(n), a = complexes(n);
    const std::vector<complex> sx = complexes(n / 2 + 1), sy = complexes(n / 2 + 1);
    const std::vector<complex> no_values(n + 4, {nan, nan});
    std::vector<complex> plain_in = no_values, plain_spectra = no_values;
    plain_chirp_steps.load_pair(x.data(), y.data(), chirp.data(), plain_in.data(), n);
    plain_chirp_steps.load_spectra(sx.data(), sy.data(), chirp.data(), plain_spectra.data(), n);
    for (int i = 1; i < count; ++i) {
      SCOPED_TRACE(std::string(steps[i].name) + ", N = " + std::to_string(n));
      std::vector<complex> in = no_values, spectra = no_values;
      steps[i].load_pair(x.data(), y.data(), chirp.data(), in.data(), n);
      steps[i].load_spectra(sx.data(), sy.data(), chirp.data(), spectra.data(), n);
      EXPECT_TRUE(same_bits(in, plain_in)) << "load_pair";
      EXPECT_TRUE(same_bits(spectra, plain_spectra)) << "load_spectra";
    }
    // The ways out with the chirp and without one (Rader's bins).
    for (const complex* with : {chirp.data(), static_cast<const complex*>(nullptr)}) {
      SCOPED_TRACE(std::string(with != nullptr ? "chirp" : "no chirp") + ", N = " + std::to_string(n));
      std::vector<double> plain_x(n + 4, nan), plain_y(n + 4, nan);
      plain_chirp_steps.split_pair(a.data(), with, n, plain_x.data(), plain_y.data());
      for (int i = 1; i < count; ++i) {
        std::vector<double> got_x(n + 4, nan), got_y(n + 4, nan);
        steps[i].split_pair(a.data(), with, n, got_x.data(), got_y.data());
        EXPECT_TRUE(same_bits(got_x, plain_x) && same_bits(got_y, plain_y)) << steps[i].name << " split_pair";
      }
      // The coefficients kept on either side of N/2, and few: outputs
      // start as NaN, so that positions a version should leave alone show.
      for (std::int32_t keep : {1, 2, 5, n / 2 - 1, n / 2, n / 2 + 1, n / 2 + 2, n - 6, n - 1, n}) {
        if (keep < 1 || keep > n) continue;
        std::vector<double> plain_out_x(n + 4, nan), plain_out_y(n + 4, nan);
        plain_chirp_steps.dct2_pair(a.data(), with, wr.data(), wi.data(), n, keep, plain_out_x.data(),
                                    plain_out_y.data());
        for (std::int32_t k = 0; k < n; ++k)
          EXPECT_EQ(std::isnan(plain_out_x[k]), k >= keep) << "keep " << keep;
        for (int i = 1; i < count; ++i) {
          std::vector<double> out_x(n + 4, nan), out_y(n + 4, nan);
          steps[i].dct2_pair(a.data(), with, wr.data(), wi.data(), n, keep, out_x.data(), out_y.data());
          EXPECT_TRUE(same_bits(out_x, plain_out_x) && same_bits(out_y, plain_out_y))
              << steps[i].name << " dct2_pair, keep " << keep;
        }
      }
    }
  }
}

}  // namespace
