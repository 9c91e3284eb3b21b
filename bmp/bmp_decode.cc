// SPDX-License-Identifier: MIT
// bmp_decode.cc - read BMP files of every common kind from memory.
#include "bmp/bmp_decode.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace pellimor::detail {

namespace {

std::uint32_t get_u16(const std::uint8_t* p) { return p[0] | (p[1] << 8); }

std::uint32_t get_u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bmp_status fail(bmp_status status, std::string* err, std::string why) {
  *err = std::move(why);
  return status;
}

bmp_status corrupt(std::string* err, const std::string& why) {
  return fail(bmp_status::malformed, err, "corrupt BMP: " + why);
}

bmp_status unsupported(std::string* err, const std::string& why) {
  return fail(bmp_status::malformed, err, "unsupported BMP: " + why);
}

// RLE data sets at most 255 pixels for each 2 bytes (a run; literals set
// fewer a byte, deltas and the end-of-line and end-of-bitmap codes none).
// Writers skip areas they leave blank, so a picture may hold many more
// pixels than its data can set: one 10 x 10 sprite on a 1000 x 1000
// picture, reached by deltas, takes 120 bytes, whose runs could set 1/65 of
// it. A picture of more than 128 times what its data can set is refused
// before its pixels are allocated: 2 bytes claiming 30000 x 30000 pixels
// would otherwise cost 1.7 GB and seconds of decoding.
constexpr std::uint64_t rle_most_run = 255;
constexpr std::uint64_t rle_most_unset = 128;

constexpr std::uint32_t bi_rgb = 0, bi_rle8 = 1, bi_rle4 = 2, bi_bitfields = 3, bi_jpeg = 4, bi_png = 5,
                        bi_alphabitfields = 6;

// OS/2 2.x headers may stop after any field from 16 bytes to 64; 40, 52
// and 56 are the Windows forms.
bool is_os2_size(std::uint32_t size) {
  return size >= 16 && size <= 64 && size != 40 && size != 52 && size != 56;
}

// A mask is one run of set bits within the pixel.
bool valid_mask(std::uint32_t mask, std::uint32_t bits) {
  if (mask == 0) return true;
  if (bits < 32 && (mask >> bits) != 0) return false;
  const std::uint32_t run = mask >> __builtin_ctz(mask);
  return (run & (run + 1)) == 0;
}

bmp_status check_masks(const bmp_format& f, std::string* err) {
  for (int c = 0; c < 4; ++c)
    if (!valid_mask(f.masks[c], f.bits))
      return corrupt(err, "colour mask " + std::to_string(f.masks[c]) + " is not one run of bits within " +
                              std::to_string(f.bits) + " bits");
  if (f.masks[0] == 0 || f.masks[1] == 0 || f.masks[2] == 0) return corrupt(err, "an empty colour mask");
  for (int a = 0; a < 4; ++a)
    for (int b = a + 1; b < 4; ++b)
      if (f.masks[a] & f.masks[b]) return corrupt(err, "colour masks overlap");
  return bmp_status::ok;
}

}  // namespace

