// SPDX-License-Identifier: MIT
// tiff_codec_test.cc - the TIFF codec against files libtiff writes here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/formats.h"
#include "tests/test_util.h"

namespace {

using pellimor::image;
using pellimor::image_info;
using pellimor::sample_type;
namespace codecs = pellimor::codecs;

// How a test file stores its samples.
struct tiff_kind {
  sample_type type = sample_type::u8;
  int channels = 3;
  bool tiled = false;
  bool planar = false;
  std::uint16_t compression = COMPRESSION_NONE;
};

// Extra tags and overrides for one file.
struct tiff_extras {
  int photometric = -1;  // -1: from the channel count
  std::uint16_t extra_sample = EXTRASAMPLE_UNASSALPHA;
  std::uint16_t orientation = 0;  // 0: no tag
  std::vector<std::uint8_t> icc;
  std::uint16_t bits = 0;                 // 0: from the sample type; else packed grey of this depth
  std::vector<std::uint16_t> colour_map;  // red, green, blue, each 2^bits entries
};

image random_image(std::int32_t width, std::int32_t height, int channels, sample_type type, unsigned seed) {
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
    } else if (type == sample_type::f32) {
      const float v = static_cast<float>(rng() % 3000) / 1000.0f - 1.0f;  // some outside 0..1
      std::memcpy(img.pixels.data() + 4 * i, &v, 4);
    } else {
      const double v = static_cast<double>(rng() % 3000) / 1000.0 - 1.0;
      std::memcpy(img.pixels.data() + 8 * i, &v, 8);
    }
  }
  return img;
}

// A smooth picture, so that JPEG keeps it close.
image gradient_image(std::int32_t width, std::int32_t height) {
  image img;
  img.width = width;
  img.height = height;
  img.channels = 3;
  img.allocate();
  for (std::int32_t y = 0; y < height; ++y)
    for (std::int32_t x = 0; x < width; ++x) {
      std::uint8_t* p = img.row(y) + 3 * x;
      p[0] = static_cast<std::uint8_t>(4 * x);
      p[1] = static_cast<std::uint8_t>(5 * y);
      p[2] = static_cast<std::uint8_t>(128 + 2 * (x - y));
    }
  return img;
}

// The samples of `img` as a TIFF file libtiff writes with `kind`. Packed
// depths (extras.bits < 8) store one grey sample of that many bits per
// pixel, taken from the low bits of img's 8-bit samples.
std::string write_tiff(const image& img, const tiff_kind& kind, const tiff_extras& extras = {}) {
  test_util::temp_dir dir;
  const std::string path = dir.file("t.tif");
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  EXPECT_NE(tif, nullptr);
  const std::uint16_t bits =
      extras.bits != 0 ? extras.bits : static_cast<std::uint16_t>(8 * pellimor::sample_bytes(kind.type));
  const int spp = img.channels;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, img.width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, img.height);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
  TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT,
               pellimor::is_float(kind.type) ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT);
  const int photometric = extras.photometric >= 0 ? extras.photometric
                          : spp >= 3              ? PHOTOMETRIC_RGB
                                                  : PHOTOMETRIC_MINISBLACK;
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, kind.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, kind.compression);
  if (kind.compression == COMPRESSION_JPEG) {
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
    TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    TIFFSetField(tif, TIFFTAG_JPEGQUALITY, 95);
  }
  if (spp == 2 || spp == 4) {
    const std::uint16_t extra[] = {extras.extra_sample};
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
  }
  if (extras.orientation != 0) TIFFSetField(tif, TIFFTAG_ORIENTATION, extras.orientation);
  if (!extras.icc.empty())
    TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(extras.icc.size()), extras.icc.data());
  if (!extras.colour_map.empty()) {
    const std::size_t n = extras.colour_map.size() / 3;
    TIFFSetField(tif, TIFFTAG_COLORMAP, extras.colour_map.data(), extras.colour_map.data() + n,
                 extras.colour_map.data() + 2 * n);
  }
  // JPEG needs whole 16-row blocks.
  std::uint32_t block_width = img.width, block_height = kind.compression == COMPRESSION_JPEG ? 16 : 8;
  if (kind.tiled) {
    block_width = block_height = 16;
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, block_width);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, block_height);
  } else {
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, block_height);
  }

  const std::size_t bytes = bits / 8;
  const int planes = kind.planar ? spp : 1, row_samples = kind.planar ? 1 : spp;
  const std::size_t row_bytes = (static_cast<std::size_t>(block_width) * row_samples * bits + 7) / 8;
  std::uint32_t index = 0;
  for (int plane = 0; plane < planes; ++plane)
    for (std::uint32_t y0 = 0; y0 < static_cast<std::uint32_t>(img.height); y0 += block_height)
      for (std::uint32_t x0 = 0; x0 < static_cast<std::uint32_t>(img.width); x0 += block_width, ++index) {
        const std::uint32_t rows =
            kind.tiled ? block_height : std::min<std::uint32_t>(block_height, img.height - y0);
        std::vector<std::uint8_t> block(row_bytes * rows, 0);
        for (std::uint32_t r = 0; r < rows && y0 + r < static_cast<std::uint32_t>(img.height); ++r)
          for (std::uint32_t c = 0; c < block_width && x0 + c < static_cast<std::uint32_t>(img.width); ++c)
            for (int s = 0; s < row_samples; ++s) {
              const int sample = kind.planar ? plane : s;
              const std::uint8_t* from = img.row(y0 + r) + ((x0 + c) * spp + sample) * (bits < 8 ? 1 : bytes);
              std::uint8_t* row = block.data() + row_bytes * r;
              if (bits < 8) {
                const std::size_t bit = (c * row_samples + s) * bits;
                row[bit / 8] |=
                    static_cast<std::uint8_t>((*from & ((1u << bits) - 1)) << (8 - bits - bit % 8));
              } else {
                std::memcpy(row + (c * row_samples + s) * bytes, from, bytes);
              }
            }
        const tmsize_t written = kind.tiled ? TIFFWriteEncodedTile(tif, index, block.data(), block.size())
                                            : TIFFWriteEncodedStrip(tif, index, block.data(), block.size());
        EXPECT_GE(written, 0);
      }
  TIFFClose(tif);
  return test_util::read_file(path);
}

