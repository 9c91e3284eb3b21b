// SPDX-License-Identifier: MIT
// tiff_exif_test.cc - a TIFF's EXIF and GPS directories carried through a
// resize into TIFF, JPEG and PNG and back, checked with libtiff and libexif
// themselves; stripped on request; hostile directories left unread.
#include <gtest/gtest.h>
#include <libexif/exif-data.h>
#include <tiffio.h>

#include <cstring>
#include <string>

#include "codec/codec_test_util.h"
#include "lib/resize_file.h"
#include "pellimor/pellimor.h"
#include "tests/test_util.h"

namespace {

using codec_test::bytes;
using pellimor::image_format;

constexpr char make[] = "Pellicam", model[] = "P-1", taken[] = "2024:05:06 07:08:09";
constexpr double latitude[3] = {35, 0, 12.34};  // seconds 617/50

bytes read_bytes(const std::string& path) {
  const std::string s = test_util::read_file(path);
  return bytes(s.begin(), s.end());
}

// An 8 x 6 RGB TIFF stored turned (orientation 6), written by libtiff as
// its manual has it: the main directory first, then the EXIF (and GPS)
// directories, then the main one again pointing to them.
bytes camera_tiff(const test_util::temp_dir& dir, bool gps) {
  const std::string path = dir.file("camera.tif");
  TIFF* t = TIFFOpen(path.c_str(), "w");
  EXPECT_NE(t, nullptr);
  if (t == nullptr) return {};
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 8u);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, 6u);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 6u);
  TIFFSetField(t, TIFFTAG_ORIENTATION, 6);
  TIFFSetField(t, TIFFTAG_MAKE, make);
  TIFFSetField(t, TIFFTAG_MODEL, model);
  const pellimor::image img = codec_test::smooth_image(8, 6, 3);
  bytes strip(img.pixels.begin(), img.pixels.end());
  TIFFWriteEncodedStrip(t, 0, strip.data(), static_cast<tmsize_t>(strip.size()));
  TIFFWriteDirectory(t);

  std::uint64_t exif_offset = 0, gps_offset = 0;
  TIFFCreateEXIFDirectory(t);
  const std::uint8_t version[4] = {'0', '2', '3', '1'};
  TIFFSetField(t, EXIFTAG_EXIFVERSION, version);
  TIFFSetField(t, EXIFTAG_DATETIMEORIGINAL, taken);
  TIFFSetField(t, EXIFTAG_EXPOSURETIME, 1 / 250.0);
  TIFFSetField(t, EXIFTAG_PIXELXDIMENSION, 8u);
  TIFFSetField(t, EXIFTAG_PIXELYDIMENSION, 6u);
  EXPECT_TRUE(TIFFWriteCustomDirectory(t, &exif_offset));
  TIFFFreeDirectory(t);  // libtiff leaves a custom directory's values to its caller
  if (gps) {
    TIFFCreateGPSDirectory(t);
    const std::uint8_t gps_version[4] = {2, 3, 0, 0};
    TIFFSetField(t, GPSTAG_VERSIONID, gps_version);
    TIFFSetField(t, GPSTAG_LATITUDEREF, "N");
    TIFFSetField(t, GPSTAG_LATITUDE, latitude);
    EXPECT_TRUE(TIFFWriteCustomDirectory(t, &gps_offset));
    TIFFFreeDirectory(t);
  }
  TIFFSetDirectory(t, 0);
  TIFFSetField(t, TIFFTAG_EXIFIFD, exif_offset);
  if (gps) TIFFSetField(t, TIFFTAG_GPSIFD, gps_offset);
  TIFFClose(t);
  return read_bytes(path);
}

void add_entry(ExifData* d, ExifIfd ifd, ExifTag tag, ExifFormat format, unsigned components,
               const void* data) {
  ExifMem* mem = exif_mem_new_default();
  ExifEntry* e = exif_entry_new_mem(mem);
  e->tag = tag;
  e->format = format;
  e->components = components;
  e->size = exif_format_get_size(format) * components;
  e->data = static_cast<unsigned char*>(exif_mem_alloc(mem, e->size));
  std::memcpy(e->data, data, e->size);
  exif_content_add_entry(d->ifd[ifd], e);
  exif_entry_unref(e);
  exif_mem_unref(mem);
}

