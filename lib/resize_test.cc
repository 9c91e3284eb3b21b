// SPDX-License-Identifier: MIT
// resize_test.cc - the library's resize against an independent evaluation,
// for every sample type, channel count, stride layout and option.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/plane.h"
#include "dct/fast_resample.h"
#include "dct/sample_rules.h"
#include "lib/resize_hooks.h"
#include "lib/sample_access.h"
#include "pellimor/pellimor.h"
#include "tests/reference.h"
#include "tests/test_util.h"

namespace {

using pellimor::sample_type;
using pellimor::detail::fast_resampler;
using pellimor::detail::progress_streams;
using pellimor::detail::value_row_reader;
using pellimor::detail::value_row_writer;
using pellimor::detail::with_type;

using test_util::refusal_of;
using test_util::stopper;

struct shape {
  int width, height, new_width, new_height;
};

// Sizes 1 and 2, odd and prime lengths, enlarging and shrinking each axis.
const shape shapes[] = {{1, 1, 2, 3}, {2, 3, 1, 1}, {7, 5, 11, 3}, {13, 9, 6, 17}, {17, 11, 17, 11}};

// An interleaved buffer with room around the samples: rows `pad` bytes
// longer than they need and pixels one sample wider, so strides matter.
struct strided {
  std::vector<std::uint8_t> bytes;
  pellimor::image_view view;
  pellimor::image_span span;
};

// With `packed`, pixels are just their samples (rows still padded).
strided make_strided(sample_type type, int width, int height, int channels, bool packed = false) {
  strided s;
  const std::ptrdiff_t sample = pellimor::sample_bytes(type), pixel = sample * (channels + (packed ? 0 : 1));
  const std::ptrdiff_t row = pixel * width + 24;
  s.bytes.assign(static_cast<std::size_t>(row * height), 0xEE);
  s.view = {s.bytes.data(), type, width, height, channels, row, pixel, 0};
  s.span = {s.bytes.data(), type, width, height, channels, row, pixel, 0};
  return s;
}

double get(const strided& s, int x, int y, int c) {
  const std::uint8_t* p = s.bytes.data() + y * s.view.row_stride + x * s.view.pixel_stride +
                          c * static_cast<std::ptrdiff_t>(pellimor::sample_bytes(s.view.type));
  switch (s.view.type) {
    case sample_type::u8:
      return *p;
    case sample_type::u16: {
      std::uint16_t v;
      std::memcpy(&v, p, 2);
      return v;
    }
    case sample_type::f32: {
      float v;
      std::memcpy(&v, p, 4);
      return v;
    }
    case sample_type::f64: {
      double v;
      std::memcpy(&v, p, 8);
      return v;
    }
  }
  return 0;
}

void put(strided* s, int x, int y, int c, double value) {
  std::uint8_t* p = s->bytes.data() + y * s->view.row_stride + x * s->view.pixel_stride +
                    c * static_cast<std::ptrdiff_t>(pellimor::sample_bytes(s->view.type));
  switch (s->view.type) {
    case sample_type::u8:
      *p = static_cast<std::uint8_t>(value);
      return;
    case sample_type::u16: {
      const std::uint16_t v = static_cast<std::uint16_t>(value);
      std::memcpy(p, &v, 2);
      return;
    }
    case sample_type::f32: {
      const float v = static_cast<float>(value);
      std::memcpy(p, &v, 4);
      return;
    }
    case sample_type::f64:
      std::memcpy(p, &value, 8);
      return;
  }
}

// A random image of `type` (floats in [-0.25, 1.25], to see nothing clips).
strided random_image(sample_type type, int width, int height, int channels, unsigned seed) {
  strided s = make_strided(type, width, height, channels);
  std::mt19937 rng(seed);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < channels; ++c) {
        const double u = std::uniform_real_distribution<double>(0, 1)(rng);
        put(&s, x, y, c,
            pellimor::is_float(type) ? 1.5 * u - 0.25
                                     : std::floor(u * (pellimor::sample_full_scale(type) + 1)));
      }
  return s;
}

