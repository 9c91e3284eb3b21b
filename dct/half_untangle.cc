// SPDX-License-Identifier: MIT
// half_untangle.cc - plain, SSE2 and AVX2 untangling for even lengths.
//
// A fused multiply-add rounds once where a multiply then an add rounds
// twice, so contraction is turned off for this file: the vector versions
// must give the plain version's bits whatever flags the build uses.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include "dct/half_untangle.h"

#include <algorithm>
#include <vector>

#include "core/cpu.h"

#if defined(__x86_64__) || defined(__i386__)
#define PELLIMOR_X86_VECTORS 1
#include <immintrin.h>
#endif

namespace pellimor::detail {

namespace {

// dct2 bin k (0 < k < M) from z[k] and z[M-k]: with
// E = (Z[k] + conj Z[M-k]) / 2, O = (Z[k] - conj Z[M-k]) / 2i and
// X = E + W[k] O, dct2[k] = Re(w[k] X) and, when `both`, dct2[N-k] = -Im(w[k] X).
inline void dct2_bin(const double* z, double* y, std::int32_t n, std::int32_t k, bool both,
                     const half_twiddles& t) {
  const std::int32_t m = n / 2;
  const double zr = z[2 * k], zi = z[2 * k + 1], jr = z[2 * (m - k)], ji = z[2 * (m - k) + 1];
  const double er = 0.5 * (zr + jr), ei = 0.5 * (zi - ji);
  const double orr = 0.5 * (zi + ji), oi = 0.5 * (jr - zr);
  const double bwr = t.big_wr[k], bwi = t.big_wi[k];
  const double xr = er + (bwr * orr - bwi * oi), xi = ei + (bwr * oi + bwi * orr);
  y[k] = t.wr[k] * xr - t.wi[k] * xi;
  if (both) y[n - k] = -(t.wr[k] * xi + t.wi[k] * xr);
}

// dct3 bin k (0 < k < M): X[k] = conj(w[k]) (c[k] - i c[N-k]) / 2 and
// Xj = conj X[M-k]; E = X[k] + Xj, O = (X[k] - Xj) conj W[k]; z[k] = E + i O.
inline void dct3_bin(const double* c, double* z, std::int32_t n, std::int32_t k, const half_twiddles& t) {
  const std::int32_t m = n / 2, j = m - k;
  const double kr = 0.5 * (t.wr[k] * c[k] - t.wi[k] * c[n - k]);
  const double ki = -0.5 * (t.wr[k] * c[n - k] + t.wi[k] * c[k]);
  const double jr = 0.5 * (t.wr[j] * c[j] - t.wi[j] * c[n - j]);
  const double ji = -(-0.5 * (t.wr[j] * c[n - j] + t.wi[j] * c[j]));
  const double er = kr + jr, ei = ki + ji, dr = kr - jr, di = ki - ji;
  const double cwr = t.big_wr[k], cwi = -t.big_wi[k];
  const double orr = dr * cwr - di * cwi, oi = dr * cwi + di * cwr;
  z[2 * k] = er - oi;
  z[2 * k + 1] = ei + orr;
}

// dct3_bin with c[N-k] and c[N-j] zero (+0). Then w * c[N-k] is +0 for
// Re w > 0 and -0 for Im w < 0 (every bin here has both), and subtracting
// -0 is adding +0: the sums keep their zero terms, so that a product of -0
// comes out as dct3_bin makes it.
inline void dct3_bin_low(const double* c, double* z, std::int32_t n, std::int32_t k, const half_twiddles& t) {
  const std::int32_t m = n / 2, j = m - k;
  const double kr = 0.5 * (t.wr[k] * c[k] + 0.0);
  const double ki = -0.5 * (0.0 + t.wi[k] * c[k]);
  const double jr = 0.5 * (t.wr[j] * c[j] + 0.0);
  const double ji = -(-0.5 * (0.0 + t.wi[j] * c[j]));
  const double er = kr + jr, ei = ki + ji, dr = kr - jr, di = ki - ji;
  const double cwr = t.big_wr[k], cwi = -t.big_wi[k];
  const double orr = dr * cwr - di * cwi, oi = dr * cwi + di * cwr;
  z[2 * k] = er - oi;
  z[2 * k + 1] = ei + orr;
}

// Bins 1 .. only_low give coefficient k alone; from both_from on, k and N - k.
struct dct2_ranges {
  std::int32_t only_low, both_from;
};
dct2_ranges ranges(std::int32_t n, std::int32_t keep) {
  const std::int32_t m = n / 2;
  return {std::min({m - 1, keep - 1, n - keep}), std::max(1, n - keep + 1)};
}

void dct2_ends(const double* z, double* y, std::int32_t n, std::int32_t keep, const half_twiddles& t) {
  const std::int32_t m = n / 2;
  const double e0 = z[0], o0 = z[1];
  y[0] = e0 + o0;
  if (m < keep) y[m] = t.wr[m] * (e0 - o0);
}

void dct3_ends(const double* c, double* z, std::int32_t n, const half_twiddles& t) {
  const std::int32_t m = n / 2;
  const double x0 = c[0], xm = t.wr[m] * c[m];  // both bins are real
  z[0] = x0 + xm;
  z[1] = x0 - xm;
}

void plain_dct2(const double* z, double* y, std::int32_t n, std::int32_t keep, const half_twiddles& t) {
  dct2_ends(z, y, n, keep, t);
  const dct2_ranges r = ranges(n, keep);
  for (std::int32_t k = 1; k <= r.only_low; ++k) dct2_bin(z, y, n, k, false, t);
  for (std::int32_t k = r.both_from; k < n / 2; ++k) dct2_bin(z, y, n, k, true, t);
}

void plain_dct3(const double* c, double* z, std::int32_t n, const half_twiddles& t) {
  dct3_ends(c, z, n, t);
  for (std::int32_t k = 1; k < n / 2; ++k) dct3_bin(c, z, n, k, t);
}

void plain_dct3_low(const double* c, double* z, std::int32_t n, const half_twiddles& t) {
  dct3_ends(c, z, n, t);
  for (std::int32_t k = 1; k < n / 2; ++k) dct3_bin_low(c, z, n, k, t);
}

#ifdef PELLIMOR_X86_VECTORS

// Two bins k, k+1 per step, values split into real and imaginary vectors.
template <bool both>
void sse2_dct2_run(const double* z, double* y, std::int32_t n, std::int32_t from, std::int32_t to,
                   const half_twiddles& t) {
  const std::int32_t m = n / 2;
  const __m128d half = _mm_set1_pd(0.5), sign = _mm_set1_pd(-0.0);
  std::int32_t k = from;
  for (; k + 2 <= to; k += 2) {
    const __m128d a0 = _mm_loadu_pd(z + 2 * k), a1 = _mm_loadu_pd(z + 2 * k + 2);
    const __m128d b0 = _mm_loadu_pd(z + 2 * (m - k)), b1 = _mm_loadu_pd(z + 2 * (m - k - 1));
    const __m128d zr = _mm_unpacklo_pd(a0, a1), zi = _mm_unpackhi_pd(a0, a1);
    const __m128d jr = _mm_unpacklo_pd(b0, b1), ji = _mm_unpackhi_pd(b0, b1);
    const __m128d er = _mm_mul_pd(half, _mm_add_pd(zr, jr)), ei = _mm_mul_pd(half, _mm_sub_pd(zi, ji));
    const __m128d orr = _mm_mul_pd(half, _mm_add_pd(zi, ji)), oi = _mm_mul_pd(half, _mm_sub_pd(jr, zr));
    const __m128d bwr = _mm_loadu_pd(t.big_wr + k), bwi = _mm_loadu_pd(t.big_wi + k);
    const __m128d xr = _mm_add_pd(er, _mm_sub_pd(_mm_mul_pd(bwr, orr), _mm_mul_pd(bwi, oi)));
    const __m128d xi = _mm_add_pd(ei, _mm_add_pd(_mm_mul_pd(bwr, oi), _mm_mul_pd(bwi, orr)));
    const __m128d wr = _mm_loadu_pd(t.wr + k), wi = _mm_loadu_pd(t.wi + k);
    _mm_storeu_pd(y + k, _mm_sub_pd(_mm_mul_pd(wr, xr), _mm_mul_pd(wi, xi)));
    if (both) {
      const __m128d high = _mm_xor_pd(sign, _mm_add_pd(_mm_mul_pd(wr, xi), _mm_mul_pd(wi, xr)));
      _mm_storeu_pd(y + n - k - 1, _mm_shuffle_pd(high, high, 1));  // N-k-1, N-k
    }
  }
  for (; k < to; ++k) dct2_bin(z, y, n, k, both, t);
}

void sse2_dct2(const double* z, double* y, std::int32_t n, std::int32_t keep, const half_twiddles& t) {
  dct2_ends(z, y, n, keep, t);
  const dct2_ranges r = ranges(n, keep);
  sse2_dct2_run<false>(z, y, n, 1, r.only_low + 1, t);
  sse2_dct2_run<true>(z, y, n, r.both_from, n / 2, t);
}

template <bool low>
void sse2_dct3_bins(const double* c, double* z, std::int32_t n, const half_twiddles& t) {
  dct3_ends(c, z, n, t);
  const std::int32_t m = n / 2;
  const __m128d half = _mm_set1_pd(0.5), minus_half = _mm_set1_pd(-0.5), sign = _mm_set1_pd(-0.0);
  const auto reversed = [](const double* p) {  // p[1], p[0]
    const __m128d v = _mm_loadu_pd(p);
    return _mm_shuffle_pd(v, v, 1);
  };
  std::int32_t k = 1;
  for (; k + 2 <= m; k += 2) {
    // Lanes k, k+1; j = M - k runs down.
    const __m128d ck = _mm_loadu_pd(c + k), cj = reversed(c + m - k - 1);
    const __m128d wrk = _mm_loadu_pd(t.wr + k), wik = _mm_loadu_pd(t.wi + k);
    const __m128d wrj = reversed(t.wr + m - k - 1), wij = reversed(t.wi + m - k - 1);
    __m128d kr, ki, jr, ji;
    if (low) {  // as dct3_bin_low
      const __m128d zero = _mm_setzero_pd();
      kr = _mm_mul_pd(half, _mm_add_pd(_mm_mul_pd(wrk, ck), zero));
      ki = _mm_mul_pd(minus_half, _mm_add_pd(zero, _mm_mul_pd(wik, ck)));
      jr = _mm_mul_pd(half, _mm_add_pd(_mm_mul_pd(wrj, cj), zero));
      ji = _mm_xor_pd(sign, _mm_mul_pd(minus_half, _mm_add_pd(zero, _mm_mul_pd(wij, cj))));
    } else {
      const __m128d cnk = reversed(c + n - k - 1), cnj = _mm_loadu_pd(c + m + k);
      kr = _mm_mul_pd(half, _mm_sub_pd(_mm_mul_pd(wrk, ck), _mm_mul_pd(wik, cnk)));
      ki = _mm_mul_pd(minus_half, _mm_add_pd(_mm_mul_pd(wrk, cnk), _mm_mul_pd(wik, ck)));
      jr = _mm_mul_pd(half, _mm_sub_pd(_mm_mul_pd(wrj, cj), _mm_mul_pd(wij, cnj)));
      ji = _mm_xor_pd(sign, _mm_mul_pd(minus_half, _mm_add_pd(_mm_mul_pd(wrj, cnj), _mm_mul_pd(wij, cj))));
    }
    const __m128d er = _mm_add_pd(kr, jr), ei = _mm_add_pd(ki, ji);
    const __m128d dr = _mm_sub_pd(kr, jr), di = _mm_sub_pd(ki, ji);
    const __m128d cwr = _mm_loadu_pd(t.big_wr + k), cwi = _mm_xor_pd(sign, _mm_loadu_pd(t.big_wi + k));
    const __m128d orr = _mm_sub_pd(_mm_mul_pd(dr, cwr), _mm_mul_pd(di, cwi));
    const __m128d oi = _mm_add_pd(_mm_mul_pd(dr, cwi), _mm_mul_pd(di, cwr));
    const __m128d re = _mm_sub_pd(er, oi), im = _mm_add_pd(ei, orr);
    _mm_storeu_pd(z + 2 * k, _mm_unpacklo_pd(re, im));
    _mm_storeu_pd(z + 2 * k + 2, _mm_unpackhi_pd(re, im));
  }
  for (; k < m; ++k) low ? dct3_bin_low(c, z, n, k, t) : dct3_bin(c, z, n, k, t);
}

void sse2_dct3(const double* c, double* z, std::int32_t n, const half_twiddles& t) {
  sse2_dct3_bins<false>(c, z, n, t);
}
void sse2_dct3_low(const double* c, double* z, std::int32_t n, const half_twiddles& t) {
  sse2_dct3_bins<true>(c, z, n, t);
}

// Four bins per step. Loads of interleaved values are split into real and
// imaginary vectors in lane order (0xd8) or reversed lane order (0x27).
#define PELLIMOR_AVX2 __attribute__((target("avx2")))

PELLIMOR_AVX2 inline __m256d avx2_reversed(const double* p) {  // p[3], p[2], p[1], p[0]
  return _mm256_permute4x64_pd(_mm256_loadu_pd(p), 0x1b);
}

// dct2_bin's last steps on four bins, from their E and O and twiddles:
// X = E + W O, then y[k] = Re(w X) (`low`) and y[N-k] = -Im(w X) (`high`),
// each bin in its lane.
struct avx2_bins {
  __m256d low, high;
};

PELLIMOR_AVX2 inline __attribute__((always_inline)) avx2_bins avx2_dct2_finish(__m256d er, __m256d ei,
                                                                               __m256d orr, __m256d oi,
                                                                               __m256d bwr, __m256d bwi,
                                                                               __m256d wr, __m256d wi) {
  const __m256d xr = _mm256_add_pd(er, _mm256_sub_pd(_mm256_mul_pd(bwr, orr), _mm256_mul_pd(bwi, oi)));
  const __m256d xi = _mm256_add_pd(ei, _mm256_add_pd(_mm256_mul_pd(bwr, oi), _mm256_mul_pd(bwi, orr)));
  return {_mm256_sub_pd(_mm256_mul_pd(wr, xr), _mm256_mul_pd(wi, xi)),
          _mm256_xor_pd(_mm256_set1_pd(-0.0), _mm256_add_pd(_mm256_mul_pd(wr, xi), _mm256_mul_pd(wi, xr)))};
}

template <bool both>
PELLIMOR_AVX2 void avx2_dct2_run(const double* z, double* y, std::int32_t n, std::int32_t from,
                                 std::int32_t to, const half_twiddles& t) {
  const std::int32_t m = n / 2;
  const __m256d half = _mm256_set1_pd(0.5);
  std::int32_t k = from;
  for (; k + 4 <= to; k += 4) {
    const __m256d a0 = _mm256_loadu_pd(z + 2 * k), a1 = _mm256_loadu_pd(z + 2 * k + 4);
    const __m256d b0 = _mm256_loadu_pd(z + 2 * (m - k - 3)), b1 = _mm256_loadu_pd(z + 2 * (m - k - 3) + 4);
    const __m256d zr = _mm256_permute4x64_pd(_mm256_unpacklo_pd(a0, a1), 0xd8);
    const __m256d zi = _mm256_permute4x64_pd(_mm256_unpackhi_pd(a0, a1), 0xd8);
    const __m256d jr = _mm256_permute4x64_pd(_mm256_unpacklo_pd(b0, b1), 0x27);
    const __m256d ji = _mm256_permute4x64_pd(_mm256_unpackhi_pd(b0, b1), 0x27);
    const __m256d er = _mm256_mul_pd(half, _mm256_add_pd(zr, jr)),
                  ei = _mm256_mul_pd(half, _mm256_sub_pd(zi, ji));
    const __m256d orr = _mm256_mul_pd(half, _mm256_add_pd(zi, ji)),
                  oi = _mm256_mul_pd(half, _mm256_sub_pd(jr, zr));
    const avx2_bins x =
        avx2_dct2_finish(er, ei, orr, oi, _mm256_loadu_pd(t.big_wr + k), _mm256_loadu_pd(t.big_wi + k),
                         _mm256_loadu_pd(t.wr + k), _mm256_loadu_pd(t.wi + k));
    _mm256_storeu_pd(y + k, x.low);
    if (both) _mm256_storeu_pd(y + n - k - 3, _mm256_permute4x64_pd(x.high, 0x1b));  // N-k-3 .. N-k
  }
  for (; k < to; ++k) dct2_bin(z, y, n, k, both, t);
}

// A run over every bin, 1 .. M-1: bins k .. k+3 and their partners
// M-k-3 .. M-k a step. Bin M-k reads Z[M-k] and Z[k] as bin k does, so
// its E's real part and O's real part are the same sums (the operands
// swapped, which IEEE addition does not notice); the differences are taken
// again the other way round, as dct2_bin takes them.
template <bool both>
PELLIMOR_AVX2 void avx2_dct2_paired(const double* z, double* y, std::int32_t n, const half_twiddles& t) {
  const std::int32_t m = n / 2;
  const __m256d half = _mm256_set1_pd(0.5);
  std::int32_t k = 1;
  for (; k + 3 < m - k - 3; k += 4) {
    const __m256d a0 = _mm256_loadu_pd(z + 2 * k), a1 = _mm256_loadu_pd(z + 2 * k + 4);
    const __m256d b0 = _mm256_loadu_pd(z + 2 * (m - k - 3)), b1 = _mm256_loadu_pd(z + 2 * (m - k - 3) + 4);
    const __m256d zr = _mm256_permute4x64_pd(_mm256_unpacklo_pd(a0, a1), 0xd8);
    const __m256d zi = _mm256_permute4x64_pd(_mm256_unpackhi_pd(a0, a1), 0xd8);
    const __m256d jr = _mm256_permute4x64_pd(_mm256_unpacklo_pd(b0, b1), 0x27);  // lanes M-k .. M-k-3
    const __m256d ji = _mm256_permute4x64_pd(_mm256_unpackhi_pd(b0, b1), 0x27);
    const __m256d er = _mm256_mul_pd(half, _mm256_add_pd(zr, jr));
    const __m256d orr = _mm256_mul_pd(half, _mm256_add_pd(zi, ji));
    const avx2_bins x =
        avx2_dct2_finish(er, _mm256_mul_pd(half, _mm256_sub_pd(zi, ji)), orr,
                         _mm256_mul_pd(half, _mm256_sub_pd(jr, zr)), _mm256_loadu_pd(t.big_wr + k),
                         _mm256_loadu_pd(t.big_wi + k), _mm256_loadu_pd(t.wr + k), _mm256_loadu_pd(t.wi + k));
    _mm256_storeu_pd(y + k, x.low);
    if (both) _mm256_storeu_pd(y + n - k - 3, _mm256_permute4x64_pd(x.high, 0x1b));  // N-k-3 .. N-k
    const avx2_bins j = avx2_dct2_finish(
        er, _mm256_mul_pd(half, _mm256_sub_pd(ji, zi)), orr, _mm256_mul_pd(half, _mm256_sub_pd(zr, jr)),
        avx2_reversed(t.big_wr + m - k - 3), avx2_reversed(t.big_wi + m - k - 3),
        avx2_reversed(t.wr + m - k - 3), avx2_reversed(t.wi + m - k - 3));
    _mm256_storeu_pd(y + m - k - 3, _mm256_permute4x64_pd(j.low, 0x1b));  // M-k-3 .. M-k
    if (both) _mm256_storeu_pd(y + m + k, j.high);  // N - (M-k) = M+k .. M+k+3, in lane order
  }
  for (; k <= m - k && k < m; ++k) {
    dct2_bin(z, y, n, k, both, t);
    if (m - k != k) dct2_bin(z, y, n, m - k, both, t);
  }
}

PELLIMOR_AVX2 void avx2_dct2(const double* z, double* y, std::int32_t n, std::int32_t keep,
                             const half_twiddles& t) {
  dct2_ends(z, y, n, keep, t);
  const dct2_ranges r = ranges(n, keep);
  const std::int32_t m = n / 2;
  if (r.only_low == m - 1)
    avx2_dct2_paired<false>(z, y, n, t);
  else
    avx2_dct2_run<false>(z, y, n, 1, r.only_low + 1, t);
  if (r.both_from == 1)
    avx2_dct2_paired<true>(z, y, n, t);
  else
    avx2_dct2_run<true>(z, y, n, r.both_from, m, t);
}

// Bin k's X[k] and conj X[M-k] are bin M-k's conj X[M-(M-k)] and X[M-k]:
// each step takes bins k .. k+3 and their partners M-k-3 .. M-k together
// and computes each X once. A partner's terms are the same products and
// sums as dct3_bin forms for it (its ki is the negated ji here, with no
// rounding), so every bin still gets dct3_bin's bits.
template <bool low>
PELLIMOR_AVX2 void avx2_dct3_bins(const double* c, double* z, std::int32_t n, const half_twiddles& t) {
  dct3_ends(c, z, n, t);
  const std::int32_t m = n / 2;
  const __m256d half = _mm256_set1_pd(0.5), minus_half = _mm256_set1_pd(-0.5), sign = _mm256_set1_pd(-0.0);
  // Bin re, im pairs in lane order, two vectors of interleaved values.
  const auto store_bins = [](double* to, __m256d re, __m256d im) PELLIMOR_AVX2 {
    const __m256d lo = _mm256_unpacklo_pd(re, im), hi = _mm256_unpackhi_pd(re, im);  // bins 0, 2 and 1, 3
    _mm256_storeu_pd(to, _mm256_permute2f128_pd(lo, hi, 0x20));
    _mm256_storeu_pd(to + 4, _mm256_permute2f128_pd(lo, hi, 0x31));
  };
  std::int32_t k = 1;
  for (; k + 3 < m - k - 3; k += 4) {
    // Lanes k .. k+3; j = M - k runs down.
    const __m256d ck = _mm256_loadu_pd(c + k), cj = avx2_reversed(c + m - k - 3);
    const __m256d wrk = _mm256_loadu_pd(t.wr + k), wik = _mm256_loadu_pd(t.wi + k);
    const __m256d wrj = avx2_reversed(t.wr + m - k - 3), wij = avx2_reversed(t.wi + m - k - 3);
    __m256d kr, ki, jr, jki;  // jki: bin j's own ki
    if (low) {                // as dct3_bin_low
      const __m256d zero = _mm256_setzero_pd();
      kr = _mm256_mul_pd(half, _mm256_add_pd(_mm256_mul_pd(wrk, ck), zero));
      ki = _mm256_mul_pd(minus_half, _mm256_add_pd(zero, _mm256_mul_pd(wik, ck)));
      jr = _mm256_mul_pd(half, _mm256_add_pd(_mm256_mul_pd(wrj, cj), zero));
      jki = _mm256_mul_pd(minus_half, _mm256_add_pd(zero, _mm256_mul_pd(wij, cj)));
    } else {
      const __m256d cnk = avx2_reversed(c + n - k - 3), cnj = _mm256_loadu_pd(c + m + k);
      kr = _mm256_mul_pd(half, _mm256_sub_pd(_mm256_mul_pd(wrk, ck), _mm256_mul_pd(wik, cnk)));
      ki = _mm256_mul_pd(minus_half, _mm256_add_pd(_mm256_mul_pd(wrk, cnk), _mm256_mul_pd(wik, ck)));
      jr = _mm256_mul_pd(half, _mm256_sub_pd(_mm256_mul_pd(wrj, cj), _mm256_mul_pd(wij, cnj)));
      jki = _mm256_mul_pd(minus_half, _mm256_add_pd(_mm256_mul_pd(wrj, cnj), _mm256_mul_pd(wij, cj)));
    }
    const __m256d ji = _mm256_xor_pd(sign, jki), kji = _mm256_xor_pd(sign, ki);  // kji: bin j's ji
    {
      const __m256d er = _mm256_add_pd(kr, jr), ei = _mm256_add_pd(ki, ji);
      const __m256d dr = _mm256_sub_pd(kr, jr), di = _mm256_sub_pd(ki, ji);
      const __m256d cwr = _mm256_loadu_pd(t.big_wr + k),
                    cwi = _mm256_xor_pd(sign, _mm256_loadu_pd(t.big_wi + k));
      const __m256d orr = _mm256_sub_pd(_mm256_mul_pd(dr, cwr), _mm256_mul_pd(di, cwi));
      const __m256d oi = _mm256_add_pd(_mm256_mul_pd(dr, cwi), _mm256_mul_pd(di, cwr));
      store_bins(z + 2 * k, _mm256_sub_pd(er, oi), _mm256_add_pd(ei, orr));
    }
    {
      const __m256d er = _mm256_add_pd(jr, kr), ei = _mm256_add_pd(jki, kji);
      const __m256d dr = _mm256_sub_pd(jr, kr), di = _mm256_sub_pd(jki, kji);
      const __m256d cwr = avx2_reversed(t.big_wr + m - k - 3),
                    cwi = _mm256_xor_pd(sign, avx2_reversed(t.big_wi + m - k - 3));
      const __m256d orr = _mm256_sub_pd(_mm256_mul_pd(dr, cwr), _mm256_mul_pd(di, cwi));
      const __m256d oi = _mm256_add_pd(_mm256_mul_pd(dr, cwi), _mm256_mul_pd(di, cwr));
      // Lanes hold bins M-k .. M-k-3: back to ascending order.
      store_bins(z + 2 * (m - k - 3), _mm256_permute4x64_pd(_mm256_sub_pd(er, oi), 0x1b),
                 _mm256_permute4x64_pd(_mm256_add_pd(ei, orr), 0x1b));
    }
  }
  for (; k <= m - k && k < m; ++k) {
    low ? dct3_bin_low(c, z, n, k, t) : dct3_bin(c, z, n, k, t);
    if (m - k != k) low ? dct3_bin_low(c, z, n, m - k, t) : dct3_bin(c, z, n, m - k, t);
  }
}

PELLIMOR_AVX2 void avx2_dct3(const double* c, double* z, std::int32_t n, const half_twiddles& t) {
  avx2_dct3_bins<false>(c, z, n, t);
}
PELLIMOR_AVX2 void avx2_dct3_low(const double* c, double* z, std::int32_t n, const half_twiddles& t) {
  avx2_dct3_bins<true>(c, z, n, t);
}


// The column versions: lanes are lines, four to a vector, two vectors to a
// column's cache line. Each bin takes dct2_bin's or dct3_bin's operations
// in their order, only on eight lines at once, so every line gets the plain
// bits; the twiddles are the same for every lane.

// dct2_bin over the eight lines. Bin k of lines 4h .. 4h+3 is gathered from
// their spectra (re, im pairs) into a real and an imaginary vector.
PELLIMOR_AVX2 void avx2_dct2_columns(const double* z, std::int64_t z_distance, double* columns,
                                     std::int64_t stride, std::int32_t n, std::int32_t keep, bool stream,
                                     const half_twiddles& t) {
  const std::int32_t m = n / 2;
  const __m256d half = _mm256_set1_pd(0.5);
  const auto load = [&](std::int32_t k, int h, __m256d& re, __m256d& im) PELLIMOR_AVX2 {
    const double* p = z + 4 * h * z_distance + 2 * k;
    const __m256d a =
        _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(p)), _mm_loadu_pd(p + 2 * z_distance), 1);
    const __m256d b = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(p + z_distance)),
                                           _mm_loadu_pd(p + 3 * z_distance), 1);
    re = _mm256_unpacklo_pd(a, b);  // lines 0, 1, 2, 3
    im = _mm256_unpackhi_pd(a, b);
  };
  const auto put = [&](std::int32_t u, int h, __m256d v) PELLIMOR_AVX2 {
    double* p = columns + u * stride + 4 * h;
    if (stream)
      _mm256_stream_pd(p, v);
    else
      _mm256_store_pd(p, v);
  };
  for (int h = 0; h < 2; ++h) {
    __m256d e0, o0;
    load(0, h, e0, o0);
    put(0, h, _mm256_add_pd(e0, o0));
    if (m < keep) put(m, h, _mm256_mul_pd(_mm256_set1_pd(t.wr[m]), _mm256_sub_pd(e0, o0)));
  }
  // A column's two halves are stored one after the other, so that a
  // streamed cache line is complete at once and leaves its write-combining
  // buffer whole.
  const auto put_bin = [&](std::int32_t k, const __m256d (&low)[2], const __m256d (&high)[2]) PELLIMOR_AVX2 {
    if (k < keep) {
      put(k, 0, low[0]);
      put(k, 1, low[1]);
    }
    if (n - k < keep) {
      put(n - k, 0, high[0]);
      put(n - k, 1, high[1]);
    }
  };
  // dct2_bin's last steps, from E and O.
  const auto finish = [&](std::int32_t k, __m256d er, __m256d ei, __m256d orr, __m256d oi, __m256d& low,
                          __m256d& high) PELLIMOR_AVX2 {
    const avx2_bins x =
        avx2_dct2_finish(er, ei, orr, oi, _mm256_set1_pd(t.big_wr[k]), _mm256_set1_pd(t.big_wi[k]),
                         _mm256_set1_pd(t.wr[k]), _mm256_set1_pd(t.wi[k]));
    low = x.low;
    high = x.high;
  };
  // Bin M - k reads Z[M-k] and Z[k] as bin k does: the same loads serve
  // both, and the real halves of E and O are the same sums (the operands
  // swapped, which IEEE addition does not notice); the differences are
  // taken again the other way round, as dct2_bin takes them.
  const auto kept = [&](std::int32_t k) { return k < keep || n - k < keep; };
  for (std::int32_t k = 1; 2 * k <= m; ++k) {
    const std::int32_t j = m - k;
    const bool first = kept(k), second = j != k && kept(j);
    if (!first && !second) continue;
    __m256d low_k[2] = {}, high_k[2] = {}, low_j[2] = {}, high_j[2] = {};  // set where used
    for (int h = 0; h < 2; ++h) {
      __m256d zr, zi, jr, ji;
      load(k, h, zr, zi);
      load(j, h, jr, ji);
      const __m256d er = _mm256_mul_pd(half, _mm256_add_pd(zr, jr));
      const __m256d orr = _mm256_mul_pd(half, _mm256_add_pd(zi, ji));
      if (first)
        finish(k, er, _mm256_mul_pd(half, _mm256_sub_pd(zi, ji)), orr, _mm256_mul_pd(half, _mm256_sub_pd(jr, zr)),
               low_k[h], high_k[h]);
      if (second)
        finish(j, er, _mm256_mul_pd(half, _mm256_sub_pd(ji, zi)), orr, _mm256_mul_pd(half, _mm256_sub_pd(zr, jr)),
               low_j[h], high_j[h]);
    }
    if (first) put_bin(k, low_k, high_k);
    if (second) put_bin(j, low_j, high_j);
  }
  if (stream) _mm_sfence();
}

