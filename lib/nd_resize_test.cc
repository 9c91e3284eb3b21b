// SPDX-License-Identifier: MIT
// nd_resize_test.cc - resizing arrays of any rank along any axes, against
// the defining cosine sums applied axis by axis.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "pellimor/pellimor.h"
#include "tests/test_util.h"

namespace {

using pellimor::sample_type;
using extents_t = std::vector<std::int64_t>;

using test_util::refusal_of;
using test_util::stopper;

std::vector<std::ptrdiff_t> packed_strides(const extents_t& extents, std::ptrdiff_t sample) {
  std::vector<std::ptrdiff_t> strides(extents.size());
  for (std::size_t a = extents.size(); a-- > 0;) {
    strides[a] = sample;
    sample *= static_cast<std::ptrdiff_t>(extents[a]);
  }
  return strides;
}

std::int64_t count_of(const extents_t& extents) {
  return std::accumulate(extents.begin(), extents.end(), std::int64_t{1}, std::multiplies<>());
}

// The resize of one axis as its matrix: result m of a line x is
//   (2/n) * sum_{k < min(n, n')} h_k * cos(pi k (2m+1) / 2n') * sum_i x_i cos(pi k (2i+1) / 2n)
// with h_0 = 1/2 and h_k = 1 otherwise.
std::vector<double> axis_matrix(std::int64_t n, std::int64_t new_n) {
  const double pi = std::acos(-1.0);
  std::vector<double> m(static_cast<std::size_t>(new_n * n), 0.0);
  for (std::int64_t out = 0; out < new_n; ++out)
    for (std::int64_t i = 0; i < n; ++i)
      for (std::int64_t k = 0; k < std::min(n, new_n); ++k)
        m[out * n + i] += (2.0 / n) * (k == 0 ? 0.5 : 1.0) *
                          std::cos(pi * k * (2 * out + 1) / (2.0 * new_n)) *
                          std::cos(pi * k * (2 * i + 1) / (2.0 * n));
  return m;
}

// Packed C-order values resized along `axes`, one matrix at a time.
std::vector<double> reference(std::vector<double> values, extents_t extents, const std::vector<int>& axes,
                              const extents_t& new_extents) {
  for (const int axis : axes) {
    const std::int64_t n = extents[axis], new_n = new_extents[axis];
    const std::vector<double> m = axis_matrix(n, new_n);
    std::int64_t outer = 1, inner = 1;
    for (int a = 0; a < axis; ++a) outer *= extents[a];
    for (std::size_t a = axis + 1; a < extents.size(); ++a) inner *= extents[a];
    std::vector<double> next(static_cast<std::size_t>(outer * new_n * inner), 0.0);
    for (std::int64_t o = 0; o < outer; ++o)
      for (std::int64_t j = 0; j < new_n; ++j)
        for (std::int64_t i = 0; i < n; ++i)
          for (std::int64_t q = 0; q < inner; ++q)
            next[(o * new_n + j) * inner + q] += m[j * n + i] * values[(o * n + i) * inner + q];
    values = std::move(next);
    extents[axis] = new_n;
  }
  return values;
}

std::vector<double> random_values(std::int64_t count, double top, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> uniform(0.0, top);
  std::vector<double> v(static_cast<std::size_t>(count));
  for (double& x : v) x = uniform(rng);
  return v;
}

struct nd_case {
  extents_t extents;
  std::vector<int> axes;
  extents_t new_extents;
};

// Ranks 1 to 4; one, two (planes) and three axes; lengths 1, odd, prime.
const nd_case cases[] = {
    {{13}, {0}, {20}},
    {{16}, {0}, {1}},
    {{5, 6, 7}, {0, 1, 2}, {8, 3, 9}},
    {{7, 5, 6}, {1}, {7, 11, 6}},
    {{4, 9, 7}, {2, 1}, {4, 5, 12}},
    {{3, 5, 4, 2}, {0, 1, 2}, {6, 2, 7, 2}},
    {{1, 1, 1}, {0, 1, 2}, {3, 1, 2}},
};

TEST(NdResize, DoublesMatchTheSumsAlongEachAxis) {
  for (const nd_case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.extents) + " -> " + ::testing::PrintToString(c.new_extents));
    const std::vector<double> in = random_values(count_of(c.extents), 1.0, 7);
    std::vector<double> out(static_cast<std::size_t>(count_of(c.new_extents)), -1.0);
    pellimor::nd_view view{in.data(), sample_type::f64, c.extents, packed_strides(c.extents, 8)};
    pellimor::nd_span span{out.data(), sample_type::f64, c.new_extents, packed_strides(c.new_extents, 8)};
    pellimor::resize(view, span, c.axes, {});
    const std::vector<double> want = reference(in, c.extents, c.axes, c.new_extents);
    for (std::size_t i = 0; i < want.size(); ++i) ASSERT_NEAR(out[i], want[i], 1e-12) << i;
  }
}

