// SPDX-License-Identifier: MIT
// strided_copy.h - samples copied as they are between strided and packed
// places: one channel taken out of interleaved pixels, or put back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace pellimor::detail {

// Copies `count` samples of `size` bytes (1, 2, 4 or 8), the ith from
// from + i * from_step to to + i * to_step; steps may be negative. Only the
// samples' own bytes are written (the bytes between them may belong to
// another channel, written meanwhile by another thread), and nothing is
// read outside the span from the first sample's bytes to the last's.
using sample_copy_fn = void (*)(const std::uint8_t* from, std::ptrdiff_t from_step, std::uint8_t* to,
                                std::ptrdiff_t to_step, std::int32_t count, std::size_t size);

// A version of the copy; all give the same bytes. The vector ones take
// a channel out of pixels of 2, 3 or 4 samples of 1 or 2 bytes into
// packed samples in shuffles (and with AVX-512, put it back), and leave
// every other case to the plain loop.
struct sample_copier {
  const char* name;
  sample_copy_fn copy;
};

// Those this processor runs, the plain one first, the fastest last.
std::span<const sample_copier> runnable_sample_copiers();

// The fastest of them.
void copy_samples(const std::uint8_t* from, std::ptrdiff_t from_step, std::uint8_t* to,
                  std::ptrdiff_t to_step, std::int32_t count, std::size_t size);

// Rows of samples as copy_samples copies one: `rows` rows of `count`
// samples, row r from from + r * from_row to to + r * to_row.
struct strided_rows {
  std::ptrdiff_t row, step;  // bytes between rows, and between a row's samples
};
void copy_sample_rows(const std::uint8_t* from, strided_rows from_layout, std::uint8_t* to,
                      strided_rows to_layout, std::int32_t rows, std::int32_t count, std::size_t size);

}  // namespace pellimor::detail
