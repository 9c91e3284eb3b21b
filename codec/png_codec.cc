// png_codec.cc - PNG files through libpng, read from bytes in memory and
// written to a byte sink.
//
// Reading gives 8 or 16 bits per sample: grey below 8 bits is scaled up to
// 0..255, a palette becomes RGB (RGBA with tRNS; grey when every entry is
// grey and there is neither tRNS nor an ICC profile), tRNS on grey or RGB
// becomes an alpha channel, 16-bit samples are native-endian. Gamma and
// colour chunks other than iCCP are left alone. Any CRC error, a truncated
// file or a broken zlib stream refuses the file; a header claiming more
// pixels than the file could hold is refused before anything is allocated.
//
// Writing keeps grey, grey + alpha, RGB and RGBA at 8 or 16 bits (float
// samples become 16-bit), with zlib level 1, the Paeth filter on every row
// and no interlacing; the ICC profile goes into iCCP.
//
// libpng reports errors by longjmp. Each function that calls setjmp holds no
// object with a destructor; the objects that own memory live one frame up.
#include <png.h>

#include <bit>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <limits>

#include "codec/formats.h"

namespace pellimor::codecs {
namespace {

constexpr bool little_endian = std::endian::native == std::endian::little;

// Largest width and height read. libpng's own ceiling is 2^31 - 1.
constexpr std::uint32_t max_side = 1000000;
// Largest decompressed ancillary chunk (an ICC profile, compressed text).
constexpr png_alloc_size_t max_chunk_bytes = 64u << 20;
// Most ancillary chunks of one kind kept (text, sPLT, unknown ones).
constexpr png_uint_32 max_cached_chunks = 256;
// Deflate never expands one byte into more than 1032 (a 258-byte match
// coded in two bits), so a file smaller than its rows' bytes / 1032 cannot
// hold them.
constexpr std::uint64_t max_inflation = 1032;

// On a 3840x2160 photo-like image, level 1 with Paeth on every row took
// 0.55 s of CPU for 13.7 MB; libpng's adaptive choice among all five
// filters saved 1% for 40% more time, level 2 or 3 saved 2-5% for 40-150%
// more; run-length-only zlib was 15% smaller on photos but ten times larger
// on repeating patterns.
constexpr int write_level = 1;
constexpr int write_filters = PNG_FILTER_PAETH;
constexpr std::size_t write_chunk = std::size_t{1} << 17;  // bytes per IDAT chunk

struct png_failure {
  char message[256];
};

void on_error(png_structp png, png_const_charp message) {
  auto* failure = static_cast<png_failure*>(png_get_error_ptr(png));
  std::snprintf(failure->message, sizeof failure->message, "%s", message);
  png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

struct png_reader {
  png_structp png = nullptr;
  png_infop info = nullptr;
  png_infop end = nullptr;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t at = 0;
  png_failure failure{};
  ~png_reader() { png_destroy_read_struct(&png, &info, &end); }
};

void read_bytes(png_structp png, png_bytep out, png_size_t count) {
  auto* r = static_cast<png_reader*>(png_get_io_ptr(png));
  if (r->size - r->at < count) png_error(png, "file ends early");
  std::memcpy(out, r->data + r->at, count);
  r->at += count;
}

// Reads the signature and every chunk up to the first IDAT.
bool read_header(png_reader* r) {
  if (setjmp(png_jmpbuf(r->png))) return false;
  r->info = png_create_info_struct(r->png);
  r->end = png_create_info_struct(r->png);
  if (r->info == nullptr || r->end == nullptr) png_error(r->png, "out of memory");
  png_set_read_fn(r->png, r, read_bytes);
  png_set_crc_action(r->png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);
  png_set_user_limits(r->png, max_side, max_side);
  png_set_chunk_malloc_max(r->png, max_chunk_bytes);
  png_set_chunk_cache_max(r->png, max_cached_chunks);
  png_read_info(r->png, r->info);
  return true;
}

// Decodes every row into `rows` (already sized for `row_bytes`) and reads
// the chunks after the image, checking their CRCs.
bool read_rows(png_reader* r, bool grey_palette, png_bytepp rows, std::size_t row_bytes) {
  if (setjmp(png_jmpbuf(r->png))) return false;
  if (grey_palette)
    png_set_packing(r->png);  // one index per byte, looked up by the caller
  else
    png_set_expand(r->png);
  if (little_endian && png_get_bit_depth(r->png, r->info) == 16) png_set_swap(r->png);
  png_set_interlace_handling(r->png);
  png_read_update_info(r->png, r->info);
  if (png_get_rowbytes(r->png, r->info) != row_bytes) png_error(r->png, "unexpected row layout");
  png_read_image(r->png, rows);
  png_read_end(r->png, r->end);
  return true;
}

bool start_reading(png_reader* r, const std::uint8_t* data, std::size_t size, std::string* err) {
  if (!png_is(data, size)) {
    *err = "not a png file";
    return false;
  }
  r->data = data;
  r->size = size;
  r->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &r->failure, on_error, on_warning);
  if (r->png == nullptr) {
    *err = "png: out of memory";
    return false;
  }
  if (!read_header(r)) {
    *err = std::string("png: ") + r->failure.message;
    return false;
  }
  return true;
}

// A palette whose entries are all grey, so the image can be read as grey.
bool palette_is_grey(png_structp png, png_infop info) {
  png_colorp palette = nullptr;
  int count = 0;
  if (png_get_PLTE(png, info, &palette, &count) == 0) return false;
  for (int i = 0; i < count; ++i)
    if (palette[i].red != palette[i].green || palette[i].red != palette[i].blue) return false;
  return true;
}

int orientation_of(png_structp png, png_infop info) {
  png_uint_32 size = 0;
  png_bytep exif = nullptr;
  if (png_get_eXIf_1(png, info, &size, &exif) == 0 || exif == nullptr) return 0;
  return exif_orientation(exif, size);
}

// The layout reading will produce, from the header chunks. False when the
// file is too small for the size it claims.
bool describe(const png_reader& r, image_info* info, bool* grey_palette, std::string* err) {
  const std::uint32_t width = png_get_image_width(r.png, r.info);
  const std::uint32_t height = png_get_image_height(r.png, r.info);
  const int depth = png_get_bit_depth(r.png, r.info);
  const int colour = png_get_color_type(r.png, r.info);
  const bool transparency = png_get_valid(r.png, r.info, PNG_INFO_tRNS) != 0;
  const bool icc = png_get_valid(r.png, r.info, PNG_INFO_iCCP) != 0;
  const int stored_channels = png_get_channels(r.png, r.info);

  const std::uint64_t packed_bytes =
      (static_cast<std::uint64_t>(width) * height * stored_channels * depth + 7) / 8;
  if (packed_bytes / max_inflation > r.size) {
    *err = "png: header claims " + std::to_string(width) + "x" + std::to_string(height) +
           " pixels, more than a " + std::to_string(r.size) + "-byte file can hold";
    return false;
  }
  *grey_palette = colour == PNG_COLOR_TYPE_PALETTE && !transparency && !icc && palette_is_grey(r.png, r.info);
  int channels = 0;
  switch (colour) {
    case PNG_COLOR_TYPE_GRAY:
      channels = transparency ? 2 : 1;
      break;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      channels = 2;
      break;
    case PNG_COLOR_TYPE_RGB:
      channels = transparency ? 4 : 3;
      break;
    case PNG_COLOR_TYPE_RGB_ALPHA:
      channels = 4;
      break;
    case PNG_COLOR_TYPE_PALETTE:
      channels = *grey_palette ? 1 : transparency ? 4 : 3;
      break;
    default:
      *err = "png: unknown colour type " + std::to_string(colour);
      return false;
  }
  info->width = static_cast<std::int32_t>(width);
  info->height = static_cast<std::int32_t>(height);
  info->channels = channels;
  info->type = depth == 16 ? sample_type::u16 : sample_type::u8;
  const int orientation = orientation_of(r.png, r.info);
  info->orientation = orientation == 0 ? 1 : orientation;
  return true;
}

struct png_writer {
  png_structp png = nullptr;
  png_infop info = nullptr;
  const byte_sink* sink = nullptr;
  png_failure failure{};
  ~png_writer() { png_destroy_write_struct(&png, &info); }
};

void write_bytes(png_structp png, png_bytep bytes, png_size_t count) {
  auto* w = static_cast<png_writer*>(png_get_io_ptr(png));
  if (!send_to_sink(*w->sink, bytes, count)) png_error(png, "the output would not take the data");
}

void flush_nothing(png_structp) {}

// Writes the whole file. `scratch` holds one 16-bit row when float samples
// need converting.
bool write_file(png_writer* w, const image& img, std::uint8_t* scratch) {
  if (setjmp(png_jmpbuf(w->png))) return false;
  w->info = png_create_info_struct(w->png);
  if (w->info == nullptr) png_error(w->png, "out of memory");
  png_set_write_fn(w->png, w, write_bytes, flush_nothing);
  // A profile libpng finds malformed, or made for another colour model, is
  // left out rather than failing the image.
  png_set_benign_errors(w->png, 1);
  png_set_user_limits(w->png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  png_set_compression_level(w->png, write_level);
  png_set_filter(w->png, PNG_FILTER_TYPE_BASE, write_filters);
  png_set_compression_buffer_size(w->png, write_chunk);
  static constexpr int colour_types[] = {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                                         PNG_COLOR_TYPE_RGB_ALPHA};
  const int depth = img.type == sample_type::u8 ? 8 : 16;
  png_set_IHDR(w->png, w->info, img.width, img.height, depth, colour_types[img.channels - 1],
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
  if (!img.icc.empty())
    png_set_iCCP(w->png, w->info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, img.icc.data(),
                 static_cast<png_uint_32>(img.icc.size()));
  png_write_info(w->png, w->info);
  if (little_endian && depth == 16) png_set_swap(w->png);
  for (std::int32_t y = 0; y < img.height; ++y) {
    const std::uint8_t* row = img.row(y);
    if (is_float(img.type)) {
      convert_pixels(row, img.type, img.channels, scratch, sample_type::u16, img.channels, img.width);
      row = scratch;
    }
    png_write_row(w->png, row);
  }
  png_write_end(w->png, w->info);
  return true;
}

}  // namespace

bool png_is(const std::uint8_t* data, std::size_t size) { return size >= 8 && png_sig_cmp(data, 0, 8) == 0; }

bool png_info(const std::uint8_t* data, std::size_t size, image_info* info, std::string* err) {
  png_reader r;
  bool grey_palette = false;
  return start_reading(&r, data, size, err) && describe(r, info, &grey_palette, err);
}

bool png_decode(const std::uint8_t* data, std::size_t size, image* out, std::string* err) {
  png_reader r;
  bool grey_palette = false;
  image img;
  if (!start_reading(&r, data, size, err) || !describe(r, &img, &grey_palette, err)) return false;
  if (!img.allocate()) {
    *err = "png: not enough memory for " + std::to_string(img.width) + "x" + std::to_string(img.height) +
           " pixels";
    return false;
  }
  std::vector<png_bytep> rows;
  try {
    rows.resize(img.height);
  } catch (const std::bad_alloc&) {
    *err = "png: out of memory";
    return false;
  }
  for (std::int32_t y = 0; y < img.height; ++y) rows[y] = img.row(y);
  if (!read_rows(&r, grey_palette, rows.data(), img.row_bytes())) {
    *err = std::string("png: ") + r.failure.message;
    return false;
  }
  if (grey_palette) {
    png_colorp palette = nullptr;
    int count = 0;
    png_get_PLTE(r.png, r.info, &palette, &count);
    std::uint8_t grey[256] = {};  // an index past the palette reads as black
    for (int i = 0; i < count && i < 256; ++i) grey[i] = palette[i].red;
    for (std::uint8_t& sample : img.pixels) sample = grey[sample];
  }
  png_charp name = nullptr;
  int compression = 0;
  png_bytep profile = nullptr;
  png_uint_32 profile_size = 0;
  if (png_get_iCCP(r.png, r.info, &name, &compression, &profile, &profile_size) != 0 && profile != nullptr)
    img.icc.assign(profile, profile + profile_size);
  // An eXIf chunk after the image data is seen only now.
  if (img.orientation == 1) {
    const int late = orientation_of(r.png, r.end);
    if (late != 0) img.orientation = late;
  }
  *out = std::move(img);
  return true;
}

bool png_encode(const image& img, const encode_options&, const byte_sink& sink, std::string* err) {
  if (!check_encodable(img, err)) return false;
  if (img.icc.size() > std::numeric_limits<png_uint_32>::max()) {
    *err = "png: ICC profile too large";
    return false;
  }
  std::vector<std::uint8_t> scratch;
  if (is_float(img.type)) {
    try {
      scratch.resize(static_cast<std::size_t>(img.width) * img.channels * 2);
    } catch (const std::bad_alloc&) {
      *err = "png: out of memory";
      return false;
    }
  }
  png_writer w;
  w.sink = &sink;
  w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &w.failure, on_error, on_warning);
  if (w.png == nullptr) {
    *err = "png: out of memory";
    return false;
  }
  if (!write_file(&w, img, scratch.data())) {
    *err = std::string("png: ") + w.failure.message;
    return false;
  }
  return true;
}

}  // namespace pellimor::codecs