bmp_status parse_bmp_format(const std::uint8_t* data, std::size_t size, bmp_format* f, std::string* err) {
  if (size >= 2 && (data[0] != 'B' || data[1] != 'M'))
    return fail(bmp_status::malformed, err, "not a BMP file (no \"BM\" signature)");
  if (size < 18) return fail(bmp_status::short_data, err, "the file ends inside its BMP header");

  const std::uint32_t info_size = get_u32(data + 14);
  if (info_size != 12 && info_size != 108 && info_size != 124 && !(info_size >= 16 && info_size <= 64))
    return unsupported(err, "information header of " + std::to_string(info_size) + " bytes");
  const std::uint64_t headers_end = 14 + static_cast<std::uint64_t>(info_size);
  if (size < headers_end) return fail(bmp_status::short_data, err, "the file ends inside its BMP header");
  const bool core = info_size == 12, os2 = is_os2_size(info_size);

  std::int64_t width, height;
  std::uint32_t compression = bi_rgb, colours_used = 0;
  if (core) {  // unsigned 16-bit sizes, never compressed
    width = get_u16(data + 18);
    height = get_u16(data + 20);
    f->bits = get_u16(data + 24);
  } else {
    width = static_cast<std::int32_t>(get_u32(data + 18));
    height = static_cast<std::int32_t>(get_u32(data + 22));
    f->bits = get_u16(data + 28);
    if (info_size >= 20) compression = get_u32(data + 30);
    if (info_size >= 36) colours_used = get_u32(data + 46);
  }

  // Such a file's bit count is 0 or whatever its writer left there; the
  // compression is what says why it is not read.
  if (!os2 && (compression == bi_jpeg || compression == bi_png))
    return fail(bmp_status::malformed, err,
                std::string("a BMP file holding a ") + (compression == bi_jpeg ? "JPEG" : "PNG") +
                    " image (compression " + std::to_string(compression) + ") is not read");
  const std::uint32_t bits = f->bits;
  if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
    return unsupported(err, "bit depth " + std::to_string(bits));
  const bool bitfields = !os2 && (compression == bi_bitfields || compression == bi_alphabitfields);
  if (compression == bi_rle8 || compression == bi_rle4) {
    if (bits != (compression == bi_rle8 ? 8u : 4u))
      return corrupt(err, "RLE" + std::to_string(compression == bi_rle8 ? 8 : 4) + " with " +
                              std::to_string(bits) + " bits per pixel");
    f->rle = true;
  } else if (bitfields) {
    if (bits != 16 && bits != 32)
      return unsupported(err, "bit fields with " + std::to_string(bits) + " bits per pixel");
  } else if (compression != bi_rgb) {
    const char* name = os2 && compression == 3   ? " (OS/2 Huffman)"
                       : os2 && compression == 4 ? " (OS/2 RLE24)"
                                                 : "";
    return unsupported(err, "compression " + std::to_string(compression) + name);
  }
  if (width <= 0 || height == 0 || height == INT32_MIN)
    return corrupt(err, "invalid image size " + std::to_string(width) + " x " + std::to_string(height));
  f->width = static_cast<std::int32_t>(width);
  f->height = static_cast<std::int32_t>(height < 0 ? -height : height);
  f->top_down = height < 0;

  // Masks: inside the 52-byte and longer Windows headers, else just after a
  // 40-byte one.
  std::uint64_t table_start = headers_end;
  f->masks = {};
  if (bitfields) {
    if (info_size >= 52 && !os2) {
      const int count = info_size >= 56 ? 4 : 3;
      for (int c = 0; c < count; ++c) f->masks[c] = get_u32(data + 54 + 4 * c);
    } else {
      const int count = compression == bi_alphabitfields ? 4 : 3;
      if (size < headers_end + 4 * count)
        return fail(bmp_status::short_data, err, "the file ends inside its colour masks");
      for (int c = 0; c < count; ++c) f->masks[c] = get_u32(data + headers_end + 4 * c);
      table_start += 4 * count;
    }
  } else if (bits == 16) {
    f->masks = {0x7c00, 0x03e0, 0x001f, 0};
  } else if (bits >= 24) {
    f->masks = {0xff0000, 0xff00, 0xff, 0};
    // A V4/V5 header may say the top byte is alpha.
    if (bits == 32 && info_size >= 108 && get_u32(data + 66) == 0xff000000u) f->masks[3] = 0xff000000u;
  }
  // Some writers leave a 32-bit alpha mask in the header of a 16-bit file.
  if (bits == 16 && (f->masks[3] >> 16) != 0) f->masks[3] = 0;
  if (bits >= 16) {
    const bmp_status status = check_masks(*f, err);
    if (status != bmp_status::ok) return status;
  }

  // Colour table: 3-byte entries after a core header, 4-byte ones otherwise.
  f->palette.fill(0);
  f->channels = f->masks[3] != 0 ? 4 : 3;
  std::uint64_t table_end = table_start;
  if (bits <= 8) {
    const std::uint64_t limit = std::uint64_t{1} << bits;
    const std::uint64_t entries = colours_used == 0 ? limit : std::min<std::uint64_t>(colours_used, limit);
    const std::uint64_t entry_size = core ? 3 : 4;
    table_end = table_start + entries * entry_size;
    if (table_end > size) return fail(bmp_status::short_data, err, "the file ends inside its colour table");
    bool grey = true;
    for (std::uint64_t i = 0; i < entries; ++i) {
      const std::uint8_t* e = data + table_start + i * entry_size;  // blue, green, red
      f->palette[3 * i] = e[2];
      f->palette[3 * i + 1] = e[1];
      f->palette[3 * i + 2] = e[0];
      grey = grey && e[0] == e[1] && e[1] == e[2];
    }
    // Indices past the table read as black, which is grey too.
    f->channels = grey ? 1 : 3;
  }

  const std::uint64_t offset = get_u32(data + 10);
  if (offset < table_end)
    return corrupt(err, "pixel data offset " + std::to_string(offset) + " lies inside the headers");
  if (offset > size)
    return corrupt(err, "pixel data offset " + std::to_string(offset) + " lies past the end of the file");
  f->pixel_offset = offset;
  f->row_size = (static_cast<std::uint64_t>(f->width) * bits + 31) / 32 * 4;

  // As bmp_io.h: a size field of 0 says nothing; any other must stay within
  // the file and, uncompressed, cover the rows.
  const std::uint64_t size_field = get_u32(data + 2);
  if (!f->rle && f->row_size > (UINT64_MAX - offset) / static_cast<std::uint64_t>(f->height))
    return fail(bmp_status::short_data, err,
                "the pixel rows need more than the " + std::to_string(size) + " bytes the file holds");
  const std::uint64_t pixel_end =
      f->rle ? offset : offset + f->row_size * static_cast<std::uint64_t>(f->height);
  if (pixel_end > size)
    return fail(bmp_status::short_data, err,
                "the pixel rows need " + std::to_string(pixel_end) + " bytes, the file holds " +
                    std::to_string(size));
  if (size_field > size)
    return fail(bmp_status::short_data, err,
                "the size field says " + std::to_string(size_field) + " bytes, the file holds " +
                    std::to_string(size));
  if (size_field != 0 && size_field < pixel_end)
    return fail(bmp_status::short_data, err,
                "the size field says " + std::to_string(size_field) + " bytes, less than the " +
                    std::to_string(pixel_end) + " the pixel rows need");
  if (f->rle) {
    const std::uint64_t pixels = static_cast<std::uint64_t>(f->width) * static_cast<std::uint64_t>(f->height);
    const std::uint64_t can_set = (size - offset) * rle_most_run / 2;
    if (pixels > rle_most_unset * can_set)
      return corrupt(err, std::to_string(f->width) + " x " + std::to_string(f->height) + " pixels from " +
                              std::to_string(size - offset) + " bytes of RLE data, more than " +
                              std::to_string(rle_most_unset) + " times the " + std::to_string(can_set) +
                              " its runs can set");
  }
  return bmp_status::ok;
}

