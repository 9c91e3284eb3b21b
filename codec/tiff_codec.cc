// SPDX-License-Identifier: MIT
// tiff_codec.cc - TIFF files through libtiff, read from memory, written to
// memory or straight to a file.
//
// Reading takes one page (directory), the first unless told. It accepts 1, 2, 4, 8 and
// 16-bit unsigned integer and 32 and 64-bit float samples; grey (black or
// white is zero), palette and RGB, each with or without alpha; strips or
// tiles; samples interleaved or in separate planes; every compression this
// libtiff decodes, JPEG-compressed YCbCr converted to RGB by libjpeg.
// Samples come out as image.h has them:
//   1, 2, 4-bit grey  8 bits, v * 255 / (2^bits - 1); white-is-zero inverted
//   palette           RGB: at 16 bits the colour map as is, else scaled to
//                     8 bits (a map whose entries all fit in 8 bits, as
//                     some old writers store, is taken as 8-bit already)
//   alpha             the first extra sample when marked associated or
//                     unassociated; associated alpha is divided out (colour
//                     0 where alpha is 0); unspecified extra samples are
//                     dropped
// Orientation and ICC profile are reported, not applied. A file libtiff
// reports any error for, or whose strips or tiles do not lie inside it,
// share bytes or are too short to decode to their size, is refused whole;
// all but libtiff's decoding errors already when only the header is read.
// libtiff's messages go to per-file handlers, so several threads may read
// and write at once and nothing is printed.
//
// Writing stores 8 or 16-bit integers or 32-bit floats (float64 narrowed),
// interleaved, with alpha as an unassociated extra sample, the ICC profile,
// the orientation when it is not 1, and the metadata (EXIF and GPS
// directories through tiff_exif.cc). Compression: deflate at level 1
// with the horizontal (or, for floats, the floating-point) predictor, in
// strips of about 256 KiB; see the README for the measurements behind it.
// Into a file, each strip is written as soon as its rows are ready, so no
// more than a strip of the file is ever held; into a sink, which cannot go
// back to the header, the file is made whole first. Both give the same bytes.
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "codec/formats.h"
#include "codec/tiff_exif.h"

namespace pellimor::codecs {
namespace {

// ---------------------------------------------------------------------------
// A file in memory behind libtiff's client procedures.

struct memory_stream {
  const std::uint8_t* in = nullptr;          // the file, when reading
  std::uint64_t in_size = 0;                 //
  std::vector<std::uint8_t>* out = nullptr;  // the file so far, when writing
  std::uint64_t pos = 0;
  // Or, when writing straight to a file, the file (new and empty: offsets
  // are the TIFF's own), how far it reaches, and why a write to it failed.
  int fd = -1;
  std::uint64_t fd_size = 0;
  int fd_error = 0;

