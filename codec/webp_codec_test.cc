// SPDX-License-Identifier: MIT
// webp_codec_test.cc - the WebP codec against files libwebp makes here:
// lossless and lossy round trips, the ICC profile, animation frames,
// damaged files and headers claiming more than their bytes.
#include <gtest/gtest.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/codec_test_util.h"

namespace {

using codec_test::bytes;
using pellimor::image;
using pellimor::image_format;
using pellimor::image_info;
using pellimor::sample_type;

image decoded(const bytes& file, int page = 0) {
  image out;
  std::string err;
  EXPECT_TRUE(pellimor::decode_image(file.data(), file.size(), image_format::webp, &out, &err, page)) << err;
  return out;
}

bytes encoded(const image& img, bool lossless, int quality = 92) {
  bytes out;
  std::string err;
  pellimor::encode_options options;
  options.quality = quality;
  options.lossless = lossless;
  EXPECT_TRUE(pellimor::encode_image(
      img, image_format::webp, options,
      [&out](const std::uint8_t* p, std::size_t n) {
        out.insert(out.end(), p, p + n);
        return true;
      },
      &err))
      << err;
  codec_test::keep_test_file(out, image_format::webp);
  return out;
}

// The samples `img` should read back as: grey spread over red, green and
// blue, 16-bit samples taken to 8 bits by value * 255 / 65535.
std::vector<std::uint8_t> as_eight_bit_rgb(const image& img) {
  const int out_channels = img.has_alpha() ? 4 : 3;
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < static_cast<std::size_t>(img.width) * img.height; ++i) {
    std::uint8_t s[4];
    for (int c = 0; c < img.channels && c < 4; ++c) {
      if (img.type == sample_type::u8) {
        s[c] = img.pixels[i * img.channels + c];
      } else {
        std::uint16_t v;
        std::memcpy(&v, &img.pixels[(i * img.channels + c) * 2], 2);
        s[c] = static_cast<std::uint8_t>(v * 255u / 65535u);
      }
    }
    for (int c = 0; c < out_channels; ++c) {
      const bool alpha = c == 3;
      out.push_back(img.channels >= 3 ? s[c] : alpha ? s[1] : s[0]);
    }
  }
  return out;
}

TEST(WebpCodec, LosslessReadsBackExactly) {
  const struct {
    int channels;
    sample_type type;
  } cases[] = {{1, sample_type::u8}, {2, sample_type::u8},  {3, sample_type::u8},
               {4, sample_type::u8}, {3, sample_type::u16}, {4, sample_type::u16}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.channels) + " channels, " + pellimor::sample_type_name(c.type));
    const image img = codec_test::random_image(37, 23, c.channels, c.type, 40 + c.channels);
    const bytes file = encoded(img, true);
    image_info info;
    std::string err;
    ASSERT_TRUE(pellimor::read_info(file.data(), file.size(), image_format::webp, &info, &err)) << err;
    EXPECT_EQ(info.width, 37);
    EXPECT_EQ(info.height, 23);
    EXPECT_EQ(info.channels, img.has_alpha() ? 4 : 3);
    EXPECT_EQ(pellimor::count_pages(file.data(), file.size(), image_format::webp), 1);
    const image out = decoded(file);
    EXPECT_EQ(out.channels, info.channels);
    EXPECT_EQ(out.type, sample_type::u8);
    EXPECT_TRUE(out.pixels == as_eight_bit_rgb(img));
  }
}

TEST(WebpCodec, LossyStaysCloseAndQualityMatters) {
  const image img = codec_test::smooth_image(64, 48, 3);
  double error_at[2] = {};
  std::size_t size_at[2] = {};
  const int qualities[] = {30, 95};
  for (int k = 0; k < 2; ++k) {
    const bytes file = encoded(img, false, qualities[k]);
    size_at[k] = file.size();
    const image out = decoded(file);
    ASSERT_EQ(out.pixels.size(), img.pixels.size());
    double sum = 0;
    for (std::size_t i = 0; i < img.pixels.size(); ++i) sum += std::abs(out.pixels[i] - img.pixels[i]);
    error_at[k] = sum / static_cast<double>(img.pixels.size());
  }
  EXPECT_LT(error_at[1], 2.0);
  EXPECT_LT(error_at[1], error_at[0]);
  EXPECT_GT(size_at[1], size_at[0]);
}