// Channel c of `s` as a column-major plane of doubles.
std::vector<double> plane_of(const strided& s, int c) {
  std::vector<double> plane(static_cast<std::size_t>(s.view.width) * s.view.height);
  for (int x = 0; x < s.view.width; ++x)
    for (int y = 0; y < s.view.height; ++y) plane[plane_index(x, y, s.view.height)] = get(s, x, y, c);
  return plane;
}

// Whether `got` is what an exact engine may give for the exact value e,
// stored as `type`.
bool acceptable(sample_type type, long double e, double got, pellimor::rounding mode) {
  if (type == sample_type::f64) return std::fabs(got - e) <= 1e-12L * (1 + std::fabs(e));
  if (type == sample_type::f32) return std::fabs(got - e) <= 1e-6L * (1 + std::fabs(e));
  const long double top = pellimor::sample_full_scale(type);
  for (long double near : {e - 1e-9L, e, e + 1e-9L}) {
    long double q = mode == pellimor::rounding::nearest ? std::floor(near + 0.5L) : std::trunc(near);
    q = std::min(top, std::max(0.0L, q));
    if (q == got) return true;
  }
  return false;
}

const sample_type all_types[] = {sample_type::u8, sample_type::u16, sample_type::f32, sample_type::f64};
const pellimor::engine both_engines[] = {pellimor::engine::fast, pellimor::engine::direct};

TEST(LibraryResize, EveryTypeChannelCountAndShapeMatchesTheDefinition) {
  for (pellimor::engine method : both_engines)
    for (sample_type type : all_types)
      for (int channels : {1, 3, 4})
        for (const shape& sh : shapes)
          for (pellimor::rounding mode : {pellimor::rounding::trunc, pellimor::rounding::nearest}) {
            SCOPED_TRACE(std::string(pellimor::sample_type_name(type)) + " x" + std::to_string(channels) +
                         " " + std::to_string(sh.width) + "x" + std::to_string(sh.height) + " -> " +
                         std::to_string(sh.new_width) + "x" + std::to_string(sh.new_height) +
                         (method == pellimor::engine::fast ? " fast" : " direct") +
                         (mode == pellimor::rounding::nearest ? " nearest" : " trunc"));
            const strided in = random_image(type, sh.width, sh.height, channels, sh.width * 7 + channels);
            strided out = make_strided(type, sh.new_width, sh.new_height, channels);
            pellimor::resize_settings settings;
            settings.method = method;
            settings.round = mode;
            pellimor::resize(in.view, out.span, settings);
            for (int c = 0; c < channels; ++c) {
              const auto exact =
                  reference::resize_values(plane_of(in, c), sh.width, sh.height, sh.new_width, sh.new_height);
              for (int x = 0; x < sh.new_width; ++x)
                for (int y = 0; y < sh.new_height; ++y) {
                  const long double e = exact[plane_index(x, y, sh.new_height)];
                  ASSERT_TRUE(acceptable(type, e, get(out, x, y, c), mode))
                      << "channel " << c << " at " << x << "," << y << ": " << get(out, x, y, c) << " for "
                      << static_cast<double>(e);
                }
              // The gap between pixels is left alone.
              EXPECT_EQ(out.bytes.back(), 0xEE);
            }
          }
}

