// SPDX-License-Identifier: MIT
// fft_dct.cc - plans, twiddles and real FFTs for the FFT-based DCT batches.
// No multiply-add contraction: the vector complex products must give the
// plain ones' bits whatever flags the build uses.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include "dct/fft_dct.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <mutex>
#include <new>
#include <stdexcept>

#include "core/cpu.h"
#include "dct/chirp_steps.h"
#include "dct/half_untangle.h"

namespace pellimor::detail {

namespace {

using complex = std::complex<double>;

// FFTW's planner is not thread-safe: making and destroying plans is
// serialised here, so resizes may run at once from several threads.
// Executing plans needs no lock.
std::recursive_mutex planner_lock;

// Lines start 64 bytes apart at least, so every line of a batch has the
// alignment the plan was made for.
std::int64_t aligned(std::int64_t count) { return (count + 7) / 8 * 8; }

std::int64_t real_distance(std::int32_t length) { return aligned(length); }
std::int64_t spectrum_distance(std::int32_t length) { return aligned(length / 2 + 1); }

// The distinct prime factors of n, ascending.
std::vector<std::int32_t> prime_factors(std::int32_t n) {
  std::vector<std::int32_t> factors;
  for (std::int32_t p = 2; static_cast<std::int64_t>(p) * p <= n; ++p)
    if (n % p == 0) {
      factors.push_back(p);
      while (n % p == 0) n /= p;
    }
  if (n > 1) factors.push_back(n);
  return factors;
}

std::int32_t largest_prime_factor(std::int32_t n) {
  const std::vector<std::int32_t> factors = prime_factors(n);
  return factors.empty() ? 1 : factors.back();
}

// Smallest 2^a 3^b 5^c at or above n: lengths FFTW transforms fastest.
std::int32_t smooth_length_at_least(std::int64_t n) {
  std::int64_t best = INT64_MAX;
  for (std::int64_t p2 = 1; p2 < 2 * n; p2 *= 2)
    for (std::int64_t p3 = p2; p3 < 2 * n; p3 *= 3)
      for (std::int64_t p5 = p3; p5 < 2 * n; p5 *= 5)
        if (p5 >= n) best = std::min(best, p5);
  return static_cast<std::int32_t>(best);
}

complex* as_complex(fftw_complex* p) { return reinterpret_cast<complex*>(p); }

// Complex values of one of a workspace's two chirp areas: the lines of a
// batch, and the spectra their forward FFTs write, so that neither FFT runs
// in place (FFTW copies in-place batches through a buffer). A multiple of 8,
// so the second area has the first's alignment.
std::int64_t chirp_area(const dct_plan& plan) {
  return (std::int64_t{plan.pair_stride} * (plan.count / 2) + 7) / 8 * 8;
}

std::int64_t power_mod(std::int64_t base, std::int64_t exponent, std::int64_t mod) {
  std::int64_t result = 1;
  for (base %= mod; exponent > 0; exponent /= 2, base = base * base % mod)
    if (exponent % 2 == 1) result = result * base % mod;
  return result;
}

// The smallest primitive root of the prime p: g^((p-1)/f) != 1 for every
// prime factor f of p - 1.
std::int64_t primitive_root(std::int32_t p) {
  const std::vector<std::int32_t> factors = prime_factors(p - 1);
  for (std::int64_t g = 2;; ++g) {
    bool root = true;
    for (const std::int32_t f : factors) root = root && power_mod(g, (p - 1) / f, p) != 1;
    if (root) return g;
  }
}

// Chirp areas a plan's convolutions use: Rader's route keeps its samples'
// first terms, and then the DFTs of length p, in a third.
int pair_areas(const dct_plan& plan) { return plan.rader_prime > 0 ? 3 : 2; }

// Rader's tables and plans for plan->length = m p (rader_prime and
// rader_rest set); `probe` is chirp scratch sized for the plan.
void make_rader(dct_plan* plan, fftw_complex* probe) {
  const std::int32_t n = plan->length, p = plan->rader_prime, m = plan->rader_rest, l = p - 1;
  const int lines = plan->count / 2, stride = plan->pair_stride;
  const std::int64_t g = primitive_root(p), g_inverse = power_mod(g, p - 2, p);
  std::vector<std::int32_t> powers(l);  // g^q mod p
  plan->rader_at.assign(p, 0);
  for (std::int64_t q = 0, power = 1; q < l; ++q, power = power * g % p) {
    powers[q] = static_cast<std::int32_t>(power);
    plan->rader_at[power] = static_cast<std::int32_t>(q);
  }
  plan->rader_in.resize(std::size_t{1} * n);
  for (std::int64_t n1 = 0; n1 < m; ++n1) {
    plan->rader_in[n1 * p] = static_cast<std::int32_t>(p * n1 % n);
    for (std::int64_t j = 0, inverse = 1; j < l; ++j, inverse = inverse * g_inverse % p)
      plan->rader_in[n1 * p + 1 + j] = static_cast<std::int32_t>((p * n1 + m * inverse) % n);
  }
  if (m > 1) {
    plan->rader_out.resize(std::size_t{1} * n);
    for (std::int64_t k = 0; k < n; ++k) plan->rader_out[k] = static_cast<std::int32_t>(k % p * m + k % m);
  }
  // The samples are gathered into the second area, transformed into the
  // first and back into the second, so that neither FFT runs in place; the
  // DFTs of length p go to the third, and across it into the first.
  const std::int64_t area = chirp_area(*plan);
  fftw_complex *first = probe, *second = probe + area, *third = probe + 2 * area;
  const fftw_iodim along = {l, 1, 1};
  const fftw_iodim sequences[2] = {{lines, stride, stride}, {m, l, l}};
  plan->rader_forward =
      fftw_plan_guru_dft(1, &along, 2, sequences, second, first, FFTW_FORWARD, FFTW_ESTIMATE);
  plan->rader_backward =
      fftw_plan_guru_dft(1, &along, 2, sequences, first, second, FFTW_BACKWARD, FFTW_ESTIMATE);
  if (plan->rader_forward == nullptr || plan->rader_backward == nullptr) throw std::bad_alloc();
  if (m > 1) {
    const fftw_iodim across = {m, p, 1};
    const fftw_iodim bins[2] = {{lines, stride, stride}, {p, 1, m}};
    plan->rader_across = fftw_plan_guru_dft(1, &across, 2, bins, third, first, FFTW_FORWARD, FFTW_ESTIMATE);
    if (plan->rader_across == nullptr) throw std::bad_alloc();
  }
  // Kernel: w^(g^q), transformed, with the 1/(p-1) of the inverse folded in.
  const double pi = std::acos(-1.0);
  plan->rader_kernel.resize(l);
  for (std::int32_t q = 0; q < l; ++q)
    plan->rader_kernel[q] = std::polar(1.0, -2.0 * pi * powers[q] / p) / static_cast<double>(l);
  fftw_plan one = fftw_plan_dft_1d(l, reinterpret_cast<fftw_complex*>(plan->rader_kernel.data()),
                                   reinterpret_cast<fftw_complex*>(plan->rader_kernel.data()), FFTW_FORWARD,
                                   FFTW_ESTIMATE);
  if (one == nullptr) throw std::bad_alloc();
  fftw_execute(one);
  fftw_destroy_plan(one);
}

void make_chirp(dct_plan* plan, fftw_complex* probe) {
  const std::int32_t n = plan->length, m = plan->pair_stride;
  const int lines = plan->count / 2;
  const double pi = std::acos(-1.0);
  for (std::int64_t j = 0; j < n; ++j) {
    const std::int64_t reduced = j * j % (2 * std::int64_t{n});  // exact angle reduction
    plan->chirp.push_back(std::polar(1.0, -pi * static_cast<double>(reduced) / n));
  }
  fftw_complex* spectra = probe + chirp_area(*plan);
  plan->chirp_forward = fftw_plan_many_dft(1, &m, lines, probe, nullptr, 1, m, spectra, nullptr, 1, m,
                                           FFTW_FORWARD, FFTW_ESTIMATE);
  plan->chirp_backward = fftw_plan_many_dft(1, &m, lines, spectra, nullptr, 1, m, probe, nullptr, 1, m,
                                            FFTW_BACKWARD, FFTW_ESTIMATE);
  if (plan->chirp_forward == nullptr || plan->chirp_backward == nullptr) throw std::bad_alloc();
  // Kernel: the conjugate chirp laid out cyclically over M, transformed,
  // with the 1/M of the inverse FFT folded in.
  plan->kernel.assign(m, 0.0);
  for (std::int32_t j = 0; j < n; ++j) {
    plan->kernel[j] = std::conj(plan->chirp[j]) / static_cast<double>(m);
    if (j > 0) plan->kernel[m - j] = plan->kernel[j];
  }
  fftw_plan one =
      fftw_plan_dft_1d(m, reinterpret_cast<fftw_complex*>(plan->kernel.data()),
                       reinterpret_cast<fftw_complex*>(plan->kernel.data()), FFTW_FORWARD, FFTW_ESTIMATE);
  if (one == nullptr) throw std::bad_alloc();
  fftw_execute(one);
  fftw_destroy_plan(one);
}

// a[j] = a[j] * b[j] for j < count, as times() does it.
void multiply_plain(complex* a, const complex* b, std::int64_t count) {
  for (std::int64_t j = 0; j < count; ++j) a[j] = times(a[j], b[j]);
}

#if defined(__x86_64__) || defined(__i386__)
// Two products a step: (ar br, ai br) -+ (ai bi, ar bi) is times()'s
// pair of a product difference and a product sum (the sum's terms swapped,
// which IEEE addition does not notice), with no multiply-add: the same bits.
__attribute__((target("avx2"))) void multiply_avx2(complex* a, const complex* b, std::int64_t count) {
  double* x = reinterpret_cast<double*>(a);
  const double* y = reinterpret_cast<const double*>(b);
  std::int64_t j = 0;
  for (; j + 2 <= count; j += 2) {
    const __m256d av = _mm256_loadu_pd(x + 2 * j), bv = _mm256_loadu_pd(y + 2 * j);
    const __m256d re = _mm256_movedup_pd(bv), im = _mm256_permute_pd(bv, 0xf);
    const __m256d swapped = _mm256_permute_pd(av, 0x5);
    _mm256_storeu_pd(x + 2 * j, _mm256_addsub_pd(_mm256_mul_pd(av, re), _mm256_mul_pd(swapped, im)));
  }
  multiply_plain(a + j, b + j, count - j);
}
#endif

using multiply_fn = void (*)(complex*, const complex*, std::int64_t);

multiply_fn best_multiply() {
#if defined(__x86_64__) || defined(__i386__)
  return cpu_has_avx2() ? multiply_avx2 : multiply_plain;
#else
  return multiply_plain;
#endif
}

// The length-N DFTs Z of count/2 complex lines at once (two real lines
// each), through Rader's convolutions in `area`, the workspace's chirp
// scratch: load(line, j) gives sample j of a line, and finish(z, ordered)
// then reads bin k of a line as z(line, k). The samples are gathered in
// the convolutions' order; the bins come in order, line l's from
// ordered + l * pair_stride, when N is prime (ordered is null otherwise).
template <class Load, class Finish>
void rader_dft(const dct_plan& plan, complex* area, const Load& load, const Finish& finish) {
  const std::int64_t stride = plan.pair_stride;
  const int count = plan.count / 2;
  const multiply_fn multiply = best_multiply();
  complex* const second = area + chirp_area(plan);
  const std::int32_t p = plan.rader_prime, l = p - 1, m = plan.rader_rest;
  complex* const third = second + chirp_area(plan);
  // Each sequence's first sample waits in the third area, where its DFT
  // will go, at bin 0; its sum, once known, at bin 1.
  const std::int32_t* in = plan.rader_in.data();
  for (int line = 0; line < count; ++line)
    for (std::int32_t n1 = 0; n1 < m; ++n1) {
      complex* a = second + line * stride + std::int64_t{n1} * l;
      const std::int32_t* from = in + std::int64_t{n1} * p;
      third[line * stride + std::int64_t{n1} * p] = load(line, from[0]);
      for (std::int32_t j = 0; j < l; ++j) a[j] = load(line, from[1 + j]);
    }
  fftw_execute_dft(plan.rader_forward, reinterpret_cast<fftw_complex*>(second),
                   reinterpret_cast<fftw_complex*>(area));
  for (int line = 0; line < count; ++line)
    for (std::int32_t n1 = 0; n1 < m; ++n1) {
      // The gathered samples' zero-frequency term is the sum of all but s[0].
      complex* a = area + line * stride + std::int64_t{n1} * l;
      complex* s = third + line * stride + std::int64_t{n1} * p;
      s[1] = s[0] + a[0];
      multiply(a, plan.rader_kernel.data(), l);
    }
  fftw_execute_dft(plan.rader_backward, reinterpret_cast<fftw_complex*>(area),
                   reinterpret_cast<fftw_complex*>(second));
  const std::int32_t* at = plan.rader_at.data();
  for (int line = 0; line < count; ++line)
    for (std::int32_t n1 = 0; n1 < m; ++n1) {
      const complex* c = second + line * stride + std::int64_t{n1} * l;
      complex* s = third + line * stride + std::int64_t{n1} * p;
      const complex first = s[0], sum = s[1];
      for (std::int32_t k2 = 1; k2 < p; ++k2) s[k2] = first + c[at[k2]];
      s[0] = sum;
    }
  if (m == 1) {
    finish([&](int line, std::int32_t k) { return third[line * stride + k]; }, third);
    return;
  }
  fftw_execute_dft(plan.rader_across, reinterpret_cast<fftw_complex*>(third),
                   reinterpret_cast<fftw_complex*>(area));
  const std::int32_t* out = plan.rader_out.data();
  finish([&](int line, std::int32_t k) { return area[line * stride + out[k]]; }, nullptr);
}

// Bluestein's convolution of the batch's count/2 pairs of lines in the
// workspace's chirp area (pair_stride apart): load(l, a) writes pair l's n
// values, already multiplied by the chirp, to a, which is then padded with
// zeros; each line's DFT is multiplied by the chirp's conjugate over M and
// transformed back, and finish(l, a) reads pair l's result from a.
template <class Load, class Finish>
void chirp_convolve(const dct_plan& plan, dct_workspace& work, const Load& load, const Finish& finish) {
  const std::int64_t stride = plan.pair_stride;
  const int pairs = plan.count / 2;
  complex* const area = as_complex(work.chirp.get());
  complex* const second = area + chirp_area(plan);
  for (int l = 0; l < pairs; ++l) {
    complex* a = area + l * stride;
    load(l, a);
    std::fill(a + plan.length, a + stride, complex());
  }
  const multiply_fn multiply = best_multiply();
  fftw_execute_dft(plan.chirp_forward, reinterpret_cast<fftw_complex*>(area),
                   reinterpret_cast<fftw_complex*>(second));
  for (int l = 0; l < pairs; ++l) multiply(second + l * stride, plan.kernel.data(), stride);
  fftw_execute_dft(plan.chirp_backward, reinterpret_cast<fftw_complex*>(second),
                   reinterpret_cast<fftw_complex*>(area));
  for (int l = 0; l < pairs; ++l) finish(l, area + l * stride);
}

// Rader's convolutions of p - 1 cost two FFTs of that length for each of
// the m sequences where Bluestein's costs two of at least 2N - 1; only worth
// it where FFTW is fast on p - 1. With a factor 17 in p - 1, the split
// (m > 1) was 9-25% faster than Bluestein's on 15 lengths of 16 (2042:
// within 7% either way), a prime alone up to 28% slower; with 19 or 29,
// 22-29% slower.
constexpr std::int32_t largest_rader_prime = 13;
constexpr std::int32_t largest_split_rader_prime = 17;

}  // namespace

// FFTW runs lengths whose prime factors are all at most 31 at 1.2-2.5x the
// time of a nearby smooth length; Bluestein's route costs 3-5x (it works on
// twice the length, two lines at a time). Above 31 FFTW's generic and Rader
// codelets lose to the convolution. Measured on lengths 1000-4000 with
// largest prime factors 11 to 331.
constexpr std::int32_t largest_direct_prime = 31;

bool uses_chirp(std::int32_t length) { return largest_prime_factor(length) > largest_direct_prime; }

bool uses_rader(std::int32_t length) {
  if (!uses_chirp(length)) return false;
  const std::int32_t p = largest_prime_factor(length), m = length / p;
  return m % p != 0 && largest_prime_factor(m) <= largest_direct_prime &&
         largest_prime_factor(p - 1) <= (m > 1 ? largest_split_rader_prime : largest_rader_prime);
}

dct_workspace make_dct_workspace(std::initializer_list<const dct_plan*> plans) {
  std::int64_t real = 1, spectrum = 1, chirp = 1;
  for (const dct_plan* plan : plans) {
    real = std::max(real, plan->real_distance * plan->count);
    spectrum = std::max(spectrum, plan->spectrum_distance * plan->count);
    chirp = std::max(chirp, pair_areas(*plan) * chirp_area(*plan));
  }
  dct_workspace work;
  work.real.reset(fftw_alloc_real(static_cast<std::size_t>(real)));
  work.spectrum.reset(fftw_alloc_complex(static_cast<std::size_t>(spectrum)));
  work.chirp.reset(fftw_alloc_complex(static_cast<std::size_t>(chirp)));
  if (!work.real || !work.spectrum || !work.chirp) throw std::bad_alloc();
  return work;
}

dct_plan make_dct_plan(std::int32_t length, int count, dct_use use) {
  if (count < 2 || count > max_batch_lines || count % 2 != 0) throw std::invalid_argument("dct batch size");
  std::lock_guard<std::recursive_mutex> hold(planner_lock);
  dct_plan plan;
  plan.length = length;
  plan.count = count;
  plan.real_distance = real_distance(length);
  plan.spectrum_distance = spectrum_distance(length);
  try {
    // FFTW_ESTIMATE plans without touching the arrays; these only lend their
    // alignment, which every workspace shares.
    dct_workspace probe = make_dct_workspace({&plan});
    if (uses_chirp(length)) {
      const bool rader = uses_rader(length);
      plan.pair_stride = rader ? (length + 1) / 2 * 2 : smooth_length_at_least(2 * std::int64_t{length} - 1);
      if (rader) {
        plan.rader_prime = largest_prime_factor(length);
        plan.rader_rest = length / plan.rader_prime;
      }
      probe = make_dct_workspace({&plan});
      if (rader)
        make_rader(&plan, probe.chirp.get());
      else
        make_chirp(&plan, probe.chirp.get());
    } else if (length % 2 == 0) {
      const int half = length / 2;
      const int rd = static_cast<int>(plan.real_distance / 2), sd = static_cast<int>(plan.spectrum_distance);
      fftw_complex* pairs = reinterpret_cast<fftw_complex*>(probe.real.get());
      if (use != dct_use::dct3) {
        plan.half_forward = fftw_plan_many_dft(1, &half, count, pairs, nullptr, 1, rd, probe.spectrum.get(),
                                               nullptr, 1, sd, FFTW_FORWARD, FFTW_ESTIMATE);
        if (plan.half_forward == nullptr) throw std::bad_alloc();
      }
      if (use != dct_use::dct2) {
        plan.half_backward = fftw_plan_many_dft(1, &half, count, probe.spectrum.get(), nullptr, 1, sd, pairs,
                                                nullptr, 1, rd, FFTW_BACKWARD, FFTW_ESTIMATE);
        if (plan.half_backward == nullptr) throw std::bad_alloc();
      }
      const double pi = std::acos(-1.0);
      for (std::int32_t k = 0; k < half; ++k) {
        plan.half_twiddle.push_back(std::polar(1.0, -2.0 * pi * k / length));
        plan.half_twiddle_re.push_back(plan.half_twiddle.back().real());
        plan.half_twiddle_im.push_back(plan.half_twiddle.back().imag());
      }
    } else {
      const int n[1] = {length};
      const int rd = static_cast<int>(plan.real_distance), sd = static_cast<int>(plan.spectrum_distance);
      if (use != dct_use::dct3) {
        plan.forward_fft = fftw_plan_many_dft_r2c(1, n, count, probe.real.get(), nullptr, 1, rd,
                                                  probe.spectrum.get(), nullptr, 1, sd, FFTW_ESTIMATE);
        if (plan.forward_fft == nullptr) throw std::bad_alloc();
      }
      if (use != dct_use::dct2) {
        plan.inverse_fft = fftw_plan_many_dft_c2r(1, n, count, probe.spectrum.get(), nullptr, 1, sd,
                                                  probe.real.get(), nullptr, 1, rd, FFTW_ESTIMATE);
        if (plan.inverse_fft == nullptr) throw std::bad_alloc();
      }
    }
  } catch (...) {
    destroy_dct_plan(&plan);
    throw;
  }
  const double pi = std::acos(-1.0);
  for (std::int32_t k = 0; k <= length / 2; ++k) {
    const double angle = pi * k / (2.0 * length);
    plan.twiddle_re.push_back(std::cos(angle));
    plan.twiddle_im.push_back(-std::sin(angle));
  }
  return plan;
}

void destroy_dct_plan(dct_plan* plan) {
  std::lock_guard<std::recursive_mutex> hold(planner_lock);
  for (fftw_plan* p : {&plan->forward_fft, &plan->inverse_fft, &plan->half_forward, &plan->half_backward,
                       &plan->chirp_forward, &plan->chirp_backward, &plan->rader_forward,
                       &plan->rader_backward, &plan->rader_across}) {
    if (*p != nullptr) fftw_destroy_plan(*p);
    *p = nullptr;
  }
}

namespace {

// Real FFT of the lines in work.real into work.spectrum (bins 0 .. N/2), and
// back, for odd lengths and Rader's route (Bluestein's forward steps are
// dct2_chirp's); the inverse is unnormalised and may overwrite
// work.spectrum. Where Rader's bins come in order (a prime N), the forward
// one goes on to dct2_batch's twiddle, its coefficients straight into
// out_lines as dct2_batch gives them, and says so by returning true.
bool real_fft_forward(const dct_plan& plan, dct_workspace& work, std::int32_t keep,
                      double* const* out_lines) {
  if (plan.pair_stride == 0) {
    fftw_execute_dft_r2c(plan.forward_fft, work.real.get(), work.spectrum.get());
    return false;
  }
  // Two real lines x, y as one complex line z = x + i y; then
  // X[k] = (Z[k] + conj Z[N-k]) / 2 and Y[k] = (Z[k] - conj Z[N-k]) / 2i.
  const std::int32_t n = plan.length;
  const std::int64_t rd = plan.real_distance, sd = plan.spectrum_distance;
  const double* const real = work.real.get();
  complex* const spectra = as_complex(work.spectrum.get());
  const auto load = [&](int line, std::int32_t j) {
    const double* x = real + 2 * line * rd;
    return complex(x[j], x[rd + j]);
  };
  bool untangled = false;
  rader_dft(plan, as_complex(work.chirp.get()), load, [&](const auto& z, const complex* ordered) {
    if (ordered != nullptr) {
      for (int l = 0; l < plan.count / 2; ++l)
        best_chirp_steps().dct2_pair(ordered + l * plan.pair_stride, nullptr, plan.twiddle_re.data(),
                                     plan.twiddle_im.data(), n, keep, out_lines[2 * l], out_lines[2 * l + 1]);
      untangled = true;
      return;
    }
    for (int l = 0; l < plan.count / 2; ++l) {
      complex* x = spectra + 2 * l * sd;
      complex* y = x + sd;
      for (std::int32_t k = 0; k <= n / 2; ++k) {
        const complex a = z(l, k), b = std::conj(z(l, k == 0 ? 0 : n - k));
        x[k] = 0.5 * (a + b);
        y[k] = {0.5 * (a.imag() - b.imag()), -0.5 * (a.real() - b.real())};  // (a - b) / 2i
      }
    }
  });
  return untangled;
}

void real_fft_inverse(const dct_plan& plan, dct_workspace& work) {
  if (plan.pair_stride == 0) {
    fftw_execute_dft_c2r(plan.inverse_fft, work.spectrum.get(), work.real.get());
    return;
  }
  // Z = X + i Y over the whole Hermitian spectrum; z = IDFT(Z) =
  // conj(DFT(conj Z)), whose real and imaginary halves are the two lines.
  const std::int32_t n = plan.length;
  const std::int64_t rd = plan.real_distance, sd = plan.spectrum_distance;
  double* const real = work.real.get();
  complex* const spectra = as_complex(work.spectrum.get());
  for (int l = 0; l < plan.count; ++l) {
    // Bins a real signal must have real, as a real inverse FFT assumes.
    spectra[l * sd].imag(0.0);
    if (n % 2 == 0) spectra[l * sd + n / 2].imag(0.0);
  }
  if (plan.chirp_forward != nullptr) {
    const chirp_steps& steps = best_chirp_steps();
    chirp_convolve(
        plan, work,
        [&](int l, complex* a) {
          steps.load_spectra(spectra + 2 * l * sd, spectra + (2 * l + 1) * sd, plan.chirp.data(), a, n);
        },
        [&](int l, const complex* a) {
          steps.split_pair(a, plan.chirp.data(), n, real + 2 * l * rd, real + (2 * l + 1) * rd);
        });
    return;
  }
  // Bin k of a line, from k <= N/2 as it is and from N - k conjugated; the
  // sign multiplies exactly, and Rader's order asks for bins at random,
  // where a branch would be mispredicted half the time.
  const auto load = [&](int line, std::int32_t k) {
    const bool low = k <= n / 2;
    const std::int32_t at = low ? k : n - k;
    const double sign = low ? 1.0 : -1.0;
    const complex* x = spectra + 2 * line * sd + at;
    const complex* y = x + sd;
    const complex xk(x->real(), sign * x->imag()), yk(y->real(), sign * y->imag());
    return complex(xk.real() - yk.imag(), -(xk.imag() + yk.real()));  // conj(xk + i yk)
  };
  rader_dft(plan, as_complex(work.chirp.get()), load, [&](const auto& z, const complex* ordered) {
    for (int l = 0; l < plan.count / 2; ++l) {
      double* x = real + 2 * l * rd;
      double* y = x + rd;
      if (ordered != nullptr) {
        best_chirp_steps().split_pair(ordered + l * plan.pair_stride, nullptr, n, x, y);
        continue;
      }
      for (std::int32_t j = 0; j < n; ++j) {
        const complex v = z(l, j);
        x[j] = v.real();
        y[j] = -v.imag();
      }
    }
  });
}

// dct2 of an even length through a complex FFT of M = N/2 points, with the
// real FFT's untangling and Makhoul's twiddle in one pass (half_untangle.h).
// With z[m] = v[2m] + i v[2m+1] and Z its FFT, the spectra of the even and
// odd samples are E[k] = (Z[k] + conj Z[M-k]) / 2 and
// O[k] = (Z[k] - conj Z[M-k]) / 2i, the real FFT is X[k] = E[k] + W[k] O[k],
// and then dct2[k] = Re(w[k] X[k]), dct2[N-k] = -Im(w[k] X[k]).
half_twiddles twiddles_of(const dct_plan& plan) {
  return {plan.twiddle_re.data(), plan.twiddle_im.data(), plan.half_twiddle_re.data(),
          plan.half_twiddle_im.data()};
}

void dct2_half(const dct_plan& plan, dct_workspace& work, std::int32_t keep, double* const* out) {
  fftw_execute_dft(plan.half_forward, reinterpret_cast<fftw_complex*>(work.real.get()), work.spectrum.get());
  const half_twiddles t = twiddles_of(plan);
  const dct2_untangle_fn untangle = best_half_untangle().dct2;
  for (int l = 0; l < plan.count; ++l)
    untangle(reinterpret_cast<const double*>(work.spectrum.get() + l * plan.spectrum_distance), out[l],
             plan.length, keep, t);
}

// dct3 of an even length, the steps of dct2_half backwards in one pass:
// X[k] = conj(w[k]) (c[k] - i c[N-k]) / 2 is the real FFT of the reordered
// result, 2E[k] = X[k] + conj X[M-k], 2O[k] = (X[k] - conj X[M-k]) / W[k],
// and the inverse FFT of 2E + 2i O holds v[2m] + i v[2m+1].
void dct3_half(const dct_plan& plan, dct_workspace& work, std::int32_t keep, double* const* in) {
  const half_twiddles t = twiddles_of(plan);
  // Kept coefficients within the first half leave the second half zero,
  // which the low tangle neither reads nor needs written.
  const bool low = keep <= plan.length / 2 + 1;
  const dct3_tangle_fn tangle = low ? best_half_untangle().dct3_low : best_half_untangle().dct3;
  const std::int32_t zero_end = low ? plan.length / 2 + 1 : plan.length;
  for (int l = 0; l < plan.count; ++l) {
    double* c = in[l];
    std::fill(c + std::min(keep, zero_end), c + zero_end, 0.0);
    tangle(c, reinterpret_cast<double*>(work.spectrum.get() + l * plan.spectrum_distance), plan.length, t);
  }
  fftw_execute_dft(plan.half_backward, work.spectrum.get(), reinterpret_cast<fftw_complex*>(work.real.get()));
}

// dct2 on Bluestein's route: the pairs' untangling and Makhoul's twiddle
// in one step, straight into the output lines.
void dct2_chirp(const dct_plan& plan, dct_workspace& work, std::int32_t keep, double* const* out) {
  const chirp_steps& steps = best_chirp_steps();
  const std::int32_t n = plan.length;
  const std::int64_t rd = plan.real_distance;
  chirp_convolve(
      plan, work,
      [&](int l, complex* a) {
        const double* x = work.real.get() + 2 * l * rd;
        steps.load_pair(x, x + rd, plan.chirp.data(), a, n);
      },
      [&](int l, const complex* a) {
        steps.dct2_pair(a, plan.chirp.data(), plan.twiddle_re.data(), plan.twiddle_im.data(), n, keep,
                        out[2 * l], out[2 * l + 1]);
      });
}

// Line l of a batch in work.real.
struct own_lines {
  double* lines[max_batch_lines];
  own_lines(const dct_plan& plan, dct_workspace& work) {
    for (int l = 0; l < plan.count; ++l) lines[l] = work.real.get() + l * plan.real_distance;
  }
};

}  // namespace

void dct2_batch(const dct_plan& plan, dct_workspace& work, std::int32_t keep) {
  dct2_batch(plan, work, keep, own_lines(plan, work).lines);
}

void dct2_batch(const dct_plan& plan, dct_workspace& work, std::int32_t keep, double* const* out_lines) {
  if (plan.half_forward != nullptr) {
    dct2_half(plan, work, keep, out_lines);
    return;
  }
  if (plan.chirp_forward != nullptr) {
    dct2_chirp(plan, work, keep, out_lines);
    return;
  }
  if (real_fft_forward(plan, work, keep, out_lines)) return;
  const std::int32_t n = plan.length, half = n / 2;
  const double* wr = plan.twiddle_re.data();
  const double* wi = plan.twiddle_im.data();
  for (int line = 0; line < plan.count; ++line) {
    const fftw_complex* v = work.spectrum.get() + line * plan.spectrum_distance;
    double* out = out_lines[line];
    out[0] = v[0][0];
    // Bins 1 .. N/2 give coefficient k from Re and N - k from Im.
    const std::int32_t low_end = std::min(half, keep - 1);
    for (std::int32_t k = 1; k <= low_end; ++k) out[k] = wr[k] * v[k][0] - wi[k] * v[k][1];
    for (std::int32_t k = std::max(n - keep + 1, 1); k <= (n - 1) / 2; ++k)
      out[n - k] = -(wr[k] * v[k][1] + wi[k] * v[k][0]);
  }
}

void dct3_batch(const dct_plan& plan, dct_workspace& work, std::int32_t keep) {
  dct3_batch(plan, work, keep, own_lines(plan, work).lines);
}

void dct3_batch(const dct_plan& plan, dct_workspace& work, std::int32_t keep, double* const* in) {
  if (plan.half_backward != nullptr) {
    dct3_half(plan, work, keep, in);
    return;
  }
  const std::int32_t n = plan.length, half = n / 2;
  const double* wr = plan.twiddle_re.data();
  const double* wi = plan.twiddle_im.data();
  for (int line = 0; line < plan.count; ++line) {
    const double* c = in[line];
    fftw_complex* v = work.spectrum.get() + line * plan.spectrum_distance;
    v[0][0] = c[0];
    v[0][1] = 0.0;
    // V[k] = conj(w[k]) * (c[k] - i c[N-k]) / 2. c[N-k] is kept only from
    // first_both on, and then so is c[k]; before it, c[k] is kept up to keep.
    const std::int32_t first_both = std::max(n - keep + 1, 1);
    const std::int32_t single_end = std::min({first_both, half + 1, keep}),
                       zero_end = std::min(first_both, half + 1);
    std::int32_t k = 1;
    for (; k < single_end; ++k) {
      v[k][0] = 0.5 * (wr[k] * c[k]);
      v[k][1] = -0.5 * (wi[k] * c[k]);
    }
    for (; k < zero_end; ++k) v[k][0] = v[k][1] = 0.0;
    for (; k <= half; ++k) {
      v[k][0] = 0.5 * (wr[k] * c[k] - wi[k] * c[n - k]);
      v[k][1] = -0.5 * (wr[k] * c[n - k] + wi[k] * c[k]);
    }
  }
  real_fft_inverse(plan, work);
}

bool dct2_batch_to_columns(const dct_plan& plan, dct_workspace& work, std::int32_t keep, double* columns,
                           std::int64_t stride, bool stream) {
  const dct2_columns_fn untangle = best_half_untangle().dct2_columns;
  if (plan.half_forward == nullptr || plan.count != column_lines || untangle == nullptr) return false;
  fftw_execute_dft(plan.half_forward, reinterpret_cast<fftw_complex*>(work.real.get()), work.spectrum.get());
  untangle(reinterpret_cast<const double*>(work.spectrum.get()), 2 * plan.spectrum_distance, columns, stride,
           plan.length, keep, stream, twiddles_of(plan));
  return true;
}

bool dct3_batch_from_columns(const dct_plan& plan, dct_workspace& work, std::int32_t keep,
                             const double* columns, std::int64_t stride) {
  const dct3_columns_fn tangle = best_half_untangle().dct3_columns;
  if (plan.half_backward == nullptr || plan.count != column_lines || tangle == nullptr) return false;
  tangle(columns, stride, keep, reinterpret_cast<double*>(work.spectrum.get()), 2 * plan.spectrum_distance,
         plan.length, twiddles_of(plan));
  fftw_execute_dft(plan.half_backward, work.spectrum.get(), reinterpret_cast<fftw_complex*>(work.real.get()));
  return true;
}

}  // namespace pellimor::detail
