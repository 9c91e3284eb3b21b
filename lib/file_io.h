// SPDX-License-Identifier: MIT
// file_io.h - images to and from files, for the library and the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "pellimor/pellimor.h"

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

// Finds the format of a file's bytes and reads its header, with every
// refusal read_image makes before it decodes: no format known, a damaged
// header, a picture over `limits` or needing more memory than may be had.
// "" when the file may be decoded, else the reason (naming no file).
// Without `own_memory`, memory is checked only against limits.memory when
// that is set, not against what this process may use (a probe decodes
// nothing, so it can tell the size of a picture too large to read).
// `page` counts from 1 (TIFF pages, animation frames).
std::string checked_header(const std::uint8_t* data, std::size_t size, const file_limits& limits,
                           file_info* info, bool own_memory = true, int page = 1);

// Why `img` cannot be encoded (no pixels, fewer samples than its size
// needs), or "" when it can.
std::string image_refusal(const image& img);

// Why picture `page` (from 1) of a file in `format` cannot be had ("there
// is no page 4: the file has 3 pages"), or "" when it can.
std::string page_refusal(const std::uint8_t* data, std::size_t size, image_format format, int page);

// Throws pellimor::error unless 1 <= quality <= 100.
void check_quality(int quality);

}  // namespace pellimor
