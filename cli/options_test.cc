// options_test.cc - keyword table, value conversion and exit statuses.
#include "cli/options.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

TEST(ParseInt, ConvertsLikeAtoiButWraps) {
  const std::pair<const char*, std::int32_t> cases[] = {
      {"12abc", 12},
      {"abc", 0},
      {"", 0},
      {"  -8", -8},
      {"\t+7", 7},
      {"- 3", 0},
      {"007", 7},
      {"2147483647", INT_MAX},
      {"2147483648", INT_MIN},
      {"-2147483648", INT_MIN},
      {"4294967297", 1},
      {"-4294967295", 1},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parse_int(text), expected) << '"' << text << '"';
}

// Runs parse_options on a command line given as words after the program name.
int parse(std::vector<std::string> words, resize_options* options) {
  std::vector<char*> argv = {const_cast<char*>("pellimor")};
  for (std::string& w : words) argv.push_back(w.data());
  testing::internal::CaptureStderr();
  const int status = parse_options(static_cast<int>(argv.size()), argv.data(), options);
  testing::internal::GetCapturedStderr();
  return status;
}

TEST(ParseOptions, EveryKeywordReachesItsField) {
  resize_options o;
  ASSERT_EQ(parse({"-i",           "in.bmp", "-o",        "out", "-i2",     "second", "-x",          "1",
                   "-y",           "2",      "-startx",   "3",   "-starty", "4",      "-hv",         "5",
                   "-bunshi",      "6",      "-bunbo",    "7",   "-norm",   "8",      "-mado",       "9",
                   "-tapnum_y",    "10",     "-tapnum_c", "11",  "-Fsc",    "3.58",   "-sizexminus", "12",
                   "-sizexminusy", "-13",    "-orgx",     "14",  "-orgy",   "15",     "-engine",     "direct",
                   "-threads",     "3"},
                  &o),
            -1);
  EXPECT_STREQ(o.input_name, "in.bmp");
  EXPECT_STREQ(o.output_name, "out");
  EXPECT_STREQ(o.input2_name, "second");
  const std::int32_t fields[] = {o.x,        o.y,          o.startx,      o.starty, o.hv,
                                 o.bunshi,   o.bunbo,      o.norm,        o.mado,   o.tapnum_y,
                                 o.tapnum_c, o.sizexminus, o.sizexminusy, o.orgx,   o.orgy};
  const std::int32_t expected[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, -13, 14, 15};
  for (int i = 0; i < 15; ++i) EXPECT_EQ(fields[i], expected[i]) << "field " << i;
  EXPECT_DOUBLE_EQ(o.Fsc, 3.58);
  EXPECT_EQ(o.engine, engine_kind::direct);
  EXPECT_EQ(o.threads, 3);
}

TEST(ParseOptions, DefaultsWhenOptionsAreAbsent) {
  resize_options o;
  ASSERT_EQ(parse({"-i", "a", "-o", "b"}, &o), -1);
  EXPECT_EQ(o.sizexminus, 0);
  EXPECT_EQ(o.sizexminusy, 0);
  EXPECT_EQ(o.x, 720);
  EXPECT_EQ(o.y, 480);
  EXPECT_EQ(o.engine, engine_kind::fast);
}

TEST(ParseOptions, ValuesAreTakenWhateverTheyLookLike) {
  resize_options o;
  ASSERT_EQ(parse({"stray", "-i", "-h", "-o", "out", "-o", "final", "-sizexminus", "-8", "loose"}, &o), -1);
  EXPECT_STREQ(o.input_name, "-h");
  EXPECT_STREQ(o.output_name, "final");
  EXPECT_EQ(o.sizexminus, -8);
}

TEST(ParseOptions, ExitStatuses) {
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{"-h"}, 0},
      {{"-help"}, 0},
      {{"--help"}, 0},
      {{"-i", "a", "-o", "b", "-h", "-sizexminus", "3"}, 0},  // help ends parsing
      {{"-i", "a", "-o", "b", "-zoom", "2"}, 2},              // unknown keyword
      {{"-i", "a", "-o", "b", "-"}, 2},                       // lone dash
      {{"-i", "a", "-H"}, 2},                                 // keywords are case-sensitive
      {{"-i", "a", "-o"}, 2},                                 // value missing
      {{"-o", "b"}, 2},                                       // no input
      {{"-i", "a"}, 2},                                       // no output
      {{"-i", "a", "-o", "b", "-engine", "quick"}, 2},
      {{"-i", "a", "-o", "b", "-threads", "two"}, 2},
      {{"-i", std::string(128, 'n'), "-o", "b"}, 2},  // over 127 characters
      {{"-i", "a", "-o", std::string(124, 'n')}, 2},  // no room for ".bmp"
      {{"-i", std::string(127, 'n'), "-o", std::string(123, 'n')}, -1},
  };
  for (const auto& [words, status] : cases) {
    resize_options o;
    std::string line;
    for (const std::string& w : words) line += w.substr(0, 12) + " ";
    EXPECT_EQ(parse(words, &o), status) << line;
  }
}

}  // namespace