  const std::uint8_t* bytes() const { return out != nullptr ? out->data() : in; }
  std::uint64_t size() const { return fd >= 0 ? fd_size : out != nullptr ? out->size() : in_size; }
};

// A file's bytes at the stream's position; short only at the file's end.
tmsize_t file_read(memory_stream* s, std::uint8_t* buffer, tmsize_t count) {
  tmsize_t done = 0;
  while (done < count) {
    const ssize_t n = pread(s->fd, buffer + done, static_cast<std::size_t>(count - done),
                            static_cast<off_t>(s->pos));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += n;
    s->pos += static_cast<std::uint64_t>(n);
  }
  return done;
}

tmsize_t file_write(memory_stream* s, const std::uint8_t* buffer, tmsize_t count) {
  if (s->pos > static_cast<std::uint64_t>(INT64_MAX) - static_cast<std::uint64_t>(count)) return -1;
  for (tmsize_t done = 0; done < count;) {
    const ssize_t n = pwrite(s->fd, buffer + done, static_cast<std::size_t>(count - done),
                             static_cast<off_t>(s->pos));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (s->fd_error == 0) s->fd_error = n < 0 ? errno : EIO;
      return -1;
    }
    done += n;
    s->pos += static_cast<std::uint64_t>(n);
    s->fd_size = std::max(s->fd_size, s->pos);
  }
  return count;
}

tmsize_t stream_read(thandle_t handle, void* buffer, tmsize_t count) {
  auto* s = static_cast<memory_stream*>(handle);
  if (count < 0) return -1;
  if (s->fd >= 0) return file_read(s, static_cast<std::uint8_t*>(buffer), count);
  if (s->pos >= s->size()) return 0;
  const std::uint64_t n = std::min<std::uint64_t>(static_cast<std::uint64_t>(count), s->size() - s->pos);
  std::memcpy(buffer, s->bytes() + s->pos, n);
  s->pos += n;
  return static_cast<tmsize_t>(n);
}

tmsize_t stream_write(thandle_t handle, void* buffer, tmsize_t count) {
  auto* s = static_cast<memory_stream*>(handle);
  if (count < 0) return -1;
  if (s->fd >= 0) return file_write(s, static_cast<const std::uint8_t*>(buffer), count);
  if (s->out == nullptr) return -1;
  const std::uint64_t end = s->pos + static_cast<std::uint64_t>(count);
  try {
    if (end > s->out->size()) s->out->resize(end);
  } catch (const std::exception&) {
    return -1;
  }
  std::memcpy(s->out->data() + s->pos, buffer, static_cast<std::size_t>(count));
  s->pos = end;
  return count;
}

toff_t stream_seek(thandle_t handle, toff_t offset, int whence) {
  auto* s = static_cast<memory_stream*>(handle);
  const std::uint64_t base = whence == SEEK_CUR ? s->pos : whence == SEEK_END ? s->size() : 0;
  const std::int64_t delta = static_cast<std::int64_t>(offset);
  if (whence != SEEK_SET && delta < 0 && static_cast<std::uint64_t>(-delta) > base)
    return static_cast<toff_t>(-1);
  s->pos = whence == SEEK_SET ? offset : base + delta;
  return s->pos;
}

int stream_close(thandle_t) { return 0; }
toff_t stream_size(thandle_t handle) { return static_cast<memory_stream*>(handle)->size(); }
int stream_map(thandle_t, void**, toff_t*) { return 0; }
void stream_unmap(thandle_t, void*, toff_t) {}

// The first error libtiff reports for one file. Warnings (unknown tags and
// the like) do not stop a read and are dropped.
int keep_first_error(TIFF*, void* user, const char* module, const char* format, va_list args) {
  auto* error = static_cast<std::string*>(user);
  if (error->empty()) {
    char text[400];
    std::vsnprintf(text, sizeof text, format, args);
    *error = std::string(module != nullptr ? module : "libtiff") + ": " + text;
  }
  return 1;  // handled: libtiff's global handler would print it
}

int drop_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct tiff_closer {
  void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using tiff_handle = std::unique_ptr<TIFF, tiff_closer>;

// Opens `stream` with libtiff ("r" or "w"/"w8"), its errors going to *error.
tiff_handle open_stream(memory_stream* stream, const char* mode, std::string* error) {
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (options == nullptr) return nullptr;
  TIFFOpenOptionsSetErrorHandlerExtR(options, keep_first_error, error);
  TIFFOpenOptionsSetWarningHandlerExtR(options, drop_warning, nullptr);
  TIFF* tif = TIFFClientOpenExt("tiff", mode, stream, stream_read, stream_write, stream_seek, stream_close,
                                stream_size, stream_map, stream_unmap, options);
  TIFFOpenOptionsFree(options);
  return tiff_handle(tif);
}

bool fail(std::string* err, std::string why) {
  *err = std::move(why);
  return false;
}

// The reason libtiff gave, or `fallback`.
bool fail_with(std::string* err, const std::string& libtiff_error, const std::string& fallback) {
  return fail(err, libtiff_error.empty() ? fallback : fallback + " (" + libtiff_error + ")");
}

// ---------------------------------------------------------------------------
// Reading.

// How the first page stores its samples, and what the caller will get.
struct tiff_layout {
  std::uint32_t samples = 1;  // per pixel, as stored
  std::uint32_t bits = 8;     // per sample
  int colour = 1;             // colour samples stored: 1 (grey or palette index), 3 or 4 (CMYK)
  int alpha = -1;             // stored sample index of alpha, or -1
  bool associated = false;    // alpha premultiplied into the colours
  bool palette = false;
  bool min_is_white = false;
  bool separate = false;  // one plane per sample
  bool tiled = false;
  std::uint32_t block_width = 0;         // tile width, or the image width for strips
  std::uint32_t block_height = 0;        // tile height, or rows per strip
  sample_type stored = sample_type::u8;  // what a stored sample unpacks to (u8 below 8 bits)
  image_info info;

  int kept() const { return colour + (alpha >= 0 ? 1 : 0); }  // samples per unpacked pixel
  // Whether unpacked samples still need expanding, inverting or un-premultiplying.
  bool needs_finishing() const { return palette || bits < 8 || min_is_white || associated; }
};

std::string sample_format_name(std::uint16_t format, std::uint32_t bits) {
  const char* kind = format == SAMPLEFORMAT_UINT     ? "unsigned integer"
                     : format == SAMPLEFORMAT_INT    ? "signed integer"
                     : format == SAMPLEFORMAT_IEEEFP ? "float"
                                                     : "untyped or complex";
  return std::to_string(bits) + "-bit " + kind;
}

// Checks the first page's tags and fills *t. Switches JPEG-compressed YCbCr
// to RGB output.
bool read_layout(TIFF* tif, tiff_layout* t, std::string* err) {
  std::uint32_t width = 0, height = 0;
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) ||
      width == 0 || height == 0)
    return fail(err, "corrupt TIFF: no image size");
  if (width > INT32_MAX || height > INT32_MAX)
    return fail(err, "unsupported: an image of " + std::to_string(width) + " x " + std::to_string(height) +
                         " pixels is too large");

