// SPDX-License-Identifier: MIT
// strided_copy_bench.cc - each version of the strided sample copy on the
// channels a resize takes out of interleaved pixels and puts back.
//
//   cmake -B BUILD -DPELLIMOR_BENCH=ON && cmake --build BUILD --target strided_copy_bench
//   BUILD/strided_copy_bench --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true
//       --benchmark_report_aggregates_only=true      (one line)
//
// "batch": the eight rows of 1920 pixels the engine reads at a time, in the
// cache; "picture": one channel of a whole 1920 x 1080 picture, from
// memory, as a resize of a decoded JPEG reads it. bytes_per_second counts
// the packed side.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "lib/strided_copy.h"

using namespace pellimor::detail;  // the library's internals

namespace {

struct job {
  const char* name;
  std::size_t size;  // bytes a sample
  int channels;
  bool out_of_pixels;  // else into them
};

constexpr job jobs[] = {
    {"u8x3/out", 1, 3, true},  {"u8x4/out", 1, 4, true},  {"u8x2/out", 1, 2, true},
    {"u16x3/out", 2, 3, true}, {"u16x4/out", 2, 4, true}, {"u8x3/in", 1, 3, false},
};

void copy_channel(benchmark::State& state, sample_copy_fn copy, job j, std::int32_t rows) {
  constexpr std::int32_t width = 1920;
  const auto step = static_cast<std::ptrdiff_t>(j.channels * j.size);
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(rows) * width * step, 7);
  std::vector<std::uint8_t> packed(static_cast<std::size_t>(rows) * width * j.size, 9);
  const strided_rows interleaved{width * step, step};
  const strided_rows plane{static_cast<std::ptrdiff_t>(width * j.size), static_cast<std::ptrdiff_t>(j.size)};
  for (auto _ : state) {
    for (std::int32_t r = 0; r < rows; ++r) {
      if (j.out_of_pixels)
        copy(pixels.data() + r * interleaved.row + j.size, step, packed.data() + r * plane.row, plane.step,
             width, j.size);
      else
        copy(packed.data() + r * plane.row, plane.step, pixels.data() + r * interleaved.row + j.size, step,
             width, j.size);
    }
    benchmark::DoNotOptimize(pixels.data());
    benchmark::DoNotOptimize(packed.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(packed.size()));
}

const bool registered = [] {
  for (const sample_copier& copier : runnable_sample_copiers())
    for (const job& j : jobs)
      for (const auto& [where, rows] : {std::pair<const char*, std::int32_t>{"batch", 8}, {"picture", 1080}})
        benchmark::RegisterBenchmark((std::string(j.name) + "/" + where + "/" + copier.name).c_str(),
                                     copy_channel, copier.copy, j, rows);
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
