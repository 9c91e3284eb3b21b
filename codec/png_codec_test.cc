// SPDX-License-Identifier: MIT
// png_codec_test.cc - the PNG codec against files written here with libpng:
// every colour type and bit depth, interlaced or not, with tRNS, palettes,
// ICC and eXIf; damaged files; what the encoder stores.
#include <png.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "codec/codec_test_util.h"
#include "gtest/gtest.h"

namespace {

using namespace pellimor;
using codec_test::bytes;

// What make_png writes.
struct png_form {
  int colour = PNG_COLOR_TYPE_GRAY;
  int depth = 8;
  bool interlaced = false;
  bool transparency = false;  // tRNS: one key colour, or alpha for some palette entries
  bool grey_palette = false;  // every palette entry grey
  std::int32_t width = 13;
  std::int32_t height = 7;
};

// A file and the samples it was written from: one value per sample in the
// file's own depth (palette images: indices), row after row.
struct png_file {
  bytes data;
  std::vector<unsigned> samples;
  int stored_channels = 1;
  std::vector<png_color> palette;
  std::vector<png_byte> palette_alpha;
  png_color_16 key{};  // the tRNS colour of a grey or RGB image
};

void append(png_structp png, png_bytep data, png_size_t size) {
  auto* out = static_cast<bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + size);
}

// Errors abort the test program: a generator fault, not a finding.
png_file make_png(const png_form& form, const bytes& exif = {}) {
  png_file f;
  const int channels_of[] = {1, 0, 3, 1, 2, 0, 4};
  f.stored_channels = channels_of[form.colour];
  const unsigned top = (1u << form.depth) - 1;
  const int palette_size =
      form.colour == PNG_COLOR_TYPE_PALETTE ? static_cast<int>(std::min(top + 1, 200u)) : 0;
  std::mt19937 rng(form.colour * 100 + form.depth + form.interlaced * 7);
  const std::size_t count = static_cast<std::size_t>(form.width) * form.height * f.stored_channels;
  for (std::size_t i = 0; i < count; ++i)
    f.samples.push_back(palette_size > 0 ? rng() % palette_size : rng() & top);
  for (int i = 0; i < palette_size; ++i) {
    const auto v = static_cast<png_byte>(rng());
    f.palette.push_back(form.grey_palette
                            ? png_color{v, v, v}
                            : png_color{v, static_cast<png_byte>(rng()), static_cast<png_byte>(i)});
  }

  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &f.data, append, nullptr);
  png_set_IHDR(png, info, form.width, form.height, form.depth, form.colour,
               form.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE,
               PNG_FILTER_TYPE_BASE);
  if (palette_size > 0) png_set_PLTE(png, info, f.palette.data(), palette_size);
  if (form.transparency) {
    if (palette_size > 0) {
      for (int i = 0; i < palette_size / 2 + 1; ++i) f.palette_alpha.push_back(static_cast<png_byte>(rng()));
      png_set_tRNS(png, info, f.palette_alpha.data(), static_cast<int>(f.palette_alpha.size()), nullptr);
    } else {
      // The first pixel's colour, so the key is sure to occur.
      f.key.gray = static_cast<png_uint_16>(f.samples[0]);
      f.key.red = static_cast<png_uint_16>(f.samples[0]);
      f.key.green = static_cast<png_uint_16>(f.samples[1 % f.samples.size()]);
      f.key.blue = static_cast<png_uint_16>(f.samples[2 % f.samples.size()]);
      png_set_tRNS(png, info, nullptr, 0, &f.key);
    }
  }
  png_text text{};
  text.compression = PNG_TEXT_COMPRESSION_NONE;
  text.key = const_cast<char*>("Comment");
  text.text = const_cast<char*>("made by the test");
  png_set_text(png, info, &text, 1);
  if (!exif.empty())
    png_set_eXIf_1(png, info, static_cast<png_uint_32>(exif.size()), const_cast<png_bytep>(exif.data()));
  png_write_info(png, info);
  if (form.depth < 8) png_set_packing(png);
  const int sample_bytes = form.depth == 16 ? 2 : 1;
  const std::size_t row_size = static_cast<std::size_t>(form.width) * f.stored_channels * sample_bytes;
  bytes raw(row_size * form.height);
  for (std::size_t i = 0; i < count; ++i) {
    if (sample_bytes == 2) {
      raw[2 * i] = static_cast<png_byte>(f.samples[i] >> 8);  // big-endian, as in the file
      raw[2 * i + 1] = static_cast<png_byte>(f.samples[i]);
    } else {
      raw[i] = static_cast<png_byte>(f.samples[i]);
    }
  }
  std::vector<png_bytep> rows;
  for (std::int32_t y = 0; y < form.height; ++y) rows.push_back(raw.data() + row_size * y);
  png_write_image(png, rows.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return f;
}

