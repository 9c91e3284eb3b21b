// SPDX-License-Identifier: MIT
#include "lib/packed_planes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

using pellimor::packed_planes;

// An interleaved picture of `channels` samples of `bytes` bytes a pixel:
// smooth ramps with noise in the low bits, or noise throughout.
std::vector<std::uint8_t> picture(std::int32_t width, std::int32_t height, int channels, int bytes,
                                  bool noise, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> out(static_cast<std::size_t>(width) * height * channels * bytes);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::size_t sample = i / bytes, pixel = sample / channels;
    const std::size_t x = pixel % width, y = pixel / width;
    out[i] = noise ? static_cast<std::uint8_t>(random())
                   : static_cast<std::uint8_t>((x + 2 * y + 7 * (sample % channels)) * (i % bytes + 1) +
                                               (random() & 3));
  }
  return out;
}

// Every plane packed from an interleaved picture and unpacked again gives
// each sample's bytes back, for every sample width, band heights that do
// and do not divide the height, a band of one row and a band taller than
// the picture; planes kept alone, as differences from the first, or plain.
TEST(PackedPlanes, EveryBandUnpacksToItsSamples) {
  struct shape {
    std::int32_t width, height;
    int channels, bytes;
    std::int32_t band_rows;
    bool noise;
  } shapes[] = {
      {37, 29, 3, 1, 8, false}, {37, 29, 3, 1, 8, true},  {64, 16, 2, 2, 8, false}, {13, 9, 4, 2, 5, true},
      {21, 17, 3, 4, 8, false}, {21, 17, 3, 4, 16, true}, {9, 11, 2, 8, 3, false},  {9, 11, 2, 8, 1, true},
      {5, 3, 3, 1, 64, false},  {1, 1, 3, 2, 8, false},
  };
  enum { alone, relative, plain };
  for (const int way : {alone, relative, plain})
    for (const shape& s : shapes) {
      SCOPED_TRACE(testing::Message() << s.width << "x" << s.height << " channels " << s.channels << " bytes "
                                      << s.bytes << " bands of " << s.band_rows << (s.noise ? " noise" : "")
                                      << " way " << way);
      const std::vector<std::uint8_t> source = picture(s.width, s.height, s.channels, s.bytes, s.noise, 5);
      const std::ptrdiff_t pixel = s.channels * s.bytes, row = pixel * s.width;
      packed_planes store(s.channels, s.width, s.height, s.bytes, s.band_rows, way == relative, way == plain);
      ASSERT_EQ(store.bands(), (s.height + s.band_rows - 1) / s.band_rows);
      std::int32_t rows = 0;
      for (std::int32_t b = 0; b < store.bands(); ++b) rows += store.rows_in(b);
      ASSERT_EQ(rows, s.height);
      for (int c = 0; c < s.channels; ++c)
        for (std::int32_t b = 0; b < store.bands(); ++b)
          store.put(c, b, source.data() + b * s.band_rows * row + c * s.bytes, row, pixel,
                    source.data() + b * s.band_rows * row);
      for (int c = 0; c < s.channels; ++c) {
        for (std::int32_t b = store.bands() - 1; b >= 0; --b) {  // any order
          std::vector<std::uint8_t> band(static_cast<std::size_t>(store.rows_in(b)) * s.width * s.bytes,
                                         0xee);
          ASSERT_TRUE(store.get(c, b, band.data()));
          for (std::int32_t r = 0; r < store.rows_in(b); ++r)
            for (std::int32_t x = 0; x < s.width; ++x)
              ASSERT_EQ(std::memcmp(&band[(static_cast<std::size_t>(r) * s.width + x) * s.bytes],
                                    &source[(b * s.band_rows + r) * row + x * pixel + c * s.bytes], s.bytes),
                        0)
                  << "plane " << c << " band " << b << " row " << r << " x " << x;
        }
      }
    }
}

// Smooth samples take far less room than their bytes; noise takes little
// more, and still comes back exactly (above).
TEST(PackedPlanes, SmoothPlanesShrinkAndNoiseCostsLittleMore) {
  const std::int32_t width = 500, height = 64;
  for (const bool noise : {false, true}) {
    const std::vector<std::uint8_t> source = picture(width, height, 1, 1, noise, 9);
    packed_planes store(1, width, height, 1, 16);
    for (std::int32_t b = 0; b < store.bands(); ++b)
      store.put(0, b, source.data() + b * 16 * width, width, 1);
    const double ratio = static_cast<double>(store.packed_bytes()) / source.size();
    if (noise)
      EXPECT_LT(ratio, 1.01);
    else
      EXPECT_LT(ratio, 0.5);
  }
}

