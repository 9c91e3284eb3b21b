// SPDX-License-Identifier: MIT
// bmp_codec.cc - BMP files through bmp/: read every common kind
// (bmp_decode.h), write the 24-bit bottom-up file the program always has
// (bmp_io.h's header).
//
// Writing: grey is replicated to blue, green and red, alpha dropped, and
// 16-bit and float samples become bytes by the resampler's rule
// (quantise_byte of value / full scale * 255). No ICC profile.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "bmp/bmp_decode.h"
#include "bmp/bmp_io.h"
#include "codec/formats.h"
#include "dct/sample_rules.h"

using namespace pellimor::detail;  // the library's internals

namespace pellimor::codecs {
namespace {

// The output image of a header: 8-bit samples, 1, 3 or 4 channels.
image_info info_of(const bmp_format& format) {
  image_info info;
  info.width = format.width;
  info.height = format.height;
  info.channels = format.channels;
  info.type = sample_type::u8;
  return info;
}

// Whether height rows of row_bytes() fit in memory's address range.
bool size_fits(const image_info& info) {
  std::uint64_t bytes;
  return !__builtin_mul_overflow(
             static_cast<std::uint64_t>(info.width) * static_cast<std::uint64_t>(info.channels),
             static_cast<std::uint64_t>(info.height), &bytes) &&
         bytes <= SIZE_MAX / 2;
}

// Sample i of a row of `type`, as a byte.
std::uint8_t sample_byte(const std::uint8_t* row, sample_type type, std::size_t i) {
  switch (type) {
    case sample_type::u8:
      return row[i];
    case sample_type::u16: {
      std::uint16_t v;
      std::memcpy(&v, row + 2 * i, 2);
      return quantise_byte(v / 65535.0 * 255.0);
    }
    case sample_type::f32: {
      float v;
      std::memcpy(&v, row + 4 * i, 4);
      return quantise_byte(static_cast<double>(v) * 255.0);
    }
    case sample_type::f64: {
      double v;
      std::memcpy(&v, row + 8 * i, 8);
      return quantise_byte(v * 255.0);
    }
  }
  return 0;
}

}  // namespace

bool bmp_is(const std::uint8_t* data, std::size_t size) {
  return size >= 2 && data[0] == 'B' && data[1] == 'M';
}

bool bmp_info(const std::uint8_t* data, std::size_t size, image_info* info, std::string* err) {
  bmp_format format;
  if (parse_bmp_format(data, size, &format, err) != bmp_status::ok) return false;
  *info = info_of(format);
  return true;
}

bool bmp_decode(const std::uint8_t* data, std::size_t size, image* out, std::string* err) {
  bmp_format format;
  if (parse_bmp_format(data, size, &format, err) != bmp_status::ok) return false;
  image result;
  static_cast<image_info&>(result) = info_of(format);
  if (!size_fits(result) || !result.allocate()) {
    *err = "out of memory";
    return false;
  }
  if (decode_bmp_pixels(data, size, format, result.pixels.data(), err) != bmp_status::ok) return false;
  *out = std::move(result);
  return true;
}

bool bmp_encode(const image& img, const encode_options&, const byte_sink& sink, std::string* err) {
  if (img.channels < 1 || img.channels > 4 || img.pixels.size() != img.pixel_bytes()) {
    *err = "the image to write is inconsistent";
    return false;
  }
  std::array<std::uint8_t, 54> header;
  if (!bmp_header_bytes(img.width, img.height, &header, err)) return false;
  if (!sink(header.data(), header.size())) {
    *err = "cannot write the BMP file";
    return false;
  }
  // Blocks of about 1 MiB of file rows, bottom row first.
  const std::size_t row_size = bmp_row_size(img.width);
  const std::size_t block_rows = std::max<std::size_t>(1, (std::size_t{1} << 20) / row_size);
  std::vector<std::uint8_t> block(row_size * std::min<std::size_t>(block_rows, img.height));
  const bool grey = img.channels <= 2;
  for (std::int32_t done = 0; done < img.height;) {
    const std::int32_t rows = static_cast<std::int32_t>(std::min<std::size_t>(block_rows, img.height - done));
    for (std::int32_t r = 0; r < rows; ++r) {
      const std::uint8_t* in = img.row(img.height - 1 - done - r);
      std::uint8_t* out = block.data() + row_size * r;
      for (std::int32_t x = 0; x < img.width; ++x, out += 3) {
        const std::size_t first = static_cast<std::size_t>(x) * img.channels;
        const std::uint8_t red = sample_byte(in, img.type, first);
        out[0] = grey ? red : sample_byte(in, img.type, first + 2);
        out[1] = grey ? red : sample_byte(in, img.type, first + 1);
        out[2] = red;
      }
      std::fill(out, block.data() + row_size * (r + 1), 0);  // padding
    }
    if (!sink(block.data(), row_size * rows)) {
      *err = "cannot write the BMP file";
      return false;
    }
    done += rows;
  }
  return true;
}

}  // namespace pellimor::codecs
