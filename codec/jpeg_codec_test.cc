// SPDX-License-Identifier: MIT
// jpeg_codec_test.cc - the JPEG codec against files written here with
// libjpeg: every colour model and chroma subsampling, progressive, CMYK with
// and without Adobe's inversion, EXIF and ICC markers; damaged files; the
// encoder's output read back with plain libjpeg calls.
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <cmath>
#include <csetjmp>
#include <cstring>
#include <string>
#include <vector>

#include "codec/codec_test_util.h"
#include "gtest/gtest.h"

namespace {

using namespace pellimor;
using codec_test::bytes;

// What make_jpeg writes.
struct jpeg_form {
  const char* name;
  J_COLOR_SPACE stored = JCS_YCbCr;  // colour model in the file
  int h = 2, v = 2;                  // luma sampling factors (chroma 1x1)
  bool progressive = false;
  bool adobe = true;  // an Adobe marker (CMYK and YCCK only)
  std::int32_t width = 37, height = 21;
  bool arithmetic = false;  // arithmetic coding instead of Huffman's
  int scans = 0;            // grey only: progressive in this many scans (see make_jpeg)
};

// Writes `img` (grey, RGB or, for a CMYK file, 4-channel CMYK samples) with
// the extra markers given (APP number, contents) and an optional ICC profile.
bytes make_jpeg(const jpeg_form& form, const image& img,
                const std::vector<std::pair<int, bytes>>& markers = {}, const bytes& icc = {}) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long out_size = 0;
  jpeg_mem_dest(&cinfo, &out, &out_size);
  cinfo.image_width = img.width;
  cinfo.image_height = img.height;
  cinfo.input_components = img.channels;
  cinfo.in_color_space = img.channels == 1 ? JCS_GRAYSCALE : img.channels == 3 ? JCS_RGB : JCS_CMYK;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 95, TRUE);
  jpeg_set_colorspace(&cinfo, form.stored);
  if (form.stored == JCS_CMYK || form.stored == JCS_YCCK) cinfo.write_Adobe_marker = form.adobe;
  cinfo.comp_info[0].h_samp_factor = form.h;
  cinfo.comp_info[0].v_samp_factor = form.v;
  if (form.progressive) jpeg_simple_progression(&cinfo);
  // As many scans as asked, up to 190: DC at full precision, then each AC
  // coefficient on its own, first without its two lowest bits, then
  // refined bit by bit.
  std::vector<jpeg_scan_info> script;
  if (form.scans > 0) script.push_back({1, {0}, 0, 0, 0, 0});
  for (const auto& [ah, al] : {std::pair{0, 2}, {2, 1}, {1, 0}})
    for (int k = 1; k < 64 && static_cast<int>(script.size()) < form.scans; ++k)
      script.push_back({1, {0}, k, k, ah, al});
  if (!script.empty()) {
    cinfo.scan_info = script.data();
    cinfo.num_scans = static_cast<int>(script.size());
  }
  cinfo.arith_code = form.arithmetic;
  jpeg_start_compress(&cinfo, TRUE);
  for (const auto& [app, data] : markers)
    jpeg_write_marker(&cinfo, JPEG_APP0 + app, data.data(), data.size());
  if (!icc.empty()) jpeg_write_icc_profile(&cinfo, icc.data(), static_cast<unsigned>(icc.size()));
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(img.row(cinfo.next_scanline));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  bytes file(out, out + out_size);
  std::free(out);
  return file;
}

// A file decoded with plain libjpeg calls and the library's defaults.
struct plain_jpeg {
  image img;
  int h = 0, v = 0;  // luma sampling factors
  int components = 0;
  bool progressive = false;
  bytes icc;
};

struct plain_error {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

void plain_exit(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<plain_error*>(cinfo->err)->jump, 1); }

bool read_plain(const bytes& file, plain_jpeg* out) {
  jpeg_decompress_struct cinfo;
  plain_error err;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = plain_exit;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, file.data(), file.size());
  jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xffff);
  jpeg_read_header(&cinfo, TRUE);
  JOCTET* icc = nullptr;
  unsigned icc_size = 0;
  if (jpeg_read_icc_profile(&cinfo, &icc, &icc_size)) {
    out->icc.assign(icc, icc + icc_size);
    std::free(icc);
  }
  out->h = cinfo.comp_info[0].h_samp_factor;
  out->v = cinfo.comp_info[0].v_samp_factor;
  out->components = cinfo.num_components;
  out->progressive = cinfo.progressive_mode;
  jpeg_start_decompress(&cinfo);
  out->img.width = cinfo.output_width;
  out->img.height = cinfo.output_height;
  out->img.channels = cinfo.output_components;
  out->img.allocate();
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out->img.row(cinfo.output_scanline);
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

