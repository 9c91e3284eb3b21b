// SPDX-License-Identifier: MIT
#include "lib/strided_copy.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

using pellimor::detail::copy_sample_rows;
using pellimor::detail::runnable_sample_copiers;
using pellimor::detail::sample_copier;

// Bytes with a page no one may touch on either side: a copy that reads or
// writes past the samples it was given ends the test with a fault.
class guarded_bytes {
 public:
  explicit guarded_bytes(std::size_t bytes) {
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    pages_ = (bytes + page_ - 1) / page_;
    total_ = (pages_ + 2) * page_;
    void* p = mmap(nullptr, total_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    base_ = static_cast<std::uint8_t*>(p);
    mprotect(base_, page_, PROT_NONE);
    mprotect(base_ + (pages_ + 1) * page_, page_, PROT_NONE);
  }
  ~guarded_bytes() { munmap(base_, total_); }
  guarded_bytes(const guarded_bytes&) = delete;
  guarded_bytes& operator=(const guarded_bytes&) = delete;

  // `bytes` bytes ending where the guard page after them starts.
  std::uint8_t* ending(std::size_t bytes) { return base_ + (pages_ + 1) * page_ - bytes; }
  // ... or starting where the guard page before them ends.
  std::uint8_t* starting() { return base_ + page_; }
  std::size_t size() const { return pages_ * page_; }

 private:
  std::size_t page_, pages_, total_;
  std::uint8_t* base_;
};

// Sample i's bytes at at + i * step, in the order of the samples.
std::vector<std::uint8_t> samples_of(const std::uint8_t* at, std::ptrdiff_t step, std::int32_t count,
                                     std::size_t size) {
  std::vector<std::uint8_t> out;
  for (std::int32_t i = 0; i < count; ++i)
    for (std::size_t b = 0; b < size; ++b) out.push_back(at[i * step + static_cast<std::ptrdiff_t>(b)]);
  return out;
}

struct layout {
  std::size_t size;  // bytes a sample
  int channels;      // samples a pixel
  int padding;       // bytes after each pixel's samples
};

// Every sample size and channel count the vector versions take, and ones
// they leave to the plain loop: pixels of one sample (packed), of five,
// padded to four samples (RGBX) and padded by an odd byte (misaligned
// 2-byte samples).
constexpr layout layouts[] = {
    {1, 1, 0}, {1, 2, 0}, {1, 3, 0}, {1, 4, 0}, {1, 3, 1}, {1, 5, 0}, {2, 1, 0}, {2, 2, 0}, {2, 3, 0},
    {2, 4, 0}, {2, 3, 2}, {2, 3, 1}, {4, 1, 0}, {4, 3, 0}, {4, 4, 0}, {8, 2, 0}, {8, 3, 0}, {8, 4, 8},
};

// Widths around each version's step (16 and 32 bytes of packed samples),
// odd ones, and one of a full HD row.
constexpr std::int32_t widths[] = {1, 2, 3, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 97, 1920};

// One copy of one channel of a row of pixels by one version.
struct channel_case {
  const sample_copier& copier;
  std::size_t size;
  int channels;
  std::int32_t width;
  int channel;
  std::ptrdiff_t step;  // bytes between pixels
};

// Calls check(each case) for every version, layout, width and channel,
// until a check fails.
template <class Check>
void for_each_channel(const Check& check) {
  for (const sample_copier& copier : runnable_sample_copiers())
    for (const layout& l : layouts)
      for (const std::int32_t width : widths)
        for (int c = 0; c < l.channels; ++c) {
          SCOPED_TRACE(testing::Message()
                       << copier.name << " size " << l.size << " channels " << l.channels << " padding "
                       << l.padding << " width " << width << " channel " << c);
          const std::ptrdiff_t step = static_cast<std::ptrdiff_t>(l.channels * l.size) + l.padding;
          check(channel_case{copier, l.size, l.channels, width, c, step});
          if (testing::Test::HasFatalFailure()) return;
        }
}

// Taking channel c out of pixels: every version gives the samples a byte
// loop gives, for each channel, reading none past the last one's bytes
// (the channel's last byte is the last of the buffer) nor before the first.
TEST(StridedCopy, ChannelOutOfPixelsMatchesTheByteLoop) {
  std::mt19937 random(11);
  for_each_channel([&](const channel_case& t) {
    const auto size = static_cast<std::ptrdiff_t>(t.size);
    const std::size_t span = static_cast<std::size_t>(t.width - 1) * t.step + t.size;  // the channel's bytes
    const std::size_t before = t.channel * t.size;
    guarded_bytes source(span + before);
    std::uint8_t* all = source.ending(span + before);
    for (std::size_t i = 0; i < span + before; ++i) all[i] = static_cast<std::uint8_t>(random());
    const std::uint8_t* first = all + before;
    guarded_bytes out(t.width * t.size);
    std::uint8_t* packed = out.ending(t.width * t.size);
    t.copier.copy(first, t.step, packed, size, t.width, t.size);
    ASSERT_EQ(samples_of(packed, size, t.width, t.size), samples_of(first, t.step, t.width, t.size));
    // From the start of the buffer: nothing read before the first sample.
    std::uint8_t* at_start = source.starting();
    std::memmove(at_start, first, span);
    t.copier.copy(at_start, t.step, packed, size, t.width, t.size);
    ASSERT_EQ(samples_of(packed, size, t.width, t.size), samples_of(at_start, t.step, t.width, t.size));
  });
}

// Putting a channel back into pixels writes its samples' bytes and no
// other: the other channels, the padding and the pixels after the last
// keep theirs.
TEST(StridedCopy, ChannelIntoPixelsLeavesOtherBytesAlone) {
  std::mt19937 random(12);
  for_each_channel([&](const channel_case& t) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(t.width + 2) * t.step),
        packed(t.width * t.size);
    for (std::uint8_t& b : pixels) b = static_cast<std::uint8_t>(random());
    for (std::uint8_t& b : packed) b = static_cast<std::uint8_t>(random());
    std::vector<std::uint8_t> expected = pixels;
    for (std::int32_t x = 0; x < t.width; ++x)
      std::memcpy(&expected[x * t.step + t.channel * t.size], &packed[x * t.size], t.size);
    t.copier.copy(packed.data(), static_cast<std::ptrdiff_t>(t.size), pixels.data() + t.channel * t.size,
                  t.step, t.width, t.size);
    ASSERT_EQ(pixels, expected);
  });
}