// The ways a plain resize takes, 8 bits to 8 bits through the engine's
// bytes and every other pair of types storing the engine's rows as they
// come, give the bytes of the way through rows of doubles, each value
// times the ratio of full scales and stored by store(), to the last bit:
// channel counts with pixels strided, smooth, odd and prime sides both
// ways, both roundings, two threads.
TEST(LibraryResize, EveryWayGivesTheBytesOfTheWayThroughDoubles) {
  const shape cases[] = {{1, 1, 2, 3}, {7, 5, 11, 3}, {13, 9, 6, 17}, {64, 48, 96, 72}, {101, 67, 50, 131}};
  const std::pair<sample_type, sample_type> conversions[] = {
      {sample_type::u8, sample_type::u8},   {sample_type::u16, sample_type::u16},
      {sample_type::f32, sample_type::f32}, {sample_type::f64, sample_type::f64},
      {sample_type::u8, sample_type::f64},  {sample_type::f32, sample_type::u16}};
  for (const auto& [from, to] : conversions)
    for (const shape& sh : cases)
      for (int channels : {1, 2, 3, 4})  // pixels of 2 to 5 samples, the last one unused
        for (pellimor::rounding mode : {pellimor::rounding::trunc, pellimor::rounding::nearest})
          for (const bool hold : {false, true}) {  // channels one after another, or together
            SCOPED_TRACE(std::string(pellimor::sample_type_name(from)) + " -> " +
                         pellimor::sample_type_name(to) + " " + std::to_string(sh.width) + "x" +
                         std::to_string(sh.height) + " -> " + std::to_string(sh.new_width) + "x" +
                         std::to_string(sh.new_height) + " x" + std::to_string(channels) +
                         (mode == pellimor::rounding::nearest ? " nearest" : " trunc") +
                         (hold ? " held" : ""));
            const strided in = random_image(from, sh.width, sh.height, channels, sh.height * 5 + channels);
            strided out = make_strided(to, sh.new_width, sh.new_height, channels),
                    expected = make_strided(to, sh.new_width, sh.new_height, channels);
            pellimor::resize_settings settings;
            settings.round = mode;
            settings.threads = 2;
            settings.hold_channels = hold;
            pellimor::resize(in.view, out.span, settings);
            const double to_destination = pellimor::sample_full_scale(to) / pellimor::sample_full_scale(from);
            fast_resampler resampler(sh.width, sh.height, sh.new_width, sh.new_height, 2);
            for (int c = 0; c < channels; ++c) {
              const value_row_reader rows = [&](std::int32_t first, std::int32_t count, double* values) {
                for (std::int32_t r = 0; r < count; ++r)
                  for (int x = 0; x < sh.width; ++x) *values++ = get(in, x, first + r, c);
                return true;
              };
              const value_row_writer store = [&](std::int32_t first, std::int32_t count,
                                                 const double* values) {
                for (std::int32_t r = 0; r < count; ++r)
                  for (int x = 0; x < sh.new_width; ++x) {
                    const double v = *values++ * to_destination;
                    std::uint8_t* at = static_cast<std::uint8_t*>(expected.span.data) +
                                       (first + r) * expected.span.row_stride +
                                       x * expected.span.pixel_stride + c * pellimor::sample_bytes(to);
                    with_type(to, [&](auto t) {
                      if (mode == pellimor::rounding::nearest)
                        pellimor::detail::store<decltype(t), pellimor::rounding::nearest>(v, at);
                      else
                        pellimor::detail::store<decltype(t), pellimor::rounding::trunc>(v, at);
                    });
                  }
                return true;
              };
              ASSERT_TRUE(resampler.resample_doubles(rows, store, progress_streams{nullptr, nullptr}));
            }
            ASSERT_TRUE(out.bytes == expected.bytes);  // the gaps between pixels too
          }
}

TEST(LibraryResize, SampleTypesConvertByTheirFullScale) {
  // uint16 -> uint8 and float -> uint16: value / full * new full, truncated.
  struct conversion {
    sample_type from, to;
    double value, expected;
  };
  const conversion conversions[] = {
      {sample_type::u16, sample_type::u8, 32768, 127},  // 127.50 truncated
      {sample_type::u16, sample_type::u8, 65535, 255},
      {sample_type::f32, sample_type::u16, 0.5, 32767},  // 32767.5 truncated
      {sample_type::f64, sample_type::u8, 1.75, 255},    // saturated
      {sample_type::u8, sample_type::f64, 51, 0.2},
  };
  for (const conversion& k : conversions) {
    strided in = make_strided(k.from, 4, 4, 1), out = make_strided(k.to, 6, 3, 1);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x) put(&in, x, y, 0, k.value);
    pellimor::resize_settings settings;
    settings.round = pellimor::rounding::nearest;  // a flat plane must come back exactly
    if (pellimor::is_float(k.to) || k.expected == 127 || k.expected == 32767)
      settings.round = pellimor::rounding::trunc;
    pellimor::resize(in.view, out.span, settings);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 6; ++x) EXPECT_NEAR(get(out, x, y, 0), k.expected, 1e-12) << k.value;
  }
}

