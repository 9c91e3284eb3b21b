// SPDX-License-Identifier: MIT
// options_test.cc - keyword table, value conversion and exit statuses.
#include "cli/options.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "tests/test_util.h"

using namespace pellimor::detail;  // the library's internals

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
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status = parse_options(static_cast<int>(argv.size()), argv.data(), options);
  testing::internal::GetCapturedStdout();
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

// What parse_options returned and wrote.
struct parse_result {
  int status;
  std::string out, err;
};

parse_result parse_capturing(std::vector<std::string> words, resize_options* options) {
  std::vector<char*> argv = {const_cast<char*>("pellimor")};
  for (std::string& w : words) argv.push_back(w.data());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status = parse_options(static_cast<int>(argv.size()), argv.data(), options);
  std::string out = testing::internal::GetCapturedStdout();
  return {status, out, testing::internal::GetCapturedStderr()};
}

TEST(ParseOptions, LaterKeywordsReachTheirFields) {
  resize_options o;
  ASSERT_EQ(parse({"-i", "-", "-o", "-", "-size", "50%x25%", "-round", "nearest", "-taper", "2.5", "-linear",
                   "on", "-progress", "bar", "-format", "png", "-quality", "85"},
                  &o),
            -1);
  EXPECT_STREQ(o.input_name, "-");
  EXPECT_STREQ(o.output_name, "-");
  EXPECT_TRUE(o.size_given);
  EXPECT_EQ(o.size.kind, geometry_kind::scale);
  EXPECT_EQ(o.size.scale_x, 50 * percent_unit);
  EXPECT_EQ(o.size.scale_y, 25 * percent_unit);
  EXPECT_EQ(o.round, pellimor::rounding::nearest);
  EXPECT_DOUBLE_EQ(o.taper, 2.5);
  EXPECT_TRUE(o.linear);
  EXPECT_EQ(o.progress, progress_mode::bar);
  EXPECT_EQ(o.format, pellimor::image_format::png);
  EXPECT_EQ(o.quality, 85);

  resize_options d;
  ASSERT_EQ(parse({"-i", "a", "-o", "b"}, &d), -1);
  EXPECT_FALSE(d.size_given);
  EXPECT_EQ(d.round, pellimor::rounding::trunc);
  EXPECT_EQ(d.taper, 0.0);
  EXPECT_FALSE(d.linear);
  EXPECT_EQ(d.progress, progress_mode::lines);
  EXPECT_EQ(d.format, pellimor::image_format::bmp);
  EXPECT_EQ(d.quality, 92);
}