// Rows bottom up (negative steps) and rows padded past their pixels: the
// row copy takes each row's samples from where the strides say, both ways,
// and writes nothing into the padding.
TEST(StridedCopy, RowsFollowTheirStrides) {
  constexpr std::int32_t width = 37, rows = 5;
  constexpr int channels = 3;
  constexpr std::ptrdiff_t row_bytes = width * channels + 3;  // three bytes of padding a row
  std::vector<std::uint8_t> pixels(rows * row_bytes);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i * 7 + 1);
  for (const bool bottom_up : {false, true}) {
    SCOPED_TRACE(bottom_up ? "bottom up" : "top down");
    const std::ptrdiff_t row = bottom_up ? -row_bytes : row_bytes;
    const std::uint8_t* first = pixels.data() + (bottom_up ? (rows - 1) * row_bytes : 0) + 1;  // green
    std::vector<std::uint8_t> packed(width * rows);
    copy_sample_rows(first, {row, channels}, packed.data(), {width, 1}, rows, width, 1);
    for (std::int32_t r = 0; r < rows; ++r)
      for (std::int32_t x = 0; x < width; ++x)
        ASSERT_EQ(packed[r * width + x], first[r * row + x * channels]) << "row " << r << " x " << x;
    std::vector<std::uint8_t> back = pixels;
    for (std::uint8_t& b : packed) b = static_cast<std::uint8_t>(~b);
    std::uint8_t* into = back.data() + (first - pixels.data());
    copy_sample_rows(packed.data(), {width, 1}, into, {row, channels}, rows, width, 1);
    for (std::size_t i = 0; i < back.size(); ++i) {
      const std::ptrdiff_t in_row = static_cast<std::ptrdiff_t>(i % row_bytes);
      const bool green = in_row < width * channels && in_row % channels == 1;
      ASSERT_EQ(back[i], green ? static_cast<std::uint8_t>(~pixels[i]) : pixels[i]) << "byte " << i;
    }
  }
}

// The versions the processor runs start with the plain loop; the vector
// ones (x86) are listed with it, so the tests above compare them.
TEST(StridedCopy, PlainLoopIsListedFirst) {
  const auto copiers = runnable_sample_copiers();
  ASSERT_FALSE(copiers.empty());
  EXPECT_STREQ(copiers.front().name, "plain");
#if defined(__x86_64__)
  if (__builtin_cpu_supports("ssse3")) {
    EXPECT_GE(copiers.size(), 2u);
  }
#endif
}

}  // namespace
