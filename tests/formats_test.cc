// SPDX-License-Identifier: MIT
// formats_test.cc - the program on every image format it reads and writes:
// sample types kept or converted, grey and alpha, ICC profiles,
// orientation, standard input and output, damaged files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <zlib.h>

#include "codec/codec.h"
#include "codec/codec_test_util.h"
#include "lib/resize_file.h"
#include "pellimor/pellimor.h"
#include "tests/test_util.h"

using namespace pellimor::detail;  // the library's internals

namespace {

using pellimor::image;
using pellimor::image_format;
using pellimor::sample_type;
using test_util::read_file;
using test_util::run_program;
using test_util::temp_dir;

image random_image(int width, int height, int channels, sample_type type, unsigned seed) {
  return codec_test::random_image(width, height, channels, type, seed);
}

std::string encoded(const image& img, image_format format, int quality = 92) {
  std::string bytes, err;
  pellimor::encode_options options;
  options.quality = quality;
  EXPECT_TRUE(pellimor::encode_image(
      img, format, options,
      [&](const std::uint8_t* p, std::size_t n) {
        bytes.append(reinterpret_cast<const char*>(p), n);
        return true;
      },
      &err))
      << err;
  return bytes;
}

image decoded(const std::string& bytes) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  image_format format;
  image img;
  std::string err;
  EXPECT_TRUE(pellimor::detect_format(data, bytes.size(), &format));
  EXPECT_TRUE(pellimor::decode_image(data, bytes.size(), format, &img, &err)) << err;
  return img;
}

// What the library gives for `img` resized into `type` and `channels`.
image library_resize(const image& img, int new_width, int new_height, sample_type type, int channels,
                     bool alpha) {
  image out;
  out.width = new_width;
  out.height = new_height;
  out.channels = channels;
  out.type = type;
  EXPECT_TRUE(out.allocate());
  pellimor::image_view view = pellimor::view_of(img);
  view.channels = channels;
  pellimor::resize_settings settings;
  settings.round = pellimor::rounding::trunc;  // as the keyword program, which these are held to
  settings.alpha = alpha;
  pellimor::resize(view, pellimor::span_of(out), settings);
  return out;
}

TEST(Formats, EachFormatResizesAsTheLibraryDoes) {
  struct format_case {
    const char* name;
    image_format in_format;
    int channels;
    sample_type type;
    const char* format_option;
    const char* extension;
    sample_type out_type;
    int out_channels;
    bool lossy;
  };
  const format_case cases[] = {
      {"grey png", image_format::png, 1, sample_type::u8, "png", ".png", sample_type::u8, 1, false},
      {"16-bit rgb png", image_format::png, 3, sample_type::u16, "png", ".png", sample_type::u16, 3, false},
      {"rgba png", image_format::png, 4, sample_type::u8, "png", ".png", sample_type::u8, 4, false},
      {"16-bit grey png to bmp", image_format::png, 1, sample_type::u16, "bmp", ".bmp", sample_type::u8, 3,
       false},
      {"float tiff", image_format::tiff, 3, sample_type::f32, "tiff", ".tif", sample_type::f32, 3, false},
      {"16-bit grey+alpha tiff", image_format::tiff, 2, sample_type::u16, "tiff", ".tif", sample_type::u16, 2,
       false},
      {"rgb tiff to png", image_format::tiff, 3, sample_type::u8, "png", ".png", sample_type::u8, 3, false},
      {"rgba png to jpeg", image_format::png, 4, sample_type::u8, "jpeg", ".jpg", sample_type::u8, 3, true},
  };
  for (const format_case& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    const image source = random_image(13, 9, c.channels, c.type, c.channels * 5 + 1);
    test_util::write_file(dir.file("in"), encoded(source, c.in_format));
    const test_util::run_result r = run_program(
        dir, std::string("-i in -o out -sizexminus 6 -sizexminusy -2 -format ") + c.format_option);
    ASSERT_EQ(r.status, 0) << r.err;
    const bool alpha_dropped = source.has_alpha() && c.out_channels == c.channels - 1;
    EXPECT_EQ(r.err.find("alpha") != std::string::npos, alpha_dropped) << r.err;
    const image got = decoded(read_file(dir.file(std::string("out") + c.extension)));
    ASSERT_EQ(got.width, 19);
    ASSERT_EQ(got.height, 7);
    ASSERT_EQ(got.type, c.out_type);
    ASSERT_EQ(got.channels, c.out_channels);
    if (c.lossy) continue;
    // Grey written as BMP comes back as three equal channels.
    const int resized_channels = std::min(c.channels, c.out_channels);
    const image expected =
        library_resize(source, 19, 7, c.out_type, resized_channels, source.has_alpha() && !alpha_dropped);
    if (resized_channels == c.out_channels) {
      EXPECT_EQ(got.pixels, expected.pixels);
    } else {
      for (std::size_t i = 0; i < expected.pixels.size(); ++i)
        for (int k = 0; k < 3; ++k) ASSERT_EQ(got.pixels[3 * i + k], expected.pixels[i]) << i;
    }
  }
}

