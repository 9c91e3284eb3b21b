// SPDX-License-Identifier: MIT
// dct.h - the one-dimensional cosine transform pair, as direct sums.
//
// dct_forward is an unnormalised DCT-II with the zero-frequency term halved:
//   out[0] = 1/2 * sum_n in[n]
//   out[k] = sum_n in[n] * cos(pi * k * (n + 1/2) / N)          (k >= 1)
// dct_inverse is an unnormalised DCT-III with every term at weight 1:
//   out[i] = sum_k in[k] * cos(pi * (i + 1/2) * k / N)
// so dct_inverse(dct_forward(x)) = (N/2) * x.
//
// Each output is accumulated term by term in ascending order with one cosine
// per term; these sums define the values every faster engine must reproduce.
// Lines are N doubles at stride `stride` from the given pointers; `in` and
// `out` must not overlap.
#pragma once

#include <cstdint>

namespace pellimor::detail {

void dct_forward(std::int32_t n, std::int64_t stride, const double* in, double* out);
void dct_inverse(std::int32_t n, std::int64_t stride, const double* in, double* out);

}  // namespace pellimor::detail