namespace {

// One output pixel from a colour table index.
void put_index(const bmp_format& f, unsigned index, std::uint8_t* out) {
  const std::uint8_t* colour = f.palette.data() + 3 * index;
  if (f.channels == 1) {
    out[0] = colour[0];
  } else {
    out[0] = colour[0];
    out[1] = colour[1];
    out[2] = colour[2];
  }
}

// Where a mask's field sits and how to scale it to 0..255.
struct bit_field {
  unsigned shift = 0;
  std::uint32_t max = 0;  // the field's largest value; 0 when absent
};

bit_field field_of(std::uint32_t mask) {
  if (mask == 0) return {};
  const unsigned shift = static_cast<unsigned>(__builtin_ctz(mask));
  return {shift, mask >> shift};
}

std::uint8_t scale_field(std::uint32_t pixel, const bit_field& field) {
  const std::uint64_t v = (pixel >> field.shift) & field.max;
  if (field.max == 255) return static_cast<std::uint8_t>(v);
  return static_cast<std::uint8_t>((v * 255 + field.max / 2) / field.max);
}

// One uncompressed file row into one output row.
void decode_row(const bmp_format& f, const std::array<bit_field, 4>& fields, const std::uint8_t* in,
                std::uint8_t* out) {
  const int channels = f.channels;
  if (f.bits <= 8) {
    const unsigned bits = f.bits, mask = (1u << bits) - 1;
    for (std::int32_t x = 0; x < f.width; ++x) {
      const std::uint64_t bit = static_cast<std::uint64_t>(x) * bits;
      const unsigned index = (in[bit / 8] >> (8 - bits - bit % 8)) & mask;
      put_index(f, index, out + static_cast<std::size_t>(x) * channels);
    }
    return;
  }
  const std::size_t bytes = f.bits / 8;
  for (std::int32_t x = 0; x < f.width; ++x, in += bytes) {
    std::uint32_t pixel = in[0] | (in[1] << 8);
    if (bytes >= 3) pixel |= static_cast<std::uint32_t>(in[2]) << 16;
    if (bytes == 4) pixel |= static_cast<std::uint32_t>(in[3]) << 24;
    std::uint8_t* p = out + static_cast<std::size_t>(x) * channels;
    for (int c = 0; c < channels; ++c) p[c] = scale_field(pixel, fields[c]);
  }
}

std::size_t out_row(const bmp_format& f, std::int64_t file_row) {
  const std::int64_t y = f.top_down ? file_row : f.height - 1 - file_row;
  return static_cast<std::size_t>(y) * static_cast<std::size_t>(f.width) * f.channels;
}

// Expands RLE8 or RLE4 data into one colour table index per pixel, in file
// row order; `indices` starts all 0.
bmp_status expand_rle(const std::uint8_t* data, std::size_t size, const bmp_format& f, std::uint8_t* indices,
                      std::string* err) {
  const bool four = f.bits == 4;
  const std::int64_t width = f.width, height = f.height;
  std::int64_t x = 0, y = 0;
  std::size_t p = static_cast<std::size_t>(f.pixel_offset);
  const auto at = [&](std::int64_t i) { return indices + static_cast<std::size_t>(y * width + x + i); };
  for (;;) {
    if (size - p < 2) {
      if (y >= height) return bmp_status::ok;  // every row ended; only the end code is missing
      return fail(bmp_status::short_data, err, "the file ends inside its RLE data");
    }
    const unsigned count = data[p], code = data[p + 1];
    p += 2;
    // Pixels a run or literal sets past the end of its row are padding:
    // some writers pad each row's codes to a whole number of 4-byte
    // words, so a run crosses the end by up to 3 pixels. They are dropped.
    if (count > 0) {  // a run of `count` pixels
      if (y >= height) return corrupt(err, "an RLE run lies past the last row");
      const std::int64_t kept = std::min<std::int64_t>(count, width - x);
      for (std::int64_t i = 0; i < kept; ++i)
        *at(i) = static_cast<std::uint8_t>(four ? (i % 2 ? code & 15 : code >> 4) : code);
      x += kept;
    } else if (code == 0) {  // end of line
      if (y >= height) return corrupt(err, "RLE data runs past the last row");
      x = 0;
      ++y;
    } else if (code == 1) {  // end of bitmap
      return bmp_status::ok;
    } else if (code == 2) {  // delta: move right and down
      if (size - p < 2) return fail(bmp_status::short_data, err, "the file ends inside its RLE data");
      const unsigned right = data[p], down = data[p + 1];
      p += 2;
      if (x + right > width || y + down > height) return corrupt(err, "an RLE delta moves past the image");
      x += right;
      y += down;
    } else {  // `code` literal pixels, padded to a 16-bit boundary
      const std::size_t literal = four ? (code + 1) / 2 : code;
      const std::size_t padded = literal + (literal & 1);
      if (size - p < padded) return fail(bmp_status::short_data, err, "the file ends inside its RLE data");
      if (y >= height) return corrupt(err, "an RLE run lies past the last row");
      const std::int64_t kept = std::min<std::int64_t>(code, width - x);
      for (std::int64_t i = 0; i < kept; ++i)
        *at(i) = four ? (i % 2 ? data[p + i / 2] & 15 : data[p + i / 2] >> 4) : data[p + i];
      x += kept;
      p += padded;
    }
  }
}

}  // namespace

