// SPDX-License-Identifier: MIT
// metadata_test.cc - what a file says beside its pixels, carried through a
// resize: EXIF (made with libexif), XMP, text, density; what the output's
// own libraries read of it; what stripping leaves; what bounds hold.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <lcms2.h>
#include <libexif/exif-data.h>
#include <md5.h>
#include <png.h>
#include <tiffio.h>
#include <webp/demux.h>
#include <webp/mux.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <set>

#include "codec/codec_test_util.h"
#include "lib/resize_file.h"
#include "pellimor/pellimor.h"
#include "tests/test_util.h"

namespace {

using codec_test::bytes;
using pellimor::image_format;
using pellimor::metadata;

// Adds a one-value SHORT or LONG, or an ASCII, entry to `ifd`.
void add_entry(ExifData* d, ExifIfd ifd, ExifTag tag, ExifFormat format, std::uint32_t value,
               const char* text = nullptr) {
  ExifMem* mem = exif_mem_new_default();
  ExifEntry* e = exif_entry_new_mem(mem);
  e->tag = tag;
  e->format = format;
  e->components = text != nullptr ? std::strlen(text) + 1 : 1;
  e->size = format == EXIF_FORMAT_ASCII ? e->components : format == EXIF_FORMAT_SHORT ? 2 : 4;
  e->data = static_cast<unsigned char*>(exif_mem_alloc(mem, e->size));
  if (text != nullptr)
    std::memcpy(e->data, text, e->size);
  else if (format == EXIF_FORMAT_SHORT)
    exif_set_short(e->data, exif_data_get_byte_order(d), static_cast<ExifShort>(value));
  else
    exif_set_long(e->data, exif_data_get_byte_order(d), value);
  exif_content_add_entry(d->ifd[ifd], e);
  exif_entry_unref(e);
  exif_mem_unref(mem);
}

// An EXIF block (no "Exif\0\0") of a width x height picture stored with
// `orientation`, with a camera make and, when asked, a thumbnail.
bytes make_exif(int orientation, std::uint32_t width, std::uint32_t height, bool thumbnail,
                ExifByteOrder order = EXIF_BYTE_ORDER_INTEL) {
  ExifData* d = exif_data_new();
  exif_data_unset_option(d, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_set_byte_order(d, order);
  add_entry(d, EXIF_IFD_0, EXIF_TAG_ORIENTATION, EXIF_FORMAT_SHORT, orientation);
  add_entry(d, EXIF_IFD_0, EXIF_TAG_MAKE, EXIF_FORMAT_ASCII, 0, "Pellicam");
  add_entry(d, EXIF_IFD_EXIF, EXIF_TAG_PIXEL_X_DIMENSION, EXIF_FORMAT_SHORT, width);
  add_entry(d, EXIF_IFD_EXIF, EXIF_TAG_PIXEL_Y_DIMENSION, EXIF_FORMAT_LONG, height);
  static unsigned char thumb[] = {0xff, 0xd8, 0xff, 0xd9};
  if (thumbnail) {
    d->data = static_cast<unsigned char*>(std::malloc(sizeof thumb));
    std::memcpy(d->data, thumb, sizeof thumb);
    d->size = sizeof thumb;
  }
  unsigned char* saved = nullptr;
  unsigned int size = 0;
  exif_data_save_data(d, &saved, &size);
  exif_data_unref(d);
  bytes block(saved + 6, saved + size);
  std::free(saved);
  return block;
}

struct exif_facts {
  int orientation = 0;
  std::uint32_t pixel_x = 0, pixel_y = 0;
  std::string make;
  bool thumbnail = false;
};

std::uint32_t number_of(ExifData* d, ExifIfd ifd, ExifTag tag) {
  ExifEntry* e = exif_content_get_entry(d->ifd[ifd], tag);
  if (e == nullptr) return 0;
  const ExifByteOrder o = exif_data_get_byte_order(d);
  return e->format == EXIF_FORMAT_SHORT ? exif_get_short(e->data, o) : exif_get_long(e->data, o);
}

// What libexif reads from raw JPEG bytes or from "Exif\0\0" and a block.
exif_facts read_exif(const std::uint8_t* data, std::size_t size) {
  exif_facts f;
  ExifData* d = exif_data_new_from_data(data, static_cast<unsigned>(size));
  if (d == nullptr) return f;
  f.orientation = static_cast<int>(number_of(d, EXIF_IFD_0, EXIF_TAG_ORIENTATION));
  f.pixel_x = number_of(d, EXIF_IFD_EXIF, EXIF_TAG_PIXEL_X_DIMENSION);
  f.pixel_y = number_of(d, EXIF_IFD_EXIF, EXIF_TAG_PIXEL_Y_DIMENSION);
  if (ExifEntry* e = exif_content_get_entry(d->ifd[EXIF_IFD_0], EXIF_TAG_MAKE))
    f.make.assign(reinterpret_cast<const char*>(e->data), strnlen(reinterpret_cast<const char*>(e->data), e->size));
  f.thumbnail = d->data != nullptr && d->size > 0;
  exif_data_unref(d);
  return f;
}

exif_facts read_block(const bytes& block) {
  bytes with_header = {'E', 'x', 'i', 'f', 0, 0};
  with_header.insert(with_header.end(), block.begin(), block.end());
  return read_exif(with_header.data(), with_header.size());
}

const char* const xmp_packet = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><dc:title>Kyoto</dc:title></x:xmpmeta>";

// Which text keys `format` holds.
bool holds_key(image_format format, const std::string& key) {
  switch (format) {
    case image_format::png: return true;
    case image_format::jpeg: return key == "Comment";
    case image_format::tiff: return key == "Description" || key == "Author";
    default: return false;
  }
}

bool holds_exif(image_format format) { return format != image_format::bmp; }

// WebP has no density but what EXIF says, and the EXIF here says none.
bool holds_density(image_format format) { return format != image_format::webp; }

// An 8 x 6 picture stored turned (orientation 6) with every kind of
// metadata `format` holds: a resize to 50% gives 3 x 4 as displayed.
pellimor::image source_picture(image_format format) {
  pellimor::image img = codec_test::smooth_image(8, 6, 3);
  img.orientation = 6;
  img.icc = codec_test::icc_profile(560, "RGB ");
  metadata& m = img.meta;
  if (holds_exif(format)) m.exif = make_exif(6, 8, 6, false);
  m.xmp = xmp_packet;
  const metadata::text texts[] = {{"Comment", "caf\xc3\xa9 at dusk", true},
                                  {"Description", "a lantern"},
                                  {"Author", "K. Ito"}};
  for (const metadata::text& t : texts)
    if (holds_key(format, t.key)) m.texts.push_back(t);
  m.density_unit = 1;
  m.x_density = 300;
  m.y_density = 150;
  return img;
}

std::string extension(image_format f) { return pellimor::format_extension(f); }

// Each item goes from each format to each, across a resize, where both
// formats hold it; the pixel-size tags and Orientation follow the pixels,
// and the density (dots per inch) follows the turn.
TEST(MetadataTest, ItemsCarriedBetweenFormats) {
  const image_format formats[] = {image_format::jpeg, image_format::png, image_format::tiff, image_format::webp};
  test_util::temp_dir dir;
  for (const image_format from : formats) {
    for (const image_format to : formats) {
      SCOPED_TRACE(std::string(pellimor::format_name(from)) + " -> " + pellimor::format_name(to));
      const pellimor::image src = source_picture(from);
      std::string err;
      const bytes file = codec_test::encode(src, from, &err);
      ASSERT_FALSE(file.empty()) << err;
      const std::string in = dir.file("in" + extension(from)), out = dir.file("out" + extension(to));
      test_util::write_file(in, std::string(file.begin(), file.end()));
      pellimor::file_options options;
      options.size = "50%";
      pellimor::resize_file(in, out, options);
      const pellimor::image got = pellimor::read_image(out);
      ASSERT_EQ(got.width, 3);
      ASSERT_EQ(got.height, 4);
      EXPECT_EQ(got.icc, src.icc);
      const metadata& m = got.meta;
      if (holds_exif(from) && holds_exif(to)) {
        const exif_facts e = read_block(m.exif);
        EXPECT_EQ(e.orientation, 1);
        EXPECT_EQ(e.pixel_x, 3u);
        EXPECT_EQ(e.pixel_y, 4u);
        EXPECT_EQ(e.make, "Pellicam");
      } else {
        EXPECT_TRUE(m.exif.empty());
      }
      EXPECT_EQ(m.xmp, xmp_packet);
      std::set<std::string> expected, seen;
      for (const metadata::text& t : src.meta.texts)
        if (holds_key(to, t.key)) expected.insert(t.key + "=" + t.value);
      // A TIFF's main directory is the EXIF's first: the camera's Make is a
      // tag there, and a text once read.
      if (to == image_format::tiff || (from == image_format::tiff && holds_key(to, "Make")))
        expected.insert("Make=Pellicam");
      for (const metadata::text& t : m.texts) seen.insert(t.key + "=" + t.value);
      EXPECT_EQ(seen, expected);
      // Turned a quarter: across and down swap. In dots per inch whatever
      // unit the file counts in (PNG: per metre, rounded).
      double x = 0, y = 0;
      if (!holds_density(from) || !holds_density(to)) {
        EXPECT_FALSE(pellimor::codecs::density_in(m, 1, &x, &y));
        continue;
      }
      ASSERT_TRUE(pellimor::codecs::density_in(m, 1, &x, &y));
      EXPECT_NEAR(x, 150, 0.02);
      EXPECT_NEAR(y, 300, 0.02);
    }
  }
}

// What each format's own library reads from the output: the file itself is
// right, not just this program's reading of it.
TEST(MetadataTest, OutputsReadByTheirOwnLibraries) {
  pellimor::image img = codec_test::smooth_image(5, 4, 3);
  img.meta.exif = make_exif(1, 40, 32, false, EXIF_BYTE_ORDER_MOTOROLA);
  img.meta.texts = {{"Comment", "first"}, {"Comment", "second"}, {"Description", "d"}};
  img.meta.density_unit = 1;
  img.meta.x_density = 72;
  img.meta.y_density = 96;
  std::string err;

  const bytes jpeg = codec_test::encode(img, image_format::jpeg, &err);
  ASSERT_FALSE(jpeg.empty()) << err;
  const exif_facts e = read_exif(jpeg.data(), jpeg.size());
  EXPECT_EQ(e.pixel_x, 5u);
  EXPECT_EQ(e.pixel_y, 4u);
  EXPECT_EQ(e.make, "Pellicam");
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr jerr{};
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_save_markers(&cinfo, JPEG_COM, 0xffff);
  jpeg_read_header(&cinfo, TRUE);
  EXPECT_EQ(cinfo.density_unit, 1);
  EXPECT_EQ(cinfo.X_density, 72);
  EXPECT_EQ(cinfo.Y_density, 96);
  std::vector<std::string> comments;
  for (jpeg_saved_marker_ptr m = cinfo.marker_list; m != nullptr; m = m->next)
    comments.emplace_back(reinterpret_cast<const char*>(m->data), m->data_length);
  jpeg_destroy_decompress(&cinfo);
  EXPECT_EQ(comments, (std::vector<std::string>{"first", "second"}));

  const bytes png = codec_test::encode(img, image_format::png, &err);
  ASSERT_FALSE(png.empty()) << err;
  {
    png_structp p = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(p);
    struct reader {
      const bytes* b;
      std::size_t at;
    } r{&png, 0};
    png_set_read_fn(p, &r, [](png_structp s, png_bytep out, png_size_t n) {
      auto* rd = static_cast<reader*>(png_get_io_ptr(s));
      std::memcpy(out, rd->b->data() + rd->at, n);
      rd->at += n;
    });
    png_read_info(p, info);
    png_uint_32 px = 0, py = 0;
    int unit = -1;
    ASSERT_NE(png_get_pHYs(p, info, &px, &py, &unit), 0u);
    EXPECT_EQ(unit, PNG_RESOLUTION_METER);
    EXPECT_EQ(px, 2835u);  // 72 / 0.0254, rounded
    EXPECT_EQ(py, 3780u);
    png_uint_32 exif_size = 0;
    png_bytep exif = nullptr;
    ASSERT_NE(png_get_eXIf_1(p, info, &exif_size, &exif), 0u);
    const exif_facts pe = read_block(bytes(exif, exif + exif_size));
    EXPECT_EQ(pe.pixel_x, 5u);
    EXPECT_EQ(pe.make, "Pellicam");
    png_textp text = nullptr;
    int count = 0;
    png_get_text(p, info, &text, &count);
    std::vector<std::string> keys;
    for (int i = 0; i < count; ++i) keys.push_back(std::string(text[i].key) + "=" + text[i].text);
    EXPECT_EQ(keys, (std::vector<std::string>{"Comment=first", "Comment=second", "Description=d"}));
    png_destroy_read_struct(&p, &info, nullptr);
  }

  const bytes tiff = codec_test::encode(img, image_format::tiff, &err);
  ASSERT_FALSE(tiff.empty()) << err;
  test_util::temp_dir dir;
  test_util::write_file(dir.file("t.tif"), std::string(tiff.begin(), tiff.end()));
  TIFF* t = TIFFOpen(dir.file("t.tif").c_str(), "r");
  ASSERT_NE(t, nullptr);
  float x = 0, y = 0;
  std::uint16_t unit = 0;
  const char* description = nullptr;
  EXPECT_TRUE(TIFFGetField(t, TIFFTAG_XRESOLUTION, &x) && TIFFGetField(t, TIFFTAG_YRESOLUTION, &y));
  TIFFGetField(t, TIFFTAG_RESOLUTIONUNIT, &unit);
  EXPECT_EQ(x, 72.0f);
  EXPECT_EQ(y, 96.0f);
  EXPECT_EQ(unit, RESUNIT_INCH);
  ASSERT_TRUE(TIFFGetField(t, TIFFTAG_IMAGEDESCRIPTION, &description));
  EXPECT_STREQ(description, "d");
  TIFFClose(t);

  // WebP: the block without JPEG's "Exif\0\0" in front, the packet as it is,
  // and the flags that say the chunks are there.
  img.meta.xmp = xmp_packet;
  const bytes webp = codec_test::encode(img, image_format::webp, &err);
  ASSERT_FALSE(webp.empty()) << err;
  const WebPData whole = {webp.data(), webp.size()};
  WebPDemuxer* demux = WebPDemux(&whole);
  ASSERT_NE(demux, nullptr);
  const std::uint32_t flags = WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS);
  EXPECT_NE(flags & EXIF_FLAG, 0u);
  EXPECT_NE(flags & XMP_FLAG, 0u);
  WebPChunkIterator chunk;
  ASSERT_TRUE(WebPDemuxGetChunk(demux, "EXIF", 1, &chunk));
  const bytes block(chunk.chunk.bytes, chunk.chunk.bytes + chunk.chunk.size);
  WebPDemuxReleaseChunkIterator(&chunk);
  EXPECT_EQ(std::string(block.begin(), block.begin() + 2), "MM");
  const exif_facts we = read_block(block);
  EXPECT_EQ(we.pixel_x, 5u);
  EXPECT_EQ(we.pixel_y, 4u);
  EXPECT_EQ(we.make, "Pellicam");
  ASSERT_TRUE(WebPDemuxGetChunk(demux, "XMP ", 1, &chunk));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(chunk.chunk.bytes), chunk.chunk.size), xmp_packet);
  WebPDemuxReleaseChunkIterator(&chunk);
  WebPDemuxDelete(demux);
}

