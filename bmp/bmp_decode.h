// SPDX-License-Identifier: MIT
// bmp_decode.h - read BMP files of every kind common writers produce, from
// memory, as interleaved 8-bit pixels, top row first.
//
// Read: 1, 2, 4 and 8-bit palette images, uncompressed or RLE4/RLE8;
// 16-bit (5-5-5 without masks, any bit fields with them), 24-bit and 32-bit
// (8-8-8 without masks, any bit fields with them); bottom-up and top-down;
// every header form bmp_io.h reads (core, OS/2 2.x, 40/52/56/108/124).
// Output channels:
//   1  a palette image whose colours are all grey
//   3  RGB: other palette images, and direct colour without alpha
//   4  RGBA: bit fields with a non-empty alpha mask (BITFIELDS or
//      ALPHABITFIELDS masks, or a V4/V5 header's alpha mask), and 32-bit
//      files without masks whose V4/V5 header gives alpha as the top byte.
//      An alpha mask beyond a 16-bit pixel is ignored.
//      Otherwise the fourth byte of a 32-bit pixel is ignored: many writers
//      leave it 0, which as alpha would hide the whole image.
// A field of n bits becomes v * 255 / (2^n - 1), rounded. A pixel index
// past the colour table reads as black. Pixels an RLE image leaves unset
// (skipped by a delta, or after an early end of line or end of bitmap) take
// the first colour of the table. An RLE run or delta that leaves its row or
// the image, or data that ends before the end-of-bitmap code while rows
// remain, is refused; so, by parse_bmp_format already, is a picture of
// more than 128 times the pixels its RLE data could set at 255 a 2-byte
// run. Not read: JPEG and PNG inside BMP, OS/2 Huffman and RLE24. Reasons
// start with "unsupported" for what is valid but not read, "corrupt" for
// what contradicts itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "bmp/bmp_io.h"

namespace pellimor::detail {

// Everything the header and colour table say.
struct bmp_format {
  std::int32_t width = 0;   // > 0
  std::int32_t height = 0;  // > 0
  bool top_down = false;
  std::uint32_t bits = 0;                       // per pixel: 1, 2, 4, 8, 16, 24 or 32
  bool rle = false;                             // RLE8 (8 bits) or RLE4 (4 bits)
  std::array<std::uint32_t, 4> masks{};         // red, green, blue, alpha (0: none); 16, 24 and 32 bits
  std::array<std::uint8_t, 3 * 256> palette{};  // RGB; entries past the table stay black
  int channels = 3;                             // of the output: 1, 3 or 4
  std::uint64_t pixel_offset = 0;
  std::uint64_t row_size = 0;  // bytes per uncompressed file row, padding included
};

// Checks the headers and colour table of the `size`-byte file at `data`.
// On failure returns short_data or malformed with the reason in *err.
bmp_status parse_bmp_format(const std::uint8_t* data, std::size_t size, bmp_format* format, std::string* err);

// Decodes the pixels of a file parse_bmp_format accepted into `out`:
// height rows of width * format.channels bytes, top row first. On failure
// returns short_data or malformed with the reason in *err; `out` may then
// hold part of the image.
bmp_status decode_bmp_pixels(const std::uint8_t* data, std::size_t size, const bmp_format& format,
                             std::uint8_t* out, std::string* err);

}  // namespace pellimor::detail