// A cosine that both lengths represent comes out as the same cosine at the
// new length, at weight 1, and a constant as itself. A sum of products of
// such cosines checks arrays too large for the sums above: results of
// megabytes (the passes stream them past the cache), lines side by side in
// memory and not, rows padded so that a batch of eight starts off a 16-byte
// boundary, the last two axes resized plane by plane and not, and a single
// axis in the middle.
TEST(NdResize, CosinesComeOutAsTheSameCosinesAtTheNewLengths) {
  struct cosine_case {
    extents_t extents;
    std::vector<int> axes;
    extents_t new_extents;
    std::int64_t pad;  // extra doubles at the end of each destination row
  };
  const cosine_case cosine_cases[] = {
      {{24, 40, 1500}, {0, 1, 2}, {30, 45, 1100}, 0},
      {{24, 40, 1500}, {0, 1, 2}, {30, 45, 1100}, 1},
      {{9, 17, 331}, {0, 1, 2}, {12, 16, 400}, 0},
      {{9, 17, 331}, {0, 2, 1}, {12, 16, 400}, 3},
      {{64, 300, 72}, {1}, {64, 451, 72}, 0},
      {{40, 48, 600}, {0, 1, 2}, {50, 60, 700}, 0},   // planes, in place in the destination
      {{3, 1200, 400}, {0, 1, 2}, {4, 1300, 500}, 1}, // planes too large for the cache: passes
      {{5, 3, 2, 700}, {0, 1, 3}, {6, 2, 2, 1024}, 1},
  };
  const double pi = std::acos(-1.0);
  // Frequencies 1, 2, 3, ... along the resized axes, 0 along the others.
  const auto frequency = [](const cosine_case& c, std::size_t a) {
    for (std::size_t i = 0; i < c.axes.size(); ++i)
      if (c.axes[i] == static_cast<int>(a)) return static_cast<std::int64_t>(i + 1);
    return std::int64_t{0};
  };
  // 0.25 + the product over axes of cos(pi k (2 i + 1) / 2 n) at `index`.
  const auto value = [&](const cosine_case& c, const extents_t& extents, const extents_t& index) {
    double product = 1.0;
    for (std::size_t a = 0; a < extents.size(); ++a)
      product *= std::cos(pi * frequency(c, a) * (2.0 * index[a] + 1.0) / (2.0 * extents[a]));
    return 0.25 + product;
  };
  const auto next = [](extents_t& index, const extents_t& extents) {
    for (std::size_t a = extents.size(); a-- > 0;) {
      if (++index[a] < extents[a]) return true;
      index[a] = 0;
    }
    return false;
  };
  for (const cosine_case& c : cosine_cases) {
    SCOPED_TRACE(::testing::PrintToString(c.extents) + " -> " + ::testing::PrintToString(c.new_extents) +
                 " pad " + std::to_string(c.pad));
    std::vector<double> in(static_cast<std::size_t>(count_of(c.extents)));
    extents_t index(c.extents.size(), 0);
    std::size_t k = 0;
    do in[k++] = value(c, c.extents, index);
    while (next(index, c.extents));
    extents_t rows = c.new_extents;
    rows.back() += c.pad;
    std::vector<double> out(static_cast<std::size_t>(count_of(rows)), -7.0);
    pellimor::nd_view view{in.data(), sample_type::f64, c.extents, packed_strides(c.extents, 8)};
    pellimor::nd_span span{out.data(), sample_type::f64, c.new_extents, packed_strides(rows, 8)};
    pellimor::resize(view, span, c.axes, {});
    index.assign(c.new_extents.size(), 0);
    k = 0;
    do {
      const double want = value(c, c.new_extents, index);
      ASSERT_NEAR(out[k], want, 1e-11) << ::testing::PrintToString(index);
      if (++k % rows.back() == static_cast<std::size_t>(c.new_extents.back())) {
        for (std::int64_t i = 0; i < c.pad; ++i, ++k) ASSERT_EQ(out[k], -7.0) << "padding written";
      }
    } while (next(index, c.new_extents));
  }
}

