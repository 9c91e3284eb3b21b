// SPDX-License-Identifier: MIT
// dct.cc - direct-sum DCT-II / DCT-III pair.
#include "dct/dct.h"

#include <cmath>

namespace pellimor::detail {

namespace {
const double pi = 4.0 * std::atan(1.0);
}

void dct_forward(std::int32_t n, std::int64_t stride, const double* in, double* out) {
  for (std::int32_t k = 0; k < n; ++k) out[k * stride] = 0.0;
  for (std::int32_t k = 0; k < n; ++k) {
    double sum = 0.0;
    for (std::int32_t j = 0; j < n; ++j) sum = std::cos(((k * pi) * (j + 0.5)) / n) * in[j * stride] + sum;
    out[k * stride] = k == 0 ? sum * 0.5 : sum;
  }
}

void dct_inverse(std::int32_t n, std::int64_t stride, const double* in, double* out) {
  for (std::int32_t i = 0; i < n; ++i) {
    double sum = 0.0;
    for (std::int32_t k = 0; k < n; ++k) sum = std::cos((((i + 0.5) * pi) * k) / n) * in[k * stride] + sum;
    out[i * stride] = sum;
  }
}

}  // namespace pellimor::detail
