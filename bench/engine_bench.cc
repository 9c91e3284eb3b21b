// SPDX-License-Identifier: MIT
// engine_bench.cc - the FFT engine's four passes beside FFTW alone.
//
//   cmake --build BUILD --target engine_bench && BUILD/engine_bench [rounds] [cpu]
//
// For each job (three channels) and thread count, times every pass of
// fast_resampler (from the passes_done hook, summed over the channels) and
// the floor: FFTW executing the very plans the pass uses, on the same
// lengths and batches of 8 lines, split over the same number of threads,
// each thread on its own workspace (in cache, planned once). Prints the
// medians over the rounds and each pass's ratio to its floor; the last line
// is the whole resize, planning and page faults included, against the sum
// of the floors. Only the half-length complex FFTs of even, smooth lengths
// are floored; the jobs here have nothing else.
//
// The engine runs both column transforms in one pass, so that pass is
// reported against the sum of their two floors.
//
// With `cpu`, CPU seconds stand for wall seconds: the process's for the
// engine, the sum of its threads' for the floor. On a machine other work
// keeps busy that is the steadier measure of the work done, though it no
// longer shows a core left idle at a pass boundary.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "dct/fast_resample.h"
#include "dct/fft_dct.h"

using namespace pellimor::detail;  // the library's internals

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int lines = 8;
bool cpu_mode = false;

double cpu_seconds(clockid_t clock) {
  timespec t;
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Seconds on the engine's clock: wall, or the whole process's CPU.
double engine_now() {
  if (cpu_mode) return cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
  return std::chrono::duration<double>(clock_type::now().time_since_epoch()).count();
}
constexpr int channels = 3;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
}

std::int64_t batches(std::int64_t n) { return (n + lines - 1) / lines; }

// Seconds for `threads` threads to execute `count` batches of `plan`'s
// half-length FFT between them, each thread on its own workspace.
double fftw_floor(std::int32_t length, bool inverse, std::int64_t count, int threads) {
  dct_plan plan = make_dct_plan(length, lines, inverse ? dct_use::dct3 : dct_use::dct2);
  const fftw_plan fft = inverse ? plan.half_backward : plan.half_forward;
  if (fft == nullptr) {
    destroy_dct_plan(&plan);
    return -1;
  }
  std::vector<dct_workspace> work;
  for (int t = 0; t < threads; ++t) {
    work.push_back(make_dct_workspace({&plan}));
    std::fill_n(work.back().real.get(), plan.real_distance * lines, 1.0);
    std::fill_n(reinterpret_cast<double*>(work.back().spectrum.get()), 2 * plan.spectrum_distance * lines,
                1.0);
  }
  std::atomic<bool> go{false};
  std::vector<double> seconds(threads);
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      dct_workspace& w = work[t];
      auto* pairs = reinterpret_cast<fftw_complex*>(w.real.get());
      fftw_execute_dft(fft, inverse ? w.spectrum.get() : pairs, inverse ? pairs : w.spectrum.get());  // warm
      while (!go) std::this_thread::yield();
      const auto start = clock_type::now();
      const double cpu_start = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
      for (std::int64_t b = t; b < count; b += threads)
        fftw_execute_dft(fft, inverse ? w.spectrum.get() : pairs, inverse ? pairs : w.spectrum.get());
      seconds[t] = cpu_mode ? cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - cpu_start
                            : std::chrono::duration<double>(clock_type::now() - start).count();
    });
  go = true;
  for (std::thread& t : pool) t.join();
  destroy_dct_plan(&plan);
  if (cpu_mode) {
    double sum = 0;
    for (double v : seconds) sum += v;
    return sum;
  }
  return *std::max_element(seconds.begin(), seconds.end());
}

struct pass_times {
  double seconds[4] = {0, 0, 0, 0};
};

struct hook_state {
  double last;
  std::int64_t boundaries[4];
  double* seconds;
};

void on_passes_done(void* context, std::int64_t done, std::int64_t) {
  auto& h = *static_cast<hook_state*>(context);
  const double now = engine_now();
  for (int p = 0; p < 4; ++p)
    if (done == h.boundaries[p]) h.seconds[p] += now - h.last;
  h.last = now;
}

// One resize of a three-channel picture, pass by pass.
pass_times time_engine(std::int32_t w, std::int32_t h, std::int32_t nw, std::int32_t nh, int threads,
                       const std::vector<std::uint8_t>& picture, std::vector<std::uint8_t>& output) {
  pass_times t;
  fast_resampler resampler(w, h, nw, nh, threads);
  hook_state hook{engine_now(),
                  {h, std::int64_t{h} + w, std::int64_t{h} + w + nh, std::int64_t{h} + w + nh + nw},
                  t.seconds};
  progress_streams progress{nullptr, nullptr, on_passes_done, &hook};
  for (int c = 0; c < channels; ++c) {
    const std::uint8_t* plane = picture.data() + std::size_t{1} * c * w * h;
    std::uint8_t* out = output.data() + std::size_t{1} * c * nw * nh;
    const row_reader read = [&](std::int32_t first, std::int32_t count, std::uint8_t* rows) {
      std::memcpy(rows, plane + std::size_t{1} * first * w, std::size_t{1} * count * w);
      return true;
    };
    const row_writer write = [&](std::int32_t first, std::int32_t count, const std::uint8_t* rows) {
      std::memcpy(out + std::size_t{1} * first * nw, rows, std::size_t{1} * count * nw);
      return true;
    };
    hook.last = engine_now();
    resampler.resample(read, write, progress);
  }
  return t;
}