TEST(NdResize, IntegersAreQuantisedAsRequested) {
  const extents_t extents{6, 5, 7}, new_extents{4, 9, 7};
  const std::vector<int> axes{0, 1, 2};
  const std::vector<double> values = random_values(count_of(extents), 65535.0, 3);
  std::vector<std::uint16_t> in(values.begin(), values.end());
  const std::vector<double> exact =
      reference(std::vector<double>(in.begin(), in.end()), extents, axes, new_extents);
  for (const pellimor::rounding mode : {pellimor::rounding::trunc, pellimor::rounding::nearest}) {
    std::vector<std::uint16_t> out(exact.size());
    pellimor::resize_settings settings;
    settings.round = mode;
    pellimor::resize({in.data(), sample_type::u16, extents, packed_strides(extents, 2)},
                     {out.data(), sample_type::u16, new_extents, packed_strides(new_extents, 2)}, axes,
                     settings);
    for (std::size_t i = 0; i < exact.size(); ++i) {
      const double e = std::min(65535.0, std::max(0.0, exact[i]));
      const double want = mode == pellimor::rounding::nearest ? std::floor(e + 0.5) : std::trunc(e);
      ASSERT_LE(std::abs(out[i] - want), 1.0) << i;
      const double edge = mode == pellimor::rounding::nearest ? e - 0.5 : e;
      if (std::abs(edge - std::round(edge)) > 1e-6) {
        ASSERT_EQ(out[i], want) << i;
      }
    }
  }
}

TEST(NdResize, DefaultRoundingIsNearest) {
  const std::uint8_t in[2] = {10, 11};  // the mean is 10.5
  std::uint8_t out = 0;
  pellimor::resize({in, sample_type::u8, {2}, {1}}, {&out, sample_type::u8, {1}, {1}}, {0}, {});
  EXPECT_EQ(out, 11);
  pellimor::image_view view{in, sample_type::u8, 2, 1, 1, 2, 1, 0};
  pellimor::image_span span{&out, sample_type::u8, 1, 1, 1, 1, 1, 0};
  pellimor::resize(view, span, pellimor::resize_settings{});
  EXPECT_EQ(out, 11);
}