TEST(ParseOptions, EveryWordOfEveryWordKeyword) {
  const struct {
    const char* keyword;
    const char* value;
    bool (*holds)(const resize_options&);
  } cases[] = {
      {"-round", "trunc", [](const resize_options& o) { return o.round == pellimor::rounding::trunc; }},
      {"-round", "nearest", [](const resize_options& o) { return o.round == pellimor::rounding::nearest; }},
      {"-linear", "on", [](const resize_options& o) { return o.linear; }},
      {"-linear", "off", [](const resize_options& o) { return !o.linear; }},
      {"-progress", "lines", [](const resize_options& o) { return o.progress == progress_mode::lines; }},
      {"-progress", "bar", [](const resize_options& o) { return o.progress == progress_mode::bar; }},
      {"-progress", "off", [](const resize_options& o) { return o.progress == progress_mode::off; }},
      {"-strip", "meta", [](const resize_options& o) { return o.strip == pellimor::strip_mode::metadata; }},
      {"-strip", "all", [](const resize_options& o) { return o.strip == pellimor::strip_mode::all; }},
      {"-strip", "none", [](const resize_options& o) { return o.strip == pellimor::strip_mode::none; }},
      {"-format", "bmp", [](const resize_options& o) { return o.format == pellimor::image_format::bmp; }},
      {"-format", "png", [](const resize_options& o) { return o.format == pellimor::image_format::png; }},
      {"-format", "jpeg", [](const resize_options& o) { return o.format == pellimor::image_format::jpeg; }},
      {"-format", "tiff", [](const resize_options& o) { return o.format == pellimor::image_format::tiff; }},
      {"-format", "jpg", [](const resize_options& o) { return o.format == pellimor::image_format::jpeg; }},
      {"-format", "tif", [](const resize_options& o) { return o.format == pellimor::image_format::tiff; }},
      {"-format", "webp", [](const resize_options& o) { return o.format == pellimor::image_format::webp; }},
      {"-lossless", "on", [](const resize_options& o) { return o.lossless; }},
      {"-lossless", "off", [](const resize_options& o) { return !o.lossless; }},
      {"-page", "1", [](const resize_options& o) { return o.page == 1; }},
      {"-page", "2147483647", [](const resize_options& o) { return o.page == 2147483647; }},
      {"-quality", "1", [](const resize_options& o) { return o.quality == 1 && o.quality_given; }},
      {"-quality", "100", [](const resize_options& o) { return o.quality == 100; }},
      {"-taper", "0", [](const resize_options& o) { return o.taper == 0.0; }},
      {"-taper", "1e1", [](const resize_options& o) { return o.taper == 10.0; }},
      {"-size", "800x600!",
       [](const resize_options& o) {
         return o.size_given && o.size.kind == geometry_kind::exact && o.size.width == 800 &&
                o.size.height == 600;
       }},
  };
  // From the defaults and from a record differing in every field, so that a
  // value which sets nothing fails one start or the other.
  resize_options other;
  other.round = pellimor::rounding::nearest;
  other.linear = true;
  other.progress = progress_mode::off;
  other.format = pellimor::image_format::tiff;
  other.quality = 50;
  other.taper = 3.0;
  other.lossless = true;
  other.page = 7;
  for (const auto& c : cases) {
    for (const resize_options& start : {resize_options(), other}) {
      resize_options o = start;
      ASSERT_EQ(parse({"-i", "a", "-o", "b", c.keyword, c.value}, &o), -1) << c.keyword << ' ' << c.value;
      EXPECT_TRUE(c.holds(o)) << c.keyword << ' ' << c.value;
    }
  }
}