TEST(LibraryResize, RoundingToNearestGivesAnIdentityResizeBack) {
  for (sample_type type : {sample_type::u8, sample_type::u16}) {
    const strided in = random_image(type, 37, 23, 3, 11);
    strided out = make_strided(type, 37, 23, 3);
    pellimor::resize_settings settings;
    settings.round = pellimor::rounding::nearest;
    pellimor::resize(in.view, out.span, settings);
    for (int y = 0; y < 23; ++y)
      for (int x = 0; x < 37; ++x)
        for (int c = 0; c < 3; ++c) ASSERT_EQ(get(out, x, y, c), get(in, x, y, c)) << x << "," << y;
  }
}

TEST(LibraryResize, TaperWeighsEachKeptCoefficient) {
  // A random plane with the taper against the reference with the same weights.
  for (pellimor::engine method : both_engines)
    for (double power : {1.0, 2.5}) {
      const strided in = random_image(sample_type::f64, 9, 7, 1, 3);
      strided out = make_strided(sample_type::f64, 13, 5, 1);
      pellimor::resize_settings settings;
      settings.method = method;
      settings.taper = power;
      pellimor::resize(in.view, out.span, settings);
      const auto exact = reference::resize_values(plane_of(in, 0), 9, 7, 13, 5, power);
      for (int x = 0; x < 13; ++x)
        for (int y = 0; y < 5; ++y) EXPECT_NEAR(get(out, x, y, 0), exact[plane_index(x, y, 5)], 1e-12);
    }
}

// Largest overshoot above 200 or below 50 of a 50/200 step resized along x,
// the worst over steps at the nine positions around the middle (where the
// step falls between output samples or on one makes a difference).
double step_overshoot(int width, int new_width, double taper) {
  double worst = 0;
  for (int step = width / 2 - 4; step <= width / 2 + 4; ++step) {
    strided in = make_strided(sample_type::f64, width, 1, 1);
    strided out = make_strided(sample_type::f64, new_width, 1, 1);
    for (int x = 0; x < width; ++x) put(&in, x, 0, 0, x < step ? 50 : 200);
    pellimor::resize_settings settings;
    settings.taper = taper;
    pellimor::resize(in.view, out.span, settings);
    for (int x = 0; x < new_width; ++x)
      worst = std::max({worst, get(out, x, 0, 0) - 200, 50 - get(out, x, 0, 0)});
  }
  return worst;
}

TEST(LibraryResize, TaperOfOneCutsAStepsOvershootToAQuarter) {
  for (const auto& [width, new_width] : {std::pair{64, 128}, {101, 257}, {128, 64}, {300, 101}}) {
    const double plain = step_overshoot(width, new_width, 0), tapered = step_overshoot(width, new_width, 1);
    EXPECT_GT(plain, 10) << width << " -> " << new_width;
    EXPECT_LE(tapered, plain / 4) << width << " -> " << new_width;
  }
}

TEST(LibraryResize, LinearLightKeepsFlatColoursAndMeanLight) {
  // A flat colour stays itself.
  strided flat = make_strided(sample_type::u8, 8, 8, 3), flat_out = make_strided(sample_type::u8, 5, 11, 3);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x)
      for (int c = 0; c < 3; ++c) put(&flat, x, y, c, 40 + 70 * c);
  pellimor::resize_settings settings;
  settings.linear = true;
  settings.round = pellimor::rounding::nearest;
  pellimor::resize(flat.view, flat_out.span, settings);
  for (int y = 0; y < 11; ++y)
    for (int x = 0; x < 5; ++x)
      for (int c = 0; c < 3; ++c) EXPECT_EQ(get(flat_out, x, y, c), 40 + 70 * c);

  // Black and white stripes squeezed to one column: half the light, which
  // sRGB encodes as about 188, not the 127 of averaging the codes.
  strided stripes = make_strided(sample_type::f64, 16, 2, 1), one = make_strided(sample_type::f64, 1, 2, 1);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 16; ++x) put(&stripes, x, y, 0, x % 2 ? 1.0 : 0.0);
  pellimor::resize(stripes.view, one.span, settings);
  const double light = get(one, 0, 0, 0);
  const double linear_light = light <= 0.04045 ? light / 12.92 : std::pow((light + 0.055) / 1.055, 2.4);
  EXPECT_NEAR(linear_light, 0.5, 1e-12);
}

