// SPDX-License-Identifier: MIT
// bmp_any_fuzz.cc - libFuzzer target for the BMP codec (every depth, RLE,
// bit fields).
//
// Each input is a whole file, given in a buffer of exactly its size (so
// ASan flags any read past it). The header step and the decoder must
// agree. Whatever the 24-bit stream reader accepts, the codec must accept
// and read the same pixels. An accepted image written by the codec and read
// again gives its colours back (grey spread to RGB, alpha dropped). Images
// the header says are larger than 1 MiB are not decoded, so each run stays
// quick (a tiny RLE file may promise gigabytes; callers weigh the header's
// size against their memory before decoding).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bmp/bmp_io.h"
#include "codec/formats.h"

using namespace pellimor::detail;  // the library's internals

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace codecs = pellimor::codecs;
  const std::vector<std::uint8_t> file(data, data + size);
  pellimor::image_info info;
  std::string err;
  const bool known = codecs::bmp_info(file.data(), file.size(), &info, &err);
  check(known || !err.empty());

  bmp_layout layout;
  std::string layout_err;
  const bool stream_reads =
      parse_bmp_header(file.data(), file.size(), file.size(), &layout, &layout_err) == bmp_status::ok;
  check(!stream_reads || known);
  if (!known || info.pixel_bytes() > (1u << 20)) return 0;

  pellimor::image img;
  if (!codecs::bmp_decode(file.data(), file.size(), &img, &err)) {
    check(!err.empty() && img.pixels.empty() && !stream_reads);
    return 0;
  }
  check(img.width == info.width && img.height == info.height && img.channels == info.channels);
  check(img.pixels.size() == img.pixel_bytes());
  if (stream_reads) {
    check(img.channels == 3 && img.width == layout.width && img.height == layout.height);
    for (std::int32_t y = 0; y < img.height; ++y) {
      const std::int64_t file_row = layout.top_down ? y : layout.height - 1 - y;
      const std::uint8_t* bgr = file.data() + layout.pixel_offset + layout.row_size * file_row;
      for (std::int32_t x = 0; x < img.width; ++x)
        for (int c = 0; c < 3; ++c) check(img.row(y)[3 * x + c] == bgr[3 * x + 2 - c]);
    }
  }

  std::vector<std::uint8_t> written;
  const bool fits = codecs::bmp_encode(
      img, {},
      [&](const std::uint8_t* p, std::size_t n) {
        written.insert(written.end(), p, p + n);
        return true;
      },
      &err);
  if (!fits) return 0;  // past the 4 GiB a BMP file can address
  pellimor::image again;
  check(codecs::bmp_decode(written.data(), written.size(), &again, &err));
  check(again.channels == 3 && again.width == img.width && again.height == img.height);
  for (std::int32_t y = 0; y < img.height; ++y)
    for (std::int32_t x = 0; x < img.width; ++x)
      for (int c = 0; c < 3; ++c)
        check(again.row(y)[3 * x + c] ==
              img.row(y)[static_cast<std::size_t>(x) * img.channels + (img.channels == 1 ? 0 : c)]);
  return 0;
}