  std::uint16_t samples = 1, bits = 1, format = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG;
  std::uint16_t photometric = 0, compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric))
    return fail(err, "corrupt TIFF: no photometric interpretation");
  if (!TIFFIsCODECConfigured(compression))
    return fail(err, "unsupported TIFF compression " + std::to_string(compression));

  if (photometric == PHOTOMETRIC_YCBCR && compression == COMPRESSION_JPEG) {
    // libjpeg turns the samples into RGB and undoes the subsampling.
    if (!TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB))
      return fail(err, "cannot convert JPEG-compressed YCbCr to RGB");
    photometric = PHOTOMETRIC_RGB;
  }
  switch (photometric) {
    case PHOTOMETRIC_MINISWHITE:
      t->min_is_white = true;
      [[fallthrough]];
    case PHOTOMETRIC_MINISBLACK:
      t->colour = 1;
      break;
    case PHOTOMETRIC_PALETTE:
      t->colour = 1, t->palette = true;
      break;
    case PHOTOMETRIC_RGB:
      t->colour = 3;
      break;
    case PHOTOMETRIC_SEPARATED: {
      std::uint16_t inks = INKSET_CMYK;
      TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inks);
      if (inks != INKSET_CMYK) return fail(err, "unsupported: separated TIFF samples of inks other than CMYK");
      t->colour = 4;
      break;
    }
    case PHOTOMETRIC_YCBCR:
      return fail(err, "unsupported: YCbCr TIFF samples that are not JPEG-compressed");
    default:
      return fail(err, "unsupported TIFF photometric interpretation " + std::to_string(photometric));
  }
  if (samples < t->colour)
    return fail(err, "corrupt TIFF: " + std::to_string(samples) + " samples per pixel for " +
                         std::to_string(t->colour) + " colour samples");

  const bool integer_bits = bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16;
  if (format == SAMPLEFORMAT_UINT && integer_bits) {
    t->stored = bits == 16 ? sample_type::u16 : sample_type::u8;
  } else if (format == SAMPLEFORMAT_IEEEFP && (bits == 32 || bits == 64) && !t->palette) {
    t->stored = bits == 32 ? sample_type::f32 : sample_type::f64;
  } else {
    return fail(err, "unsupported TIFF samples: " + sample_format_name(format, bits));
  }

  if (samples > t->colour && t->colour < 4) {  // CMYK's extra samples are not read
    std::uint16_t extra_count = 0;
    const std::uint16_t* extra = nullptr;
    if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extra_count, &extra) && extra_count > 0 &&
        (extra[0] == EXTRASAMPLE_ASSOCALPHA || extra[0] == EXTRASAMPLE_UNASSALPHA)) {
      t->alpha = t->colour;
      t->associated = extra[0] == EXTRASAMPLE_ASSOCALPHA;
    }
  }

  t->samples = samples;
  t->bits = bits;
  t->separate = planar == PLANARCONFIG_SEPARATE && samples > 1;
  t->tiled = TIFFIsTiled(tif) != 0;
  if (t->tiled) {
    if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &t->block_width) ||
        !TIFFGetField(tif, TIFFTAG_TILELENGTH, &t->block_height) || t->block_width == 0 ||
        t->block_height == 0)
      return fail(err, "corrupt TIFF: no tile size");
  } else {
    std::uint32_t rows = height;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows);
    t->block_width = width;
    t->block_height = rows == 0 ? height : std::min(rows, height);
  }

  std::uint16_t orientation = ORIENTATION_TOPLEFT;
  TIFFGetField(tif, TIFFTAG_ORIENTATION, &orientation);

  t->info.width = static_cast<std::int32_t>(width);
  t->info.height = static_cast<std::int32_t>(height);
  t->info.channels = (t->palette ? 3 : t->colour) + (t->alpha >= 0 ? 1 : 0);
  t->info.type = t->stored;
  t->info.cmyk = t->colour == 4;
  t->info.orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
  return true;
}

std::uint64_t blocks_across(const tiff_layout& t) {
  return (static_cast<std::uint64_t>(t.info.width) + t.block_width - 1) / t.block_width;
}
std::uint64_t blocks_down(const tiff_layout& t) {
  return (static_cast<std::uint64_t>(t.info.height) + t.block_height - 1) / t.block_height;
}

// The most a compressed byte can decode to. A deflate stream expands at
// most 1032 times, an LZW code of at least 9 bits gives at most 4096 bytes,
// a 2-byte PackBits run 128 bytes. A JPEG scan takes at least a bit for
// each 8x8 block: 64 samples of up to 2 bytes, three of them where
// subsampled chroma is turned into RGB, so 2048 bytes a byte at most. A fax
// code takes at least a bit a row. The others (zstd, LZMA, WebP, LERC,
// PixarLog, ...) have no tight bound, or none at all for a constant
// picture; 65536 is twice what zstd's and several times what LZMA's
// longest runs reach, and still keeps a few hundred bytes from claiming
// gigabytes (a 281-byte JPEG-compressed strip claiming 40000 x 40000 made
// 3 GB of zeros before this bound).
std::uint64_t most_expansion(TIFF* tif) {
  std::uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  switch (compression) {
    case COMPRESSION_NONE:
      return 1;
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
      return 1032;
    case COMPRESSION_LZW:
      return 4096 * 8 / 9 + 1;
    case COMPRESSION_PACKBITS:
      return 64;
    case COMPRESSION_JPEG:
    case COMPRESSION_OJPEG:
      return 2048;
    case COMPRESSION_CCITTRLE:
    case COMPRESSION_CCITTRLEW:
    case COMPRESSION_CCITTFAX3:
    case COMPRESSION_CCITTFAX4:
      return 8 * static_cast<std::uint64_t>(TIFFScanlineSize64(tif)) + 8;
    default:
      return 65536;
  }
}

