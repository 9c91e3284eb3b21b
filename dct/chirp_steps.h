// SPDX-License-Identifier: MIT
// chirp_steps.h - the O(N) steps around Bluestein's convolution.
//
// A length with a large prime factor that Rader's method does not take
// goes through Bluestein's chirp-z method two real lines at a time
// (fft_dct.h): the pair is one complex line z = x + i y, multiplied by the
// chirp, convolved, multiplied by the chirp again, and then split into the
// two lines' results; the ways out also serve Rader's route for a prime
// length, whose bins come in order, without a chirp. These steps cost about
// a third of such a batch's time, so they come in a plain version, which
// defines the values, and an AVX2 one where the processor has it. Both do
// the same IEEE operations on every value in the same order, never fused
// into one multiply-add: the same bits.
#pragma once

#include <complex>
#include <cstdint>

namespace pellimor::detail {

// a * b without std::complex's NaN and infinity handling, which would cost
// more than the FFTs here; the values are always finite. The convolutions'
// products and every version of the steps round as this does.
inline std::complex<double> times(std::complex<double> a, std::complex<double> b) {
  return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

struct chirp_steps {
  const char* name;
  // dct2's way in: a[j] = (x[j] + i y[j]) * chirp[j], j < n.
  void (*load_pair)(const double* x, const double* y, const std::complex<double>* chirp,
                    std::complex<double>* a, std::int32_t n);
  // dct2's way out: z[k] = a[k] * chirp[k] (a[k] itself with no chirp,
  // as Rader's route gives its bins) is the DFT of the pair, so that
  // X[k] = (z[k] + conj z[N-k]) / 2 and Y[k] = (z[k] - conj z[N-k]) / 2i
  // are the real FFTs of x and y; with w[k] = wr[k] + i wi[k],
  // out[k] = Re(w[k] X[k]) for k < keep and out[N-k] = -Im(w[k] X[k]) for
  // N - k < keep, out[0] = X[0]; the same from Y into out_y. Nothing else
  // of out_x and out_y is written.
  void (*dct2_pair)(const std::complex<double>* a, const std::complex<double>* chirp, const double* wr,
                    const double* wi, std::int32_t n, std::int32_t keep, double* out_x, double* out_y);
  // dct3's way in: sx and sy hold bins 0 .. N/2 of the real FFTs X and Y
  // of two lines; a[k] = conj(X[k] + i Y[k]) * chirp[k], k < n, the bins
  // above N/2 taken as the conjugates of those below.
  void (*load_spectra)(const std::complex<double>* sx, const std::complex<double>* sy,
                       const std::complex<double>* chirp, std::complex<double>* a, std::int32_t n);
  // dct3's way out: with v = a[j] * chirp[j] (a[j] with no chirp),
  // x[j] = Re v and y[j] = -Im v.
  void (*split_pair)(const std::complex<double>* a, const std::complex<double>* chirp, std::int32_t n,
                     double* x, double* y);
};

// The plain version, which defines the values.
extern const chirp_steps plain_chirp_steps;

// The fastest version this processor runs.
const chirp_steps& best_chirp_steps();

// Every version this processor runs, plain first; `count` receives how many.
const chirp_steps* runnable_chirp_steps(int* count);

}  // namespace pellimor::detail
