// SPDX-License-Identifier: MIT
// codec_test_util.h - helpers shared by the codec tests: images filled with
// known samples, encoding into memory, a minimal valid ICC profile and EXIF
// blocks.
#pragma once

#include <gif_lib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "codec/formats.h"

namespace codec_test {

using bytes = std::vector<std::uint8_t>;

// An image to decode into: no pixels, but room for `room` bytes that all
// hold 0xa5, which the PNG, JPEG and TIFF decoders fill in place. A sample
// a decoder leaves unwritten then shows as 0xa5 rather than as a zero a
// fresh page would happen to hold.
inline pellimor::image spoiled_room(std::size_t room) {
  pellimor::image img;
  img.pixels.assign(room, 0xa5);
  img.pixels.clear();
  return img;
}

// An image of random samples (integers over their whole range, floats in
// -0.25..1.25 so both saturations show).
inline pellimor::image random_image(std::int32_t width, std::int32_t height, int channels,
                                    pellimor::sample_type type, unsigned seed) {
  pellimor::image img;
  img.width = width;
  img.height = height;
  img.channels = channels;
  img.type = type;
  img.allocate();
  std::mt19937 rng(seed);
  const std::size_t count = img.pixels.size() / pellimor::sample_bytes(type);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t* at = img.pixels.data() + i * pellimor::sample_bytes(type);
    const double unit = (rng() % 100001) / 100000.0 * 1.5 - 0.25;
    switch (type) {
      case pellimor::sample_type::u8:
        *at = static_cast<std::uint8_t>(rng());
        break;
      case pellimor::sample_type::u16: {
        const auto v = static_cast<std::uint16_t>(rng());
        std::memcpy(at, &v, 2);
        break;
      }
      case pellimor::sample_type::f32: {
        const auto v = static_cast<float>(unit);
        std::memcpy(at, &v, 4);
        break;
      }
      case pellimor::sample_type::f64:
        std::memcpy(at, &unit, 8);
        break;
    }
  }
  return img;
}

// A smooth picture (gradients and a soft bump), for lossy round trips.
inline pellimor::image smooth_image(std::int32_t width, std::int32_t height, int channels) {
  pellimor::image img;
  img.width = width;
  img.height = height;
  img.channels = channels;
  img.allocate();
  for (std::int32_t y = 0; y < height; ++y)
    for (std::int32_t x = 0; x < width; ++x)
      for (int c = 0; c < channels; ++c) {
        const int dx = x - width / 2, dy = y - height / 2;
        const int bump = 60 * 400 / (400 + dx * dx + dy * dy);
        img.row(y)[x * channels + c] =
            static_cast<std::uint8_t>(x * 100 / width + y * 40 / height + c * 15 + bump);
      }
  return img;
}

// With PELLIMOR_TEST_FILES naming a folder, each file the tests encode is
// also written there: seeds for the fuzzers (fuzz/run.sh).
inline void keep_test_file(const bytes& file, pellimor::image_format format) {
  static const char* const folder = std::getenv("PELLIMOR_TEST_FILES");
  static std::atomic<unsigned> count{0};
  if (folder == nullptr || file.empty()) return;
  const std::string name = std::string(folder) + "/" + std::to_string(getpid()) + "-" +
                           std::to_string(count++) + pellimor::format_extension(format);
  if (std::FILE* f = std::fopen(name.c_str(), "wb")) {
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
  }
}

// Encodes into memory; empty with *err set on failure.
inline bytes encode(const pellimor::image& img, pellimor::image_format format, std::string* err,
                    int quality = 92) {
  bytes out;
  pellimor::encode_options options;
  options.quality = quality;
  const bool ok = pellimor::encode_image(
      img, format, options,
      [&out](const std::uint8_t* data, std::size_t size) {
        out.insert(out.end(), data, data + size);
        return true;
      },
      err);
  if (!ok) out.clear();
  keep_test_file(out, format);
  return out;
}

inline void put_be(bytes* b, std::size_t at, std::uint32_t value, int count) {
  for (int i = 0; i < count; ++i) (*b)[at + i] = static_cast<std::uint8_t>(value >> (8 * (count - 1 - i)));
}

// A well-formed ICC profile of `size` bytes (at least 148, a multiple of 4)
// for `colour_space` ("RGB " or "GRAY"), with one tag and a random tail
// so byte-for-byte comparisons mean something.
inline bytes icc_profile(std::size_t size, const char* colour_space) {
  bytes p(size, 0);
  std::mt19937 rng(static_cast<unsigned>(size));
  for (std::size_t i = 144; i < size; ++i) p[i] = static_cast<std::uint8_t>(rng());
  put_be(&p, 0, static_cast<std::uint32_t>(size), 4);
  std::memcpy(&p[4], "none", 4);
  put_be(&p, 8, 0x02100000, 4);  // version 2.1
  std::memcpy(&p[12], "mntr", 4);
  std::memcpy(&p[16], colour_space, 4);
  std::memcpy(&p[20], "XYZ ", 4);
  std::memcpy(&p[36], "acsp", 4);
  put_be(&p, 68, 0x0000f6d6, 4);  // D50 white: 0.9642, 1.0, 0.8249
  put_be(&p, 72, 0x00010000, 4);
  put_be(&p, 76, 0x0000d32d, 4);
  put_be(&p, 128, 1, 4);  // one tag, covering the patterned tail
  std::memcpy(&p[132], "cprt", 4);
  put_be(&p, 136, 144, 4);
  put_be(&p, 140, static_cast<std::uint32_t>(size - 144), 4);
  return p;
}

