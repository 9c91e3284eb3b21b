// SPDX-License-Identifier: MIT
// webp_fuzz.cc - libFuzzer target for the WebP reader: the checks of
// pages_check.h, and a small accepted picture must also survive a lossless
// write and a second read unchanged.
#include <cstdint>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "codec/formats.h"
#include "fuzz/pages_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pellimor;
  const image first =
      fuzz::check_pages({codecs::webp_pages, codecs::webp_info_page, codecs::webp_decode_page}, data, size);
  std::string err;
  if (first.pixels.empty() || first.width > 64 || first.height > 64) return 0;
  std::vector<std::uint8_t> file;
  const byte_sink sink = [&file](const std::uint8_t* bytes, std::size_t count) {
    file.insert(file.end(), bytes, bytes + count);
    return true;
  };
  encode_options options;
  options.lossless = true;
  check(codecs::webp_encode(first, options, sink, &err));
  image again;
  check(codecs::webp_decode(file.data(), file.size(), &again, &err));
  check(again.width == first.width && again.height == first.height);
  // libwebp stores no alpha for an opaque picture: then every alpha read
  // first must have been opaque.
  const std::size_t count = static_cast<std::size_t>(first.width) * static_cast<std::size_t>(first.height);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* a = &first.pixels[i * first.channels];
    const std::uint8_t* b = &again.pixels[i * again.channels];
    check(a[0] == b[0] && a[1] == b[1] && a[2] == b[2]);
    const int alpha_a = first.channels == 4 ? a[3] : 255, alpha_b = again.channels == 4 ? b[3] : 255;
    check(alpha_a == alpha_b);
  }
  return 0;
}
