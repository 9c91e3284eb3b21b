// SPDX-License-Identifier: MIT
// codec_test.cc - the shared codec plumbing: format names, loading whole
// files, pipes and standard input, the EXIF
// orientation parser, turning images upright and sample conversion.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "codec/codec_test_util.h"
#include "gtest/gtest.h"
#include "tests/test_util.h"

namespace {

using namespace pellimor;
using codec_test::bytes;

const std::string png_signature("\x89PNG\r\n\x1a\n", 8);

TEST(CodecNames, ParseFormat) {
  struct name_case {
    const char* name;
    bool known;
    image_format format;
  };
  const name_case cases[] = {
      {"bmp", true, image_format::bmp},
      {"png", true, image_format::png},
      {"jpeg", true, image_format::jpeg},
      {"jpg", true, image_format::jpeg},
      {"JPG", true, image_format::jpeg},
      {"tiff", true, image_format::tiff},
      {"tif", true, image_format::tiff},
      {"Tiff", true, image_format::tiff},
      {"", false, {}},
      {"pn", false, {}},
      {"pngg", false, {}},
      {"gif", true, image_format::gif},
      {"WebP", true, image_format::webp},
      {"webm", false, {}},
      {".png", false, {}},
  };
  for (const name_case& c : cases) {
    SCOPED_TRACE(c.name);
    image_format format = image_format::bmp;
    EXPECT_EQ(parse_format(c.name, &format), c.known);
    if (c.known) {
      EXPECT_EQ(format, c.format);
    }
  }
  for (image_format f : {image_format::bmp, image_format::png, image_format::jpeg, image_format::tiff,
                         image_format::webp, image_format::gif}) {
    image_format back;
    ASSERT_TRUE(parse_format(format_name(f), &back));
    EXPECT_EQ(back, f);
    ASSERT_TRUE(parse_format(format_extension(f) + 1, &back));
    EXPECT_EQ(back, f);
  }
}

TEST(LoadBytes, FilesFoldersAndMissingFiles) {
  test_util::temp_dir dir;
  std::string content(3 << 20, '\0');  // several read calls' worth
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131 + (i >> 12));
  content.replace(0, 8, png_signature);  // a format is recognised, so all is read
  test_util::write_file(dir.file("big"), content);
  test_util::write_file(dir.file("empty"), "");
  bytes got;
  std::string err;
  ASSERT_TRUE(load_bytes(dir.file("big").c_str(), &got, &err)) << err;
  EXPECT_TRUE(std::string(got.begin(), got.end()) == content);
  got.assign(5, 1);
  ASSERT_TRUE(load_bytes(dir.file("empty").c_str(), &got, &err)) << err;
  EXPECT_TRUE(got.empty());
  EXPECT_FALSE(load_bytes(dir.path().c_str(), &got, &err));
  EXPECT_NE(err.find("folder"), std::string::npos) << err;
  err.clear();
  EXPECT_FALSE(load_bytes(dir.file("missing").c_str(), &got, &err));
  EXPECT_NE(err.find("No such file"), std::string::npos) << err;
}