// The image png_decode must give for `f`, worked out from its samples.
image expected_image(const png_form& form, const png_file& f) {
  image img;
  img.width = form.width;
  img.height = form.height;
  img.type = form.depth == 16 ? sample_type::u16 : sample_type::u8;
  const bool palette = form.colour == PNG_COLOR_TYPE_PALETTE;
  const bool key = form.transparency && !palette;
  img.channels = palette ? (form.grey_palette && !form.transparency ? 1
                            : form.transparency                     ? 4
                                                                    : 3)
                         : f.stored_channels + (key ? 1 : 0);
  img.allocate();
  const unsigned top = (1u << form.depth) - 1, out_top = form.depth == 16 ? 65535 : 255;
  std::vector<unsigned> out;
  for (std::size_t p = 0; p < f.samples.size() / f.stored_channels; ++p) {
    const unsigned* s = &f.samples[p * f.stored_channels];
    if (palette) {
      const png_color& c = f.palette[s[0]];
      out.push_back(c.red);
      if (img.channels == 1) continue;
      out.push_back(c.green);
      out.push_back(c.blue);
      if (img.channels == 4) out.push_back(s[0] < f.palette_alpha.size() ? f.palette_alpha[s[0]] : 255);
      continue;
    }
    for (int c = 0; c < f.stored_channels; ++c) out.push_back(s[c] * out_top / top);
    if (key) {
      const bool hit = f.stored_channels == 1
                           ? s[0] == f.key.gray
                           : s[0] == f.key.red && s[1] == f.key.green && s[2] == f.key.blue;
      out.push_back(hit ? 0 : out_top);
    }
  }
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (img.type == sample_type::u8) {
      img.pixels[i] = static_cast<std::uint8_t>(out[i]);
    } else {
      const auto v = static_cast<std::uint16_t>(out[i]);
      std::memcpy(&img.pixels[2 * i], &v, 2);
    }
  }
  return img;
}

std::string describe(const png_form& form) {
  return "colour type " + std::to_string(form.colour) + ", " + std::to_string(form.depth) + " bits" +
         (form.interlaced ? ", interlaced" : "") + (form.transparency ? ", tRNS" : "") +
         (form.grey_palette ? ", grey palette" : "") + ", " + std::to_string(form.width) + "x" +
         std::to_string(form.height);
}

// Every colour type at every depth it allows, plain and interlaced, with
// and without tRNS where it may appear.
std::vector<png_form> every_form() {
  struct kind {
    int colour;
    std::vector<int> depths;
    bool may_have_trns;
  };
  const kind kinds[] = {
      {PNG_COLOR_TYPE_GRAY, {1, 2, 4, 8, 16}, true}, {PNG_COLOR_TYPE_GRAY_ALPHA, {8, 16}, false},
      {PNG_COLOR_TYPE_RGB, {8, 16}, true},           {PNG_COLOR_TYPE_RGB_ALPHA, {8, 16}, false},
      {PNG_COLOR_TYPE_PALETTE, {1, 2, 4, 8}, true},
  };
  std::vector<png_form> forms;
  for (const kind& k : kinds)
    for (int depth : k.depths)
      for (bool interlaced : {false, true})
        for (bool trns : {false, true}) {
          if (trns && !k.may_have_trns) continue;
          png_form form;
          form.colour = k.colour;
          form.depth = depth;
          form.interlaced = interlaced;
          form.transparency = trns;
          forms.push_back(form);
          if (k.colour == PNG_COLOR_TYPE_PALETTE) {
            form.grey_palette = true;
            forms.push_back(form);
          }
        }
  // Sizes where Adam7 passes are empty or one pixel wide.
  for (std::int32_t side : {1, 2, 5}) {
    png_form form;
    form.colour = PNG_COLOR_TYPE_RGB;
    form.interlaced = true;
    form.width = side;
    form.height = 9 - side;
    forms.push_back(form);
  }
  return forms;
}

