// SPDX-License-Identifier: MIT
// tiff_exif.cc - a TIFF file's EXIF and GPS directories, to and from the
// EXIF block the other formats carry.
//
// libtiff reads and writes the directories, its EXIF and GPS field tables
// saying what each tag holds; libexif builds and reads the block. A tag
// libtiff has no entry for, or whose type or count differs from libtiff's,
// is left out either way rather than written blind; so is the
// interoperability directory, which libtiff has no table for.
//
// libtiff hands rationals over as floating point. They go back into the
// block as the fraction of the smallest terms within the precision they
// were held in (continued fractions), which gives back any fraction of
// small terms as stored (617/50 seconds of arc, 1/250 s).
//
// A hostile directory costs little: before libtiff reads one, its entries
// are counted and their values' sizes added up from the file's bytes. A
// directory of more than max_exif_directory_entries entries or
// max_exif_bytes of values, one whose entries run past the file's end, or
// one at the main directory's own offset is not read.
#include "codec/tiff_exif.h"

#include <cmath>
#include <cstring>
#include <string>

#include "codec/exif_block.h"
#include "codec/formats.h"

namespace pellimor::codecs {
namespace {

// ---------------------------------------------------------------------------
// The bound on a directory, from the file's bytes.

struct file_bytes {
  const std::uint8_t* data;
  std::size_t size;
  bool big_endian;
  bool big_tiff;
};

bool number_at(const file_bytes& f, std::uint64_t at, int bytes, std::uint64_t* value) {
  if (at > f.size || f.size - at < static_cast<std::uint64_t>(bytes)) return false;
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | f.data[at + (f.big_endian ? i : bytes - 1 - i)];
  *value = v;
  return true;
}

// Bytes a value of TIFF type `type` takes; 0 for a type not read.
std::uint64_t type_bytes(std::uint64_t type) {
  static constexpr std::uint8_t sizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4, 0, 0, 8, 8, 8};
  return type < sizeof sizes ? sizes[type] : 0;
}

// Whether the directory at `offset` is small enough to be read.
bool directory_within_bounds(const file_bytes& f, std::uint64_t offset) {
  const int count_bytes = f.big_tiff ? 8 : 2, entry_bytes = f.big_tiff ? 20 : 12;
  std::uint64_t count = 0;
  if (!number_at(f, offset, count_bytes, &count) || count == 0 || count > max_exif_directory_entries)
    return false;
  const std::uint64_t first = offset + count_bytes;
  if ((f.size - first) / entry_bytes < count) return false;
  std::uint64_t total = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t at = first + i * entry_bytes;
    std::uint64_t type = 0, values = 0;
    number_at(f, at + 2, 2, &type);
    number_at(f, at + 4, f.big_tiff ? 8 : 4, &values);
    const std::uint64_t unit = type_bytes(type);
    if (unit != 0 && values > (max_exif_bytes - total) / unit) return false;
    total += unit * values;
  }
  return true;
}

// ---------------------------------------------------------------------------
// libtiff's values into libexif's entries.

void add_text(ExifData* d, ExifIfd ifd, ExifTag tag, const std::string& text) {
  if (ExifEntry* e = add_exif_entry(d, ifd, tag, EXIF_FORMAT_ASCII, static_cast<unsigned>(text.size() + 1)))
    std::memcpy(e->data, text.c_str(), text.size() + 1);
}

// Value `i` of an array libtiff holds, `unit` bytes each, as a double.
double value_at(const void* values, TIFFDataType type, int unit, std::size_t i) {
  const auto* p = static_cast<const std::uint8_t*>(values) + i * static_cast<std::size_t>(unit);
  switch (type) {
    case TIFF_SBYTE:
      return static_cast<std::int8_t>(*p);
    case TIFF_SHORT: {
      std::uint16_t v;
      std::memcpy(&v, p, 2);
      return v;
    }
    case TIFF_SSHORT: {
      std::int16_t v;
      std::memcpy(&v, p, 2);
      return v;
    }
    case TIFF_LONG: {
      std::uint32_t v;
      std::memcpy(&v, p, 4);
      return v;
    }
    case TIFF_SLONG: {
      std::int32_t v;
      std::memcpy(&v, p, 4);
      return v;
    }
    case TIFF_RATIONAL:
    case TIFF_SRATIONAL:
    case TIFF_FLOAT:
    case TIFF_DOUBLE:
      if (unit == 8) {
        double v;
        std::memcpy(&v, p, 8);
        return v;
      } else {
        float v;
        std::memcpy(&v, p, 4);
        return v;
      }
    default:
      return *p;
  }
}