// Every strip or tile the layout needs is listed, lies inside the file, has
// bytes enough to decode to its size and shares none of them with another:
// checked when the header is read, before any pixel memory is taken.
bool check_blocks(TIFF* tif, const tiff_layout& t, std::uint64_t file_size, std::string* err) {
  const std::uint64_t planes = t.separate ? t.samples : 1;
  const std::uint64_t count = blocks_across(t) * blocks_down(t) * planes;
  const std::uint64_t listed = t.tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
  const std::string what = t.tiled ? "tile" : "strip";
  if (count != listed)
    return fail(err, "corrupt TIFF: " + std::to_string(listed) + " " + what + "s listed for " +
                         std::to_string(count));
  struct byte_range {
    std::uint64_t offset, length;
    std::uint32_t index;
  };
  std::vector<byte_range> ranges;
  try {
    ranges.reserve(static_cast<std::size_t>(count));
  } catch (const std::exception&) {
    return fail(err, "out of memory");
  }
  const std::uint64_t ratio = most_expansion(tif);
  for (std::uint64_t i = 0; i < count; ++i) {
    int bad = 0;
    const std::uint64_t offset = TIFFGetStrileOffsetWithErr(tif, static_cast<std::uint32_t>(i), &bad);
    const std::uint64_t length = TIFFGetStrileByteCountWithErr(tif, static_cast<std::uint32_t>(i), &bad);
    if (bad || length == 0 || offset > file_size || length > file_size - offset)
      return fail(err,
                  "truncated or corrupt TIFF: " + what + " " + std::to_string(i) + " lies outside the file");
    // A block whose bytes cannot decode to its size is refused before the
    // pixel memory it claims is taken.
    const std::uint64_t rows_down = i % (blocks_across(t) * blocks_down(t)) / blocks_across(t);
    const std::uint32_t rows = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(t.block_height, t.info.height - rows_down * t.block_height));
    const std::uint64_t decoded = t.tiled ? TIFFTileSize64(tif) : TIFFVStripSize64(tif, rows);
    if (length < (decoded + ratio - 1) / ratio)
      return fail(err, "truncated or corrupt TIFF: " + what + " " + std::to_string(i) + " has " +
                           std::to_string(length) + " bytes, too few for the " + std::to_string(decoded) +
                           " it should hold");
    ranges.push_back({offset, length, static_cast<std::uint32_t>(i)});
  }
  // Blocks listing the same compressed bytes would each pass the bound
  // above and together decode to far more than the file holds: 40000 strips
  // on one 60-byte deflate stream make 1.6 GB. No writer shares bytes
  // between blocks, so any two that do are refused; ranges that merely
  // touch are fine. With every byte counted once, the bound above also
  // holds for the whole image: the file's distinct block bytes times the
  // largest expansion cover every block's decoded size. In offset order a
  // range that overlaps a later one overlaps the next, so neighbours are
  // all that need comparing.
  std::sort(ranges.begin(), ranges.end(), [](const byte_range& a, const byte_range& b) {
    return a.offset != b.offset ? a.offset < b.offset : a.index < b.index;
  });
  for (std::size_t k = 1; k < ranges.size(); ++k) {
    const byte_range &before = ranges[k - 1], &after = ranges[k];
    if (after.offset - before.offset >= before.length) continue;
    const byte_range &first = before.index < after.index ? before : after,
                     &second = before.index < after.index ? after : before;
    return fail(err, "corrupt TIFF: " + what + "s " + std::to_string(first.index) + " and " +
                         std::to_string(second.index) + " share bytes of the file (" +
                         std::to_string(first.length) + " bytes at offset " + std::to_string(first.offset) +
                         ", " + std::to_string(second.length) + " at offset " +
                         std::to_string(second.offset) + ")");
  }
  return true;
}

// A `bits`-bit sample (bits < 8) at sample index `k` of a packed row.
std::uint8_t packed_sample(const std::uint8_t* row, std::uint32_t bits, std::uint64_t k) {
  const std::uint64_t bit = k * bits;
  const unsigned shift = 8 - bits - static_cast<unsigned>(bit % 8);
  return static_cast<std::uint8_t>((row[bit / 8] >> shift) & ((1u << bits) - 1));
}

// Unpacks `count` pixels of one decoded block row into `out` (t.kept()
// samples of t.stored each per pixel). A chunky row holds every sample of a
// pixel; a separate one only sample `plane`. Samples neither colour nor
// alpha are dropped.
void unpack_row(const tiff_layout& t, const std::uint8_t* row, std::uint32_t count, std::uint32_t plane,
                std::uint8_t* out) {
  const std::size_t bytes = sample_bytes(t.stored);
  const int kept = t.kept();
  const auto slot = [&](std::uint32_t s) {
    return s < static_cast<std::uint32_t>(t.colour) ? static_cast<int>(s)
           : static_cast<int>(s) == t.alpha         ? t.colour
                                                    : -1;
  };
  const auto put = [&](std::uint64_t k, std::uint8_t* to) {
    if (t.bits < 8)
      *to = packed_sample(row, t.bits, k);
    else
      std::memcpy(to, row + k * bytes, bytes);
  };
  if (!t.separate && t.bits >= 8 && t.samples == static_cast<std::uint32_t>(kept)) {
    std::memcpy(out, row, static_cast<std::size_t>(count) * kept * bytes);
    return;
  }
  const std::uint32_t stored = t.separate ? 1 : t.samples;
  for (std::uint32_t s = 0; s < stored; ++s) {
    const int to = slot(t.separate ? plane : s);
    if (to < 0) continue;
    for (std::uint32_t x = 0; x < count; ++x)
      put(static_cast<std::uint64_t>(x) * stored + s,
          out + (static_cast<std::size_t>(x) * kept + to) * bytes);
  }
}

