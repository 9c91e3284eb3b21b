// SPDX-License-Identifier: MIT
// half_untangle.h - the O(N) steps around an even length's half-length FFT.
//
// dct2 of an even length N = 2M goes through a complex FFT Z of M points;
// untangling turns Z into the coefficients (see dct2_half in fft_dct.cc),
// and dct3 tangles coefficients into the spectrum its inverse FFT needs.
// Per line these cost about as many flops as the FFT itself, so they come
// in vector versions beside the plain one: SSE2 everywhere on x86-64, and
// AVX2 where the processor has it. Every version does the same IEEE
// operations on every value in the same order, never fused into one
// multiply-add, so all of them give the same bits as the plain one.
#pragma once

#include <cstdint>

namespace pellimor::detail {

struct half_twiddles {
  const double* wr;      // Re w[k] = cos(pi k / 2N), k <= M
  const double* wi;      // Im w[k]
  const double* big_wr;  // Re W[k] = cos(2 pi k / N), k < M
  const double* big_wi;  // Im W[k]
};

// Untangles one line: z holds the M complex values (re, im) of the FFT of
// v[2m] + i v[2m+1]; y receives dct2[k] for k < keep and for k > N - keep
// (the coefficients a batch with that keep reads).
using dct2_untangle_fn = void (*)(const double* z, double* y, std::int32_t n, std::int32_t keep,
                                  const half_twiddles& t);

// Tangles one line: c holds all N coefficients (zero from keep on); z
// receives the M complex values whose inverse FFT is v[2m] + i v[2m+1].
using dct3_tangle_fn = void (*)(const double* c, double* z, std::int32_t n, const half_twiddles& t);

// The same steps for a batch of column_lines lines stored across an
// array, as the row passes keep their coefficients: entry u
// of line l is columns[u * stride + l], `columns` 64-byte aligned and
// `stride` a multiple of 8. Each step then works on one bin of every line
// at once, and a column's cache line is read or written whole, without a
// copy of the lines in between.
constexpr int column_lines = 8;

// dct2_untangle of the column_lines lines z + l * z_distance (doubles),
// coefficient u < keep of line l going to columns[u * stride + l]; with
// `stream`, stored past the cache.
using dct2_columns_fn = void (*)(const double* z, std::int64_t z_distance, double* columns,
                                 std::int64_t stride, std::int32_t n, std::int32_t keep, bool stream,
                                 const half_twiddles& t);

// dct3_tangle of the column_lines lines whose coefficients u < keep lie in
// columns[u * stride + l] (zero from keep on), each zero-frequency term
// halved first, as the inverse row pass wants it; line l's spectrum goes
// to z + l * z_distance (doubles).
using dct3_columns_fn = void (*)(const double* columns, std::int64_t stride, std::int32_t keep, double* z,
                                 std::int64_t z_distance, std::int32_t n, const half_twiddles& t);

// What the column versions compute, as the plain kernels compute it line by
// line: for tests, and the definition of the values.
void plain_dct2_columns(const double* z, std::int64_t z_distance, double* columns, std::int64_t stride,
                        std::int32_t n, std::int32_t keep, bool stream, const half_twiddles& t);
void plain_dct3_columns(const double* columns, std::int64_t stride, std::int32_t keep, double* z,
                        std::int64_t z_distance, std::int32_t n, const half_twiddles& t);

struct half_untangle_kernels {
  const char* name;
  dct2_untangle_fn dct2;
  dct3_tangle_fn dct3;
  // dct3 of a line whose coefficients past M are zero (an enlargement to
  // twice the size or more): the same bits, without reading or multiplying
  // the zeros. Reads c[0 .. M] only.
  dct3_tangle_fn dct3_low;
  // Column versions, where they pay (null: copy the lines out and back
  // instead, which the plain steps do as fast).
  dct2_columns_fn dct2_columns;
  dct3_columns_fn dct3_columns;
};

// The plain version, which defines the values.
extern const half_untangle_kernels plain_half_untangle;

// The fastest version this processor runs.
const half_untangle_kernels& best_half_untangle();

// Every version this processor runs, plain first; `count` receives how many.
const half_untangle_kernels* runnable_half_untangles(int* count);

}  // namespace pellimor::detail
