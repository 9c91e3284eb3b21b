// fft_dct.cc - plans and twiddles for the FFT-based DCT batches.
#include "dct/fft_dct.h"

#include <cmath>
#include <new>

namespace {

// Lines start 64 bytes apart at least, so every line of a batch has the
// alignment the plan was made for.
std::int64_t aligned(std::int64_t count) { return (count + 7) / 8 * 8; }

std::int64_t real_distance(std::int32_t length) { return aligned(length); }
std::int64_t spectrum_distance(std::int32_t length) { return aligned(length / 2 + 1); }

}  // namespace

dct_workspace make_dct_workspace(std::int32_t max_length, int count) {
  dct_workspace work;
  work.real.reset(fftw_alloc_real(static_cast<std::size_t>(real_distance(max_length) * count)));
  work.spectrum.reset(fftw_alloc_complex(static_cast<std::size_t>(spectrum_distance(max_length) * count)));
  if (!work.real || !work.spectrum) throw std::bad_alloc();
  return work;
}

dct_plan make_dct_plan(std::int32_t length, int count) {
  dct_plan plan;
  plan.length = length;
  plan.count = count;
  plan.real_distance = real_distance(length);
  plan.spectrum_distance = spectrum_distance(length);
  // FFTW_ESTIMATE plans without touching the arrays; these only lend their
  // alignment, which every workspace shares.
  dct_workspace probe = make_dct_workspace(length, count);
  const int n[1] = {length};
  const int rd = static_cast<int>(plan.real_distance), sd = static_cast<int>(plan.spectrum_distance);
  plan.forward_fft = fftw_plan_many_dft_r2c(1, n, count, probe.real.get(), nullptr, 1, rd,
                                            probe.spectrum.get(), nullptr, 1, sd, FFTW_ESTIMATE);
  plan.inverse_fft = fftw_plan_many_dft_c2r(1, n, count, probe.spectrum.get(), nullptr, 1, sd,
                                            probe.real.get(), nullptr, 1, rd, FFTW_ESTIMATE);
  if (plan.forward_fft == nullptr || plan.inverse_fft == nullptr) {
    destroy_dct_plan(&plan);
    throw std::bad_alloc();
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
  if (plan->forward_fft != nullptr) fftw_destroy_plan(plan->forward_fft);
  if (plan->inverse_fft != nullptr) fftw_destroy_plan(plan->inverse_fft);
  plan->forward_fft = plan->inverse_fft = nullptr;
}