TEST(PngRead, EveryColourTypeAndDepthGivesItsSamples) {
  for (const png_form& form : every_form()) {
    SCOPED_TRACE(describe(form));
    const png_file f = make_png(form);
    const image want = expected_image(form, f);
    image_format format;
    ASSERT_TRUE(detect_format(f.data.data(), f.data.size(), &format));
    EXPECT_EQ(format, image_format::png);
    image_info info;
    std::string err;
    ASSERT_TRUE(read_info(f.data.data(), f.data.size(), format, &info, &err)) << err;
    image got = codec_test::spoiled_room(want.pixels.size() + 64);
    ASSERT_TRUE(decode_image(f.data.data(), f.data.size(), format, &got, &err)) << err;
    for (const image_info* i :
         {static_cast<const image_info*>(&info), static_cast<const image_info*>(&got)}) {
      EXPECT_EQ(i->width, want.width);
      EXPECT_EQ(i->height, want.height);
      EXPECT_EQ(i->channels, want.channels);
      EXPECT_EQ(i->type, want.type);
      EXPECT_EQ(i->orientation, 1);
    }
    EXPECT_TRUE(got.pixels == want.pixels);
    EXPECT_TRUE(got.icc.empty());
  }
}

TEST(PngRead, OrientationFromExif) {
  for (bool big_endian : {false, true})
    for (int orientation : {1, 3, 6, 8}) {
      SCOPED_TRACE(std::to_string(orientation) + (big_endian ? " big-endian" : " little-endian"));
      const png_file f = make_png({}, codec_test::exif_block(big_endian, orientation));
      image_info info;
      image img;
      std::string err;
      ASSERT_TRUE(codecs::png_info(f.data.data(), f.data.size(), &info, &err)) << err;
      ASSERT_TRUE(codecs::png_decode(f.data.data(), f.data.size(), &img, &err)) << err;
      EXPECT_EQ(info.orientation, orientation);
      EXPECT_EQ(img.orientation, orientation);
    }
}

std::size_t chunk_length(const bytes& file, std::size_t at) {
  return (std::size_t{file[at]} << 24) | (file[at + 1] << 16) | (file[at + 2] << 8) | file[at + 3];
}

// Offset of the first chunk called `name` (at its length field).
std::size_t chunk_at(const bytes& file, const char* name) {
  for (std::size_t at = 8; at + 12 <= file.size(); at += 12 + chunk_length(file, at))
    if (std::memcmp(&file[at + 4], name, 4) == 0) return at;
  ADD_FAILURE() << "no " << name << " chunk";
  return 0;
}

// Recomputes the CRC of the chunk at `at` after its contents were changed.
void fix_crc(bytes* file, std::size_t at) {
  const std::size_t length = chunk_length(*file, at);
  const uLong crc = crc32(0, file->data() + at + 4, static_cast<uInt>(length + 4));
  codec_test::put_be(file, at + 8 + length, static_cast<std::uint32_t>(crc), 4);
}

TEST(PngRead, DamagedFilesAreRefusedAndLeaveTheImageAlone) {
  png_form form;
  form.colour = PNG_COLOR_TYPE_RGB;
  form.width = 40;
  form.height = 30;
  const bytes good = make_png(form).data;
  const std::size_t ihdr = chunk_at(good, "IHDR"), text = chunk_at(good, "tEXt"),
                    idat = chunk_at(good, "IDAT"), iend = chunk_at(good, "IEND"),
                    idat_end = idat + 8 + chunk_length(good, idat);
  auto flipped = [&](std::size_t at, bool recompute_crc = false) {
    bytes b = good;
    b[at] ^= 0x41;
    if (recompute_crc) fix_crc(&b, idat);
    return b;
  };
  auto cut = [&](std::size_t size) { return bytes(good.begin(), good.begin() + size); };
  const std::pair<const char*, bytes> cases[] = {
      {"IHDR CRC", flipped(ihdr + 8 + 13 + 3)},
      {"tEXt CRC (ancillary)", flipped(text + 8 + chunk_length(good, text))},
      {"IDAT CRC", flipped(idat_end + 2)},
      {"IEND CRC", flipped(iend + 8)},
      {"bad signature", flipped(1)},
      {"broken zlib stream, CRC right", flipped(idat + 8 + 3, true)},
      {"zlib checksum, CRC right", flipped(idat_end - 1, true)},
      {"signature only", cut(8)},
      {"inside IHDR", cut(ihdr + 15)},
      {"inside IDAT", cut((idat + idat_end) / 2)},
      {"before IEND", cut(iend)},
      {"one byte short", cut(good.size() - 1)},
  };
  for (const auto& [name, file] : cases) {
    SCOPED_TRACE(name);
    image img = codec_test::random_image(2, 2, 1, sample_type::u8, 1);
    const image before = img;
    std::string err;
    EXPECT_FALSE(codecs::png_decode(file.data(), file.size(), &img, &err));
    EXPECT_FALSE(err.empty());
    EXPECT_TRUE(img.width == 2 && img.pixels == before.pixels);
  }
  image img;  // the untouched file reads, so the cases above failed for their damage
  std::string err;
  EXPECT_TRUE(codecs::png_decode(good.data(), good.size(), &img, &err)) << err;
}