// Decodes from a buffer of exactly the file's size, so that a sanitizer
// sees any read past it.
bool decode(const std::string& file, image* out, std::string* err) {
  const std::vector<std::uint8_t> bytes(file.begin(), file.end());
  return codecs::tiff_decode(bytes.data(), bytes.size(), out, err);
}

std::string encode(const image& img) {
  std::string file, err;
  const bool ok = codecs::tiff_encode(
      img, {},
      [&](const std::uint8_t* p, std::size_t n) {
        return file.append(reinterpret_cast<const char*>(p), n), true;
      },
      &err);
  EXPECT_TRUE(ok) << err;
  return file;
}

const char* type_name(sample_type type) { return pellimor::sample_type_name(type); }

TEST(TiffDecode, ReadsWhatLibtiffWroteForEveryLayout) {
  const struct {
    const char* name;
    std::uint16_t compression;
  } compressions[] = {{"none", COMPRESSION_NONE},
                      {"lzw", COMPRESSION_LZW},
                      {"deflate", COMPRESSION_ADOBE_DEFLATE},
                      {"packbits", COMPRESSION_PACKBITS}};
  unsigned seed = 1;
  for (sample_type type : {sample_type::u8, sample_type::u16, sample_type::f32, sample_type::f64})
    for (int channels = 1; channels <= 4; ++channels)
      for (bool tiled : {false, true})
        for (bool planar : {false, true})
          for (const auto& compression : compressions) {
            const tiff_kind kind{type, channels, tiled, planar, compression.compression};
            SCOPED_TRACE(std::string(type_name(type)) + " channels " + std::to_string(channels) +
                         (tiled ? " tiles" : " strips") + (planar ? " planar " : " chunky ") +
                         compression.name);
            const image img = random_image(37, 21, channels, type, seed++);
            const std::string file = write_tiff(img, kind);
            image_info info;
            std::string err;
            ASSERT_TRUE(codecs::tiff_info(reinterpret_cast<const std::uint8_t*>(file.data()), file.size(),
                                          &info, &err))
                << err;
            EXPECT_EQ(info.width, 37);
            EXPECT_EQ(info.height, 21);
            EXPECT_EQ(info.channels, channels);
            EXPECT_EQ(info.type, type);
            image out;  // decoded into room holding 0xa5, where an unwritten sample would show
            out.pixels.assign(img.pixels.size() + 64, 0xa5);
            out.pixels.clear();
            ASSERT_TRUE(decode(file, &out, &err)) << err;
            EXPECT_EQ(out.channels, channels);
            EXPECT_EQ(out.type, type);
            EXPECT_TRUE(out.pixels == img.pixels);
            EXPECT_TRUE(out.icc.empty());
            EXPECT_EQ(out.orientation, 1);
          }
}

TEST(TiffDecode, JpegCompressedYcbcrComesOutAsRgb) {
  for (bool tiled : {false, true}) {
    SCOPED_TRACE(tiled ? "tiles" : "strips");
    const image img = gradient_image(48, 32);
    const std::string file = write_tiff(img, {sample_type::u8, 3, tiled, false, COMPRESSION_JPEG});
    image out;
    std::string err;
    ASSERT_TRUE(decode(file, &out, &err)) << err;
    ASSERT_EQ(out.channels, 3);
    ASSERT_EQ(out.pixels.size(), img.pixels.size());
    int worst = 0;
    for (std::size_t i = 0; i < img.pixels.size(); ++i)
      worst = std::max(worst, std::abs(int{out.pixels[i]} - int{img.pixels[i]}));
    EXPECT_LE(worst, 12);  // a swapped channel or raw YCbCr would be far off
  }
}

TEST(TiffDecode, PackedGreyExpandsToEightBits) {
  const struct {
    std::uint16_t bits;
    std::uint16_t photometric;
  } cases[] = {{1, PHOTOMETRIC_MINISBLACK},
               {2, PHOTOMETRIC_MINISBLACK},
               {4, PHOTOMETRIC_MINISBLACK},
               {1, PHOTOMETRIC_MINISWHITE},
               {4, PHOTOMETRIC_MINISWHITE}};
  for (const auto& c : cases)
    for (bool tiled : {false, true}) {
      SCOPED_TRACE(std::to_string(c.bits) + " bits, photometric " + std::to_string(c.photometric) +
                   (tiled ? " tiles" : " strips"));
      const image img = random_image(19, 11, 1, sample_type::u8, c.bits + 10);
      tiff_extras extras;
      extras.bits = c.bits;
      extras.photometric = c.photometric;
      const std::string file = write_tiff(img, {sample_type::u8, 1, tiled, false, COMPRESSION_NONE}, extras);
      image out;
      std::string err;
      ASSERT_TRUE(decode(file, &out, &err)) << err;
      ASSERT_EQ(out.pixels.size(), img.pixels.size());
      const int max = (1 << c.bits) - 1;
      for (std::size_t i = 0; i < img.pixels.size(); ++i) {
        int expect = (img.pixels[i] & max) * 255 / max;
        if (c.photometric == PHOTOMETRIC_MINISWHITE) expect = 255 - expect;
        ASSERT_EQ(out.pixels[i], expect) << "sample " << i;
      }
    }
}