TEST(ParseOptions, BadLaterValuesAndConflictsSayWhy) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"-size", "12y"}, "pellimor: -size: bad geometry '12y': unexpected 'y'\n"},
      {{"-size", ""}, "pellimor: -size: bad geometry '': no size given\n"},
      {{"-size", "-50%"}, "pellimor: -size: bad geometry '-50%': unexpected '-'\n"},
      {{"-round", "up"}, "pellimor: -round takes trunc or nearest, not 'up'\n"},
      {{"-strip", "icc"}, "pellimor: -strip takes meta, all or none, not 'icc'\n"},
      {{"-linear", "yes"}, "pellimor: -linear takes on or off, not 'yes'\n"},
      {{"-progress", "Bar"}, "pellimor: -progress takes lines, bar or off, not 'Bar'\n"},
      {{"-format", "JPG"}, "pellimor: -format takes bmp, png, jpeg, jpg, tiff, tif or webp, not 'JPG'\n"},
      {{"-format", "gif"}, "pellimor: -format gif: GIF files are read, not written\n"},
      {{"-lossless", "yes"}, "pellimor: -lossless takes on or off, not 'yes'\n"},
      {{"-page", "0"}, "pellimor: -page takes a whole number of at least 1, not '0'\n"},
      {{"-page", "2x"}, "pellimor: -page takes a whole number of at least 1, not '2x'\n"},
      {{"-page", "-3"}, "pellimor: -page takes a whole number of at least 1, not '-3'\n"},
      {{"-taper", "-1"}, "pellimor: -taper takes a number of at least 0, not '-1'\n"},
      {{"-taper", "inf"}, "pellimor: -taper takes a number of at least 0, not 'inf'\n"},
      {{"-taper", "nan"}, "pellimor: -taper takes a number of at least 0, not 'nan'\n"},
      {{"-taper", "2x"}, "pellimor: -taper takes a number of at least 0, not '2x'\n"},
      {{"-quality", "0"}, "pellimor: -quality takes a whole number from 1 to 100, not '0'\n"},
      {{"-quality", "101"}, "pellimor: -quality takes a whole number from 1 to 100, not '101'\n"},
      {{"-quality", "9.5"}, "pellimor: -quality takes a whole number from 1 to 100, not '9.5'\n"},
      {{"-limit", "pixels"},
       "pellimor: -limit takes pixels=N and memory=SIZE, comma separated "
       "(pixels=100M,memory=2G), not 'pixels'\n"},
      {{"-limit", "area=5"},
       "pellimor: -limit takes pixels=N and memory=SIZE, comma separated "
       "(pixels=100M,memory=2G), not 'area=5'\n"},
      {{"-limit", "pixels=5,"},
       "pellimor: -limit takes pixels=N and memory=SIZE, comma separated "
       "(pixels=100M,memory=2G), not 'pixels=5,'\n"},
      {{"-limit", "memory=2X"},
       "pellimor: -limit takes pixels=N and memory=SIZE, comma separated "
       "(pixels=100M,memory=2G), not 'memory=2X'\n"},
      {{"-limit", "pixels=-1"},
       "pellimor: -limit takes pixels=N and memory=SIZE, comma separated "
       "(pixels=100M,memory=2G), not 'pixels=-1'\n"},
      {{"-size", "50%", "-sizexminus", "3"}, "pellimor: -size cannot be used with -sizexminus\n"},
      {{"-sizexminus", "3", "-size", "50%"}, "pellimor: -size cannot be used with -sizexminus\n"},
      {{"-sizexminusy", "0", "-size", "2x2"}, "pellimor: -size cannot be used with -sizexminusy\n"},
      {{"-sizexminusy", "1", "-size", "2x2", "-sizexminus", "1"},
       "pellimor: -size cannot be used with -sizexminus and -sizexminusy\n"},
  };
  for (const auto& [words, message] : cases) {
    std::vector<std::string> line = {"-i", "a", "-o", "b"};
    line.insert(line.end(), words.begin(), words.end());
    resize_options o;
    const parse_result r = parse_capturing(line, &o);
    EXPECT_EQ(r.status, 2) << message;
    EXPECT_EQ(r.err, message);
    EXPECT_EQ(r.out, "");
  }
}

