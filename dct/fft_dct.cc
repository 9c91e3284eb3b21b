// fft_dct.cc - plans, twiddles and real FFTs for the FFT-based DCT batches.
#include "dct/fft_dct.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace {

using complex = std::complex<double>;

// Lines start 64 bytes apart at least, so every line of a batch has the
// alignment the plan was made for.
std::int64_t aligned(std::int64_t count) { return (count + 7) / 8 * 8; }

std::int64_t real_distance(std::int32_t length) { return aligned(length); }
std::int64_t spectrum_distance(std::int32_t length) { return aligned(length / 2 + 1); }

std::int32_t largest_prime_factor(std::int32_t n) {
  std::int32_t largest = 1;
  for (std::int32_t p = 2; static_cast<std::int64_t>(p) * p <= n; ++p)
    while (n % p == 0) {
      largest = p;
      n /= p;
    }
  return std::max(largest, n);
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

// a * b without the NaN and infinity handling of std::complex's operator*,
// which would cost more than the FFTs here; the values are always finite.
inline complex times(complex a, complex b) {
  return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

void make_chirp(dct_plan* plan, fftw_complex* probe) {
  const std::int32_t n = plan->length, m = smooth_length_at_least(2 * std::int64_t{n} - 1);
  const int lines = plan->count / 2;
  plan->chirp_length = m;
  const double pi = std::acos(-1.0);
  for (std::int64_t j = 0; j < n; ++j) {
    const std::int64_t reduced = j * j % (2 * std::int64_t{n});  // exact angle reduction
    plan->chirp.push_back(std::polar(1.0, -pi * static_cast<double>(reduced) / n));
  }
  plan->chirp_forward = fftw_plan_many_dft(1, &m, lines, probe, nullptr, 1, m, probe, nullptr, 1, m,
                                           FFTW_FORWARD, FFTW_ESTIMATE);
  plan->chirp_backward = fftw_plan_many_dft(1, &m, lines, probe, nullptr, 1, m, probe, nullptr, 1, m,
                                            FFTW_BACKWARD, FFTW_ESTIMATE);
  if (plan->chirp_forward == nullptr || plan->chirp_backward == nullptr) throw std::bad_alloc();
  // Kernel: the conjugate chirp laid out cyclically over M, transformed,
  // with the 1/M of the inverse FFT folded in.
  plan->kernel.assign(m, 0.0);
  for (std::int32_t j = 0; j < n; ++j) {
    plan->kernel[j] = std::conj(plan->chirp[j]) / static_cast<double>(m);
    if (j > 0) plan->kernel[m - j] = plan->kernel[j];
  }
  fftw_plan one = fftw_plan_dft_1d(m, reinterpret_cast<fftw_complex*>(plan->kernel.data()),
                                   reinterpret_cast<fftw_complex*>(plan->kernel.data()), FFTW_FORWARD,
                                   FFTW_ESTIMATE);
  if (one == nullptr) throw std::bad_alloc();
  fftw_execute(one);
  fftw_destroy_plan(one);
}

// The length-N DFT of each line in `lines` (count/2 lines, chirp_length
// apart, values in the first N), left in the first N of each line.
void chirp_dft(const dct_plan& plan, complex* lines) {
  const std::int32_t n = plan.length, m = plan.chirp_length;
  const int count = plan.count / 2;
  for (int l = 0; l < count; ++l) {
    complex* a = lines + static_cast<std::int64_t>(l) * m;
    for (std::int32_t j = 0; j < n; ++j) a[j] = times(a[j], plan.chirp[j]);
    std::fill(a + n, a + m, complex());
  }
  fftw_execute_dft(plan.chirp_forward, reinterpret_cast<fftw_complex*>(lines),
                   reinterpret_cast<fftw_complex*>(lines));
  for (int l = 0; l < count; ++l) {
    complex* a = lines + static_cast<std::int64_t>(l) * m;
    for (std::int32_t j = 0; j < m; ++j) a[j] = times(a[j], plan.kernel[j]);
  }
  fftw_execute_dft(plan.chirp_backward, reinterpret_cast<fftw_complex*>(lines),
                   reinterpret_cast<fftw_complex*>(lines));
  for (int l = 0; l < count; ++l) {
    complex* a = lines + static_cast<std::int64_t>(l) * m;
    for (std::int32_t j = 0; j < n; ++j) a[j] = times(a[j], plan.chirp[j]);
  }
}

}  // namespace

bool uses_chirp(std::int32_t length) { return largest_prime_factor(length) > 7; }

dct_workspace make_dct_workspace(std::initializer_list<const dct_plan*> plans) {
  std::int64_t real = 1, spectrum = 1, chirp = 1;
  for (const dct_plan* plan : plans) {
    real = std::max(real, plan->real_distance * plan->count);
    spectrum = std::max(spectrum, plan->spectrum_distance * plan->count);
    chirp = std::max(chirp, std::int64_t{plan->chirp_length} * (plan->count / 2));
  }
  dct_workspace work;
  work.real.reset(fftw_alloc_real(static_cast<std::size_t>(real)));
  work.spectrum.reset(fftw_alloc_complex(static_cast<std::size_t>(spectrum)));
  work.chirp.reset(fftw_alloc_complex(static_cast<std::size_t>(chirp)));
  if (!work.real || !work.spectrum || !work.chirp) throw std::bad_alloc();
  return work;
}

dct_plan make_dct_plan(std::int32_t length, int count, dct_use use) {
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
      dct_plan sized = plan;  // the chirp scratch needs the padded length first
      sized.chirp_length = smooth_length_at_least(2 * std::int64_t{length} - 1);
      probe = make_dct_workspace({&sized});
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
      for (std::int32_t k = 0; k < half; ++k) plan.half_twiddle.push_back(std::polar(1.0, -2.0 * pi * k / length));
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
  for (fftw_plan* p : {&plan->forward_fft, &plan->inverse_fft, &plan->half_forward, &plan->half_backward,
                       &plan->chirp_forward, &plan->chirp_backward}) {
    if (*p != nullptr) fftw_destroy_plan(*p);
    *p = nullptr;
  }
}

void real_fft_forward(const dct_plan& plan, dct_workspace& work) {
  if (plan.half_forward != nullptr) {
    // Z = FFT of z[m] = x[2m] + i x[2m+1]; with E, O the spectra of the even
    // and odd samples, E[k] = (Z[k] + conj Z[M-k]) / 2,
    // O[k] = (Z[k] - conj Z[M-k]) / 2i and X[k] = E[k] + W[k] O[k].
    fftw_execute_dft(plan.half_forward, reinterpret_cast<fftw_complex*>(work.real.get()), work.spectrum.get());
    const std::int32_t m = plan.length / 2;
    const complex* w = plan.half_twiddle.data();
    for (int l = 0; l < plan.count; ++l) {
      complex* x = as_complex(work.spectrum.get()) + l * plan.spectrum_distance;
      const double e0 = x[0].real(), o0 = x[0].imag();
      x[0] = e0 + o0;
      x[m] = e0 - o0;
      for (std::int32_t k = 1, j = m - 1; k <= j; ++k, --j) {
        const complex zk = x[k], zj = x[j];
        const complex ek = 0.5 * (zk + std::conj(zj)), ok = {0.5 * (zk.imag() + zj.imag()), 0.5 * (zj.real() - zk.real())};
        const complex ej = std::conj(ek), oj = std::conj(ok);
        x[k] = ek + times(w[k], ok);
        x[j] = ej + times(w[j], oj);
      }
    }
    return;
  }
  if (plan.chirp_length == 0) {
    fftw_execute_dft_r2c(plan.forward_fft, work.real.get(), work.spectrum.get());
    return;
  }
  // Two real lines x, y as one complex line z = x + i y; then
  // X[k] = (Z[k] + conj Z[N-k]) / 2 and Y[k] = (Z[k] - conj Z[N-k]) / 2i.
  const std::int32_t n = plan.length, m = plan.chirp_length;
  complex* lines = as_complex(work.chirp.get());
  for (int l = 0; l < plan.count / 2; ++l) {
    const double* x = work.real.get() + (2 * l) * plan.real_distance;
    const double* y = x + plan.real_distance;
    complex* z = lines + static_cast<std::int64_t>(l) * m;
    for (std::int32_t j = 0; j < n; ++j) z[j] = complex(x[j], y[j]);
  }
  chirp_dft(plan, lines);
  for (int l = 0; l < plan.count / 2; ++l) {
    const complex* z = lines + static_cast<std::int64_t>(l) * m;
    complex* x = as_complex(work.spectrum.get()) + (2 * l) * plan.spectrum_distance;
    complex* y = x + plan.spectrum_distance;
    for (std::int32_t k = 0; k <= n / 2; ++k) {
      const complex a = z[k], b = std::conj(z[k == 0 ? 0 : n - k]);
      x[k] = 0.5 * (a + b);
      y[k] = {0.5 * (a.imag() - b.imag()), -0.5 * (a.real() - b.real())};  // (a - b) / 2i
    }
  }
}

void real_fft_inverse(const dct_plan& plan, dct_workspace& work) {
  if (plan.half_backward != nullptr) {
    // The forward steps backwards: 2E[k] = X[k] + conj X[M-k],
    // 2O[k] = (X[k] - conj X[M-k]) / W[k], Z = 2E + 2i O, and the inverse
    // FFT of Z holds x[2m] + i x[2m+1].
    const std::int32_t m = plan.length / 2;
    const complex* w = plan.half_twiddle.data();
    for (int l = 0; l < plan.count; ++l) {
      complex* x = as_complex(work.spectrum.get()) + l * plan.spectrum_distance;
      // Bins a real signal must have real, as a real inverse FFT assumes.
      const double x0 = x[0].real(), xm = x[m].real();
      x[0] = {x0 + xm, x0 - xm};
      for (std::int32_t k = 1, j = m - 1; k <= j; ++k, --j) {
        const complex xk = x[k], xj = x[j];
        const complex ek = xk + std::conj(xj), ok = times(xk - std::conj(xj), std::conj(w[k]));
        const complex ej = std::conj(ek), oj = times(xj - std::conj(xk), std::conj(w[j]));
        x[k] = {ek.real() - ok.imag(), ek.imag() + ok.real()};  // ek + i ok
        x[j] = {ej.real() - oj.imag(), ej.imag() + oj.real()};
      }
    }
    fftw_execute_dft(plan.half_backward, work.spectrum.get(), reinterpret_cast<fftw_complex*>(work.real.get()));
    return;
  }
  if (plan.chirp_length == 0) {
    fftw_execute_dft_c2r(plan.inverse_fft, work.spectrum.get(), work.real.get());
    return;
  }
  // Z = X + i Y over the whole Hermitian spectrum; z = IDFT(Z) =
  // conj(DFT(conj Z)), whose real and imaginary parts are the two lines.
  const std::int32_t n = plan.length, m = plan.chirp_length;
  complex* lines = as_complex(work.chirp.get());
  for (int l = 0; l < plan.count / 2; ++l) {
    complex* x = as_complex(work.spectrum.get()) + (2 * l) * plan.spectrum_distance;
    complex* y = x + plan.spectrum_distance;
    // Bins a real signal must have real, as a real inverse FFT assumes.
    x[0].imag(0.0);
    y[0].imag(0.0);
    if (n % 2 == 0) {
      x[n / 2].imag(0.0);
      y[n / 2].imag(0.0);
    }
    complex* z = lines + static_cast<std::int64_t>(l) * m;
    for (std::int32_t k = 0; k < n; ++k) {
      const bool low = k <= n / 2;
      const complex xk = low ? x[k] : std::conj(x[n - k]), yk = low ? y[k] : std::conj(y[n - k]);
      z[k] = {xk.real() - yk.imag(), -(xk.imag() + yk.real())};  // conj(xk + i yk)
    }
  }
  chirp_dft(plan, lines);
  for (int l = 0; l < plan.count / 2; ++l) {
    const complex* z = lines + static_cast<std::int64_t>(l) * m;
    double* x = work.real.get() + (2 * l) * plan.real_distance;
    double* y = x + plan.real_distance;
    for (std::int32_t j = 0; j < n; ++j) {
      x[j] = z[j].real();
      y[j] = -z[j].imag();
    }
  }
}