// Planes that share their detail with the first take far less room kept
// relative to it; a later plane cannot be unpacked once the first plane's
// band has gone.
TEST(PackedPlanes, PlanesKeptRelativeToTheFirstShareItsDetail) {
  const std::int32_t width = 400, height = 32;
  std::vector<std::uint8_t> source = picture(width, height, 2, 1, true, 4);
  for (std::size_t i = 0; i < source.size(); i += 2)
    source[i + 1] = static_cast<std::uint8_t>(source[i] + (i / 2) % width / 4);  // noise + a ramp
  std::size_t bytes[2];
  for (const bool relative : {false, true}) {
    packed_planes store(2, width, height, 1, 8, relative);
    for (std::int32_t b = 0; b < store.bands(); ++b)
      for (int c = 0; c < 2; ++c)
        store.put(c, b, &source[b * 8 * width * 2 + c], width * 2, 2, &source[b * 8 * width * 2]);
    bytes[relative] = store.packed_bytes();
    if (relative) {
      std::vector<std::uint8_t> band(8 * width);
      ASSERT_TRUE(store.get(1, 0, band.data()));
      store.drop(0, 0);
      EXPECT_FALSE(store.get(1, 0, band.data()));
      EXPECT_TRUE(store.get(1, 1, band.data()));
    }
  }
  EXPECT_LT(static_cast<double>(bytes[1]), 0.7 * static_cast<double>(bytes[0]));
}

// A band dropped, or never packed, is refused rather than read as anything.
TEST(PackedPlanes, DroppedAndMissingBandsAreRefused) {
  const std::vector<std::uint8_t> source = picture(16, 20, 2, 1, false, 3);
  for (const bool plain : {false, true}) {
    SCOPED_TRACE(plain ? "plain" : "compressed");
    packed_planes store(2, 16, 20, 1, 8, false, plain);
    store.put(0, 0, source.data(), 32, 2);
    std::vector<std::uint8_t> band(8 * 16);
    EXPECT_TRUE(store.get(0, 0, band.data()));
    EXPECT_FALSE(store.get(1, 0, band.data()));
    EXPECT_FALSE(store.get(0, 2, band.data()));
    const std::size_t held = store.packed_bytes();
    EXPECT_GT(held, 0u);
    store.drop(0, 0);
    EXPECT_FALSE(store.get(0, 0, band.data()));
    EXPECT_EQ(store.packed_bytes(), 0u);
  }
}

// Plain planes hold each band's samples and nothing more, however smooth
// (more than a chunk of them here), and are never kept relative to the
// first, even when asked: a later plane still unpacks to its own samples
// once every band of the first has been dropped.
TEST(PackedPlanes, PlainPlanesHoldTheirSamplesAsTheyAre) {
  const std::int32_t width = 1000, height = 600, band_rows = 8;
  const std::vector<std::uint8_t> source = picture(width, height, 3, 1, false, 7);
  packed_planes store(2, width, height, 1, band_rows, true, true);
  EXPECT_FALSE(store.relative());
  const std::ptrdiff_t row = 3 * width;
  std::vector<std::uint8_t> band(static_cast<std::size_t>(band_rows) * width);
  for (std::int32_t b = 0; b < store.bands(); ++b)
    for (int c = 0; c < 2; ++c)
      store.put(c, b, &source[b * band_rows * row + c + 1], row, 3, &source[b * band_rows * row]);
  EXPECT_EQ(store.packed_bytes(), 2u * width * height);
  for (std::int32_t b = 0; b < store.bands(); ++b) {
    ASSERT_TRUE(store.get(0, b, band.data()));
    store.drop(0, b);
  }
  EXPECT_EQ(store.packed_bytes(), static_cast<std::size_t>(width) * height);
  for (std::int32_t b = 0; b < store.bands(); ++b) {
    ASSERT_TRUE(store.get(1, b, band.data()));
    for (std::int32_t x = 0; x < width; ++x) ASSERT_EQ(band[x], source[b * band_rows * row + 3 * x + 2]) << b;
    store.drop(1, b);
  }
  EXPECT_EQ(store.packed_bytes(), 0u);
}

}  // namespace
