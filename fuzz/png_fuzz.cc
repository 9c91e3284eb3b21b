// SPDX-License-Identifier: MIT
// png_fuzz.cc - libFuzzer target for the PNG reader.
//
// Each input is a whole file. The header verdict must agree with the
// decoder's; an image the decoder accepts must match what the header
// promised, survive a write and a second read unchanged, and turn upright
// with its sides swapped as its orientation says. Images over 64 MiB are
// only checked up to the header, as the program refuses what it cannot
// hold before decoding.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "codec/formats.h"

namespace {

constexpr std::uint64_t max_pixel_bytes = std::uint64_t{64} << 20;

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pellimor;
  image_info info;
  std::string err;
  if (!codecs::png_info(data, size, &info, &err)) {
    check(!err.empty());
    image img;
    check(!codecs::png_decode(data, size, &img, &err));
    return 0;
  }
  check(info.width > 0 && info.height > 0 && info.channels >= 1 && info.channels <= 4);
  check(info.type == sample_type::u8 || info.type == sample_type::u16);
  check(info.orientation >= 1 && info.orientation <= 8);
  if (info.pixel_bytes() > max_pixel_bytes) return 0;

  image img;
  if (!codecs::png_decode(data, size, &img, &err)) {
    check(!err.empty() && img.pixels.empty());
    return 0;
  }
  check(img.width == info.width && img.height == info.height && img.channels == info.channels &&
        img.type == info.type && img.pixels.size() == img.pixel_bytes());
  check(img.orientation >= 1 && img.orientation <= 8);

  std::vector<std::uint8_t> file;
  const byte_sink sink = [&file](const std::uint8_t* bytes, std::size_t count) {
    file.insert(file.end(), bytes, bytes + count);
    return true;
  };
  check(codecs::png_encode(img, {}, sink, &err));
  image again;
  check(codecs::png_decode(file.data(), file.size(), &again, &err));
  check(again.width == img.width && again.height == img.height && again.channels == img.channels &&
        again.type == img.type && again.pixels == img.pixels);

  image turned = img;
  check(apply_orientation(&turned));
  const bool swapped = img.orientation >= 5;
  check(turned.width == (swapped ? img.height : img.width) &&
        turned.height == (swapped ? img.width : img.height));
  check(turned.orientation == 1 && turned.pixels.size() == img.pixels.size());
  return 0;
}
