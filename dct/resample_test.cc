// SPDX-License-Identifier: MIT
// resample_test.cc - both resampling engines against the definition.
#include "dct/resample.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>

#include "dct/sample_rules.h"
#include "tests/engines.h"
#include "tests/reference.h"
#include "tests/test_util.h"

using namespace pellimor::detail;  // the library's internals

namespace {

using test_engines::resize;

const engine_kind both_engines[] = {engine_kind::direct, engine_kind::fast};

std::string name(engine_kind engine) { return engine == engine_kind::direct ? "direct" : "fast"; }

std::vector<int> bytes(const channel_plane& plane) { return {plane.samples.begin(), plane.samples.end()}; }

TEST(Resample, TwoPixelsStretchedToFour) {
  // Undershoot clipped to 0, overshoot above the source kept, fractions dropped.
  struct example {
    int left, right;
    std::vector<int> expected;
  };
  const example examples[] = {
      {0, 100, {0, 22, 77, 115}},
      {0, 255, {0, 58, 196, 255}},
      {100, 0, {115, 77, 22, 0}},
  };
  for (engine_kind engine : both_engines)
    for (const example& e : examples) {
      const channel_plane source =
          test_util::make_plane(2, 1, [&](int x, int) { return x ? e.right : e.left; });
      EXPECT_EQ(bytes(resize(engine, source, 4, 1)), e.expected)
          << name(engine) << " " << e.left << "," << e.right;
    }
}

struct shape {
  int width, height, new_width, new_height;
};

// Enlarging and shrinking each axis, sizes 1, 2, odd, prime, and past the
// fast engine's blocks of eight lines.
const shape shapes[] = {
    {1, 1, 1, 1},   {1, 1, 3, 2},   {2, 1, 4, 1},    {2, 3, 1, 1},   {3, 5, 7, 2},
    {7, 11, 5, 13}, {13, 7, 13, 7}, {11, 13, 4, 29}, {17, 2, 31, 5}, {5, 17, 3, 3},
    {8, 8, 3, 3},   {1, 9, 19, 1},  {23, 19, 9, 17},
};

TEST(Resample, RandomPlanesMatchAnIndependentEvaluation) {
  for (engine_kind engine : both_engines)
    for (const shape& s : shapes) {
      SCOPED_TRACE(name(engine) + " " + std::to_string(s.width) + "x" + std::to_string(s.height) + " -> " +
                   std::to_string(s.new_width) + "x" + std::to_string(s.new_height));
      const channel_plane source = test_util::random_plane(s.width, s.height, s.width * 31 + s.height);
      const channel_plane out = resize(engine, source, s.new_width, s.new_height);
      const std::vector<long double> exact = reference::resize_values(source, s.new_width, s.new_height);
      int mismatches = 0;
      for (std::size_t i = 0; i < exact.size(); ++i)
        if (!reference::acceptable_bytes(exact[i]).count(out.samples[i]) && ++mismatches <= 5)
          ADD_FAILURE() << "sample " << i << ": got " << int(out.samples[i]) << ", exact value "
                        << static_cast<double>(exact[i]);
      EXPECT_EQ(mismatches, 0);
    }
}

TEST(Resample, UniformPlaneStaysWithinOneLevel) {
  // Truncation may take a value one below the source, never above.
  for (engine_kind engine : both_engines)
    for (int level : {0, 1, 128, 254, 255})
      for (const shape& s : {shape{6, 4, 6, 4}, shape{5, 3, 11, 8}, shape{12, 9, 4, 2}, shape{1, 1, 5, 5}}) {
        const channel_plane source =
            test_util::make_plane(s.width, s.height, [&](int, int) { return level; });
        for (std::uint8_t v : resize(engine, source, s.new_width, s.new_height).samples)
          ASSERT_TRUE(v == level || v == level - 1)
              << name(engine) << " level " << level << " gave " << int(v);
      }
}

TEST(Resample, SameSizeNeverBrightens) {
  for (engine_kind engine : both_engines) {
    const channel_plane source = test_util::random_plane(9, 14, 5);
    const channel_plane out = resize(engine, source, 9, 14);
    for (std::size_t i = 0; i < source.samples.size(); ++i)
      ASSERT_TRUE(out.samples[i] == source.samples[i] || out.samples[i] + 1 == source.samples[i])
          << name(engine) << " sample " << i;
  }
}

TEST(Resample, SharpEdgesSaturateInsteadOfWrapping) {
  // A black/white step rings; the ringing must clip at 0 and 255.
  for (engine_kind engine : both_engines) {
    const channel_plane step = test_util::make_plane(8, 3, [](int x, int) { return x < 4 ? 0 : 255; });
    const channel_plane out = resize(engine, step, 21, 3);
    const std::vector<long double> exact = reference::resize_values(step, 21, 3);
    bool clipped_high = false, clipped_low = false;
    for (std::size_t i = 0; i < exact.size(); ++i) {
      if (exact[i] > 256) {
        clipped_high = true;
        EXPECT_EQ(out.samples[i], 255) << name(engine);
      }
      if (exact[i] < -1) {
        clipped_low = true;
        EXPECT_EQ(out.samples[i], 0) << name(engine);
      }
    }
    EXPECT_TRUE(clipped_high && clipped_low) << "the step should ring both ways";
  }
}

TEST(Resample, ProgressLinesForTwoByOneToFourByOne) {
  const std::string expected =
      "Horizontal DCT start\n"
      "DCTH remain 7 Times\n"
      "Horizontal DCT end\n"
      "Vertical DCT start\n"
      "DCTV remain 6 Times\n"
      "DCTV remain 5 Times\n"
      "Horizontal DCT end\n"
      "Horizontal IDCT start\n"
      "IDCTH remain 4 Times\n"
      "Horizontal IDCT end\n"
      "Vertical IDCT start\n"
      "IDCTV remain 3 Times\n"
      "IDCTV remain 2 Times\n"
      "IDCTV remain 1 Times\n"
      "IDCTV remain 0 Times\n"
      "Vertical IDCT end\n";
  for (engine_kind engine : both_engines) {
    std::FILE* log = std::tmpfile();
    const channel_plane source = test_util::make_plane(2, 1, [](int x, int) { return 50 * x; });
    resize(engine, source, 4, 1, 2, {log, log});
    std::rewind(log);
    std::string got(4096, '\0');
    got.resize(std::fread(got.data(), 1, got.size(), log));
    std::fclose(log);
    EXPECT_EQ(got, expected) << name(engine);
  }
}

TEST(SpectrumResize, KeepsSharedCoefficientsAndZeroFillsTheRest) {
  // 3x2 coefficients c(u, v) = 10u + v + 1, to 2x4 and to 4x1.
  const std::vector<double> c = {1, 2, 11, 12, 21, 22};
  std::vector<double> wider(8, -1), flatter(4, -1);
  spectrum_resize(3, 2, c.data(), 2, 4, wider.data());
  EXPECT_EQ(wider, (std::vector<double>{1, 2, 0, 0, 11, 12, 0, 0}));
  spectrum_resize(3, 2, c.data(), 4, 1, flatter.data());
  EXPECT_EQ(flatter, (std::vector<double>{1, 11, 21, 0}));
}

TEST(Quantise, EdgeValuesUnderBothRules) {
  using pellimor::rounding;
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const struct {
    double value, top, truncated, nearest;
  } cases[] = {
      {0.49999999999999994, 255, 0, 0},  // e + 0.5 would round this up to 1
      {0.5, 255, 0, 1},
      {1.4999999999999998, 255, 1, 1},
      {2.5, 255, 2, 3},
      {254.5, 255, 254, 255},
      {254.49999999999997, 255, 254, 254},
      {255.9, 255, 255, 255},
      {-0.5, 255, 0, 0},
      {-0.4, 255, 0, 0},
      {1e300, 255, 255, 255},
      {-inf, 255, 0, 0},
      {nan, 255, 0, 0},
      {65534.5, 65535, 65534, 65535},
      {70000.2, 65535, 65535, 65535},
  };
  for (const auto& c : cases) {
    // Truncation is left to the conversion to the sample type.
    EXPECT_EQ(std::trunc(quantise_value(c.value, c.top, rounding::trunc)), c.truncated) << c.value;
    EXPECT_EQ(quantise_value(c.value, c.top, rounding::nearest), c.nearest) << c.value;
  }
}

}  // namespace
