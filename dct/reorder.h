// SPDX-License-Identifier: MIT
// reorder.h - a line of doubles put in the order the batched transforms
// take (fft_dct.h): evens ascending, then odds descending.
#pragma once

#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace pellimor::detail {

// The n doubles at `line` (any alignment) into reordered places in `out`,
// two pairs at a time.
inline void load_reordered_doubles(std::int32_t n, const void* line, double* out) {
  const auto* bytes = static_cast<const std::uint8_t*>(line);
  const auto at = [bytes](std::int32_t k) {
    double v;
    std::memcpy(&v, bytes + static_cast<std::size_t>(k) * sizeof v, sizeof v);
    return v;
  };
  std::int32_t i = 0;
#ifdef __SSE2__
  const auto* p = static_cast<const double*>(line);
  for (; 2 * i + 4 <= n; i += 2) {
    const __m128d a = _mm_loadu_pd(p + 2 * i), b = _mm_loadu_pd(p + 2 * i + 2);
    _mm_storeu_pd(out + i, _mm_unpacklo_pd(a, b));
    const __m128d odd = _mm_unpackhi_pd(a, b);  // 2i + 1, 2i + 3
    _mm_storeu_pd(out + n - 2 - i, _mm_shuffle_pd(odd, odd, 1));
  }
#endif
  for (std::int32_t j = i; 2 * j < n; ++j) out[j] = at(2 * j);
  for (std::int32_t j = i; 2 * j + 1 < n; ++j) out[n - 1 - j] = at(2 * j + 1);
}

}  // namespace pellimor::detail