// A stack of frames along two axes gives each frame the 2-D resize's bytes;
// strides of any sign are read where they lie.
TEST(NdResize, TwoAxesGiveEachPlaneTheImageResize) {
  const int frames = 3, height = 9, width = 7, channels = 2, new_height = 5, new_width = 12;
  const std::vector<double> values = random_values(frames * height * width * channels, 255.0, 11);
  const std::vector<std::uint8_t> in(values.begin(), values.end());
  // (height, frames, width, channels), the frame axis walked backwards.
  const extents_t extents{height, frames, width, channels},
      new_extents{new_height, frames, new_width, channels};
  const std::ptrdiff_t frame = height * width * channels;
  pellimor::nd_view view{
      in.data() + (frames - 1) * frame, sample_type::u8, extents, {width * channels, -frame, channels, 1}, 3};
  std::vector<std::uint8_t> out(static_cast<std::size_t>(count_of(new_extents)));
  pellimor::nd_span span{out.data(), sample_type::u8, new_extents, packed_strides(new_extents, 1)};
  pellimor::resize_settings settings;
  settings.alpha = true;
  settings.taper = 1.0;
  pellimor::resize(view, span, {2, 0}, settings);
  for (int f = 0; f < frames; ++f) {
    pellimor::image_view one{in.data() + f * frame, sample_type::u8, width, height, channels,
                             width * channels,      channels,        0};
    std::vector<std::uint8_t> want(static_cast<std::size_t>(new_width * new_height * channels));
    pellimor::image_span to{want.data(), sample_type::u8,      new_width, new_height,
                            channels,    new_width * channels, channels,  0};
    pellimor::resize(one, to, settings);
    const int index = frames - 1 - f;  // the view runs the frames backwards
    for (int y = 0; y < new_height; ++y)
      for (int x = 0; x < new_width * channels; ++x)
        ASSERT_EQ(out[(y * frames + index) * new_width * channels + x], want[y * new_width * channels + x])
            << f << " " << y << " " << x;
  }
}

TEST(NdResize, BytesDoNotDependOnTheThreadCount) {
  const extents_t extents{9, 31, 23}, new_extents{14, 17, 40};
  const std::vector<double> in = random_values(count_of(extents), 1.0, 5);
  std::vector<double> one(static_cast<std::size_t>(count_of(new_extents))), three(one.size());
  pellimor::resize_settings settings;
  for (auto [threads, out] : {std::pair{1, &one}, std::pair{3, &three}}) {
    settings.threads = threads;
    pellimor::resize({in.data(), sample_type::f64, extents, packed_strides(extents, 8)},
                     {out->data(), sample_type::f64, new_extents, packed_strides(new_extents, 8)}, {0, 1, 2},
                     settings);
  }
  EXPECT_EQ(0, std::memcmp(one.data(), three.data(), one.size() * sizeof(double)));
}

TEST(NdResize, BadArgumentsAreRefusedWithAReason) {
  std::vector<double> in(4 * 5 * 6), out(4 * 5 * 6 * 4);
  const extents_t extents{4, 5, 6};
  const pellimor::nd_view good_view{in.data(), sample_type::f64, extents, packed_strides(extents, 8)};
  const pellimor::nd_span good_span{
      out.data(), sample_type::f64, {4, 10, 12}, packed_strides({4, 10, 12}, 8)};
  struct refusal {
    const char* what;
    pellimor::nd_view view;
    pellimor::nd_span span;
    std::vector<int> axes;
    bool alpha;
  };
  auto view = [&](auto change) {
    pellimor::nd_view v = good_view;
    change(v);
    return v;
  };
  auto span = [&](auto change) {
    pellimor::nd_span s = good_span;
    change(s);
    return s;
  };
  const refusal refusals[] = {
      {"no samples", view([](auto& v) { v.data = nullptr; }), good_span, {1, 2}, false},
      {"1 to 32 axes", view([](auto& v) { v.extents.clear(), v.strides.clear(); }), good_span, {0}, false},
      {"one extent and one stride", view([](auto& v) { v.strides.pop_back(); }), good_span, {1, 2}, false},
      {"no axis", good_view, good_span, {}, false},
      {"outside the array", good_view, good_span, {1, 3}, false},
      {"given twice", good_view, good_span, {1, 1}, false},
      {"not resized", good_view, good_span, {2}, false},
      {"no samples", view([](auto& v) { v.extents[0] = 0; }), good_span, {1, 2}, false},
      {"no samples", good_view, span([](auto& s) { s.extents[1] = 0; }), {1, 2}, false},
      {"several samples in one place", good_view, span([](auto& s) { s.strides[0] = 0; }), {1, 2}, false},
      {"several samples in one place",
       good_view,
       span([](auto& s) { s.strides[1] = 8 * 11; }),
       {1, 2},
       false},
      {"overlaps the source", good_view, span([&](auto& s) { s.data = in.data() + 3; }), {1, 2}, false},
      {"alpha needs a channel axis", good_view, span([](auto& s) { s.extents[2] = 6; }), {1}, true},
      {"channel axis", good_view, good_span, {1, 2}, true},
      {"channel axis must be", view([](auto& v) { v.channel_axis = 1; }), good_span, {1, 2}, false},
  };
  for (const refusal& r : refusals) {
    pellimor::resize_settings settings;
    settings.alpha = r.alpha;
    const std::string why = refusal_of([&] { pellimor::resize(r.view, r.span, r.axes, settings); });
    EXPECT_NE(why.find(r.what), std::string::npos) << r.what << ": " << why;
  }
}

