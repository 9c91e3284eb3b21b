// SPDX-License-Identifier: MIT
// pellimor.h - resize images in the cosine domain.
//
// Each channel is taken through a whole-plane 2-D DCT (rows, then columns),
// its coefficient array is cut (to shrink) or extended with zeros (to
// enlarge) at the high-frequency end, and an inverse 2-D DCT at the new size
// brings it back, scaled by 4 / (width * height) so brightness is kept:
//
//   e(x', y') = 4/(W H) * sum_{u < min(W,W'), v < min(H,H')} C(u, v)
//               * cos(pi u (x' + 1/2) / W') * cos(pi v (y' + 1/2) / H')
//
// with C the forward DCT-II of the source whose zero-frequency terms are
// halved. Integer results saturate at 0 and the type's maximum and are
// truncated toward zero (or rounded half up); float results are stored as
// computed, without clipping.
//
// Errors are thrown: pellimor::error with a message saying what is wrong
// (bad arguments, a file at fault, memory: "out of memory ..."), and its
// subclass pellimor::stopped when a resize_settings::proceed hook said stop.
// Nothing here prints (unless a progress stream is given) or exits. Every
// function is safe to call from several threads at once on different
// images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "pellimor/image.h"

// Everything declared here is the library's interface: exported from the
// shared library, where all else is hidden, so that a program's own
// functions of the same names as the library's internals neither replace
// them nor are replaced by them.
#pragma GCC visibility push(default)