TEST(TiffDecode, MinIsWhiteInvertsEveryType) {
  for (sample_type type : {sample_type::u8, sample_type::u16, sample_type::f32}) {
    SCOPED_TRACE(type_name(type));
    image img = random_image(9, 5, 1, type, 7);
    tiff_extras extras;
    extras.photometric = PHOTOMETRIC_MINISWHITE;
    image out;
    std::string err;
    ASSERT_TRUE(decode(write_tiff(img, {type, 1}, extras), &out, &err)) << err;
    for (std::int32_t y = 0; y < 5; ++y)
      for (std::int32_t x = 0; x < 9; ++x) {
        const std::size_t at =
            static_cast<std::size_t>(y) * img.row_bytes() + x * pellimor::sample_bytes(type);
        if (type == sample_type::u8) {
          EXPECT_EQ(out.pixels[at], 255 - img.pixels[at]);
        } else if (type == sample_type::u16) {
          std::uint16_t a, b;
          std::memcpy(&a, img.pixels.data() + at, 2);
          std::memcpy(&b, out.pixels.data() + at, 2);
          EXPECT_EQ(b, 65535 - a);
        } else {
          float a, b;
          std::memcpy(&a, img.pixels.data() + at, 4);
          std::memcpy(&b, out.pixels.data() + at, 4);
          EXPECT_FLOAT_EQ(b, 1.0f - a);
        }
      }
  }
}

TEST(TiffDecode, PaletteExpandsToRgb) {
  const struct {
    std::uint16_t bits;
    bool eight_bit_map;  // entries stored as 0..255, as some old writers do
  } cases[] = {{4, false}, {8, false}, {8, true}, {16, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + (c.eight_bit_map ? " bits, 8-bit map" : " bits"));
    const std::size_t n = std::size_t{1} << c.bits;
    tiff_extras extras;
    extras.photometric = PHOTOMETRIC_PALETTE;
    extras.bits = c.bits < 8 ? c.bits : 0;
    extras.colour_map.resize(3 * n);
    std::mt19937 rng(c.bits);
    for (auto& v : extras.colour_map) v = static_cast<std::uint16_t>(c.eight_bit_map ? rng() % 256 : rng());
    const sample_type type = c.bits == 16 ? sample_type::u16 : sample_type::u8;
    const image indices = random_image(13, 7, 1, type, 3);
    image out;
    std::string err;
    ASSERT_TRUE(decode(write_tiff(indices, {type, 1}, extras), &out, &err)) << err;
    ASSERT_EQ(out.channels, 3);
    ASSERT_EQ(out.type, type);
    for (std::size_t i = 0; i < std::size_t{13} * 7; ++i) {
      std::size_t index;
      if (c.bits == 16) {
        std::uint16_t v;
        std::memcpy(&v, indices.pixels.data() + 2 * i, 2);
        index = v;
      } else {
        index = indices.pixels[i] & (n - 1);
      }
      for (int ch = 0; ch < 3; ++ch) {
        const std::uint16_t entry = extras.colour_map[ch * n + index];
        if (c.bits == 16) {
          std::uint16_t v;
          std::memcpy(&v, out.pixels.data() + 2 * (3 * i + ch), 2);
          ASSERT_EQ(v, entry);
        } else {
          const long expect = c.eight_bit_map ? entry : std::lround(entry * 255.0 / 65535.0);
          ASSERT_EQ(out.pixels[3 * i + ch], expect) << "pixel " << i << " channel " << ch;
        }
      }
    }
  }
}

TEST(TiffDecode, ExtraSamplesByKind) {
  // RGB plus one extra sample of each kind, 8 bits.
  image img = random_image(6, 4, 4, sample_type::u8, 9);
  img.row(0)[3] = 0;  // an associated-alpha pixel with alpha 0
  for (int c = 0; c < 3; ++c) img.row(0)[c] = 0;
  // Premultiplied colours for the associated case: c * a / 255, rounded.
  image premultiplied = img;
  for (std::size_t i = 0; i < premultiplied.pixels.size(); i += 4)
    for (int c = 0; c < 3; ++c)
      premultiplied.pixels[i + c] =
          static_cast<std::uint8_t>((img.pixels[i + c] * img.pixels[i + 3] + 127) / 255);

  {
    SCOPED_TRACE("unassociated alpha");
    image out;
    std::string err;
    ASSERT_TRUE(decode(write_tiff(img, {}, {}), &out, &err)) << err;
    EXPECT_EQ(out.channels, 4);
    EXPECT_TRUE(out.pixels == img.pixels);
  }
  {
    SCOPED_TRACE("unspecified extra sample dropped");
    tiff_extras extras;
    extras.extra_sample = EXTRASAMPLE_UNSPECIFIED;
    image out;
    std::string err;
    ASSERT_TRUE(decode(write_tiff(img, {}, extras), &out, &err)) << err;
    ASSERT_EQ(out.channels, 3);
    for (std::size_t p = 0; p < 24; ++p)
      for (int c = 0; c < 3; ++c) ASSERT_EQ(out.pixels[3 * p + c], img.pixels[4 * p + c]);
  }
  {
    SCOPED_TRACE("associated alpha made straight");
    tiff_extras extras;
    extras.extra_sample = EXTRASAMPLE_ASSOCALPHA;
    image out;
    std::string err;
    ASSERT_TRUE(decode(write_tiff(premultiplied, {}, extras), &out, &err)) << err;
    ASSERT_EQ(out.channels, 4);
    for (std::size_t i = 0; i < img.pixels.size(); i += 4) {
      const int alpha = img.pixels[i + 3];
      ASSERT_EQ(out.pixels[i + 3], alpha);
      for (int c = 0; c < 3; ++c) {
        if (alpha == 0) {
          EXPECT_EQ(out.pixels[i + c], 0);
        } else {  // premultiplying lost up to half a level of c * a / 255
          EXPECT_LE(std::abs(out.pixels[i + c] - img.pixels[i + c]), 127 / alpha + 1) << "alpha " << alpha;
        }
      }
    }
  }
}