// Stripping: none keeps all, metadata keeps the ICC profile alone, all
// keeps nothing; the keyword interface and the verb ask for the same.
TEST(MetadataTest, StripLeavesWhatItSays) {
  test_util::temp_dir dir;
  const pellimor::image src = source_picture(image_format::jpeg);
  std::string err;
  const bytes file = codec_test::encode(src, image_format::jpeg, &err);
  ASSERT_FALSE(file.empty()) << err;
  test_util::write_file(dir.file("in.jpg"), std::string(file.begin(), file.end()));
  struct strip_case {
    pellimor::strip_mode mode;
    std::string keyword, verb;
    bool meta, icc;
  };
  const strip_case cases[] = {
      {pellimor::strip_mode::none, "", "", true, true},
      {pellimor::strip_mode::metadata, "-strip meta", "--strip", false, true},
      {pellimor::strip_mode::all, "-strip all", "--strip=all", false, false},
  };
  for (const strip_case& c : cases) {
    for (const std::string format : {"png", "webp", "tif"}) {
      SCOPED_TRACE(c.verb + " " + format);
      pellimor::file_options options;
      options.strip = c.mode;
      pellimor::resize_file(dir.file("in.jpg"), dir.file("api." + format), options);
      ASSERT_EQ(
          test_util::run_program(dir, "-i in.jpg -o kw -format " + format + " -progress off " + c.keyword)
              .status,
          0);
      ASSERT_EQ(test_util::run_program(dir, "resize -q " + c.verb + " in.jpg verb." + format).status, 0);
      for (const std::string name : {"api.", "kw.", "verb."}) {
        SCOPED_TRACE(name);
        const pellimor::image got = pellimor::read_image(dir.file(name + format));
        EXPECT_EQ(!got.meta.empty(), c.meta);
        EXPECT_EQ(!got.meta.exif.empty(), c.meta);
        EXPECT_EQ(got.meta.xmp.empty(), !c.meta);
        EXPECT_EQ(!got.icc.empty(), c.icc);
      }
    }
  }
}

