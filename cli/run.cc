// SPDX-License-Identifier: MIT
// run.cc - the run sequence: options, then the library's resize of one
// file, with this program's progress display, messages and exit statuses.
#include "cli/run.h"

#include <cstdio>
#include <optional>
#include <string>

#include "cli/options.h"
#include "cli/progress_bar.h"
#include "cli/std_streams.h"
#include "codec/codec.h"
#include "dct/resample.h"
#include "lib/resize_file.h"
#include "pellimor/pellimor.h"

using namespace pellimor::detail;  // the library's internals

namespace {

// What one run is asked to do, gathered from the options.
struct run_request {
  const char* input = nullptr;  // a path, or "-" for standard input
  std::string output;           // the output file, or "-" for standard output
  pellimor::image_format format = pellimor::image_format::bmp;
  int quality = 92;             // JPEG and lossy WebP
  bool lossless = false;        // WebP
  int page = 1;                 // of the input, from 1
  std::int32_t dx = 0, dy = 0;  // pixels added to the width and height
  bool size_given = false;      // -size: `size` instead of dx and dy
  geometry size;
  progress_mode progress_kind = progress_mode::lines;
  pellimor::resize_settings settings;  // engine, threads, rounding, taper, linear light
  pellimor::file_limits limits;
  pellimor::strip_mode strip = pellimor::strip_mode::none;
  progress_streams progress = {stdout, stderr};
  bool to_stdout() const { return output == "-"; }
};

run_request request_from(const resize_options& options) {
  run_request r;
  r.input = options.input_name;
  r.dx = options.sizexminus;
  r.dy = options.sizexminusy;
  r.settings.method =
      options.engine == engine_kind::direct ? pellimor::engine::direct : pellimor::engine::fast;
  r.settings.threads = options.threads;
  r.settings.round = options.round;
  r.settings.taper = options.taper;
  r.settings.linear = options.linear;
  r.size_given = options.size_given;
  r.size = options.size;
  r.format = options.format;
  r.quality = options.quality;
  r.lossless = options.lossless;
  r.page = options.page;
  r.limits = options.limits;
  r.strip = options.strip;
  r.progress_kind = options.progress;
  r.output = std::string(options.output_name) == "-"
                 ? "-"
                 : options.output_name + std::string(format_extension(r.format));
  // With the image on standard output, every text goes to standard error.
  if (r.to_stdout()) r.progress.counters = stderr;
  if (r.progress_kind != progress_mode::lines) r.progress = {nullptr, nullptr};
  return r;
}

// The output size for a width x height picture (as displayed): the
// geometry, or the differences. False with *err when it is too large.
bool resolve_size(const run_request& request, std::int64_t width, std::int64_t height,
                  std::int64_t* new_width, std::int64_t* new_height, std::string* err) {
  if (request.size_given) return resolve_geometry(request.size, width, height, new_width, new_height, err);
  *new_width = width + request.dx;
  *new_height = height + request.dy;
  return true;
}

int fail(const char* path, const std::string& why) {
  std::fflush(stdout);
  std::fprintf(stderr, "pellimor: %s: %s\n", path, why.c_str());
  return 1;
}

// The picture through the library's one path for every file, with this
// program's progress display and messages.
int resize_file_request(const run_request& request) {
  pellimor::file_request job;
  job.input = request.input;
  job.output = request.output;
  job.format = request.format;
  job.quality = request.quality;
  job.lossless = request.lossless;
  job.page = request.page;
  job.page_hint = " (choose with -page N)";
  job.size = [&request](std::int64_t width, std::int64_t height, std::int64_t* new_width,
                        std::int64_t* new_height, std::string* err) {
    return resolve_size(request, width, height, new_width, new_height, err);
  };
  job.settings = request.settings;
  job.limits = request.limits;
  job.strip = request.strip;
  job.settings.counters = request.progress.counters;
  job.settings.phases = request.progress.phases;
  std::optional<passes_bar> bar;
  job.planned = [&](int channels, std::int64_t width, std::int64_t height, std::int64_t new_width,
                    std::int64_t new_height, pellimor::resize_settings* settings) {
    bar.emplace(channels, width, height, new_width, new_height, request.progress_kind == progress_mode::bar);
    bar->attach(settings);
  };
  job.note = [](const std::string& note) { std::fprintf(stderr, "pellimor: note: %s\n", note.c_str()); };
  // The message the 24-bit reader gives a short file, wherever it is read.
  job.short_bmp = [&request] {
    std::fprintf(request.to_stdout() ? stderr : stdout, "input file size err!!\n");
  };
  std::string where, err;
  const bool done = pellimor::run_file_request(job, &where, &err);
  bar.reset();
  return done ? 0 : fail(where.c_str(), err);
}

int resize_from_command_line(int argc, char** argv) {
  if (argc < 2) {
    print_usage(stderr);
    return 0;
  }
  resize_options options;
  const int parsed = parse_options(argc, argv, &options);
  if (parsed >= 0) return parsed;
  const run_request request = request_from(options);
  if (options.quality_given && options.format == pellimor::image_format::webp && options.lossless)
    std::fprintf(stderr, "pellimor: note: -quality applies only to lossy WebP output\n");
  else if (options.quality_given && options.format != pellimor::image_format::jpeg &&
           options.format != pellimor::image_format::webp)
    std::fprintf(stderr, "pellimor: note: -quality applies only to JPEG and WebP output\n");

  if (request.progress_kind == progress_mode::lines)
    std::fprintf(request.to_stdout() ? stderr : stdout, "input = %s\n", request.input);
  return resize_file_request(request);
}

}  // namespace

int run_resize(int argc, char** argv) {
  prepare_standard_streams();
  return check_standard_streams(resize_from_command_line(argc, argv));
}