// Decodes every strip or tile into `raw`: t.kept() samples per pixel.
// `done(n)` hears of the rows finished as each band of blocks across the
// image is, when the pixels are stored together (one plane).
template <class Done>
bool read_blocks(TIFF* tif, const tiff_layout& t, const std::string& tiff_error, std::uint8_t* raw,
                 std::string* err, const Done& done) {
  const char* what = t.tiled ? "tile" : "strip";
  const std::uint64_t block_bytes = t.tiled ? TIFFTileSize64(tif) : TIFFStripSize64(tif);
  const std::uint32_t row_samples = t.separate ? 1 : t.samples;
  const std::uint64_t row_bytes = (static_cast<std::uint64_t>(t.block_width) * row_samples * t.bits + 7) / 8;
  if (block_bytes == 0 || block_bytes < row_bytes * t.block_height || block_bytes > SIZE_MAX / 2)
    return fail_with(err, tiff_error, "corrupt TIFF: bad " + std::string(what) + " size");
  std::vector<std::uint8_t> block;
  try {
    block.resize(static_cast<std::size_t>(block_bytes));
  } catch (const std::exception&) {
    return fail(err, "out of memory");
  }

  const std::size_t pixel_bytes = t.kept() * sample_bytes(t.stored);
  const std::size_t image_row = static_cast<std::size_t>(t.info.width) * pixel_bytes;
  const std::uint64_t across = blocks_across(t), per_plane = across * blocks_down(t);
  const std::uint32_t planes = t.separate ? t.samples : 1;
  std::uint32_t index = 0;
  for (std::uint32_t plane = 0; plane < planes; ++plane) {
    for (std::uint64_t b = 0; b < per_plane; ++b, ++index) {
      const std::uint32_t x0 = static_cast<std::uint32_t>(b % across) * t.block_width;
      const std::uint32_t y0 = static_cast<std::uint32_t>(b / across) * t.block_height;
      const std::uint32_t columns = std::min<std::uint32_t>(t.block_width, t.info.width - x0);
      const std::uint32_t rows = std::min<std::uint32_t>(t.block_height, t.info.height - y0);
      const std::uint64_t want = t.tiled ? block_bytes : TIFFVStripSize64(tif, rows);
      const tmsize_t got = t.tiled ? TIFFReadEncodedTile(tif, index, block.data(), block.size())
                                   : TIFFReadEncodedStrip(tif, index, block.data(), block.size());
      if (got < 0 || static_cast<std::uint64_t>(got) != want || want < row_bytes * rows ||
          !tiff_error.empty())
        return fail_with(
            err, tiff_error,
            "damaged TIFF: " + std::string(what) + " " + std::to_string(index) + " cannot be decoded");
      for (std::uint32_t r = 0; r < rows; ++r)
        unpack_row(t, block.data() + row_bytes * r, columns, plane,
                   raw + image_row * (y0 + r) + pixel_bytes * x0);
      if (planes == 1 && b % across == across - 1) done(static_cast<std::int32_t>(y0 + rows));
    }
  }
  return true;
}

// The colour map as the output samples hold it: 8 or 16 bits.
struct colour_map {
  std::vector<std::uint16_t> red, green, blue;
};

bool read_colour_map(TIFF* tif, const tiff_layout& t, colour_map* map, std::string* err) {
  std::uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
  if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue))
    return fail(err, "corrupt TIFF: a palette image without a colour map");
  const std::size_t n = std::size_t{1} << t.bits;
  map->red.assign(red, red + n);
  map->green.assign(green, green + n);
  map->blue.assign(blue, blue + n);
  if (t.stored == sample_type::u16) return true;
  bool eight_bit = true;
  for (std::size_t i = 0; i < n; ++i)
    eight_bit = eight_bit && red[i] < 256 && green[i] < 256 && blue[i] < 256;
  if (eight_bit) return true;
  for (auto* v : {&map->red, &map->green, &map->blue})
    for (std::uint16_t& s : *v) s = static_cast<std::uint16_t>((s * 255u + 32767u) / 65535u);
  return true;
}

// Whether height rows of row_bytes() fit in memory's address range.
bool size_fits(const image_info& info) {
  std::uint64_t bytes;
  return !__builtin_mul_overflow(static_cast<std::uint64_t>(info.row_bytes()),
                                 static_cast<std::uint64_t>(info.height), &bytes) &&
         bytes <= SIZE_MAX / 2;
}

template <class T>
T unpremultiply(T colour, T alpha, double max) {
  if (alpha == 0) return 0;
  if constexpr (std::is_floating_point_v<T>) {
    return colour / alpha;
  } else {
    const std::uint64_t v =
        (static_cast<std::uint64_t>(colour) * static_cast<std::uint64_t>(max) + alpha / 2) / alpha;
    return static_cast<T>(std::min<std::uint64_t>(v, static_cast<std::uint64_t>(max)));
  }
}

// Turns unpacked samples into the output's: palette colours, 8-bit grey,
// white-is-zero inverted, alpha made straight.
template <class T>
void finish_pixels(const tiff_layout& t, const colour_map& map, const T* raw, T* out) {
  const double max = sample_full_scale(t.stored);
  const int kept = t.kept(), channels = t.info.channels;
  const unsigned expand = t.bits < 8 ? 255u / ((1u << t.bits) - 1) : 1u;
  const std::size_t pixels = static_cast<std::size_t>(t.info.width) * static_cast<std::size_t>(t.info.height);
  for (std::size_t i = 0; i < pixels; ++i, raw += kept, out += channels) {
    if (t.palette) {
      out[0] = static_cast<T>(map.red[static_cast<std::size_t>(raw[0])]);
      out[1] = static_cast<T>(map.green[static_cast<std::size_t>(raw[0])]);
      out[2] = static_cast<T>(map.blue[static_cast<std::size_t>(raw[0])]);
    } else {
      for (int c = 0; c < t.colour; ++c) {
        const T v = static_cast<T>(raw[c] * expand);
        out[c] = t.min_is_white ? static_cast<T>(max - v) : v;
      }
    }
    if (t.alpha < 0) continue;
    const T alpha = static_cast<T>(raw[kept - 1] * expand);
    out[channels - 1] = alpha;
    if (t.associated)
      for (int c = 0; c < channels - 1; ++c) out[c] = unpremultiply<T>(out[c], alpha, max);
  }
}

