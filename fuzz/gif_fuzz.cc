// gif_fuzz.cc - libFuzzer target for the GIF reader.
//
// Each input is a whole file. The header verdict must agree with the
// decoder's, for the first picture and for the last when there are several;
// a picture the decoder accepts must match what the header promised. A page
// past the count must be refused. Pictures over 64 MiB are only checked up
// to the header, as the program refuses what it cannot hold before decoding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "codec/formats.h"

namespace {

constexpr std::uint64_t max_pixel_bytes = std::uint64_t{64} << 20;

// Aborts, naming the line, when `condition` does not hold.
void check_at(bool condition, int line) {
  if (condition) return;
  std::fprintf(stderr, "check failed at line %d\n", line);
  std::abort();
}
#define check(condition) check_at(condition, __LINE__)

// Page `page` (from 0): header and decoder agree. The decoded picture, or
// an empty one.
pellimor::image check_page(const std::uint8_t* data, std::size_t size, int page) {
  using namespace pellimor;
  image_info info;
  std::string err;
  image img;
  if (!codecs::gif_info_page(data, size, page, &info, &err)) {
    check(!err.empty());
    check(!codecs::gif_decode_page(data, size, page, &img, &err));
    return {};
  }
  check(info.width > 0 && info.height > 0 && (info.channels == 3 || info.channels == 4));
  check(info.type == sample_type::u8 && info.orientation >= 1 && info.orientation <= 8);
  if (info.pixel_bytes() > max_pixel_bytes) return {};
  if (!codecs::gif_decode_page(data, size, page, &img, &err)) {
    check(!err.empty() && img.pixels.empty());
    return {};
  }
  check(img.width == info.width && img.height == info.height && img.channels == info.channels &&
        img.type == info.type && img.pixels.size() == img.pixel_bytes());
  return img;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pellimor;
  const int pages = codecs::gif_pages(data, size);
  check(pages >= 0);
  const image first = check_page(data, size, 0);
  if (pages > 1) check_page(data, size, pages - 1);
  image none;
  std::string err;
  check(!codecs::gif_decode_page(data, size, pages, &none, &err) && !err.empty());
  (void)first;
  return 0;
}