// Along three axes, alpha and linear light take each element as the 2-D
// resize takes a pixel. With the first axis kept at its length its pass
// changes nothing, so each slice must come out as the image resize of that
// slice: to rounding in doubles, and within one code (a value that close to
// a rounding edge may go either way) for integers.
TEST(NdResize, AlphaAndLinearAlongThreeAxesTakeEachElementAsAPixel) {
  const int depth = 3, height = 7, width = 6, channels = 4, new_height = 10, new_width = 4;
  const extents_t extents{depth, height, width, channels},
      new_extents{depth, new_height, new_width, channels};
  const std::vector<double> values = random_values(count_of(extents), 255.0, 21);
  std::vector<std::uint8_t> in(values.begin(), values.end());
  for (std::size_t i = 3; i < in.size(); i += 4 * 5) in[i] = 0;  // some pixels fully transparent
  struct variant {
    bool alpha, linear;
    sample_type to;
  };
  const variant variants[] = {{true, false, sample_type::f64}, {false, true, sample_type::f64},
                              {true, true, sample_type::f64},  {true, true, sample_type::u8},
                              {false, true, sample_type::u16}, {true, false, sample_type::u8}};
  for (const variant& v : variants) {
    SCOPED_TRACE(::testing::Message() << "alpha " << v.alpha << " linear " << v.linear << " to "
                                      << pellimor::sample_bytes(v.to) << " bytes");
    const std::ptrdiff_t size = static_cast<std::ptrdiff_t>(pellimor::sample_bytes(v.to));
    pellimor::resize_settings settings;
    settings.alpha = v.alpha;
    settings.linear = v.linear;
    std::vector<std::uint8_t> out(static_cast<std::size_t>(count_of(new_extents) * size));
    pellimor::resize({in.data(), sample_type::u8, extents, packed_strides(extents, 1), 3},
                     {out.data(), v.to, new_extents, packed_strides(new_extents, size)}, {0, 1, 2}, settings);
    std::vector<std::uint8_t> want(out.size());
    for (int d = 0; d < depth; ++d) {
      const pellimor::image_view slice{in.data() + d * height * width * channels,
                                       sample_type::u8,
                                       width,
                                       height,
                                       channels,
                                       width * channels,
                                       channels,
                                       0};
      const std::ptrdiff_t slice_bytes = new_height * new_width * channels * size;
      pellimor::resize(slice,
                       {want.data() + d * slice_bytes, v.to, new_width, new_height, channels,
                        new_width * channels * size, channels * size, 0},
                       settings);
    }
    const auto value = [&](const std::vector<std::uint8_t>& bytes, std::size_t i) {
      double x = 0;
      if (v.to == sample_type::f64) std::memcpy(&x, &bytes[i * 8], 8);
      if (v.to == sample_type::u16) {
        std::uint16_t w;
        std::memcpy(&w, &bytes[i * 2], 2);
        x = w;
      }
      if (v.to == sample_type::u8) x = bytes[i];
      return x;
    };
    const std::size_t count = out.size() / size;
    std::size_t off_by_one = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const double got = value(out, i), expected = value(want, i);
      if (v.to == sample_type::f64) {
        ASSERT_NEAR(got, expected, 1e-9) << i;
      } else {
        ASSERT_LE(std::abs(got - expected), 1.0) << i;
        off_by_one += got != expected;
      }
    }
    EXPECT_LE(off_by_one, count / 100);
  }
}

