// SPDX-License-Identifier: MIT
// bmp_fuzz.cc - libFuzzer target for the BMP reader.
//
// Each input is a whole file. The headers are parsed from a buffer of
// exactly the bytes the parser may look at (so ASan flags any read past
// them), then the file goes through the stream reader on a memfd, since
// the row reader uses pread on the descriptor. A file the reader accepts
// must read the same rows whether taken in one block or several, and must
// survive a write and a second read unchanged.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bmp/bmp_io.h"

using namespace pellimor::detail;  // the library's internals

namespace {

struct closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_handle = std::unique_ptr<std::FILE, closer>;

// A stream over a fresh in-memory file holding `size` bytes of `data`.
file_handle memory_file(const std::uint8_t* data, std::size_t size) {
  const int fd = memfd_create("bmp_fuzz", 0);
  if (fd < 0) std::abort();
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }
  std::FILE* file = fdopen(fd, "w+b");
  if (file == nullptr) std::abort();
  return file_handle(file);
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The parser on exactly the bytes it is allowed to see.
  const std::size_t head_size = std::min(size, bmp_header_max);
  std::unique_ptr<std::uint8_t[]> head(new std::uint8_t[head_size]);
  if (head_size > 0) std::memcpy(head.get(), data, head_size);
  bmp_layout parsed;
  std::string parse_err;
  const bmp_status parse_status = parse_bmp_header(head.get(), head_size, size, &parsed, &parse_err);
  check(parse_status == bmp_status::ok || !parse_err.empty());

  // The same file through the stream: the same verdict.
  file_handle file = memory_file(data, size);
  bmp_layout layout;
  std::string err;
  const bmp_status status = read_bmp_layout(file.get(), &layout, &err);
  check(status == parse_status);
  if (status != bmp_status::ok) return 0;
  check(layout.width == parsed.width && layout.height == parsed.height &&
        layout.pixel_offset == parsed.pixel_offset && layout.top_down == parsed.top_down);
  check(layout.width > 0 && layout.height > 0);
  check(layout.pixel_offset + layout.row_size * static_cast<std::uint64_t>(layout.height) <= size);

  // All rows at once, then in blocks of a few rows: the same bytes.
  const std::size_t line = static_cast<std::size_t>(layout.width) * 3;
  std::vector<std::uint8_t> whole(line * static_cast<std::size_t>(layout.height));
  check(read_bmp_rows(file.get(), layout, 0, layout.height, whole.data(), &err) == bmp_status::ok);
  const std::int32_t step = 1 + static_cast<std::int32_t>(size % 3);
  std::vector<std::uint8_t> part(line * static_cast<std::size_t>(step));
  for (std::int32_t y = 0; y < layout.height; y += step) {
    const std::int32_t count = std::min(step, layout.height - y);
    check(read_bmp_rows(file.get(), layout, y, count, part.data(), &err) == bmp_status::ok);
    check(std::memcmp(part.data(), whole.data() + line * static_cast<std::size_t>(y), line * count) == 0);
  }

  // Planes, written back out and read again: the same planes.
  channel_plane planes[3], again[3];
  bmp_layout layout2;
  check(read_input_bmp(file.get(), &layout2, &planes[0], &planes[1], &planes[2], &err) == bmp_status::ok);
  for (std::int32_t y = 0; y < layout.height; ++y)
    for (std::int32_t x = 0; x < layout.width; ++x)
      for (int c = 0; c < 3; ++c)
        check(planes[c].samples[plane_index(x, y, layout.height)] == whole[line * y + 3 * x + c]);
  if (bmp_file_size(layout.width, layout.height) == 0) return 0;
  file_handle out = memory_file(nullptr, 0);
  check(write_output_bmp(out.get(), planes[0], planes[1], planes[2], &err));
  check(std::fflush(out.get()) == 0);
  check(read_input_bmp(out.get(), &layout2, &again[0], &again[1], &again[2], &err) == bmp_status::ok);
  check(!layout2.top_down && layout2.pixel_offset == 54);
  for (int c = 0; c < 3; ++c) check(again[c].samples == planes[c].samples);
  return 0;
}
