// SPDX-License-Identifier: MIT
// pages_and_webp_test.cc - the program and the library on files of several
// pictures (TIFF pages, GIF frames) and on WebP and GIF files: the note
// naming the count, choosing a page, refusing one past the count, WebP
// output by name, keyword and flag, and damaged files leaving no output.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <string>
#include <vector>

#include "codec/codec_test_util.h"
#include "pellimor/pellimor.h"
#include "tests/test_util.h"

namespace {

using pellimor::image;
using pellimor::image_format;
using pellimor::sample_type;
using test_util::read_file;
using test_util::run_program;
using test_util::temp_dir;

// Page k (from 0) is (4 + k) x 3 RGB, every sample 40 * (k + 1).
void write_pages(const std::string& path, int pages) {
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tif, nullptr);
  for (int page = 0; page < pages; ++page) {
    const std::uint32_t width = 4 + page;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 3);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    std::vector<std::uint8_t> rows(3 * width * 3, static_cast<std::uint8_t>(40 * (page + 1)));
    TIFFWriteEncodedStrip(tif, 0, rows.data(), static_cast<tmsize_t>(rows.size()));
    TIFFWriteDirectory(tif);
  }
  TIFFClose(tif);
}

void write_bytes(const std::string& path, const codec_test::bytes& b) {
  test_util::write_file(path, std::string(b.begin(), b.end()));
}

