// SPDX-License-Identifier: MIT
// codec.cc - format table and the dispatch over it, plus what every codec
// shares: reading a whole file or standard input, turning an image upright,
// sample conversion for the encoders and the checks before encoding.
#include "codec/codec.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <system_error>

#include "codec/formats.h"
#include "core/huge_pages.h"

namespace pellimor {
namespace {

constexpr unsigned channel_bit(int channels) { return 1u << channels; }
constexpr unsigned type_bit(sample_type type) { return 1u << static_cast<unsigned>(type); }

struct codec_entry {
  image_format format;
  const char* name;
  const char* extension;
  const char* other_name;  // the second spelling parse_format accepts, or null
  unsigned kept_channels;  // channel_bit() of each channel count stored as it is
  unsigned kept_types;     // type_bit() of each sample type stored as it is
  bool (*is)(const std::uint8_t*, std::size_t);
  bool (*info)(const std::uint8_t*, std::size_t, image_info*, std::string*);
  bool (*decode)(const std::uint8_t*, std::size_t, image*, std::string*);
  bool (*encode)(const image&, const encode_options&, const byte_sink&, std::string*);
  // For formats that hold several pictures; null for the others.
  int (*pages)(const std::uint8_t*, std::size_t);
  bool (*info_page)(const std::uint8_t*, std::size_t, int, image_info*, std::string*);
  bool (*decode_page)(const std::uint8_t*, std::size_t, int, image*, std::string*);
};

constexpr unsigned any_channels = channel_bit(1) | channel_bit(2) | channel_bit(3) | channel_bit(4);

const codec_entry codec_table[] = {
    {image_format::bmp, "bmp", ".bmp", nullptr, channel_bit(3), type_bit(sample_type::u8), codecs::bmp_is,
     codecs::bmp_info, codecs::bmp_decode, codecs::bmp_encode, nullptr, nullptr, nullptr},
    {image_format::png, "png", ".png", nullptr, any_channels,
     type_bit(sample_type::u8) | type_bit(sample_type::u16), codecs::png_is, codecs::png_info,
     codecs::png_decode, codecs::png_encode, nullptr, nullptr, nullptr},
    {image_format::jpeg, "jpeg", ".jpg", "jpg", channel_bit(1) | channel_bit(3), type_bit(sample_type::u8),
     codecs::jpeg_is, codecs::jpeg_info, codecs::jpeg_decode, codecs::jpeg_encode, nullptr, nullptr, nullptr},
    {image_format::tiff, "tiff", ".tif", "tif", any_channels,
     type_bit(sample_type::u8) | type_bit(sample_type::u16) | type_bit(sample_type::f32), codecs::tiff_is,
     codecs::tiff_info, codecs::tiff_decode, codecs::tiff_encode, codecs::tiff_pages, codecs::tiff_info_page,
     codecs::tiff_decode_page},
    {image_format::webp, "webp", ".webp", nullptr, channel_bit(3) | channel_bit(4), type_bit(sample_type::u8),
     codecs::webp_is, codecs::webp_info, codecs::webp_decode, codecs::webp_encode, codecs::webp_pages,
     codecs::webp_info_page, codecs::webp_decode_page},
    {image_format::gif, "gif", ".gif", nullptr, 0, 0, codecs::gif_is, codecs::gif_info, codecs::gif_decode,
     codecs::gif_encode, codecs::gif_pages, codecs::gif_info_page, codecs::gif_decode_page},
};

const codec_entry& entry_for(image_format format) { return codec_table[static_cast<int>(format)]; }

bool same_name(const char* a, const char* b) {
  if (b == nullptr) return false;
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    const char lower = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
    if (lower != *b) return false;
  }
  return *a == *b;
}

std::string system_message(int code) { return std::error_code(code, std::generic_category()).message(); }

// Closes a descriptor this code opened (never standard input).
struct fd_closer {
  int fd = -1;
  ~fd_closer() {
    if (fd >= 0) close(fd);
  }
};

std::string mebibytes(std::uint64_t bytes) {
  return std::to_string(bytes >> 20) + (bytes & ((1u << 20) - 1) ? "+" : "") + " MiB";
}

// Reads what `fd` still has into *bytes, up to `max_bytes`. `hint` is the
// expected total (a regular file's size), 0 when unknown. A file of known
// size is read into one buffer of that size and a byte more, so the read
// that sees the end needs no second buffer. Anything longer (a stream, a
// file still growing) goes on in blocks held apart until the end and then
// joined, each freed as it is copied: growing one buffer would copy it at
// every step and hold the old and the new at once, twice the input.
bool read_to_end(int fd, std::size_t hint, std::uint64_t max_bytes, std::vector<std::uint8_t>* bytes,
                 std::string* err) {
  constexpr std::size_t block = std::size_t{1} << 20;
  // Enough of the start to know the format by (every codec looks at 12
  // bytes at most: WebP's RIFF header).
  constexpr std::size_t head = 12;
  // One byte past the limit shows that the input goes on.
  const std::uint64_t most = max_bytes == UINT64_MAX ? max_bytes : max_bytes + 1;
  std::vector<std::unique_ptr<std::uint8_t[]>> blocks;  // what came after the first buffer
  std::uint64_t total = 0;
  std::size_t in_last = 0;  // bytes in the last block
  bool sniffed = false;
  try {
    resize_on_huge_pages(bytes,
                         static_cast<std::size_t>(std::min<std::uint64_t>(std::max(hint + 1, head), most)));
    for (;;) {
      std::uint8_t* at;
      std::size_t room;
      if (blocks.empty() && total < bytes->size()) {
        at = bytes->data() + total;
        room = bytes->size() - static_cast<std::size_t>(total);
      } else {
        if (blocks.empty() || in_last == block) {
          blocks.emplace_back(new std::uint8_t[block]);
          in_last = 0;
        }
        at = blocks.back().get() + in_last;
        room = std::min<std::uint64_t>(block - in_last, most - total);
      }
      const ssize_t n = read(fd, at, room);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        *err = "cannot read: " + system_message(errno);
        bytes->clear();
        return false;
      }
      if (n == 0) break;
      total += static_cast<std::uint64_t>(n);
      if (!blocks.empty()) in_last += static_cast<std::size_t>(n);
      if (total > max_bytes) {
        *err = "more than " + mebibytes(max_bytes) + " of input, the most it may take";
        bytes->clear();
        return false;
      }
      if (!sniffed && total >= head) {
        sniffed = true;
        image_format format;
        if (!detect_format(bytes->data(), head, &format)) break;
      }
    }
    if (blocks.empty()) {
      bytes->resize(static_cast<std::size_t>(total));
      return true;
    }
    reserve_on_huge_pages(bytes, static_cast<std::size_t>(total));
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      const std::size_t n = i + 1 == blocks.size() ? in_last : block;
      bytes->insert(bytes->end(), blocks[i].get(), blocks[i].get() + n);
      blocks[i].reset();
    }
  } catch (const std::bad_alloc&) {
    *err = "not enough memory to hold the file";
    bytes->clear();
    return false;
  } catch (const std::length_error&) {
    *err = "not enough memory to hold the file";
    bytes->clear();
    return false;
  }
  return true;
}

}  // namespace

