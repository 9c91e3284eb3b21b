// SPDX-License-Identifier: MIT
// progress_bar.h - one updating line on a terminal: the percentage done, a
// bar and the time left, redrawn in place with a carriage return.
//
//   progress_bar bar(passes, stderr);  // draws only when stderr is a terminal
//   bar.update(done);                  // after each finished pass
//   bar.finish();                      // ends the line
//
// Redraws at most ten times a second (the last step always shows). Safe to
// call from several threads. Nothing is written when the stream is not a
// terminal, so redirected output stays clean.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "pellimor/pellimor.h"

// The line for `done` of `total` steps after `elapsed` seconds, starting with
// '\r', all lines the same length:
//   "\r 42% [############                  ] ETA 0:07   "
// The time left is elapsed * (total - done) / done, "--:--" before the first
// step; over an hour it reads h:mm:ss.
std::string progress_line(std::int64_t done, std::int64_t total, double elapsed);

class progress_bar {
 public:
  // Draws on `out` only when it is a terminal (isatty).
  progress_bar(std::int64_t total, std::FILE* out);
  // Draws on `out` when `draw` is true, whatever it is.
  progress_bar(std::int64_t total, std::FILE* out, bool draw);

  // Records `done` steps now, or `seconds` after construction.
  void update(std::int64_t done);
  void update_at(std::int64_t done, double seconds);

  // Shows the last recorded state if it was skipped and ends the line. Does
  // nothing if nothing was drawn; call it before writing anything else to
  // the stream, on errors too.
  void finish();
  void finish_at(double seconds);

 private:
  double now() const;
  void draw(double seconds);

  std::mutex lock_;
  std::FILE* out_;
  std::int64_t total_;
  bool enabled_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::int64_t done_ = 0;
  double last_draw_ = 0.0;
  bool drawn_ = false;    // something is on the line
  bool pending_ = false;  // the last update was not drawn
  bool finished_ = false;
};

// The engine's passes over every channel of one picture as one bar: hooked
// into a resize's reports by attach(), or nothing at all when `on` is false.
class passes_bar {
 public:
  passes_bar(int channels, std::int64_t width, std::int64_t height, std::int64_t new_width,
             std::int64_t new_height, bool on = true);
  ~passes_bar() { bar_.finish(); }
  passes_bar(const passes_bar&) = delete;
  passes_bar& operator=(const passes_bar&) = delete;

  void attach(pellimor::resize_settings* settings);

 private:
  static void passes_done(void* context, std::int64_t done, std::int64_t total);
  bool on_;
  std::int64_t planes_done_ = 0;
  progress_bar bar_;
};