// The thumbnail still shows the picture at any size, but not once the
// pixels are turned and Orientation no longer says so: then it goes.
TEST(MetadataTest, ThumbnailKeptUnlessThePixelsTurn) {
  for (const int orientation : {1, 6}) {
    SCOPED_TRACE(orientation);
    pellimor::image img = codec_test::smooth_image(4, 4, 3);
    img.meta.exif = make_exif(orientation, 4, 4, true);
    ASSERT_TRUE(read_block(img.meta.exif).thumbnail);
    std::string err;
    const bytes file = codec_test::encode(img, image_format::jpeg, &err);
    ASSERT_FALSE(file.empty()) << err;
    pellimor::image read;
    ASSERT_TRUE(pellimor::decode_image(file.data(), file.size(), image_format::jpeg, &read, &err)) << err;
    ASSERT_TRUE(pellimor::apply_orientation(&read));
    const bytes turned = codec_test::encode(read, image_format::jpeg, &err);
    const exif_facts e = read_exif(turned.data(), turned.size());
    EXPECT_EQ(e.orientation, 1);
    EXPECT_EQ(e.thumbnail, orientation == 1);
  }
}

// PNG's colour chunks into formats without them become an ICC profile only
// where they say enough, and then one that maps colour as they do: grey
// 128 of linear light (gAMA 1.0) is sRGB's 188, of sRGB itself 128.
TEST(MetadataTest, PngColourChunksBecomeAProfileElsewhere) {
  static constexpr std::uint32_t srgb_chroma[8] = {31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000};
  struct chunk_case {
    const char* name;
    int srgb_intent;
    std::uint32_t gamma;
    bool chroma;
    int grey;  // what 128 is in sRGB; 0: no profile
  };
  const chunk_case cases[] = {
      {"sRGB", 0, 45455, true, 128},
      {"gAMA 1.0 and cHRM", -1, 100000, true, 188},
      {"gAMA alone", -1, 45455, false, 0},
  };
  test_util::temp_dir dir;
  for (const chunk_case& c : cases) {
    SCOPED_TRACE(c.name);
    pellimor::image img = codec_test::smooth_image(4, 4, 3);
    img.meta.srgb_intent = c.srgb_intent;
    img.meta.gamma = c.gamma;
    if (c.chroma) std::copy(srgb_chroma, srgb_chroma + 8, img.meta.chroma);
    pellimor::write_image(dir.file("in.png"), img);
    pellimor::resize_file(dir.file("in.png"), dir.file("out.tif"));
    const pellimor::image got = pellimor::read_image(dir.file("out.tif"));
    ASSERT_EQ(got.icc.empty(), c.grey == 0);
    if (c.grey == 0) continue;
    cmsHPROFILE from = cmsOpenProfileFromMem(got.icc.data(), static_cast<cmsUInt32Number>(got.icc.size()));
    cmsHPROFILE to = cmsCreate_sRGBProfile();
    cmsHTRANSFORM t = cmsCreateTransform(from, TYPE_RGB_8, to, TYPE_RGB_8, INTENT_RELATIVE_COLORIMETRIC, 0);
    ASSERT_NE(t, nullptr);
    const std::uint8_t in[3] = {128, 128, 128};
    std::uint8_t out[3] = {};
    cmsDoTransform(t, in, out, 1);
    cmsDeleteTransform(t);
    cmsCloseProfile(from);
    cmsCloseProfile(to);
    for (const std::uint8_t v : out) EXPECT_NEAR(v, c.grey, 2);
  }
}