void run_job(std::int32_t w, std::int32_t h, std::int32_t nw, std::int32_t nh, int rounds) {
  std::vector<std::uint8_t> picture(std::size_t{1} * channels * w * h),
      output(std::size_t{1} * channels * nw * nh);
  std::uint32_t state = 1;
  for (std::size_t i = 0; i < picture.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    picture[i] = static_cast<std::uint8_t>((i % w + i / w) / 4 + (state >> 28));
  }
  const std::int32_t kept_w = std::min(w, nw);
  const struct {
    const char* name;
    std::int32_t length;
    bool inverse;
    std::int64_t count;
  } passes[4] = {{"rows forward", w, false, batches(h)},
                 {"columns forward", h, false, batches(kept_w)},
                 {"columns inverse", nh, true, batches(kept_w)},
                 {"rows inverse", nw, true, batches(nh)}};
  for (int threads : {1, 2}) {
    std::vector<double> engine[5], floor[5];
    time_engine(w, h, nw, nh, threads, picture, output);  // warm: plans, pages, pool
    for (int r = 0; r < rounds; ++r) {
      const double start = engine_now();
      const pass_times t = time_engine(w, h, nw, nh, threads, picture, output);
      engine[4].push_back(engine_now() - start);
      double total_floor = 0;
      for (int p = 0; p < 4; ++p) {
        engine[p].push_back(t.seconds[p]);
        double f = 0;
        for (int c = 0; c < channels; ++c)
          f += fftw_floor(passes[p].length, passes[p].inverse, passes[p].count, threads);
        floor[p].push_back(f);
        total_floor += f;
      }
      floor[4].push_back(total_floor);
    }
    std::printf("%dx%d -> %dx%d, %d channels, %d thread%s (medians of %d%s)\n", w, h, nw, nh, channels,
                threads, threads == 1 ? "" : "s", rounds, cpu_mode ? ", CPU time" : "");
    std::printf("  %-18s %10s %10s %7s\n", "pass", "engine ms", "FFTW ms", "ratio");
    // The engine runs both column transforms in one pass; its time is
    // reported against both floors.
    for (int p : {0, 1, 3, 4}) {
      double e = median(engine[p]) * 1e3, f = median(floor[p]) * 1e3;
      if (p == 1) {
        std::vector<double> both(rounds), floors(rounds);
        for (int r = 0; r < rounds; ++r) {
          both[r] = engine[1][r] + engine[2][r];
          floors[r] = floor[1][r] + floor[2][r];
        }
        e = median(both) * 1e3;
        f = median(floors) * 1e3;
      }
      std::printf("  %-18s %10.1f %10.1f %7.2f\n",
                  p == 1  ? "columns both ways"
                  : p < 4 ? passes[p].name
                          : "whole resize",
                  e, f, e / f);
    }
  }
}

// Whole resizes of a shape with awkward lengths (primes, or large prime
// factors) against a smooth shape of about the same size, in turns.
void run_awkward(const int (&awkward)[4], const int (&smooth)[4], int threads, int rounds) {
  const int* shapes[2] = {awkward, smooth};
  std::vector<std::uint8_t> picture[2], output[2];
  for (int k = 0; k < 2; ++k) {
    const int* s = shapes[k];
    picture[k].resize(std::size_t{1} * channels * s[0] * s[1]);
    output[k].resize(std::size_t{1} * channels * s[2] * s[3]);
    for (std::size_t i = 0; i < picture[k].size(); ++i)
      picture[k][i] = static_cast<std::uint8_t>(i * 2654435761u >> 24);
    time_engine(s[0], s[1], s[2], s[3], threads, picture[k], output[k]);  // warm
  }
  std::vector<double> seconds[2];
  for (int r = 0; r < rounds; ++r)
    for (int k = 0; k < 2; ++k) {
      const int* s = shapes[k];
      const double start = engine_now();
      time_engine(s[0], s[1], s[2], s[3], threads, picture[k], output[k]);
      seconds[k].push_back(engine_now() - start);
    }
  const double a = median(seconds[0]) * 1e3, b = median(seconds[1]) * 1e3;
  std::printf("%dx%d -> %dx%d %.1f ms, %dx%d -> %dx%d %.1f ms, ratio %.2f (%d thread%s)\n", awkward[0],
              awkward[1], awkward[2], awkward[3], a, smooth[0], smooth[1], smooth[2], smooth[3], b, a / b,
              threads, threads == 1 ? "" : "s");
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  cpu_mode = argc > 2 && std::strcmp(argv[2], "cpu") == 0;
  const bool awkward_only = argc > 3 && std::strcmp(argv[3], "awkward") == 0;
  if (!awkward_only) {
    run_job(1920, 1080, 3840, 2160, rounds);
    run_job(4000, 3000, 2000, 1500, rounds);
  }
  for (int threads : {1, 2}) {
    // Primes; 769 - 1 and 1153 - 1 are smooth, 1021 - 1 and 1531 - 1 not.
    run_awkward({1021, 769, 1531, 1153}, {1024, 768, 1536, 1152}, threads, rounds);
    // Factors 11 and 13 (1100 = 2^2 5^2 11, 1170 = 2 3^2 5 13).
    run_awkward({1100, 1170, 2200, 2340}, {1125, 1152, 2250, 2304}, threads, rounds);
    // A large prime once, times a smooth rest (1234 = 2 617, 925 = 5^2 37,
    // 1850 = 2 5^2 37, 1387 = 19 73).
    run_awkward({1234, 925, 1850, 1387}, {1250, 960, 1875, 1440}, threads, rounds);
  }
  return 0;
}