// The file path's pixels are the in-memory library's, for every reader,
// sample type, channel layout, writer and value option: whatever route a
// file takes through the library (streamed 24-bit BMP, decoded whole, and
// whatever comes later), its values are those of resize() on the decoded
// picture, converted as the output format needs.
TEST(Formats, EveryRouteGivesTheLibrarysValues) {
  struct layout {
    image_format format;
    sample_type type;
    int channels;
  };
  const layout inputs[] = {
      {image_format::bmp, sample_type::u8, 3},   {image_format::png, sample_type::u8, 1},
      {image_format::png, sample_type::u8, 4},   {image_format::png, sample_type::u16, 2},
      {image_format::png, sample_type::u16, 3},  {image_format::tiff, sample_type::u8, 3},
      {image_format::tiff, sample_type::u16, 4}, {image_format::tiff, sample_type::f32, 1},
      {image_format::tiff, sample_type::f32, 3}, {image_format::jpeg, sample_type::u8, 3},
      {image_format::jpeg, sample_type::u8, 1},  {image_format::png, sample_type::u8, 3},
      {image_format::png, sample_type::u16, 4},  {image_format::tiff, sample_type::u8, 2},
      {image_format::tiff, sample_type::f32, 4},
  };
  const image_format outputs[] = {image_format::bmp, image_format::png, image_format::tiff, image_format::jpeg};
  // Pictures taller than a few decoder bands and engine batches, so rows
  // reach the resize in pieces and its batches finish out of order.
  const struct {
    int width, height, new_width, new_height;
  } shapes[] = {{13, 9, 19, 7}, {17, 13, 31, 13}, {11, 11, 11, 11}, {23, 19, 7, 5},
                {1, 7, 3, 2},   {29, 67, 41, 53}, {53, 41, 17, 71}};
  const char* const options[] = {"", "linear", "taper", "nearest"};
  int index = 0;
  for (const layout& in : inputs) {
    for (const image_format out_format : outputs) {
      // Shapes and options turn with the case number, so each is met with
      // several layouts without the whole product.
      const auto& shape = shapes[index % std::size(shapes)];
      const std::string option = options[index / std::size(shapes) % std::size(options)];
      ++index;
      SCOPED_TRACE(std::string(format_name(in.format)) + " " + std::to_string(in.channels) + "x" +
                   std::to_string(pellimor::sample_bytes(in.type)) + " -> " + format_name(out_format) + ", " +
                   std::to_string(shape.width) + "x" + std::to_string(shape.height) + " -> " +
                   std::to_string(shape.new_width) + "x" + std::to_string(shape.new_height) + ", " + option);
      temp_dir dir;
      const image source = in.format == image_format::jpeg
                               ? codec_test::smooth_image(shape.width, shape.height, in.channels)
                               : random_image(shape.width, shape.height, in.channels, in.type, index);
      const std::string file = encoded(source, in.format);
      test_util::write_file(dir.file("in"), file);
      pellimor::file_options request;
      request.size = std::to_string(shape.new_width) + "x" + std::to_string(shape.new_height) + "!";
      request.format = out_format;
      request.settings.linear = option == "linear";
      request.settings.taper = option == "taper" ? 1.5 : 0.0;
      request.settings.round = option == "nearest" ? pellimor::rounding::nearest : pellimor::rounding::trunc;
      request.settings.threads = 1 + index % 3;
      ASSERT_NO_THROW(pellimor::resize_file(dir.file("in"), dir.file("out"), request));
      const image got = decoded(read_file(dir.file("out")));

      // What the format keeps: BMP and JPEG are 8-bit without alpha (grey
      // BMP comes back as three equal channels), PNG integers, TIFF all.
      const image picture = decoded(file);
      const bool bmp = out_format == image_format::bmp, jpeg = out_format == image_format::jpeg;
      const int kept_channels = (bmp || jpeg) && picture.has_alpha() ? picture.channels - 1 : picture.channels;
      const sample_type kept_type = bmp || jpeg ? sample_type::u8
                                    : out_format == image_format::png && picture.type == sample_type::f32
                                        ? sample_type::u16
                                        : picture.type;
      image expected;
      expected.width = shape.new_width;
      expected.height = shape.new_height;
      expected.channels = kept_channels;
      expected.type = kept_type;
      ASSERT_TRUE(expected.allocate());
      pellimor::image_view view = pellimor::view_of(picture);
      view.channels = kept_channels;
      pellimor::resize_settings settings = request.settings;
      settings.alpha = expected.has_alpha() && kept_channels == picture.channels;
      pellimor::resize(view, pellimor::span_of(expected), settings);
      // JPEG loses values the same way each time: the library's values,
      // encoded and decoded alike.
      if (jpeg) expected = decoded(encoded(expected, image_format::jpeg));
      ASSERT_EQ(got.width, expected.width);
      ASSERT_EQ(got.height, expected.height);
      ASSERT_EQ(got.type, expected.type);
      if (bmp && kept_channels == 1) {
        ASSERT_EQ(got.channels, 3);
        for (std::size_t i = 0; i < expected.pixels.size(); ++i)
          for (int k = 0; k < 3; ++k) ASSERT_EQ(got.pixels[3 * i + k], expected.pixels[i]) << i;
        continue;
      }
      ASSERT_EQ(got.channels, expected.channels);
      EXPECT_TRUE(got.pixels == expected.pixels);
    }
  }
}

