// SPDX-License-Identifier: MIT
// resample.h - resize one channel plane in the cosine domain.
//
// A width x height plane becomes (width + dx) x (height + dy): a 2-D DCT of
// the whole plane (rows, then columns), the coefficient array cut or
// extended with zeros at the high-frequency end, an inverse 2-D DCT at the
// new size (rows, then columns), then each value e is scaled by
// 4 / (width * height) (value_scale), saturated to [0, 255] and truncated
// toward zero or rounded half up (quantise_byte).
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
#include "dct/sample_rules.h"

namespace pellimor::detail {

struct progress_streams {
  std::FILE* counters;  // remain counters; stdout in the program; null for none
  std::FILE* phases;    // phase lines; stderr in the program; null for none
  // Called after each group of passes with the passes done so far in this
  // plane and their total, when set.
  void (*passes_done)(void* context, std::int64_t done, std::int64_t total) = nullptr;
  void* context = nullptr;
};

// Writes one phase line, after flushing the counter stream.
void report_phase(const progress_streams& progress, const char* line);

// Writes `count` counter lines in `format` (one %lld), counting down from
// `first`.
void report_countdown(const progress_streams& progress, const char* format, std::int64_t first,
                      std::int64_t count);

// Tells the passes_done hook, if any, how far the plane has got.
void report_passes_done(const progress_streams& progress, std::int64_t done, std::int64_t total);

// Number of one-dimensional passes for one channel: width + height + the
// new width + the new height.
std::int64_t pass_count(std::int64_t width, std::int64_t height, std::int64_t new_width,
                        std::int64_t new_height);

// Copies the coefficients both sizes share, zero-fills the rest. With a
// taper power, each copied coefficient (u, v) is weighed by
// taper_factor(u, kept columns) * taper_factor(v, kept rows).
// Arrays are column-major: element (u, v) at u*height + v.
void spectrum_resize(std::int32_t width, std::int32_t height, const double* coefficients,
                     std::int32_t new_width, std::int32_t new_height, double* resized, double taper = 0.0);

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
                    dct_pair transforms = direct_dct, pellimor::rounding mode = pellimor::rounding::trunc,
                    double taper = 0.0);

// The same passes on a plane of doubles (column-major, width x height),
// storing every scaled value e = E * value_scale(width, height) of the
// new_width x new_height result in `values` (column-major), unquantised.
// `taper` weighs each kept coefficient by taper_factor on both axes.
void resample_plane_values(std::int32_t width, std::int32_t height, std::int32_t new_width,
                           std::int32_t new_height, const double* source, double* values,
                           const progress_streams& progress, double taper = 0.0,
                           dct_pair transforms = direct_dct);

}  // namespace pellimor::detail