// Tag `tag` of `t`'s current directory into `ifd`. False when it is not
// one carried.
bool copy_tag(TIFF* t, std::uint32_t tag, ExifData* d, ExifIfd ifd) {
  const TIFFField* field = TIFFFieldWithTag(t, tag);
  if (field == nullptr || TIFFFieldIsAnonymous(field) || tag > 0xffff) return false;
  const TIFFDataType type = TIFFFieldDataType(field);
  const int unit = TIFFFieldSetGetSize(field);
  if (type < TIFF_BYTE || type > TIFF_DOUBLE || unit <= 0) return false;  // no pointers, no 64-bit types
  const auto exif_tag = static_cast<ExifTag>(tag);
  if (type == TIFF_ASCII) {
    const char* text = nullptr;
    if (TIFFFieldPassCount(field) || !TIFFGetField(t, tag, &text)) return false;  // none of libtiff's is
    if (text == nullptr) return false;
    add_text(d, ifd, exif_tag, std::string(text, strnlen(text, max_exif_bytes)));
    return true;
  }
  alignas(8) std::uint8_t single[8] = {};
  const void* values = single;
  std::size_t count = 1;
  if (TIFFFieldPassCount(field)) {
    void* array = nullptr;
    if (TIFFFieldSetGetCountSize(field) == 4) {
      std::uint32_t n = 0;
      if (!TIFFGetField(t, tag, &n, &array)) return false;
      count = n;
    } else {
      std::uint16_t n = 0;
      if (!TIFFGetField(t, tag, &n, &array)) return false;
      count = n;
    }
    values = array;
  } else if (TIFFFieldReadCount(field) > 1) {
    void* array = nullptr;
    if (!TIFFGetField(t, tag, &array)) return false;
    values = array;
    count = static_cast<std::size_t>(TIFFFieldReadCount(field));
  } else if (TIFFFieldReadCount(field) != 1 || !TIFFGetField(t, tag, single)) {
    return false;
  }
  if (values == nullptr || count == 0 || count > max_exif_bytes / 8) return false;
  const auto format = static_cast<ExifFormat>(type);  // TIFF and EXIF number their types alike
  ExifEntry* e = add_exif_entry(d, ifd, exif_tag, format, static_cast<unsigned>(count));
  if (e == nullptr) return false;
  const ExifByteOrder order = exif_data_get_byte_order(d);
  const double tolerance = unit == 8 ? 1e-12 : 1e-7;
  for (std::size_t i = 0; i < count; ++i) {
    const double v = value_at(values, type, unit, i);
    unsigned char* out = e->data + i * exif_format_get_size(format);
    double n = 0, m = 1;
    switch (type) {
      case TIFF_SHORT:
        exif_set_short(out, order, static_cast<ExifShort>(v));
        break;
      case TIFF_SSHORT:
        exif_set_sshort(out, order, static_cast<ExifSShort>(v));
        break;
      case TIFF_LONG:
        exif_set_long(out, order, static_cast<ExifLong>(v));
        break;
      case TIFF_SLONG:
        exif_set_slong(out, order, static_cast<ExifSLong>(v));
        break;
      case TIFF_RATIONAL:
        if (v > 0) nearest_fraction(v, tolerance, 4294967295.0, &n, &m);
        exif_set_rational(out, order, {static_cast<ExifLong>(n), static_cast<ExifLong>(m)});
        break;
      case TIFF_SRATIONAL:
        if (v != 0 && std::isfinite(v)) nearest_fraction(std::fabs(v), tolerance, 2147483647.0, &n, &m);
        exif_set_srational(out, order, {static_cast<ExifSLong>(v < 0 ? -n : n), static_cast<ExifSLong>(m)});
        break;
      case TIFF_FLOAT: {
        const float f = static_cast<float>(v);
        std::memcpy(out, &f, 4);
        break;
      }
      case TIFF_DOUBLE:
        std::memcpy(out, &v, 8);
        break;
      default:
        *out = static_cast<std::uint8_t>(v);
        break;
    }
  }
  return true;
}

