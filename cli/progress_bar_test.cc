// SPDX-License-Identifier: MIT
// progress_bar_test.cc - the progress line's text, its redraw pacing, and
// silence when the stream is not a terminal.
#include "cli/progress_bar.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

// Everything written to `f` so far.
std::string contents(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string text;
  for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
  return text;
}

TEST(ProgressLine, PercentBarAndTimeLeft) {
  const struct {
    std::int64_t done, total;
    double elapsed;
    const char* line;
  } cases[] = {
      {0, 7, 0.0, "\r  0% [                              ] ETA --:--   "},
      {42, 100, 10.0, "\r 42% [############                  ] ETA 0:14    "},  // 13.8 s up
      {1, 4, 1000.0, "\r 25% [#######                       ] ETA 50:00   "},
      {1, 100, 100.0, "\r  1% [                              ] ETA 2:45:00 "},
      {1, 1000000, 1.0, "\r  0% [                              ] ETA >99 h   "},
      {7, 7, 3.5, "\r100% [##############################] ETA 0:00    "},
      {9, 7, 3.5, "\r100% [##############################] ETA 0:00    "},  // over-counted
  };
  for (const auto& c : cases)
    EXPECT_EQ(progress_line(c.done, c.total, c.elapsed), c.line) << c.done << " of " << c.total;
}

TEST(ProgressBar, RedrawsAtMostTenTimesASecond) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  {
    progress_bar bar(10, f, true);
    bar.update_at(0, 0.0);   // first: drawn
    bar.update_at(1, 0.05);  // too soon
    bar.update_at(2, 0.12);  // drawn
    bar.update_at(3, 0.15);  // too soon, shown by finish
    bar.finish_at(0.2);
    bar.finish_at(0.3);  // once only
    bar.update_at(4, 0.5);
  }
  const std::string text = contents(f);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 3) << text;
  EXPECT_EQ(text.find(" 10%"), std::string::npos) << text;
  EXPECT_NE(text.find("\r 20%"), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.rfind('\r'), 6), "\r 30% ");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
  EXPECT_EQ(text.back(), '\n');
  std::fclose(f);
}

TEST(ProgressBar, LastStepAlwaysShows) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  progress_bar bar(4, f, true);
  bar.update_at(3, 0.0);
  bar.update_at(4, 0.01);
  const std::string text = contents(f);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 2) << text;
  EXPECT_NE(text.find("\r100%"), std::string::npos) << text;
  std::fclose(f);
}

TEST(ProgressBar, SilentWhenNotATerminal) {
  std::FILE* f = std::tmpfile();  // a file is no terminal
  ASSERT_NE(f, nullptr);
  {
    progress_bar bar(3, f);
    for (int i = 0; i <= 3; ++i) bar.update(i);
    bar.finish();
  }
  {
    progress_bar bar(3, f, true);  // nothing drawn, nothing to end
    bar.finish();
  }
  EXPECT_EQ(contents(f), "");
  std::fclose(f);
}

}  // namespace
