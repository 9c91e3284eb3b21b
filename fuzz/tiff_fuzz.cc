// SPDX-License-Identifier: MIT
// tiff_fuzz.cc - libFuzzer target for the TIFF codec.
//
// Each input is a whole file, given to the codec in a buffer of exactly its
// size (so ASan flags any read past it). The header step and the decoder
// must agree; an accepted image must be whole, and must survive the
// encoder and a second decode unchanged. Images the header says are larger
// than 8 MiB are not decoded, so each run stays quick (a tiny compressed
// file may promise gigabytes; callers weigh the header's size against their
// memory before decoding).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/formats.h"

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
  const bool known = codecs::tiff_info(file.data(), file.size(), &info, &err);
  check(known || !err.empty());
  if (!known || info.pixel_bytes() > (8u << 20)) return 0;
  check(info.width > 0 && info.height > 0 && info.channels >= 1 && info.channels <= 4);

  pellimor::image img;
  if (!codecs::tiff_decode(file.data(), file.size(), &img, &err)) {
    check(!err.empty() && img.pixels.empty());
    return 0;
  }
  check(img.width == info.width && img.height == info.height && img.channels == info.channels &&
        img.type == info.type && img.orientation == info.orientation);
  check(img.pixels.size() == img.pixel_bytes());

  std::vector<std::uint8_t> again_file;
  check(codecs::tiff_encode(
      img, {},
      [&](const std::uint8_t* p, std::size_t n) {
        again_file.insert(again_file.end(), p, p + n);
        return true;
      },
      &err));
  pellimor::image again;
  check(codecs::tiff_decode(again_file.data(), again_file.size(), &again, &err));
  check(again.icc == img.icc && again.orientation == img.orientation && again.channels == img.channels);
  if (img.type != pellimor::sample_type::f64) check(again.pixels == img.pixels);
  return 0;
}