// Opens the file and checks page `page`'s layout and blocks: all that
// reading the header alone refuses.
bool open_for_reading(const std::uint8_t* data, std::size_t size, int page, memory_stream* stream,
                      tiff_handle* tif, std::string* tiff_error, tiff_layout* t, std::string* err) {
  stream->in = data;
  stream->in_size = size;
  *tif = open_stream(stream, "rm", tiff_error);
  if (!*tif) return fail_with(err, *tiff_error, "not a TIFF file this program reads");
  if (page > 0 && !TIFFSetDirectory(tif->get(), static_cast<tdir_t>(page)))
    return fail_with(err, *tiff_error, "the file has no page " + std::to_string(page + 1));
  if (!read_layout(tif->get(), t, err)) return false;
  if (!tiff_error->empty()) return fail_with(err, *tiff_error, "corrupt TIFF");
  return check_blocks(tif->get(), *t, size, err);
}

// ---------------------------------------------------------------------------
// Writing.

constexpr std::uint64_t target_strip_bytes = 256 * 1024;

// Output rows [y0, y0 + rows) as the file stores them.
void pack_rows(const image& img, std::int32_t y0, std::int32_t rows, std::uint8_t* out) {
  const std::size_t row_bytes = img.row_bytes();
  if (img.type != sample_type::f64) {
    std::memcpy(out, img.row(y0), row_bytes * static_cast<std::size_t>(rows));
    return;
  }
  const std::size_t n = static_cast<std::size_t>(img.width) * img.channels * static_cast<std::size_t>(rows);
  const std::uint8_t* in = img.row(y0);
  for (std::size_t i = 0; i < n; ++i) {
    double v;
    std::memcpy(&v, in + 8 * i, 8);
    const float f = static_cast<float>(v);
    std::memcpy(out + 4 * i, &f, 4);
  }
}

// Text a TIFF tag holds, XMP and the density. DateTime is written only in
// the form TIFF gives it ("YYYY:MM:DD HH:MM:SS"). Where the texts do not
// give a tag, the EXIF block's first directory may (Make and Model from a
// camera's JPEG): in TIFF that directory is the main one.
void write_metadata(TIFF* t, const metadata& meta, const std::vector<std::uint8_t>& exif) {
  std::vector<metadata::text> texts = meta.texts;
  if (!exif.empty()) {
    const std::vector<metadata::text> more = exif_tiff_texts(exif);
    texts.insert(texts.end(), more.begin(), more.end());
  }
  for (const tiff_text_tag& tag : tiff_text_tags) {
    for (const metadata::text& text : texts) {
      if (text.key != tag.key || text.value.find('\0') != std::string::npos) continue;
      if (tag.tag == TIFFTAG_DATETIME &&
          (text.value.size() != 19 || text.value[4] != ':' || text.value[7] != ':' || text.value[13] != ':'))
        continue;
      TIFFSetField(t, tag.tag, text.value.c_str());
      break;
    }
  }
  if (!meta.xmp.empty())
    TIFFSetField(t, TIFFTAG_XMLPACKET, static_cast<std::uint32_t>(meta.xmp.size()), meta.xmp.data());
  if (meta.density_unit >= 0 && meta.x_density > 0 && meta.y_density > 0) {
    TIFFSetField(t, TIFFTAG_XRESOLUTION, static_cast<float>(meta.x_density));
    TIFFSetField(t, TIFFTAG_YRESOLUTION, static_cast<float>(meta.y_density));
    TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT,
                 static_cast<std::uint16_t>(meta.density_unit == 1   ? RESUNIT_INCH
                                            : meta.density_unit == 2 ? RESUNIT_CENTIMETER
                                                                     : RESUNIT_NONE));
  }
}

}  // namespace

bool tiff_is(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return false;
  const bool little = data[0] == 'I' && data[1] == 'I' && data[3] == 0 && (data[2] == 42 || data[2] == 43);
  const bool big = data[0] == 'M' && data[1] == 'M' && data[2] == 0 && (data[3] == 42 || data[3] == 43);
  return little || big;
}

int tiff_pages(const std::uint8_t* data, std::size_t size) {
  memory_stream stream;
  stream.in = data;
  stream.in_size = size;
  std::string tiff_error;
  tiff_handle tif = open_stream(&stream, "rm", &tiff_error);
  // libtiff stops at a loop in the chain of directories and at one it
  // cannot reach, and counts what it passed.
  return tif ? static_cast<int>(std::min<tdir_t>(TIFFNumberOfDirectories(tif.get()), INT32_MAX)) : 0;
}

bool tiff_info(const std::uint8_t* data, std::size_t size, image_info* info, std::string* err) {
  return tiff_info_page(data, size, 0, info, err);
}

bool tiff_info_page(const std::uint8_t* data, std::size_t size, int page, image_info* info,
                    std::string* err) {
  memory_stream stream;
  tiff_handle tif;
  std::string tiff_error;
  tiff_layout t;
  if (!open_for_reading(data, size, page, &stream, &tif, &tiff_error, &t, err)) return false;
  *info = t.info;
  return true;
}