// A file of no metadata gives none, so that its output is what it was
// before metadata was carried: JFIF's default square pixels are no density.
TEST(MetadataTest, PlainFilesHoldNone) {
  for (const image_format format :
       {image_format::jpeg, image_format::png, image_format::tiff, image_format::bmp, image_format::webp}) {
    SCOPED_TRACE(pellimor::format_name(format));
    std::string err;
    const bytes file = codec_test::encode(codec_test::smooth_image(6, 5, 3), format, &err);
    ASSERT_FALSE(file.empty()) << err;
    metadata m;
    m.xmp = "left over";
    pellimor::read_metadata(file.data(), file.size(), format, &m);
    EXPECT_TRUE(m.empty());
  }
}

// A WebP EXIF chunk is read with or without JPEG's "Exif\0\0" in front,
// and either way the block kept starts at its TIFF header.
TEST(MetadataTest, WebpExifWithOrWithoutPrefix) {
  const bytes block = make_exif(3, 4, 4, false);
  std::string err;
  const bytes plain = codec_test::encode(codec_test::smooth_image(4, 4, 3), image_format::webp, &err);
  ASSERT_FALSE(plain.empty()) << err;
  for (const bool prefix : {false, true}) {
    SCOPED_TRACE(prefix);
    bytes chunk = prefix ? bytes{'E', 'x', 'i', 'f', 0, 0} : bytes{};
    chunk.insert(chunk.end(), block.begin(), block.end());
    const WebPData whole = {plain.data(), plain.size()}, exif = {chunk.data(), chunk.size()};
    WebPMux* mux = WebPMuxCreate(&whole, 0);
    ASSERT_NE(mux, nullptr);
    ASSERT_EQ(WebPMuxSetChunk(mux, "EXIF", &exif, 1), WEBP_MUX_OK);
    WebPData assembled = {nullptr, 0};
    ASSERT_EQ(WebPMuxAssemble(mux, &assembled), WEBP_MUX_OK);
    WebPMuxDelete(mux);
    const bytes file(assembled.bytes, assembled.bytes + assembled.size);
    WebPDataClear(&assembled);
    pellimor::image img;
    ASSERT_TRUE(pellimor::decode_image(file.data(), file.size(), image_format::webp, &img, &err)) << err;
    EXPECT_EQ(img.meta.exif, block);
    EXPECT_EQ(img.orientation, 3);
  }
}