TEST(TiffDecode, AssociatedAlphaIsDividedOutRounded) {
  // colour * full scale / alpha to the nearest level: 1 * 255 / 2 = 127.5
  // reads 128, 3 * 255 / 4 = 191.25 reads 191.
  const struct {
    sample_type type;
    std::uint16_t colour, alpha, straight;
  } cases[] = {{sample_type::u8, 1, 2, 128},
               {sample_type::u8, 3, 4, 191},
               {sample_type::u16, 1, 2, 32768},
               {sample_type::u16, 3, 4, 49151}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(type_name(c.type)) + " colour " + std::to_string(c.colour) + " alpha " +
                 std::to_string(c.alpha));
    image img;
    img.width = img.height = 1;
    img.channels = 2;
    img.type = c.type;
    img.allocate();
    const std::size_t bytes = pellimor::sample_bytes(c.type);
    const std::uint16_t samples[] = {c.colour, c.alpha};
    for (int i = 0; i < 2; ++i)
      if (bytes == 1)
        img.pixels[i] = static_cast<std::uint8_t>(samples[i]);
      else
        std::memcpy(img.pixels.data() + 2 * i, &samples[i], 2);
    tiff_extras extras;
    extras.extra_sample = EXTRASAMPLE_ASSOCALPHA;
    image out;
    std::string err;
    ASSERT_TRUE(decode(write_tiff(img, {c.type, 2}, extras), &out, &err)) << err;
    ASSERT_EQ(out.channels, 2);
    std::uint16_t got[2] = {out.pixels[0], out.pixels[1]};
    if (bytes == 2) std::memcpy(got, out.pixels.data(), 4);
    EXPECT_EQ(got[0], c.straight);
    EXPECT_EQ(got[1], c.alpha);
  }
}

TEST(TiffDecode, OrientationAndIccAreReported) {
  std::vector<std::uint8_t> icc(517);
  for (std::size_t i = 0; i < icc.size(); ++i) icc[i] = static_cast<std::uint8_t>(i * 7 + 3);
  for (std::uint16_t orientation : {1, 3, 6, 8}) {
    SCOPED_TRACE("orientation " + std::to_string(orientation));
    tiff_extras extras;
    extras.orientation = orientation;
    extras.icc = icc;
    const std::string file = write_tiff(random_image(5, 3, 3, sample_type::u8, 4), {}, extras);
    image_info info;
    std::string err;
    ASSERT_TRUE(
        codecs::tiff_info(reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), &info, &err));
    EXPECT_EQ(info.orientation, orientation);
    image out;
    ASSERT_TRUE(decode(file, &out, &err)) << err;
    EXPECT_EQ(out.orientation, orientation);
    EXPECT_EQ(out.width, 5);  // reported, not applied
    EXPECT_TRUE(out.icc == icc);
  }
}

TEST(TiffDecode, EachPageOnItsOwn) {
  test_util::temp_dir dir;
  const std::string path = dir.file("pages.tif");
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  for (std::uint32_t page = 0; page < 3; ++page) {
    const std::uint32_t width = 3 + page;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 2);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    std::vector<std::uint8_t> rows(2 * width, static_cast<std::uint8_t>(100 + page));
    TIFFWriteEncodedStrip(tif, 0, rows.data(), rows.size());
    TIFFWriteDirectory(tif);
  }
  TIFFClose(tif);
  const std::string file = test_util::read_file(path);
  const auto* data = reinterpret_cast<const std::uint8_t*>(file.data());
  EXPECT_EQ(codecs::tiff_pages(data, file.size()), 3);
  image out;
  std::string err;
  ASSERT_TRUE(decode(file, &out, &err)) << err;  // the first unless told
  EXPECT_EQ(out.width, 3);
  for (int page = 0; page < 3; ++page) {
    SCOPED_TRACE(page);
    image_info info;
    ASSERT_TRUE(codecs::tiff_info_page(data, file.size(), page, &info, &err)) << err;
    EXPECT_EQ(info.width, 3 + page);
    ASSERT_TRUE(codecs::tiff_decode_page(data, file.size(), page, &out, &err)) << err;
    EXPECT_EQ(out.pixels, std::vector<std::uint8_t>(2 * (3 + page), static_cast<std::uint8_t>(100 + page)));
  }
  EXPECT_FALSE(codecs::tiff_decode_page(data, file.size(), 3, &out, &err));
  EXPECT_NE(err.find("no page 4"), std::string::npos) << err;
}

