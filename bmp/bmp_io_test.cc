// SPDX-License-Identifier: MIT
// bmp_io_test.cc - the BMP reader and writer against the file format.
#include "bmp/bmp_io.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "tests/test_util.h"

using namespace pellimor::detail;  // the library's internals

namespace {

using test_util::bmp_form;
using test_util::put_le;
namespace field = test_util::bmp_field;

struct closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_handle = std::unique_ptr<std::FILE, closer>;

// An anonymous temporary file holding `bytes`.
file_handle file_with(const std::string& bytes) {
  file_handle file(std::tmpfile());
  if (file && !bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file.get());
  if (file) std::fflush(file.get());
  return file;
}

std::string contents(std::FILE* file) {
  std::string bytes;
  std::rewind(file);
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.append(buffer, n);
  return bytes;
}

struct image {
  channel_plane blue, green, red;
};

image random_image(std::int32_t width, std::int32_t height, unsigned seed) {
  return {test_util::random_plane(width, height, seed), test_util::random_plane(width, height, seed + 1),
          test_util::random_plane(width, height, seed + 2)};
}

// The bytes write_output_bmp gives for `img`.
std::string written(const image& img) {
  file_handle file(std::tmpfile());
  std::string err;
  EXPECT_TRUE(write_output_bmp(file.get(), img.blue, img.green, img.red, &err)) << err;
  std::fflush(file.get());
  return contents(file.get());
}

// Reads a whole file held in `bytes`.
bmp_status read_image(const std::string& bytes, image* img, bmp_layout* layout, std::string* err) {
  file_handle file = file_with(bytes);
  return read_input_bmp(file.get(), layout, &img->blue, &img->green, &img->red, err);
}

std::uint64_t get_le(const std::string& s, std::size_t at, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(s[at + i]);
  return value;
}

// `bytes` copied to the very end of a readable page that is followed by an
// unreadable one: a read past them faults.
class guarded_bytes {
 public:
  explicit guarded_bytes(const std::string& bytes) : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
    void* map = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED || bytes.size() > page_) throw std::bad_alloc();
    base_ = static_cast<std::uint8_t*>(map);
    mprotect(base_ + page_, page_, PROT_NONE);
    data_ = base_ + page_ - bytes.size();
    std::memcpy(data_, bytes.data(), bytes.size());
  }
  ~guarded_bytes() { munmap(base_, 2 * page_); }
  guarded_bytes(const guarded_bytes&) = delete;
  guarded_bytes& operator=(const guarded_bytes&) = delete;
  const std::uint8_t* data() const { return data_; }

 private:
  std::size_t page_;
  std::uint8_t* base_ = nullptr;
  std::uint8_t* data_ = nullptr;
};

// parse_bmp_header on the first bytes of `file` (as many as the parser may
// look at), with nothing readable after them.
bmp_status parse_guarded(const std::string& file, bmp_layout* layout, std::string* err) {
  const std::string head = file.substr(0, bmp_header_max);
  guarded_bytes guarded(head);
  return parse_bmp_header(guarded.data(), head.size(), file.size(), layout, err);
}

TEST(BmpWrite, PadsEachRowWithZerosToFourBytes) {
  const struct {
    std::int32_t width;
    std::size_t row_size;  // 3 * width rounded up to a multiple of 4
  } cases[] = {{1, 4}, {2, 8}, {3, 12}, {4, 12}};
  for (const auto& c : cases) {
    SCOPED_TRACE("width " + std::to_string(c.width));
    const std::int32_t height = 2;
    const auto full = [](int, int) { return 0xff; };
    const image img{test_util::make_plane(c.width, height, full),
                    test_util::make_plane(c.width, height, full),
                    test_util::make_plane(c.width, height, full)};
    const std::string bytes = written(img);
    ASSERT_EQ(bytes.size(), 54 + c.row_size * height);
    for (std::size_t r = 0; r < height; ++r) {
      const std::string row = bytes.substr(54 + r * c.row_size, c.row_size);
      EXPECT_EQ(row.substr(0, 3 * c.width), std::string(3 * c.width, '\xff'));
      EXPECT_EQ(row.substr(3 * c.width), std::string(c.row_size - 3 * c.width, '\0'));
    }
  }
}