TEST(LibraryResize, LinearLightCodesMatchTheCurvesInDouble) {
  // Integer results come from threshold tables; they must agree with the
  // curves evaluated in double (the float result), up to near-ties.
  for (sample_type type : {sample_type::u8, sample_type::u16})
    for (pellimor::rounding mode : {pellimor::rounding::trunc, pellimor::rounding::nearest}) {
      const strided in = random_image(type, 23, 17, 2, 9);
      strided codes = make_strided(type, 31, 12, 2), exact = make_strided(sample_type::f64, 31, 12, 2);
      pellimor::resize_settings settings;
      settings.linear = true;
      settings.round = mode;
      settings.alpha = true;
      pellimor::resize(in.view, codes.span, settings);
      pellimor::resize(in.view, exact.span, settings);
      const double full = pellimor::sample_full_scale(type);
      for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 31; ++x)
          for (int c = 0; c < 2; ++c)
            ASSERT_TRUE(acceptable(type, get(exact, x, y, c) * full, get(codes, x, y, c), mode))
                << x << "," << y << "," << c << ": " << get(codes, x, y, c) << " for "
                << get(exact, x, y, c) * full;
    }
}

TEST(LibraryResize, ColourUnderTransparentPixelsDoesNotBleed) {
  // Left half transparent magenta, right half opaque green.
  strided in = make_strided(sample_type::u8, 32, 4, 4), out = make_strided(sample_type::u8, 45, 7, 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 32; ++x) {
      const bool green = x >= 16;
      const double rgba[4] = {green ? 0.0 : 255.0, green ? 255.0 : 0.0, green ? 0.0 : 255.0,
                              green ? 255.0 : 0.0};
      for (int c = 0; c < 4; ++c) put(&in, x, y, c, rgba[c]);
    }
  pellimor::resize_settings settings;
  settings.alpha = true;
  pellimor::resize(in.view, out.span, settings);
  int visible = 0, hidden = 0;
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 45; ++x) {
      if (get(out, x, y, 3) == 0) {  // nothing to see: no colour either
        ++hidden;
        for (int c = 0; c < 3; ++c) EXPECT_EQ(get(out, x, y, c), 0) << x << "," << y;
      }
      if (get(out, x, y, 3) < 16) continue;
      ++visible;
      EXPECT_EQ(get(out, x, y, 0), 0) << x;  // no red
      EXPECT_EQ(get(out, x, y, 2), 0) << x;  // no blue
    }
  EXPECT_GT(visible, 20 * 7);
  EXPECT_GT(hidden, 10 * 7);
}