TEST(TiffDecode, RefusesDamagedAndUnsupportedFiles) {
  const image img = random_image(40, 30, 3, sample_type::u8, 5);
  for (std::uint16_t compression : {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE}) {
    SCOPED_TRACE("compression " + std::to_string(compression));
    const std::string file = write_tiff(img, {sample_type::u8, 3, false, false, compression});
    image out;
    std::string err;
    ASSERT_TRUE(decode(file, &out, &err)) << err;
    // libtiff puts the directory last: every shorter file lacks part of it
    // or of the strips.
    // libtiff's complaints come back in err, never on the terminal.
    testing::internal::CaptureStderr();
    for (std::size_t length = 0; length < file.size(); length += 1 + length / 16) {
      image cut;
      err.clear();
      EXPECT_FALSE(decode(file.substr(0, length), &cut, &err)) << "length " << length;
      EXPECT_FALSE(err.empty());
      EXPECT_TRUE(cut.pixels.empty());
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
  {
    SCOPED_TRACE("deflate stream with flipped bytes");
    std::string file = write_tiff(img, {sample_type::u8, 3, false, false, COMPRESSION_ADOBE_DEFLATE});
    for (std::size_t at = 20; at < 60; ++at) file[at] = static_cast<char>(file[at] ^ 0x5a);
    image out;
    std::string err;
    EXPECT_FALSE(decode(file, &out, &err));
    EXPECT_NE(err.find("TIFF"), std::string::npos) << err;
  }
  for (std::uint16_t compression : {COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE, COMPRESSION_PACKBITS}) {
    SCOPED_TRACE("a 20000 x 20000 strip in 12 bytes, compression " + std::to_string(compression));
    test_util::temp_dir dir;
    const std::string path = dir.file("huge.tif");
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 20000);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 20000);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 20000);
    const char raw[12] = {0x78, 0x01};
    TIFFWriteRawStrip(tif, 0, const_cast<char*>(raw), sizeof raw);
    TIFFClose(tif);
    image out;
    std::string err;
    EXPECT_FALSE(decode(test_util::read_file(path), &out, &err));
    EXPECT_NE(err.find("too few for the 400000000"), std::string::npos) << err;
  }
  const struct {
    const char* name;
    std::uint16_t format, bits, photometric;
    const char* reason;
  } unsupported[] = {
      {"signed 16-bit", SAMPLEFORMAT_INT, 16, PHOTOMETRIC_MINISBLACK, "unsupported TIFF samples"},
      {"16-bit float", SAMPLEFORMAT_IEEEFP, 16, PHOTOMETRIC_MINISBLACK, "unsupported TIFF samples"},
      {"separated, inks not CMYK", SAMPLEFORMAT_UINT, 8, PHOTOMETRIC_SEPARATED, "inks other than CMYK"},
      {"uncompressed YCbCr", SAMPLEFORMAT_UINT, 8, PHOTOMETRIC_YCBCR, "YCbCr"},
  };
  for (const auto& c : unsupported) {
    SCOPED_TRACE(c.name);
    test_util::temp_dir dir;
    const std::string path = dir.file("u.tif");
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    const int spp = c.photometric == PHOTOMETRIC_SEPARATED ? 4 : c.photometric == PHOTOMETRIC_YCBCR ? 3 : 1;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 4);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 2);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, c.bits);
    TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, c.format);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, c.photometric);
    if (c.photometric == PHOTOMETRIC_YCBCR) TIFFSetField(tif, TIFFTAG_YCBCRSUBSAMPLING, 1, 1);
    if (c.photometric == PHOTOMETRIC_SEPARATED) TIFFSetField(tif, TIFFTAG_INKSET, INKSET_MULTIINK);
    std::vector<std::uint8_t> rows(4 * 2 * spp * c.bits / 8, 7);
    TIFFWriteEncodedStrip(tif, 0, rows.data(), rows.size());
    TIFFClose(tif);
    image out;
    std::string err;
    EXPECT_FALSE(decode(test_util::read_file(path), &out, &err));
    EXPECT_NE(err.find(c.reason), std::string::npos) << err;
  }
}

// Where one strip or tile lies in the data after a file's header.
struct byte_range {
  std::uint32_t offset, length;
};