// A zTXt chunk that inflates past the text bound, and an EXIF marker of
// nothing libexif reads, are left out; the picture itself still reads.
TEST(MetadataTest, HostileMetadataLeftOut) {
  std::string err;
  const bytes plain = codec_test::encode(codec_test::smooth_image(4, 4, 1), image_format::png, &err);
  ASSERT_FALSE(plain.empty()) << err;
  const std::string zeros(pellimor::codecs::max_text_bytes + 1, '\0');
  uLongf packed_size = compressBound(zeros.size());
  bytes packed(packed_size);
  ASSERT_EQ(compress(packed.data(), &packed_size, reinterpret_cast<const Bytef*>(zeros.data()), zeros.size()),
            Z_OK);
  bytes chunk = {'z', 'T', 'X', 't', 'b', 'o', 'm', 'b', 0, 0};
  chunk.insert(chunk.end(), packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(packed_size));
  bytes file(plain.begin(), plain.begin() + 33);  // signature and IHDR
  file.resize(file.size() + 4);
  codec_test::put_be(&file, file.size() - 4, static_cast<std::uint32_t>(chunk.size() - 4), 4);
  file.insert(file.end(), chunk.begin(), chunk.end());
  const std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, chunk.data(), static_cast<uInt>(chunk.size())));
  file.resize(file.size() + 4);
  codec_test::put_be(&file, file.size() - 4, crc, 4);
  file.insert(file.end(), plain.begin() + 33, plain.end());
  pellimor::image img;
  ASSERT_TRUE(pellimor::decode_image(file.data(), file.size(), image_format::png, &img, &err)) << err;
  EXPECT_TRUE(img.meta.texts.empty());

  pellimor::image junk = codec_test::smooth_image(4, 4, 3);
  junk.meta.exif = {'I', 'I', 42, 0, 0xff, 0xff, 0xff, 0x7f, 1, 2, 3};
  const bytes out = codec_test::encode(junk, image_format::jpeg, &err);
  ASSERT_FALSE(out.empty()) << err;
  metadata m;
  pellimor::read_metadata(out.data(), out.size(), image_format::jpeg, &m);
  EXPECT_TRUE(m.exif.empty());
}

}  // namespace