// Writes `content` into `fd` from another thread, then closes it.
std::thread feed(int fd, const std::string& content) {
  return std::thread([fd, &content] {
    for (std::size_t done = 0; done < content.size();) {
      const ssize_t n = write(fd, content.data() + done, content.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    close(fd);
  });
}

TEST(LoadBytes, StandardInputFromAPipeIsReadToTheEnd) {
  std::string content(300000, '\0');  // more than a pipe holds at once
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + (i >> 9));
  content.replace(0, 8, png_signature);
  // Standard input ("-") is the read end of a pipe a thread fills.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const int saved_stdin = dup(STDIN_FILENO);
  ASSERT_GE(saved_stdin, 0);
  ASSERT_EQ(dup2(ends[0], STDIN_FILENO), STDIN_FILENO);
  close(ends[0]);
  std::thread stdin_writer = feed(ends[1], content);
  bytes got;
  std::string err;
  const bool ok = load_bytes("-", &got, &err);
  stdin_writer.join();
  dup2(saved_stdin, STDIN_FILENO);
  close(saved_stdin);
  EXPECT_TRUE(ok) << err;
  EXPECT_TRUE(std::string(got.begin(), got.end()) == content);
}

// Reads `content` as standard input through a pipe a thread fills (the
// writer sees EPIPE, not SIGPIPE, when reading stops early).
bool load_from_pipe(const std::string& content, std::uint64_t max_bytes, bytes* got, std::string* err) {
  int ends[2];
  if (pipe(ends) != 0) return false;
  const int saved_stdin = dup(STDIN_FILENO);
  dup2(ends[0], STDIN_FILENO);
  close(ends[0]);
  void (*saved_pipe)(int) = signal(SIGPIPE, SIG_IGN);
  std::thread writer = feed(ends[1], content);
  const bool ok = load_bytes("-", got, err, max_bytes);
  dup2(saved_stdin, STDIN_FILENO);  // the pipe's last reader closes: the writer ends
  close(saved_stdin);
  writer.join();
  signal(SIGPIPE, saved_pipe);
  return ok;
}

TEST(LoadBytes, ReadingStopsAtAnUnknownStartOrAtTheLimit) {
  const std::string zeros(4 << 20, '\0');  // as from /dev/zero: no format starts so
  std::string png = zeros;
  png.replace(0, 8, png_signature);
  bytes got;
  std::string err;
  ASSERT_TRUE(load_from_pipe(zeros, UINT64_MAX, &got, &err)) << err;
  EXPECT_LT(got.size(), std::size_t{1} << 20);  // stopped after the first read or two
  EXPECT_GE(got.size(), 8u);
  image_format format;
  EXPECT_FALSE(detect_format(got.data(), got.size(), &format));

  // A stream is refused once more than the limit has arrived; exactly the
  // limit is accepted.
  EXPECT_FALSE(load_from_pipe(png, (1 << 20) + 5, &got, &err));
  EXPECT_NE(err.find("more than 1+ MiB"), std::string::npos) << err;
  ASSERT_TRUE(load_from_pipe(png, png.size(), &got, &err)) << err;
  EXPECT_EQ(got.size(), png.size());

  // A file is refused by its size before it is read.
  test_util::temp_dir dir;
  test_util::write_file(dir.file("big.png"), png);
  err.clear();
  EXPECT_FALSE(load_bytes(dir.file("big.png").c_str(), &got, &err, png.size() - 1));
  EXPECT_NE(err.find("the file is 4 MiB, more than"), std::string::npos) << err;
  ASSERT_TRUE(load_bytes(dir.file("big.png").c_str(), &got, &err, png.size())) << err;
  EXPECT_EQ(got.size(), png.size());
}

TEST(ExifOrientation, BothByteOrdersAndBrokenBlocks) {
  for (bool big_endian : {false, true}) {
    SCOPED_TRACE(big_endian ? "big-endian" : "little-endian");
    for (int orientation = 1; orientation <= 8; ++orientation) {
      const bytes block = codec_test::exif_block(big_endian, orientation);
      EXPECT_EQ(codecs::exif_orientation(block.data(), block.size()), orientation);
    }
    // The tag as the first or last of many entries.
    const bytes first = codec_test::exif_block(big_endian, 6, 10, 0);
    EXPECT_EQ(codecs::exif_orientation(first.data(), first.size()), 6);
    const bytes last = codec_test::exif_block(big_endian, 7, 10, 9);
    EXPECT_EQ(codecs::exif_orientation(last.data(), last.size()), 7);
    // Values outside 1..8 and a block without the tag read as 1.
    for (int bad : {0, 9, 0x1234}) {
      const bytes block = codec_test::exif_block(big_endian, bad);
      EXPECT_EQ(codecs::exif_orientation(block.data(), block.size()), 1);
    }
    const bytes none = codec_test::exif_block(big_endian, 6, 3, 5);
    EXPECT_EQ(codecs::exif_orientation(none.data(), none.size()), 1);
    // Cut anywhere before the value ends: 1, and nothing read past the cut
    // (each cut is a fresh copy of exactly that size, for ASan).
    const bytes whole = codec_test::exif_block(big_endian, 3, 2, 1);
    const std::size_t value_end = 10 + 12 + 8 + 2;
    for (std::size_t size = 0; size < value_end; ++size) {
      const bytes cut(whole.begin(), whole.begin() + size);
      EXPECT_EQ(codecs::exif_orientation(cut.data(), cut.size()), 1) << size;
    }
    EXPECT_EQ(codecs::exif_orientation(whole.data(), value_end), 3);
    // The wrong magic number, or an IFD offset past the end.
    bytes wrong = whole;
    wrong[big_endian ? 3 : 2] = 43;
    EXPECT_EQ(codecs::exif_orientation(wrong.data(), wrong.size()), 1);
    bytes far = whole;
    far[big_endian ? 4 : 7] = 0x7f;
    EXPECT_EQ(codecs::exif_orientation(far.data(), far.size()), 1);
  }
  const bytes mixed = {'I', 'M', 42, 0, 8, 0, 0, 0, 0, 0};
  EXPECT_EQ(codecs::exif_orientation(mixed.data(), mixed.size()), 1);
}

// Where apply_orientation must put three stored corners (top left, top
// right, bottom left) of a W x H image, in the displayed W' x H' image, as
// EXIF defines each value by where the stored 0th row and 0th column go.
struct corners {
  int orientation;
  int tl_x, tl_y, tr_x, tr_y, bl_x, bl_y;  // -1 stands for the last column or row
};
const corners every_orientation[] = {
    {1, 0, 0, -1, 0, 0, -1},    // row 0 at the top, column 0 on the left
    {2, -1, 0, 0, 0, -1, -1},   // row 0 at the top, column 0 on the right
    {3, -1, -1, 0, -1, -1, 0},  // row 0 at the bottom, column 0 on the right
    {4, 0, -1, -1, -1, 0, 0},   // row 0 at the bottom, column 0 on the left
    {5, 0, 0, 0, -1, -1, 0},    // row 0 on the left, column 0 at the top
    {6, -1, 0, -1, -1, 0, 0},   // row 0 on the right, column 0 at the top
    {7, -1, -1, -1, 0, 0, -1},  // row 0 on the right, column 0 at the bottom
    {8, 0, -1, 0, 0, -1, -1},   // row 0 on the left, column 0 at the bottom
};

TEST(ApplyOrientation, EveryValueOnEverySampleType) {
  struct layout {
    int channels;
    sample_type type;
  };
  const layout layouts[] = {
      {1, sample_type::u8}, {3, sample_type::u8}, {2, sample_type::u16}, {4, sample_type::f64}};
  const std::int32_t w = 4, h = 3;
  for (const layout& l : layouts)
    for (const corners& c : every_orientation) {
      SCOPED_TRACE(std::to_string(c.orientation) + ", " + std::to_string(l.channels) + " x " +
                   sample_type_name(l.type));
      image img = codec_test::random_image(w, h, l.channels, l.type, 7);
      const image stored = img;
      img.orientation = c.orientation;
      ASSERT_TRUE(apply_orientation(&img));
      const bool swapped = c.orientation >= 5;
      const std::int32_t ow = swapped ? h : w, oh = swapped ? w : h;
      ASSERT_EQ(img.width, ow);
      ASSERT_EQ(img.height, oh);
      EXPECT_EQ(img.orientation, 1);
      ASSERT_EQ(img.pixels.size(), stored.pixels.size());
      // The map is affine: three corners fix it for every pixel.
      auto at = [](int v, int last) { return v < 0 ? last : v; };
      const int ox = at(c.tl_x, ow - 1), oy = at(c.tl_y, oh - 1);
      const int dx_x = (at(c.tr_x, ow - 1) - ox) / (w - 1), dx_y = (at(c.tr_y, oh - 1) - oy) / (w - 1);
      const int dy_x = (at(c.bl_x, ow - 1) - ox) / (h - 1), dy_y = (at(c.bl_y, oh - 1) - oy) / (h - 1);
      const std::size_t pixel = l.channels * sample_bytes(l.type);
      int wrong = 0;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const int tx = ox + x * dx_x + y * dy_x, ty = oy + x * dx_y + y * dy_y;
          wrong += std::memcmp(stored.row(y) + x * pixel, img.row(ty) + tx * pixel, pixel) != 0;
        }
      EXPECT_EQ(wrong, 0);
    }
  // Values outside 1..8 leave the pixels as they are.
  for (int orientation : {0, 9, -3}) {
    image img = codec_test::random_image(3, 2, 3, sample_type::u8, 1);
    const image before = img;
    img.orientation = orientation;
    ASSERT_TRUE(apply_orientation(&img));
    EXPECT_EQ(img.orientation, 1);
    EXPECT_TRUE(img.pixels == before.pixels);
    EXPECT_EQ(img.width, 3);
  }
}

