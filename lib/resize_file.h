// SPDX-License-Identifier: MIT
// resize_file.h - one picture from a file (or standard input) through the
// codecs, the resize and back to a file (or standard output): what the
// library's resize_file and the program's codec path share.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "pellimor/pellimor.h"

namespace pellimor {

struct file_request {
  std::string input;   // a path, or "-" for standard input
  std::string output;  // a path, or "-" for standard output
  image_format format = image_format::bmp;
  int quality = 92;
  // The new size for a width x height picture as displayed. False with *err.
  std::function<bool(std::int64_t width, std::int64_t height, std::int64_t* new_width,
                     std::int64_t* new_height, std::string* err)>
      size;
  resize_settings settings;  // alpha is set from the file
  file_limits limits;
  strip_mode strip = strip_mode::none;  // what metadata to leave out
  int page = 1;           // of a file of several pictures, from 1
  bool lossless = false;  // WebP output
  // Keep the decoded picture's and the output's pages until the job ends
  // (pipeline_job::keep_pages): for a batch, whose next file reuses them.
  bool keep_pages = false;
  // Ends the note naming a file's page count: how to choose another
  // (" (choose with -page N)").
  std::string page_hint;
  // Told, when set, the channels and sizes once they are known and before
  // any pixel is decoded; may hook progress reports into *settings.
  std::function<void(int channels, std::int64_t width, std::int64_t height, std::int64_t new_width,
                     std::int64_t new_height, resize_settings* settings)>
      planned;
  // Told, when set, of what the output leaves out (an alpha channel).
  std::function<void(const std::string& note)> note;
  // Told, when set, the bytes the work needs once the memory check has let
  // it through, before the output is looked at or any pixel decoded.
  std::function<void(double need)> admitted;
  // Given, when set, the decoded picture's buffer once the resize has read
  // it for the last time, before the output is encoded (keep_pages): a
  // batch decodes its next file into it, which then neither waits for
  // memory nor takes any more.
  std::function<void(pixel_buffer&& pixels)> picture_gone;
  // Called, when set, before a failure because the input is a BMP file
  // that ends before its headers or pixel rows do.
  std::function<void()> short_bmp;
};

// Does `request`. False with *where (the input's or output's name, or
// "standard output") and *err (the reason) on failure; nothing is left at
// the output then.
bool run_file_request(const file_request& request, std::string* where, std::string* err);

// An input read ahead of its turn (a batch readies its next file while
// the one before is resized): opened, its header checked against the
// limits and its new size found, perhaps decoded. Nothing is told and no
// output is looked at until run_file_request takes it, which then tells
// and fails in the order a run that read it then would.
struct prepared_input;
struct prepared_deleter {
  void operator()(prepared_input* p) const;
};
using prepared_ptr = std::unique_ptr<prepared_input, prepared_deleter>;

// `request`'s input read as far as its new size; null when it is left to
// its turn (not a regular file, a BMP file to stream, one that cannot be
// opened now).
prepared_ptr prepare_input(const file_request& request);

// False when reading `p` met a failure (kept for its turn); otherwise the
// sizes as displayed, and what decoding it ahead holds until its turn:
// the file's bytes and its pixels.
bool prepared_ready(const prepared_input& p, std::int64_t* width, std::int64_t* height,
                    std::int64_t* new_width, std::int64_t* new_height, double* pixel_bytes);

// Whether `p` could be decoded into the buffer of the picture before it:
// a batch keeping its pages (a picture malloc keeps, its first page), a
// format whose decoder takes a buffer (decodes_into_room).
bool decodes_into_buffer(const file_request& request, const prepared_input& p);

// Decodes `p` whole now; a failure is kept for its turn, and memory
// running out leaves the decoding to the turn. `into`, when set (only where
// decodes_into_buffer), is called first, and may wait, and give the
// buffer to decode into (the pixels of the image it is handed).
void decode_ahead(const file_request& request, prepared_input* p,
                  const std::function<void(image* into)>& into = {});

// run_file_request for an input read ahead (`ahead` may be null).
bool run_file_request(const file_request& request, prepared_ptr ahead, std::string* where, std::string* err);

// The request resize_file makes of its arguments: the format from
// options.format or the output's name. Throws pellimor::error for a bad
// geometry, quality or name.
file_request request_for(const std::string& input, const std::string& output, const file_options& options);

// The reason work needing `need` bytes for a new_width x new_height result
// does not fit what this process may use (or the smaller limit set), or ""
// when it fits.
std::string memory_refusal(double need, std::int64_t new_width, std::int64_t new_height,
                           const file_limits& limits = {});
// The same for any task ("reading 100 x 100 pixels").
std::string memory_refusal(double need, const std::string& task, const file_limits& limits);

// The reason a width x height picture (`what`: "the file claims" or
// "resizing to") is over the pixel limit, or "" when it is not.
std::string pixel_refusal(const file_limits& limits, const char* what, std::int64_t width,
                          std::int64_t height);

// The most bytes of input to read: what memory allows.
std::uint64_t input_byte_limit(const file_limits& limits);

// `message` about memory running out, with the limit this process has.
std::string out_of_memory(const std::string& message);

// The largest width and height `format` can store; 0 when no more than a
// 32-bit side.
std::int64_t largest_side(image_format format);

// "W x H", as messages give sizes.
std::string size_text(std::int64_t width, std::int64_t height);

}  // namespace pellimor