double psnr(const image& a, const image& b) {
  if (a.pixels.size() != b.pixels.size() || a.pixels.empty()) return 0;
  double sum = 0;
  for (std::size_t i = 0; i < a.pixels.size(); ++i) {
    const double d = static_cast<double>(a.pixels[i]) - b.pixels[i];
    sum += d * d;
  }
  return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / (sum / a.pixels.size()));
}

image decode_ok(const bytes& file) {
  image img;
  std::string err;
  EXPECT_TRUE(codecs::jpeg_decode(file.data(), file.size(), &img, &err)) << err;
  return img;
}

TEST(JpegRead, EverySamplingAndModelAsPlainLibjpegDecodesIt) {
  const jpeg_form forms[] = {
      {"grey", JCS_GRAYSCALE, 1, 1},
      {"grey progressive", JCS_GRAYSCALE, 1, 1, true},
      {"4:4:4", JCS_YCbCr, 1, 1},
      {"4:2:2", JCS_YCbCr, 2, 1},
      {"4:2:0", JCS_YCbCr, 2, 2},
      {"4:4:0", JCS_YCbCr, 1, 2},
      {"4:1:1", JCS_YCbCr, 4, 1},
      {"4:2:0 progressive", JCS_YCbCr, 2, 2, true},
      {"4:2:0 one pixel", JCS_YCbCr, 2, 2, false, true, 1, 1},
      {"RGB stored as RGB", JCS_RGB, 1, 1},
      {"grey arithmetic", JCS_GRAYSCALE, 1, 1, false, true, 37, 21, true},
      {"4:2:0 arithmetic", JCS_YCbCr, 2, 2, false, true, 37, 21, true},
      {"4:2:0 progressive arithmetic", JCS_YCbCr, 2, 2, true, true, 37, 21, true},
  };
  for (const jpeg_form& form : forms) {
    SCOPED_TRACE(form.name);
    const int channels = form.stored == JCS_GRAYSCALE ? 1 : 3;
    const image source = codec_test::smooth_image(form.width, form.height, channels);
    const bytes file = make_jpeg(form, source);
    plain_jpeg plain;
    ASSERT_TRUE(read_plain(file, &plain));
    ASSERT_EQ(plain.progressive, form.progressive);
    image_info info;
    std::string err;
    ASSERT_TRUE(codecs::jpeg_info(file.data(), file.size(), &info, &err)) << err;
    const image got = decode_ok(file);
    for (const image_info* i :
         {static_cast<const image_info*>(&info), static_cast<const image_info*>(&got)}) {
      EXPECT_EQ(i->width, form.width);
      EXPECT_EQ(i->height, form.height);
      EXPECT_EQ(i->channels, channels);
      EXPECT_EQ(i->type, sample_type::u8);
      EXPECT_EQ(i->orientation, 1);
    }
    EXPECT_TRUE(got.pixels == plain.img.pixels);
    EXPECT_GT(psnr(got, source), 30);
  }
}

// CMYK samples that print as `rgb`: no black, each ink the complement of
// its colour; stored inverted when Adobe-style.
image cmyk_of(const image& rgb, bool inverted) {
  image cmyk;
  cmyk.width = rgb.width;
  cmyk.height = rgb.height;
  cmyk.channels = 4;
  cmyk.allocate();
  for (std::size_t p = 0; p < rgb.pixels.size() / 3; ++p) {
    for (int c = 0; c < 3; ++c) {
      const int ink = 255 - rgb.pixels[3 * p + c];
      cmyk.pixels[4 * p + c] = static_cast<std::uint8_t>(inverted ? 255 - ink : ink);
    }
    cmyk.pixels[4 * p + 3] = inverted ? 255 : 0;
  }
  return cmyk;
}