TEST(LibraryResize, BadArgumentsAreRefusedWithAReason) {
  const strided in = random_image(sample_type::u8, 4, 4, 3, 1);
  strided out = make_strided(sample_type::u8, 4, 4, 3);
  struct bad_case {
    const char* what;
    void (*spoil)(pellimor::image_view*, pellimor::image_span*, pellimor::resize_settings*);
    const char* message;
  };
  const bad_case cases[] = {
      {"no data",
       [](pellimor::image_view* v, pellimor::image_span*, pellimor::resize_settings*) { v->data = nullptr; },
       "no samples"},
      {"zero width",
       [](pellimor::image_view* v, pellimor::image_span*, pellimor::resize_settings*) { v->width = 0; },
       "source has no pixels"},
      {"zero new height",
       [](pellimor::image_view*, pellimor::image_span* s, pellimor::resize_settings*) { s->height = 0; },
       "new size has no pixels"},
      {"channels differ",
       [](pellimor::image_view*, pellimor::image_span* s, pellimor::resize_settings*) { s->channels = 2; },
       "same number of channels"},
      {"negative taper",
       [](pellimor::image_view*, pellimor::image_span*, pellimor::resize_settings* t) { t->taper = -1; },
       "taper"},
      {"alpha alone",
       [](pellimor::image_view* v, pellimor::image_span* s, pellimor::resize_settings* t) {
         v->channels = s->channels = 1;
         t->alpha = true;
       },
       "alpha"},
      {"a default span's strides of 0",
       [](pellimor::image_view*, pellimor::image_span* s, pellimor::resize_settings*) {
         s->row_stride = s->pixel_stride = 0;
       },
       "several samples in one place"},
      {"rows overlapping",
       [](pellimor::image_view*, pellimor::image_span* s, pellimor::resize_settings*) {
         s->row_stride = 3 * s->pixel_stride;
       },
       "several samples in one place"},
      {"pixels overlapping their channels",
       [](pellimor::image_view*, pellimor::image_span* s, pellimor::resize_settings*) {
         s->pixel_stride = 2;
       },
       "several samples in one place"},
      {"written over the source",
       [](pellimor::image_view* v, pellimor::image_span* s, pellimor::resize_settings*) {
         s->data = const_cast<void*>(v->data);
       },
       "overlaps the source"},
  };
  for (const bad_case& k : cases) {
    pellimor::image_view view = in.view;
    pellimor::image_span span = out.span;
    pellimor::resize_settings settings;
    k.spoil(&view, &span, &settings);
    const std::string why = refusal_of([&] { pellimor::resize(view, span, settings); });
    EXPECT_NE(why.find(k.message), std::string::npos) << k.what << ": " << why;
    // The pipeline's form carries the same message.
    std::string err;
    EXPECT_FALSE(pellimor::resize(view, span, settings, pellimor::resize_hooks{}, &err)) << k.what;
    EXPECT_EQ(err, why) << k.what;
  }
  pellimor::image empty;
  EXPECT_THROW(pellimor::resize(empty, 3, 3), pellimor::error);
  // A destination laid out backwards is samples apart all the same, and the
  // pipeline's form leaves no message of an earlier failure behind.
  pellimor::image_span backwards = out.span;
  backwards.data = static_cast<std::uint8_t*>(out.span.data) + 3 * out.span.row_stride;
  backwards.row_stride = -out.span.row_stride;
  EXPECT_EQ(refusal_of([&] { pellimor::resize(in.view, backwards, {}); }), "");
  std::string err = "an earlier failure";
  EXPECT_TRUE(pellimor::resize(in.view, backwards, {}, pellimor::resize_hooks{}, &err));
  EXPECT_EQ(err, "");
}

TEST(LibraryResize, ResizesFromSeveralThreadsAtOnceAgree) {
  pellimor::image img;
  img.width = 61;
  img.height = 47;
  img.channels = 3;
  ASSERT_TRUE(img.allocate());
  std::mt19937 rng(5);
  for (std::uint8_t& b : img.pixels) b = rng() & 0xff;
  pellimor::resize_settings settings;
  settings.threads = 1;
  const pellimor::image expected = pellimor::resize(img, 97, 31, settings);
  std::vector<pellimor::image> got(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] { got[t] = pellimor::resize(img, 97, 31, settings); });
  for (std::thread& t : threads) t.join();
  for (const pellimor::image& g : got) EXPECT_EQ(g.pixels, expected.pixels);
}

TEST(LibraryResize, OneChannelStopsInsideThePassesOverColumns) {
  // Two rows of batches in, 128 batches of columns (each transformed both
  // ways in one pass), three rows out:
  // nearly all the work lies between the rows read and the rows written.
  const int width = 2048, height = 16, new_width = 1024, new_height = 24;
  const int rows_in = height / 8, columns = std::min(width, new_width) / 8;
  pellimor::image img;
  img.width = width;
  img.height = height;
  img.channels = 1;
  ASSERT_TRUE(img.allocate());
  std::mt19937 rng(9);
  for (std::uint8_t& b : img.pixels) b = rng() & 0xff;
  const int allowed[] = {rows_in, rows_in + 1, rows_in + columns / 2, rows_in + columns - 1};
  for (const int a : allowed) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(new_width) * new_height, 0xEE);
    const pellimor::image_span to{out.data(), sample_type::u8, new_width, new_height, 1, new_width, 1, 0};
    stopper stop{a};
    pellimor::resize_settings settings;
    settings.threads = 1;
    settings.proceed = stopper::proceed;
    settings.context = &stop;
    EXPECT_EQ(refusal_of([&] { pellimor::resize(pellimor::view_of(img), to, settings); }),
              "(stopped) the resize was stopped")
        << a;
    EXPECT_EQ(stop.asked, a + 1) << a;  // asked once a batch, and nothing after the stop
    EXPECT_EQ(std::count(out.begin(), out.end(), 0xEE), static_cast<std::ptrdiff_t>(out.size())) << a;
  }
}