// Page `page` of the file, telling `progress` (when set) as rows are done.
static bool decode_page(const std::uint8_t* data, std::size_t size, int page, image* out, std::string* err,
                        const decode_progress& progress);

bool tiff_decode(const std::uint8_t* data, std::size_t size, image* out, std::string* err) {
  return decode_page(data, size, 0, out, err, {});
}

bool tiff_decode_rows(const std::uint8_t* data, std::size_t size, image* out, std::string* err,
                      const decode_progress& progress) {
  return decode_page(data, size, 0, out, err, progress);
}

bool tiff_decode_page(const std::uint8_t* data, std::size_t size, int page, image* out, std::string* err) {
  return decode_page(data, size, page, out, err, {});
}

static bool decode_page(const std::uint8_t* data, std::size_t size, int page, image* out, std::string* err,
                        const decode_progress& progress) {
  memory_stream stream;
  tiff_handle tif;
  std::string tiff_error;
  tiff_layout t;
  if (!open_for_reading(data, size, page, &stream, &tif, &tiff_error, &t, err)) return false;
  colour_map map;
  if (t.palette && !read_colour_map(tif.get(), t, &map, err)) return false;

  // Unpacked samples; the output itself when nothing is left to convert.
  image raw;
  if (out->pixels.empty()) raw.pixels.swap(out->pixels);  // its room is used again (codec.h)
  static_cast<image_info&>(raw) = t.info;
  raw.channels = t.kept();
  if (!size_fits(raw) || !size_fits(t.info) || !raw.allocate_for_overwrite())  // every block is read into it
    return fail(err, "out of memory");
  told_rows told{progress};
  // Rows unpacked are final only where nothing is left to convert.
  const bool early = !t.needs_finishing();
  const auto done = [&](std::int32_t rows) {
    if (progress && early) progress(raw.pixels.data(), rows);
  };
  if (!read_blocks(tif.get(), t, tiff_error, raw.pixels.data(), err, done)) return false;

  image result;
  static_cast<image_info&>(result) = t.info;
  if (!t.needs_finishing()) {
    result.pixels = std::move(raw.pixels);
  } else {
    if (!result.allocate_for_overwrite()) return fail(err, "out of memory");  // all finished below
    switch (t.stored) {
      case sample_type::u8:
        finish_pixels(t, map, raw.pixels.data(), result.pixels.data());
        break;
      case sample_type::u16:
        finish_pixels(t, map, reinterpret_cast<const std::uint16_t*>(raw.pixels.data()),
                      reinterpret_cast<std::uint16_t*>(result.pixels.data()));
        break;
      case sample_type::f32:
        finish_pixels(t, map, reinterpret_cast<const float*>(raw.pixels.data()),
                      reinterpret_cast<float*>(result.pixels.data()));
        break;
      case sample_type::f64:
        finish_pixels(t, map, reinterpret_cast<const double*>(raw.pixels.data()),
                      reinterpret_cast<double*>(result.pixels.data()));
        break;
    }
  }
  std::uint32_t icc_size = 0;
  const std::uint8_t* icc = nullptr;
  if (TIFFGetField(tif.get(), TIFFTAG_ICCPROFILE, &icc_size, &icc) && icc != nullptr)
    result.icc.assign(icc, icc + icc_size);
  if (progress) progress(result.pixels.data(), result.height);
  told.kept = true;
  *out = std::move(result);
  return true;
}

const tiff_text_tag tiff_text_tags[7] = {
    {TIFFTAG_IMAGEDESCRIPTION, "Description"}, {TIFFTAG_ARTIST, "Author"}, {TIFFTAG_SOFTWARE, "Software"},
    {TIFFTAG_COPYRIGHT, "Copyright"},          {TIFFTAG_DATETIME, "Creation Time"},
    {TIFFTAG_MAKE, "Make"},                    {TIFFTAG_MODEL, "Model"},
};

void tiff_metadata(const std::uint8_t* data, std::size_t size, metadata* meta) {
  memory_stream stream;
  stream.in = data;
  stream.in_size = size;
  std::string tiff_error;
  tiff_handle tif = open_stream(&stream, "rm", &tiff_error);
  if (!tif) return;
  TIFF* t = tif.get();
  std::size_t budget = max_text_bytes;
  for (const tiff_text_tag& tag : tiff_text_tags) {
    const char* value = nullptr;
    if (!TIFFGetField(t, tag.tag, &value) || value == nullptr) continue;
    const std::size_t length = strnlen(value, budget + 1);
    if (length > budget) break;
    budget -= length;
    meta->texts.push_back({tag.key, std::string(value, length)});
  }
  std::uint32_t xmp_size = 0;
  const char* xmp = nullptr;
  if (TIFFGetField(t, TIFFTAG_XMLPACKET, &xmp_size, &xmp) && xmp != nullptr && xmp_size <= max_xmp_bytes)
    meta->xmp.assign(xmp, xmp_size);
  float x = 0, y = 0;
  std::uint16_t unit = RESUNIT_INCH;
  if (TIFFGetField(t, TIFFTAG_XRESOLUTION, &x) && TIFFGetField(t, TIFFTAG_YRESOLUTION, &y) && x > 0 && y > 0) {
    TIFFGetFieldDefaulted(t, TIFFTAG_RESOLUTIONUNIT, &unit);
    // Square pixels of no stated size say nothing.
    if (unit == RESUNIT_INCH || unit == RESUNIT_CENTIMETER || x != y) {
      meta->density_unit = unit == RESUNIT_INCH ? 1 : unit == RESUNIT_CENTIMETER ? 2 : 0;
      meta->x_density = x;
      meta->y_density = y;
    }
  }
  tiff_read_exif(t, data, size, meta);  // last: it leaves the main directory
}