TEST(ConvertPixels, QuantisesByTheResamplerRule) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct sample_case {
    sample_type from;
    double value;
    sample_type to;
    unsigned want;
  };
  const sample_case cases[] = {
      {sample_type::f64, 1.0, sample_type::u16, 65535}, {sample_type::f64, -0.1, sample_type::u16, 0},
      {sample_type::f64, nan, sample_type::u16, 0},     {sample_type::f64, 0.99999, sample_type::u8, 254},
      {sample_type::f32, 0.5, sample_type::u8, 127},    {sample_type::f32, 0.25, sample_type::u16, 16383},
      {sample_type::u16, 65535, sample_type::u8, 255},  {sample_type::u16, 65534, sample_type::u8, 254},
      {sample_type::u16, 257, sample_type::u8, 1},      {sample_type::u16, 256, sample_type::u8, 0},
      {sample_type::u8, 1, sample_type::u16, 257},      {sample_type::u8, 255, sample_type::u16, 65535},
  };
  for (const sample_case& c : cases) {
    SCOPED_TRACE(std::string(sample_type_name(c.from)) + " " + std::to_string(c.value) + " to " +
                 sample_type_name(c.to));
    std::uint8_t src[8] = {}, dst[2] = {};
    if (c.from == sample_type::f64) std::memcpy(src, &c.value, 8);
    if (c.from == sample_type::f32) {
      const auto f = static_cast<float>(c.value);
      std::memcpy(src, &f, 4);
    }
    if (c.from == sample_type::u16) {
      const auto v = static_cast<std::uint16_t>(c.value);
      std::memcpy(src, &v, 2);
    }
    if (c.from == sample_type::u8) src[0] = static_cast<std::uint8_t>(c.value);
    codecs::convert_pixels(src, c.from, 1, dst, c.to, 1, 1);
    std::uint16_t got = dst[0];
    if (c.to == sample_type::u16) std::memcpy(&got, dst, 2);
    EXPECT_EQ(got, c.want);
  }
  // Dropping channels keeps the first ones of each pixel, in order.
  const std::uint8_t rgba[] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::uint8_t rgb[6] = {};
  codecs::convert_pixels(rgba, sample_type::u8, 4, rgb, sample_type::u8, 3, 2);
  EXPECT_EQ(bytes(rgb, rgb + 6), (bytes{1, 2, 3, 5, 6, 7}));
  const std::uint16_t wide[] = {257, 514, 65535, 0};
  std::uint8_t narrow[2] = {};
  codecs::convert_pixels(reinterpret_cast<const std::uint8_t*>(wide), sample_type::u16, 2, narrow,
                         sample_type::u8, 1, 2);
  EXPECT_EQ(bytes(narrow, narrow + 2), (bytes{1, 255}));
}

}  // namespace