TEST(Formats, StandardInputAndOutputGiveTheFileResult) {
  temp_dir dir;
  test_util::write_file(dir.file("in.png"),
                        encoded(random_image(11, 8, 3, sample_type::u8, 3), image_format::png));
  ASSERT_EQ(run_program(dir, "-i in.png -o file -format png -sizexminus 4").status, 0);
  const std::string command = "cd '" + dir.path() +
                              "' && cat in.png | '" PELLIMOR_BINARY
                              "' -i - -o - -format png -sizexminus 4 >piped.png 2>err.txt";
  ASSERT_EQ(std::system(command.c_str()), 0) << read_file(dir.file("err.txt"));
  EXPECT_EQ(read_file(dir.file("piped.png")), read_file(dir.file("file.png")));
  // Every text went to standard error.
  EXPECT_NE(read_file(dir.file("err.txt")).find("IDCTV remain 0 Times"), std::string::npos);
}

TEST(Formats, IccProfileTravelsByteForByte) {
  const codec_test::bytes icc = codec_test::icc_profile(400, "RGB ");
  const std::string profile(icc.begin(), icc.end());
  for (const auto& [from, to, extension] : {std::tuple{image_format::png, "tiff", ".tif"},
                                            {image_format::tiff, "jpeg", ".jpg"},
                                            {image_format::jpeg, "png", ".png"}}) {
    temp_dir dir;
    image source = random_image(8, 8, 3, sample_type::u8, 9);
    source.icc.assign(profile.begin(), profile.end());
    test_util::write_file(dir.file("in"), encoded(source, from));
    ASSERT_EQ(run_program(dir, std::string("-i in -o out -sizexminus 3 -format ") + to).status, 0);
    const image got = decoded(read_file(dir.file(std::string("out") + extension)));
    EXPECT_EQ(std::string(got.icc.begin(), got.icc.end()), profile) << to;
  }
}

TEST(Formats, SizesReferToThePictureAsDisplayed) {
  // Stored 13 x 9, displayed turned a quarter (orientation 6): 9 x 13.
  temp_dir dir;
  image source = random_image(13, 9, 3, sample_type::u8, 21);
  source.orientation = 6;
  test_util::write_file(dir.file("in.tif"), encoded(source, image_format::tiff));
  const test_util::run_result r = run_program(dir, "-i in.tif -o out -format png -size 18x26!");
  ASSERT_EQ(r.status, 0) << r.err;
  const image got = decoded(read_file(dir.file("out.png")));
  EXPECT_EQ(got.orientation, 1);
  ASSERT_TRUE(pellimor::apply_orientation(&source));
  ASSERT_EQ(source.width, 9);
  const image expected = library_resize(source, 18, 26, sample_type::u8, 3, false);
  EXPECT_EQ(got.width, 18);
  EXPECT_EQ(got.height, 26);
  EXPECT_EQ(got.pixels, expected.pixels);
}