// A TIFF-structured EXIF block whose IFD0 holds `entries` entries, the one
// at `orientation_index` being tag 0x0112 (SHORT, one value) = `orientation`.
inline bytes exif_block(bool big_endian, int orientation, int entries = 3, int orientation_index = 1) {
  bytes b(8 + 2 + 12 * entries + 4, 0);
  auto put = [&](std::size_t at, std::uint32_t value, int count) {
    for (int i = 0; i < count; ++i)
      b[at + i] = static_cast<std::uint8_t>(value >> (8 * (big_endian ? count - 1 - i : i)));
  };
  b[0] = b[1] = big_endian ? 'M' : 'I';
  put(2, 42, 2);
  put(4, 8, 4);
  put(8, static_cast<std::uint32_t>(entries), 2);
  for (int i = 0; i < entries; ++i) {
    const std::size_t e = 10 + 12 * static_cast<std::size_t>(i);
    const bool is_orientation = i == orientation_index;
    put(e, is_orientation ? 0x0112 : 0x0200 + i, 2);  // other tags, never 0x0112
    put(e + 2, 3, 2);
    put(e + 4, 1, 4);
    put(e + 8, is_orientation ? static_cast<std::uint32_t>(orientation) : 0x4444, 2);
  }
  return b;
}

// GIF files written by giflib.
struct gif_frame {
  int left = 0, top = 0, width = 0, height = 0;
  std::vector<std::uint8_t> indices;  // width * height, row by row
  bool interlaced = false;
  int transparent = -1;  // the GCE's transparent index, -1 for none
  int disposal = 0;      // the GCE's disposal method
  int lzw_bytes = -1;    // >= 0: data blocks of this many raw bytes instead of the coded pixels
};

// A 16-entry palette of distinct colours.
inline std::vector<GifColorType> palette16() {
  std::vector<GifColorType> colours(16);
  for (int i = 0; i < 16; ++i)
    colours[i] = {static_cast<GifByteType>(i * 16 + 3), static_cast<GifByteType>(255 - i * 11),
                  static_cast<GifByteType>(i * 7 % 256)};
  return colours;
}

inline int write_gif_bytes(GifFileType* gif, const GifByteType* data, int size) {
  auto* out = static_cast<bytes*>(gif->UserData);
  out->insert(out->end(), data, data + size);
  return size;
}

// A GIF89a file of a `width` x `height` screen with `frames`, all on the
// global palette.
inline bytes make_gif(int width, int height, const std::vector<gif_frame>& frames,
                      const std::vector<GifColorType>& colours = palette16()) {
  bytes out;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, write_gif_bytes, &error);
  if (gif == nullptr) return out;
  EGifSetGifVersion(gif, true);
  ColorMapObject* map = GifMakeMapObject(static_cast<int>(colours.size()), colours.data());
  EGifPutScreenDesc(gif, width, height, 8, 0, map);
  for (const gif_frame& f : frames) {
    if (f.transparent >= 0 || f.disposal != 0) {
      GraphicsControlBlock gcb{f.disposal, false, 0, f.transparent};
      GifByteType ext[4];
      EGifGCBToExtension(&gcb, ext);
      EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext);
    }
    const std::size_t descriptor = out.size();
    EGifPutImageDesc(gif, f.left, f.top, f.width, f.height, f.interlaced, nullptr);
    if (f.lzw_bytes >= 0) {
      // Raw data blocks, so a header may claim what its data cannot hold.
      GifFreeMapObject(map);
      EGifCloseFile(gif, &error);
      out.resize(descriptor + 10);  // the image descriptor, without the code size giflib may add
      out.push_back(8);             // LZW minimum code size
      for (int left = f.lzw_bytes; left > 0; left -= 255) {
        const int n = std::min(left, 255);
        out.push_back(static_cast<std::uint8_t>(n));
        out.insert(out.end(), static_cast<std::size_t>(n), 0x00);
      }
      out.push_back(0);
      out.push_back(';');
      return out;
    }
    // giflib takes the rows in the order they are stored: by passes.
    std::vector<int> order;
    if (f.interlaced) {
      static const int starts[] = {0, 4, 2, 1}, steps[] = {8, 8, 4, 2};
      for (int pass = 0; pass < 4; ++pass)
        for (int y = starts[pass]; y < f.height; y += steps[pass]) order.push_back(y);
    } else {
      for (int y = 0; y < f.height; ++y) order.push_back(y);
    }
    for (int y : order) {
      std::vector<GifPixelType> row(f.indices.begin() + y * f.width, f.indices.begin() + (y + 1) * f.width);
      EGifPutLine(gif, row.data(), f.width);
    }
  }
  GifFreeMapObject(map);
  EGifCloseFile(gif, &error);
  keep_test_file(out, pellimor::image_format::gif);
  return out;
}

}  // namespace codec_test