TEST(ParseLimits, CountsAndSizesWithTheirSuffixes) {
  const struct {
    const char* text;
    bool ok;
    std::uint64_t pixels, memory;  // after parsing into {7, 9}
  } cases[] = {
      {"pixels=100", true, 100, 9},
      {"pixels=100M", true, 100000000, 9},
      {"pixels=3k,memory=2G", true, 3000, std::uint64_t{2} << 30},
      {"memory=512MiB,pixels=1G", true, 1000000000, std::uint64_t{512} << 20},
      {"memory=1KB", true, 7, 1024},
      {"memory=4096", true, 7, 4096},
      {"memory=1T", true, 7, std::uint64_t{1} << 40},
      {"pixels=0", true, 0, 9},
      {"pixels=18446744073709551615", true, UINT64_MAX, 9},
      {"pixels=18446744073709551616", false, 7, 9},  // overflows
      {"memory=17179869184G", false, 7, 9},          // 2^64 bytes
      {"pixels=1MiB", false, 7, 9},                  // bytes units are for memory
      {"pixels=1.5M", false, 7, 9},
      {"pixels=", false, 7, 9},
      {"memory=G", false, 7, 9},
      {"", false, 7, 9},
      {",", false, 7, 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    pellimor::file_limits limits{7, 9};
    std::string err;
    EXPECT_EQ(parse_limits(c.text, &limits, &err), c.ok) << err;
    if (!c.ok) continue;
    EXPECT_EQ(limits.pixels, c.pixels);
    EXPECT_EQ(limits.memory, c.memory);
  }
}

using test_util::mentions;

// Whether `text` is "pellimor X.Y.Z\n" with X, Y and Z numbers.
bool is_version_line(const std::string& text) {
  const std::string prefix = "pellimor ";
  if (text.size() <= prefix.size() || text.compare(0, prefix.size(), prefix) != 0 || text.back() != '\n')
    return false;
  int dots = 0;
  bool digit = false;
  for (std::size_t i = prefix.size(); i + 1 < text.size(); ++i) {
    if (text[i] >= '0' && text[i] <= '9') {
      digit = true;
    } else if (text[i] == '.' && digit) {
      ++dots;
      digit = false;
    } else {
      return false;
    }
  }
  return digit && dots == 2;
}

TEST(Help, FullHelpAndVersionOnStdout) {
  resize_options o;
  const parse_result help = parse_capturing({"-i", "a", "--help", "-bogus"}, &o);
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  ASSERT_FALSE(help.out.empty());
  EXPECT_EQ(help.out.back(), '\n');
  for (const std::string& keyword : option_keywords())
    EXPECT_TRUE(mentions(help.out, "-" + keyword)) << "--help does not mention -" << keyword;
  for (const char* part : {"Exit status", "Examples", "standard error when -o - is used", "1531x1021"})
    EXPECT_NE(help.out.find(part), std::string::npos) << part;
  std::size_t longest = 0;
  for (std::size_t start = 0, end; (end = help.out.find('\n', start)) != std::string::npos; start = end + 1)
    longest = std::max(longest, end - start);
  EXPECT_LE(longest, 80u);

  for (const char* word : {"-version", "--version"}) {
    const parse_result v = parse_capturing({word}, &o);
    EXPECT_EQ(v.status, 0) << word;
    EXPECT_TRUE(is_version_line(v.out)) << v.out;
    EXPECT_EQ(v.err, "");
  }

  // -h and -help still give the short usage on stderr alone.
  for (const char* word : {"-h", "-help"}) {
    const parse_result u = parse_capturing({word}, &o);
    EXPECT_EQ(u.status, 0);
    EXPECT_EQ(u.out, "");
    EXPECT_EQ(u.err.substr(0, 26), "Usage: PELLIMOR [options]\n");
  }
}

TEST(Help, ManPageAndCompletionNameEveryKeyword) {
  const std::string man = test_util::read_file(PELLIMOR_SOURCE_DIR "/doc/pellimor.1");
  const std::string completion = test_util::read_file(PELLIMOR_SOURCE_DIR "/doc/pellimor.bash-completion");
  ASSERT_FALSE(man.empty());
  ASSERT_FALSE(completion.empty());
  for (const std::string& keyword : option_keywords()) {
    std::string in_man = "\\-";  // man(7) writes each dash as \-
    for (char c : keyword) in_man += c == '-' ? std::string("\\-") : std::string(1, c);
    EXPECT_NE(man.find(in_man), std::string::npos) << "the man page does not mention -" << keyword;
    EXPECT_TRUE(mentions(completion, "-" + keyword)) << "the completion does not know -" << keyword;
  }
  // The man page names the version the program prints.
  resize_options o;
  const parse_result v = parse_capturing({"--version"}, &o);
  ASSERT_GT(v.out.size(), 1u);
  std::string quoted = v.out;
  quoted.back() = '"';
  quoted.insert(quoted.begin(), '"');
  EXPECT_NE(man.find(quoted), std::string::npos) << v.out;
}

TEST(Help, ProgramPrintsHelpAndVersion) {
  test_util::temp_dir dir;
  const test_util::run_result help = test_util::run_program(dir, "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.substr(0, 44), "Usage: pellimor -i INPUT -o OUTPUT [options]");
  const test_util::run_result version = test_util::run_program(dir, "-version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.substr(0, 9), "pellimor ");
  const test_util::run_result conflict =
      test_util::run_program(dir, "-i a.bmp -o b -sizexminus 2 -size 10x10");
  EXPECT_EQ(conflict.status, 2);
  EXPECT_EQ(conflict.out, "");
  EXPECT_EQ(conflict.err, "pellimor: -size cannot be used with -sizexminus\n");
}

}  // namespace