// Held channels of packed pixels are stored four pixel pairs at a time
// (where the processor has the vector unit): the same bytes as the channels
// resized in turn, for widths that leave pairs and a middle pixel over, and
// the row padding untouched.
TEST(LibraryResize, HeldChannelsOfPackedPixelsGiveTheBytesOfChannelsInTurn) {
  const std::pair<sample_type, sample_type> conversions[] = {{sample_type::f64, sample_type::f64},
                                                             {sample_type::f32, sample_type::f32},
                                                             {sample_type::u16, sample_type::f32},
                                                             {sample_type::u8, sample_type::f64}};
  for (const auto& [from, to] : conversions)
    for (int channels : {2, 3, 4})
      for (int new_width : {8, 9, 16, 17, 23}) {
        SCOPED_TRACE(std::string(pellimor::sample_type_name(from)) + " -> " + pellimor::sample_type_name(to) +
                     " x" + std::to_string(channels) + " to width " + std::to_string(new_width));
        const strided in = random_image(from, 12, 5, channels, new_width + channels);
        strided held = make_strided(to, new_width, 7, channels, true);
        strided in_turn = make_strided(to, new_width, 7, channels, true);
        pellimor::resize_settings settings;
        settings.threads = 2;
        pellimor::resize(in.view, in_turn.span, settings);
        settings.hold_channels = true;
        pellimor::resize(in.view, held.span, settings);
        EXPECT_TRUE(held.bytes == in_turn.bytes);
      }
  // 16 MiB of output and more is written past the caches, the same bytes.
  for (const auto& [type, new_width] : {std::pair{sample_type::f64, 1024}, std::pair{sample_type::f32, 2048}}) {
    const strided in = random_image(type, 60, 40, 4, 3);
    strided held = make_strided(type, new_width, 512, 4, true);
    strided in_turn = make_strided(type, new_width, 512, 4, true);
    ASSERT_GE(held.bytes.size(), std::size_t{16} << 20);
    pellimor::resize_settings settings;
    pellimor::resize(in.view, in_turn.span, settings);
    settings.hold_channels = true;
    pellimor::resize(in.view, held.span, settings);
    EXPECT_TRUE(held.bytes == in_turn.bytes) << pellimor::sample_type_name(type);
  }
}

// With every channel's array held, no output is written before the last
// pass, and each batch of output rows is written for all channels at once:
// a stop before the last pass leaves the destination untouched, and one
// after its first batch leaves exactly that batch's rows (every channel)
// written. The engine is asked once a batch: two batches of rows and four
// of columns a channel, then three of output rows.
TEST(LibraryResize, HeldChannelsAreWrittenTogetherInTheLastPassOnly) {
  const int width = 64, height = 16, new_width = 32, new_height = 24, channels = 3;
  const strided in = random_image(sample_type::f64, width, height, channels, 4);
  pellimor::resize_settings settings;
  settings.threads = 1;
  settings.hold_channels = true;
  strided whole = make_strided(sample_type::f64, new_width, new_height, channels);
  pellimor::resize(in.view, whole.span, settings);
  const int before_last = channels * (2 + 4);
  for (const int a : {0, 5, before_last - 1, before_last + 1}) {
    strided out = make_strided(sample_type::f64, new_width, new_height, channels);
    std::fill(out.bytes.begin(), out.bytes.end(), std::uint8_t{0xEE});
    stopper stop{a};
    settings.proceed = stopper::proceed;
    settings.context = &stop;
    EXPECT_EQ(refusal_of([&] { pellimor::resize(in.view, out.span, settings); }),
              "(stopped) the resize was stopped")
        << a;
    EXPECT_EQ(stop.asked, a + 1) << a;
    const std::int32_t rows_written = a > before_last ? 8 : 0;
    for (int y = 0; y < new_height; ++y)
      for (int x = 0; x < new_width; ++x)
        for (int c = 0; c < channels; ++c) {
          const double got = get(out, x, y, c);
          if (y < rows_written)
            EXPECT_EQ(got, get(whole, x, y, c)) << a << " " << x << "," << y << "," << c;
          else
            EXPECT_EQ(std::memcmp(&got, "\xEE\xEE\xEE\xEE\xEE\xEE\xEE\xEE", 8), 0)
                << a << " " << x << "," << y;
        }
  }
}

}  // namespace
