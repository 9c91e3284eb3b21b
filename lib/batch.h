// SPDX-License-Identifier: MIT
// batch.h - many pictures in one process: naming each input's output,
// and resizing several files at once, sharing the cores between them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pellimor/pellimor.h"

namespace pellimor {

// Where one input goes.
struct planned_output {
  std::string output;  // the output's name, "-" for standard output; "" when none
  image_format format = image_format::bmp;
  std::string error;  // why this input has no output (the file is then failed, not run)
};

// What a batch's outputs are named from: see resize_files.
enum class output_kind { file, folder, pattern };
output_kind output_kind_of(const std::string& output);

// The file name of `path` without its folder and extension ("a/b.c.png"
// gives "b.c").
std::string file_stem(const std::string& path);

// Names each input's output and its format, as resize_files says. False
// with *err for a request that names no outputs; `format_hint` ends the
// messages about names of no known format (", or use --format").
bool plan_outputs(const std::vector<std::string>& inputs, const std::string& output,
                  const std::optional<image_format>& format, const std::string& format_hint,
                  std::vector<planned_output>* plan, std::string* err);

// By default a batch runs its files one at a time, each on every thread:
// a second file in flight holds a second working set (its picture, its
// result, its engine's arrays), more than the tenth over a single run's
// peak memory that a batch may take. Only files whose picture and result
// both have at most this many pixels share the threads, one each, as many
// in flight as threads: a few hundred KiB apiece, where a single run holds
// some 11 MiB of program and libraries.
constexpr std::int64_t small_picture_pixels = 100000;

// A file is decoded ahead of its turn beside the pictures of the files in
// flight only when its bytes and pixels are at most this share of what
// they said they need; a larger one, into the buffer of the picture before
// it once no file in flight holds its picture (decodes_into_buffer).
constexpr double ahead_share = 0.1;

// The threads a batch of `count` files, `jobs` in flight (0: the default)
// on `threads` in all (at least 1), gives a file whose picture is width x
// height and its result new_width x new_height. A file given every thread
// of a batch of several runs alone; one given one thread by the default
// shares the others with files of its kind.
int batch_file_threads(std::size_t count, int jobs, int threads, std::int64_t width, std::int64_t height,
                       std::int64_t new_width, std::int64_t new_height);

struct batch_request {
  std::vector<std::string> inputs;
  std::string output;
  file_options options;
  batch_options batch;
  std::string format_hint;  // see plan_outputs
  std::string page_hint;    // see file_request
  // Told, when set, as file `index` is planned (see file_request::planned),
  // after the batch has set its threads.
  std::function<void(std::size_t index, int channels, std::int64_t width, std::int64_t height,
                     std::int64_t new_width, std::int64_t new_height, resize_settings* settings)>
      planned;
  // Told, when set, of what file `index`'s output leaves out.
  std::function<void(std::size_t index, const std::string& note)> note;
  // Told, when set, that file `index` was decoded ahead of its turn, while
  // the files before it ran (see ahead_share).
  std::function<void(std::size_t index)> read_ahead;
  // Told, when set, of each file as it ends, one at a time (in the files'
  // order when they run one at a time).
  std::function<void(std::size_t index, const file_result& result)> done;
};

// Runs `request`: one result per input, in order. Throws pellimor::error
// when plan_outputs refuses the request, or for a bad geometry or quality.
std::vector<file_result> run_batch(const batch_request& request);

}  // namespace pellimor