bmp_status decode_bmp_pixels(const std::uint8_t* data, std::size_t size, const bmp_format& f,
                             std::uint8_t* out, std::string* err) {
  const std::size_t width = static_cast<std::size_t>(f.width), height = static_cast<std::size_t>(f.height);
  if (f.rle) {
    std::vector<std::uint8_t> indices;
    try {
      indices.assign(width * height, 0);
    } catch (const std::exception&) {
      return fail(bmp_status::io_error, err, "out of memory");
    }
    const bmp_status status = expand_rle(data, size, f, indices.data(), err);
    if (status != bmp_status::ok) return status;
    for (std::size_t r = 0; r < height; ++r) {
      std::uint8_t* row = out + out_row(f, static_cast<std::int64_t>(r));
      for (std::size_t x = 0; x < width; ++x) put_index(f, indices[r * width + x], row + x * f.channels);
    }
    return bmp_status::ok;
  }
  const std::array<bit_field, 4> fields = {field_of(f.masks[0]), field_of(f.masks[1]), field_of(f.masks[2]),
                                           field_of(f.masks[3])};
  for (std::size_t r = 0; r < height; ++r)
    decode_row(f, fields, data + f.pixel_offset + f.row_size * r,
               out + out_row(f, static_cast<std::int64_t>(r)));
  return bmp_status::ok;
}

}  // namespace pellimor::detail
