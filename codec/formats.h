// SPDX-License-Identifier: MIT
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
#include <vector>

#include "codec/codec.h"

namespace pellimor::codecs {

#define PELLIMOR_DECLARE_CODEC(X)                                                                \
  bool X##_is(const std::uint8_t* data, std::size_t size);                                       \
  bool X##_info(const std::uint8_t* data, std::size_t size, image_info* info, std::string* err); \
  bool X##_decode(const std::uint8_t* data, std::size_t size, image* out, std::string* err);     \
  bool X##_encode(const image& img, const encode_options& options, const byte_sink& sink, std::string* err);

PELLIMOR_DECLARE_CODEC(bmp)
PELLIMOR_DECLARE_CODEC(png)
PELLIMOR_DECLARE_CODEC(jpeg)
PELLIMOR_DECLARE_CODEC(tiff)
PELLIMOR_DECLARE_CODEC(webp)
PELLIMOR_DECLARE_CODEC(gif)

#undef PELLIMOR_DECLARE_CODEC

// X_decode telling `progress` (codec.h) as rows are done.
bool png_decode_rows(const std::uint8_t* data, std::size_t size, image* out, std::string* err,
                     const decode_progress& progress);
bool jpeg_decode_rows(const std::uint8_t* data, std::size_t size, image* out, std::string* err,
                      const decode_progress& progress);
bool tiff_decode_rows(const std::uint8_t* data, std::size_t size, image* out, std::string* err,
                      const decode_progress& progress);

// tiff_encode straight into `fd`, a new, empty file open for reading and
// writing, each strip written as its rows are ready. *write_error as
// encode_image_to_file (codec.h) says.
bool tiff_encode_file(const image& img, const encode_options& options, int fd, int* write_error,
                      std::string* err);

// Declared just after a decoder's buffer: unless kept, tells `progress` the
// rows it was told are withdrawn (codec.h), before the buffer goes.
struct told_rows {
  const decode_progress& progress;
  bool kept = false;
  ~told_rows() {
    if (!kept && progress) progress(nullptr, -1);
  }
};

// What an encoder calls before it reads rows [0, rows): true at once unless
// the options say the rows are still being made (codec.h, rows_ready).
bool rows_ready(const encode_options& options, std::int32_t rows);

// The codecs of files that may hold several pictures (TIFF pages, GIF and
// WebP animation frames): how many, and the header and samples of one,
// `page` counted from 0. X_info and X_decode above give page 0.
#define PELLIMOR_DECLARE_PAGES(X)                                                            \
  int X##_pages(const std::uint8_t* data, std::size_t size);                                 \
  bool X##_info_page(const std::uint8_t* data, std::size_t size, int page, image_info* info, \
                     std::string* err);                                                      \
  bool X##_decode_page(const std::uint8_t* data, std::size_t size, int page, image* out, std::string* err);

PELLIMOR_DECLARE_PAGES(tiff)
PELLIMOR_DECLARE_PAGES(webp)
PELLIMOR_DECLARE_PAGES(gif)

#undef PELLIMOR_DECLARE_PAGES

// Copies `count` pixels from `src` to `dst`, keeping the first `dst_channels`
// of each pixel's `src_channels` samples. Samples change type by the rule in
// codec.h: value * max(to) / full scale(from), saturated to [0, max(to)],
// truncated toward zero (NaN gives 0); `to` must be u8 or u16, or equal to
// `from` (then samples are copied as they are).
void convert_pixels(const std::uint8_t* src, sample_type from, int src_channels, std::uint8_t* dst,
                    sample_type to, int dst_channels, std::size_t count);

// Whether `img` can be encoded: positive sizes, 1 to 4 channels and a pixel
// buffer of exactly the size its info gives. False with *err.
bool check_encodable(const image& img, std::string* err);

// Hands `size` bytes to `sink`. False when it refuses them or throws, so a
// sink can be called from inside a C library's callback.
bool send_to_sink(const byte_sink& sink, const std::uint8_t* bytes, std::size_t size) noexcept;

// The orientation (1..8) an EXIF block gives; `data` starts at the TIFF
// header ("II*\0" or "MM\0*"). 1 when it has none or cannot be read.
int exif_orientation(const std::uint8_t* data, std::size_t size);

// Bounds on what metadata is kept from a file (metadata.cc).
constexpr std::size_t max_exif_bytes = std::size_t{4} << 20;
constexpr std::size_t max_xmp_bytes = std::size_t{16} << 20;
constexpr std::size_t max_text_bytes = std::size_t{16} << 20;
constexpr std::size_t max_texts = 4096;
// The TIFF tags carried as text, and the keywords they go by.
struct tiff_text_tag {
  unsigned tag;
  const char* key;
};
extern const tiff_text_tag tiff_text_tags[7];

// TIFF tags into *meta (tiff_codec.cc).
void tiff_metadata(const std::uint8_t* data, std::size_t size, metadata* meta);
// The EXIF and XMP chunks of a WebP file into *meta (webp_codec.cc).
void webp_metadata(const std::uint8_t* data, std::size_t size, metadata* meta);

// JPEG's extended XMP: the name a packet goes by (its MD5, 32 upper-case
// hexadecimal digits), and the standard packet that holds nothing but the
// pointer to it by that name, written when a packet is too large for one
// marker.
std::string extended_xmp_guid(const std::string& packet);
std::string extended_xmp_pointer(const std::string& guid);
// The signature of an extended XMP segment, with its NUL; then come the
// GUID, the whole packet's length and this piece's offset (4 bytes each,
// big-endian) and the piece.
constexpr char extended_xmp_name[] = "http://ns.adobe.com/xmp/extension/";
constexpr std::size_t extended_xmp_header = sizeof extended_xmp_name + 32 + 8;

// Swaps the densities across and down when `orientation` (5..8) turns the
// picture a quarter.
void turn_metadata(metadata* meta, int orientation);
// The density in `unit` (1 inch, 2 centimetre). False when there is none,
// or only an aspect ratio.
bool density_in(const metadata& meta, int unit, double* x, double* y);

// The EXIF block to write with `img`: img.meta.exif with Orientation set to
// img.orientation, PixelXDimension / PixelYDimension (and ImageWidth /
// ImageLength where present) to its size, and its thumbnail dropped when
// the orientation changed (it would show turned). Empty when there is no
// EXIF or libexif cannot read it.
std::vector<std::uint8_t> exif_for_output(const image& img);
// `block` (empty: none) with X/YResolution and ResolutionUnit saying
// meta's density, for a file that has no other place for it (a CMYK JPEG,
// which has no JFIF marker). `block` itself when the density is not in
// inches or centimetres.
std::vector<std::uint8_t> exif_with_density(const std::vector<std::uint8_t>& block, const metadata& meta);
// X/YResolution and ResolutionUnit from an EXIF block into *meta, when it
// has them.
void exif_resolution(const std::vector<std::uint8_t>& exif, metadata* meta);

}  // namespace pellimor::codecs