TEST(Formats, DamagedFilesAreRefusedWithoutOutput) {
  const std::string png = encoded(random_image(16, 16, 3, sample_type::u8, 4), image_format::png);
  const std::string jpeg = encoded(random_image(16, 16, 3, sample_type::u8, 4), image_format::jpeg);
  const std::string tiff = encoded(random_image(16, 16, 3, sample_type::u8, 4), image_format::tiff);
  std::string bad_crc = png;
  bad_crc[40] ^= 0x55;  // inside the first IDAT or IHDR's data: the CRC no longer matches
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"png cut short", png.substr(0, png.size() / 2)},
      {"png with a bad CRC", bad_crc},
      {"jpeg cut short", jpeg.substr(0, jpeg.size() / 2)},
      {"tiff cut short", tiff.substr(0, tiff.size() / 2)},
      {"png signature only", png.substr(0, 8)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    test_util::write_file(dir.file("in"), c.bytes);
    const test_util::run_result r = run_program(dir, "-i in -o out -format png -sizexminus 2");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("pellimor: in: "), std::string::npos) << r.err;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"in"});
  }
}

// A PNG whose every chunk is sound but whose row `bad_row` has a filter
// type PNG does not have: the decoder finds it only on reaching that row.
std::string png_with_bad_filter(int width, int height, int bad_row) {
  std::vector<std::uint8_t> raw;
  std::mt19937 noise(5);
  for (int y = 0; y < height; ++y) {
    raw.push_back(y == bad_row ? 9 : 0);
    for (int i = 0; i < width * 3; ++i) raw.push_back(static_cast<std::uint8_t>(noise()));
  }
  uLongf packed_size = compressBound(raw.size());
  std::vector<std::uint8_t> packed(packed_size);
  EXPECT_EQ(compress2(packed.data(), &packed_size, raw.data(), raw.size(), 6), Z_OK);
  packed.resize(packed_size);
  std::string file("\x89PNG\r\n\x1a\n", 8);
  const auto chunk = [&](const char* type, const std::vector<std::uint8_t>& data) {
    codec_test::bytes b(12 + data.size());
    codec_test::put_be(&b, 0, static_cast<std::uint32_t>(data.size()), 4);
    std::copy_n(type, 4, b.begin() + 4);
    std::copy(data.begin(), data.end(), b.begin() + 8);
    codec_test::put_be(&b, 8 + data.size(), static_cast<std::uint32_t>(crc32(0, b.data() + 4, data.size() + 4)),
                       4);
    file.append(b.begin(), b.end());
  };
  codec_test::bytes header(13);
  codec_test::put_be(&header, 0, width, 4);
  codec_test::put_be(&header, 4, height, 4);
  header[8] = 8;  // bits
  header[9] = 2;  // RGB
  chunk("IHDR", header);
  chunk("IDAT", packed);
  chunk("IEND", {});
  return file;
}

// A strip-stored TIFF (little-endian, as written here) whose strip `strip`
// holds a deflate block of a type that does not exist: the file's layout is
// sound, the strip fails only when decoded.
std::string tiff_with_bad_strip(std::string file, int strip) {
  const auto le = [&](std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(file[at + i]);
    return v;
  };
  EXPECT_EQ(file.substr(0, 2), "II");
  const std::uint32_t directory = le(4, 4);
  for (std::uint32_t e = 0; e < le(directory, 2); ++e) {
    const std::size_t entry = directory + 2 + 12 * e;
    if (le(entry, 2) != 273) continue;  // StripOffsets
    EXPECT_GT(le(entry + 4, 4), static_cast<std::uint32_t>(strip));
    // Past the two-byte zlib header: last block, block type 3.
    file[le(le(entry + 8, 4) + 4 * strip, 4) + 2] = static_cast<char>(0xff);
    return file;
  }
  ADD_FAILURE() << "no StripOffsets";
  return file;
}

