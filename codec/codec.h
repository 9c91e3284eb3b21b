// SPDX-License-Identifier: MIT
// codec.h - image files in and out: BMP, PNG, JPEG, TIFF, WebP; GIF in only.
//
// Each codec answers three questions: is this file mine (from its first
// bytes, never its name), what is it (header only, so sizes can be checked
// before any pixel exists), and give me the samples. Files are decoded from
// bytes in memory, so standard input and pipes work like any file.
//
// Nothing here prints or exits: failures return false with the reason in
// *err (without the file name; the caller adds it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pellimor/image.h"

namespace pellimor {

const char* format_name(image_format format);       // "bmp", "png", "jpeg", "tiff", "webp", "gif"
const char* format_extension(image_format format);  // ".bmp", ".png", ".jpg", ".tif", ".webp", ".gif"
// "bmp", "png", "jpeg" (or "jpg"), "tiff" (or "tif"), "webp", "gif". False
// when unknown.
bool parse_format(const char* name, image_format* format);
// Whether encode_image writes `format` (all but GIF).
bool format_writable(image_format format);
// "not a BMP, PNG, JPEG, TIFF, WebP or GIF file": what a file of no format
// read here is told.
const char* unknown_format_message();

// The whole of a file, or of standard input for "-". False with *err.
// Reading stops early, and *bytes holds just the first few, when those
// show no format this program reads, so an endless stream of anything else
// costs nothing. A file or stream of more than `max_bytes` is refused: a
// file before it is read, a stream once that much has arrived.
bool load_bytes(const char* path, std::vector<std::uint8_t>* bytes, std::string* err,
                std::uint64_t max_bytes = UINT64_MAX);
// The same from an open descriptor, read to its end from where it stands.
bool load_bytes_from(int fd, std::vector<std::uint8_t>* bytes, std::string* err,
                     std::uint64_t max_bytes = UINT64_MAX);

// Which codec reads these bytes. False when none does.
bool detect_format(const std::uint8_t* data, std::size_t size, image_format* format);

// How many pictures the file holds: TIFF pages, GIF or WebP animation
// frames; 1 for the other formats. Reads headers only. 0 when the file is
// too damaged to tell.
int count_pages(const std::uint8_t* data, std::size_t size, image_format format);

// The header's facts, decoding no pixel, of picture `page` (from 0). False
// with *err when the file is not one this program reads, is damaged, or has
// no such page.
bool read_info(const std::uint8_t* data, std::size_t size, image_format format, image_info* info,
               std::string* err, int page = 0);

// Every sample, in the layout read_info announced, plus the ICC profile and
// the metadata (read_metadata). The formats decodes_into_room names decode
// into the room of an empty out->pixels when it has enough (a batch hands
// each picture's buffer on to the next); that room goes on failure, and
// *out is otherwise left as it was.
// A damaged or truncated file is refused, never half-filled. The EXIF
// orientation is reported in out->orientation, not applied. An animation
// frame comes as displayed: the frames before it drawn and disposed of as
// the file says, on a canvas of the animation's size.
bool decode_image(const std::uint8_t* data, std::size_t size, image_format format, image* out,
                  std::string* err, int page = 0);

// Told, from the decoding thread, how far decoding has gone: `pixels` is the
// buffer the samples are decoded into (it stays where it is when the image is
// handed over in *out), `rows` how many rows from the top hold their final
// samples. Rows grow from call to call; a codec that cannot tell early (an
// interlaced PNG, a TIFF stored plane by plane, a BMP) calls once at the end
// with every row. Rows told are final only if decoding then succeeds: a
// damaged file can still be refused after they were handed out. A codec
// that fails calls progress(nullptr, -1) before its buffer goes: the call
// returns once no row told is being read any more.
using decode_progress = std::function<void(const std::uint8_t* pixels, std::int32_t rows)>;

// decode_image, telling `progress` as rows are done.
bool decode_image(const std::uint8_t* data, std::size_t size, image_format format, image* out,
                  std::string* err, const decode_progress& progress);

// What the file holds beside its pixels and ICC profile (see metadata in
// image.h), from its bytes alone. Never fails: what cannot be read is left
// out. BMP files hold none.
void read_metadata(const std::uint8_t* data, std::size_t size, image_format format, metadata* out);

// Empties img->meta, and with strip_mode::all img->icc too.
void strip_metadata(image* img, strip_mode mode);

// Turns the pixels so the image reads as displayed and sets orientation 1;
// the densities across and down swap with the sides.
// False when the memory cannot be had.
bool apply_orientation(image* img);

// Turns a CMYK image (img->cmyk) into 3-channel sRGB of the same sample
// type (floats become 16-bit) through its ICC profile, perceptual intent,
// with LittleCMS; without a CMYK profile, through the default one
// (cmyk_default_profile_path), saying so in *note. The ICC profile is
// emptied: sRGB is what a file without one means. Nothing to do for other
// images. False with *err when no profile can be had.
bool cmyk_to_srgb(image* img, std::string* note, std::string* err);
// PELLIMOR_CMYK_PROFILE when set, else Debian's libgs-common default_cmyk.icc.
const char* cmyk_default_profile_path();

// An ICC profile saying what PNG's sRGB chunk, or its gAMA and cHRM
// chunks together, say, made with LittleCMS: its own sRGB profile, or an
// RGB profile of those primaries, white point and power curve. False when
// the chunks do not say that much (gAMA alone).
bool png_colour_profile(const metadata& meta, std::vector<std::uint8_t>* icc);

struct encode_options {
  int quality = 92;       // JPEG and lossy WebP, 1..100
  bool lossless = false;  // WebP: lossless instead of lossy
  // When set, the image's rows are still being made while it is encoded:
  // the encoder calls rows_ready(n) before it reads any of rows [0, n),
  // which returns once they are final, or false to stop the encoding.
  // Once it calls again, it reads none of the rows before the earlier
  // call's n any more, so their memory may go.
  std::function<bool(std::int32_t rows)> rows_ready = {};
};

// Receives the encoded file in pieces, in order. False to stop.
using byte_sink = std::function<bool(const std::uint8_t* bytes, std::size_t size)>;

// Whether decode_image of `format` decodes into the room out->pixels has
// (PNG, JPEG and TIFF).
bool decodes_into_room(image_format format);

// Whether `format` stores this many channels and this sample type as they
// are; encode_image converts what it does not (see below).
bool format_keeps(image_format format, int channels, sample_type type);

// Encodes `img` as `format` into `sink`:
//   bmp  24-bit, bottom-up; grey is replicated, alpha dropped
//   png  grey, grey+alpha, RGB, RGBA at 8 or 16 bits (float becomes 16-bit)
//   jpeg grey, RGB or CMYK at 8 bits, alpha dropped
//   tiff 8/16-bit integer or 32-bit float, alpha kept (extra sample), CMYK
//        as separated ink
//   webp RGB or RGBA at 8 bits, lossy or lossless; grey is replicated
//   gif  not written: refused
// A CMYK image goes to BMP, PNG and WebP as sRGB (cmyk_to_srgb).
// A sample type the format cannot hold is converted by the same rule the
// resampler quantises with: value / full scale * 255 (or 65535), saturated,
// truncated toward zero. The ICC profile goes with it where the format has
// room, and so does img.meta: EXIF in JPEG, PNG, TIFF and WebP (with
// Orientation and pixel-size tags made the image's own), XMP in all three, text as PNG
// chunks, JPEG comments ("Comment") and TIFF tags, the density in all
// three, PNG colour chunks in PNG alone. False with *err.
bool encode_image(const image& img, image_format format, const encode_options& options, const byte_sink& sink,
                  std::string* err);

// Writes all of [data, data + size) to `fd`, again after EINTR and short
// writes: 0, or the errno that stopped it (EIO for a write of nothing).
int write_fully(int fd, const std::uint8_t* data, std::size_t size);

// encode_image into `fd`, a new, empty regular file open for reading and
// writing. TIFF, whose header is finished last, goes to it strip by strip
// as its rows become ready instead of being made whole in memory first;
// the other formats go as to a sink. False with *err, and *write_error the
// system's reason (errno) when it was writing to `fd` that failed, else 0.
bool encode_image_to_file(const image& img, image_format format, const encode_options& options, int fd,
                          std::string* err, int* write_error);

}  // namespace pellimor