const char* format_name(image_format format) { return entry_for(format).name; }
const char* format_extension(image_format format) { return entry_for(format).extension; }

bool parse_format(const char* name, image_format* format) {
  for (const codec_entry& entry : codec_table)
    if (same_name(name, entry.name) || same_name(name, entry.other_name)) {
      *format = entry.format;
      return true;
    }
  return false;
}

bool format_writable(image_format format) { return format != image_format::gif; }

const char* unknown_format_message() { return "not a BMP, PNG, JPEG, TIFF, WebP or GIF file"; }

bool load_bytes(const char* path, std::vector<std::uint8_t>* bytes, std::string* err,
                std::uint64_t max_bytes) {
  bytes->clear();
  fd_closer opened;
  int fd = STDIN_FILENO;
  if (std::strcmp(path, "-") != 0) {
    do opened.fd = open(path, O_RDONLY | O_CLOEXEC);
    while (opened.fd < 0 && errno == EINTR);
    if (opened.fd < 0) {
      *err = "cannot open: " + system_message(errno);
      return false;
    }
    fd = opened.fd;
  }
  return load_bytes_from(fd, bytes, err, max_bytes);
}

bool load_bytes_from(int fd, std::vector<std::uint8_t>* bytes, std::string* err, std::uint64_t max_bytes) {
  bytes->clear();
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *err = "cannot read: " + system_message(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *err = "is a folder, not a file";
    return false;
  }
  if (S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) > max_bytes) {
    *err = "the file is " + mebibytes(static_cast<std::uint64_t>(st.st_size)) + ", more than the " +
           mebibytes(max_bytes) + " it may take";
    return false;
  }
  const std::size_t hint = S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
  if (read_to_end(fd, hint, max_bytes, bytes, err)) return true;
  bytes->clear();
  return false;
}

bool detect_format(const std::uint8_t* data, std::size_t size, image_format* format) {
  for (const codec_entry& entry : codec_table)
    if (entry.is(data, size)) {
      *format = entry.format;
      return true;
    }
  return false;
}