TEST(JpegRead, CmykAndYcckGiveInkWithTheirProfile) {
  const jpeg_form forms[] = {
      {"CMYK, Adobe", JCS_CMYK, 1, 1, false, true},
      {"YCCK, Adobe", JCS_YCCK, 1, 1, false, true},
      {"CMYK progressive, Adobe", JCS_CMYK, 2, 2, true, true},
      {"CMYK without Adobe marker", JCS_CMYK, 1, 1, false, false},
  };
  for (const jpeg_form& form : forms) {
    SCOPED_TRACE(form.name);
    const image rgb = codec_test::smooth_image(form.width, form.height, 3);
    const bytes icc = codec_test::icc_profile(400, "CMYK");
    const bytes file = make_jpeg(form, cmyk_of(rgb, form.adobe), {}, icc);
    image_info info;
    std::string err;
    ASSERT_TRUE(codecs::jpeg_info(file.data(), file.size(), &info, &err)) << err;
    EXPECT_EQ(info.channels, 4);
    EXPECT_TRUE(info.cmyk);
    EXPECT_FALSE(info.has_alpha());
    const image got = decode_ok(file);
    EXPECT_TRUE(got.cmyk);
    EXPECT_GT(psnr(got, cmyk_of(rgb, false)), 30);  // ink, however the file stores it
    EXPECT_TRUE(got.icc == icc);
  }
}

TEST(JpegRead, OrientationAndIccProfile) {
  const bytes icc = codec_test::icc_profile(70000, "RGB ");  // more than one APP2 marker
  for (bool big_endian : {false, true})
    for (int orientation : {1, 2, 5, 6, 8}) {
      SCOPED_TRACE(std::to_string(orientation) + (big_endian ? " big-endian" : " little-endian"));
      bytes app1 = {'E', 'x', 'i', 'f', 0, 0};
      const bytes exif = codec_test::exif_block(big_endian, orientation);
      app1.insert(app1.end(), exif.begin(), exif.end());
      const bytes xmp = {'h', 't', 't', 'p', ':', '/', '/', 'n', 's', 0, '<', 'x', '/', '>'};
      const bytes file =
          make_jpeg({"4:2:0"}, codec_test::smooth_image(37, 21, 3), {{1, xmp}, {1, app1}}, icc);
      image_info info;
      std::string err;
      ASSERT_TRUE(codecs::jpeg_info(file.data(), file.size(), &info, &err)) << err;
      EXPECT_EQ(info.orientation, orientation);
      const image got = decode_ok(file);
      EXPECT_EQ(got.orientation, orientation);
      EXPECT_TRUE(got.icc == icc);
    }
}

TEST(JpegRead, DamagedFilesAreRefusedAndLeaveTheImageAlone) {
  const image source = codec_test::smooth_image(64, 48, 3);
  const bytes baseline = make_jpeg({"4:2:0"}, source);
  const bytes progressive = make_jpeg({"4:2:0 progressive", JCS_YCbCr, 2, 2, true}, source);
  std::size_t scan = 0;  // first byte after the SOS header
  for (std::size_t i = 2; i + 3 < baseline.size(); ++i)
    if (baseline[i] == 0xff && baseline[i + 1] == 0xda) {
      scan = i + 2 + ((baseline[i + 2] << 8) | baseline[i + 3]);
      break;
    }
  ASSERT_GT(scan, 0u);
  struct damage {
    const char* name;
    bytes file;
  };
  auto cut = [](const bytes& b, std::size_t size) { return bytes(b.begin(), b.begin() + size); };
  std::vector<damage> cases = {
      {"half a baseline file", cut(baseline, baseline.size() / 2)},
      {"half a progressive file", cut(progressive, progressive.size() / 2)},
      {"progressive without its last scan's end", cut(progressive, progressive.size() - 40)},
      {"SOI only", cut(baseline, 3)},
      {"inside the headers", cut(baseline, 40)},
      {"headers only", cut(baseline, scan)},
      {"no EOI", cut(baseline, baseline.size() - 2)},
  };
  {
    bytes b = baseline;  // a restart marker where none is expected
    b[scan + 100] = 0xff;
    b[scan + 101] = 0xd3;
    cases.push_back({"stray marker in the scan", b});
  }
  {
    bytes b = baseline;
    b[0] = 0;
    cases.push_back({"no SOI", b});
  }
  for (const damage& d : cases) {
    SCOPED_TRACE(d.name);
    image img = codec_test::random_image(2, 2, 1, sample_type::u8, 1);
    const image before = img;
    std::string err;
    EXPECT_FALSE(codecs::jpeg_decode(d.file.data(), d.file.size(), &img, &err));
    EXPECT_FALSE(err.empty());
    EXPECT_EQ(img.width, 2);
    EXPECT_TRUE(img.pixels == before.pixels);
  }
  decode_ok(baseline);
  decode_ok(progressive);
}

