// SPDX-License-Identifier: MIT
// fft_dct.h - batches of DCT-II and DCT-III through FFTW's real FFTs.
//
// For a line x of length N:
//   dct2(x)[k] = sum_n x[n] * cos(pi * k * (2n + 1) / (2N))
//   dct3(c)[n] = sum_k c[k] * cos(pi * k * (2n + 1) / (2N))
// No factor is applied: dct3(dct2(x)) = (N/2) * x once dct2's zero-frequency
// term is halved, which is exactly the pair dct_forward / dct_inverse.
//
// Both use Makhoul's reordering: v = (x[0], x[2], x[4], ..., x[5], x[3], x[1]),
// so that with V = FFT(v) and w[k] = exp(-i pi k / (2N)):
//   dct2(x)[k] = Re(w[k] V[k]),  dct2(x)[N-k] = -Im(w[k] V[k])
// and dct3 runs the same steps backwards through an inverse real FFT.
// A real FFT of length N costs about a third of FFTW's own REDFT10/REDFT01 of
// that length here, and the reordering and twiddles are O(N).
//
// An even length's real FFT is a complex FFT of half the length: FFTW plans
// that far faster than its own real FFT, and planning is a visible share of
// a small image's run.
//
// FFTW is slow on lengths with a large prime factor (a prime length runs at a
// tenth of the speed of a nearby power of two). For those, the real FFTs are
// done two lines at a time as one complex DFT of length N, through cyclic
// convolutions computed with FFTs of lengths FFTW is fast on. Where the
// large prime p divides N once, N = m p with m smooth, and p - 1 has only
// small factors: Good and Thomas's split into m DFTs of length p, each by
// Rader's method (a convolution of length p - 1), and p DFTs of length m.
// Otherwise by Bluestein's chirp-z method (a convolution of a smooth length
// >= 2N - 1, about twice the work).
//
// A plan covers `count` lines at once; its FFTW plans are made with
// FFTW_ESTIMATE, so every run computes the same bits. Executing a plan is
// thread-safe as long as each thread uses its own dct_workspace.
#pragma once

#include <fftw3.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

namespace pellimor::detail {

struct dct_plan {
  std::int32_t length = 0;
  int count = 0;                               // lines per batch
  std::int64_t real_distance = 0;              // doubles between reordered lines
  std::int64_t spectrum_distance = 0;          // complex values between spectra
  fftw_plan forward_fft = nullptr;             // real to complex (odd N)
  fftw_plan inverse_fft = nullptr;             // complex to real (odd N)
  std::vector<double> twiddle_re, twiddle_im;  // w[k], k = 0 .. N/2

  // Even N: the real FFT as a complex FFT of N/2 points, pairs of samples
  // taken as one complex value, untangled with W[k] = exp(-2 pi i k / N).
  // FFTW plans these several times faster than its real FFTs, which matters
  // on small images.
  fftw_plan half_forward = nullptr;
  fftw_plan half_backward = nullptr;
  std::vector<std::complex<double>> half_twiddle;        // W[k], k < N/2
  std::vector<double> half_twiddle_re, half_twiddle_im;  // the same, split

  // Lines taken in pairs, as one complex DFT (forward_fft and inverse_fft
  // are then unused): the pairs lie pair_stride complex values apart in
  // each of the workspace's chirp areas; 0 on the other routes.
  std::int32_t pair_stride = 0;

  // Rader's method, used when rader_prime > 0. N = m p, m and p coprime:
  // sample (n1, n2) is x[(p n1 + m n2) mod N] and bin (k1, k2) is X[k]
  // with k = k1 (mod m) and k = k2 (mod p), so that the DFT of length N is
  // one of length p along n2 then one of length m along n1. With g a
  // primitive root mod p and w = exp(-2 pi i / p), the DFT s -> S of
  // length p is S[g^q] = s[0] + sum over j of s[g^-j] w^(g^(q-j)), a cyclic
  // convolution of length p - 1.
  std::int32_t rader_prime = 0;       // p
  std::int32_t rader_rest = 0;        // m
  fftw_plan rader_forward = nullptr;  // the convolutions' FFTs, count/2 x m of p - 1
  fftw_plan rader_backward = nullptr;
  fftw_plan rader_across = nullptr;     // count/2 x p DFTs of length m, when m > 1
  std::vector<std::int32_t> rader_in;   // at n1 p, x's index of s_n1[0]; at n1 p + 1 + j, of s_n1[g^-j]
  std::vector<std::int32_t> rader_at;   // q with g^q = k2 mod p, k2 < p (0 unused)
  std::vector<std::int32_t> rader_out;  // where X[k] ends up, k < N, when m > 1
  std::vector<std::complex<double>> rader_kernel;  // FFT of w^(g^q), over p - 1