// A decoder that fails part of the way down, after rows already went into
// the resize, leaves no output: no file, no temporary file, nothing on
// standard output.
TEST(Formats, InputsFailingHalfWayLeaveNothing) {
  const std::string jpeg = encoded(codec_test::smooth_image(96, 400, 3), image_format::jpeg);
  const std::string tiff = encoded(random_image(512, 700, 3, sample_type::u8, 8), image_format::tiff);
  // One channel is also the last one resized: the rows it has read go from
  // memory while the decoder is still at work, megabytes before it fails.
  const std::string grey_tiff = encoded(random_image(2048, 2000, 1, sample_type::u8, 9), image_format::tiff);
  const std::string grey_jpeg = encoded(codec_test::smooth_image(2048, 2000, 1), image_format::jpeg);
  const struct {
    const char* name;
    std::string bytes;
    const char* why;  // what the decoder says where it stops
  } cases[] = {
      {"png with a bad row", png_with_bad_filter(48, 300, 200), "filter"},
      {"jpeg cut in its scan", jpeg.substr(0, jpeg.size() * 2 / 3), "rows"},
      {"tiff with a bad third strip", tiff_with_bad_strip(tiff, 2), "strip 2 cannot be decoded"},
      {"grey tiff with a bad strip far down", tiff_with_bad_strip(grey_tiff, 13), "strip 13 cannot be decoded"},
      {"grey jpeg cut far down", grey_jpeg.substr(0, grey_jpeg.size() * 7 / 8), "rows"},
  };
  for (const auto& c : cases) {
    for (const char* output : {"out", "-"}) {
      SCOPED_TRACE(std::string(c.name) + " to " + output);
      temp_dir dir;
      test_util::write_file(dir.file("in"), c.bytes);
      const test_util::run_result r =
          run_program(dir, std::string("-i in -o ") + output + " -format png -sizexminus 3");
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.err.find("pellimor: in: "), std::string::npos) << r.err;
      EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
      EXPECT_EQ(r.out.find("\x89PNG"), std::string::npos);
      EXPECT_EQ(dir.entries(), std::vector<std::string>{"in"});
    }
  }
}

// Short of memory for the decoded picture, a shrink decodes its input once
// for each channel and holds only bands of it (pipeline.h): the same bytes,
// where without that the job would be refused (it needs 54 MiB as this is
// written, and so still does any job of the program that cannot decode
// again); and a decoder failing part of the way down, its rows let go as
// they were read, still leaves nothing.
TEST(Formats, JobsShortOfMemoryDecodeAgainForEachChannel) {
  const image picture = codec_test::smooth_image(2400, 1800, 3);
  const struct {
    const char* name;
    std::string bytes;
    const char* output;
  } cases[] = {
      {"png", encoded(picture, image_format::png), "out.png"},
      {"jpeg", encoded(picture, image_format::jpeg), "out.jpg"},
      {"tiff", encoded(picture, image_format::tiff), "out.tif"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    test_util::write_file(dir.file("in"), c.bytes);
    ASSERT_EQ(run_program(dir, std::string("resize -s 1200x900! in whole_") + c.output).status, 0);
    const test_util::run_result r =
        run_program(dir, std::string("resize --limit memory=52M -s 1200x900! in ") + c.output);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir.file(c.output)) == read_file(dir.file(std::string("whole_") + c.output)));
  }
  temp_dir dir;
  test_util::write_file(dir.file("in"), png_with_bad_filter(2400, 1800, 1500));
  const test_util::run_result r = run_program(dir, "resize --limit memory=52M -s 1200x900! in out.png");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("pellimor: in: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("filter"), std::string::npos) << r.err;
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"in"});
}