// The whole file into `stream`, each strip handed to it as its rows are ready.
static bool write_tiff(const image& img, const encode_options& options, memory_stream* stream,
                       std::string* err) {
  if (img.width <= 0 || img.height <= 0 || img.channels < 1 || img.channels > 4 ||
      img.pixels.size() != img.pixel_bytes())
    return fail(err, "the image to write is empty or inconsistent");
  const sample_type type = img.type == sample_type::f64 ? sample_type::f32 : img.type;
  const std::uint64_t row_bytes = static_cast<std::uint64_t>(img.width) * img.channels * sample_bytes(type);
  const std::uint64_t stored = row_bytes * static_cast<std::uint64_t>(img.height) + img.icc.size();
  // Classic TIFF addresses 4 GiB; past a margin for the directory, BigTIFF.
  const bool big = stored > (std::uint64_t{1} << 32) - (std::uint64_t{1} << 26);
  const std::uint32_t rows_per_strip = static_cast<std::uint32_t>(
      std::clamp<std::uint64_t>(target_strip_bytes / row_bytes, 1, static_cast<std::uint64_t>(img.height)));

  std::string tiff_error;
  {
    tiff_handle tif = open_stream(stream, big ? "w8" : "w", &tiff_error);
    if (!tif) return fail_with(err, tiff_error, "cannot start a TIFF file");
    TIFF* t = tif.get();
    // The EXIF and GPS directories go first, so that the main one, written
    // last, can point to them.
    std::vector<std::uint8_t> exif;
    std::uint64_t exif_offset = 0, gps_offset = 0;
    if (!img.meta.exif.empty()) {
      exif = exif_for_output(img);
      if (!tiff_write_exif(t, exif, &exif_offset, &gps_offset))
        return fail_with(err, tiff_error, "cannot write the TIFF EXIF directory");
    }
    const bool floats = is_float(type);
    const bool alpha = img.has_alpha();
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(img.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(img.height));
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(img.channels));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<std::uint16_t>(8 * sample_bytes(type)));
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, floats ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
                 img.cmyk ? PHOTOMETRIC_SEPARATED : img.channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    if (img.cmyk) TIFFSetField(t, TIFFTAG_INKSET, INKSET_CMYK);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    if (alpha) {
      const std::uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
      TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, extra);
    }
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(t, TIFFTAG_ZIPQUALITY, 1);
    TIFFSetField(t, TIFFTAG_PREDICTOR, floats ? PREDICTOR_FLOATINGPOINT : PREDICTOR_HORIZONTAL);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
    if (img.orientation >= 2 && img.orientation <= 8)
      TIFFSetField(t, TIFFTAG_ORIENTATION, static_cast<std::uint16_t>(img.orientation));
    if (!img.icc.empty())
      TIFFSetField(t, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(img.icc.size()), img.icc.data());
    write_metadata(t, img.meta, exif);
    if (exif_offset != 0) TIFFSetField(t, TIFFTAG_EXIFIFD, exif_offset);
    if (gps_offset != 0) TIFFSetField(t, TIFFTAG_GPSIFD, gps_offset);

    // libtiff may work in the buffer it is given, so each strip is a copy.
    std::vector<std::uint8_t> strip;
    try {
      strip.resize(static_cast<std::size_t>(row_bytes * rows_per_strip));
    } catch (const std::exception&) {
      return fail(err, "out of memory");
    }
    std::uint32_t index = 0;
    for (std::int32_t y0 = 0; y0 < img.height; y0 += static_cast<std::int32_t>(rows_per_strip), ++index) {
      const std::int32_t rows =
          std::min<std::int32_t>(static_cast<std::int32_t>(rows_per_strip), img.height - y0);
      if (!rows_ready(options, y0 + rows)) return fail(err, "the image was not finished");
      pack_rows(img, y0, rows, strip.data());
      if (TIFFWriteEncodedStrip(t, index, strip.data(), static_cast<tmsize_t>(row_bytes * rows)) < 0)
        return fail_with(err, tiff_error, "cannot write a TIFF strip");
    }
    if (!TIFFFlush(t) || !tiff_error.empty())
      return fail_with(err, tiff_error, "cannot finish the TIFF file");
  }
  if (!tiff_error.empty()) return fail_with(err, tiff_error, "cannot finish the TIFF file");
  return true;
}

bool tiff_encode(const image& img, const encode_options& options, const byte_sink& sink, std::string* err) {
  // A sink cannot go back to the header, whose last word (where the
  // directory is) comes last: the file is made whole first.
  std::vector<std::uint8_t> file;
  memory_stream stream;
  stream.out = &file;
  if (!write_tiff(img, options, &stream, err)) return false;
  if (!sink(file.data(), file.size())) return fail(err, "cannot write the TIFF file");
  return true;
}

bool tiff_encode_file(const image& img, const encode_options& options, int fd, int* write_error,
                      std::string* err) {
  memory_stream stream;
  stream.fd = fd;
  const bool ok = write_tiff(img, options, &stream, err);
  *write_error = ok ? 0 : stream.fd_error;
  return ok;
}

}  // namespace pellimor::codecs