TEST(PngRead, HugeClaimInATinyFileIsRefusedBeforeAllocating) {
  // 100000 x 100000 RGB is 30 GB: allocating (and zeroing) it would not
  // finish here. Past 1000000 a side, libpng's own limit answers.
  png_form form;
  form.colour = PNG_COLOR_TYPE_RGB;
  for (std::uint32_t side : {100000u, 1000001u, 100u}) {
    SCOPED_TRACE(side);
    bytes file = make_png(form).data;
    codec_test::put_be(&file, 16, side, 4);
    codec_test::put_be(&file, 20, side, 4);
    fix_crc(&file, 8);
    image_info info;
    image img;
    std::string err;
    EXPECT_EQ(codecs::png_info(file.data(), file.size(), &info, &err), side == 100);
    EXPECT_EQ(err.empty(), side == 100);
    EXPECT_FALSE(codecs::png_decode(file.data(), file.size(), &img, &err));  // 100 x 100: too few rows
    EXPECT_TRUE(img.pixels.empty());
  }
}

TEST(PngRead, ChunkAndSizeClaimsAreCheckedByReadInfo) {
  // libpng takes (and clears) memory for an ancillary chunk's whole claimed
  // length before reading it: each 2 GiB claim below cost seconds and 2 GiB
  // before the file was found short. They must be refused from the chunk
  // lengths alone, by png_info already.
  png_form form;
  form.colour = PNG_COLOR_TYPE_RGB;
  const bytes good = make_png(form).data;
  const std::size_t after_ihdr = chunk_at(good, "IHDR") + 12 + 13, idat = chunk_at(good, "IDAT"),
                    iend = chunk_at(good, "IEND");
  constexpr std::size_t tail = 100;  // bytes of the file after a claiming chunk's header
  // The file cut after a chunk header claiming `length` bytes, `tail` bytes of it present.
  auto claim = [&](const char* type, std::uint32_t length) {
    bytes b(good.begin(), good.begin() + after_ihdr);
    b.resize(b.size() + 8 + tail, 'x');
    codec_test::put_be(&b, after_ihdr, length, 4);
    std::memcpy(&b[after_ihdr + 4], type, 4);
    return b;
  };
  const std::string left = " left in the file";
  auto too_long = [&](const char* type, std::uint32_t length) {
    return std::string("chunk ") + type + " claims " + std::to_string(length) + " bytes, more than the " +
           std::to_string(tail - 4) + left;
  };
  bytes idat_one_long = good;  // one byte more than the file has after it
  const std::size_t idat_room = good.size() - idat - 12;
  codec_test::put_be(&idat_one_long, idat, static_cast<std::uint32_t>(idat_room + 1), 4);
  bytes after_iend = good;  // would claim 4 GiB, if it were read
  after_iend.insert(after_iend.end(), {0xff, 0xff, 0xff, 0xff, 'a', 'b', 'c', 'd'});
  // A file of `size` bytes can hold rows of at most 1032 * size bytes (what
  // deflate makes of one byte at most). Set to one RGB row, 3 bytes a pixel,
  // so that its rows need just more or just no more than that.
  auto one_row = [&](std::uint32_t width) {
    bytes b = good;
    codec_test::put_be(&b, 16, width, 4);
    codec_test::put_be(&b, 20, 1, 4);
    fix_crc(&b, 8);
    return b;
  };
  const auto over_bound = static_cast<std::uint32_t>((good.size() + 1) * 1032 / 3);
  struct claim_case {
    const char* name;
    bytes file;
    std::string message;  // empty: png_info accepts the file
    bool decodes;
  };
  const claim_case cases[] = {
      {"2 GiB of tEXt", claim("tEXt", 0x7ffffff0), too_long("tEXt", 0x7ffffff0), false},
      {"2 GiB of zTXt", claim("zTXt", 0x7ffffff0), too_long("zTXt", 0x7ffffff0), false},
      {"2 GiB of iTXt", claim("iTXt", 0x7ffffff0), too_long("iTXt", 0x7ffffff0), false},
      {"2 GiB of sPLT", claim("sPLT", 0x7ffffff0), too_long("sPLT", 0x7ffffff0), false},
      {"2 GiB of an unknown ancillary chunk", claim("quIk", 0x7ffffff0), too_long("quIk", 0x7ffffff0), false},
      {"a length past 2^31 - 1", claim("tEXt", 0x80000000u),
       "chunk tEXt claims 2147483648 bytes, more than PNG allows (2147483647)", false},
      {"IDAT one byte longer than the file", idat_one_long,
       "chunk IDAT claims " + std::to_string(idat_room + 1) + " bytes, more than the " +
           std::to_string(idat_room) + left,
       false},
      {"no IEND", bytes(good.begin(), good.begin() + iend), "the file ends without an IEND chunk", false},
      {"rows need more than the file can hold", one_row(over_bound),
       "header claims " + std::to_string(over_bound) + "x1 pixels, more than a " +
           std::to_string(good.size()) + "-byte file can hold",
       false},
      {"rows need just what the file can hold", one_row(over_bound - 1), "", false},  // no such rows
      {"bytes after IEND", after_iend, "", true},
  };
  for (const claim_case& c : cases) {
    SCOPED_TRACE(c.name);
    image_info info;
    image img;
    std::string err;
    EXPECT_EQ(codecs::png_info(c.file.data(), c.file.size(), &info, &err), c.message.empty());
    if (c.message.empty()) {
      EXPECT_EQ(err, "");
    } else {
      EXPECT_EQ(err, "png: " + c.message);
    }
    err.clear();
    EXPECT_EQ(codecs::png_decode(c.file.data(), c.file.size(), &img, &err), c.decodes) << err;
    if (!c.message.empty()) {
      EXPECT_EQ(err, "png: " + c.message);
    }
  }
  // An ancillary chunk may hold 64 MiB, however large the file.
  for (std::size_t size : {std::size_t{64} << 20, (std::size_t{64} << 20) + 1}) {
    SCOPED_TRACE(size);
    bytes file(good.begin(), good.begin() + after_ihdr);
    file.resize(after_ihdr + 12 + size, 'a');  // a tEXt chunk of `size` bytes
    codec_test::put_be(&file, after_ihdr, static_cast<std::uint32_t>(size), 4);
    std::memcpy(&file[after_ihdr + 4], "tEXt", 4);
    fix_crc(&file, after_ihdr);
    file.insert(file.end(), good.begin() + after_ihdr, good.end());
    image_info info;
    std::string err;
    const bool small_enough = size == std::size_t{64} << 20;
    EXPECT_EQ(codecs::png_info(file.data(), file.size(), &info, &err), small_enough);
    EXPECT_EQ(err, small_enough ? ""
                                : "png: ancillary chunk tEXt claims " + std::to_string(size) +
                                      " bytes, more than the 67108864 this reader takes");
  }
}