// Short of memory for the decoded picture, a shrink keeps the channels
// after the first compressed while the first is resized, letting the
// decoded rows go as it reads them, and shorter still decodes its input
// again for each channel: every channel still gets the library's values,
// for samples that compress well and for noise that does not, of one and
// two bytes, in linear light too, with batches finishing out of order.
// The memory a job is admitted with says which way it went: packed needs
// less than whole, again less than packed.
TEST(Formats, JobsShortOfMemoryPackOrDecodeAgainAndGiveTheLibrarysValues) {
  const auto cmyk = [](image img) {
    img.cmyk = true;  // four channels of ink, none of them alpha
    return img;
  };
  const struct {
    const char* name;
    image source;
    image_format format;
    bool linear;
  } cases[] = {
      {"smooth 8-bit png", codec_test::smooth_image(2400, 2000, 3), image_format::png, false},
      {"noise 16-bit tiff", random_image(1600, 1400, 3, sample_type::u16, 21), image_format::tiff, false},
      {"noise 8-bit cmyk tiff", cmyk(random_image(2000, 1800, 4, sample_type::u8, 22)), image_format::tiff,
       false},
      {"smooth jpeg in linear light", codec_test::smooth_image(2400, 2000, 3), image_format::jpeg, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    const std::string file = encoded(c.source, c.format);
    test_util::write_file(dir.file("in"), file);
    const image source = decoded(file);
    pellimor::file_options options;
    const int new_width = c.source.width / 2 - 3, new_height = c.source.height / 3 + 1;
    options.size = std::to_string(new_width) + "x" + std::to_string(new_height) + "!";
    options.format = image_format::tiff;
    options.settings.threads = 2;
    options.settings.linear = c.linear;
    image expected;
    expected.width = new_width;
    expected.height = new_height;
    expected.channels = c.source.channels;
    expected.type = c.source.type;
    ASSERT_TRUE(expected.allocate());
    pellimor::resize(pellimor::view_of(source), pellimor::span_of(expected), options.settings);
    double limit = 0;  // none: whole, then each way with less
    for (const char* way : {"whole", "packed", "again"}) {
      SCOPED_TRACE(way);
      options.limits.memory = static_cast<std::uint64_t>(limit);
      pellimor::file_request request = pellimor::request_for(dir.file("in"), dir.file("out"), options);
      double admitted = 0;
      request.admitted = [&admitted](double need) { admitted = need; };
      std::string where, err;
      ASSERT_TRUE(pellimor::run_file_request(request, &where, &err)) << where << ": " << err;
      if (limit > 0) {
        ASSERT_LE(admitted, limit);
      }
      limit = admitted - 1;
      const image got = decoded(read_file(dir.file("out")));
      ASSERT_EQ(got.channels, expected.channels);
      ASSERT_EQ(got.type, expected.type);
      EXPECT_EQ(got.cmyk, c.source.cmyk);
      EXPECT_TRUE(got.pixels == expected.pixels);
    }
  }
  // A decoder failing far down, rows above already packed and let go,
  // still leaves nothing and says why.
  temp_dir dir;
  test_util::write_file(dir.file("in"), png_with_bad_filter(2400, 1800, 1500));
  pellimor::file_options options;
  options.size = "1200x900!";
  double need = 0;
  for (int run = 0; run < 2; ++run) {
    options.limits.memory = static_cast<std::uint64_t>(need);
    pellimor::file_request request = pellimor::request_for(dir.file("in"), dir.file("out.png"), options);
    double admitted = 0;
    request.admitted = [&admitted](double n) { admitted = n; };
    std::string where, err;
    EXPECT_FALSE(pellimor::run_file_request(request, &where, &err));
    EXPECT_EQ(where, dir.file("in"));
    EXPECT_NE(err.find("filter"), std::string::npos) << err;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"in"});
    if (run == 1) {
      EXPECT_LT(admitted, need);
    }
    need = admitted - 1;
  }
}

