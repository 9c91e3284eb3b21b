// SPDX-License-Identifier: MIT
// verb_test.cc - "pellimor resize": its options in every form, its refusals,
// the outputs it names, and its help, man page and completion.
#include "cli/verb.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "tests/test_util.h"

using namespace pellimor::detail;  // the library's internals

namespace {

using pellimor::image_format;

using test_util::mentions;

// A record differing from the defaults in every field, so that a form that
// sets nothing fails from one start or the other.
verb_options other_start() {
  verb_options o;
  o.output = "elsewhere.png";
  o.size = "7x7!";
  o.format = image_format::bmp;
  o.quality = 3;
  o.round = pellimor::rounding::trunc;
  o.taper = 9.0;
  o.threads = 99;
  o.jobs = 99;
  o.bar = true;
  o.limits = {5, 6};
  return o;
}

TEST(Verb, EveryOptionInEveryFormReachesItsField) {
  const struct {
    std::vector<std::vector<std::string>> forms;  // each with the inputs and output after it
    bool (*holds)(const verb_options&);
  } cases[] = {
      {{{"-s", "50%"}, {"-s50%"}, {"--size", "50%"}, {"--size=50%"}},
       [](const verb_options& o) { return o.size == "50%"; }},
      {{{"-Q", "85"}, {"-Q85"}, {"--quality", "85"}, {"--quality=85"}},
       [](const verb_options& o) { return o.quality == 85 && o.quality_given; }},
      {{{"--round", "trunc"}, {"--round=trunc"}},
       [](const verb_options& o) { return o.round == pellimor::rounding::trunc; }},
      {{{"--round", "nearest"}, {"--round=nearest"}},
       [](const verb_options& o) { return o.round == pellimor::rounding::nearest; }},
      {{{"--taper", "1.5"}, {"--taper=1.5"}}, [](const verb_options& o) { return o.taper == 1.5; }},
      {{{"--linear"}}, [](const verb_options& o) { return o.linear; }},
      {{{"--strip"}}, [](const verb_options& o) { return o.strip == pellimor::strip_mode::metadata; }},
      {{{"--strip=all"}}, [](const verb_options& o) { return o.strip == pellimor::strip_mode::all; }},
      {{{"-t", "3"}, {"-t3"}, {"--threads", "3"}, {"--threads=3"}},
       [](const verb_options& o) { return o.threads == 3; }},
      {{{"-j", "0"}, {"-j0"}, {"--jobs", "0"}, {"--jobs=0"}},
       [](const verb_options& o) { return o.jobs == 0; }},
      {{{"-j", "1024"}, {"--jobs=1024"}}, [](const verb_options& o) { return o.jobs == 1024; }},
      {{{"-n"}, {"--no-clobber"}}, [](const verb_options& o) { return o.no_clobber; }},
      {{{"-q"}, {"--quiet"}}, [](const verb_options& o) { return o.quiet; }},
      {{{"-nq"}}, [](const verb_options& o) { return o.no_clobber && o.quiet; }},
      {{{"-qs", "50%"}, {"-qs50%"}}, [](const verb_options& o) { return o.quiet && o.size == "50%"; }},
      {{{"--progress", "bar"}, {"--progress=bar"}}, [](const verb_options& o) { return o.bar == true; }},
      {{{"--progress", "none"}, {"--progress=none"}}, [](const verb_options& o) { return o.bar == false; }},
      {{{"--format", "png"}, {"--format=png"}},
       [](const verb_options& o) { return o.format == image_format::png; }},
      {{{"--format", "jpg"}, {"--format=jpeg"}},
       [](const verb_options& o) { return o.format == image_format::jpeg; }},
      {{{"--format", "tif"}, {"--format=tiff"}},
       [](const verb_options& o) { return o.format == image_format::tiff; }},
      {{{"--format", "bmp"}}, [](const verb_options& o) { return o.format == image_format::bmp; }},
      {{{"--limit", "pixels=2K,memory=1M"}, {"--limit=pixels=2K,memory=1M"}},
       [](const verb_options& o) { return o.limits.pixels == 2000 && o.limits.memory == 1u << 20; }},
      {{{"-h"}, {"--help"}}, [](const verb_options& o) { return o.help; }},
  };
  for (const auto& c : cases) {
    for (const auto& form : c.forms) {
      for (const verb_options& start : {verb_options(), other_start()}) {
        std::vector<std::string> words = form;
        words.insert(words.end(), {"in.png", "out.jpg"});
        verb_options o = start;
        std::string err;
        ASSERT_EQ(parse_verb(words, &o, &err), 0) << form[0] << ": " << err;
        EXPECT_TRUE(c.holds(o)) << form[0] << (form.size() > 1 ? " " + form[1] : "");
      }
    }
  }
}

TEST(Verb, InputsAndOutputs) {
  const struct {
    std::vector<std::string> words;
    std::vector<std::string> inputs;
    std::string output;
  } cases[] = {
      {{"a.png", "b.jpg"}, {"a.png"}, "b.jpg"},
      {{"-o", "out/", "a.png", "b.png", "c.png"}, {"a.png", "b.png", "c.png"}, "out/"},
      {{"a.png", "--output=out/%s.jpg", "b.png"}, {"a.png", "b.png"}, "out/%s.jpg"},
      {{"-oout/", "a.png"}, {"a.png"}, "out/"},
      {{"-", "-"}, {"-"}, "-"},
      {{"--", "-s", "--size"}, {"-s"}, "--size"},  // after --, names
      {{"-o", "-x.png", "a"}, {"a"}, "-x.png"},    // a value may start with a dash
      {{"-o", "out/", "--", "-n"}, {"-n"}, "out/"},
  };
  for (const auto& c : cases) {
    verb_options o;
    std::string err;
    ASSERT_EQ(parse_verb(c.words, &o, &err), 0) << c.words[0] << ": " << err;
    EXPECT_EQ(o.inputs, c.inputs) << c.words[0];
    EXPECT_EQ(o.output, c.output) << c.words[0];
  }
  // The defaults of this interface.
  verb_options o;
  std::string err;
  ASSERT_EQ(parse_verb({"a.png", "b.png"}, &o, &err), 0);
  EXPECT_EQ(o.round, pellimor::rounding::nearest);
  EXPECT_EQ(o.quality, 92);
  EXPECT_FALSE(o.quality_given || o.linear || o.strip != pellimor::strip_mode::none || o.no_clobber || o.quiet || o.help);
  EXPECT_FALSE(o.format.has_value());
  EXPECT_FALSE(o.bar.has_value());
  EXPECT_EQ(o.threads, 0);
  EXPECT_EQ(o.jobs, 0);
  EXPECT_EQ(o.size, "");
}

TEST(Verb, BadCommandLinesSayWhy) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"--bogus", "a", "b"}, "unknown option '--bogus' (see pellimor resize --help)"},
      {{"--bogus=1", "a", "b"}, "unknown option '--bogus' (see pellimor resize --help)"},
      {{"-x", "a", "b"}, "unknown option '-x' (see pellimor resize --help)"},
      {{"-nx", "a", "b"}, "unknown option '-x' (see pellimor resize --help)"},
      {{"--Size=5", "a", "b"}, "unknown option '--Size' (see pellimor resize --help)"},
      {{"a", "b", "-s"}, "-s needs a value"},
      {{"a", "b", "--size"}, "--size needs a value"},
      {{"a", "b", "-o"}, "-o needs a value"},
      {{"--linear=yes", "a", "b"}, "--linear takes no value"},
      {{"--strip=1", "a", "b"}, "--strip takes all or no value, not '1'"},
      {{"-s", "12y", "a", "b"}, "-s: bad geometry '12y': unexpected 'y'"},
      {{"--size=", "a", "b"}, "--size: bad geometry '': no size given"},
      {{"-Q", "0", "a", "b"}, "-Q takes a whole number from 1 to 100, not '0'"},
      {{"--quality=101", "a", "b"}, "--quality takes a whole number from 1 to 100, not '101'"},
      {{"-Q9.5", "a", "b"}, "-Q takes a whole number from 1 to 100, not '9.5'"},
      {{"--quality", "+5", "a", "b"}, "--quality takes a whole number from 1 to 100, not '+5'"},
      {{"--round", "up", "a", "b"}, "--round takes nearest or trunc, not 'up'"},
      {{"--taper=-1", "a", "b"}, "--taper takes a number of at least 0, not '-1'"},
      {{"--taper", "nan", "a", "b"}, "--taper takes a number of at least 0, not 'nan'"},
      {{"--taper=", "a", "b"}, "--taper takes a number of at least 0, not ''"},
      {{"-t", "1025", "a", "b"}, "-t takes a whole number from 0 to 1024, not '1025'"},
      {{"--threads=-1", "a", "b"}, "--threads takes a whole number from 0 to 1024, not '-1'"},
      {{"-j", "x", "a", "b"}, "-j takes a whole number from 0 to 1024, not 'x'"},
      {{"--jobs=", "a", "b"}, "--jobs takes a whole number from 0 to 1024, not ''"},
      {{"--progress", "lines", "a", "b"}, "--progress takes bar or none, not 'lines'"},
      {{"--format=gif", "a", "b"}, "--format gif: GIF files are read, not written"},
      {{"--format", "webm", "a", "b"}, "--format takes bmp, png, jpeg, jpg, tiff, tif or webp, not 'webm'"},
      {{"--page", "0", "a", "b"}, "--page takes a whole number of at least 1, not '0'"},
      {{"--page=", "a", "b"}, "--page takes a whole number of at least 1, not ''"},
      {{"--lossless=yes", "a", "b"}, "--lossless takes no value"},
      {{"--limit", "area=5", "a", "b"},
       "--limit takes pixels=N and memory=SIZE, comma separated (pixels=100M,memory=2G), not 'area=5'"},
      {{"-o", "", "a"}, "-o takes a file, folder or pattern, not ''"},
      {{}, "no input file given"},
      {{"-s", "50%"}, "no input file given"},
      {{"-o", "out/"}, "no input file given"},
      {{"a.png"}, "no output given: pellimor resize INPUT OUTPUT"},
      {{"a.png", "b.png", "out/"}, "several inputs need -o FOLDER/ or -o PATTERN (with %s)"},
  };
  for (const auto& [words, message] : cases) {
    verb_options o;
    std::string err;
    EXPECT_EQ(parse_verb(words, &o, &err), 2) << message;
    EXPECT_EQ(err, message);
  }
}

