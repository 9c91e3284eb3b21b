// SPDX-License-Identifier: MIT
// geometry_test.cc - geometry strings to output sizes, and the ones refused.
#include "lib/geometry.h"

#include <gtest/gtest.h>

#include <string>

using namespace pellimor::detail;  // the library's internals

namespace {

struct size_case {
  const char* text;
  std::int64_t width, height;          // the picture as displayed
  std::int64_t new_width, new_height;  // worked out by hand
};

TEST(Geometry, SizesForSeveralPictures) {
  const size_case cases[] = {
      // 720 x 480: every form.
      {"1531", 720, 480, 1531, 1021},  // 480 * 1531 / 720 = 1020.67
      {"1080x", 720, 480, 1080, 720},
      {"x240", 720, 480, 360, 240},
      {"1080x720", 720, 480, 1080, 720},
      {"800x800", 720, 480, 800, 533},  // width decides: 480 * 800 / 720 = 533.3
      {"800X800", 720, 480, 800, 533},
      {"800x800^", 720, 480, 1200, 800},  // height decides: 720 * 800 / 480
      {"100x100!", 720, 480, 100, 100},
      {"50%", 720, 480, 360, 240},
      {"100%", 720, 480, 720, 480},
      {"50%x25%", 720, 480, 360, 120},
      {"50x25%", 720, 480, 360, 120},
      {"150%x", 720, 480, 1080, 720},
      {"x150%", 720, 480, 1080, 720},
      {"33.3%", 720, 480, 240, 160},  // 239.76, 159.84
      {"12.5%", 720, 480, 90, 60},
      {"345600@", 720, 480, 720, 480},
      {"86400@", 720, 480, 360, 240},
      {"100000@", 720, 480, 387, 258},  // 387.3 x 258.2, 99846 pixels
      {"1000x1000>", 720, 480, 720, 480},
      {"360x360>", 720, 480, 360, 240},
      {"1000x1000<", 720, 480, 1000, 667},
      {"360x360<", 720, 480, 720, 480},
      {"360x1000<", 720, 480, 720, 480},  // smaller on one side: unchanged
      {"200%>", 720, 480, 720, 480},
      {"50%>", 720, 480, 360, 240},
      {"50%<", 720, 480, 720, 480},
      {"<1000x1000", 720, 480, 0, 0},  // not a geometry: refused below
      // Odd sizes, and halves rounding up.
      {"2", 5, 3, 2, 1},      // 1.2
      {"x2", 5, 3, 3, 2},     // 3.33
      {"50%", 5, 3, 3, 2},    // 2.5, 1.5
      {"3", 4, 2, 3, 2},      // 1.5
      {"x1", 3, 2, 2, 1},     // 1.5
      {"10%", 5, 3, 1, 1},    // 0.5 up, 0.3 to at least 1
      {"1x1", 5, 3, 1, 1},    // 1 x 0.6
      {"7x7^", 5, 3, 12, 7},  // 11.67 x 7
      {"15@", 5, 3, 5, 3},    // exactly the picture's area
      {"14@", 5, 3, 4, 2},    // 5 x 3 would be 15 pixels: rounded down
      {"0.000000001%", 2147483647, 1, 1, 1},
      // One-pixel pictures and lines.
      {"x5", 1, 1, 5, 5},
      {"3x1!", 1, 1, 3, 1},
      {"2147483647", 1, 1, 2147483647, 2147483647},
      {"1000000000%", 1, 1, 10000000, 10000000},
      {"10", 1, 1000, 10, 10000},
      {"x10", 1, 1000, 1, 10},  // 0.01 wide: at least 1
      {"10@", 1000, 1, 10, 1},  // 100 x 0.1: the short side stays 1, the long one gives way
      {"10@", 1, 1000, 1, 10},
      // Huge requests that still give a small size.
      {"1000000000000000000x1", 720, 480, 2, 1},
      {"1000000000000000000x1>", 720, 480, 2, 1},
      {"1000000000000000000x1000000000000000000>", 720, 480, 720, 480},
  };
  for (const size_case& c : cases) {
    geometry g;
    std::string err;
    const std::string where =
        std::string(c.text) + " on " + std::to_string(c.width) + "x" + std::to_string(c.height);
    if (c.new_width == 0) {
      EXPECT_FALSE(parse_geometry(c.text, &g, &err)) << where;
      continue;
    }
    ASSERT_TRUE(parse_geometry(c.text, &g, &err)) << where << ": " << err;
    std::int64_t w = -1, h = -1;
    ASSERT_TRUE(resolve_geometry(g, c.width, c.height, &w, &h, &err)) << where << ": " << err;
    EXPECT_EQ(w, c.new_width) << where;
    EXPECT_EQ(h, c.new_height) << where;
  }
}

TEST(Geometry, SidesOverTheLimitAreRefused) {
  const struct {
    const char* text;
    std::int64_t width, height;
    const char* side;
  } cases[] = {
      {"2147483648", 1, 1, "width"},
      {"2147483648x1!", 5, 5, "width"},
      {"1x2147483648!", 5, 5, "height"},
      {"1000000000000000000", 720, 480, "width"},
      {"x1000000000000000000", 1, 2147483647, "height"},
      {"1000000000%", 1000, 1, "width"},
      {"1%x1000000000%", 1, 1000, "height"},
      {"1000000000000000000@", 2147483647, 1, "width"},
      {"1000000000000000000x1000000000000000000^", 3, 2, "width"},
      {"1000000000000000000x1000000000000000000<", 720, 480, "width"},
  };
  for (const auto& c : cases) {
    geometry g;
    std::string err;
    ASSERT_TRUE(parse_geometry(c.text, &g, &err)) << c.text << ": " << err;
    std::int64_t w = -1, h = -1;
    EXPECT_FALSE(resolve_geometry(g, c.width, c.height, &w, &h, &err)) << c.text << " gave " << w << "x" << h;
    EXPECT_EQ(err, std::string("the resulting ") + c.side + " is over 2147483647 pixels") << c.text;
  }
}

TEST(Geometry, BadGeometriesSayWhy) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "no size given"},
      {"x", "no size given"},
      {"%", "no percentage given"},
      {"abc", "unexpected 'a'"},
      {"-5", "unexpected '-'"},
      {"5 ", "unexpected ' '"},
      {"5x5x5", "unexpected 'x'"},
      {"5,5", "unexpected ','"},
      {"0", "'0' is not a size"},
      {"0x5", "'0' is not a size"},
      {"5x00", "'00' is not a size"},
      {"1.5", "'1.5' is not a whole number"},
      {"10x2.5", "'2.5' is not a whole number"},
      {"99999999999999999999", "'99999999999999999999' is too large"},
      {"1000000000000000001x5", "is too large"},
      {"0%", "'0%' is not above 0"},
      {"0.0%x5%", "'0.0%' is not above 0"},
      {"1.2.3%", "'1.2.3' is not a number"},
      {".%", "'.' is not a number"},
      {"1.0000000001%", "more than nine decimals"},
      {"1000000001%", "is too large"},
      {"10!", "'!' needs both a width and a height"},
      {"x10^", "'^' needs both a width and a height"},
      {"10x10!^", "'!' and '^' exclude each other"},
      {"10x10<>", "'<' and '>' exclude each other"},
      {"10x10!!", "'!' given twice"},
      {"50%!", "'!' does not go with percentages"},
      {"10x10@", "'@' takes one whole number"},
      {"10%@", "'@' takes one whole number"},
      {"@", "'@' takes one whole number"},
      {"10@^", "'@' takes one whole number"},
      {"0@", "'0' is not a size"},
  };
  for (const auto& [text, why] : cases) {
    geometry g;
    std::string err;
    EXPECT_FALSE(parse_geometry(text, &g, &err)) << '"' << text << '"';
    EXPECT_NE(err.find(why), std::string::npos) << '"' << text << "\" said: " << err;
  }
}

}  // namespace