// The same picture and tags as a JPEG, its EXIF made with libexif
// (big-endian, as cameras often write it).
bytes camera_jpeg() {
  ExifData* d = exif_data_new();
  exif_data_unset_option(d, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_set_byte_order(d, EXIF_BYTE_ORDER_MOTOROLA);
  const ExifByteOrder o = EXIF_BYTE_ORDER_MOTOROLA;
  unsigned char v[24];
  exif_set_short(v, o, 6);
  add_entry(d, EXIF_IFD_0, EXIF_TAG_ORIENTATION, EXIF_FORMAT_SHORT, 1, v);
  add_entry(d, EXIF_IFD_0, EXIF_TAG_MAKE, EXIF_FORMAT_ASCII, sizeof make, make);
  add_entry(d, EXIF_IFD_0, EXIF_TAG_MODEL, EXIF_FORMAT_ASCII, sizeof model, model);
  add_entry(d, EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, EXIF_FORMAT_ASCII, sizeof taken, taken);
  exif_set_rational(v, o, {1, 250});
  add_entry(d, EXIF_IFD_EXIF, EXIF_TAG_EXPOSURE_TIME, EXIF_FORMAT_RATIONAL, 1, v);
  exif_set_short(v, o, 8);
  add_entry(d, EXIF_IFD_EXIF, EXIF_TAG_PIXEL_X_DIMENSION, EXIF_FORMAT_SHORT, 1, v);
  exif_set_short(v, o, 6);
  add_entry(d, EXIF_IFD_EXIF, EXIF_TAG_PIXEL_Y_DIMENSION, EXIF_FORMAT_SHORT, 1, v);
  add_entry(d, EXIF_IFD_GPS, static_cast<ExifTag>(EXIF_TAG_GPS_LATITUDE_REF), EXIF_FORMAT_ASCII, 2, "N");
  exif_set_rational(v, o, {35, 1});
  exif_set_rational(v + 8, o, {0, 1});
  exif_set_rational(v + 16, o, {1234, 100});
  add_entry(d, EXIF_IFD_GPS, static_cast<ExifTag>(EXIF_TAG_GPS_LATITUDE), EXIF_FORMAT_RATIONAL, 3, v);
  unsigned char* saved = nullptr;
  unsigned size = 0;
  exif_data_save_data(d, &saved, &size);
  exif_data_unref(d);
  pellimor::image img = codec_test::smooth_image(8, 6, 3);
  img.orientation = 6;
  img.meta.exif.assign(saved + 6, saved + size);  // past "Exif\0\0"
  std::free(saved);
  std::string err;
  return codec_test::encode(img, image_format::jpeg, &err);
}

// What libexif reads from a block.
struct facts {
  std::string make, model, taken, latitude_ref;
  int orientation = 0;
  std::uint32_t pixel_x = 0, pixel_y = 0;
  ExifRational exposure{0, 0}, latitude[3] = {};
};

std::string text_of(ExifContent* c, ExifTag tag) {
  ExifEntry* e = exif_content_get_entry(c, tag);
  return e == nullptr ? ""
                      : std::string(reinterpret_cast<const char*>(e->data),
                                    strnlen(reinterpret_cast<const char*>(e->data), e->size));
}

facts facts_of(const bytes& block) {
  facts f;
  bytes with_header = {'E', 'x', 'i', 'f', 0, 0};
  with_header.insert(with_header.end(), block.begin(), block.end());
  ExifData* d = exif_data_new_from_data(with_header.data(), static_cast<unsigned>(with_header.size()));
  const ExifByteOrder o = exif_data_get_byte_order(d);
  f.make = text_of(d->ifd[EXIF_IFD_0], EXIF_TAG_MAKE);
  f.model = text_of(d->ifd[EXIF_IFD_0], EXIF_TAG_MODEL);
  f.taken = text_of(d->ifd[EXIF_IFD_EXIF], EXIF_TAG_DATE_TIME_ORIGINAL);
  f.latitude_ref = text_of(d->ifd[EXIF_IFD_GPS], static_cast<ExifTag>(EXIF_TAG_GPS_LATITUDE_REF));
  const auto number = [&](ExifIfd ifd, ExifTag tag) -> std::uint32_t {
    ExifEntry* e = exif_content_get_entry(d->ifd[ifd], tag);
    if (e == nullptr) return 0;
    return e->format == EXIF_FORMAT_SHORT ? exif_get_short(e->data, o) : exif_get_long(e->data, o);
  };
  f.orientation = static_cast<int>(number(EXIF_IFD_0, EXIF_TAG_ORIENTATION));
  f.pixel_x = number(EXIF_IFD_EXIF, EXIF_TAG_PIXEL_X_DIMENSION);
  f.pixel_y = number(EXIF_IFD_EXIF, EXIF_TAG_PIXEL_Y_DIMENSION);
  if (ExifEntry* e = exif_content_get_entry(d->ifd[EXIF_IFD_EXIF], EXIF_TAG_EXPOSURE_TIME))
    f.exposure = exif_get_rational(e->data, o);
  if (ExifEntry* e =
          exif_content_get_entry(d->ifd[EXIF_IFD_GPS], static_cast<ExifTag>(EXIF_TAG_GPS_LATITUDE)))
    for (unsigned i = 0; i < 3 && i < e->components; ++i)
      f.latitude[i] = exif_get_rational(e->data + 8 * i, o);
  exif_data_unref(d);
  return f;
}

// The fraction n/d is p/q exactly.
bool same_fraction(ExifRational r, std::uint64_t p, std::uint64_t q) {
  return r.denominator != 0 && std::uint64_t{r.numerator} * q == std::uint64_t{r.denominator} * p;
}

// Camera, date, exposure and position from each format to each, across a
// resize that turns the picture upright: Orientation becomes 1 and the
// pixel-size tags the new size; a TIFF output holds them where libtiff
// itself finds them. Stripping leaves no EXIF.
TEST(TiffExifTest, CarriedAcrossFormats) {
  struct carry_case {
    image_format from, to;
    pellimor::strip_mode strip;
  };
  const carry_case cases[] = {
      {image_format::tiff, image_format::tiff, pellimor::strip_mode::none},
      {image_format::tiff, image_format::jpeg, pellimor::strip_mode::none},
      {image_format::jpeg, image_format::tiff, pellimor::strip_mode::none},
      {image_format::tiff, image_format::png, pellimor::strip_mode::none},
      {image_format::tiff, image_format::tiff, pellimor::strip_mode::metadata},
      {image_format::tiff, image_format::jpeg, pellimor::strip_mode::metadata},
  };
  test_util::temp_dir dir;
  for (const carry_case& c : cases) {
    SCOPED_TRACE(std::string(pellimor::format_name(c.from)) + " -> " + pellimor::format_name(c.to) +
                 (c.strip == pellimor::strip_mode::none ? "" : " stripped"));
    const bytes file = c.from == image_format::tiff ? camera_tiff(dir, true) : camera_jpeg();
    ASSERT_FALSE(file.empty());
    const std::string in = dir.file(std::string("in") + pellimor::format_extension(c.from));
    const std::string out = dir.file(std::string("out") + pellimor::format_extension(c.to));
    test_util::write_file(in, std::string(file.begin(), file.end()));
    pellimor::file_options options;
    options.size = "50%";
    options.strip = c.strip;
    pellimor::resize_file(in, out, options);
    const pellimor::image got = pellimor::read_image(out);
    ASSERT_EQ(got.width, 3);
    ASSERT_EQ(got.height, 4);
    EXPECT_EQ(got.orientation, 1);
    if (c.strip != pellimor::strip_mode::none) {
      EXPECT_TRUE(got.meta.exif.empty());
      continue;
    }
    const facts f = facts_of(got.meta.exif);
    EXPECT_EQ(f.make, make);
    EXPECT_EQ(f.model, model);
    EXPECT_EQ(f.taken, taken);
    EXPECT_EQ(f.orientation, 1);
    EXPECT_EQ(f.pixel_x, 3u);
    EXPECT_EQ(f.pixel_y, 4u);
    EXPECT_TRUE(same_fraction(f.exposure, 1, 250)) << f.exposure.numerator << "/" << f.exposure.denominator;
    EXPECT_EQ(f.latitude_ref, "N");
    EXPECT_TRUE(same_fraction(f.latitude[0], 35, 1));
    EXPECT_TRUE(same_fraction(f.latitude[1], 0, 1));
    EXPECT_TRUE(same_fraction(f.latitude[2], 617, 50))
        << f.latitude[2].numerator << "/" << f.latitude[2].denominator;
    if (c.to != image_format::tiff) continue;

    TIFF* t = TIFFOpen(out.c_str(), "r");
    ASSERT_NE(t, nullptr);
    const char* text = nullptr;
    ASSERT_TRUE(TIFFGetField(t, TIFFTAG_MAKE, &text));
    EXPECT_STREQ(text, make);
    std::uint64_t exif_offset = 0, gps_offset = 0;
    ASSERT_TRUE(TIFFGetField(t, TIFFTAG_EXIFIFD, &exif_offset));
    ASSERT_TRUE(TIFFGetField(t, TIFFTAG_GPSIFD, &gps_offset));
    ASSERT_TRUE(TIFFReadEXIFDirectory(t, exif_offset));
    std::uint32_t pixel_x = 0;
    ASSERT_TRUE(TIFFGetField(t, EXIFTAG_PIXELXDIMENSION, &pixel_x));
    EXPECT_EQ(pixel_x, 3u);
    ASSERT_TRUE(TIFFGetField(t, EXIFTAG_DATETIMEORIGINAL, &text));
    EXPECT_STREQ(text, taken);
    ASSERT_TRUE(TIFFReadGPSDirectory(t, gps_offset));
    double* values = nullptr;
    ASSERT_TRUE(TIFFGetField(t, GPSTAG_LATITUDE, &values));
    for (int i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(values[i], latitude[i]);
    TIFFClose(t);
  }
}

// The offset in the main directory's ExifIFD entry of a classic
// little-endian file; 0 when there is none.
std::size_t exif_pointer_at(const bytes& file) {
  const auto le = [&](std::size_t at, int n) {
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | file[at + i];
    return v;
  };
  const std::size_t main = le(4, 4), count = le(main, 2);
  for (std::size_t i = 0; i < count; ++i)
    if (le(main + 2 + 12 * i, 2) == TIFFTAG_EXIFIFD) return main + 2 + 12 * i + 8;
  return 0;
}

void put_le(bytes* b, std::size_t at, std::uint32_t value, int n) {
  for (int i = 0; i < n; ++i) (*b)[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// An EXIF directory outside the file, at the main directory itself, of
// more entries than the file holds or than any camera writes, or claiming
// a value of 256 MiB, is not read: the picture and its other metadata
// read as ever, without EXIF. The directory as written reads, so the
// pointer the cases change is the one that counts.
TEST(TiffExifTest, HostileDirectoryNotRead) {
  test_util::temp_dir dir;
  const bytes good = camera_tiff(dir, false);
  ASSERT_EQ(good[0], 'I');
  const std::size_t pointer = exif_pointer_at(good);
  ASSERT_NE(pointer, 0u);
  struct hostile_case {
    const char* name;
    int kind;
  };
  const hostile_case cases[] = {{"as written", 0},    {"past the end", 1}, {"the main directory", 2},
                                {"60000 entries", 3}, {"1025 entries", 4}, {"a 256 MiB value", 5}};
  for (const hostile_case& c : cases) {
    SCOPED_TRACE(c.name);
    bytes file = good;
    if (file.size() % 2 != 0) file.push_back(0);  // a directory starts on a word
    const std::size_t end = file.size();
    switch (c.kind) {
      case 1:
        put_le(&file, pointer, static_cast<std::uint32_t>(end + 4096), 4);
        break;
      case 2:
        put_le(&file, pointer, file[4] | file[5] << 8 | file[6] << 16 | file[7] << 24, 4);
        break;
      case 3:
        file.resize(end + 2 + 24, 0);
        put_le(&file, end, 60000, 2);
        put_le(&file, pointer, static_cast<std::uint32_t>(end), 4);
        break;
      case 4:
        file.resize(end + 2 + 12 * 1025 + 4, 0);
        put_le(&file, end, 1025, 2);
        for (std::size_t i = 0; i < 1025; ++i) {
          put_le(&file, end + 2 + 12 * i, 0x9000 + static_cast<std::uint32_t>(i), 2);
          put_le(&file, end + 2 + 12 * i + 2, 3, 2);  // SHORT
          put_le(&file, end + 2 + 12 * i + 4, 1, 4);
        }
        put_le(&file, pointer, static_cast<std::uint32_t>(end), 4);
        break;
      case 5:
        file.resize(end + 2 + 12 + 4, 0);
        put_le(&file, end, 1, 2);
        put_le(&file, end + 2, EXIFTAG_DATETIMEORIGINAL, 2);
        put_le(&file, end + 4, 2, 2);  // ASCII
        put_le(&file, end + 6, 256u << 20, 4);
        put_le(&file, end + 10, 8, 4);
        put_le(&file, pointer, static_cast<std::uint32_t>(end), 4);
        break;
      default:
        break;
    }
    pellimor::image img;
    std::string err;
    ASSERT_TRUE(pellimor::decode_image(file.data(), file.size(), image_format::tiff, &img, &err)) << err;
    EXPECT_EQ(img.width, 8);
    ASSERT_FALSE(img.meta.texts.empty());
    EXPECT_EQ(img.meta.texts[0].value, make);
    if (c.kind == 0)
      EXPECT_EQ(facts_of(img.meta.exif).taken, taken);
    else
      EXPECT_TRUE(img.meta.exif.empty());
  }
}

}  // namespace
