// SPDX-License-Identifier: MIT
// gif_fuzz.cc - libFuzzer target for the GIF reader: the checks of
// pages_check.h.
#include <cstdint>

#include "codec/formats.h"
#include "fuzz/pages_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pellimor;
  fuzz::check_pages({codecs::gif_pages, codecs::gif_info_page, codecs::gif_decode_page}, data, size);
  return 0;
}