// Every tag of `t`'s current directory libtiff knows into `ifd`; whether
// any was.
bool copy_directory(TIFF* t, ExifData* d, ExifIfd ifd) {
  bool any = false;
  const int count = TIFFGetTagListCount(t);
  for (int i = 0; i < count; ++i) any |= copy_tag(t, TIFFGetTagListEntry(t, i), d, ifd);
  return any;
}

// ---------------------------------------------------------------------------
// libexif's entries into libtiff's fields.

// Entry `e` as a field of `t`'s current custom directory. False when
// libtiff does not know the tag, or holds it as another type or count.
bool set_tag(TIFF* t, ExifData* d, const ExifEntry* e) {
  const TIFFField* field = TIFFFindField(t, e->tag, TIFF_ANY);
  if (field == nullptr || TIFFFieldIsAnonymous(field)) return false;
  const TIFFDataType type = TIFFFieldDataType(field);
  const int unit = TIFFFieldSetGetSize(field), wanted = TIFFFieldWriteCount(field);
  const bool pass = TIFFFieldPassCount(field) != 0;
  const bool wide_count = TIFFFieldSetGetCountSize(field) == 4;
  const unsigned n = e->components, size = exif_format_get_size(e->format);
  if (n == 0 || e->data == nullptr || size == 0 || e->size < n * size) return false;
  const std::uint32_t tag = e->tag;
  if (type == TIFF_ASCII) {
    if (e->format != EXIF_FORMAT_ASCII) return false;
    const std::string text(reinterpret_cast<const char*>(e->data),
                           strnlen(reinterpret_cast<const char*>(e->data), e->size));
    const auto length = static_cast<std::uint32_t>(text.size() + 1);
    return pass ? (wide_count ? TIFFSetField(t, tag, length, text.c_str())
                              : TIFFSetField(t, tag, static_cast<int>(length), text.c_str()))
                : TIFFSetField(t, tag, text.c_str());
  }
  if (type < TIFF_BYTE || type > TIFF_DOUBLE || unit <= 0) return false;
  if (pass ? !wide_count && n > 0xffff : wanted <= 0 || n != static_cast<unsigned>(wanted)) return false;
  const bool real =
      type == TIFF_RATIONAL || type == TIFF_SRATIONAL || type == TIFF_FLOAT || type == TIFF_DOUBLE;
  const bool from_real = e->format == EXIF_FORMAT_RATIONAL || e->format == EXIF_FORMAT_SRATIONAL ||
                         e->format == EXIF_FORMAT_FLOAT || e->format == EXIF_FORMAT_DOUBLE;
  if (real != from_real) return false;
  // The lowest and highest value the field's type holds.
  double low = 0, high = 0;
  switch (type) {
    case TIFF_BYTE:
    case TIFF_UNDEFINED:
      high = 255;
      break;
    case TIFF_SBYTE:
      low = -128, high = 127;
      break;
    case TIFF_SHORT:
      high = 65535;
      break;
    case TIFF_SSHORT:
      low = -32768, high = 32767;
      break;
    case TIFF_LONG:
      high = 4294967295.0;
      break;
    case TIFF_SLONG:
      low = -2147483648.0, high = 2147483647.0;
      break;
    default:
      low = -HUGE_VAL, high = HUGE_VAL;
      break;
  }
  const ExifByteOrder order = exif_data_get_byte_order(d);
  std::vector<std::uint8_t> values(static_cast<std::size_t>(n) * unit);
  for (unsigned i = 0; i < n; ++i) {
    const unsigned char* in = e->data + static_cast<std::size_t>(i) * size;
    double v = 0;
    switch (e->format) {
      case EXIF_FORMAT_SHORT:
        v = exif_get_short(in, order);
        break;
      case EXIF_FORMAT_SSHORT:
        v = exif_get_sshort(in, order);
        break;
      case EXIF_FORMAT_LONG:
        v = exif_get_long(in, order);
        break;
      case EXIF_FORMAT_SLONG:
        v = exif_get_slong(in, order);
        break;
      case EXIF_FORMAT_SBYTE:
        v = static_cast<std::int8_t>(*in);
        break;
      case EXIF_FORMAT_RATIONAL: {
        const ExifRational r = exif_get_rational(in, order);
        v = r.denominator == 0 ? 0 : static_cast<double>(r.numerator) / r.denominator;
        break;
      }
      case EXIF_FORMAT_SRATIONAL: {
        const ExifSRational r = exif_get_srational(in, order);
        v = r.denominator == 0 ? 0 : static_cast<double>(r.numerator) / r.denominator;
        break;
      }
      case EXIF_FORMAT_FLOAT: {
        float f;
        std::memcpy(&f, in, 4);
        v = f;
        break;
      }
      case EXIF_FORMAT_DOUBLE:
        std::memcpy(&v, in, 8);
        break;
      default:
        v = *in;
        break;
    }
    if (!(v >= low && v <= high)) return false;
    std::uint8_t* out = values.data() + static_cast<std::size_t>(i) * unit;
    if (real && unit == 8) {
      std::memcpy(out, &v, 8);
    } else if (real) {
      const float f = static_cast<float>(v);
      std::memcpy(out, &f, 4);
    } else if (unit == 1) {
      *out = static_cast<std::uint8_t>(static_cast<std::int64_t>(v));
    } else if (unit == 2) {
      const auto s = static_cast<std::uint16_t>(static_cast<std::int64_t>(v));
      std::memcpy(out, &s, 2);
    } else {
      const auto l = static_cast<std::uint32_t>(static_cast<std::int64_t>(v));
      std::memcpy(out, &l, 4);
    }
  }
  if (pass)
    return wide_count ? TIFFSetField(t, tag, static_cast<std::uint32_t>(n), values.data())
                      : TIFFSetField(t, tag, static_cast<int>(n), values.data());
  if (n > 1) return TIFFSetField(t, tag, values.data());
  // One value, passed as C passes it to a variadic function.
  if (real) {
    double v;
    if (unit == 8)
      std::memcpy(&v, values.data(), 8);
    else {
      float f;
      std::memcpy(&f, values.data(), 4);
      v = f;
    }
    return TIFFSetField(t, tag, v);
  }
  std::uint32_t l = 0;
  std::memcpy(&l, values.data(), static_cast<std::size_t>(unit));
  if (unit == 4) return TIFFSetField(t, tag, l);
  if (unit == 2) {
    std::uint16_t s;
    std::memcpy(&s, values.data(), 2);
    return TIFFSetField(
        t, tag, type == TIFF_SSHORT ? static_cast<int>(static_cast<std::int16_t>(s)) : static_cast<int>(s));
  }
  return TIFFSetField(t, tag,
                      type == TIFF_SBYTE ? static_cast<int>(static_cast<std::int8_t>(values[0]))
                                         : static_cast<int>(values[0]));
}

}  // namespace