// dct3_bin over the eight lines, bins k and M - k from the same four
// columns, as avx2_dct3_bins pairs them. Columns a page or more apart
// would be too far for the hardware to see coming: the ones eight bins on
// are asked for early.
PELLIMOR_AVX2 void avx2_dct3_columns(const double* columns, std::int64_t stride, std::int32_t keep, double* z,
                                     std::int64_t z_distance, std::int32_t n, const half_twiddles& t) {
  const std::int32_t m = n / 2;
  const __m256d half = _mm256_set1_pd(0.5), minus_half = _mm256_set1_pd(-0.5), sign = _mm256_set1_pd(-0.0);
  constexpr std::int32_t ahead = 24;
  const auto load = [&](std::int32_t u, int h) PELLIMOR_AVX2 {
    return u < keep ? _mm256_load_pd(columns + u * stride + 4 * h) : _mm256_setzero_pd();
  };
  const auto prefetch = [&](std::int32_t u) {
    if (u >= 0 && u < keep) __builtin_prefetch(columns + u * stride);
  };
  // Bin k's (re, im) into lines 4h .. 4h+3.
  const auto store = [&](std::int32_t k, int h, __m256d re, __m256d im) PELLIMOR_AVX2 {
    const __m256d even = _mm256_unpacklo_pd(re, im), odd = _mm256_unpackhi_pd(re, im);  // lines 0, 2 / 1, 3
    double* p = z + 4 * h * z_distance + 2 * k;
    _mm_storeu_pd(p, _mm256_castpd256_pd128(even));
    _mm_storeu_pd(p + z_distance, _mm256_castpd256_pd128(odd));
    _mm_storeu_pd(p + 2 * z_distance, _mm256_extractf128_pd(even, 1));
    _mm_storeu_pd(p + 3 * z_distance, _mm256_extractf128_pd(odd, 1));
  };
  const auto bin = [&](std::int32_t k, int h, __m256d kr, __m256d ki, __m256d jr, __m256d ji) PELLIMOR_AVX2 {
    const __m256d er = _mm256_add_pd(kr, jr), ei = _mm256_add_pd(ki, ji);
    const __m256d dr = _mm256_sub_pd(kr, jr), di = _mm256_sub_pd(ki, ji);
    const __m256d cwr = _mm256_set1_pd(t.big_wr[k]), cwi = _mm256_set1_pd(-t.big_wi[k]);
    const __m256d orr = _mm256_sub_pd(_mm256_mul_pd(dr, cwr), _mm256_mul_pd(di, cwi));
    const __m256d oi = _mm256_add_pd(_mm256_mul_pd(dr, cwi), _mm256_mul_pd(di, cwr));
    store(k, h, _mm256_sub_pd(er, oi), _mm256_add_pd(ei, orr));
  };
  const __m256d wrm = _mm256_set1_pd(t.wr[m]);
  for (int h = 0; h < 2; ++h) {  // dct3_ends
    const __m256d x0 = _mm256_mul_pd(load(0, h), half), xm = _mm256_mul_pd(wrm, load(m, h));
    store(0, h, _mm256_add_pd(x0, xm), _mm256_sub_pd(x0, xm));
  }
  for (std::int32_t k = 1; 2 * k <= m; ++k) {
    const std::int32_t j = m - k;
    prefetch(k + ahead);
    prefetch(j - ahead);
    prefetch(n - k - ahead);
    prefetch(n - j + ahead);
    const __m256d wrk = _mm256_set1_pd(t.wr[k]), wik = _mm256_set1_pd(t.wi[k]);
    const __m256d wrj = _mm256_set1_pd(t.wr[j]), wij = _mm256_set1_pd(t.wi[j]);
    for (int h = 0; h < 2; ++h) {
      const __m256d ck = load(k, h), cnk = load(n - k, h), cj = load(j, h), cnj = load(n - j, h);
      const __m256d kr = _mm256_mul_pd(half, _mm256_sub_pd(_mm256_mul_pd(wrk, ck), _mm256_mul_pd(wik, cnk)));
      const __m256d ki =
          _mm256_mul_pd(minus_half, _mm256_add_pd(_mm256_mul_pd(wrk, cnk), _mm256_mul_pd(wik, ck)));
      const __m256d jr = _mm256_mul_pd(half, _mm256_sub_pd(_mm256_mul_pd(wrj, cj), _mm256_mul_pd(wij, cnj)));
      const __m256d jki =
          _mm256_mul_pd(minus_half, _mm256_add_pd(_mm256_mul_pd(wrj, cnj), _mm256_mul_pd(wij, cj)));
      bin(k, h, kr, ki, jr, _mm256_xor_pd(sign, jki));
      if (j != k) bin(j, h, jr, jki, kr, _mm256_xor_pd(sign, ki));
    }
  }
}