namespace pellimor {

class error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Thrown when resize_settings::proceed returned false: the work ended
// early on request, not through a fault. What it wrote stays written and
// nothing more is; resize_file leaves its output unwritten.
class stopped : public error {
 public:
  stopped() : error("the resize was stopped") {}
  using error::error;
};

enum class engine { fast, direct };      // FFT-based, or the defining direct sums
enum class rounding { trunc, nearest };  // toward zero, or half up

struct resize_settings {
  engine method = engine::fast;
  int threads = 0;                     // workers; < 1 means one per core
  rounding round = rounding::nearest;  // integer results only
  double taper = 0.0;                  // P >= 0: coefficient k of K kept scaled by sinc(k/K)^P per axis
  bool linear = false;                 // resize sRGB-encoded colour in linear light
  bool alpha = false;                  // last channel is alpha: colour resized premultiplied
  // Hold every channel's coefficient array at once (channels times the
  // fast engine's memory, see resize_working_bytes) and write each output
  // pixel's channels together: faster where the channels are interleaved,
  // the same values. Not with alpha or linear light, nor from 8 bits to 8
  // bits (whose own path is faster still).
  bool hold_channels = false;
  std::FILE* counters = nullptr;       // remain counters, when not null
  std::FILE* phases = nullptr;         // phase lines, when not null
  // Called, when set, after each group of one-dimensional passes of each
  // channel with the passes that channel has done and their total.
  void (*passes_done)(void* context, std::int64_t done, std::int64_t total) = nullptr;
  // Asked, when set, between batches of lines, from any of the workers (so
  // it must be safe to call from several threads at once). Returning false
  // stops the work: nothing more is written, resize() throws
  // pellimor::stopped ("the resize was stopped"), and resize_file leaves its
  // output unwritten and throws pellimor::stopped naming the file.
  bool (*proceed)(void* context) = nullptr;
  void* context = nullptr;  // handed to passes_done and proceed
};

// Samples somewhere in memory: sample (x, y, c) at
//   data + y * row_stride + x * pixel_stride + c * sample_bytes(type)
// (strides in bytes, any sign).
struct image_view {
  const void* data = nullptr;
  sample_type type = sample_type::u8;
  std::int32_t width = 0;
  std::int32_t height = 0;
  int channels = 1;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t pixel_stride = 0;
  std::ptrdiff_t channel_stride = 0;  // 0 means sample_bytes(type)
};

struct image_span {
  void* data = nullptr;
  sample_type type = sample_type::u8;
  std::int32_t width = 0;
  std::int32_t height = 0;
  int channels = 1;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t pixel_stride = 0;
  std::ptrdiff_t channel_stride = 0;  // 0 means sample_bytes(type)
};

// Views of a whole image.
image_view view_of(const image& img);
image_span span_of(image& img);

// Samples of an array of any rank: element (i0, i1, ...) at
//   data + i0 * strides[0] + i1 * strides[1] + ...
// (strides in bytes, any sign; one extent and one stride per axis).
struct nd_view {
  const void* data = nullptr;
  sample_type type = sample_type::f64;
  std::vector<std::int64_t> extents;
  std::vector<std::ptrdiff_t> strides;
  // The axis that holds an image's channels (alpha last), or -1 for none;
  // alpha and linear light need it.
  int channel_axis = -1;
};

struct nd_span {
  void* data = nullptr;
  sample_type type = sample_type::f64;
  std::vector<std::int64_t> extents;
  std::vector<std::ptrdiff_t> strides;
};

// Resizes `source` along `axes` (distinct, 0 .. rank-1) into `destination`:
// the same rank, the extents of the other axes the same, those of `axes`
// any >= 1. Each axis is taken through the same cut or zero-extended
// DCT-II / DCT-III pair as the 2-D resize, scaled to keep the mean; two
// axes give the 2-D resize's values exactly (each plane of the other axes
// goes through it, the channel axis as its channels). Alpha needs the
// channel axis (alpha its last channel); with any other count of axes,
// each element's colour is taken to linear light and premultiplied by its
// alpha before the transform, and back after, as the 2-D resize does for
// each pixel. Sample types and rounding as the 2-D resize. Throws
// pellimor::error on bad arguments (overlapping or zero output strides
// among them) and when memory runs out (a message beginning "out of
// memory"), pellimor::stopped when settings.proceed said stop.
void resize(const nd_view& source, const nd_span& destination, const std::vector<int>& axes,
            const resize_settings& settings);

// Bytes of working memory that resize needs beyond its source and
// destination.
std::uint64_t resize_working_bytes(const std::vector<std::int64_t>& extents,
                                   const std::vector<std::int64_t>& new_extents, const std::vector<int>& axes,
                                   const resize_settings& settings);

// Resizes every channel of `source` into `destination` (same channel count,
// any size >= 1). When the sample types differ, values are scaled by the
// ratio of their full scales (65535 -> 255, 1.0 -> 255, ...). Throws
// pellimor::error on bad arguments and when memory runs out (a message
// beginning "out of memory"), pellimor::stopped when settings.proceed said
// stop.
void resize(const image_view& source, const image_span& destination, const resize_settings& settings);

// The same into a new image of the same type and channels (ICC kept);
// throws as the above.
image resize(const image& source, std::int32_t new_width, std::int32_t new_height,
             const resize_settings& settings = {});

// Bytes of working memory resize() needs beyond its source and destination.
std::uint64_t resize_working_bytes(std::int32_t width, std::int32_t height, std::int32_t new_width,
                                   std::int32_t new_height, int channels, const resize_settings& settings);

// Resizes keep the engine's plans and working arrays of the last two
// shapes they ran (sizes, threads and taper) for the next resize of the
// same shape: a folder of photographs of one camera, the frames of a video.
// Results are the same bytes either way.

// Frees what the cache holds now.
void release_caches();

// Bounds the cache at `bytes` (0 turns it off, freeing what it holds) and
// returns the bound set before; 256 MiB at start. Whatever is set, the
// cache holds at most a quarter of the memory this process may use (see
// file_limits), and lets go of what it holds when that and a resize's own
// working memory would not fit together.
std::uint64_t set_cache_limit(std::uint64_t bytes);

// Bytes the cache holds now.
std::uint64_t cache_bytes();

// What reading a file may cost. A file is refused, naming the limit, from
// its header and size alone, before memory for its pixels is taken.
struct file_limits {
  // Most pixels (width x height) an image may have, in the file or as the
  // result of a resize; 0 for no limit beyond memory.
  std::uint64_t pixels = 0;
  // Most bytes of memory the work may take; 0 for what this process may
  // use (the machine's memory, its control group's limit, ulimit -v). A
  // value above that changes nothing.
  std::uint64_t memory = 0;
};

// Files: the format is found from the content ("-" reads standard input);
// the EXIF orientation is applied, so the image reads as displayed.
// Throws pellimor::error naming the file.
image read_image(const std::string& path);
image read_image(const std::string& path, const file_limits& limits);
// Picture `page` (from 1) of a file holding several: a TIFF page, a GIF or
// WebP animation frame as displayed. A page past the count is refused.
image read_image(const std::string& path, const file_limits& limits, int page);
// Writes `img` in the format its extension names (.bmp .png .jpg .jpeg .tif
// .tiff .webp), replacing the file only once it is complete.
void write_image(const std::string& path, const image& img, int quality = 92);
// The same; `lossless` makes a .webp file lossless (other formats ignore it).
void write_image(const std::string& path, const image& img, int quality, bool lossless);

// A file's header: what read_info finds without decoding a pixel.
struct file_info : image_info {
  image_format format = image_format::bmp;
};

// The header of the file at `path` ("-": standard input): width, height,
// channels and sample type as stored, the format (found from the content)
// and the EXIF orientation, not applied (read_image turns the picture by it,
// so orientations 5 to 8 swap width and height there). No pixel is decoded,
// so a picture too large for this process's memory still answers; a file
// shorter than its header says its data is (BMP rows, PNG chunks) is
// refused, a JPEG cut in its scan is not. limits.pixels, and limits.memory
// when set, refuse a picture as read_image would. Throws pellimor::error
// naming the file.
file_info read_info(const std::string& path, const file_limits& limits = {});
// The same of a whole file's bytes in memory; messages name no file.
file_info read_info(const void* data, std::size_t size, const file_limits& limits = {});

// A file's bytes in memory to an image, as read_image reads a file (format
// from the content, orientation applied, the same limits and refusals).
// Throws pellimor::error.
image decode(const void* data, std::size_t size, const file_limits& limits = {});
image decode(const std::vector<std::uint8_t>& bytes, const file_limits& limits = {});

// The bytes write_image would write for `img` as `format` (quality: JPEG,
// 1..100). Throws pellimor::error.
std::vector<std::uint8_t> encode(const image& img, image_format format, int quality = 92);

// What resize_file does beside reading and writing.
struct file_options {
  // The new size as a geometry ("50%", "800x600", "800x600!", "1531", ...;
  // see the program's --help); empty for the source's own size.
  std::string size;
  // The output format; when not given, the one the output's extension names
  // (.bmp .png .jpg .jpeg .tif .tiff .webp). GIF is read, never written.
  std::optional<image_format> format;
  int quality = 92;          // JPEG and lossy WebP, 1..100
  resize_settings settings;  // `alpha` is ignored: it follows the file
  file_limits limits;
  // What the output leaves out of the metadata the input holds (EXIF, XMP,
  // text, density, PNG colour chunks, ICC profile), all of it carried
  // where the output's format has room by default: strip_mode::metadata
  // keeps only the ICC profile, strip_mode::all leaves that out too.
  strip_mode strip = strip_mode::none;
  // The picture of a file holding several (TIFF pages, GIF or WebP
  // animation frames), from 1; a page past the file's count is refused.
  int page = 1;
  bool lossless = false;  // WebP output: lossless instead of lossy
};

// Reads `input` ("-": standard input), resizes it and writes `output` ("-":
// standard output) as the program does for the same request: the same
// sample types, alpha handling, ICC profile and bytes. The output replaces
// an old file only once complete; work that does not fit in this process's
// memory, and a target that may not be replaced, are refused before any
// pixel is decoded. Throws pellimor::error naming the file at fault.
void resize_file(const std::string& input, const std::string& output, const file_options& options = {});

// One file of a batch and what became of it.
struct file_result {
  std::string input;
  std::string output;    // "" when no output could be named for it
  std::string error;     // why it failed, naming the file at fault; "" when done or skipped
  bool skipped = false;  // its output existed and no_clobber was set
};

struct batch_options {
  int jobs = 0;             // files in flight; 0 chooses (see resize_files)
  bool no_clobber = false;  // leave outputs that exist alone (skipped)
};

// Resizes each of `inputs` as resize_file does, several at once. `output` is
//  - a folder (a name ending in '/', or one that exists): each output is
//    the input's file name in it, or with options.format, that name with
//    the format's extension in place of its own;
//  - a pattern holding "%s": each "%s" becomes the input's file name without
//    folder and extension, and "%%" a single '%';
//  - otherwise the name of the one input's output ("-": standard output,
//    in the format options.format or the input's name says).
// The format is options.format, else the one each output's name says.
// options.settings.threads (0: one per core) is the engine threads in all.
// With batch.jobs = N, N files are in flight, each with threads / N of
// them (at least 1). With jobs = 0 and several inputs, one file at a time
// runs on every thread, so that the batch's peak memory stays near that of
// its largest file run alone; only files whose picture and result both
// have at most 100,000 pixels (by the file's header) run as many at once
// as there are threads, each on one.
// A file that fails does not stop the others. Returns one result per
// input, in order. Throws pellimor::error when no outputs can be named: no
// inputs, several inputs and a plain output name, standard input ("-")
// with others or with a folder or pattern, or a name of no format known.
std::vector<file_result> resize_files(const std::vector<std::string>& inputs, const std::string& output,
                                      const file_options& options = {}, const batch_options& batch = {});

}  // namespace pellimor

#pragma GCC visibility pop