  // Bluestein's method, used on the paired route otherwise, with pairs
  // M = pair_stride >= 2N - 1 apart, M smooth.
  fftw_plan chirp_forward = nullptr;  // count/2 complex FFTs of length M
  fftw_plan chirp_backward = nullptr;
  std::vector<std::complex<double>> chirp;   // exp(-i pi n^2 / N), n < N
  std::vector<std::complex<double>> kernel;  // FFT of the conjugate chirp, over M
};

// Scratch for one thread: `real` holds `count` reordered lines, `spectrum`
// their half spectra. Sized by make_dct_workspace for the largest plan.
struct dct_workspace {
  struct fftw_deleter {
    void operator()(void* p) const { fftw_free(p); }
  };
  std::unique_ptr<double[], fftw_deleter> real;
  std::unique_ptr<fftw_complex[], fftw_deleter> spectrum;
  std::unique_ptr<fftw_complex[], fftw_deleter> chirp;  // the pairs' convolutions
};

// Which transforms a plan serves; planning only what is used saves time on
// small images, where FFTW's planner is a visible share of the run.
enum class dct_use { dct2, dct3, both };

// Most lines one batch may hold.
constexpr int max_batch_lines = 64;

// A plan for `count` (even, at most max_batch_lines) lines of `length`. Throws std::bad_alloc when
// FFTW cannot plan or allocate.
dct_plan make_dct_plan(std::int32_t length, int count, dct_use use = dct_use::both);
void destroy_dct_plan(dct_plan* plan);

// Scratch large enough for every one of `plans` (all with the same count).
dct_workspace make_dct_workspace(std::initializer_list<const dct_plan*> plans);

// True when `length`'s lines go in pairs through Rader's or Bluestein's
// method.
bool uses_chirp(std::int32_t length);

// True when `length` goes through Rader's method (then uses_chirp too).
bool uses_rader(std::int32_t length);

// Reordered position of sample n: evens ascending, then odds descending.
inline std::int64_t reordered_index(std::int64_t n, std::int64_t length) {
  return n % 2 == 0 ? n / 2 : length - 1 - n / 2;
}

// dct2 of the `plan.count` reordered lines in work.real, in place: line l
// then holds its first `keep` coefficients at l * real_distance + k.
void dct2_batch(const dct_plan& plan, dct_workspace& work, std::int32_t keep);

// The same, but line l's coefficients go to out[l] (same indices) instead:
// a column pass writes them straight back into its column. work.real's
// lines are then left as scratch.
void dct2_batch(const dct_plan& plan, dct_workspace& work, std::int32_t keep, double* const* out);

// dct3 of the `plan.count` lines in work.real, in place: line l holds its
// coefficients c[k], k < keep, at l * real_distance + k (what lies beyond
// keep is ignored), and then its results n, reordered, at
// l * real_distance + reordered_index(n).
void dct3_batch(const dct_plan& plan, dct_workspace& work, std::int32_t keep);

// The same, but line l's coefficients are read from in[l] rather than from
// work.real (the results still land there). in[l] serves as scratch: from
// keep up to the length it may be overwritten with zeros. Several entries
// may name the same line.
void dct3_batch(const dct_plan& plan, dct_workspace& work, std::int32_t keep, double* const* in);

// The row passes' batches against the coefficient array, where entry u of
// line l is columns[u * stride + l] (64-byte aligned, stride a multiple of
// 8): the untangling reads or writes the array itself, a whole cache line
// per column, instead of the lines being copied out or back.
// Only for a plan of 8 lines of an even length outside the paired routes,
// on processors with a column kernel (half_untangle.h); false, and nothing
// done, otherwise. The values are those of dct2_batch followed by the copy
// into the columns, and of the copy out, the zero-frequency terms halved,
// followed by dct3_batch.
bool dct2_batch_to_columns(const dct_plan& plan, dct_workspace& work, std::int32_t keep, double* columns,
                           std::int64_t stride, bool stream);
bool dct3_batch_from_columns(const dct_plan& plan, dct_workspace& work, std::int32_t keep,
                             const double* columns, std::int64_t stride);

}  // namespace pellimor::detail
