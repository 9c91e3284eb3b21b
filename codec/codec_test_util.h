// codec_test_util.h - helpers shared by the codec tests: images filled with
// known samples, encoding into memory, a minimal valid ICC profile and EXIF
// blocks.
#pragma once

#include <unistd.h>

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

}  // namespace codec_test
