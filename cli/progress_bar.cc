// SPDX-License-Identifier: MIT
// progress_bar.cc - the terminal progress line.
#include "cli/progress_bar.h"

#include <unistd.h>

#include <cmath>

#include "dct/resample.h"

using namespace pellimor::detail;  // the library's internals

namespace {

constexpr int bar_width = 30;
constexpr double redraw_interval = 0.1;  // seconds

std::string time_left(std::int64_t done, std::int64_t total, double elapsed) {
  if (done <= 0 || elapsed <= 0.0) return "--:--";
  const double left = std::ceil(elapsed * static_cast<double>(total - done) / static_cast<double>(done));
  if (left > 359999.0) return ">99 h";
  const long seconds = static_cast<long>(left);
  char text[48];
  if (seconds >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", seconds / 3600, seconds / 60 % 60, seconds % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", seconds / 60, seconds % 60);
  return text;
}

}  // namespace

std::string progress_line(std::int64_t done, std::int64_t total, double elapsed) {
  if (done < 0) done = 0;
  if (total <= 0 || done > total) done = total = 1;
  const std::int64_t percent = 100 * done / total;
  const std::int64_t filled = bar_width * done / total;
  char text[96];
  std::snprintf(text, sizeof text, "\r%3d%% [%s%s] ETA %-8s", static_cast<int>(percent),
                std::string(static_cast<std::size_t>(filled), '#').c_str(),
                std::string(static_cast<std::size_t>(bar_width - filled), ' ').c_str(),
                time_left(done, total, elapsed).c_str());
  return text;
}

progress_bar::progress_bar(std::int64_t total, std::FILE* out)
    : progress_bar(total, out, out != nullptr && isatty(fileno(out))) {}

progress_bar::progress_bar(std::int64_t total, std::FILE* out, bool draw)
    : out_(out), total_(total), enabled_(draw && out != nullptr) {}

double progress_bar::now() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void progress_bar::draw(double seconds) {
  std::fputs(progress_line(done_, total_, seconds).c_str(), out_);
  std::fflush(out_);
  last_draw_ = seconds;
  drawn_ = true;
  pending_ = false;
}

void progress_bar::update(std::int64_t done) { update_at(done, now()); }

void progress_bar::update_at(std::int64_t done, double seconds) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!enabled_ || finished_) return;
  done_ = done;
  if (drawn_ && done < total_ && seconds - last_draw_ < redraw_interval) {
    pending_ = true;
    return;
  }
  draw(seconds);
}

void progress_bar::finish() { finish_at(now()); }

void progress_bar::finish_at(double seconds) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!enabled_ || finished_) return;
  finished_ = true;
  if (pending_) draw(seconds);
  if (drawn_) {
    std::fputc('\n', out_);
    std::fflush(out_);
  }
}

passes_bar::passes_bar(int channels, std::int64_t width, std::int64_t height, std::int64_t new_width,
                       std::int64_t new_height, bool on)
    : on_(on), bar_(on ? channels * pass_count(width, height, new_width, new_height) : 0, stderr) {}

void passes_bar::attach(pellimor::resize_settings* settings) {
  if (!on_) return;
  settings->passes_done = passes_done;
  settings->context = this;
}

void passes_bar::passes_done(void* context, std::int64_t done, std::int64_t total) {
  passes_bar* self = static_cast<passes_bar*>(context);
  self->bar_.update(self->planes_done_ * total + done);
  if (done == total) ++self->planes_done_;
}