namespace {

// libjpeg writes CMYK with an Adobe marker, which has no density: it goes
// in EXIF (as libvips writes it), in the picture's own unit, beside what
// the EXIF already holds, and reads back from there.
TEST(MetadataTest, CmykJpegDensityInExif) {
  struct density_case {
    int unit;
    double x, y;
    bool exif;
    ExifRational x_stored;
    ExifShort unit_stored;
  };
  const density_case cases[] = {
      {1, 300, 150, false, {300, 1}, 2},
      {2, 118.11, 47.25, true, {11811, 100}, 3},
  };
  for (const density_case& c : cases) {
    SCOPED_TRACE(c.unit);
    pellimor::image img = codec_test::smooth_image(5, 4, 4);
    img.cmyk = true;
    img.meta.density_unit = c.unit;
    img.meta.x_density = c.x;
    img.meta.y_density = c.y;
    if (c.exif) img.meta.exif = make_exif(1, 5, 4, false);
    std::string err;
    const bytes file = codec_test::encode(img, image_format::jpeg, &err);
    ASSERT_FALSE(file.empty()) << err;
    pellimor::image got;
    ASSERT_TRUE(pellimor::decode_image(file.data(), file.size(), image_format::jpeg, &got, &err)) << err;
    EXPECT_TRUE(got.cmyk);
    EXPECT_EQ(got.meta.density_unit, c.unit);
    EXPECT_DOUBLE_EQ(got.meta.x_density, c.x);
    EXPECT_DOUBLE_EQ(got.meta.y_density, c.y);
    EXPECT_EQ(read_exif(file.data(), file.size()).make, c.exif ? "Pellicam" : "");
    ExifData* d = exif_data_new_from_data(file.data(), static_cast<unsigned>(file.size()));
    ASSERT_NE(d, nullptr);
    const ExifByteOrder o = exif_data_get_byte_order(d);
    ExifEntry* x = exif_content_get_entry(d->ifd[EXIF_IFD_0], EXIF_TAG_X_RESOLUTION);
    ExifEntry* unit = exif_content_get_entry(d->ifd[EXIF_IFD_0], EXIF_TAG_RESOLUTION_UNIT);
    ASSERT_TRUE(x != nullptr && unit != nullptr);
    const ExifRational r = exif_get_rational(x->data, o);
    EXPECT_EQ(r.numerator, c.x_stored.numerator);
    EXPECT_EQ(r.denominator, c.x_stored.denominator);
    EXPECT_EQ(exif_get_short(unit->data, o), c.unit_stored);
    exif_data_unref(d);
  }
}

}  // namespace

