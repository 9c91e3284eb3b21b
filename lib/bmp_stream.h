// SPDX-License-Identifier: MIT
// bmp_stream.h - a plain 24-bit BMP file to a BMP file without holding
// either picture: each channel's rows are read from the input as the engine
// asks for them and its output rows merged straight into the new file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "bmp/bmp_io.h"
#include "dct/resample.h"
#include "pellimor/pellimor.h"

namespace pellimor {

// Whether the regular file open as `fd` is for this path: a plain 24-bit
// BMP ("BM", 24 bits a pixel, no compression), or nothing the codecs
// recognise either, so that the BMP reader says what is wrong with it
// ("input file size err!!" for a short file). Read with pread, so the file
// position does not move.
bool for_bmp_stream(int fd);

// Bytes the resize of a width x height plain BMP to new_width x new_height
// holds at its peak with `settings`' engine and threads.
double bmp_stream_bytes(const resize_settings& settings, double width, double height, double new_width,
                        double new_height);

// Resizes red, green and blue of `input` (whose header gave `layout`) into a
// new BMP file at `output`, which replaces the old one only once complete.
// The fast engine streams; the direct sums read whole planes. Reports
// through `progress`. The status says whose fault a failure is.
detail::bmp_status resize_bmp_stream(std::FILE* input, const detail::bmp_layout& layout,
                                     std::int32_t new_width, std::int32_t new_height,
                                     const std::string& output, const resize_settings& settings,
                                     const detail::progress_streams& progress, std::string* err);

}  // namespace pellimor