int count_pages(const std::uint8_t* data, std::size_t size, image_format format) {
  const codec_entry& entry = entry_for(format);
  return entry.pages != nullptr ? entry.pages(data, size) : 1;
}

namespace {

bool no_such_page(int page, std::string* err) {
  *err = "the file has no page " + std::to_string(page + 1);
  return false;
}

}  // namespace

bool read_info(const std::uint8_t* data, std::size_t size, image_format format, image_info* info,
               std::string* err, int page) {
  const codec_entry& entry = entry_for(format);
  if (page == 0) return entry.info(data, size, info, err);
  if (entry.info_page == nullptr || page < 0) return no_such_page(page, err);
  return entry.info_page(data, size, page, info, err);
}

bool decode_image(const std::uint8_t* data, std::size_t size, image_format format, image* out,
                  std::string* err, int page) {
  const codec_entry& entry = entry_for(format);
  if (page != 0 && (entry.decode_page == nullptr || page < 0)) return no_such_page(page, err);
  if (!(page == 0 ? entry.decode(data, size, out, err) : entry.decode_page(data, size, page, out, err)))
    return false;
  read_metadata(data, size, format, &out->meta);
  return true;
}

bool decode_image(const std::uint8_t* data, std::size_t size, image_format format, image* out,
                  std::string* err, const decode_progress& progress) {
  bool decoded = false;
  switch (format) {
    case image_format::png:
      decoded = codecs::png_decode_rows(data, size, out, err, progress);
      break;
    case image_format::jpeg:
      decoded = codecs::jpeg_decode_rows(data, size, out, err, progress);
      break;
    case image_format::tiff:
      decoded = codecs::tiff_decode_rows(data, size, out, err, progress);
      break;
    default:
      if (!decode_image(data, size, format, out, err)) return false;
      if (progress) progress(out->pixels.data(), out->height);
      return true;
  }
  if (decoded) read_metadata(data, size, format, &out->meta);
  return decoded;
}

bool decodes_into_room(image_format format) {
  return format == image_format::png || format == image_format::jpeg || format == image_format::tiff;
}

bool format_keeps(image_format format, int channels, sample_type type) {
  const codec_entry& entry = entry_for(format);
  return channels >= 1 && channels <= 4 && (entry.kept_channels & channel_bit(channels)) != 0 &&
         (entry.kept_types & type_bit(type)) != 0;
}

bool encode_image(const image& img, image_format format, const encode_options& options, const byte_sink& sink,
                  std::string* err) {
  // Only these encoders wait row by row; any other is handed finished rows.
  const bool waits = format == image_format::png || format == image_format::jpeg || format == image_format::tiff;
  // WebP, like BMP and PNG, has no ink: CMYK goes as sRGB.
  const bool to_srgb =
      img.cmyk && (format == image_format::png || format == image_format::bmp || format == image_format::webp);
  if ((!waits || to_srgb) && img.height > 0 && !codecs::rows_ready(options, img.height)) {
    *err = "the image was not finished";
    return false;
  }
  if (to_srgb) {
    image rgb = img;
    std::string note;
    return cmyk_to_srgb(&rgb, &note, err) && entry_for(format).encode(rgb, options, sink, err);
  }
  return entry_for(format).encode(img, options, sink, err);
}

