// SPDX-License-Identifier: MIT
// bmp_io.h - read and write uncompressed 24-bit BMP files.
// Planes are column-major, top row first: sample (x, y) at x*height + y.
// File rows are BGR, each padded to a multiple of 4 bytes, bottom row first
// unless the header's height is negative (top-down file).
//
// Reading accepts the 12-byte core header (16-bit sizes), the 40, 52, 56,
// 108 and 124-byte information headers and OS/2 2.x headers of 16 to 64
// bytes, takes the pixel rows from the
// offset the file header gives and ignores anything after the last row.
// It refuses other bit depths, compression, and headers that contradict the
// file; nothing is read outside the bytes the file really holds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/plane.h"

namespace pellimor::detail {

enum class bmp_status {
  ok,
  short_data,   // the file ends before the header or the pixel rows it promises
  malformed,    // not a BMP file this program reads; *err says why
  io_error,     // the system refused a read, or memory ran out
  write_error,  // the output could not be written; *err names the file
};

// Where the pixel rows of a file are and how they are laid out.
struct bmp_layout {
  std::int32_t width = 0;   // > 0
  std::int32_t height = 0;  // > 0; top_down records the sign of the header field
  bool top_down = false;
  std::uint64_t pixel_offset = 0;
  std::uint64_t row_size = 0;  // bytes per file row, padding included
};

// Bytes a file row of `width` pixels takes: 3*width rounded up to 4.
inline std::uint64_t bmp_row_size(std::int64_t width) {
  return (static_cast<std::uint64_t>(width) * 3 + 3) & ~std::uint64_t{3};
}

// The most header bytes parse_bmp_header looks at.
constexpr std::size_t bmp_header_max = 14 + 124;

// Checks the headers of a file of `file_size` bytes whose first `head_size`
// bytes are `head` (at least min(file_size, bmp_header_max) of them).
// On failure returns short_data or malformed with the reason in *err.
bmp_status parse_bmp_header(const std::uint8_t* head, std::size_t head_size, std::uint64_t file_size,
                            bmp_layout* layout, std::string* err);

// Reads and checks the headers of an open file (any position).
bmp_status read_bmp_layout(std::FILE* file, bmp_layout* layout, std::string* err);

// Reads image rows [first_row, first_row + row_count), top row first, into
// `bgr`: row_count rows of 3*width bytes, padding dropped. Positional reads:
// safe to call from several threads on the same file.
bmp_status read_bmp_rows(std::FILE* file, const bmp_layout& layout, std::int32_t first_row,
                         std::int32_t row_count, std::uint8_t* bgr, std::string* err);

// Reads one channel (0 blue, 1 green, 2 red) of image rows [first_row,
// first_row + row_count), top row first, into `out`: row_count rows of
// width bytes. Thread-safe as read_bmp_rows is.
bmp_status read_bmp_channel_rows(std::FILE* file, const bmp_layout& layout, int channel,
                                 std::int32_t first_row, std::int32_t row_count, std::uint8_t* out,
                                 std::string* err);

// Reads a whole file into three planes. Does not close the file.
bmp_status read_input_bmp(std::FILE* file, bmp_layout* layout, channel_plane* blue, channel_plane* green,
                          channel_plane* red, std::string* err);

// Size of the file write_output_bmp writes, or 0 when it does not fit the
// 32-bit size field.
std::uint32_t bmp_file_size(std::int64_t width, std::int64_t height);

// The 54 header bytes of the bottom-up 24-bit BMP write_output_bmp writes:
// 40-byte information header, pixel data at 54, 3780 pixels per metre.
// False with *err when the image does not fit the format.
bool bmp_header_bytes(std::int32_t width, std::int32_t height, std::array<std::uint8_t, 54>* bytes,
                      std::string* err);

// Stores one channel (0 blue, 1 green, 2 red) of image rows
// [first_row, first_row + row_count), top row first, width bytes each, into
// the pixel rows of a width x height bottom-up BMP file open as `fd`,
// keeping the other channels' bytes. With first_channel the rows' other
// bytes and padding are zeroed instead of read. Positional reads and writes:
// safe from several threads for disjoint rows. False with *err on failure.
bool put_bmp_channel_rows(int fd, std::int32_t width, std::int32_t height, int channel,
                          std::int32_t first_row, std::int32_t row_count, const std::uint8_t* rows,
                          bool first_channel, std::string* err);

// Writes a bottom-up 24-bit BMP with a 40-byte information header. The three
// planes must have the same size. Returns false and sets *err when a write
// fails or the image is too large for the format.
bool write_output_bmp(std::FILE* file, const channel_plane& blue, const channel_plane& green,
                      const channel_plane& red, std::string* err);

}  // namespace pellimor::detail
