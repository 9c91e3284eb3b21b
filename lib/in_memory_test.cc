// SPDX-License-Identifier: MIT
// The public probe and the in-memory decode and encode: they must agree
// with the file functions byte for byte and refuse what those refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/codec_test_util.h"
#include "pellimor/pellimor.h"
#include "tests/test_util.h"

namespace {

using pellimor::image;
using pellimor::image_format;
using pellimor::sample_type;
using bytes = std::vector<std::uint8_t>;

struct round_trip_case {
  image_format format;
  const char* extension;
  int channels;
  sample_type type;
  bool lossless;
  bool probe_survives_cut;  // the header alone is checked, not the data's length
};

const round_trip_case round_trips[] = {
    {image_format::bmp, ".bmp", 3, sample_type::u8, true, false},
    {image_format::png, ".png", 1, sample_type::u8, true, false},
    {image_format::png, ".png", 4, sample_type::u16, true, false},
    {image_format::jpeg, ".jpg", 3, sample_type::u8, false, true},
    {image_format::tiff, ".tif", 2, sample_type::u16, true, false},
    {image_format::tiff, ".tif", 3, sample_type::f32, true, false},
};

image test_picture(const round_trip_case& c) {
  // JPEG is lossy: a smooth picture keeps it close enough to compare.
  return c.lossless ? codec_test::random_image(13, 7, c.channels, c.type, 5)
                    : codec_test::smooth_image(24, 16, c.channels);
}

TEST(InMemory, EncodeDecodeRoundTripMatchesTheFileFunctions) {
  test_util::temp_dir dir;
  for (const round_trip_case& c : round_trips) {
    SCOPED_TRACE(std::string(pellimor::format_name(c.format)) + " " + std::to_string(c.channels) + " " +
                 pellimor::sample_type_name(c.type));
    const image source = test_picture(c);
    const bytes encoded = pellimor::encode(source, c.format, 90);

    // The same bytes write_image puts in a file.
    const std::string path = dir.file(std::string("picture") + c.extension);
    pellimor::write_image(path, source, 90);
    const std::string written = test_util::read_file(path);
    EXPECT_TRUE(written == std::string(encoded.begin(), encoded.end()));

    const pellimor::file_info info = pellimor::read_info(encoded.data(), encoded.size());
    EXPECT_EQ(info.format, c.format);
    EXPECT_EQ(info.width, source.width);
    EXPECT_EQ(info.height, source.height);
    EXPECT_EQ(info.channels, source.channels);
    EXPECT_EQ(info.type, source.type);
    EXPECT_EQ(info.orientation, 1);
    const pellimor::file_info from_file = pellimor::read_info(path);
    EXPECT_EQ(from_file.format, info.format);
    EXPECT_EQ(from_file.width, info.width);
    EXPECT_EQ(from_file.channels, info.channels);

    const image got = pellimor::decode(encoded);
    ASSERT_EQ(got.width, source.width);
    ASSERT_EQ(got.height, source.height);
    ASSERT_EQ(got.channels, source.channels);
    ASSERT_EQ(got.type, source.type);
    if (c.lossless) {
      EXPECT_TRUE(got.pixels == source.pixels);
    } else {
      int worst = 0;
      for (std::size_t i = 0; i < got.pixels.size(); ++i)
        worst = std::max(worst, std::abs(got.pixels[i] - source.pixels[i]));
      EXPECT_LE(worst, 8);
    }
    EXPECT_TRUE(got.pixels == pellimor::read_image(path).pixels);
  }
}

// A file cut short: where the header says how long the data is (BMP rows,
// PNG chunks, TIFF's directory at the end) the probe refuses it already;
// a JPEG's header says no such thing and the probe still answers. Decode
// refuses every one rather than return part of a picture.
TEST(InMemory, TruncatedFilesAreProbedOrRefusedNeverHalfDecoded) {
  for (const round_trip_case& c : round_trips) {
    SCOPED_TRACE(pellimor::format_name(c.format));
    const image source = codec_test::random_image(40, 30, c.channels, c.type, 9);
    const bytes whole = pellimor::encode(source, c.format);
    EXPECT_EQ(pellimor::read_info(whole.data(), whole.size()).width, 40);
    const bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2));
    if (c.probe_survives_cut) {
      const pellimor::file_info info = pellimor::read_info(cut.data(), cut.size());
      EXPECT_EQ(info.width, 40);
      EXPECT_EQ(info.height, 30);
      EXPECT_EQ(info.channels, c.channels);
    } else {
      EXPECT_THROW(pellimor::read_info(cut.data(), cut.size()), pellimor::error);
    }
    EXPECT_THROW(pellimor::decode(cut), pellimor::error);
  }
}