TEST(NdResize, ProceedSaysStopAndNothingMoreIsWritten) {
  struct route {
    const char* what;
    extents_t extents, new_extents;
    std::vector<int> axes;
    pellimor::engine method;
  };
  const route routes[] = {
      {"three axes", {20, 30, 40}, {40, 60, 80}, {0, 1, 2}, pellimor::engine::fast},
      {"planes, fast", {64, 48, 3}, {128, 96, 3}, {0, 1}, pellimor::engine::fast},
      {"planes, direct", {9, 8, 3}, {12, 10, 3}, {0, 1}, pellimor::engine::direct},
  };
  for (const route& r : routes) {
    const std::vector<double> in = random_values(count_of(r.extents), 1.0, 1);
    const double untouched = -7.0;
    std::vector<double> out(static_cast<std::size_t>(count_of(r.new_extents)), untouched);
    stopper stop{0};
    pellimor::resize_settings settings;
    settings.method = r.method;
    settings.proceed = stopper::proceed;
    settings.context = &stop;
    const auto run = [&] {
      pellimor::resize({in.data(), sample_type::f64, r.extents, packed_strides(r.extents, 8)},
                       {out.data(), sample_type::f64, r.new_extents, packed_strides(r.new_extents, 8)},
                       r.axes, settings);
    };
    EXPECT_EQ(refusal_of(run), "(stopped) the resize was stopped") << r.what;
    EXPECT_GT(stop.asked.load(), 0) << r.what;
    EXPECT_EQ(std::count(out.begin(), out.end(), untouched), static_cast<std::ptrdiff_t>(out.size()))
        << r.what;
    // Let through, the same call finishes.
    stop.allowed = 1 << 30;
    EXPECT_EQ(refusal_of(run), "") << r.what;
  }
}

TEST(NdResize, AStoppedFileResizeLeavesNoOutput) {
  test_util::temp_dir dir;
  pellimor::image picture;
  picture.width = 40;
  picture.height = 30;
  picture.channels = 3;
  ASSERT_TRUE(picture.allocate());
  for (std::size_t i = 0; i < picture.pixels.size(); ++i)
    picture.pixels[i] = static_cast<std::uint8_t>(i * 7);
  // A 24-bit BMP takes the streaming route, a PNG the decoded one.
  for (const char* name : {"in.bmp", "in.png"}) {
    pellimor::write_image(dir.file(name), picture);
    for (const int allowed : {0, 5}) {
      stopper stop{allowed};
      pellimor::file_options options;
      options.size = "200%";
      options.settings.proceed = stopper::proceed;
      options.settings.context = &stop;
      const std::string output = dir.file(std::string("out-") + name);
      EXPECT_THROW(pellimor::resize_file(dir.file(name), output, options), pellimor::stopped) << name;
      EXPECT_FALSE(std::filesystem::exists(output)) << name << " " << allowed;
      EXPECT_GT(stop.asked.load(), allowed) << name;
    }
  }
  const std::vector<std::string> left = dir.entries();
  EXPECT_EQ(left, (std::vector<std::string>{"in.bmp", "in.png"}));
}

}  // namespace