TEST(Verb, OutputNamesAndFormats) {
  test_util::temp_dir dir;
  const std::string folder = dir.path();  // exists: no slash needed
  const struct {
    std::vector<std::string> inputs;
    std::string output;
    std::optional<image_format> format;
    std::vector<std::pair<std::string, image_format>> expected;  // output and format, per input
  } cases[] = {
      {{"a.bmp"}, "b.jpg", {}, {{"b.jpg", image_format::jpeg}}},
      {{"a.bmp"}, "b.JPEG", {}, {{"b.JPEG", image_format::jpeg}}},
      {{"a.bmp"}, "b.Png", {}, {{"b.Png", image_format::png}}},
      {{"a.bmp"}, "b.tif", {}, {{"b.tif", image_format::tiff}}},
      {{"a.bmp"}, "b.TIFF", {}, {{"b.TIFF", image_format::tiff}}},
      {{"a.png"}, "b.bmp", {}, {{"b.bmp", image_format::bmp}}},
      {{"a.png"}, "b.jpg", image_format::png, {{"b.jpg", image_format::png}}},  // --format wins
      {{"a.png"}, "b", image_format::tiff, {{"b", image_format::tiff}}},
      {{"a.png"}, "-", {}, {{"-", image_format::png}}},  // standard output: the input's format
      {{"-"}, "-", image_format::jpeg, {{"-", image_format::jpeg}}},
      {{"-"}, "x.png", {}, {{"x.png", image_format::png}}},
      {{"in/a.png", "b.c.JPG"},
       "out/",
       {},
       {{"out/a.png", image_format::png}, {"out/b.c.JPG", image_format::jpeg}}},
      {{"in/a.png", "b.c.JPG"},
       "out/",
       image_format::tiff,
       {{"out/a.tif", image_format::tiff}, {"out/b.c.tif", image_format::tiff}}},
      {{"in/a.png"}, folder, {}, {{folder + "/a.png", image_format::png}}},
      {{"in/a.png", "b.c.tif"},
       "o/%s_small.jpg",
       {},
       {{"o/a_small.jpg", image_format::jpeg}, {"o/b.c_small.jpg", image_format::jpeg}}},
      {{"x/a.png"}, "%s/%s-100%%.png", {}, {{"a/a-100%.png", image_format::png}}},
      {{"a.png", "b.png"}, "%s", image_format::bmp, {{"a", image_format::bmp}, {"b", image_format::bmp}}},
  };
  for (const auto& c : cases) {
    verb_options o;
    o.inputs = c.inputs;
    o.output = c.output;
    o.format = c.format;
    std::vector<pellimor::planned_output> plan;
    std::string err;
    ASSERT_TRUE(plan_verb(o, &plan, &err)) << c.output << ": " << err;
    ASSERT_EQ(plan.size(), c.expected.size()) << c.output;
    for (std::size_t i = 0; i < plan.size(); ++i) {
      EXPECT_EQ(plan[i].output, c.expected[i].first) << c.output;
      EXPECT_EQ(plan[i].format, c.expected[i].second) << c.output;
      EXPECT_EQ(plan[i].error, "") << c.output;
    }
  }
}

