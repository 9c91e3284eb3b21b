// exif.cc - the orientation tag from an EXIF block.
//
// An EXIF block is a small TIFF file: a byte-order mark ("II" little-endian,
// "MM" big-endian), the number 42, the offset of the first directory (IFD0),
// then that directory's entry count and 12-byte entries (tag, type, count,
// value or offset). Orientation is tag 0x0112, a SHORT whose value sits in
// the entry itself. Every read is checked against the block's size.
#include <cstring>

#include "codec/formats.h"

namespace pellimor::codecs {
namespace {

constexpr unsigned orientation_tag = 0x0112;
constexpr unsigned type_short = 3;
constexpr unsigned type_long = 4;

struct tiff_reader {
  const std::uint8_t* data;
  std::size_t size;
  bool big_endian;
};

// The unsigned number of `bytes` bytes at `at`; false when past the end.
bool read_number(const tiff_reader& r, std::size_t at, int bytes, std::uint32_t* value) {
  if (at > r.size || r.size - at < static_cast<std::size_t>(bytes)) return false;
  std::uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) {
    const std::uint32_t byte = r.data[at + (r.big_endian ? i : bytes - 1 - i)];
    v = (v << 8) | byte;
  }
  *value = v;
  return true;
}

}  // namespace

int exif_orientation(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size < 8) return 1;
  tiff_reader r{data, size, false};
  if (std::memcmp(data, "MM", 2) == 0)
    r.big_endian = true;
  else if (std::memcmp(data, "II", 2) != 0)
    return 1;
  std::uint32_t magic, ifd, count;
  if (!read_number(r, 2, 2, &magic) || magic != 42) return 1;
  if (!read_number(r, 4, 4, &ifd) || !read_number(r, ifd, 2, &count)) return 1;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t entry = static_cast<std::size_t>(ifd) + 2 + static_cast<std::size_t>(i) * 12;
    std::uint32_t tag, type, values, value;
    if (!read_number(r, entry, 2, &tag) || !read_number(r, entry + 2, 2, &type) ||
        !read_number(r, entry + 4, 4, &values))
      return 1;
    if (tag != orientation_tag) continue;
    if (values != 1) return 1;
    if (type == type_short) {
      if (!read_number(r, entry + 8, 2, &value)) return 1;
    } else if (type == type_long) {
      if (!read_number(r, entry + 8, 4, &value)) return 1;
    } else {
      return 1;
    }
    return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
  }
  return 1;
}

}  // namespace pellimor::codecs
