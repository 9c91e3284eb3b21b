// SPDX-License-Identifier: MIT
// bmp_stream_test.cc - the streaming BMP resize, its planes held or not.
#include "lib/bmp_stream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "tests/test_util.h"

using namespace pellimor::detail;  // the library's internals

namespace {

struct closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Red and green held in memory until blue comes, and each channel merged
// into the file as it comes, give the same file: with planes large enough
// to be held (two huge pages and more). Threads 2: the blocks of rows
// arrive out of order.
TEST(BmpStream, HeldPlanesGiveTheFileMergingGives) {
  const test_util::temp_dir dir;
  const channel_plane blue = test_util::random_plane(61, 37, 5), green = test_util::random_plane(61, 37, 6),
                      red = test_util::random_plane(61, 37, 7);
  test_util::write_file(dir.file("in.bmp"), test_util::bmp_bytes(blue, green, red));
  const std::int32_t new_width = 2411, new_height = 1803;  // 4.3 MB a plane
  ASSERT_GE(pellimor::bmp_held_bytes(new_width, new_height), 2.0 * new_width * new_height);
  {
    std::string files[2];
    for (const bool hold : {false, true}) {
      std::unique_ptr<std::FILE, closer> input(std::fopen(dir.file("in.bmp").c_str(), "rb"));
      ASSERT_TRUE(input);
      bmp_layout layout;
      std::string err;
      ASSERT_EQ(read_bmp_layout(input.get(), &layout, &err), bmp_status::ok) << err;
      pellimor::resize_settings settings;
      settings.threads = 2;
      const std::string out = dir.file(hold ? "held.bmp" : "merged.bmp");
      ASSERT_EQ(pellimor::resize_bmp_stream(input.get(), layout, new_width, new_height, out, settings,
                                            progress_streams{nullptr, nullptr}, &err, hold),
                bmp_status::ok)
          << err;
      files[hold] = test_util::read_file(out);
    }
    ASSERT_EQ(files[0].size(), 54 + bmp_row_size(new_width) * new_height);
    EXPECT_TRUE(files[0] == files[1]) << "the held planes give other bytes";
  }
}

}  // namespace