namespace {

struct layout_case {
  image_format format;
  int width, height, channels;
  sample_type type;
  bool in_bands;  // whether rows come before the end for this layout
};

// Tall enough for several bands of decoded rows and several TIFF strips;
// one PNG large enough (2 MiB or more) to be deflated in pieces.
const layout_case layouts[] = {
    {image_format::png, 7, 53, 3, sample_type::u8, true},
    {image_format::png, 5, 40, 4, sample_type::u16, true},
    {image_format::png, 500, 900, 3, sample_type::u16, true},
    {image_format::jpeg, 9, 61, 3, sample_type::u8, true},
    {image_format::jpeg, 8, 35, 1, sample_type::u8, true},
    {image_format::tiff, 3000, 47, 3, sample_type::u8, true},
    {image_format::tiff, 1000, 71, 2, sample_type::f32, true},
    {image_format::bmp, 6, 30, 3, sample_type::u8, false},
};

image picture_for(const layout_case& c) {
  return c.format == image_format::jpeg ? codec_test::smooth_image(c.width, c.height, c.channels)
                                        : codec_test::random_image(c.width, c.height, c.channels, c.type, 3);
}

}  // namespace

// Rows a decoder says are done hold their final samples at that moment,
// counts only grow, the last call covers the picture, and the streaming
// formats tell before the end.
TEST(DecodeProgress, RowsToldAreFinal) {
  for (const layout_case& c : layouts) {
    SCOPED_TRACE(std::string(format_name(c.format)) + " " + std::to_string(c.channels) + " channels");
    std::string err;
    const bytes file = codec_test::encode(picture_for(c), c.format, &err);
    ASSERT_FALSE(file.empty()) << err;
    std::vector<std::int32_t> counts;
    std::vector<std::vector<std::uint8_t>> seen;  // rows [0, count) as they were when told
    const std::uint8_t* buffer = nullptr;
    std::size_t row_bytes = 0;
    const decode_progress progress = [&](const std::uint8_t* pixels, std::int32_t rows) {
      if (buffer == nullptr) buffer = pixels;
      EXPECT_EQ(pixels, buffer);
      counts.push_back(rows);
      row_bytes = static_cast<std::size_t>(c.width) * c.channels * sample_bytes(c.type);
      seen.emplace_back(pixels, pixels + row_bytes * rows);
    };
    image got;
    ASSERT_TRUE(decode_image(file.data(), file.size(), c.format, &got, &err, progress)) << err;
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(got.pixels.data(), buffer);
    EXPECT_EQ(counts.back(), got.height);
    EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end()));
    EXPECT_EQ(counts.size() > 1 && counts.front() < got.height, c.in_bands);
    for (const std::vector<std::uint8_t>& rows : seen)
      EXPECT_TRUE(std::equal(rows.begin(), rows.end(), got.pixels.begin()));
  }
}