// A single job keeps the channels after the first apart, uncompressed,
// while the first is resized; a batch's job, keeping its pages for the
// next file, holds the decoded picture whole: the same output bytes,
// shrunk and widened, for one, two and four byte samples, with planes of
// more than one chunk read by two threads in any order.
TEST(Formats, PlanesKeptApartGiveTheWholePicturesBytes) {
  const struct {
    const char* name;
    image source;
    image_format format;
    const char* size;
  } cases[] = {
      {"8-bit jpeg shrunk", codec_test::smooth_image(1800, 1300, 3), image_format::jpeg, "700x900!"},
      {"8-bit png widened", random_image(900, 800, 3, sample_type::u8, 31), image_format::png, "1201x250!"},
      {"16-bit tiff", random_image(1500, 900, 3, sample_type::u16, 32), image_format::tiff, "601x1203!"},
      {"float tiff", random_image(400, 700, 3, sample_type::f32, 33), image_format::tiff, "333x222!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    test_util::write_file(dir.file("in"), encoded(c.source, c.format));
    pellimor::file_options options;
    options.size = c.size;
    options.format = image_format::tiff;
    options.settings.threads = 2;
    std::string outputs[2];
    for (const bool keep_pages : {false, true}) {
      pellimor::file_request request = pellimor::request_for(dir.file("in"), dir.file("out"), options);
      request.keep_pages = keep_pages;
      std::string where, err;
      ASSERT_TRUE(pellimor::run_file_request(request, &where, &err)) << where << ": " << err;
      outputs[keep_pages] = read_file(dir.file("out"));
    }
    ASSERT_FALSE(outputs[0].empty());
    EXPECT_TRUE(outputs[0] == outputs[1]);
  }
}

TEST(Formats, LibraryResizeFileWritesTheProgramsBytes) {
  // A plain 24-bit BMP takes the program's streaming path; the library always
  // decodes whole. Both must give the same file.
  const struct {
    const char* name;
    image_format in_format;
    int channels;
    sample_type type;
    const char* size;
    const char* format;
    const char* extension;
    bool linear = false;
  } cases[] = {
      {"24-bit bmp", image_format::bmp, 3, sample_type::u8, "150%x80%", "bmp", ".bmp"},
      {"24-bit bmp, linear light", image_format::bmp, 3, sample_type::u8, "7x20!", "bmp", ".bmp", true},
      {"16-bit grey png", image_format::png, 1, sample_type::u16, "7x20!", "png", ".png"},
      {"float rgba tiff", image_format::tiff, 4, sample_type::f32, "x5", "tiff", ".tif"},
      {"rgba png to jpeg", image_format::png, 4, sample_type::u8, "30", "jpeg", ".jpg"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    test_util::write_file(dir.file("in"), encoded(random_image(13, 9, c.channels, c.type, 17), c.in_format));
    const test_util::run_result r =
        run_program(dir, std::string("-i in -o program -size ") + c.size + " -format " + c.format +
                             (c.linear ? " -linear on" : ""));
    ASSERT_EQ(r.status, 0) << r.err;
    pellimor::file_options options;
    options.size = c.size;
    options.settings.linear = c.linear;
    options.settings.round = pellimor::rounding::trunc;  // the keyword program's rounding
    pellimor::resize_file(dir.file("in"), dir.file(std::string("library") + c.extension), options);
    EXPECT_EQ(read_file(dir.file(std::string("library") + c.extension)),
              read_file(dir.file(std::string("program") + c.extension)));
  }
}

TEST(Formats, LibraryResizeFileNamesTheFileAtFault) {
  temp_dir dir;
  test_util::write_file(dir.file("in.png"),
                        encoded(random_image(6, 6, 3, sample_type::u8, 2), image_format::png));
  std::filesystem::create_directory(dir.file("folder.png"));
  test_util::write_file(dir.file("junk"), "not a picture");
  const struct {
    const char *input, *output, *size, *message;
    std::uint64_t pixels = 0, memory = 0;
  } cases[] = {
      {"in.png", "out.png", "12y", "bad geometry '12y'"},
      {"in.png", "out.gif", "", "out.gif: GIF files are read, not written"},
      {"in.png", "out.gfi", "", "out.gfi: the name does not end in"},
      {"in.png", "folder.png", "", "folder.png: is a folder"},
      {"junk", "out.png", "", "junk: not a BMP, PNG, JPEG, TIFF, WebP or GIF file"},
      {"in.png", "out.png", "", "in.png: the file claims 6 x 6 = 36 pixels, more than the pixel limit (35)",
       35},
      {"in.png", "out.png", "7x6!", "in.png: resizing to 7 x 6 = 42 pixels, more than the pixel limit (36)",
       36},
      {"in.png", "out.png", "",
       "in.png: resizing to 6 x 6 needs 1 MiB, more than the memory limit set (0 MiB)", 0, 1000},
      {"in.png", "out.jpg", "65501x1!", "the output size 65501 x 1 does not fit in a jpeg file"},
  };
  for (const auto& c : cases) {
    pellimor::file_options options;
    options.size = c.size;
    options.limits = {c.pixels, c.memory};
    try {
      pellimor::resize_file(dir.file(c.input), dir.file(c.output), options);
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const pellimor::error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"folder.png", "in.png", "junk"}));

  // read_image takes the same limits.
  for (const pellimor::file_limits limits : {pellimor::file_limits{35, 0}, pellimor::file_limits{0, 100}}) {
    EXPECT_THROW(pellimor::read_image(dir.file("in.png"), limits), pellimor::error);
  }
  EXPECT_EQ(pellimor::read_image(dir.file("in.png"), {36, 0}).width, 6);
}

TEST(Formats, FifosReadLikeFiles) {
  // A FIFO must be read from the one descriptor opened on it: opening it a
  // second time waits for a writer that never comes.
  for (const auto& [name, format, bytes] :
       {std::tuple{"24-bit bmp", "bmp",
                   encoded(random_image(9, 7, 3, sample_type::u8, 5), image_format::bmp)},
        {"png", "png", encoded(random_image(9, 7, 3, sample_type::u8, 5), image_format::png)}}) {
    SCOPED_TRACE(name);
    temp_dir dir;
    test_util::write_file(dir.file("in"), bytes);
    ASSERT_EQ(run_program(dir, "-i in -o file -size 150% -format " + std::string(format)).status, 0);
    const test_util::run_result r =
        run_program(dir, std::string("-i fifo -o piped -size 150% -format ") + format,
                    "mkfifo fifo && { cat in > fifo & }");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string extension = format == std::string("bmp") ? ".bmp" : ".png";
    EXPECT_EQ(read_file(dir.file("piped" + extension)), read_file(dir.file("file" + extension)));
  }
}

TEST(Formats, ShortBmpFilesSayTheSameWhicheverWayTheyAreRead) {
  const std::string whole = encoded(random_image(9, 7, 3, sample_type::u8, 5), image_format::bmp);
  temp_dir dir;
  test_util::write_file(dir.file("short.bmp"), whole.substr(0, whole.size() - 5));
  for (const auto& [args, redirection] : {std::pair{"-i short.bmp -o out", ""},
                                          {"-i short.bmp -o out -format png", ""},
                                          {"-i - -o out", "< short.bmp"}}) {
    SCOPED_TRACE(args);
    const test_util::run_result r = run_program(dir, std::string(args) + " -sizexminus 2", "", redirection);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("input file size err!!\n"), std::string::npos) << r.out;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"short.bmp"});
  }
}

}  // namespace

