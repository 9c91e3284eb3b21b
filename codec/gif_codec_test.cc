// SPDX-License-Identifier: MIT
// gif_codec_test.cc - the GIF reader against files giflib writes here:
// palettes, transparency, interlacing, frames inside the logical screen,
// animations and their disposal, damaged files and bombs.
#include <gif_lib.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/codec_test_util.h"

namespace {

using codec_test::bytes;
using codec_test::gif_frame;
using codec_test::make_gif;
using codec_test::palette16;
using pellimor::image;
using pellimor::image_format;
using pellimor::image_info;

gif_frame frame_of(int left, int top, int width, int height, unsigned seed) {
  gif_frame f;
  f.left = left;
  f.top = top;
  f.width = width;
  f.height = height;
  std::mt19937 rng(seed);
  for (int i = 0; i < width * height; ++i) f.indices.push_back(static_cast<std::uint8_t>(rng() % 16));
  return f;
}

gif_frame solid(int left, int top, int width, int height, int index) {
  gif_frame f = frame_of(left, top, width, height, 0);
  std::fill(f.indices.begin(), f.indices.end(), static_cast<std::uint8_t>(index));
  return f;
}

image decoded(const bytes& file, int page = 0) {
  image out;
  std::string err;
  EXPECT_TRUE(pellimor::decode_image(file.data(), file.size(), image_format::gif, &out, &err, page)) << err;
  return out;
}

// The RGBA a screen of `width` x `height` shows with `f` drawn on it
// (transparent elsewhere and at its transparent index).
std::vector<std::uint8_t> expected_rgba(int width, int height, const gif_frame& f) {
  const std::vector<GifColorType> colours = palette16();
  std::vector<std::uint8_t> out(static_cast<std::size_t>(width) * height * 4, 0);
  for (int y = 0; y < f.height; ++y)
    for (int x = 0; x < f.width; ++x) {
      const int index = f.indices[y * f.width + x];
      const int sx = f.left + x, sy = f.top + y;
      if (index == f.transparent || sx >= width || sy >= height) continue;
      std::uint8_t* p = &out[(static_cast<std::size_t>(sy) * width + sx) * 4];
      p[0] = colours[index].Red;
      p[1] = colours[index].Green;
      p[2] = colours[index].Blue;
      p[3] = 255;
    }
  return out;
}

std::vector<std::uint8_t> without_alpha(const std::vector<std::uint8_t>& rgba) {
  std::vector<std::uint8_t> rgb;
  for (std::size_t i = 0; i < rgba.size(); i += 4) rgb.insert(rgb.end(), &rgba[i], &rgba[i] + 3);
  return rgb;
}

TEST(GifDecode, PaletteTransparencyInterlaceAndPlacement) {
  const struct {
    const char* name;
    int screen_width, screen_height;
    gif_frame frame;
    int width, height, channels;  // what comes out
  } cases[] = {
      {"whole screen", 13, 11, frame_of(0, 0, 13, 11, 1), 13, 11, 3},
      {"interlaced", 13, 11,
       [] {
         auto f = frame_of(0, 0, 13, 11, 2);
         f.interlaced = true;
         return f;
       }(),
       13, 11, 3},
      {"interlaced, 2 rows", 5, 2,
       [] {
         auto f = frame_of(0, 0, 5, 2, 3);
         f.interlaced = true;
         return f;
       }(),
       5, 2, 3},
      {"transparent index", 9, 7,
       [] {
         auto f = frame_of(0, 0, 9, 7, 4);
         f.transparent = 5;
         return f;
       }(),
       9, 7, 4},
      {"interlaced and transparent", 9, 17,
       [] {
         auto f = frame_of(0, 0, 9, 17, 5);
         f.interlaced = true;
         f.transparent = 0;
         return f;
       }(),
       9, 17, 4},
      {"frame inside the screen", 10, 8, frame_of(5, 2, 4, 3, 6), 10, 8, 4},
      {"frame sticking out widens the screen", 4, 4, frame_of(2, 1, 4, 4, 7), 6, 5, 4},
      {"screen of no size", 0, 0, frame_of(0, 0, 3, 2, 8), 3, 2, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bytes file = make_gif(c.screen_width, c.screen_height, {c.frame});
    image_info info;
    std::string err;
    ASSERT_TRUE(pellimor::read_info(file.data(), file.size(), image_format::gif, &info, &err)) << err;
    EXPECT_EQ(info.width, c.width);
    EXPECT_EQ(info.height, c.height);
    EXPECT_EQ(info.channels, c.channels);
    EXPECT_EQ(pellimor::count_pages(file.data(), file.size(), image_format::gif), 1);
    const image out = decoded(file);
    ASSERT_EQ(out.channels, c.channels);
    const std::vector<std::uint8_t> want = expected_rgba(c.width, c.height, c.frame);
    EXPECT_TRUE(out.pixels == (c.channels == 4 ? want : without_alpha(want)));
  }
}

TEST(GifDecode, AnimationFramesAreDrawnAndDisposedOf) {
  // 4x4: frame 1 fills it with colour 1; frame 2 paints 2x2 at (1,1) in
  // colour 2, disposed of as `disposal`; frame 3 paints (0,0) in colour 3.
  const std::vector<GifColorType> colours = palette16();
  for (const int disposal : {DISPOSE_DO_NOT, DISPOSE_BACKGROUND, DISPOSE_PREVIOUS}) {
    SCOPED_TRACE(disposal);
    gif_frame second = solid(1, 1, 2, 2, 2);
    second.disposal = disposal;
    const bytes file = make_gif(4, 4, {solid(0, 0, 4, 4, 1), second, solid(0, 0, 1, 1, 3)});
    EXPECT_EQ(pellimor::count_pages(file.data(), file.size(), image_format::gif), 3);
    EXPECT_EQ(decoded(file, 0).channels, 3);
    const image third = decoded(file, 2);
    ASSERT_EQ(third.channels, disposal == DISPOSE_BACKGROUND ? 4 : 3);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x) {
        SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
        const bool in_second = x >= 1 && x <= 2 && y >= 1 && y <= 2;
        const int index = x == 0 && y == 0                              ? 3
                          : in_second && disposal == DISPOSE_DO_NOT     ? 2
                          : in_second && disposal == DISPOSE_BACKGROUND ? -1
                                                                        : 1;
        const std::uint8_t* p = third.row(y) + x * third.channels;
        if (index < 0) {
          EXPECT_EQ(p[3], 0);
          continue;
        }
        EXPECT_EQ(p[0], colours[index].Red);
        EXPECT_EQ(p[1], colours[index].Green);
        EXPECT_EQ(p[2], colours[index].Blue);
        if (third.channels == 4) {
          EXPECT_EQ(p[3], 255);
        }
      }
    image out;
    std::string err;
    EXPECT_FALSE(pellimor::decode_image(file.data(), file.size(), image_format::gif, &out, &err, 3));
    EXPECT_NE(err.find("no page 4"), std::string::npos) << err;
  }
}

TEST(GifDecode, RefusesDamagedFilesAndBombs) {
  const bytes good = make_gif(20, 10, {frame_of(0, 0, 20, 10, 9)});
  ASSERT_EQ(good.back(), ';');
  // The frame claims 65535 x 65535 pixels and holds 300 bytes of data.
  gif_frame big_frame;
  big_frame.width = big_frame.height = 65535;
  big_frame.lzw_bytes = 300;
  // The screen claims 65535 x 65535 around one pixel.
  const bytes big_screen = make_gif(65535, 65535, {frame_of(0, 0, 1, 1, 1)});
  bytes no_table = good;
  no_table[10] &= 0x7f;  // no global colour table, and the frame has none
  no_table.erase(no_table.begin() + 13, no_table.begin() + 13 + 48);
  const struct {
    const char* name;
    bytes file;
    const char* message;
  } cases[] = {
      {"cut in the frame's data", bytes(good.begin(), good.begin() + good.size() / 2), "gif: "},
      {"cut in the frame's header", bytes(good.begin(), good.begin() + 13 + 48 + 5), "gif: "},
      {"cut in the screen descriptor", bytes(good.begin(), good.begin() + 9), "gif: "},
      {"frame claiming 65535 x 65535", make_gif(1, 1, {big_frame}), "more than its 300 bytes"},
      {"screen claiming 65535 x 65535", big_screen, "the screen claims 65535x65535"},
      {"no colour table", no_table, "no colour table"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    image_info info;
    image out;
    std::string err;
    EXPECT_FALSE(pellimor::read_info(c.file.data(), c.file.size(), image_format::gif, &info, &err));
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_FALSE(pellimor::decode_image(c.file.data(), c.file.size(), image_format::gif, &out, &err));
    EXPECT_TRUE(out.pixels.empty());
  }
  // Without the trailer the file is whole; with garbage in its place it is not.
  const bytes untrailed(good.begin(), good.end() - 1);
  EXPECT_EQ(decoded(untrailed).pixels, decoded(good).pixels);
  bytes garbage = good;
  garbage.back() = 0x77;
  image out;
  std::string err;
  EXPECT_FALSE(pellimor::decode_image(garbage.data(), garbage.size(), image_format::gif, &out, &err));
  // Scrambled LZW data: refused, never half-filled.
  bytes scrambled = good;
  for (std::size_t i = 13 + 48 + 10 + 2; i + 2 < scrambled.size(); ++i) scrambled[i] ^= 0xa5;
  EXPECT_FALSE(pellimor::decode_image(scrambled.data(), scrambled.size(), image_format::gif, &out, &err));
  EXPECT_TRUE(out.pixels.empty());
}

TEST(GifEncode, IsRefused) {
  const image img = codec_test::random_image(2, 2, 3, pellimor::sample_type::u8, 1);
  std::string err;
  EXPECT_FALSE(pellimor::format_writable(image_format::gif));
  EXPECT_FALSE(pellimor::encode_image(
      img, image_format::gif, {}, [](const std::uint8_t*, std::size_t) { return true; }, &err));
  EXPECT_NE(err.find("read, not written"), std::string::npos) << err;
}

}  // namespace