// PNG, JPEG and TIFF decode into the room an empty buffer keeps (a batch
// hands each picture's buffer on to the next); whatever that room held
// before never shows, and a buffer without enough room is simply replaced.
TEST(DecodeIntoRoom, AnEmptyBuffersRoomIsUsedAndItsOldSamplesNeverShow) {
  for (const layout_case& c : layouts) {
    SCOPED_TRACE(std::string(format_name(c.format)) + " " + std::to_string(c.channels) + " channels");
    std::string err;
    const bytes file = codec_test::encode(picture_for(c), c.format, &err);
    ASSERT_FALSE(file.empty()) << err;
    image expected;
    ASSERT_TRUE(decode_image(file.data(), file.size(), c.format, &expected, &err)) << err;
    const bool reused = c.format != image_format::bmp;
    for (const std::size_t room : {expected.pixels.size() + 100, expected.pixels.size() / 2}) {
      image into = codec_test::spoiled_room(room);
      const std::uint8_t* const buffer = into.pixels.data();
      ASSERT_TRUE(decode_image(file.data(), file.size(), c.format, &into, &err)) << err;
      EXPECT_TRUE(into.pixels == expected.pixels) << room;
      if (room >= expected.pixels.size()) {
        EXPECT_EQ(into.pixels.data() == buffer, reused);
      }
    }
  }
}

// A pixel buffer zero-fills as std::vector does, except where it is told
// every sample will be written: then the room it has is used as it is.
TEST(PixelBuffer, GrowsZeroFilledUnlessEverySampleIsToBeWritten) {
  image img = codec_test::spoiled_room(1000);
  const std::uint8_t* const room = img.pixels.data();
  img.width = 10;
  img.height = 20;
  img.channels = 3;
  ASSERT_TRUE(img.allocate_for_overwrite());
  EXPECT_EQ(img.pixels.data(), room);
  EXPECT_EQ(img.pixels.size(), 600u);
  EXPECT_EQ(std::count(img.pixels.begin(), img.pixels.end(), 0xa5), 600);  // nothing written
  resize_for_overwrite(&img.pixels, 100);
  EXPECT_EQ(img.pixels.size(), 100u);
  for (int way = 0; way < 2; ++way) {
    std::fill(img.pixels.begin(), img.pixels.end(), std::uint8_t{0xa5});
    img.pixels.clear();
    if (way == 0)
      ASSERT_TRUE(img.allocate());
    else
      img.pixels.resize(img.pixel_bytes());
    EXPECT_EQ(img.pixels.data(), room);
    EXPECT_EQ(std::count(img.pixels.begin(), img.pixels.end(), 0), 600) << way;
  }
  img.width = -1;
  EXPECT_FALSE(img.allocate_for_overwrite());
}

// An encoder handed rows as they are made reads none before asking: rows
// filled in only when asked for give the file the finished picture gives,
// and a refusal stops the encoding.
TEST(EncodeRowsReady, RowsAreReadOnlyOnceAskedForAndNotAfterTheNextAsk) {
  for (const layout_case& c : layouts) {
    SCOPED_TRACE(std::string(format_name(c.format)) + " " + std::to_string(c.channels) + " channels");
    const image finished = picture_for(c);
    std::string err;
    const bytes expected = codec_test::encode(finished, c.format, &err);
    ASSERT_FALSE(expected.empty()) << err;
    for (const bool refuse : {false, true}) {
      image making = finished;
      std::fill(making.pixels.begin(), making.pixels.end(), std::uint8_t{0xa5});
      std::int32_t given = 0, asked = 0;
      encode_options options;
      options.rows_ready = [&](std::int32_t rows) {
        EXPECT_LE(rows, making.height);
        if (refuse && rows > making.height / 2) return false;
        // The rows of the call before are never read again (the pipeline
        // gives their memory back): spoil them.
        for (std::int32_t y = 0; y < asked; ++y) std::fill_n(making.row(y), making.row_bytes(), 0x3c);
        asked = rows;
        for (; given < rows; ++given)
          std::copy_n(finished.row(given), finished.row_bytes(), making.row(given));
        return true;
      };
      bytes out;
      const bool ok = encode_image(
          making, c.format, options,
          [&out](const std::uint8_t* data, std::size_t size) {
            out.insert(out.end(), data, data + size);
            return true;
          },
          &err);
      EXPECT_EQ(ok, !refuse);
      if (!refuse) {
        EXPECT_TRUE(out == expected);
      }
    }
  }
}