void tiff_read_exif(TIFF* t, const std::uint8_t* data, std::size_t size, metadata* meta) {
  std::uint64_t exif_offset = 0, gps_offset = 0;
  if (!TIFFGetField(t, TIFFTAG_EXIFIFD, &exif_offset)) exif_offset = 0;
  if (!TIFFGetField(t, TIFFTAG_GPSIFD, &gps_offset)) gps_offset = 0;
  if (exif_offset == 0 && gps_offset == 0) return;
  const file_bytes f{data, size, TIFFIsBigEndian(t) != 0, TIFFIsBigTIFF(t) != 0};
  const std::uint64_t main = TIFFCurrentDirOffset(t);
  const auto readable = [&](std::uint64_t offset) {
    return offset != 0 && offset != main && directory_within_bounds(f, offset);
  };
  std::uint16_t orientation = ORIENTATION_TOPLEFT;
  TIFFGetField(t, TIFFTAG_ORIENTATION, &orientation);

  exif_handle d(exif_data_new());
  if (!d) return;
  exif_data_unset_option(d.get(), EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
  exif_data_unset_option(d.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_set_byte_order(d.get(), f.big_endian ? EXIF_BYTE_ORDER_MOTOROLA : EXIF_BYTE_ORDER_INTEL);
  bool any = false;
  if (readable(exif_offset) && TIFFReadEXIFDirectory(t, exif_offset))
    any |= copy_directory(t, d.get(), EXIF_IFD_EXIF);
  if (readable(gps_offset) && TIFFReadGPSDirectory(t, gps_offset))
    any |= copy_directory(t, d.get(), EXIF_IFD_GPS);
  if (!any) return;
  // The first directory: what the main one says of the picture as a whole.
  if (ExifEntry* e = add_exif_entry(d.get(), EXIF_IFD_0, EXIF_TAG_ORIENTATION, EXIF_FORMAT_SHORT, 1))
    exif_set_short(e->data, exif_data_get_byte_order(d.get()),
                   orientation >= 1 && orientation <= 8 ? orientation : ORIENTATION_TOPLEFT);
  for (const tiff_text_tag& tag : tiff_text_tags)
    for (const metadata::text& text : meta->texts)
      if (text.key == tag.key) {
        add_text(d.get(), EXIF_IFD_0, static_cast<ExifTag>(tag.tag), text.value);
        break;
      }
  std::vector<std::uint8_t> block = save_exif(d.get());
  if (block.size() <= max_exif_bytes) meta->exif = std::move(block);
}

bool tiff_write_exif(TIFF* t, const std::vector<std::uint8_t>& block, std::uint64_t* exif_offset,
                     std::uint64_t* gps_offset) {
  *exif_offset = *gps_offset = 0;
  exif_handle d = load_exif(block);
  if (!d) return true;
  bool custom = false;
  for (const ExifIfd ifd : {EXIF_IFD_EXIF, EXIF_IFD_GPS}) {
    const ExifContent* c = d->ifd[ifd];
    if (c == nullptr || c->count == 0) continue;
    // Creating a directory does not free the custom one before it.
    if (custom) TIFFFreeDirectory(t);
    // These return 0 when done, as TIFFCreateDirectory does.
    if ((ifd == EXIF_IFD_EXIF ? TIFFCreateEXIFDirectory(t) : TIFFCreateGPSDirectory(t)) != 0) return false;
    custom = true;
    bool any = false;
    for (unsigned i = 0; i < c->count; ++i) any |= set_tag(t, d.get(), c->entries[i]);
    if (any && !TIFFWriteCustomDirectory(t, ifd == EXIF_IFD_EXIF ? exif_offset : gps_offset)) return false;
  }
  if (!custom) return true;
  TIFFFreeDirectory(t);
  return TIFFCreateDirectory(t) == 0;
}

std::vector<metadata::text> exif_tiff_texts(const std::vector<std::uint8_t>& block) {
  std::vector<metadata::text> texts;
  exif_handle d = load_exif(block);
  if (!d) return texts;
  for (const tiff_text_tag& tag : tiff_text_tags) {
    const ExifEntry* e = exif_content_get_entry(d->ifd[EXIF_IFD_0], static_cast<ExifTag>(tag.tag));
    if (e == nullptr || e->format != EXIF_FORMAT_ASCII || e->data == nullptr) continue;
    const std::string value(reinterpret_cast<const char*>(e->data),
                            strnlen(reinterpret_cast<const char*>(e->data), e->size));
    if (!value.empty()) texts.push_back({tag.key, value});
  }
  return texts;
}

}  // namespace pellimor::codecs