TEST(PngWrite, EveryLayoutReadsBackWithItsHeader) {
  const int colour_of[] = {0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                           PNG_COLOR_TYPE_RGB_ALPHA};
  for (int channels = 1; channels <= 4; ++channels)
    for (sample_type type : {sample_type::u8, sample_type::u16}) {
      SCOPED_TRACE(std::to_string(channels) + " channels, " + sample_type_name(type));
      const image img =
          codec_test::random_image(17, 5, channels, type, 10 * channels + static_cast<int>(type));
      std::string err;
      const bytes file = codec_test::encode(img, image_format::png, &err);
      ASSERT_GT(file.size(), 33u) << err;
      EXPECT_EQ(file[24], type == sample_type::u8 ? 8 : 16);  // IHDR bit depth
      EXPECT_EQ(file[25], colour_of[channels]);               // IHDR colour type
      EXPECT_EQ(file[28], 0);                                 // not interlaced
      image back;
      ASSERT_TRUE(codecs::png_decode(file.data(), file.size(), &back, &err)) << err;
      EXPECT_TRUE(back.channels == channels && back.type == type && back.pixels == img.pixels);
    }
  // 16-bit samples are big-endian in the file: one grey pixel 0x1234, whose
  // row (filter byte, then the sample) the first row's filter leaves alone.
  image one = codec_test::random_image(1, 1, 1, sample_type::u16, 1);
  const std::uint16_t v = 0x1234;
  std::memcpy(one.pixels.data(), &v, 2);
  std::string err;
  bytes file = codec_test::encode(one, image_format::png, &err);
  const std::size_t idat = chunk_at(file, "IDAT");
  bytes raw(3);
  uLongf raw_size = raw.size();
  ASSERT_EQ(uncompress(raw.data(), &raw_size, &file[idat + 8], chunk_length(file, idat)), Z_OK);
  EXPECT_EQ(raw[1], 0x12);
  EXPECT_EQ(raw[2], 0x34);
}

