// resample.h - resize one channel plane in the cosine domain.
//
// A width x height plane becomes (width + dx) x (height + dy): a 2-D DCT of
// the whole plane (rows, then columns), the coefficient array cut or
// extended with zeros at the high-frequency end, an inverse 2-D DCT at the
// new size (rows, then columns), then each value e is scaled by
// 4 / (width * height), saturated to [0, 255] and truncated toward zero.
//
// While it works, the resampler writes phase lines ("Horizontal DCT start")
// to one stream and, after every one-dimensional pass, a countdown of the
// passes still to come ("DCTH remain 7 Times") to another. The counter
// stream is flushed before each phase line so both interleave in program
// order even when they share a pipe.
#pragma once

#include <cstdint>
#include <cstdio>

#include "dct/dct.h"

struct progress_streams {
  std::FILE* counters;  // remain counters; stdout in the program
  std::FILE* phases;    // phase lines; stderr in the program
};

// Writes one phase line, after flushing the counter stream.
void report_phase(const progress_streams& progress, const char* line);

// Writes `count` counter lines in `format` (one %lld), counting down from
// `first`.
void report_countdown(const progress_streams& progress, const char* format, std::int64_t first,
                      std::int64_t count);

// Number of one-dimensional passes for one channel: width + height + the
// new width + the new height.
std::int64_t pass_count(std::int64_t width, std::int64_t height, std::int64_t new_width,
                        std::int64_t new_height);

// Copies the coefficients both sizes share, zero-fills the rest.
// Arrays are column-major: element (u, v) at u*height + v.
void spectrum_resize(std::int32_t width, std::int32_t height, const double* coefficients,
                     std::int32_t new_width, std::int32_t new_height, double* resized);

// The output byte for a scaled value e: 255 from 255 up, truncated toward
// zero above 0, else 0.
inline std::uint8_t saturate_to_byte(double e) {
  if (e >= 255.0) return 255;
  if (e > 0.0) return static_cast<std::uint8_t>(e);
  return 0;  // also NaN
}

// The output byte for an unscaled inverse value of a width*height source:
// saturate_to_byte((value / (width*height)) * 4).
inline std::uint8_t quantise_sample(double value, std::int64_t source_pixels) {
  return saturate_to_byte((value / static_cast<double>(source_pixels)) * 4.0);
}

// A transform pair working on strided lines, as dct_forward / dct_inverse.
using dct_line_fn = void (*)(std::int32_t n, std::int64_t stride, const double* in, double* out);
struct dct_pair {
  dct_line_fn forward;
  dct_line_fn inverse;
};
inline constexpr dct_pair direct_dct = {dct_forward, dct_inverse};

// Resizes `source` (width x height bytes) into `destination`
// ((width + dx) x (height + dy) bytes), one transform call per row and per
// column, through full planes of doubles. Requires width, height,
// width + dx and height + dy >= 1. Throws std::bad_alloc when the working
// arrays cannot be had.
void resample_plane(std::int32_t width, std::int32_t height, std::int32_t dx, std::int32_t dy,
                    const std::uint8_t* source, std::uint8_t* destination, const progress_streams& progress,
                    dct_pair transforms = direct_dct);