TEST(Verb, OutputsThatCannotBeNamed) {
  const struct {
    std::vector<std::string> inputs;
    std::string output;
    const char* message;
  } refused[] = {
      {{"a.png"}, "b.gif", "b.gif: GIF files are read, not written"},
      {{"a.png"}, "b.GIF", "b.GIF: GIF files are read, not written"},
      {{"a.png"},
       "b",
       "b: the name does not end in .bmp, .png, .jpg, .jpeg, .tif, .tiff or .webp, or use --format"},
      {{"a.png", "b.png"},
       "o/%s",
       "o/%s: the name does not end in .bmp, .png, .jpg, .jpeg, .tif, .tiff or .webp, or use --format"},
      {{"a.png", "b.png"}, "o/%s.gif", "o/%s.gif: GIF files are read, not written"},
      {{"a.png", "b.png"},
       "out.png",
       "out.png: several inputs need a folder (a name ending in /) or a pattern with %s"},
      {{"a.png", "b.png"}, "-", "-: several inputs need a folder (a name ending in /) or a pattern with %s"},
      {{"a.png", "-"}, "o/", "- (standard input) can only be the one input"},
      {{"-"}, "o/", "o/: standard input has no name to make its output's name from"},
      {{"-"}, "o/%s.png", "o/%s.png: standard input has no name to make its output's name from"},
      {{"a"}, "-", "standard output: the input's name says no format, or use --format"},
  };
  for (const auto& c : refused) {
    verb_options o;
    o.inputs = c.inputs;
    o.output = c.output;
    std::vector<pellimor::planned_output> plan;
    std::string err;
    EXPECT_FALSE(plan_verb(o, &plan, &err)) << c.output;
    EXPECT_EQ(err, c.message);
  }
  // In a folder, a name of no format, and a second input with the same
  // output, fail on their own.
  verb_options o;
  o.inputs = {"a.png", "b.gif", "c.webp", "x/a.png"};
  o.output = "out/";
  std::vector<pellimor::planned_output> plan;
  std::string err;
  ASSERT_TRUE(plan_verb(o, &plan, &err)) << err;
  ASSERT_EQ(plan.size(), 4u);
  EXPECT_EQ(plan[0].error, "");
  EXPECT_EQ(plan[1].error, "out/b.gif: GIF files are read, not written");
  EXPECT_EQ(plan[2].error, "");
  EXPECT_EQ(plan[2].format, pellimor::image_format::webp);
  EXPECT_EQ(plan[3].error, "x/a.png: its output out/a.png is also that of a.png");
}