TEST(PngWrite, EachKindOfPictureRoundTripsAndRepeatsStaySmall) {
  // The writer picks its filter and zlib strategy per picture: each choice
  // must still read back exactly, and a repeating pattern must not be left
  // to run lengths alone, which cannot see the repeats.
  for (sample_type type : {sample_type::u8, sample_type::u16}) {
    const image noise = codec_test::random_image(96, 64, 3, type, 4);
    image tiled = noise, smooth = codec_test::smooth_image(96, 64, 3);
    const std::size_t tile_bytes = 8 * 3 * sample_bytes(type);
    for (std::int32_t y = 0; y < tiled.height; ++y)
      for (std::size_t i = 0; i < tiled.row_bytes(); ++i) tiled.row(y)[i] = noise.row(y % 8)[i % tile_bytes];
    if (type == sample_type::u16) smooth = noise;  // smooth_image is 8-bit only
    for (const image* img : {&noise, static_cast<const image*>(&tiled), static_cast<const image*>(&smooth)}) {
      SCOPED_TRACE(std::string(sample_type_name(type)) + (img == &tiled    ? " tiled"
                                                          : img == &smooth ? " smooth"
                                                                           : " noise"));
      std::string err;
      const bytes file = codec_test::encode(*img, image_format::png, &err);
      image back;
      ASSERT_TRUE(codecs::png_decode(file.data(), file.size(), &back, &err)) << err;
      EXPECT_EQ(back.pixels, img->pixels);
      if (img == &tiled) {
        EXPECT_LT(file.size(), img->pixel_bytes() / 8);
      }
    }
  }
}

// A picture of 2 MiB or more is deflated in pieces on two threads: its IDAT
// chunks together still hold one zlib stream (zlib checks its Adler-32) of
// every row, filter byte first, it reads back exactly, and the same picture
// gives the same bytes every time.
TEST(PngWrite, LargePicturesInPiecesAreOneZlibStream) {
  for (const int channels : {1, 4}) {
    SCOPED_TRACE(channels);
    image img = codec_test::smooth_image(2000 / channels, 1300, channels);
    const image noise = codec_test::random_image(img.width, img.height, channels, sample_type::u8, 9);
    for (std::size_t i = 0; i < img.pixels.size(); i += 7) img.pixels[i] = noise.pixels[i];
    std::string err;
    const bytes file = codec_test::encode(img, image_format::png, &err);
    ASSERT_FALSE(file.empty()) << err;
    bytes stream;
    for (std::size_t at = 8; at + 12 <= file.size(); at += chunk_length(file, at) + 12)
      if (std::memcmp(&file[at + 4], "IDAT", 4) == 0)
        stream.insert(stream.end(), &file[at + 8], &file[at + 8] + chunk_length(file, at));
    bytes raw(img.pixels.size() + img.height + 1);
    uLongf raw_size = raw.size();
    ASSERT_EQ(uncompress(raw.data(), &raw_size, stream.data(), stream.size()), Z_OK);
    EXPECT_EQ(raw_size, img.pixels.size() + img.height);
    image back;
    ASSERT_TRUE(codecs::png_decode(file.data(), file.size(), &back, &err)) << err;
    EXPECT_TRUE(back.pixels == img.pixels);
    EXPECT_TRUE(codec_test::encode(img, image_format::png, &err) == file);
    // An output that stops taking data half-way (a full disk) or throws
    // stops the pieces too.
    for (const bool throws : {false, true}) {
      std::size_t taken = 0;
      err.clear();
      const bool ok = encode_image(
          img, image_format::png, {},
          [&](const std::uint8_t*, std::size_t size) {
            if ((taken += size) < file.size() / 2) return true;
            if (throws) throw std::runtime_error("disk gone");
            return false;
          },
          &err);
      EXPECT_FALSE(ok);
      EXPECT_FALSE(err.empty());
    }
  }
}

