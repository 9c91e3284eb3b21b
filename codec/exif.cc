// SPDX-License-Identifier: MIT
// exif.cc - the orientation tag from an EXIF block.
//
// An EXIF block is a small TIFF file: a byte-order mark ("II" little-endian,
// "MM" big-endian), the number 42, the offset of the first directory (IFD0),
// then that directory's entry count and 12-byte entries (tag, type, count,
// value or offset). Orientation is tag 0x0112, a SHORT whose value sits in
// the entry itself. Every read is checked against the block's size.
//
// Blocks written out again go through libexif, which reads every directory
// and lays the block out anew.
#include <libexif/exif-data.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codec/exif_block.h"
#include "codec/formats.h"

namespace pellimor::codecs {
namespace {

constexpr unsigned orientation_tag = 0x0112;
constexpr unsigned type_short = 3;
constexpr unsigned type_long = 4;

struct tiff_reader {
  const std::uint8_t* data;
  std::size_t size;
  bool big_endian;
};

// The unsigned number of `bytes` bytes at `at`; false when past the end.
bool read_number(const tiff_reader& r, std::size_t at, int bytes, std::uint32_t* value) {
  if (at > r.size || r.size - at < static_cast<std::size_t>(bytes)) return false;
  std::uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) {
    const std::uint32_t byte = r.data[at + (r.big_endian ? i : bytes - 1 - i)];
    v = (v << 8) | byte;
  }
  *value = v;
  return true;
}

constexpr std::uint8_t exif_header[6] = {'E', 'x', 'i', 'f', 0, 0};

}  // namespace