TEST(WebpCodec, IccProfileRoundTrips) {
  for (const bool lossless : {false, true}) {
    image img = codec_test::random_image(9, 7, 4, sample_type::u8, 3);
    img.icc = codec_test::icc_profile(600, "RGB ");
    const bytes file = encoded(img, lossless);
    EXPECT_TRUE(decoded(file).icc == img.icc) << "lossless " << lossless;
    img.icc.clear();
    EXPECT_TRUE(decoded(encoded(img, lossless)).icc.empty());
  }
}

// Two frames by libwebp's animation encoder on a canvas the size of
// `first`: `first`, then `first` with its right half replaced by `second_half`
// (which the encoder may store as a sub-frame).
bytes animation(const image& first, const image& second_half) {
  WebPAnimEncoderOptions options;
  WebPAnimEncoderOptionsInit(&options);
  WebPAnimEncoder* enc = WebPAnimEncoderNew(first.width, first.height, &options);
  WebPConfig config;
  WebPConfigInit(&config);
  config.lossless = 1;
  config.exact = 1;
  WebPPicture pic;
  WebPPictureInit(&pic);
  pic.use_argb = 1;
  pic.width = first.width;
  pic.height = first.height;
  WebPPictureImportRGBA(&pic, first.pixels.data(), first.width * 4);
  EXPECT_TRUE(WebPAnimEncoderAdd(enc, &pic, 0, &config));
  image whole = first;
  for (int y = 0; y < first.height; ++y)
    std::memcpy(whole.row(y) + first.width / 2 * 4, second_half.row(y), second_half.width * 4);
  WebPPictureImportRGBA(&pic, whole.pixels.data(), whole.width * 4);
  EXPECT_TRUE(WebPAnimEncoderAdd(enc, &pic, 100, &config));
  WebPAnimEncoderAdd(enc, nullptr, 200, nullptr);
  WebPData data;
  WebPDataInit(&data);
  EXPECT_TRUE(WebPAnimEncoderAssemble(enc, &data));
  bytes out(data.bytes, data.bytes + data.size);
  WebPDataClear(&data);
  WebPPictureFree(&pic);
  WebPAnimEncoderDelete(enc);
  codec_test::keep_test_file(out, image_format::webp);
  return out;
}

TEST(WebpCodec, AnimationFramesAreRenderedOnTheCanvas) {
  image first = codec_test::random_image(6, 4, 4, sample_type::u8, 8);
  image half = codec_test::random_image(3, 4, 4, sample_type::u8, 9);
  for (std::size_t i = 3; i < first.pixels.size(); i += 4) first.pixels[i] = 255;  // opaque, so exact
  for (std::size_t i = 3; i < half.pixels.size(); i += 4) half.pixels[i] = 255;
  const bytes file = animation(first, half);
  EXPECT_EQ(pellimor::count_pages(file.data(), file.size(), image_format::webp), 2);
  EXPECT_TRUE(decoded(file, 0).pixels == first.pixels);
  const image second = decoded(file, 1);
  ASSERT_EQ(second.width, 6);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) {
      const std::uint8_t* want = x < 3 ? first.row(y) + x * 4 : half.row(y) + (x - 3) * 4;
      EXPECT_EQ(0, std::memcmp(second.row(y) + x * 4, want, 4)) << x << "," << y;
    }
  image out;
  std::string err;
  EXPECT_FALSE(pellimor::decode_image(file.data(), file.size(), image_format::webp, &out, &err, 2));
  EXPECT_NE(err.find("no page 3"), std::string::npos) << err;
}