TEST(Verb, HelpManPageAndCompletionNameEveryOption) {
  std::string help;
  {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    ASSERT_NE(out, nullptr);
    print_verb_help(out);
    std::fclose(out);
    help.assign(buffer, size);
    std::free(buffer);
  }
  const std::string man = test_util::read_file(PELLIMOR_SOURCE_DIR "/doc/pellimor.1");
  const std::string completion = test_util::read_file(PELLIMOR_SOURCE_DIR "/doc/pellimor.bash-completion");
  ASSERT_FALSE(man.empty());
  ASSERT_FALSE(completion.empty());
  const auto man_form = [](const std::string& option) {
    std::string in_man;  // man(7) writes each dash as \-
    for (char c : option) in_man += c == '-' ? std::string("\\-") : std::string(1, c);
    return in_man;
  };
  for (const verb_option& v : verb_option_list()) {
    std::vector<std::string> forms = {std::string("--") + v.long_name};
    if (v.short_name != '\0') forms.push_back(std::string("-") + v.short_name);
    for (const std::string& form : forms) {
      EXPECT_TRUE(mentions(help, form)) << "pellimor resize --help does not mention " << form;
      EXPECT_TRUE(mentions(completion, form)) << "the completion does not know " << form;
      EXPECT_NE(man.find(man_form(form)), std::string::npos) << "the man page does not mention " << form;
    }
  }
  for (const char* word :
       {"nearest", "trunc", "bar", "none", "jpg", "tif", "100000\n                        pixels"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
  std::size_t longest = 0;
  for (std::size_t start = 0, end; (end = help.find('\n', start)) != std::string::npos; start = end + 1)
    longest = std::max(longest, end - start);
  EXPECT_LE(longest, 80u);
}

TEST(Verb, ProgramAnswersTheVerb) {
  test_util::temp_dir dir;
  const test_util::run_result help = test_util::run_program(dir, "resize --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.substr(0, 45), "Usage: pellimor resize [OPTIONS] INPUT OUTPUT");
  const test_util::run_result keyword_help = test_util::run_program(dir, "--help");
  EXPECT_TRUE(mentions(keyword_help.out, "resize")) << "pellimor --help does not mention the resize command";
  const test_util::run_result bad = test_util::run_program(dir, "resize --size=12y a.png b.png");
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(bad.err, "pellimor: --size: bad geometry '12y': unexpected 'y'\n");
  const test_util::run_result gif = test_util::run_program(dir, "resize a.png b.gif");
  EXPECT_EQ(gif.status, 2);
  EXPECT_EQ(gif.err, "pellimor: b.gif: GIF files are read, not written\n");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{});
}

}  // namespace