TEST(Pages, NoteChoiceAndRefusalInBothInterfaces) {
  temp_dir dir;
  write_pages(dir.file("pages.tif"), 3);
  const struct {
    const char* args;
    int status;
    const char* err;
    const char* output;  // "" for none
    int width;           // of the output, 0 when none
  } cases[] = {
      {"-i pages.tif -o a -format png -progress off -round nearest", 0,
       "pellimor: note: pages.tif has 3 pages; resizing page 1 (choose with -page N)\n", "a.png", 4},
      {"-i pages.tif -o b -format png -progress off -round nearest -page 2", 0, "", "b.png", 5},
      {"-i pages.tif -o c -format png -progress off -round nearest -page 3", 0, "", "c.png", 6},
      {"-i pages.tif -o d -format png -progress off -page 4", 1,
       "pellimor: pages.tif: there is no page 4: the file has 3 pages\n", "", 0},
      {"-i pages.tif -o e -format png -progress off -page 0", 2,
       "pellimor: -page takes a whole number of at least 1, not '0'\n", "", 0},
      {"resize pages.tif f.png", 0,
       "pellimor: note: f.png: pages.tif has 3 pages; resizing page 1 (choose with --page N)\n", "f.png", 4},
      {"resize --page 2 pages.tif g.png", 0, "", "g.png", 5},
      {"resize --page=9 pages.tif h.png", 1,
       "pellimor: pages.tif: there is no page 9: the file has 3 pages\n", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const test_util::run_result r = run_program(dir, c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    if (c.width == 0) continue;
    const image out = pellimor::read_image(dir.file(c.output));
    EXPECT_EQ(out.width, c.width);
    EXPECT_EQ(out.pixels,
              std::vector<std::uint8_t>(out.pixels.size(), static_cast<std::uint8_t>(40 * (c.width - 3))));
  }
  for (const char* absent : {"d.png", "e.png", "h.png"}) EXPECT_TRUE(read_file(dir.file(absent)).empty());
  // The library: read_image and resize_file take the page too.
  EXPECT_EQ(pellimor::read_image(dir.file("pages.tif"), {}, 3).width, 6);
  pellimor::file_options options;
  options.page = 4;
  EXPECT_THROW(pellimor::resize_file(dir.file("pages.tif"), dir.file("x.png"), options), pellimor::error);
  // A file of one picture has one page.
  EXPECT_THROW(pellimor::read_image(dir.file("a.png"), {}, 2), pellimor::error);
}

TEST(Pages, AnimatedGifGivesItsFirstFrameWithANote) {
  temp_dir dir;
  codec_test::gif_frame first;
  first.width = 5;
  first.height = 4;
  first.indices.assign(20, 3);
  codec_test::gif_frame second = first;
  second.indices.assign(20, 9);
  write_bytes(dir.file("anim.gif"), codec_test::make_gif(5, 4, {first, second}));
  const std::vector<GifColorType> colours = codec_test::palette16();
  for (const int page : {1, 2}) {
    SCOPED_TRACE(page);
    const std::string out = "frame" + std::to_string(page);
    const test_util::run_result r =
        run_program(dir, "-i anim.gif -o " + out + " -format png -progress off -round nearest -page " +
                             std::to_string(page));
    ASSERT_EQ(r.status, 0) << r.err;
    const image img = pellimor::read_image(dir.file(out + ".png"));
    ASSERT_EQ(img.channels, 3);
    const GifColorType want = colours[page == 1 ? 3 : 9];
    for (std::size_t i = 0; i < img.pixels.size(); i += 3) {
      EXPECT_EQ(img.pixels[i], want.Red);
      EXPECT_EQ(img.pixels[i + 1], want.Green);
      EXPECT_EQ(img.pixels[i + 2], want.Blue);
    }
  }
  const test_util::run_result r = run_program(dir, "-i anim.gif -o x -format png -progress off");
  EXPECT_EQ(r.err, "pellimor: note: anim.gif has 2 frames; resizing frame 1 (choose with -page N)\n");
}

TEST(WebpOutput, ByNameKeywordAndFlag) {
  temp_dir dir;
  image source = codec_test::random_image(12, 9, 4, sample_type::u8, 31);
  // Opaque, so the colour is resized as it is (not premultiplied by a
  // fraction and back) and can come back exactly; libwebp stores no alpha
  // for it.
  for (std::size_t i = 3; i < source.pixels.size(); i += 4) source.pixels[i] = 255;
  std::vector<std::uint8_t> colour;
  for (std::size_t i = 0; i < source.pixels.size(); i += 4)
    colour.insert(colour.end(), &source.pixels[i], &source.pixels[i] + 3);
  pellimor::write_image(dir.file("in.png"), source);
  // -size 100% with rounding to nearest gives the input back, so lossless
  // WebP output holds exactly the input's samples.
  const struct {
    const char* args;
    const char* output;
    bool exact;
  } cases[] = {
      {"-i in.png -o k -format webp -lossless on -round nearest -progress off", "k.webp", true},
      {"resize --lossless in.png v.webp", "v.webp", true},
      {"resize --lossless --format webp in.png v2.out", "v2.out", true},
      {"resize -Q 90 in.png lossy.WEBP", "lossy.WEBP", false},
      {"-i in.png -o kl -format webp -quality 90 -round nearest -progress off", "kl.webp", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const test_util::run_result r = run_program(dir, c.args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string file = read_file(dir.file(c.output));
    ASSERT_GT(file.size(), 12u);
    EXPECT_EQ(file.substr(8, 4), "WEBP");
    const image back = pellimor::read_image(dir.file(c.output));
    ASSERT_EQ(back.channels, 3);
    if (c.exact) {
      EXPECT_TRUE(back.pixels == colour);
    }
  }
  // Quality matters for lossy output only; lossless ignores it with a note.
  EXPECT_EQ(run_program(dir, "resize --lossless -Q 50 in.png n.webp").err,
            "pellimor: note: --quality applies only to JPEG and lossy WebP output\n");
  const struct {
    const char* args;
    const char* err;
  } refusals[] = {
      {"-i in.png -o g -format gif -progress off",
       "pellimor: -format gif: GIF files are read, not written\n"},
      {"resize in.png g.gif", "pellimor: g.gif: GIF files are read, not written\n"},
      {"resize --format gif in.png g.png", "pellimor: --format gif: GIF files are read, not written\n"},
      {"resize -s 16384x1! in.png wide.webp",
       "pellimor: in.png: the output size 16384 x 1 does not fit in a webp file (16383 pixels a side at "
       "most)\n"},
  };
  for (const auto& c : refusals) {
    SCOPED_TRACE(c.args);
    const test_util::run_result r = run_program(dir, c.args);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err, c.err);
  }
  for (const char* absent : {"g.gif", "g.png", "wide.webp"}) EXPECT_TRUE(read_file(dir.file(absent)).empty());
}

TEST(WebpAndGifInput, DamagedFilesLeaveNoOutput) {
  temp_dir dir;
  codec_test::bytes webp;
  std::string err;
  pellimor::encode_options options;
  options.lossless = true;
  ASSERT_TRUE(pellimor::encode_image(
      codec_test::random_image(30, 20, 3, sample_type::u8, 4), image_format::webp, options,
      [&](const std::uint8_t* p, std::size_t n) {
        webp.insert(webp.end(), p, p + n);
        return true;
      },
      &err));
  codec_test::gif_frame frame;
  frame.width = 30;
  frame.height = 20;
  for (int i = 0; i < 600; ++i) frame.indices.push_back(static_cast<std::uint8_t>(i * 7 % 16));
  const codec_test::bytes gif = codec_test::make_gif(30, 20, {frame});
  write_bytes(dir.file("cut.webp"), codec_test::bytes(webp.begin(), webp.begin() + webp.size() * 2 / 3));
  write_bytes(dir.file("cut.gif"), codec_test::bytes(gif.begin(), gif.begin() + gif.size() * 2 / 3));
  for (const char* input : {"cut.webp", "cut.gif"}) {
    SCOPED_TRACE(input);
    const test_util::run_result keyword =
        run_program(dir, std::string("-i ") + input + " -o out -format png -progress off");
    EXPECT_EQ(keyword.status, 1);
    EXPECT_EQ(keyword.err.rfind(std::string("pellimor: ") + input + ": ", 0), 0u) << keyword.err;
    const test_util::run_result verb = run_program(dir, std::string("resize ") + input + " out.webp");
    EXPECT_EQ(verb.status, 1);
  }
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"cut.gif", "cut.webp"}));
}

}  // namespace
