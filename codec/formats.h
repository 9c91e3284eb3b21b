// formats.h - the codecs behind codec.h, one set of four functions each.
//   X_is      is this file mine? (first bytes only)
//   X_info    what is it? (header only; no pixel decoded)
//   X_decode  every sample, the ICC profile and the EXIF orientation
//   X_encode  the whole file into a sink
// All return false with *err (no file name) on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "codec/codec.h"

namespace pellimor::codecs {

#define PELLIMOR_DECLARE_CODEC(X)                                                                        \
  bool X##_is(const std::uint8_t* data, std::size_t size);                                               \
  bool X##_info(const std::uint8_t* data, std::size_t size, image_info* info, std::string* err);         \
  bool X##_decode(const std::uint8_t* data, std::size_t size, image* out, std::string* err);             \
  bool X##_encode(const image& img, const encode_options& options, const byte_sink& sink, std::string* err);

PELLIMOR_DECLARE_CODEC(bmp)
PELLIMOR_DECLARE_CODEC(png)
PELLIMOR_DECLARE_CODEC(jpeg)
PELLIMOR_DECLARE_CODEC(tiff)

#undef PELLIMOR_DECLARE_CODEC

// The orientation (1..8) an EXIF block gives; `data` starts at the TIFF
// header ("II*\0" or "MM\0*"). 1 when it has none or cannot be read.
int exif_orientation(const std::uint8_t* data, std::size_t size);

}  // namespace pellimor::codecs