exif_handle load_exif(const std::vector<std::uint8_t>& block) {
  if (block.size() < 8 || block.size() > max_exif_bytes) return nullptr;
  exif_handle d(exif_data_new());
  if (!d) return nullptr;
  exif_data_unset_option(d.get(), EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
  exif_data_unset_option(d.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  std::vector<std::uint8_t> bytes(exif_header, exif_header + sizeof exif_header);
  bytes.insert(bytes.end(), block.begin(), block.end());
  exif_data_load_data(d.get(), bytes.data(), static_cast<unsigned>(bytes.size()));
  if (d->ifd[EXIF_IFD_0] == nullptr || d->ifd[EXIF_IFD_0]->count == 0) return nullptr;
  return d;
}

std::vector<std::uint8_t> save_exif(ExifData* d) {
  unsigned char* saved = nullptr;
  unsigned int saved_size = 0;
  exif_data_save_data(d, &saved, &saved_size);
  std::vector<std::uint8_t> block;
  if (saved != nullptr && saved_size > sizeof exif_header &&
      std::memcmp(saved, exif_header, sizeof exif_header) == 0)
    block.assign(saved + sizeof exif_header, saved + saved_size);
  std::free(saved);
  return block;
}

void nearest_fraction(double v, double tolerance, double most, double* numerator, double* denominator) {
  double h0 = 0, h1 = 1, k0 = 1, k1 = 0, x = v;
  for (int i = 0; i < 64 && std::isfinite(x); ++i) {
    const double a = std::floor(x);
    const double h2 = a * h1 + h0, k2 = a * k1 + k0;
    if (h2 > most || k2 > most) break;
    h0 = h1, h1 = h2, k0 = k1, k1 = k2;
    if (std::fabs(v - h1 / k1) <= tolerance * v || x - a <= 0) break;
    x = 1 / (x - a);
  }
  *numerator = k1 == 0 ? 0 : h1;
  *denominator = k1 == 0 ? 1 : k1;
}

ExifEntry* add_exif_entry(ExifData* d, ExifIfd ifd, ExifTag tag, ExifFormat format, unsigned components) {
  ExifMem* mem = exif_mem_new_default();
  ExifEntry* e = exif_entry_new_mem(mem);
  const unsigned size = exif_format_get_size(format) * components;
  unsigned char* data =
      e != nullptr && size != 0 ? static_cast<unsigned char*>(exif_mem_alloc(mem, size)) : nullptr;
  if (data == nullptr) {
    if (e != nullptr) exif_entry_unref(e);
    exif_mem_unref(mem);
    return nullptr;
  }
  e->tag = tag;
  e->format = format;
  e->components = components;
  e->size = size;
  e->data = data;
  exif_content_add_entry(d->ifd[ifd], e);
  exif_entry_unref(e);
  exif_mem_unref(mem);
  return e;
}

namespace {

// Sets a SHORT or LONG tag that is there to `value`; a SHORT too small for
// it becomes a LONG.
void set_number(ExifData* d, ExifIfd ifd, ExifTag tag, std::uint32_t value) {
  ExifEntry* e = exif_content_get_entry(d->ifd[ifd], tag);
  if (e == nullptr || e->components != 1 || e->data == nullptr) return;
  const ExifByteOrder order = exif_data_get_byte_order(d);
  if (e->format == EXIF_FORMAT_SHORT && value <= 0xffff && e->size >= 2) {
    exif_set_short(e->data, order, static_cast<ExifShort>(value));
  } else if (e->format == EXIF_FORMAT_LONG && e->size >= 4) {
    exif_set_long(e->data, order, value);
  } else if (e->format == EXIF_FORMAT_SHORT) {
    ExifMem* mem = exif_mem_new_default();
    auto* data = static_cast<unsigned char*>(exif_mem_alloc(mem, 4));
    exif_mem_unref(mem);
    if (data == nullptr) return;
    std::free(e->data);  // libexif's default allocator is malloc's
    e->data = data;
    e->size = 4;
    e->format = EXIF_FORMAT_LONG;
    exif_set_long(e->data, order, value);
  }
}

double rational_of(ExifData* d, ExifEntry* e) {
  if (e == nullptr || e->format != EXIF_FORMAT_RATIONAL || e->components != 1 || e->size < 8) return 0;
  const ExifRational r = exif_get_rational(e->data, exif_data_get_byte_order(d));
  return r.denominator == 0 ? 0 : static_cast<double>(r.numerator) / r.denominator;
}

}  // namespace

std::vector<std::uint8_t> exif_for_output(const image& img) {
  exif_handle d = load_exif(img.meta.exif);
  if (!d) return {};
  const int stored = exif_orientation(img.meta.exif.data(), img.meta.exif.size());
  const int orientation = img.orientation >= 1 && img.orientation <= 8 ? img.orientation : 1;
  set_number(d.get(), EXIF_IFD_0, EXIF_TAG_ORIENTATION, static_cast<std::uint32_t>(orientation));
  set_number(d.get(), EXIF_IFD_0, EXIF_TAG_IMAGE_WIDTH, static_cast<std::uint32_t>(img.width));
  set_number(d.get(), EXIF_IFD_0, EXIF_TAG_IMAGE_LENGTH, static_cast<std::uint32_t>(img.height));
  set_number(d.get(), EXIF_IFD_EXIF, EXIF_TAG_PIXEL_X_DIMENSION, static_cast<std::uint32_t>(img.width));
  set_number(d.get(), EXIF_IFD_EXIF, EXIF_TAG_PIXEL_Y_DIMENSION, static_cast<std::uint32_t>(img.height));
  // A thumbnail is still the picture at any size, but once the pixels are
  // turned and the tag says so no more, it would show turned.
  if (stored != orientation && d->data != nullptr) {
    std::free(d->data);
    d->data = nullptr;
    d->size = 0;
  }
  return save_exif(d.get());
}

void exif_resolution(const std::vector<std::uint8_t>& exif, metadata* meta) {
  exif_handle d = load_exif(exif);
  if (!d) return;
  const double x = rational_of(d.get(), exif_content_get_entry(d->ifd[EXIF_IFD_0], EXIF_TAG_X_RESOLUTION));
  const double y = rational_of(d.get(), exif_content_get_entry(d->ifd[EXIF_IFD_0], EXIF_TAG_Y_RESOLUTION));
  if (!(x > 0) || !(y > 0)) return;
  ExifEntry* unit = exif_content_get_entry(d->ifd[EXIF_IFD_0], EXIF_TAG_RESOLUTION_UNIT);
  int u = 2;  // inches when not given
  if (unit != nullptr && unit->format == EXIF_FORMAT_SHORT && unit->size >= 2)
    u = exif_get_short(unit->data, exif_data_get_byte_order(d.get()));
  if (u != 2 && u != 3) return;
  meta->density_unit = u == 2 ? 1 : 2;
  meta->x_density = x;
  meta->y_density = y;
}

std::vector<std::uint8_t> exif_with_density(const std::vector<std::uint8_t>& block, const metadata& meta) {
  double x = 0, y = 0;
  if (!density_in(meta, meta.density_unit, &x, &y)) return block;
  exif_handle d = load_exif(block);
  if (!d) {
    d.reset(exif_data_new());
    if (!d) return block;
    exif_data_unset_option(d.get(), EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
    exif_data_unset_option(d.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_set_byte_order(d.get(), EXIF_BYTE_ORDER_INTEL);
  }
  ExifContent* first = d->ifd[EXIF_IFD_0];
  for (const ExifTag tag : {EXIF_TAG_X_RESOLUTION, EXIF_TAG_Y_RESOLUTION, EXIF_TAG_RESOLUTION_UNIT})
    if (ExifEntry* e = exif_content_get_entry(first, tag)) exif_content_remove_entry(first, e);
  const ExifByteOrder order = exif_data_get_byte_order(d.get());
  for (const auto& [tag, value] : {std::pair{EXIF_TAG_X_RESOLUTION, x}, std::pair{EXIF_TAG_Y_RESOLUTION, y}}) {
    double numerator = 0, denominator = 1;
    // Seven digits: all a TIFF's float density holds, and more than a
    // print needs.
    nearest_fraction(value, 1e-7, 4294967295.0, &numerator, &denominator);
    if (ExifEntry* e = add_exif_entry(d.get(), EXIF_IFD_0, tag, EXIF_FORMAT_RATIONAL, 1))
      exif_set_rational(e->data, order, {static_cast<ExifLong>(numerator), static_cast<ExifLong>(denominator)});
  }
  if (ExifEntry* e = add_exif_entry(d.get(), EXIF_IFD_0, EXIF_TAG_RESOLUTION_UNIT, EXIF_FORMAT_SHORT, 1))
    exif_set_short(e->data, order, meta.density_unit == 1 ? 2 : 3);
  std::vector<std::uint8_t> saved = save_exif(d.get());
  return saved.empty() ? block : saved;
}

int exif_orientation(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size < 8) return 1;
  tiff_reader r{data, size, false};
  if (std::memcmp(data, "MM", 2) == 0)
    r.big_endian = true;
  else if (std::memcmp(data, "II", 2) != 0)
    return 1;
  std::uint32_t magic, ifd, count;
  if (!read_number(r, 2, 2, &magic) || magic != 42) return 1;
  if (!read_number(r, 4, 4, &ifd) || !read_number(r, ifd, 2, &count)) return 1;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t entry = static_cast<std::size_t>(ifd) + 2 + static_cast<std::size_t>(i) * 12;
    std::uint32_t tag, type, values, value;
    if (!read_number(r, entry, 2, &tag) || !read_number(r, entry + 2, 2, &type) ||
        !read_number(r, entry + 4, 4, &values))
      return 1;
    if (tag != orientation_tag) continue;
    if (values != 1) return 1;
    if (type == type_short) {
      if (!read_number(r, entry + 8, 2, &value)) return 1;
    } else if (type == type_long) {
      if (!read_number(r, entry + 8, 4, &value)) return 1;
    } else {
      return 1;
    }
    return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
  }
  return 1;
}

}  // namespace pellimor::codecs