TEST(JpegRead, HugeClaimInATinyFileIsRefused) {
  // A 16x16 grey file whose frame header says 60000x60000 (3.6 gigapixels).
  bytes file = make_jpeg({"grey", JCS_GRAYSCALE, 1, 1}, codec_test::smooth_image(16, 16, 1));
  std::size_t sof = 0;
  for (std::size_t i = 2; i + 1 < file.size() && sof == 0; ++i)
    if (file[i] == 0xff && file[i + 1] == 0xc0) sof = i;
  ASSERT_GT(sof, 0u);
  codec_test::put_be(&file, sof + 5, 60000, 2);
  codec_test::put_be(&file, sof + 7, 60000, 2);
  image_info info;
  image img;
  std::string err;
  EXPECT_FALSE(codecs::jpeg_info(file.data(), file.size(), &info, &err));
  EXPECT_FALSE(err.empty());
  err.clear();
  EXPECT_FALSE(codecs::jpeg_decode(file.data(), file.size(), &img, &err));
  EXPECT_FALSE(err.empty());
  EXPECT_TRUE(img.pixels.empty());
}

// Offset of the first marker `code` (its 0xff byte), 0 when there is none.
std::size_t marker_at(const bytes& file, std::uint8_t code) {
  for (std::size_t i = 2; i + 1 < file.size(); ++i)
    if (file[i] == 0xff && file[i + 1] == code) return i;
  return 0;
}