const half_untangle_kernels sse2_half_untangle = {"sse2", sse2_dct2, sse2_dct3, sse2_dct3_low, nullptr, nullptr};
const half_untangle_kernels avx2_half_untangle = {"avx2",           avx2_dct2,        avx2_dct3,
                                                  avx2_dct3_low,    avx2_dct2_columns, avx2_dct3_columns};

#endif  // PELLIMOR_X86_VECTORS

}  // namespace

const half_untangle_kernels plain_half_untangle = {"plain",        plain_dct2, plain_dct3,
                                                   plain_dct3_low, nullptr,    nullptr};

void plain_dct2_columns(const double* z, std::int64_t z_distance, double* columns, std::int64_t stride,
                        std::int32_t n, std::int32_t keep, bool, const half_twiddles& t) {
  std::vector<double> y(n);
  for (int l = 0; l < column_lines; ++l) {
    plain_dct2(z + l * z_distance, y.data(), n, keep, t);
    for (std::int32_t u = 0; u < keep; ++u) columns[u * stride + l] = y[u];
  }
}

void plain_dct3_columns(const double* columns, std::int64_t stride, std::int32_t keep, double* z,
                        std::int64_t z_distance, std::int32_t n, const half_twiddles& t) {
  std::vector<double> c(n);
  for (int l = 0; l < column_lines; ++l) {
    for (std::int32_t u = 0; u < n; ++u) c[u] = u < keep ? columns[u * stride + l] : 0.0;
    c[0] *= 0.5;
    plain_dct3(c.data(), z + l * z_distance, n, t);
  }
}

const half_untangle_kernels* runnable_half_untangles(int* count) {
#ifdef PELLIMOR_X86_VECTORS
  static const half_untangle_kernels all[] = {plain_half_untangle, sse2_half_untangle, avx2_half_untangle};
  *count = cpu_has_avx2() ? 3 : 2;
  return all;
#else
  *count = 1;
  return &plain_half_untangle;
#endif
}

const half_untangle_kernels& best_half_untangle() {
  static const half_untangle_kernels& best = []() -> const half_untangle_kernels& {
    int count = 0;
    const half_untangle_kernels* all = runnable_half_untangles(&count);
    return all[count - 1];
  }();
  return best;
}

}  // namespace pellimor::detail