// A little-endian grey TIFF (uncompressed and 8-bit unless told) of width x height pixels
// in strips of `block` rows, or block x block tiles, each at its range of
// `data` (which follows the 8-byte header). Two ranges or more: one would
// sit in its directory entry.
std::string tiff_of_ranges(std::uint32_t width, std::uint32_t height, bool tiled, std::uint32_t block,
                           const std::string& data, const std::vector<byte_range>& ranges,
                           std::uint16_t compression = COMPRESSION_NONE, std::uint16_t bits = 8) {
  const std::uint32_t offsets_at = 8 + static_cast<std::uint32_t>(data.size());
  const std::uint32_t counts_at = offsets_at + 4 * static_cast<std::uint32_t>(ranges.size());
  const std::uint32_t directory_at = counts_at + 4 * static_cast<std::uint32_t>(ranges.size());
  const std::uint32_t n = static_cast<std::uint32_t>(ranges.size());
  struct entry {
    std::uint16_t tag, type;
    std::uint32_t count, value;
  };
  std::vector<entry> entries = {{TIFFTAG_IMAGEWIDTH, TIFF_LONG, 1, width},
                                {TIFFTAG_IMAGELENGTH, TIFF_LONG, 1, height},
                                {TIFFTAG_BITSPERSAMPLE, TIFF_SHORT, 1, bits},
                                {TIFFTAG_COMPRESSION, TIFF_SHORT, 1, compression},
                                {TIFFTAG_PHOTOMETRIC, TIFF_SHORT, 1, PHOTOMETRIC_MINISBLACK}};
  if (tiled) {
    entries.insert(entries.end(), {{TIFFTAG_SAMPLESPERPIXEL, TIFF_SHORT, 1, 1},
                                   {TIFFTAG_TILEWIDTH, TIFF_LONG, 1, block},
                                   {TIFFTAG_TILELENGTH, TIFF_LONG, 1, block},
                                   {TIFFTAG_TILEOFFSETS, TIFF_LONG, n, offsets_at},
                                   {TIFFTAG_TILEBYTECOUNTS, TIFF_LONG, n, counts_at}});
  } else {
    entries.insert(entries.end(), {{TIFFTAG_STRIPOFFSETS, TIFF_LONG, n, offsets_at},
                                   {TIFFTAG_SAMPLESPERPIXEL, TIFF_SHORT, 1, 1},
                                   {TIFFTAG_ROWSPERSTRIP, TIFF_LONG, 1, block},
                                   {TIFFTAG_STRIPBYTECOUNTS, TIFF_LONG, n, counts_at}});
  }
  std::string file = std::string("II*\0", 4) + std::string(4, '\0') + data +
                     std::string(8 * ranges.size() + 2 + 12 * entries.size() + 4, '\0');
  test_util::put_le(&file, 4, directory_at, 4);
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    test_util::put_le(&file, offsets_at + 4 * i, 8 + ranges[i].offset, 4);
    test_util::put_le(&file, counts_at + 4 * i, ranges[i].length, 4);
  }
  test_util::put_le(&file, directory_at, entries.size(), 2);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t at = directory_at + 2 + 12 * i;
    test_util::put_le(&file, at, entries[i].tag, 2);
    test_util::put_le(&file, at + 2, entries[i].type, 2);
    test_util::put_le(&file, at + 4, entries[i].count, 4);
    test_util::put_le(&file, at + 8, entries[i].value, 4);
  }
  return file;
}

TEST(TiffDecode, RefusesBlocksSharingBytesAlreadyInTheHeader) {
  // Four 8 x 1 strips, or two 16 x 16 tiles, each reading its range of
  // these samples.
  std::string data(512, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 1);
  const struct {
    const char* name;
    bool tiled;
    std::vector<byte_range> ranges;
    const char* reason;  // nullptr: read
  } cases[] = {
      {"strips sharing one block", false, {{0, 8}, {0, 8}, {0, 8}, {0, 8}}, "strips 0 and 1 share bytes"},
      {"tiles sharing one block", true, {{0, 256}, {0, 256}}, "tiles 0 and 1 share bytes"},
      {"strips overlapping by 4 bytes, out of order",
       false,
       {{8, 8}, {16, 8}, {0, 8}, {20, 8}},
       "strips 1 and 3 share bytes"},
      {"a strip inside a longer one",
       false,
       {{4, 8}, {0, 32}, {32, 8}, {40, 8}},
       "strips 0 and 1 share bytes"},
      {"strips that touch, out of order", false, {{24, 8}, {16, 8}, {8, 8}, {0, 8}}, nullptr},
      {"tiles that touch", true, {{256, 256}, {0, 256}}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint32_t width = c.tiled ? 32 : 8, height = c.tiled ? 16 : 4;
    const std::string file = tiff_of_ranges(width, height, c.tiled, c.tiled ? 16 : 1, data, c.ranges);
    image_info info;
    std::string err;
    const bool known =
        codecs::tiff_info(reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), &info, &err);
    image out;
    std::string decode_err;
    const bool read = decode(file, &out, &decode_err);
    if (c.reason != nullptr) {
      EXPECT_FALSE(known);
      EXPECT_NE(err.find(c.reason), std::string::npos) << err;
      EXPECT_NE(err.find("of the file"), std::string::npos) << err;
      EXPECT_FALSE(read);
      EXPECT_EQ(decode_err, err);
      EXPECT_TRUE(out.pixels.empty());
      continue;
    }
    ASSERT_TRUE(known) << err;
    ASSERT_TRUE(read) << decode_err;
    ASSERT_EQ(out.pixels.size(), std::size_t{width} * height);
    // Block b's pixels are the bytes of its range, row by row.
    const std::uint32_t block_width = c.tiled ? 16 : 8, block_height = c.tiled ? 16 : 1;
    for (std::size_t b = 0; b < c.ranges.size(); ++b)
      for (std::uint32_t y = 0; y < block_height; ++y)
        for (std::uint32_t x = 0; x < block_width; ++x) {
          const std::uint32_t x0 = c.tiled ? 16 * static_cast<std::uint32_t>(b) : 0;
          const std::uint32_t y0 = c.tiled ? 0 : static_cast<std::uint32_t>(b);
          ASSERT_EQ(out.pixels[(y0 + y) * width + x0 + x],
                    static_cast<std::uint8_t>(data[c.ranges[b].offset + y * block_width + x]))
              << "block " << b << " x " << x << " y " << y;
        }
  }
}