TEST(JpegRead, ArithmeticCodedClaimsAreBoundLikeHuffmanOnes) {
  // libjpeg decodes an arithmetic-coded scan past its data from zeros
  // without a warning: a 122-byte file claiming 20000x20000 came out as
  // 400 megapixels of grey. A file needs a bit a block of its smallest
  // component, whichever the coding.
  jpeg_form form{"grey arithmetic", JCS_GRAYSCALE, 1, 1};
  form.width = form.height = 16;
  form.arithmetic = true;
  const bytes tiny = make_jpeg(form, codec_test::smooth_image(16, 16, 1));
  const std::size_t sof = marker_at(tiny, 0xc9);  // SOF9: sequential, arithmetic-coded
  ASSERT_GT(sof, 0u);
  // One row of blocks 8 * (size + 1) long needs one byte more than the file.
  const auto over = static_cast<std::uint32_t>(64 * (tiny.size() + 1));
  ASSERT_LE(over, 65535u);
  const struct {
    const char* name;
    std::uint32_t width, height;
    bool refused;
  } cases[] = {
      {"60000x60000", 60000, 60000, true},
      {"one block more than a bit each", over, 8, true},
      {"a bit a block", over - 8, 8, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bytes file = tiny;
    codec_test::put_be(&file, sof + 5, c.height, 2);
    codec_test::put_be(&file, sof + 7, c.width, 2);
    image_info info;
    std::string err;
    EXPECT_EQ(codecs::jpeg_info(file.data(), file.size(), &info, &err), !c.refused);
    const std::string claim = "jpeg: header claims " + std::to_string(c.width) + "x" +
                              std::to_string(c.height) + " pixels, more than a " +
                              std::to_string(file.size()) + "-byte file can hold";
    EXPECT_EQ(err, c.refused ? claim : "");
    if (c.refused) {
      image img;
      EXPECT_FALSE(codecs::jpeg_decode(file.data(), file.size(), &img, &err));
      EXPECT_TRUE(img.pixels.empty());
    }
  }
}

TEST(JpegRead, ScansCutShortAreRefusedAsTruncated) {
  // Noise, so that the blocks decoded from zeros after a cut cost far more
  // than a flat area would.
  const image noise = codec_test::random_image(64, 48, 3, sample_type::u8, 7);
  auto make = [&](bool progressive, bool arithmetic, const image& img) {
    jpeg_form form{"", JCS_YCbCr, 2, 2, progressive};
    form.width = img.width;
    form.height = img.height;
    form.arithmetic = arithmetic;
    return make_jpeg(form, img);
  };
  const bytes huffman = make(false, false, noise), arithmetic = make(false, true, noise),
              huffman_progressive = make(true, false, noise),
              arithmetic_progressive = make(true, true, noise);
  // A middle of the entropy-coded data, not just after a 0xff byte.
  auto middle = [&](const bytes& b) {
    const std::size_t sos = marker_at(b, 0xda);
    std::size_t at = (sos + 2 + ((b[sos + 2] << 8) | b[sos + 3]) + b.size()) / 2;
    while (b[at - 1] == 0xff) --at;
    return at;
  };
  auto cut = [&](const bytes& b, bool end_marker) {
    bytes c(b.begin(), b.begin() + middle(b));
    if (end_marker) c.insert(c.end(), {0xff, 0xd9});
    return c;
  };
  auto marked = [&](const bytes& b) {  // an end marker written over the middle, the rest left
    bytes c = b;
    c[middle(b)] = 0xff;
    c[middle(b) + 1] = 0xd9;
    return c;
  };
  const std::string marker = "meets a marker", end = "meets the end of the file";
  const struct {
    const char* name;
    bytes file;
    std::string how;
  } cases[] = {
      {"Huffman, cut", cut(huffman, true), marker},
      {"Huffman, end marker in the scan", marked(huffman), marker},
      {"Huffman, cut without an end marker", cut(huffman, false), end},
      {"arithmetic, cut", cut(arithmetic, true), marker},
      {"arithmetic, end marker in the scan", marked(arithmetic), marker},
      {"arithmetic, cut without an end marker", cut(arithmetic, false), end},
      {"Huffman progressive, cut", cut(huffman_progressive, true), marker},
      {"arithmetic progressive, cut", cut(arithmetic_progressive, true), marker},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    image_info info;
    std::string err;
    EXPECT_TRUE(codecs::jpeg_info(c.file.data(), c.file.size(), &info, &err))
        << err;  // the headers are whole
    image img = codec_test::random_image(2, 2, 1, sample_type::u8, 1);
    const image before = img;
    EXPECT_FALSE(codecs::jpeg_decode(c.file.data(), c.file.size(), &img, &err));
    EXPECT_EQ(err.rfind("jpeg: the data ends before the last block: scan ", 0), 0u) << err;
    EXPECT_NE(err.find(c.how + " with "), std::string::npos) << err;
    EXPECT_TRUE(img.width == 2 && img.pixels == before.pixels);
  }
  // Whole files decode as libjpeg decodes them, including arithmetic-coded
  // ones whose flat bottom was coded as zero bytes and left out, so that
  // they are decoded from zeros after their last marker too.
  image flat_bottom = codec_test::random_image(256, 320, 3, sample_type::u8, 8);
  std::fill(flat_bottom.pixels.begin() + flat_bottom.row_bytes() * 64, flat_bottom.pixels.end(), 128);
  const std::pair<const char*, bytes> whole[] = {
      {"Huffman", huffman},
      {"arithmetic", arithmetic},
      {"Huffman progressive", huffman_progressive},
      {"arithmetic progressive", arithmetic_progressive},
      {"arithmetic, flat bottom", make(false, true, flat_bottom)},
      {"arithmetic progressive, flat bottom", make(true, true, flat_bottom)},
  };
  for (const auto& [name, file] : whole) {
    SCOPED_TRACE(name);
    plain_jpeg plain;
    ASSERT_TRUE(read_plain(file, &plain));
    EXPECT_TRUE(decode_ok(file).pixels == plain.img.pixels);
  }
}

TEST(JpegRead, ProgressiveFilesOfTooManyScansAreRefused) {
  const image grey = codec_test::smooth_image(40, 24, 1);
  for (const bool arithmetic : {false, true}) {
    for (const int scans : {10, 128, 129}) {
      SCOPED_TRACE(std::to_string(scans) + (arithmetic ? " arithmetic" : " Huffman"));
      jpeg_form form{"progressive grey", JCS_GRAYSCALE, 1, 1};
      form.scans = scans;
      form.arithmetic = arithmetic;
      const bytes file = make_jpeg(form, grey);
      image img;
      std::string err;
      const bool ok = decode_image(file.data(), file.size(), image_format::jpeg, &img, &err);
      if (scans > 128) {
        EXPECT_FALSE(ok);
        EXPECT_EQ(err, "jpeg: the file has more than 128 scans");
        EXPECT_TRUE(img.pixels.empty());
        continue;
      }
      ASSERT_TRUE(ok) << err;
      plain_jpeg plain;
      ASSERT_TRUE(read_plain(file, &plain));
      EXPECT_TRUE(img.pixels == plain.img.pixels);
    }
  }
}

TEST(JpegWrite, SubsamplingQualityAndLayouts) {
  struct write_case {
    int channels;
    int quality;
    int components, h, v;
  };
  const write_case cases[] = {
      {3, 89, 3, 2, 2}, {3, 90, 3, 1, 1}, {4, 75, 3, 2, 2}, {1, 92, 1, 1, 1}, {2, 50, 1, 1, 1},
  };
  for (const write_case& c : cases) {
    SCOPED_TRACE(std::to_string(c.channels) + " channels, quality " + std::to_string(c.quality));
    const image img = codec_test::smooth_image(45, 31, c.channels);
    std::string err;
    const bytes file = codec_test::encode(img, image_format::jpeg, &err, c.quality);
    ASSERT_FALSE(file.empty()) << err;
    plain_jpeg plain;
    ASSERT_TRUE(read_plain(file, &plain));
    EXPECT_EQ(plain.components, c.components);
    EXPECT_EQ(plain.h, c.h);
    EXPECT_EQ(plain.v, c.v);
    EXPECT_FALSE(plain.progressive);
    // Alpha dropped: the same file as from the colour channels alone.
    const int colour = c.components;
    image without_alpha = codec_test::smooth_image(45, 31, colour);
    for (std::size_t p = 0; p < without_alpha.pixels.size() / colour; ++p)
      for (int k = 0; k < colour; ++k) without_alpha.pixels[p * colour + k] = img.pixels[p * c.channels + k];
    EXPECT_TRUE(codec_test::encode(without_alpha, image_format::jpeg, &err, c.quality) == file);
    EXPECT_GT(psnr(plain.img, without_alpha), c.quality >= 90 ? 38 : 30);
  }
  // 16-bit samples are brought to 8 bits first: 257 * v is v.
  const image eight = codec_test::smooth_image(20, 10, 3);
  image sixteen = eight;
  sixteen.type = sample_type::u16;
  sixteen.allocate();
  for (std::size_t i = 0; i < eight.pixels.size(); ++i) {
    const std::uint16_t v = eight.pixels[i] * 257;
    std::memcpy(&sixteen.pixels[2 * i], &v, 2);
  }
  std::string err;
  EXPECT_TRUE(codec_test::encode(sixteen, image_format::jpeg, &err) ==
              codec_test::encode(eight, image_format::jpeg, &err));
  // Lower quality, smaller file.
  const image big = codec_test::smooth_image(200, 150, 3);
  EXPECT_LT(codec_test::encode(big, image_format::jpeg, &err, 30).size(),
            codec_test::encode(big, image_format::jpeg, &err, 95).size());
}

TEST(JpegWrite, IccProfileTravelsByteForByte) {
  for (std::size_t size : {200u, 65519u, 65520u, 200000u}) {  // one APP2 marker holds 65519 bytes
    SCOPED_TRACE(size);
    image img = codec_test::smooth_image(16, 16, 3);
    img.icc = codec_test::icc_profile(size / 4 * 4 + (size % 4 ? 4 : 0), "RGB ");
    std::string err;
    const bytes file = codec_test::encode(img, image_format::jpeg, &err);
    ASSERT_FALSE(file.empty()) << err;
    plain_jpeg plain;
    ASSERT_TRUE(read_plain(file, &plain));
    EXPECT_TRUE(plain.icc == img.icc);
    EXPECT_TRUE(decode_ok(file).icc == img.icc);
  }
}

TEST(JpegWrite, RefusesBadQualityAndASinkThatStops) {
  const image img = codec_test::random_image(300, 200, 3, sample_type::u8, 4);  // well over one 64 KiB buffer
  for (int quality : {0, -5, 101}) {
    std::string err;
    EXPECT_TRUE(codec_test::encode(img, image_format::jpeg, &err, quality).empty());
    EXPECT_FALSE(err.empty());
  }
  for (int quality : {1, 100}) {
    std::string err;
    EXPECT_FALSE(codec_test::encode(img, image_format::jpeg, &err, quality).empty()) << err;
  }
  for (bool throws : {false, true}) {
    int calls = 0;
    std::string err;
    const bool ok = encode_image(
        img, image_format::jpeg, {},
        [&](const std::uint8_t*, std::size_t) {
          if (++calls < 2) return true;
          if (throws) throw std::runtime_error("disk gone");
          return false;
        },
        &err);
    EXPECT_FALSE(ok);
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(err.empty());
  }
}

}  // namespace
