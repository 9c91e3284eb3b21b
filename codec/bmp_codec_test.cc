// SPDX-License-Identifier: MIT
// bmp_codec_test.cc - the BMP codec on files of every depth built here, and
// its writer against the program's own.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bmp/bmp_decode.h"
#include "codec/formats.h"
#include "tests/test_util.h"

using namespace pellimor::detail;  // the library's internals

namespace {

using pellimor::image;
using pellimor::sample_type;
using test_util::put_le;
namespace codecs = pellimor::codecs;

// What a built file holds. The colour table holds `palette` (0xRRGGBB
// each) and the colours-used field says its size; masks go inside a header
// of 52 bytes or more, else right after it.
struct bmp_build {
  std::uint32_t info_size = 40;
  std::int32_t width = 0;
  std::int32_t height = 0;  // negative: top-down
  std::uint16_t bits = 24;
  std::uint32_t compression = 0;
  std::vector<std::uint32_t> masks;
  std::vector<std::uint32_t> palette;
  std::string pixels;
};

std::string bmp_file(const bmp_build& b) {
  const bool core = b.info_size == 12;
  const bool masks_inside = b.info_size == 52 || b.info_size == 56 || b.info_size >= 108;
  const std::size_t entry = core ? 3 : 4;
  const std::size_t offset =
      14 + b.info_size + (masks_inside ? 0 : 4 * b.masks.size()) + entry * b.palette.size();
  std::string s(offset, '\0');
  s[0] = 'B';
  s[1] = 'M';
  put_le(&s, 2, offset + b.pixels.size(), 4);
  put_le(&s, 10, offset, 4);
  put_le(&s, 14, b.info_size, 4);
  if (core) {
    put_le(&s, 18, b.width, 2);
    put_le(&s, 20, b.height, 2);
    put_le(&s, 22, 1, 2);
    put_le(&s, 24, b.bits, 2);
  } else {
    put_le(&s, 18, static_cast<std::uint32_t>(b.width), 4);
    put_le(&s, 22, static_cast<std::uint32_t>(b.height), 4);
    put_le(&s, 26, 1, 2);
    put_le(&s, 28, b.bits, 2);
    put_le(&s, 30, b.compression, 4);
    put_le(&s, 34, b.pixels.size(), 4);
    put_le(&s, 46, b.palette.size(), 4);
    if (b.info_size >= 108) put_le(&s, 70, 0x73524742, 4);  // 'sRGB'
  }
  std::size_t at = masks_inside ? 54 : 14 + b.info_size;
  for (std::size_t i = 0; i < b.masks.size(); ++i) put_le(&s, at + 4 * i, b.masks[i], 4);
  at = 14 + b.info_size + (masks_inside ? 0 : 4 * b.masks.size());
  for (std::uint32_t colour : b.palette) {
    put_le(&s, at, colour & 0xffffff, 3);  // blue, green, red
    at += entry;
  }
  return s + b.pixels;
}

// Rows of `values` (top row first, `width` each) packed `bits` to a
// pixel, most significant first, little-endian above 8 bits, each row
// padded to 4 bytes, bottom row first unless top_down.
std::string pack_rows(const std::vector<std::uint32_t>& values, std::int32_t width, int bits, bool top_down) {
  const std::int32_t height = static_cast<std::int32_t>(values.size() / width);
  const std::size_t row_size = (static_cast<std::size_t>(width) * bits + 31) / 32 * 4;
  std::string out(row_size * height, '\0');
  for (std::int32_t y = 0; y < height; ++y) {
    char* row = out.data() + row_size * (top_down ? y : height - 1 - y);
    for (std::int32_t x = 0; x < width; ++x) {
      const std::uint32_t v = values[static_cast<std::size_t>(y) * width + x];
      if (bits < 8) {
        row[x * bits / 8] = static_cast<char>(row[x * bits / 8] | (v << (8 - bits - x * bits % 8)));
      } else {
        for (int i = 0; i < bits / 8; ++i) row[x * bits / 8 + i] = static_cast<char>(v >> (8 * i));
      }
    }
  }
  return out;
}

struct decoded {
  bool ok = false;
  image img;
  std::string err;
};

// Decodes from a buffer of exactly the file's size, so that a sanitizer
// sees any read past it.
decoded decode(const std::string& file) {
  const std::vector<std::uint8_t> bytes(file.begin(), file.end());
  decoded d;
  d.ok = codecs::bmp_decode(bytes.data(), bytes.size(), &d.img, &d.err);
  return d;
}

std::vector<std::uint32_t> random_values(std::size_t n, std::uint32_t limit, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint32_t> v(n);
  for (auto& x : v) x = static_cast<std::uint32_t>(rng() % limit);
  return v;
}

// The pixels of `img` as 0xAARRGGBB (alpha 0xff without an alpha channel),
// grey spread to all three colours.
std::vector<std::uint32_t> argb_of(const image& img) {
  std::vector<std::uint32_t> out;
  for (std::int32_t y = 0; y < img.height; ++y)
    for (std::int32_t x = 0; x < img.width; ++x) {
      const std::uint8_t* p = img.row(y) + static_cast<std::size_t>(x) * img.channels;
      const std::uint32_t r = p[0], g = img.channels >= 3 ? p[1] : r, b = img.channels >= 3 ? p[2] : r;
      const std::uint32_t a = img.channels == 4 ? p[3] : 0xff;
      out.push_back(a << 24 | r << 16 | g << 8 | b);
    }
  return out;
}

// v of a field `max` wide, scaled to 0..255 and rounded.
std::uint32_t scaled(std::uint32_t v, std::uint32_t max) {
  return static_cast<std::uint32_t>(std::lround(v * 255.0 / max));
}

TEST(BmpDecode, PaletteDepthsHeadersAndRowOrder) {
  const struct {
    const char* name;
    std::uint32_t info_size;
    std::uint16_t bits;
    std::size_t colours;  // table entries
  } cases[] = {
      {"1-bit core", 12, 1, 2},  {"1-bit info 40", 40, 1, 2},    {"2-bit", 40, 2, 4},
      {"4-bit core", 12, 4, 16}, {"4-bit info 124", 124, 4, 16}, {"4-bit, 9 colours", 40, 4, 9},
      {"8-bit", 40, 8, 256},     {"8-bit OS/2 64", 64, 8, 256},  {"8-bit, 3 colours", 56, 8, 3},
  };
  unsigned seed = 1;
  for (const auto& c : cases)
    for (bool top_down : {false, true}) {
      if (top_down && c.info_size == 12) continue;  // core sizes are unsigned
      SCOPED_TRACE(std::string(c.name) + (top_down ? " top-down" : " bottom-up"));
      const std::int32_t width = 13, height = 5;
      bmp_build b;
      b.info_size = c.info_size;
      b.width = width;
      b.height = top_down ? -height : height;
      b.bits = c.bits;
      b.palette = random_values(c.colours, 1u << 24, seed++);
      b.palette[0] |= 0x010000;  // not all grey
      // Indices up to the full range: those past a short table read black.
      const auto indices = random_values(width * height, 1u << c.bits, seed++);
      b.pixels = pack_rows(indices, width, c.bits, top_down);
      const decoded d = decode(bmp_file(b));
      ASSERT_TRUE(d.ok) << d.err;
      ASSERT_EQ(d.img.channels, 3);
      ASSERT_EQ(d.img.width, width);
      ASSERT_EQ(d.img.height, height);
      const auto got = argb_of(d.img);
      for (std::size_t i = 0; i < indices.size(); ++i) {
        const std::uint32_t expect = indices[i] < c.colours ? b.palette[indices[i]] : 0;
        ASSERT_EQ(got[i], 0xff000000u | expect) << "pixel " << i << " index " << indices[i];
      }
    }
}

TEST(BmpDecode, GreyPaletteGivesOneChannel) {
  bmp_build b;
  b.width = 6;
  b.height = 3;
  b.bits = 4;
  for (std::uint32_t i = 0; i < 16; ++i) b.palette.push_back(0x111111 * i);
  const auto indices = random_values(18, 16, 3);
  b.pixels = pack_rows(indices, 6, 4, false);
  const decoded d = decode(bmp_file(b));
  ASSERT_TRUE(d.ok) << d.err;
  ASSERT_EQ(d.img.channels, 1);
  for (std::size_t i = 0; i < indices.size(); ++i) EXPECT_EQ(d.img.pixels[i], 0x11 * indices[i]);
}

TEST(BmpDecode, DirectColourAndBitFields) {
  const struct {
    const char* name;
    std::uint32_t info_size;
    std::uint16_t bits;
    std::uint32_t compression;
    std::vector<std::uint32_t> masks;   // as written
    std::array<std::uint32_t, 4> used;  // the masks the pixels mean: red, green, blue, alpha
  } cases[] = {
      {"16-bit 5-5-5", 40, 16, 0, {}, {0x7c00, 0x3e0, 0x1f, 0}},
      {"16-bit 5-6-5 bit fields", 40, 16, 3, {0xf800, 0x7e0, 0x1f}, {0xf800, 0x7e0, 0x1f, 0}},
      {"16-bit 5-5-5 bit fields in a 52 header", 52, 16, 3, {0x7c00, 0x3e0, 0x1f}, {0x7c00, 0x3e0, 0x1f, 0}},
      {"16-bit 5-6-5 V5, alpha mask past the pixel",
       124,
       16,
       3,
       {0xf800, 0x7e0, 0x1f, 0xff000000},
       {0xf800, 0x7e0, 0x1f, 0}},
      {"16-bit 4-4-4-4 V5", 124, 16, 3, {0xf00, 0xf0, 0xf, 0xf000}, {0xf00, 0xf0, 0xf, 0xf000}},
      {"16-bit 1-5-5-5 alpha bit fields",
       40,
       16,
       6,
       {0x7c00, 0x3e0, 0x1f, 0x8000},
       {0x7c00, 0x3e0, 0x1f, 0x8000}},
      {"24-bit", 40, 24, 0, {}, {0xff0000, 0xff00, 0xff, 0}},
      {"24-bit core", 12, 24, 0, {}, {0xff0000, 0xff00, 0xff, 0}},
      {"32-bit, fourth byte not alpha", 40, 32, 0, {}, {0xff0000, 0xff00, 0xff, 0}},
      {"32-bit V5 without bit fields, alpha mask",
       124,
       32,
       0,
       {0xff0000, 0xff00, 0xff, 0xff000000},
       {0xff0000, 0xff00, 0xff, 0xff000000}},
      {"32-bit bit fields, no alpha", 40, 32, 3, {0xff0000, 0xff00, 0xff}, {0xff0000, 0xff00, 0xff, 0}},
      {"32-bit V4 bit fields with alpha",
       108,
       32,
       3,
       {0xff0000, 0xff00, 0xff, 0xff000000},
       {0xff0000, 0xff00, 0xff, 0xff000000}},
      {"32-bit V5 bit fields, blue first",
       124,
       32,
       3,
       {0xff00, 0xff0000, 0xff000000, 0xff},
       {0xff00, 0xff0000, 0xff000000, 0xff}},
      {"32-bit 10-10-10-2",
       56,
       32,
       3,
       {0x3ff00000, 0xffc00, 0x3ff, 0xc0000000},
       {0x3ff00000, 0xffc00, 0x3ff, 0xc0000000}},
  };
  unsigned seed = 20;
  for (const auto& c : cases)
    for (bool top_down : {false, true}) {
      if (top_down && c.info_size == 12) continue;
      SCOPED_TRACE(std::string(c.name) + (top_down ? " top-down" : " bottom-up"));
      const std::int32_t width = 7, height = 4;
      bmp_build b;
      b.info_size = c.info_size;
      b.width = width;
      b.height = top_down ? -height : height;
      b.bits = c.bits;
      b.compression = c.compression;
      b.masks = c.masks;
      const auto words =
          random_values(width * height, c.bits == 32 ? 0xffffffffu : (1u << c.bits) - 1, seed++);
      b.pixels = pack_rows(words, width, c.bits, top_down);
      const decoded d = decode(bmp_file(b));
      ASSERT_TRUE(d.ok) << d.err;
      ASSERT_EQ(d.img.channels, c.used[3] != 0 ? 4 : 3);
      const auto got = argb_of(d.img);
      for (std::size_t i = 0; i < words.size(); ++i) {
        std::uint32_t expect = 0;
        for (int ch = 0; ch < 4; ++ch) {
          const std::uint32_t mask = c.used[ch];
          std::uint32_t v = 0xff;
          if (mask != 0) {
            int shift = 0;
            while (!(mask >> shift & 1)) ++shift;
            v = scaled((words[i] & mask) >> shift, mask >> shift);
          }
          expect |= v << (ch == 3 ? 24 : 16 - 8 * ch);
        }
        ASSERT_EQ(got[i], expect) << "pixel " << i << " word " << words[i];
      }
    }
}

TEST(BmpDecode, AgreesWithTheStreamReaderOnEveryHeaderForm) {
  const channel_plane blue = test_util::random_plane(11, 6, 1), green = test_util::random_plane(11, 6, 2),
                      red = test_util::random_plane(11, 6, 3);
  for (const auto& named : test_util::every_form) {
    SCOPED_TRACE(named.name);
    const decoded d = decode(test_util::bmp_bytes(blue, green, red, named.form));
    ASSERT_TRUE(d.ok) << d.err;
    ASSERT_EQ(d.img.channels, 3);
    for (std::int32_t y = 0; y < 6; ++y)
      for (std::int32_t x = 0; x < 11; ++x) {
        const std::uint8_t* p = d.img.row(y) + 3 * x;
        const std::size_t i = plane_index(x, y, 6);
        ASSERT_EQ(p[0], red.samples[i]);
        ASSERT_EQ(p[1], green.samples[i]);
        ASSERT_EQ(p[2], blue.samples[i]);
      }
  }
}

// An RLE file of `width` x `height` whose 16-colour palette maps index i to
// grey 0x10 * i + 1 (index 0 reads 1, so skipped pixels are visible).
std::string rle_file(std::int32_t width, std::int32_t height, int bits, const std::string& data) {
  bmp_build b;
  b.width = width;
  b.height = height;
  b.bits = static_cast<std::uint16_t>(bits);
  b.compression = bits == 8 ? 1 : 2;
  for (std::uint32_t i = 0; i < 16; ++i) b.palette.push_back(0x010101 * (0x10 * i + 1));
  b.pixels = data;
  return bmp_file(b);
}

TEST(BmpDecode, RleRunsLiteralsDeltasAndEscapes) {
  const struct {
    const char* name;
    int bits;
    std::int32_t width, height;
    std::string data;
    std::vector<int> indices;  // top row first; what each pixel reads
  } cases[] = {
      {"RLE8 runs and end of line",
       8,
       4,
       2,
       std::string("\x04\x03\x00\x00\x02\x05\x02\x06\x00\x01", 10),
       {5, 5, 6, 6, 3, 3, 3, 3}},  // bottom row first in the file
      {"RLE8 odd literal padded",
       8,
       4,
       1,
       std::string("\x00\x03\x01\x02\x03\x00\x01\x07\x00\x01", 10),
       {1, 2, 3, 7}},
      {"RLE8 delta skips to the next row",
       8,
       3,
       2,
       std::string("\x01\x04\x00\x02\x01\x01\x01\x05\x00\x01", 10),
       {0, 0, 5, 4, 0, 0}},
      {"RLE8 early end of bitmap", 8, 3, 2, std::string("\x02\x09\x00\x01", 4), {0, 0, 0, 9, 9, 0}},
      {"RLE4 run alternates nibbles", 4, 5, 1, std::string("\x05\x12\x00\x01", 4), {1, 2, 1, 2, 1}},
      {"RLE4 literal of 3 nibbles padded to 2 bytes",
       4,
       4,
       1,
       std::string("\x00\x03\x34\x50\x01\xf0\x00\x01", 8),
       {3, 4, 5, 15}},
      {"RLE4 literal of 5 nibbles (3 bytes + pad)",
       4,
       5,
       1,
       std::string("\x00\x05\x12\x34\x50\x00\x00\x01", 8),
       {1, 2, 3, 4, 5}},
      {"every row ended, end code missing", 8, 2, 1, std::string("\x02\x03\x00\x00", 4), {3, 3}},
      // Runs padded to the 4-byte stride cross the row's end: the rest is
      // dropped, the next row starts clean.
      {"RLE8 run past the row, padded to 4",
       8,
       2,
       2,
       std::string("\x04\x07\x00\x00\x03\x02\x00\x00\x00\x01", 10),
       {2, 2, 7, 7}},
      {"RLE8 literal past the row", 8, 2, 1, std::string("\x00\x03\x01\x04\x09\x00\x00\x01", 8), {1, 4}},
      {"RLE4 run past the row", 4, 3, 1, std::string("\x04\x12\x00\x01", 4), {1, 2, 1}},
      {"runs after the row is full", 8, 2, 1, std::string("\x02\x05\x03\x06\x00\x01", 6), {5, 5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const decoded d = decode(rle_file(c.width, c.height, c.bits, c.data));
    ASSERT_TRUE(d.ok) << d.err;
    ASSERT_EQ(d.img.channels, 1);
    ASSERT_EQ(d.img.pixels.size(), c.indices.size());
    for (std::size_t i = 0; i < c.indices.size(); ++i)
      EXPECT_EQ(d.img.pixels[i], 0x10 * c.indices[i] + 1) << i;
  }
}

TEST(BmpDecode, RefusesRleDataThatSetsTooLittleOfItsPicture) {
  // RLE data sets at most 255 pixels a 2-byte run; the header step refuses
  // a picture of more than 128 times the pixels its data could set.
  const std::string end("\x00\x01", 2);  // end of bitmap: sets nothing
  // A delta to (200, 250) from the bottom, a run of ten 7s, the end: 8
  // bytes that could set 1020 pixels, 1/88 of 300 x 300.
  const std::string sprite("\x00\x02\xc8\xfa\x0a\x07\x00\x01", 8);
  const struct {
    const char* name;
    int bits;
    std::int32_t width, height;
    std::string data;
    const char* reason;  // nullptr: read, with a run of ten 7s at (x, y) from the top
    std::int32_t x = 0, y = -1;
  } cases[] = {
      {"RLE8 claiming 30000 x 30000", 8, 30000, 30000, end,
       "30000 x 30000 pixels from 2 bytes of RLE data, more than 128 times the 255 its runs can set"},
      {"RLE4 claiming 60000 x 60000", 4, 60000, 60000, end, "60000 x 60000 pixels from 2 bytes of RLE data"},
      {"RLE8 one pixel more than 128 x 255", 8, 32641, 1, end, "more than 128 times the 255"},
      {"RLE8 of 128 x 255 pixels", 8, 32640, 1, end, nullptr},
      {"RLE8 sprite on a mostly skipped picture", 8, 300, 300, sprite, nullptr, 200, 300 - 1 - 250},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = rle_file(c.width, c.height, c.bits, c.data);
    const std::vector<std::uint8_t> bytes(file.begin(), file.end());
    pellimor::image_info info;
    std::string err;
    const bool known = codecs::bmp_info(bytes.data(), bytes.size(), &info, &err);
    if (c.reason != nullptr) {
      ASSERT_FALSE(known);  // before anything the size claims is allocated
      EXPECT_NE(err.find(c.reason), std::string::npos) << err;
      bmp_format format;
      EXPECT_EQ(parse_bmp_format(bytes.data(), bytes.size(), &format, &err), bmp_status::malformed);
      const decoded d = decode(file);
      EXPECT_FALSE(d.ok);
      EXPECT_EQ(d.err, err);
      continue;
    }
    ASSERT_TRUE(known) << err;
    const decoded d = decode(file);
    ASSERT_TRUE(d.ok) << d.err;
    ASSERT_EQ(d.img.pixels.size(), static_cast<std::size_t>(c.width) * c.height);
    for (std::int32_t y = 0; y < c.height; ++y)
      for (std::int32_t x = 0; x < c.width; ++x) {
        const bool in_run = y == c.y && x >= c.x && x < c.x + 10;
        ASSERT_EQ(d.img.row(y)[x], in_run ? 0x71 : 0x01) << "x " << x << " y " << y;
      }
  }
}

TEST(BmpDecode, RefusesMalformedFiles) {
  bmp_build palette8;
  palette8.width = 4;
  palette8.height = 2;
  palette8.bits = 8;
  palette8.palette = {0x102030, 0x405060};
  palette8.pixels = std::string(8, '\1');
  const std::string good_palette = bmp_file(palette8);

  bmp_build os2 = palette8;
  os2.info_size = 64;
  os2.compression = 3;
  const std::string os2_huffman = bmp_file(os2);

  const auto with = [](std::string s, std::size_t at, std::uint64_t v, int n) {
    put_le(&s, at, v, n);
    return s;
  };
  bmp_build fields;
  fields.width = 2;
  fields.height = 1;
  fields.bits = 16;
  fields.compression = 3;
  fields.masks = {0xf800, 0x7e0, 0x1f};
  fields.pixels = std::string(4, '\0');
  const auto fields_with = [&](std::vector<std::uint32_t> masks, std::uint16_t bits = 16) {
    bmp_build b = fields;
    b.masks = std::move(masks);
    b.bits = bits;
    b.pixels = std::string(bits == 24 ? 8 : 4 * bits / 16, '\0');
    return bmp_file(b);
  };

  const struct {
    const char* name;
    std::string file;
    bmp_status status;
    const char* reason;
  } cases[] = {
      {"RLE8 run after the last row", rle_file(2, 1, 8, std::string("\x00\x00\x01\x01\x00\x01", 6)),
       bmp_status::malformed, "an RLE run lies past the last row"},
      {"RLE8 literal after the last row",
       rle_file(2, 1, 8, std::string("\x00\x00\x00\x03\x01\x01\x01\x00", 8)), bmp_status::malformed,
       "an RLE run lies past the last row"},
      {"delta past the right edge", rle_file(3, 2, 8, std::string("\x00\x02\x04\x00\x00\x01", 6)),
       bmp_status::malformed, "delta"},
      {"delta below the image", rle_file(3, 2, 8, std::string("\x00\x02\x00\x03\x00\x01", 6)),
       bmp_status::malformed, "delta"},
      {"end of line past the last row", rle_file(1, 1, 8, std::string("\x00\x00\x00\x00\x00\x01", 6)),
       bmp_status::malformed, "past the last row"},
      {"RLE data ends early", rle_file(2, 2, 8, std::string("\x02\x01\x00\x00", 4)), bmp_status::short_data,
       "ends inside its RLE data"},
      {"literal cut by the file end", rle_file(8, 1, 8, std::string("\x00\x06\x01\x02", 4)),
       bmp_status::short_data, "ends inside its RLE data"},
      {"delta cut by the file end", rle_file(8, 1, 8, std::string("\x00\x02\x01", 3)), bmp_status::short_data,
       "ends inside its RLE data"},
      {"colour table cut by the file end", good_palette.substr(0, 14 + 40 + 6), bmp_status::short_data,
       "colour table"},
      {"offset inside the colour table", with(good_palette, 10, 14 + 40 + 4, 4), bmp_status::malformed,
       "lies inside the headers"},
      {"pixel rows cut", good_palette.substr(0, good_palette.size() - 1), bmp_status::short_data,
       "pixel rows"},
      {"RLE8 at 4 bits", with(with(good_palette, 30, 1, 4), 28, 4, 2), bmp_status::malformed, "RLE8"},
      {"JPEG inside, 0 bits per pixel", with(with(good_palette, 30, 4, 4), 28, 0, 2), bmp_status::malformed,
       "a BMP file holding a JPEG image (compression 4) is not read"},
      {"PNG inside", with(good_palette, 30, 5, 4), bmp_status::malformed,
       "a BMP file holding a PNG image (compression 5) is not read"},
      {"3 bits per pixel", with(good_palette, 28, 3, 2), bmp_status::malformed,
       "unsupported BMP: bit depth 3"},
      {"header of 80 bytes", with(good_palette, 14, 80, 4), bmp_status::malformed, "80 bytes"},
      {"zero width", with(good_palette, 18, 0, 4), bmp_status::malformed, "invalid image size"},
      {"OS/2 Huffman", os2_huffman, bmp_status::malformed, "OS/2 Huffman"},
      {"masks overlap", fields_with({0xfc00, 0x7e0, 0x1f}), bmp_status::malformed, "overlap"},
      {"mask with a gap", fields_with({0xf000 | 0x100, 0x7e0, 0x1f}), bmp_status::malformed, "one run"},
      {"mask past 16 bits", fields_with({0xf8000, 0x7e0, 0x1f}), bmp_status::malformed, "one run"},
      {"empty mask", fields_with({0xf800, 0, 0x1f}), bmp_status::malformed, "empty colour mask"},
      {"bit fields at 24 bits", fields_with({0xff0000, 0xff00, 0xff}, 24), bmp_status::malformed,
       "unsupported BMP: bit fields"},
      {"masks cut by the file end", bmp_file(fields).substr(0, 14 + 40 + 8), bmp_status::short_data,
       "colour masks"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::uint8_t> bytes(c.file.begin(), c.file.end());
    bmp_format format;
    std::string err;
    bmp_status status = parse_bmp_format(bytes.data(), bytes.size(), &format, &err);
    if (status == bmp_status::ok) {
      std::vector<std::uint8_t> out(static_cast<std::size_t>(format.width) * format.height * format.channels);
      status = decode_bmp_pixels(bytes.data(), bytes.size(), format, out.data(), &err);
    }
    EXPECT_EQ(status, c.status);
    EXPECT_NE(err.find(c.reason), std::string::npos) << err;
    const decoded d = decode(c.file);
    EXPECT_FALSE(d.ok);
    EXPECT_TRUE(d.img.pixels.empty());
  }
}

TEST(BmpDecode, EveryTruncationIsRefused) {
  bmp_build b;
  b.width = 5;
  b.height = 3;
  b.bits = 4;
  b.palette = random_values(16, 1u << 24, 8);
  b.pixels = pack_rows(random_values(15, 16, 9), 5, 4, false);
  const std::string file = bmp_file(b);
  ASSERT_TRUE(decode(file).ok);
  for (std::size_t length = 0; length < file.size(); ++length)
    EXPECT_FALSE(decode(file.substr(0, length)).ok) << length;
}

image make_image(std::int32_t width, std::int32_t height, int channels, sample_type type, unsigned seed) {
  image img;
  img.width = width;
  img.height = height;
  img.channels = channels;
  img.type = type;
  img.allocate();
  std::mt19937 rng(seed);
  const std::size_t n = img.pixels.size() / pellimor::sample_bytes(type);
  for (std::size_t i = 0; i < n; ++i) {
    if (type == sample_type::u8) {
      img.pixels[i] = static_cast<std::uint8_t>(rng());
    } else if (type == sample_type::u16) {
      const std::uint16_t v = static_cast<std::uint16_t>(rng());
      std::memcpy(img.pixels.data() + 2 * i, &v, 2);
    } else {
      const double v = static_cast<double>(rng() % 1400) / 1000.0 - 0.2;  // some outside 0..1
      if (type == sample_type::f32) {
        const float f = static_cast<float>(v);
        std::memcpy(img.pixels.data() + 4 * i, &f, 4);
      } else {
        std::memcpy(img.pixels.data() + 8 * i, &v, 8);
      }
    }
  }
  return img;
}

// The byte the program writes for sample i of `img`: value / full scale
// * 255, saturated, truncated toward zero.
int expected_byte(const image& img, std::size_t i) {
  double v;
  if (img.type == sample_type::u8) return img.pixels[i];
  if (img.type == sample_type::u16) {
    std::uint16_t s;
    std::memcpy(&s, img.pixels.data() + 2 * i, 2);
    return s * 255 / 65535;
  }
  if (img.type == sample_type::f32) {
    float f;
    std::memcpy(&f, img.pixels.data() + 4 * i, 4);
    v = f;
  } else {
    double d;
    std::memcpy(&d, img.pixels.data() + 8 * i, 8);
    v = d;
  }
  return static_cast<int>(std::clamp(std::floor(v * 255.0), 0.0, 255.0));
}

std::string encode(const image& img) {
  std::string file, err;
  EXPECT_TRUE(codecs::bmp_encode(
      img, {},
      [&](const std::uint8_t* p, std::size_t n) {
        return file.append(reinterpret_cast<const char*>(p), n), true;
      },
      &err))
      << err;
  return file;
}

TEST(BmpEncode, WritesTheProgramsFileForEveryImageKind) {
  unsigned seed = 100;
  for (sample_type type : {sample_type::u8, sample_type::u16, sample_type::f32, sample_type::f64})
    for (int channels = 1; channels <= 4; ++channels)
      for (std::int32_t width : {1, 2, 3, 4, 5}) {
        SCOPED_TRACE(std::string(pellimor::sample_type_name(type)) + " channels " + std::to_string(channels) +
                     " width " + std::to_string(width));
        const std::int32_t height = 3;
        const image img = make_image(width, height, channels, type, seed++);
        // The same picture as planes, through the program's writer.
        channel_plane planes[3];
        for (auto& p : planes) allocate_plane(&p, width, height);
        for (std::int32_t y = 0; y < height; ++y)
          for (std::int32_t x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
              const std::size_t i =
                  (static_cast<std::size_t>(y) * width + x) * channels + (channels <= 2 ? 0 : c);
              planes[2 - c].samples[plane_index(x, y, height)] =
                  static_cast<std::uint8_t>(expected_byte(img, i));
            }
        std::FILE* f = std::tmpfile();
        std::string err;
        ASSERT_TRUE(write_output_bmp(f, planes[0], planes[1], planes[2], &err)) << err;
        std::fflush(f);
        std::rewind(f);
        std::string expected;
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) expected.append(buffer, n);
        std::fclose(f);
        const std::string file = encode(img);
        EXPECT_EQ(file, expected);
        // And back: the decoder reads RGB.
        const decoded d = decode(file);
        ASSERT_TRUE(d.ok) << d.err;
        ASSERT_EQ(d.img.channels, 3);
        for (std::int32_t y = 0; y < height; ++y)
          for (std::int32_t x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
              ASSERT_EQ(d.img.row(y)[3 * x + c], planes[2 - c].samples[plane_index(x, y, height)]);
      }
}

TEST(BmpEncode, EverySixteenBitValueTruncates) {
  // v * 255 / 65535 rounded down: not v >> 8, not rounded to nearest.
  image img;
  img.width = 65536;
  img.height = 1;
  img.channels = 1;
  img.type = sample_type::u16;
  img.allocate();
  for (std::uint32_t v = 0; v < 65536; ++v) {
    const std::uint16_t s = static_cast<std::uint16_t>(v);
    std::memcpy(img.pixels.data() + 2 * v, &s, 2);
  }
  const std::string file = encode(img);
  ASSERT_EQ(file.size(), 54 + 3 * 65536u);
  for (std::uint32_t v = 0; v < 65536; ++v)
    for (int c = 0; c < 3; ++c)
      ASSERT_EQ(static_cast<std::uint8_t>(file[54 + 3 * v + c]), v * 255 / 65535) << "value " << v;
}

TEST(BmpEncode, RefusesWhatDoesNotFit) {
  image img;
  img.width = 0;
  img.height = 1;
  img.channels = 3;
  std::string err;
  EXPECT_FALSE(codecs::bmp_encode(
      img, {}, [](const std::uint8_t*, std::size_t) { return true; }, &err));
  EXPECT_NE(err.find("does not fit"), std::string::npos) << err;
  const image small = make_image(2, 2, 3, sample_type::u8, 1);
  EXPECT_FALSE(codecs::bmp_encode(
      small, {}, [](const std::uint8_t*, std::size_t) { return false; }, &err));
}

}  // namespace