TEST(BmpWrite, HeaderFieldsOfAFiveByThreeImage) {
  const std::string bytes = written(random_image(5, 3, 7));
  ASSERT_EQ(bytes.size(), 102u);  // 54 + 3 rows of 16 bytes
  EXPECT_EQ(bytes.substr(0, 2), "BM");
  const struct {
    const char* name;
    std::size_t at;
    int bytes;
    std::uint64_t value;
  } fields[] = {
      {"file size", field::size, 4, 102},
      {"reserved", 6, 4, 0},
      {"pixel offset", field::offset, 4, 54},
      {"info size", field::info_size, 4, 40},
      {"width", field::width, 4, 5},
      {"height", field::height, 4, 3},
      {"planes", field::planes, 2, 1},
      {"bits", field::bits, 2, 24},
      {"compression", field::compression, 4, 0},
      {"x pixels per metre", field::x_resolution, 4, 3780},
      {"y pixels per metre", field::y_resolution, 4, 3780},
      {"colours used", 46, 4, 0},
      {"important colours", 50, 4, 0},
  };
  for (const auto& f : fields) EXPECT_EQ(get_le(bytes, f.at, f.bytes), f.value) << f.name;
}

TEST(BmpWrite, RefusesWhatItCannotWrite) {
  const image small = random_image(2, 2, 1);
  channel_plane huge;  // sizes only: the writer must refuse before touching samples
  huge.width = 70000;
  huge.height = 70000;
  const struct {
    const char* name;
    const char* path;  // nullptr: a temporary file
    channel_plane blue, green, red;
  } cases[] = {
      {"too large for the size field", nullptr, huge, huge, huge},
      {"planes of different sizes", nullptr, small.blue, random_image(2, 3, 4).green, small.red},
      {"device full", "/dev/full", small.blue, small.green, small.red},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    file_handle file(c.path ? std::fopen(c.path, "wb") : std::tmpfile());
    ASSERT_TRUE(file);
    std::setvbuf(file.get(), nullptr, _IONBF, 0);  // every write reaches the file at once
    std::string err;
    EXPECT_FALSE(write_output_bmp(file.get(), c.blue, c.green, c.red, &err));
    EXPECT_FALSE(err.empty());
    if (!c.path) {
      EXPECT_EQ(contents(file.get()), "");
    }
  }
}

