// SPDX-License-Identifier: MIT
// chirp_steps.cc - plain and AVX2 steps around Bluestein's convolution.
//
// Contraction is off for this file, as for the untangling: the vector
// version must give the plain version's bits whatever flags the build uses.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include "dct/chirp_steps.h"

#include <algorithm>

#include "core/cpu.h"

#if defined(__x86_64__) || defined(__i386__)
#define PELLIMOR_X86_VECTORS 1
#include <immintrin.h>
#endif

namespace pellimor::detail {

namespace {

using complex = std::complex<double>;

// a[k] times the chirp, or as it is without one.
inline complex chirped(const complex* a, const complex* chirp, std::int32_t k) {
  return chirp != nullptr ? times(a[k], chirp[k]) : a[k];
}

void plain_load_pair(const double* x, const double* y, const complex* chirp, complex* a, std::int32_t n) {
  for (std::int32_t j = 0; j < n; ++j) a[j] = times(complex(x[j], y[j]), chirp[j]);
}

// Bin k of dct2_pair (0 < k <= N/2), `low` and `high` saying which of
// out[k] and out[N-k] are wanted.
inline void dct2_pair_bin(const complex* a, const complex* chirp, const double* wr, const double* wi,
                          std::int32_t n, std::int32_t k, bool low, bool high, double* out_x, double* out_y) {
  const complex za = chirped(a, chirp, k), b = std::conj(chirped(a, chirp, n - k));
  const complex x = 0.5 * (za + b);
  const complex y = {0.5 * (za.imag() - b.imag()), -0.5 * (za.real() - b.real())};  // (za - b) / 2i
  if (low) {
    out_x[k] = wr[k] * x.real() - wi[k] * x.imag();
    out_y[k] = wr[k] * y.real() - wi[k] * y.imag();
  }
  if (high) {
    out_x[n - k] = -(wr[k] * x.imag() + wi[k] * x.real());
    out_y[n - k] = -(wr[k] * y.imag() + wi[k] * y.real());
  }
}

// dct2_pair's zero-frequency terms.
inline void dct2_pair_zero(const complex* a, const complex* chirp, double* out_x, double* out_y) {
  const complex z0 = chirped(a, chirp, 0), b = std::conj(z0);
  out_x[0] = (0.5 * (z0 + b)).real();
  out_y[0] = 0.5 * (z0.imag() - b.imag());
}

// dct2_pair's bins from k = first on.
void dct2_pair_from(const complex* a, const complex* chirp, const double* wr, const double* wi,
                    std::int32_t n, std::int32_t keep, std::int32_t first, double* out_x, double* out_y) {
  const std::int32_t low_end = std::min(n / 2, keep - 1), high_start = std::max(n - keep + 1, 1);
  const std::int32_t high_end = (n - 1) / 2;  // N - k > k
  const std::int32_t end = std::max(low_end, high_start <= high_end ? high_end : 0);
  for (std::int32_t k = first; k <= end; ++k)
    dct2_pair_bin(a, chirp, wr, wi, n, k, k <= low_end, k >= high_start && k <= high_end, out_x, out_y);
}

void plain_dct2_pair(const complex* a, const complex* chirp, const double* wr, const double* wi,
                     std::int32_t n, std::int32_t keep, double* out_x, double* out_y) {
  dct2_pair_zero(a, chirp, out_x, out_y);
  dct2_pair_from(a, chirp, wr, wi, n, keep, 1, out_x, out_y);
}

// conj(X + i Y) from a bin of each spectrum (the bins above N/2 are those
// below them conjugated).
inline complex spectra_bin(complex x, complex y) { return {x.real() - y.imag(), -(x.imag() + y.real())}; }

void plain_load_spectra(const complex* sx, const complex* sy, const complex* chirp, complex* a,
                        std::int32_t n) {
  for (std::int32_t k = 0; k <= n / 2; ++k) a[k] = times(spectra_bin(sx[k], sy[k]), chirp[k]);
  for (std::int32_t k = n / 2 + 1; k < n; ++k)
    a[k] = times(spectra_bin(std::conj(sx[n - k]), std::conj(sy[n - k])), chirp[k]);
}

void plain_split_pair(const complex* a, const complex* chirp, std::int32_t n, double* x, double* y) {
  for (std::int32_t j = 0; j < n; ++j) {
    const complex v = chirped(a, chirp, j);
    x[j] = v.real();
    y[j] = -v.imag();
  }
}

#ifdef PELLIMOR_X86_VECTORS
// Four complex values at p, their real and imaginary halves apart, in the
// lane order (0, 2, 1, 3) that unpacking leaves them in: every quantity of
// a step is kept in that order, and put back in order when stored.
struct split4 {
  __m256d re, im;
};

__attribute__((target("avx2"))) inline split4 load_split(const complex* p) {
  const __m256d a = _mm256_loadu_pd(reinterpret_cast<const double*>(p));
  const __m256d b = _mm256_loadu_pd(reinterpret_cast<const double*>(p + 2));
  return {_mm256_unpacklo_pd(a, b), _mm256_unpackhi_pd(a, b)};
}

// p[3], p[2], p[1], p[0] as load_split orders four values from p[0].
__attribute__((target("avx2"))) inline split4 load_split_reversed(const complex* p) {
  const split4 s = load_split(p);
  return {_mm256_permute4x64_pd(s.re, 0x1b), _mm256_permute4x64_pd(s.im, 0x1b)};
}

// Four doubles at p in load_split's lane order, and back.
constexpr int shuffled = 0xd8;  // lanes 0, 2, 1, 3: its own inverse
__attribute__((target("avx2"))) inline __m256d load_shuffled(const double* p) {
  return _mm256_permute4x64_pd(_mm256_loadu_pd(p), shuffled);
}
__attribute__((target("avx2"))) inline void store_shuffled(double* p, __m256d v) {
  _mm256_storeu_pd(p, _mm256_permute4x64_pd(v, shuffled));
}
// p[3], p[2], p[1], p[0] from lanes in load_split's order.
__attribute__((target("avx2"))) inline void store_shuffled_reversed(double* p, __m256d v) {
  _mm256_storeu_pd(p, _mm256_permute4x64_pd(v, 0x27));
}

__attribute__((target("avx2"))) inline void store_complex(complex* p, const split4& v) {
  _mm256_storeu_pd(reinterpret_cast<double*>(p), _mm256_unpacklo_pd(v.re, v.im));
  _mm256_storeu_pd(reinterpret_cast<double*>(p + 2), _mm256_unpackhi_pd(v.re, v.im));
}

__attribute__((target("avx2"))) inline split4 times4(const split4& a, const split4& b) {
  return {_mm256_sub_pd(_mm256_mul_pd(a.re, b.re), _mm256_mul_pd(a.im, b.im)),
          _mm256_add_pd(_mm256_mul_pd(a.re, b.im), _mm256_mul_pd(a.im, b.re))};
}

__attribute__((target("avx2"))) inline split4 chirped4(const complex* a, const complex* chirp,
                                                       std::int32_t k) {
  return chirp != nullptr ? times4(load_split(a + k), load_split(chirp + k)) : load_split(a + k);
}

// The same for a[k + 3], a[k + 2], a[k + 1], a[k].
__attribute__((target("avx2"))) inline split4 chirped4_reversed(const complex* a, const complex* chirp,
                                                                std::int32_t k) {
  return chirp != nullptr ? times4(load_split_reversed(a + k), load_split_reversed(chirp + k))
                          : load_split_reversed(a + k);
}

__attribute__((target("avx2"))) void avx2_load_pair(const double* x, const double* y, const complex* chirp,
                                                    complex* a, std::int32_t n) {
  std::int32_t j = 0;
  for (; j + 4 <= n; j += 4)
    store_complex(a + j, times4({load_shuffled(x + j), load_shuffled(y + j)}, load_split(chirp + j)));
  plain_load_pair(x + j, y + j, chirp + j, a + j, n - j);
}

__attribute__((target("avx2"))) void avx2_dct2_pair(const complex* a, const complex* chirp, const double* wr,
                                                    const double* wi, std::int32_t n, std::int32_t keep,
                                                    double* out_x, double* out_y) {
  const std::int32_t low_end = std::min(n / 2, keep - 1), high_start = std::max(n - keep + 1, 1);
  const std::int32_t high_end = (n - 1) / 2;
  const std::int32_t end = std::max(low_end, high_start <= high_end ? high_end : 0);
  const __m256d half = _mm256_set1_pd(0.5), minus_half = _mm256_set1_pd(-0.5);
  const __m256d sign = _mm256_set1_pd(-0.0);
  std::int32_t k = 1;
  // Whole blocks of four bins, each wanting all of its low or all of its
  // high outputs, or none; the bins around the edges go one by one.
  const auto whole = [&](std::int32_t first, std::int32_t last, std::int32_t from, std::int32_t to) {
    return from <= first && last <= to;
  };
  const auto none = [&](std::int32_t first, std::int32_t last, std::int32_t from, std::int32_t to) {
    return last < from || to < first;
  };
  for (; k + 3 <= end; k += 4) {
    const bool low = whole(k, k + 3, 1, low_end), high = whole(k, k + 3, high_start, high_end);
    if ((!low && !none(k, k + 3, 1, low_end)) || (!high && !none(k, k + 3, high_start, high_end))) {
      for (std::int32_t i = k; i < k + 4; ++i)
        dct2_pair_bin(a, chirp, wr, wi, n, i, i <= low_end, i >= high_start && i <= high_end, out_x, out_y);
      continue;
    }
    const split4 za = chirped4(a, chirp, k), zb = chirped4_reversed(a, chirp, n - k - 3);
    const __m256d br = zb.re, bi = _mm256_xor_pd(zb.im, sign);  // conj
    const __m256d xr = _mm256_mul_pd(half, _mm256_add_pd(za.re, br));
    const __m256d xi = _mm256_mul_pd(half, _mm256_add_pd(za.im, bi));
    const __m256d yr = _mm256_mul_pd(half, _mm256_sub_pd(za.im, bi));
    const __m256d yi = _mm256_mul_pd(minus_half, _mm256_sub_pd(za.re, br));
    const __m256d w_r = load_shuffled(wr + k), w_i = load_shuffled(wi + k);
    if (low) {
      store_shuffled(out_x + k, _mm256_sub_pd(_mm256_mul_pd(w_r, xr), _mm256_mul_pd(w_i, xi)));
      store_shuffled(out_y + k, _mm256_sub_pd(_mm256_mul_pd(w_r, yr), _mm256_mul_pd(w_i, yi)));
    }
    if (high) {
      const __m256d hx = _mm256_add_pd(_mm256_mul_pd(w_r, xi), _mm256_mul_pd(w_i, xr));
      const __m256d hy = _mm256_add_pd(_mm256_mul_pd(w_r, yi), _mm256_mul_pd(w_i, yr));
      store_shuffled_reversed(out_x + n - k - 3, _mm256_xor_pd(hx, sign));
      store_shuffled_reversed(out_y + n - k - 3, _mm256_xor_pd(hy, sign));
    }
  }
  dct2_pair_zero(a, chirp, out_x, out_y);
  dct2_pair_from(a, chirp, wr, wi, n, keep, k, out_x, out_y);
}

__attribute__((target("avx2"))) void avx2_load_spectra(const complex* sx, const complex* sy,
                                                       const complex* chirp, complex* a, std::int32_t n) {
  const __m256d sign = _mm256_set1_pd(-0.0);
  const std::int32_t half = n / 2;
  std::int32_t k = 0;
  for (; k + 3 <= half; k += 4) {
    const split4 x = load_split(sx + k), y = load_split(sy + k);
    const split4 v = {_mm256_sub_pd(x.re, y.im), _mm256_xor_pd(_mm256_add_pd(x.im, y.re), sign)};
    store_complex(a + k, times4(v, load_split(chirp + k)));
  }
  for (; k <= half; ++k) a[k] = times(spectra_bin(sx[k], sy[k]), chirp[k]);
  // Bins above N/2 from the conjugates of N - k: x.re + y.im and
  // -(y.re - x.im), as spectra_bin of the conjugates makes them.
  for (; k + 3 < n; k += 4) {
    const split4 x = load_split_reversed(sx + n - k - 3), y = load_split_reversed(sy + n - k - 3);
    const __m256d x_im = _mm256_xor_pd(x.im, sign), y_im = _mm256_xor_pd(y.im, sign);
    const split4 v = {_mm256_sub_pd(x.re, y_im), _mm256_xor_pd(_mm256_add_pd(x_im, y.re), sign)};
    store_complex(a + k, times4(v, load_split(chirp + k)));
  }
  for (; k < n; ++k) a[k] = times(spectra_bin(std::conj(sx[n - k]), std::conj(sy[n - k])), chirp[k]);
}

__attribute__((target("avx2"))) void avx2_split_pair(const complex* a, const complex* chirp, std::int32_t n,
                                                     double* x, double* y) {
  const __m256d sign = _mm256_set1_pd(-0.0);
  std::int32_t j = 0;
  for (; j + 4 <= n; j += 4) {
    const split4 v = chirped4(a, chirp, j);
    store_shuffled(x + j, v.re);
    store_shuffled(y + j, _mm256_xor_pd(v.im, sign));
  }
  plain_split_pair(a + j, chirp != nullptr ? chirp + j : nullptr, n - j, x + j, y + j);
}

const chirp_steps avx2_chirp_steps = {"avx2", avx2_load_pair, avx2_dct2_pair, avx2_load_spectra,
                                      avx2_split_pair};
#endif

}  // namespace

const chirp_steps plain_chirp_steps = {"plain", plain_load_pair, plain_dct2_pair, plain_load_spectra,
                                       plain_split_pair};

const chirp_steps* runnable_chirp_steps(int* count) {
#ifdef PELLIMOR_X86_VECTORS
  static const chirp_steps all[] = {plain_chirp_steps, avx2_chirp_steps};
  *count = cpu_has_avx2() ? 2 : 1;
  return all;
#else
  *count = 1;
  return &plain_chirp_steps;
#endif
}

const chirp_steps& best_chirp_steps() {
  static const chirp_steps& best = []() -> const chirp_steps& {
    int count = 0;
    const chirp_steps* all = runnable_chirp_steps(&count);
    return all[count - 1];
  }();
  return best;
}

}  // namespace pellimor::detail