namespace {

void append_bytes(png_structp p, png_bytep data, png_size_t n) {
  auto* out = static_cast<bytes*>(png_get_io_ptr(p));
  out->insert(out->end(), data, data + n);
}

// An iTXt chunk's language tag and translated keyword go PNG -> PNG with
// its text, compressed or not, as libpng reads them back; an iTXt chunk
// without them gets none.
TEST(MetadataTest, PngItxtLanguageKept) {
  struct itxt {
    const char *key, *text, *language, *translated;
    int compression;
  };
  const itxt chunks[] = {
      {"Title", "\xe4\xba\xac\xe9\x83\xbd", "ja", "\xe9\xa1\x8c\xe5\x90\x8d", PNG_ITXT_COMPRESSION_NONE},
      {"Description", "a lantern at dusk", "en-GB", "", PNG_ITXT_COMPRESSION_zTXt},
      {"Comment", "no language", "", "", PNG_ITXT_COMPRESSION_NONE},
  };
  bytes file;
  {
    png_structp p = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(p);
    png_set_write_fn(p, &file, append_bytes, nullptr);
    png_set_IHDR(p, info, 4, 4, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE,
                 PNG_FILTER_TYPE_BASE);
    std::vector<png_text> texts;
    for (const itxt& c : chunks) {
      png_text t{};
      t.compression = c.compression;
      t.key = const_cast<char*>(c.key);
      t.text = const_cast<char*>(c.text);
      t.itxt_length = std::strlen(c.text);
      t.lang = const_cast<char*>(c.language);
      t.lang_key = const_cast<char*>(c.translated);
      texts.push_back(t);
    }
    png_set_text(p, info, texts.data(), static_cast<int>(texts.size()));
    png_write_info(p, info);
    std::uint8_t row[4] = {10, 80, 160, 240};
    for (int y = 0; y < 4; ++y) png_write_row(p, row);
    png_write_end(p, info);
    png_destroy_write_struct(&p, &info);
  }
  test_util::temp_dir dir;
  test_util::write_file(dir.file("in.png"), std::string(file.begin(), file.end()));
  pellimor::file_options options;
  options.size = "50%";
  pellimor::resize_file(dir.file("in.png"), dir.file("out.png"), options);
  const std::string out = test_util::read_file(dir.file("out.png"));

  png_structp p = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(p);
  struct reader {
    const std::string* b;
    std::size_t at;
  } r{&out, 0};
  png_set_read_fn(p, &r, [](png_structp s, png_bytep to, png_size_t n) {
    auto* rd = static_cast<reader*>(png_get_io_ptr(s));
    std::memcpy(to, rd->b->data() + rd->at, n);
    rd->at += n;
  });
  png_read_info(p, info);
  png_textp text = nullptr;
  int count = 0;
  png_get_text(p, info, &text, &count);
  ASSERT_EQ(count, 3);
  for (int i = 0; i < count; ++i) {
    SCOPED_TRACE(chunks[i].key);
    EXPECT_STREQ(text[i].key, chunks[i].key);
    EXPECT_EQ(std::string(text[i].text, text[i].itxt_length), chunks[i].text);
    EXPECT_EQ(text[i].compression, chunks[i].compression);
    EXPECT_STREQ(text[i].lang != nullptr ? text[i].lang : "", chunks[i].language);
    EXPECT_STREQ(text[i].lang_key != nullptr ? text[i].lang_key : "", chunks[i].translated);
  }
  png_destroy_read_struct(&p, &info, nullptr);
}

}  // namespace