TEST(PngWrite, FloatSamplesBecomeSixteenBits) {
  const double values[] = {-0.5, 0.0, 0.25, 0.5, 1.0, 1.5, std::nan(""), 3.0 / 65535 + 1e-9};
  const std::uint16_t want[] = {0, 0, 16383, 32767, 65535, 65535, 0, 3};
  for (sample_type type : {sample_type::f32, sample_type::f64}) {
    SCOPED_TRACE(sample_type_name(type));
    image img = codec_test::random_image(8, 1, 1, type, 1);
    for (int i = 0; i < 8; ++i) {
      const float f = static_cast<float>(values[i]);
      std::memcpy(
          &img.pixels[i * sample_bytes(type)],
          type == sample_type::f32 ? static_cast<const void*>(&f) : static_cast<const void*>(&values[i]),
          sample_bytes(type));
    }
    std::string err;
    const bytes file = codec_test::encode(img, image_format::png, &err);
    image back;
    ASSERT_TRUE(codecs::png_decode(file.data(), file.size(), &back, &err)) << err;
    ASSERT_EQ(back.type, sample_type::u16);
    for (int i = 0; i < 8; ++i) {
      std::uint16_t got;
      std::memcpy(&got, &back.pixels[2 * i], 2);
      EXPECT_EQ(got, want[i]) << values[i];
    }
  }
}

TEST(PngWrite, IccProfileTravelsByteForByte) {
  struct icc_case {
    int channels;
    const char* space;
    std::size_t size;
    bool kept;
  };
  const icc_case cases[] = {
      {3, "RGB ", 200, true},
      {4, "RGB ", 70000, true},
      {1, "GRAY", 600, true},
      {1, "RGB ", 600, false},  // libpng will not put an RGB profile on grey; the image still goes
  };
  for (const icc_case& c : cases) {
    SCOPED_TRACE(std::to_string(c.channels) + " channels, " + c.space + std::to_string(c.size));
    image img = codec_test::random_image(6, 4, c.channels, sample_type::u8, 3);
    img.icc = codec_test::icc_profile(c.size, c.space);
    std::string err;
    const bytes file = codec_test::encode(img, image_format::png, &err);
    image back;
    ASSERT_TRUE(codecs::png_decode(file.data(), file.size(), &back, &err)) << err;
    EXPECT_TRUE(back.pixels == img.pixels);
    EXPECT_TRUE(back.icc == (c.kept ? img.icc : bytes{}));
  }
}

TEST(PngWrite, RefusesBadImagesAndASinkThatStops) {
  image empty, five = codec_test::random_image(2, 2, 4, sample_type::u8, 1), short_buffer = five;
  empty.channels = 3;
  five.channels = 5;
  short_buffer.pixels.pop_back();
  for (const image* bad : {&empty, &five, &short_buffer}) {
    std::string err;
    EXPECT_TRUE(codec_test::encode(*bad, image_format::png, &err).empty());
    EXPECT_FALSE(err.empty());
  }
  const image img = codec_test::random_image(64, 64, 3, sample_type::u8, 2);
  for (bool throws : {false, true}) {
    int calls = 0;
    std::string err;
    const bool ok = encode_image(
        img, image_format::png, {},
        [&](const std::uint8_t*, std::size_t) {
          if (++calls < 3) return true;
          if (throws) throw std::runtime_error("disk gone");
          return false;
        },
        &err);
    EXPECT_FALSE(ok);
    EXPECT_EQ(calls, 3);
    EXPECT_FALSE(err.empty());
  }
}

}  // namespace
