// SPDX-License-Identifier: MIT
// end_to_end_test.cc - the program as a user runs it: arguments, streams,
// exit statuses and the files it writes.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "tests/reference.h"
#include "tests/test_util.h"

namespace {

using test_util::run_program;
using test_util::temp_dir;

// The usage text, spelled out independently of the program; line 3 carries
// its Japanese help text as EUC-JP bytes.
const std::string usage =
    "Usage: PELLIMOR [options]\n"
    "\toptions: \n"
    "\t  -help          : "
    "\xA5\xD8\xA5\xEB\xA5\xD7\xA5\xE1\xA5\xC3\xA5\xBB\xA1\xBC\xA5\xB8\xBD\xD0\xCE\xCF"
    "\n"
    "\t  -i             : input file name\n"
    "\t  -o             : output file name (extension .bmp auto added)\n"
    "\t  -sizexminus    :  horizontal pixel number difference between source and distination \n"
    "\t  -sizexminusy   : vertical pixel number difference between source and distination\n";

// A 2x1 image: blue 0 -> 100, green 0 -> 255, red 100 -> 0.
std::string two_pixels() {
  auto plane = [](int left, int right) {
    return test_util::make_plane(2, 1, [=](int x, int) { return x ? right : left; });
  };
  return test_util::bmp_bytes(plane(0, 100), plane(0, 255), plane(100, 0));
}

TEST(CommandLine, UsageTextAndStatus) {
  const std::pair<std::string, int> cases[] = {
      {"", 0},
      {"-h", 0},
      {"-help", 0},
      {"-i in.bmp -o out -h", 0},
      {"-i in.bmp -o out -frobnicate 3", 2},
      {"-i in.bmp -o out -", 2},
      {"-i in.bmp -o", 2},
      {"-i in.bmp", 2},
      {"-o out", 2},
      {"-i in.bmp -o out -engine turbo", 2},
  };
  temp_dir dir;
  for (const auto& [args, status] : cases) {
    const test_util::run_result r = run_program(dir, args);
    EXPECT_EQ(r.status, status) << args;
    EXPECT_EQ(r.err, usage) << args;
    EXPECT_EQ(r.out, "") << args;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.bmp")));
}

TEST(CommandLine, MissingInputIsAFailure) {
  temp_dir dir;
  const test_util::run_result r = run_program(dir, "-i absent.bmp -o out -sizexminus 2");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "input = absent.bmp\n");
  EXPECT_NE(r.err.find("absent.bmp"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.bmp")));
}

TEST(CommandLine, OverlongNamesAreRefusedNotCut) {
  temp_dir dir;
  test_util::write_file(dir.file("in.bmp"), two_pixels());
  for (const std::string& args :
       {"-i in.bmp -o " + std::string(124, 'o'), "-i " + std::string(128, 'i') + " -o out"}) {
    const test_util::run_result r = run_program(dir, args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("longer than"), std::string::npos) << r.err;
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(Resize, TwoPixelsToFourThroughTheWholeProgram) {
  for (const char* engine : {"fast", "direct"}) {
    temp_dir dir;
    test_util::write_file(dir.file("in.bmp"), two_pixels());
    const test_util::run_result r =
        run_program(dir, std::string("-i in.bmp -o out -sizexminus 2 -engine ") + engine);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string file = test_util::read_file(dir.file("out.bmp"));
    ASSERT_EQ(file.size(), 54u + 12u);
    // One row of four BGR pixels, no padding.
    const std::string pixels = file.substr(54);
    const unsigned char expected[12] = {0, 0, 115, 22, 58, 77, 77, 196, 22, 115, 255, 0};
    EXPECT_EQ(pixels, std::string(reinterpret_cast<const char*>(expected), 12)) << engine;
    EXPECT_EQ(r.out.rfind("input = in.bmp\n", 0), 0u);
  }
}

TEST(Resize, StreamsInterleaveInProgramOrder) {
  temp_dir dir;
  test_util::write_file(dir.file("in.bmp"), two_pixels());
  const std::string log = dir.file("log.txt");
  const std::string command =
      "cd '" + dir.path() + "' && '" PELLIMOR_BINARY "' -i in.bmp -o out -sizexminus 2 >'" + log + "' 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string channel =
      "Horizontal DCT start\nDCTH remain 7 Times\nHorizontal DCT end\nVertical DCT start\n"
      "DCTV remain 6 Times\nDCTV remain 5 Times\nHorizontal DCT end\nHorizontal IDCT start\n"
      "IDCTH remain 4 Times\nHorizontal IDCT end\nVertical IDCT start\nIDCTV remain 3 Times\n"
      "IDCTV remain 2 Times\nIDCTV remain 1 Times\nIDCTV remain 0 Times\nVertical IDCT end\n";
  EXPECT_EQ(test_util::read_file(log), "input = in.bmp\n" + channel + channel + channel);
}

TEST(Resize, SameSizeGivesTheSameHeaderAndNeverBrighterPixels) {
  temp_dir dir;
  const channel_plane b = test_util::random_plane(5, 3, 1), g = test_util::random_plane(5, 3, 2),
                      r = test_util::random_plane(5, 3, 3);
  const std::string input = test_util::bmp_bytes(b, g, r);
  test_util::write_file(dir.file("in.bmp"), input);
  ASSERT_EQ(run_program(dir, "-i in.bmp -o out.bmp").status, 0);
  const std::string out = test_util::read_file(dir.file("out.bmp.bmp"));
  ASSERT_EQ(out.size(), 102u);
  std::string header = input.substr(0, 54);  // the same, at 3780 pixels per metre
  test_util::put_le(&header, 38, 3780, 4);
  test_util::put_le(&header, 42, 3780, 4);
  EXPECT_EQ(out.substr(0, 54), header);
  for (std::size_t i = 54; i < out.size(); ++i) {
    const int got = static_cast<unsigned char>(out[i]), was = static_cast<unsigned char>(input[i]);
    EXPECT_TRUE(got == was || got == was - 1) << "byte " << i << ": " << got << " from " << was;
  }
}

// Any thread count gives the same bytes. The two engines round differently
// inside, so they may differ by one, but only where the exact value lies
// within 1e-9 of an integer.
TEST(Resize, EnginesAndThreadCountsAgree) {
  temp_dir dir;
  const channel_plane source[3] = {test_util::random_plane(21, 14, 4), test_util::random_plane(21, 14, 5),
                                   test_util::random_plane(21, 14, 6)};
  test_util::write_file(dir.file("in.bmp"), test_util::bmp_bytes(source[0], source[1], source[2]));
  ASSERT_EQ(run_program(dir, "-i in.bmp -o direct -sizexminus 9 -sizexminusy -5 -engine direct").status, 0);
  const std::string direct = test_util::read_file(dir.file("direct.bmp"));
  std::string fast;
  for (const char* threads : {"1", "2", "7"}) {
    ASSERT_EQ(
        run_program(dir, std::string("-i in.bmp -o fast -sizexminus 9 -sizexminusy -5 -threads ") + threads)
            .status,
        0);
    const std::string got = test_util::read_file(dir.file("fast.bmp"));
    if (fast.empty()) fast = got;
    EXPECT_EQ(got, fast) << threads << " threads";
  }
  ASSERT_EQ(direct.size(), fast.size());
  const std::uint64_t row = pellimor::detail::bmp_row_size(30);
  for (int c = 0; c < 3; ++c) {
    const std::vector<long double> exact = reference::resize_values(source[c], 30, 9);
    for (int y = 0; y < 9; ++y)
      for (int x = 0; x < 30; ++x) {
        const std::size_t at = 54 + (8 - y) * row + 3 * x + c;
        const int a = static_cast<unsigned char>(direct[at]), b = static_cast<unsigned char>(fast[at]);
        if (a == b) continue;
        const long double e = exact[plane_index(x, y, 9)];
        EXPECT_EQ(std::abs(a - b), 1) << x << "," << y;
        EXPECT_LT(std::fabs(e - std::round(e)), 1e-9L) << "channel " << c << " at " << x << "," << y;
      }
  }
}

TEST(Resize, OutputSizeMustBePositive) {
  temp_dir dir;
  test_util::write_file(dir.file("in.bmp"), two_pixels());
  for (const char* sizes : {"-sizexminus -2", "-sizexminusy -1", "-sizexminus -7 -sizexminusy 4"}) {
    const test_util::run_result r = run_program(dir, std::string("-i in.bmp -o out ") + sizes);
    EXPECT_EQ(r.status, 1) << sizes;
    EXPECT_NE(r.err.find("not positive"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.bmp"))) << sizes;
  }
}

}  // namespace