int write_fully(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t wrote = ::write(fd, data, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return wrote < 0 ? errno : EIO;
    data += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
  return 0;
}

bool encode_image_to_file(const image& img, image_format format, const encode_options& options, int fd,
                          std::string* err, int* write_error) {
  *write_error = 0;
  if (format == image_format::tiff) return codecs::tiff_encode_file(img, options, fd, write_error, err);
  const byte_sink sink = [fd, write_error](const std::uint8_t* bytes, std::size_t size) {
    return (*write_error = write_fully(fd, bytes, size)) == 0;
  };
  return encode_image(img, format, options, sink, err);
}

// Output pixel (x, y) is input pixel number origin + x * step_x + y * step_y
// (counted in pixels, row by row). Orientations 5 to 8 swap the sides.
bool apply_orientation(image* img) {
  const int orientation = img->orientation;
  img->orientation = 1;
  if (orientation < 2 || orientation > 8) return true;
  const std::ptrdiff_t w = img->width, h = img->height;
  const std::ptrdiff_t last_row = (h - 1) * w;
  struct walk {
    std::ptrdiff_t origin, step_x, step_y;
  };
  const walk walks[9] = {
      {0, 1, w},                   // 1 (not used)
      {0, 1, w},                   // 1 as stored
      {w - 1, -1, w},              // 2 mirrored left to right
      {last_row + w - 1, -1, -w},  // 3 turned half way
      {last_row, 1, -w},           // 4 mirrored top to bottom
      {0, w, 1},                   // 5 transposed
      {last_row, -w, 1},           // 6 turned a quarter clockwise to display
      {last_row + w - 1, -w, -1},  // 7 transposed the other way
      {w - 1, w, -1},              // 8 turned a quarter anticlockwise to display
  };
  const walk& path = walks[orientation];
  const bool swap = orientation >= 5;
  const std::int32_t out_width = swap ? img->height : img->width;
  const std::int32_t out_height = swap ? img->width : img->height;
  const std::size_t pixel = static_cast<std::size_t>(img->channels) * sample_bytes(img->type);
  pixel_buffer turned;  // every pixel is written below
  try {
    reserve_on_huge_pages(&turned, img->pixels.size());
    resize_for_overwrite(&turned, img->pixels.size());
  } catch (const std::bad_alloc&) {
    img->orientation = orientation;
    return false;
  }
  std::uint8_t* dst = turned.data();
  const std::uint8_t* src = img->pixels.data();
  for (std::int32_t y = 0; y < out_height; ++y) {
    std::ptrdiff_t at = path.origin + y * path.step_y;
    for (std::int32_t x = 0; x < out_width; ++x, at += path.step_x, dst += pixel)
      std::memcpy(dst, src + static_cast<std::size_t>(at) * pixel, pixel);
  }
  img->pixels.swap(turned);
  img->width = out_width;
  img->height = out_height;
  codecs::turn_metadata(&img->meta, orientation);
  return true;
}

namespace codecs {
namespace {

double read_sample(const std::uint8_t* at, sample_type type) {
  switch (type) {
    case sample_type::u8:
      return *at;
    case sample_type::u16: {
      std::uint16_t v;
      std::memcpy(&v, at, sizeof v);
      return v;
    }
    case sample_type::f32: {
      float v;
      std::memcpy(&v, at, sizeof v);
      return v;
    }
    case sample_type::f64: {
      double v;
      std::memcpy(&v, at, sizeof v);
      return v;
    }
  }
  return 0;
}

}  // namespace

void convert_pixels(const std::uint8_t* src, sample_type from, int src_channels, std::uint8_t* dst,
                    sample_type to, int dst_channels, std::size_t count) {
  const std::size_t in_size = sample_bytes(from), out_size = sample_bytes(to);
  const std::size_t in_pixel = in_size * src_channels, out_pixel = out_size * dst_channels;
  if (from == to) {
    for (std::size_t i = 0; i < count; ++i) std::memcpy(dst + i * out_pixel, src + i * in_pixel, out_pixel);
    return;
  }
  const double top = sample_full_scale(to), scale = sample_full_scale(from);
  for (std::size_t i = 0; i < count; ++i, src += in_pixel)
    for (int c = 0; c < dst_channels; ++c, dst += out_size) {
      // Multiplying first keeps integer-to-integer results exact (257 * 255 / 65535 is 1).
      const double v = read_sample(src + c * in_size, from) * top / scale;
      const unsigned q = !(v > 0) ? 0u : v >= top ? static_cast<unsigned>(top) : static_cast<unsigned>(v);
      if (to == sample_type::u8) {
        *dst = static_cast<std::uint8_t>(q);
      } else {
        const std::uint16_t q16 = static_cast<std::uint16_t>(q);
        std::memcpy(dst, &q16, sizeof q16);
      }
    }
}

bool check_encodable(const image& img, std::string* err) {
  if (img.width <= 0 || img.height <= 0) {
    *err = "image has no pixels";
    return false;
  }
  if (img.channels < 1 || img.channels > 4) {
    *err = "image has " + std::to_string(img.channels) + " channels; 1 to 4 can be written";
    return false;
  }
  if (img.cmyk && img.channels != 4) {
    *err = "a CMYK image has 4 channels, not " + std::to_string(img.channels);
    return false;
  }
  if (img.pixels.size() != img.pixel_bytes()) {
    *err = "image's pixel buffer does not match its size";
    return false;
  }
  return true;
}

bool rows_ready(const encode_options& options, std::int32_t rows) {
  return !options.rows_ready || options.rows_ready(rows);
}

bool send_to_sink(const byte_sink& sink, const std::uint8_t* bytes, std::size_t size) noexcept {
  try {
    return sink(bytes, size);
  } catch (...) {
    return false;
  }
}

}  // namespace codecs
}  // namespace pellimor