TEST(BmpFileSize, FitsTheThirtyTwoBitSizeField) {
  const struct {
    std::int64_t width, height;
    std::uint32_t size;  // 0: does not fit
  } cases[] = {
      {5, 3, 102},        {1, 1, 58},
      {4, 1, 66},         {0, 1, 0},
      {1, 0, 0},          {-1, 5, 0},
      {5, -1, 0},         {1, 1073741810, 4294967294u},  // rows of 4 bytes: the tallest that fits
      {1, 1073741811, 0}, {1431655746, 1, 4294967294u},  // one row of 4294967240 bytes: the widest that fits
      {1431655747, 1, 0}, {std::int64_t{INT32_MAX} + 1, 1, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(bmp_file_size(c.width, c.height), c.size) << c.width << " x " << c.height;
}

TEST(BmpRoundTrip, BottomRowComesFirstAndPlanesSurvive) {
  const struct { std::int32_t width, height; } sizes[] = {{1, 1}, {2, 3}, {3, 2}, {4, 5}, {7, 1}, {1, 7}};
  unsigned seed = 10;
  for (const auto& size : sizes) {
    SCOPED_TRACE(std::to_string(size.width) + " x " + std::to_string(size.height));
    const image img = random_image(size.width, size.height, seed += 3);
    const std::string bytes = written(img);
    const std::size_t row = bmp_row_size(size.width);
    ASSERT_EQ(bytes.size(), 54 + row * size.height);
    // File row r holds image row height-1-r, pixels blue, green, red.
    for (std::int32_t r = 0; r < size.height; ++r)
      for (std::int32_t x = 0; x < size.width; ++x) {
        const std::size_t at = 54 + r * row + 3 * x, i = plane_index(x, size.height - 1 - r, size.height);
        ASSERT_EQ(static_cast<unsigned char>(bytes[at]), img.blue.samples[i]);
        ASSERT_EQ(static_cast<unsigned char>(bytes[at + 1]), img.green.samples[i]);
        ASSERT_EQ(static_cast<unsigned char>(bytes[at + 2]), img.red.samples[i]);
      }

    image back;
    bmp_layout layout;
    std::string err;
    ASSERT_EQ(read_image(bytes, &back, &layout, &err), bmp_status::ok) << err;
    EXPECT_EQ(back.blue.samples, img.blue.samples);
    EXPECT_EQ(back.green.samples, img.green.samples);
    EXPECT_EQ(back.red.samples, img.red.samples);

    // A bottom-up file from elsewhere, read and written: the same rows.
    const std::string outside = test_util::bmp_bytes(img.blue, img.green, img.red);
    ASSERT_EQ(read_image(outside, &back, &layout, &err), bmp_status::ok) << err;
    EXPECT_EQ(written(back).substr(54), outside.substr(54));
  }
}

TEST(BmpRead, EveryHeaderFormGivesTheSamePlanes) {
  const std::int32_t width = 3, height = 5;  // 3 bytes of padding per row
  const image img = random_image(width, height, 42);
  for (const auto& c : test_util::every_form) {
    SCOPED_TRACE(c.name);
    const std::string bytes = test_util::bmp_bytes(img.blue, img.green, img.red, c.form);
    image back;
    bmp_layout layout;
    std::string err;
    ASSERT_EQ(read_image(bytes, &back, &layout, &err), bmp_status::ok) << err;
    EXPECT_EQ(layout.width, width);
    EXPECT_EQ(layout.height, height);
    EXPECT_EQ(layout.top_down, c.form.top_down);
    EXPECT_EQ(layout.pixel_offset, 14 + c.form.info_size + c.form.gap);
    EXPECT_EQ(back.blue.samples, img.blue.samples);
    EXPECT_EQ(back.green.samples, img.green.samples);
    EXPECT_EQ(back.red.samples, img.red.samples);

    // Blocks of rows from the middle, as the streaming engine reads them.
    file_handle file = file_with(bytes);
    const std::pair<int, int> blocks[] = {{0, 5}, {1, 2}, {3, 2}, {4, 1}};  // first row, count
    for (const auto& [first, count] : blocks) {
      std::string rows(3 * width * count, '\0');
      ASSERT_EQ(
          read_bmp_rows(file.get(), layout, first, count, reinterpret_cast<std::uint8_t*>(rows.data()), &err),
          bmp_status::ok)
          << err;
      for (int r = 0; r < count; ++r)
        for (int x = 0; x < width; ++x) {
          const std::size_t i = plane_index(x, first + r, height), at = 3 * (width * r + x);
          ASSERT_EQ(static_cast<unsigned char>(rows[at]), img.blue.samples[i]) << first << "+" << r;
          ASSERT_EQ(static_cast<unsigned char>(rows[at + 2]), img.red.samples[i]) << first << "+" << r;
        }
    }
  }
}

TEST(BmpRead, VerdictOnEachKindOfFile) {
  const image img = random_image(4, 3, 9);
  const std::string info = test_util::bmp_bytes(img.blue, img.green, img.red);        // 54 + 3 * 12
  const std::string core = test_util::bmp_bytes(img.blue, img.green, img.red, {12});  // 26 + 3 * 12
  const auto set = [](std::size_t at, std::int64_t value, int bytes) {
    return [=](std::string* s) { put_le(s, at, static_cast<std::uint64_t>(value), bytes); };
  };
  const auto cut_to = [](std::size_t length) { return [=](std::string* s) { s->resize(length); }; };
  const bmp_status ok = bmp_status::ok, malformed = bmp_status::malformed,
                   short_data = bmp_status::short_data;
  const struct {
    const char* name;
    const std::string& base;
    std::function<void(std::string*)> change;
    bmp_status expected;
  } cases[] = {
      {"trailing bytes in the size field", info,
       [](std::string* s) { s->append(6, 'x'), put_le(s, field::size, s->size(), 4); }, ok},
      {"trailing bytes left out of the size field", info, [](std::string* s) { s->append(6, 'x'); }, ok},
      {"planes field not 1", info, set(field::planes, 3, 2), ok},
      {"signature BA", info, [](std::string* s) { (*s)[1] = 'A'; }, malformed},
      {"two-byte file, no signature", info, [](std::string* s) { *s = "MZ"; }, malformed},
      {"8 bits per pixel", info, set(field::bits, 8, 2), malformed},
      {"32 bits per pixel", info, set(field::bits, 32, 2), malformed},
      {"core 16 bits per pixel", core, set(field::core_bits, 16, 2), malformed},
      {"RLE8 compression", info, set(field::compression, 1, 4), malformed},
      {"bit-field compression", info, set(field::compression, 3, 4), malformed},
      {"width 0", info, set(field::width, 0, 4), malformed},
      {"height 0", info, set(field::height, 0, 4), malformed},
      {"negative width", info, set(field::width, -4, 4), malformed},
      {"height -2^31", info, set(field::height, INT32_MIN, 4), malformed},
      {"core width 0", core, set(field::core_width, 0, 2), malformed},
      {"info header of 14 bytes", info, set(field::info_size, 14, 4), malformed},
      {"info header of 200 bytes", info, set(field::info_size, 200, 4), malformed},
      {"offset 0", info, set(field::offset, 0, 4), malformed},
      {"offset inside the info header", info, set(field::offset, 53, 4), malformed},
      {"offset inside the core header", core, set(field::offset, 25, 4), malformed},
      {"offset past the end", info, set(field::offset, 91, 4), malformed},
      {"empty file", info, cut_to(0), short_data},
      {"ends inside the file header", info, cut_to(13), short_data},
      {"ends inside the info header", info, cut_to(30), short_data},
      {"ends just before the rows", info, cut_to(54), short_data},
      {"ends inside the core header", core, cut_to(24), short_data},
      {"last byte of the rows missing", info, cut_to(89), short_data},
      {"core rows cut short", core, cut_to(61), short_data},
      {"size field one more than the file", info, set(field::size, 91, 4), short_data},
      {"size field short of the rows", info, set(field::size, 89, 4), short_data},
      {"size field 0 (unknown)", info, set(field::size, 0, 4), ok},
      {"2^31-1 x 2^31-1 in a 90-byte file", info,
       [](std::string* s) { put_le(s, field::width, INT32_MAX, 4), put_le(s, field::height, INT32_MAX, 4); },
       short_data},
      {"core 65535 x 65535 in a 62-byte file", core,
       [](std::string* s) {
         put_le(s, field::core_width, 65535, 2), put_le(s, field::core_height, 65535, 2);
       },
       short_data},
      {"top-down 4 x -2^31+1 in a 90-byte file", info, set(field::height, INT32_MIN + 1, 4), short_data},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = c.base;
    c.change(&bytes);
    bmp_layout layout;
    std::string err;
    EXPECT_EQ(parse_guarded(bytes, &layout, &err), c.expected);
    EXPECT_EQ(err.empty(), c.expected == ok) << err;
    // The same verdict through a stream.
    image back;
    err.clear();
    EXPECT_EQ(read_image(bytes, &back, &layout, &err), c.expected);
    if (c.expected == ok) {
      EXPECT_EQ(back.green.samples, img.green.samples);
    }
  }
}

TEST(BmpRead, ParserLooksOnlyAtTheBytesItIsGiven) {
  // Each header cut after k bytes and put right before an unreadable page:
  // too few bytes for the headers is short data, never a read past them.
  const image img = random_image(2, 2, 3);
  for (const std::uint32_t info_size : {12u, 40u, 52u, 56u, 64u, 108u, 124u}) {
    const std::string file = test_util::bmp_bytes(img.blue, img.green, img.red, {info_size});
    const std::size_t headers = 14 + info_size;
    for (std::size_t k = 0; k <= std::min(file.size(), bmp_header_max); ++k) {
      SCOPED_TRACE("info " + std::to_string(info_size) + ", " + std::to_string(k) + " bytes");
      guarded_bytes head(file.substr(0, k));
      bmp_layout layout;
      std::string err;
      const bmp_status status = parse_bmp_header(head.data(), k, file.size(), &layout, &err);
      EXPECT_EQ(status, k < headers ? bmp_status::short_data : bmp_status::ok) << err;
    }
  }
}

TEST(BmpRead, NoticesAFileThatShrankAfterItsHeaderWasRead) {
  const image img = random_image(3, 4, 8);
  const std::string bytes = test_util::bmp_bytes(img.blue, img.green, img.red);  // 54 + 4 * 12
  for (const long length : {101L, 66L, 54L, 10L}) {
    SCOPED_TRACE("cut to " + std::to_string(length));
    file_handle file = file_with(bytes);
    bmp_layout layout;
    std::string err;
    ASSERT_EQ(read_bmp_layout(file.get(), &layout, &err), bmp_status::ok) << err;
    ASSERT_EQ(ftruncate(fileno(file.get()), length), 0);
    std::string rows(3 * 3 * 4, '\0');
    EXPECT_EQ(read_bmp_rows(file.get(), layout, 0, 4, reinterpret_cast<std::uint8_t*>(rows.data()), &err),
              bmp_status::short_data);
    EXPECT_FALSE(err.empty());
  }
}

}  // namespace