// The probe reports the orientation as stored; decode applies it.
TEST(InMemory, OrientationIsReportedByTheProbeAndAppliedByDecode) {
  const image source = codec_test::smooth_image(24, 16, 3);
  const bytes plain = pellimor::encode(source, image_format::jpeg);
  for (int orientation : {1, 3, 6, 8}) {
    SCOPED_TRACE(orientation);
    bytes app1 = {0xff, 0xe1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    const bytes exif = codec_test::exif_block(false, orientation);
    app1.insert(app1.end(), exif.begin(), exif.end());
    app1[2] = static_cast<std::uint8_t>((app1.size() - 2) >> 8);
    app1[3] = static_cast<std::uint8_t>(app1.size() - 2);
    // SOI, then the EXIF block, then the rest as it was.
    bytes file = app1;
    file.insert(file.begin(), plain.begin(), plain.begin() + 2);
    file.insert(file.end(), plain.begin() + 2, plain.end());

    const pellimor::file_info info = pellimor::read_info(file.data(), file.size());
    EXPECT_EQ(info.orientation, orientation);
    EXPECT_EQ(info.width, 24);
    EXPECT_EQ(info.height, 16);
    const image got = pellimor::decode(file);
    const bool turned = orientation >= 5;
    EXPECT_EQ(got.width, turned ? 16 : 24);
    EXPECT_EQ(got.height, turned ? 24 : 16);
    EXPECT_EQ(got.orientation, 1);
  }
}

TEST(InMemory, RefusalsNameTheirReason) {
  const image source = codec_test::random_image(10, 10, 3, sample_type::u8, 3);
  const bytes png = pellimor::encode(source, image_format::png);
  const bytes garbage = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'};
  pellimor::file_limits few_pixels;
  few_pixels.pixels = 99;
  pellimor::file_limits enough_pixels;
  enough_pixels.pixels = 100;
  struct probe_case {
    const char* name;
    bytes file;
    pellimor::file_limits limits;
    const char* reason;  // nullptr: accepted
  } probes[] = {
      {"nothing", {}, {}, "not a BMP, PNG, JPEG, TIFF, WebP or GIF file"},
      {"garbage", garbage, {}, "not a BMP, PNG, JPEG, TIFF, WebP or GIF file"},
      {"over the pixel limit", png, few_pixels, "more than the pixel limit (99)"},
      {"at the pixel limit", png, enough_pixels, nullptr},
  };
  for (const probe_case& c : probes) {
    SCOPED_TRACE(c.name);
    for (bool probe : {true, false}) {
      try {
        if (probe)
          pellimor::read_info(c.file.data(), c.file.size(), c.limits);
        else
          pellimor::decode(c.file, c.limits);
        EXPECT_TRUE(c.reason == nullptr);
      } catch (const pellimor::error& e) {
        ASSERT_NE(c.reason, nullptr) << e.what();
        EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
      }
    }
  }

  image short_of_samples = source;
  short_of_samples.pixels.resize(source.pixels.size() - 1);
  image five_channels = source;
  five_channels.channels = 5;
  struct encode_case {
    const char* name;
    const image* img;
    int quality;
  } encodes[] = {
      {"quality 0", &source, 0},
      {"quality 101", &source, 101},
      {"a sample short", &short_of_samples, 92},
      {"five channels", &five_channels, 92},
  };
  for (const encode_case& c : encodes) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(pellimor::encode(*c.img, image_format::jpeg, c.quality), pellimor::error);
  }
}

TEST(InMemory, ProbeOfAFileNamesTheFile) {
  test_util::temp_dir dir;
  const std::string missing = dir.file("missing.png");
  try {
    pellimor::read_info(missing);
    FAIL() << "a missing file was probed";
  } catch (const pellimor::error& e) {
    EXPECT_EQ(std::string(e.what()).rfind(missing + ": ", 0), 0u) << e.what();
  }
}

}  // namespace