void put_le(bytes* b, std::size_t at, std::uint32_t v, int n) {
  for (int i = 0; i < n; ++i) (*b)[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A RIFF container around `chunks`.
bytes riff(const bytes& chunks) {
  bytes file(12);
  std::memcpy(file.data(), "RIFF", 4);
  put_le(&file, 4, static_cast<std::uint32_t>(4 + chunks.size()), 4);
  std::memcpy(file.data() + 8, "WEBP", 4);
  file.insert(file.end(), chunks.begin(), chunks.end());
  return file;
}

TEST(WebpCodec, RefusesDamagedFilesAndHugeClaims) {
  const bytes good = encoded(codec_test::random_image(20, 10, 3, sample_type::u8, 1), true);
  // A lossless 1x1 picture: its VP8L chunk, and the same header edited to
  // claim 16384 x 16384 (14 bits of width - 1, 14 of height - 1).
  const bytes tiny = encoded(codec_test::random_image(1, 1, 3, sample_type::u8, 2), true);
  ASSERT_EQ(std::memcmp(tiny.data() + 12, "VP8L", 4), 0);
  bytes huge = tiny;
  const std::uint32_t sides = (16383u) | (16383u << 14);
  put_le(&huge, 21, sides | (huge[24] & 0xf0u) << 24, 4);
  // An extended header whose canvas claims 65535 x 65535 around that 1x1.
  bytes vp8x(18, 0);
  std::memcpy(vp8x.data(), "VP8X", 4);
  put_le(&vp8x, 4, 10, 4);
  put_le(&vp8x, 12, 65534, 3);
  put_le(&vp8x, 15, 65534, 3);
  vp8x.insert(vp8x.end(), tiny.begin() + 12, tiny.end());
  const bytes canvas = riff(vp8x);

  const struct {
    const char* name;
    bytes file;
    bool header_refused;  // refused already by read_info
  } cases[] = {
      {"half the file", bytes(good.begin(), good.begin() + good.size() / 2), true},
      {"all but a byte", bytes(good.begin(), good.end() - 1), true},
      {"RIFF header only", bytes(good.begin(), good.begin() + 12), true},
      {"16384 x 16384 in a few bytes", huge, true},
      {"65535 x 65535 canvas", canvas, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    image_info info;
    image out;
    std::string err;
    EXPECT_EQ(!pellimor::read_info(c.file.data(), c.file.size(), image_format::webp, &info, &err),
              c.header_refused);
    err.clear();
    EXPECT_FALSE(pellimor::decode_image(c.file.data(), c.file.size(), image_format::webp, &out, &err));
    EXPECT_EQ(err.rfind("webp: ", 0), 0u) << err;
    EXPECT_TRUE(out.pixels.empty());
  }
  // Damaged picture data inside an intact container.
  bytes scrambled = good;
  for (std::size_t i = 30; i < scrambled.size(); ++i) scrambled[i] ^= 0x5a;
  image out;
  std::string err;
  EXPECT_FALSE(pellimor::decode_image(scrambled.data(), scrambled.size(), image_format::webp, &out, &err));
}

TEST(WebpCodec, EncodeRefusesWhatWebpCannotHold) {
  image wide;
  wide.width = 16384;
  wide.height = 1;
  wide.channels = 3;
  ASSERT_TRUE(wide.allocate());
  std::string err;
  pellimor::encode_options options;
  EXPECT_FALSE(pellimor::encode_image(
      wide, image_format::webp, options, [](const std::uint8_t*, std::size_t) { return true; }, &err));
  EXPECT_NE(err.find("16383"), std::string::npos) << err;
  const image img = codec_test::random_image(4, 4, 3, sample_type::u8, 1);
  EXPECT_FALSE(pellimor::encode_image(
      img, image_format::webp, options, [](const std::uint8_t*, std::size_t) { return false; }, &err));
}

}  // namespace