TEST(TiffDecode, EveryCompressionBoundsWhatAStripCanHold) {
  // Two strips of 40000 x 20000 samples (40000 x 2500 bytes at 1 bit):
  // refused from the header one byte short of the compression's bound,
  // taken at it. A JPEG strip of 281 bytes made 1.6 GB of zeros.
  const struct {
    const char* name;
    std::uint16_t compression, bits;
    std::uint64_t ratio;
  } cases[] = {
      {"none", COMPRESSION_NONE, 8, 1},
      {"deflate", COMPRESSION_ADOBE_DEFLATE, 8, 1032},
      {"LZW", COMPRESSION_LZW, 8, 3641},
      {"PackBits", COMPRESSION_PACKBITS, 8, 64},
      {"JPEG", COMPRESSION_JPEG, 8, 2048},
      {"CCITT group 4, a bit a row", COMPRESSION_CCITTFAX4, 1, 8 * 5000 + 8},
      {"zstd", COMPRESSION_ZSTD, 8, 65536},
      {"LZMA", COMPRESSION_LZMA, 8, 65536},
  };
  for (const auto& c : cases) {
    if (!TIFFIsCODECConfigured(c.compression)) continue;
    SCOPED_TRACE(c.name);
    const std::uint64_t decoded = std::uint64_t{40000} * 20000 * c.bits / 8;
    const std::uint64_t least = (decoded + c.ratio - 1) / c.ratio;
    if (least > (4u << 20)) continue;  // a file too large for a unit test
    for (const std::uint64_t length : {least - 1, least}) {
      const auto n = static_cast<std::uint32_t>(length);
      const std::string file = tiff_of_ranges(40000, 40000, false, 20000, std::string(2 * length, '\x55'),
                                              {{0, n}, {n, n}}, c.compression, c.bits);
      image_info info;
      std::string err;
      const bool known =
          codecs::tiff_info(reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), &info, &err);
      if (length < least) {
        EXPECT_FALSE(known);
        EXPECT_NE(err.find("strip 0 has " + std::to_string(length) + " bytes, too few for the " +
                           std::to_string(decoded)),
                  std::string::npos)
            << err;
      } else {
        EXPECT_TRUE(known) << err;
      }
    }
  }
}

TEST(TiffEncode, RoundTripsEveryTypeAndChannelCount) {
  unsigned seed = 50;
  for (sample_type type : {sample_type::u8, sample_type::u16, sample_type::f32, sample_type::f64})
    for (int channels = 1; channels <= 4; ++channels) {
      SCOPED_TRACE(std::string(type_name(type)) + " channels " + std::to_string(channels));
      // Tall enough for several strips.
      image img = random_image(301, 257, channels, type, seed++);
      img.icc = {1, 2, 3, 0, 255};
      img.orientation = channels;  // 1 writes no tag
      const std::string file = encode(img);
      image out;
      std::string err;
      ASSERT_TRUE(decode(file, &out, &err)) << err;
      EXPECT_EQ(out.width, img.width);
      EXPECT_EQ(out.height, img.height);
      EXPECT_EQ(out.channels, channels);
      EXPECT_EQ(out.orientation, img.orientation);
      EXPECT_TRUE(out.icc == img.icc);
      if (type != sample_type::f64) {
        EXPECT_EQ(out.type, type);
        EXPECT_TRUE(out.pixels == img.pixels);
      } else {
        ASSERT_EQ(out.type, sample_type::f32);
        const std::size_t n = img.pixels.size() / 8;
        ASSERT_EQ(out.pixels.size(), 4 * n);
        for (std::size_t i = 0; i < n; ++i) {
          double a;
          float b;
          std::memcpy(&a, img.pixels.data() + 8 * i, 8);
          std::memcpy(&b, out.pixels.data() + 4 * i, 4);
          ASSERT_EQ(b, static_cast<float>(a));
        }
      }
      // Alpha is stored as unassociated, which other readers rely on.
      test_util::temp_dir dir;
      test_util::write_file(dir.file("e.tif"), file);
      TIFF* tif = TIFFOpen(dir.file("e.tif").c_str(), "r");
      ASSERT_NE(tif, nullptr);
      std::uint16_t count = 0;
      const std::uint16_t* kinds = nullptr;
      const bool has_extra = TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &count, &kinds) && count > 0;
      EXPECT_EQ(has_extra, img.has_alpha());
      if (has_extra) {
        EXPECT_EQ(kinds[0], EXTRASAMPLE_UNASSALPHA);
      }
      TIFFClose(tif);
    }
}

TEST(TiffEncode, SinkRefusalIsAnError) {
  const image img = random_image(4, 4, 3, sample_type::u8, 1);
  std::string err;
  EXPECT_FALSE(codecs::tiff_encode(
      img, {}, [](const std::uint8_t*, std::size_t) { return false; }, &err));
  EXPECT_FALSE(err.empty());
}

// A new, empty file open for reading and writing, gone once closed.
struct scratch_file {
  std::FILE* file = std::tmpfile();
  int fd = file != nullptr ? fileno(file) : -1;
  scratch_file() = default;
  scratch_file(const scratch_file&) = delete;
  scratch_file& operator=(const scratch_file&) = delete;
  ~scratch_file() {
    if (file != nullptr) std::fclose(file);
  }
  std::string bytes() const {
    std::string out;
    char buffer[65536];
    for (off_t at = 0;;) {
      const ssize_t n = pread(fd, buffer, sizeof buffer, at);
      if (n <= 0) return out;
      out.append(buffer, static_cast<std::size_t>(n));
      at += n;
    }
  }
  off_t size() const {
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_size : -1;
  }
};

