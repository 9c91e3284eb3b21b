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

// Pictures with more pixels than this (the picture or its result) get
// every thread when a batch chooses how to share them.
constexpr std::int64_t large_picture_pixels = 4000000;

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
  // the files before it ran.
  std::function<void(std::size_t index)> read_ahead;
  // Told, when set, of each file as it ends, one at a time (in the files'
  // order when they run one at a time).
  std::function<void(std::size_t index, const file_result& result)> done;
};

// Runs `request`: one result per input, in order. Throws pellimor::error
// when plan_outputs refuses the request, or for a bad geometry or quality.
std::vector<file_result> run_batch(const batch_request& request);

}  // namespace pellimor