namespace {

// MD5 as upper-case hexadecimal, worked out here with libmd's one-call form.
std::string md5_hex(const std::string& s) {
  char digest[MD5_DIGEST_STRING_LENGTH];
  MD5Data(reinterpret_cast<const std::uint8_t*>(s.data()), s.size(), digest);
  std::string upper(digest);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

// The APP1 markers of a JPEG, as libjpeg reads them.
std::vector<std::string> app1_markers(const bytes& jpeg) {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr jerr{};
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xffff);
  jpeg_read_header(&cinfo, TRUE);
  std::vector<std::string> markers;
  for (jpeg_saved_marker_ptr m = cinfo.marker_list; m != nullptr; m = m->next)
    markers.emplace_back(reinterpret_cast<const char*>(m->data), m->data_length);
  jpeg_destroy_decompress(&cinfo);
  return markers;
}

std::string xmp_of_size(std::size_t size) {
  std::string packet = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><dc:description>";
  const std::string tail = "</dc:description></x:xmpmeta>";
  for (std::size_t i = 0; packet.size() + tail.size() < size; ++i) packet += static_cast<char>('a' + i % 26);
  return packet + tail;
}

// A packet too large for one marker goes into Adobe's extended XMP: the
// standard packet names it by its MD5, the pieces (each in one marker)
// give its length and their offsets, and it reads back whole; JPEG ->
// JPEG keeps a foreign file's standard and extended packets apart.
TEST(MetadataTest, JpegExtendedXmp) {
  const std::string packet = xmp_of_size(150000);
  pellimor::image img = codec_test::smooth_image(4, 4, 3);
  img.meta.xmp = packet;
  std::string err;
  const bytes jpeg = codec_test::encode(img, image_format::jpeg, &err);
  ASSERT_FALSE(jpeg.empty()) << err;
  const std::string guid = md5_hex(packet);
  static const std::string standard_name("http://ns.adobe.com/xap/1.0/\0", 29),
      extended_name("http://ns.adobe.com/xmp/extension/\0", 35);
  std::string standard, joined;
  int pieces = 0;
  for (const std::string& m : app1_markers(jpeg)) {
    if (m.compare(0, standard_name.size(), standard_name) == 0) standard = m.substr(standard_name.size());
    if (m.compare(0, extended_name.size(), extended_name) != 0) continue;
    ASSERT_EQ(m.substr(35, 32), guid);
    const auto be = [&](std::size_t at) {
      return static_cast<std::uint32_t>(static_cast<std::uint8_t>(m[at])) << 24 |
             static_cast<std::uint32_t>(static_cast<std::uint8_t>(m[at + 1])) << 16 |
             static_cast<std::uint32_t>(static_cast<std::uint8_t>(m[at + 2])) << 8 |
             static_cast<std::uint8_t>(m[at + 3]);
    };
    EXPECT_EQ(be(67), packet.size());
    EXPECT_EQ(be(71), joined.size());
    joined += m.substr(75);
    ++pieces;
  }
  EXPECT_EQ(pieces, 3);
  EXPECT_EQ(joined, packet);
  EXPECT_NE(standard.find("xmpNote:HasExtendedXMP=\"" + guid + "\""), std::string::npos);
  pellimor::image back;
  ASSERT_TRUE(pellimor::decode_image(jpeg.data(), jpeg.size(), image_format::jpeg, &back, &err)) << err;
  EXPECT_EQ(back.meta.xmp, packet);
  EXPECT_TRUE(back.meta.xmp_extended.empty());

  // A foreign file: its own standard packet naming an extended one. The
  // extension is kept only whole and of the MD5 it is named by.
  struct foreign_case {
    const char* name;
    bool named, whole;
    bool kept;
  };
  const foreign_case cases[] = {
      {"as written", true, true, true},
      {"a piece missing", true, false, false},
      {"named by another MD5", false, true, false},
  };
  const std::string extension = xmp_of_size(70000);
  for (const foreign_case& c : cases) {
    SCOPED_TRACE(c.name);
    pellimor::image foreign = codec_test::smooth_image(4, 4, 3);
    const std::string name = c.named ? md5_hex(extension) : md5_hex("something else");
    foreign.meta.xmp = "<x:xmpmeta><rdf:Description dc:format=\"image/jpeg\" xmpNote:HasExtendedXMP=\"" + name +
                       "\"/></x:xmpmeta>";
    foreign.meta.xmp_extended = extension;
    // Written by this program when the name is right; otherwise pieces
    // are put in by hand below.
    bytes file = codec_test::encode(foreign, image_format::jpeg, &err);
    ASSERT_FALSE(file.empty()) << err;
    if (!c.named || !c.whole) {
      foreign.meta.xmp_extended.clear();
      file = codec_test::encode(foreign, image_format::jpeg, &err);
      // Two pieces, the second only when whole, after SOI.
      const std::size_t half = extension.size() / 2;
      for (const std::size_t at : c.whole ? std::vector<std::size_t>{half, 0} : std::vector<std::size_t>{0}) {
        const std::size_t n = at == 0 ? half : extension.size() - half;
        bytes segment = {0xff, 0xe1, 0, 0};
        segment.insert(segment.end(), extended_name.begin(), extended_name.end());
        segment.insert(segment.end(), name.begin(), name.end());
        for (const std::size_t v : {extension.size(), at})
          for (int shift = 24; shift >= 0; shift -= 8) segment.push_back(static_cast<std::uint8_t>(v >> shift));
        segment.insert(segment.end(), extension.begin() + static_cast<std::ptrdiff_t>(at),
                       extension.begin() + static_cast<std::ptrdiff_t>(at + n));
        codec_test::put_be(&segment, 2, static_cast<std::uint32_t>(segment.size() - 2), 2);
        file.insert(file.begin() + 2, segment.begin(), segment.end());
      }
    }
    pellimor::image got;
    ASSERT_TRUE(pellimor::decode_image(file.data(), file.size(), image_format::jpeg, &got, &err)) << err;
    EXPECT_EQ(got.meta.xmp, foreign.meta.xmp);
    EXPECT_EQ(got.meta.xmp_extended, c.kept ? extension : "");
    if (!c.kept) continue;
    const bytes again = codec_test::encode(got, image_format::jpeg, &err);
    pellimor::image twice;
    ASSERT_TRUE(pellimor::decode_image(again.data(), again.size(), image_format::jpeg, &twice, &err)) << err;
    EXPECT_EQ(twice.meta.xmp, foreign.meta.xmp);
    EXPECT_EQ(twice.meta.xmp_extended, extension);
  }
}

}  // namespace