namespace {

// A large PNG, JPEG or TIFF input makes the program start itself again with
// huge pages for malloc: the run must look exactly like one that does not,
// the same text once and the same file.
TEST(Formats, StartingAgainForHugePagesChangesNothing) {
  temp_dir dir;
  test_util::write_file(dir.file("in.png"),
                        encoded(random_image(320, 300, 3, sample_type::u8, 9), image_format::png));
  ASSERT_GE(std::filesystem::file_size(dir.file("in.png")), 256u << 10);  // large enough to start again
  const std::string args = "-i in.png -format png -sizexminus -7 -sizexminusy 5 -o ";
  const test_util::run_result again = run_program(dir, args + "again");
  const test_util::run_result once =
      run_program(dir, args + "once", "export GLIBC_TUNABLES=glibc.malloc.hugetlb=0");
  ASSERT_EQ(again.status, 0) << again.err;
  ASSERT_EQ(once.status, 0) << once.err;
  EXPECT_EQ(again.out, once.out);
  EXPECT_EQ(again.err, once.err);
  EXPECT_EQ(again.out.find("input = in.png"), again.out.rfind("input = in.png"));
  EXPECT_TRUE(read_file(dir.file("again.png")) == read_file(dir.file("once.png")));
  // The same for the resize verb.
  const test_util::run_result verb = run_program(dir, "resize -s 313x305! in.png verb.png");
  const test_util::run_result verb_once = run_program(dir, "resize -s 313x305! in.png verb_once.png",
                                                      "export GLIBC_TUNABLES=glibc.malloc.hugetlb=0");
  ASSERT_EQ(verb.status, 0) << verb.err;
  ASSERT_EQ(verb_once.status, 0) << verb_once.err;
  EXPECT_EQ(verb.err, verb_once.err);
  EXPECT_TRUE(read_file(dir.file("verb.png")) == read_file(dir.file("verb_once.png")));
  // Started again, it keeps its name for ps, top and pkill: its name read
  // while it runs is never "exe".
  const std::string watch = "cd '" + dir.path() + "' && { '" PELLIMOR_BINARY
                            "' resize -s 1200x1100! in.png watched.png >/dev/null 2>&1 </dev/null & p=$!; "
                            "while kill -0 $p 2>/dev/null; do cat /proc/$p/comm >>names.txt 2>/dev/null; done; "
                            "wait $p; }";
  ASSERT_EQ(std::system(watch.c_str()), 0);
  const std::string names = read_file(dir.file("names.txt"));
  EXPECT_EQ(names.find("exe\n"), std::string::npos) << names;
  EXPECT_NE(names.find("pellimor\n"), std::string::npos) << names;
}

}  // namespace