TEST(TiffEncode, StraightToAFileGivesTheBytesOfTheWholeFileWriter) {
  struct layout {
    const char* name;
    sample_type type;
    int channels;
    bool cmyk;
    bool meta;  // ICC profile, orientation, texts, XMP and density
    std::int32_t width, height;
  };
  const layout cases[] = {
      {"u8 grey", sample_type::u8, 1, false, false, 301, 257},
      {"u8 grey and alpha", sample_type::u8, 2, false, true, 64, 3},
      {"u8 RGB, one row", sample_type::u8, 3, false, false, 97, 1},
      {"u8 RGBA, many strips", sample_type::u8, 4, false, true, 700, 400},
      {"u8 CMYK", sample_type::u8, 4, true, true, 90, 70},
      {"u16 RGB", sample_type::u16, 3, false, true, 301, 257},
      {"u16 grey and alpha", sample_type::u16, 2, false, false, 33, 900},
      {"f32 RGBA", sample_type::f32, 4, false, true, 129, 300},
      {"f64 RGB, narrowed", sample_type::f64, 3, false, false, 211, 150},
  };
  unsigned seed = 70;
  for (const layout& c : cases) {
    SCOPED_TRACE(c.name);
    image img = random_image(c.width, c.height, c.channels, c.type, seed++);
    img.cmyk = c.cmyk;
    if (c.meta) {
      img.icc.assign(3000, 7);
      img.icc[1] = 9;
      img.orientation = 6;
      img.meta.texts = {{"Description", "a test picture"}, {"Creation Time", "2026:12:09 21:00:00"}};
      img.meta.xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
      img.meta.density_unit = 2;
      img.meta.x_density = 118;
      img.meta.y_density = 59;
    }
    const std::string whole = encode(img);
    ASSERT_GT(whole.size(), 8u);

    // Rows become ready a few at a time; by the time the last are asked
    // for, the strips before them must already be in the file.
    scratch_file out;
    ASSERT_GE(out.fd, 0);
    std::int32_t asked = 0;
    off_t size_before_last = -1;
    pellimor::encode_options options;
    options.rows_ready = [&](std::int32_t rows) {
      EXPECT_GE(rows, asked);  // in order
      asked = rows;
      if (rows == img.height) size_before_last = out.size();
      return true;
    };
    int write_error = -1;
    std::string err;
    ASSERT_TRUE(codecs::tiff_encode_file(img, options, out.fd, &write_error, &err)) << err;
    EXPECT_EQ(write_error, 0);
    EXPECT_EQ(asked, img.height);
    EXPECT_TRUE(out.bytes() == whole) << out.bytes().size() << " bytes against " << whole.size();
    const std::uint64_t row_bytes =
        static_cast<std::uint64_t>(img.row_bytes()) / (c.type == sample_type::f64 ? 2 : 1);
    if (row_bytes * static_cast<std::uint64_t>(img.height) > 2 * 256 * 1024) {
      EXPECT_GT(size_before_last, 8) << "nothing was written before the last rows were ready";
    }
  }
}

TEST(TiffEncode, StraightToAFileStopsWhereRowsOrTheFileFail) {
  const image img = random_image(400, 700, 3, sample_type::u8, 3);
  {
    SCOPED_TRACE("rows never ready");
    scratch_file out;
    pellimor::encode_options options;
    options.rows_ready = [&](std::int32_t rows) { return rows < img.height / 2; };
    int write_error = -1;
    std::string err;
    EXPECT_FALSE(codecs::tiff_encode_file(img, options, out.fd, &write_error, &err));
    EXPECT_EQ(err, "the image was not finished");
  }
  {
    SCOPED_TRACE("a full device");
    const int fd = open("/dev/full", O_RDWR | O_CLOEXEC);
    if (fd < 0) GTEST_SKIP() << "no /dev/full: " << std::strerror(errno);
    int write_error = 0;
    std::string err;
    EXPECT_FALSE(codecs::tiff_encode_file(img, {}, fd, &write_error, &err));
    EXPECT_EQ(write_error, ENOSPC) << err;
    close(fd);
  }
  {
    SCOPED_TRACE("a descriptor open for reading only");
    scratch_file out;
    const int fd = open(("/proc/self/fd/" + std::to_string(out.fd)).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int write_error = 0;
    std::string err;
    EXPECT_FALSE(codecs::tiff_encode_file(img, {}, fd, &write_error, &err));
    EXPECT_EQ(write_error, EBADF) << err;
    close(fd);
  }
}

TEST(TiffIs, KnowsBothByteOrdersAndBigTiff) {
  const struct {
    std::string head;
    bool is_tiff;
  } cases[] = {{std::string("II*\0", 4), true},  {std::string("MM\0*", 4), true},
               {std::string("II+\0", 4), true},  {std::string("MM\0+", 4), true},
               {std::string("II\0*", 4), false}, {std::string("BM\0\0", 4), false},
               {std::string("II*", 3), false}};
  for (const auto& c : cases)
    EXPECT_EQ(codecs::tiff_is(reinterpret_cast<const std::uint8_t*>(c.head.data()), c.head.size()), c.is_tiff)
        << testing::PrintToString(c.head);
}

}  // namespace
