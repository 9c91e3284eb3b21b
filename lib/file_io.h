// file_io.h - images to and from files, for the library and the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/codec.h"

namespace pellimor {

// Writes all `size` bytes to `fd`, through short writes and EINTR. False
// with *err (the system's reason) on failure.
bool write_all(int fd, const std::uint8_t* data, std::size_t size, std::string* err);

// Encodes `img` as `format` into a new file at `path` that replaces any
// old one only once it is complete. False with *err (for a message after
// the file's name).
bool encode_to_file(const image& img, image_format format, const encode_options& options,
                    const std::string& path, std::string* err);

// Encodes `img` as `format` to an open descriptor (standard output). False
// with *err.
bool encode_to_fd(const image& img, image_format format, const encode_options& options, int fd,
                  std::string* err);

// The format a file name's extension names (.bmp .png .jpg .jpeg .tif
// .tiff .webp, any case). False when none (and for .gif, never written).
bool format_from_name(const std::string& path, image_format* format);

// The same, throwing pellimor::error naming the file when there is none.
image_format format_named_by(const std::string& path);

// Why picture `page` (from 1) of a file in `format` cannot be had ("there
// is no page 4: the file has 3 pages"), or "" when it can.
std::string page_refusal(const std::vector<std::uint8_t>& bytes, image_format format, int page);

// Throws pellimor::error unless 1 <= quality <= 100.
void check_quality(int quality);

}  // namespace pellimor
