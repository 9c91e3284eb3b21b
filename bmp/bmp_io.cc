// SPDX-License-Identifier: MIT
// bmp_io.cc - read and write uncompressed 24-bit BMP files.
#include "bmp/bmp_io.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <new>

namespace pellimor::detail {

namespace {

std::uint32_t get_u16(const std::uint8_t* p) { return p[0] | (p[1] << 8); }

std::uint32_t get_u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void put_u16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void put_u32(std::uint8_t* p, std::uint32_t v) {
  put_u16(p, v);
  put_u16(p + 2, v >> 16);
}

bmp_status fail(bmp_status status, std::string* err, std::string why) {
  *err = std::move(why);
  return status;
}

bool is_info_header_size(std::uint32_t size) {
  // BITMAPINFOHEADER (40), its V2/V3 extensions with colour masks (52, 56),
  // BITMAPV4HEADER (108), BITMAPV5HEADER (124), and OS/2 2.x headers, which
  // may stop after any field from 16 bytes to 64.
  return (size >= 16 && size <= 64) || size == 108 || size == 124;
}

bool seek_to(std::FILE* file, std::uint64_t offset) {
  return offset <= static_cast<std::uint64_t>(INT64_MAX) &&
         fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool file_length(std::FILE* file, std::uint64_t* length) {
  if (fseeko(file, 0, SEEK_END) != 0) return false;
  off_t end = ftello(file);
  if (end < 0) return false;
  *length = static_cast<std::uint64_t>(end);
  return true;
}

}  // namespace

bmp_status parse_bmp_header(const std::uint8_t* head, std::size_t head_size, std::uint64_t file_size,
                            bmp_layout* layout, std::string* err) {
  const std::size_t have = std::min<std::uint64_t>(head_size, file_size);
  if (have >= 2 && (head[0] != 'B' || head[1] != 'M'))
    return fail(bmp_status::malformed, err, "not a BMP file (no \"BM\" signature)");
  if (have < 18) return fail(bmp_status::short_data, err, "the file ends inside its BMP header");

  const std::uint32_t info_size = get_u32(head + 14);
  if (info_size != 12 && !is_info_header_size(info_size))
    return fail(bmp_status::malformed, err,
                "unsupported BMP information header of " + std::to_string(info_size) + " bytes");
  const std::uint64_t headers_end = 14 + static_cast<std::uint64_t>(info_size);
  if (have < headers_end) return fail(bmp_status::short_data, err, "the file ends inside its BMP header");

  std::int64_t width, height;
  std::uint32_t bits, compression = 0;
  if (info_size == 12) {  // BITMAPCOREHEADER: unsigned 16-bit sizes, never compressed
    width = get_u16(head + 18);
    height = get_u16(head + 20);
    bits = get_u16(head + 24);
  } else {
    width = static_cast<std::int32_t>(get_u32(head + 18));
    height = static_cast<std::int32_t>(get_u32(head + 22));
    bits = get_u16(head + 28);
    if (info_size >= 20) compression = get_u32(head + 30);  // absent from the shortest OS/2 form
  }
  if (bits != 24)
    return fail(bmp_status::malformed, err,
                "unsupported bit depth " + std::to_string(bits) + " (only 24-bit BMP files are read)");
  if (compression != 0)
    return fail(
        bmp_status::malformed, err,
        "unsupported compression " + std::to_string(compression) + " (only uncompressed BMP files are read)");
  if (width <= 0 || height == 0 || height == INT32_MIN)
    return fail(bmp_status::malformed, err,
                "invalid image size " + std::to_string(width) + " x " + std::to_string(height));

  const std::uint64_t offset = get_u32(head + 10);
  if (offset < headers_end)
    return fail(bmp_status::malformed, err,
                "pixel data offset " + std::to_string(offset) + " lies inside the headers");
  if (offset > file_size)
    return fail(bmp_status::malformed, err,
                "pixel data offset " + std::to_string(offset) + " lies past the end of the file");

  layout->width = static_cast<std::int32_t>(width);
  layout->height = static_cast<std::int32_t>(height < 0 ? -height : height);
  layout->top_down = height < 0;
  layout->pixel_offset = offset;
  layout->row_size = bmp_row_size(width);

  // At most (3*2^31)*2^31 < 2^64: no overflow.
  const std::uint64_t pixel_end = offset + layout->row_size * static_cast<std::uint64_t>(layout->height);
  const std::uint64_t size_field = get_u32(head + 2);
  // A size field of 0 says nothing (some writers leave it so); any other
  // value must cover the rows and stay within the file.
  if (pixel_end > file_size || size_field > file_size || (size_field != 0 && size_field < pixel_end))
    return fail(bmp_status::short_data, err,
                "the pixel rows need " + std::to_string(pixel_end) + " bytes, the file holds " +
                    std::to_string(file_size) + " and its size field says " + std::to_string(size_field));
  return bmp_status::ok;
}

bmp_status read_bmp_layout(std::FILE* file, bmp_layout* layout, std::string* err) {
  std::uint64_t length;
  if (!file_length(file, &length) || !seek_to(file, 0))  // a pipe, say: ESPIPE
    return fail(bmp_status::io_error, err, std::string("cannot seek in the file: ") + std::strerror(errno));
  std::uint8_t head[bmp_header_max] = {};
  const std::size_t want = std::min<std::uint64_t>(length, sizeof head);
  const std::size_t got = std::fread(head, 1, want, file);
  if (got != want && std::ferror(file))  // a folder, say: EISDIR
    return fail(bmp_status::io_error, err, std::string("cannot read: ") + std::strerror(errno));
  // A file that shrank since its length was taken is judged on what it holds.
  return parse_bmp_header(head, got, got == want ? length : got, layout, err);
}

namespace {

// Reads the file rows that hold image rows [first_row, first_row +
// row_count) into this thread's block. Image row first_row + r then starts
// at (*block)[row_size * file_row(r)].
bmp_status read_row_block(std::FILE* file, const bmp_layout& layout, std::int32_t first_row,
                          std::int32_t row_count, const std::uint8_t** rows, std::string* err) {
  thread_local std::vector<std::uint8_t> block;
  const std::int64_t first_file_row =
      layout.top_down ? first_row : std::int64_t{layout.height} - first_row - row_count;
  try {
    block.resize(layout.row_size * static_cast<std::size_t>(row_count));
  } catch (const std::bad_alloc&) {
    return fail(bmp_status::io_error, err, "out of memory");
  }
  // pread leaves the stream position alone, so several threads may read at once.
  const int fd = fileno(file);
  const std::uint64_t offset =
      layout.pixel_offset + layout.row_size * static_cast<std::uint64_t>(first_file_row);
  for (std::size_t done = 0; done < block.size();) {
    const ssize_t got =
        pread(fd, block.data() + done, block.size() - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return fail(bmp_status::io_error, err, std::strerror(errno));
    if (got == 0) return fail(bmp_status::short_data, err, "the file ends inside its pixel rows");
    done += static_cast<std::size_t>(got);
  }
  *rows = block.data();
  return bmp_status::ok;
}

std::int32_t file_row(const bmp_layout& layout, std::int32_t r, std::int32_t row_count) {
  return layout.top_down ? r : row_count - 1 - r;
}

}  // namespace

bmp_status read_bmp_rows(std::FILE* file, const bmp_layout& layout, std::int32_t first_row,
                         std::int32_t row_count, std::uint8_t* bgr, std::string* err) {
  if (row_count <= 0) return bmp_status::ok;
  const std::uint8_t* block;
  const bmp_status status = read_row_block(file, layout, first_row, row_count, &block, err);
  if (status != bmp_status::ok) return status;
  const std::size_t line = static_cast<std::size_t>(layout.width) * 3;
  for (std::int32_t r = 0; r < row_count; ++r)
    std::memcpy(bgr + line * r, block + layout.row_size * file_row(layout, r, row_count), line);
  return bmp_status::ok;
}

bmp_status read_bmp_channel_rows(std::FILE* file, const bmp_layout& layout, int channel,
                                 std::int32_t first_row, std::int32_t row_count, std::uint8_t* out,
                                 std::string* err) {
  if (row_count <= 0) return bmp_status::ok;
  const std::uint8_t* block;
  const bmp_status status = read_row_block(file, layout, first_row, row_count, &block, err);
  if (status != bmp_status::ok) return status;
  const std::int32_t width = layout.width;
  for (std::int32_t r = 0; r < row_count; ++r) {
    const std::uint8_t* in = block + layout.row_size * file_row(layout, r, row_count) + channel;
    std::uint8_t* line = out + static_cast<std::size_t>(width) * r;
    for (std::int32_t x = 0; x < width; ++x) line[x] = in[3 * x];
  }
  return bmp_status::ok;
}

bmp_status read_input_bmp(std::FILE* file, bmp_layout* layout, channel_plane* blue, channel_plane* green,
                          channel_plane* red, std::string* err) {
  bmp_status status = read_bmp_layout(file, layout, err);
  if (status != bmp_status::ok) return status;
  const std::int32_t width = layout->width, height = layout->height;
  if (!allocate_plane(blue, width, height) || !allocate_plane(green, width, height) ||
      !allocate_plane(red, width, height))
    return fail(bmp_status::io_error, err, "out of memory");

  // A block of rows at a time keeps the buffer small whatever the image.
  const std::int32_t block_rows = static_cast<std::int32_t>(
      std::clamp<std::uint64_t>((1u << 20) / layout->row_size, 1, static_cast<std::uint64_t>(height)));
  std::vector<std::uint8_t> rows(static_cast<std::size_t>(width) * 3 * block_rows);
  channel_plane* planes[3] = {blue, green, red};  // file order within a pixel
  for (std::int32_t y0 = 0; y0 < height; y0 += block_rows) {
    const std::int32_t count = std::min(block_rows, height - y0);
    status = read_bmp_rows(file, *layout, y0, count, rows.data(), err);
    if (status != bmp_status::ok) return status;
    for (std::int32_t r = 0; r < count; ++r) {
      const std::uint8_t* p = rows.data() + static_cast<std::size_t>(width) * 3 * r;
      for (std::int32_t x = 0; x < width; ++x, p += 3)
        for (int c = 0; c < 3; ++c) planes[c]->samples[plane_index(x, y0 + r, height)] = p[c];
    }
  }
  return bmp_status::ok;
}

std::uint32_t bmp_file_size(std::int64_t width, std::int64_t height) {
  if (width <= 0 || height <= 0 || width > INT32_MAX || height > INT32_MAX) return 0;
  const std::uint64_t row = bmp_row_size(width);
  if (row > (UINT32_MAX - 54) / static_cast<std::uint64_t>(height)) return 0;
  return static_cast<std::uint32_t>(54 + row * static_cast<std::uint64_t>(height));
}

bool bmp_header_bytes(std::int32_t width, std::int32_t height, std::array<std::uint8_t, 54>* bytes,
                      std::string* err) {
  const std::uint32_t file_size = bmp_file_size(width, height);
  if (file_size == 0) {
    *err = "an image of " + std::to_string(width) + " x " + std::to_string(height) +
           " pixels does not fit in a BMP file";
    return false;
  }
  std::uint8_t* header = bytes->data();
  bytes->fill(0);
  header[0] = 'B';
  header[1] = 'M';
  put_u32(header + 2, file_size);
  put_u32(header + 10, 54);  // pixel data offset
  put_u32(header + 14, 40);  // information header size
  put_u32(header + 18, static_cast<std::uint32_t>(width));
  put_u32(header + 22, static_cast<std::uint32_t>(height));
  put_u16(header + 26, 1);     // colour planes
  put_u16(header + 28, 24);    // bits per pixel
  put_u32(header + 38, 3780);  // 96 dpi, in pixels per metre
  put_u32(header + 42, 3780);
  return true;
}

bool put_bmp_channel_rows(int fd, std::int32_t width, std::int32_t height, int channel,
                          std::int32_t first_row, std::int32_t row_count, const std::uint8_t* rows,
                          bool first_channel, std::string* err) {
  const std::size_t row_size = bmp_row_size(width);
  // Image rows [first_row, first_row + row_count) are one run of file rows,
  // the last of them first.
  const off_t offset =
      static_cast<off_t>(54 + row_size * static_cast<std::uint64_t>(height - first_row - row_count));
  const std::size_t size = row_size * row_count;
  thread_local std::vector<std::uint8_t> block;
  try {
    block.resize(size);
  } catch (const std::bad_alloc&) {
    *err = "out of memory";
    return false;
  }
  if (first_channel) {
    std::fill(block.begin(), block.end(), 0);
  } else {
    for (std::size_t done = 0; done < size;) {
      const ssize_t got = pread(fd, block.data() + done, size - done, offset + static_cast<off_t>(done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        *err = got < 0 ? std::strerror(errno) : "the output file ended early";
        return false;
      }
      done += static_cast<std::size_t>(got);
    }
  }
  for (std::int32_t r = 0; r < row_count; ++r) {
    std::uint8_t* out = block.data() + row_size * (row_count - 1 - r) + channel;
    const std::uint8_t* in = rows + static_cast<std::size_t>(width) * r;
    for (std::int32_t x = 0; x < width; ++x) out[3 * x] = in[x];
  }
  for (std::size_t done = 0; done < size;) {
    const ssize_t put = pwrite(fd, block.data() + done, size - done, offset + static_cast<off_t>(done));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) {
      *err = std::strerror(errno);
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  return true;
}

bool write_output_bmp(std::FILE* file, const channel_plane& blue, const channel_plane& green,
                      const channel_plane& red, std::string* err) {
  const std::int32_t width = blue.width, height = blue.height;
  const std::uint32_t file_size = bmp_file_size(width, height);
  const auto matches = [&](const channel_plane& plane) {
    return plane.width == width && plane.height == height &&
           plane.samples.size() == static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  };
  if (file_size != 0 && !(matches(blue) && matches(green) && matches(red))) {
    *err = "the colour planes differ in size";
    return false;
  }
  std::array<std::uint8_t, 54> header;
  if (!bmp_header_bytes(width, height, &header, err)) return false;

  const std::size_t row_size = bmp_row_size(width);
  std::vector<std::uint8_t> row(row_size, 0);
  bool ok = std::fwrite(header.data(), 1, header.size(), file) == header.size();
  for (std::int32_t r = 0; ok && r < height; ++r) {
    const std::int32_t y = height - 1 - r;  // bottom row first
    std::uint8_t* p = row.data();
    for (std::int32_t x = 0; x < width; ++x, p += 3) {
      const std::size_t i = plane_index(x, y, height);
      p[0] = blue.samples[i];
      p[1] = green.samples[i];
      p[2] = red.samples[i];
    }
    ok = std::fwrite(row.data(), 1, row_size, file) == row_size;
  }
  if (!ok) *err = std::strerror(errno);
  return ok;
}

}  // namespace pellimor::detail
