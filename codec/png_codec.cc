// png_codec.cc - placeholder until the png codec lands.
#include "codec/formats.h"

namespace pellimor::codecs {

bool png_is(const std::uint8_t*, std::size_t) { return false; }
bool png_info(const std::uint8_t*, std::size_t, image_info*, std::string* err) {
  *err = "png files are not read yet";
  return false;
}
bool png_decode(const std::uint8_t*, std::size_t, image*, std::string* err) {
  *err = "png files are not read yet";
  return false;
}
bool png_encode(const image&, const encode_options&, const byte_sink&, std::string* err) {
  *err = "png files are not written yet";
  return false;
}

}  // namespace pellimor::codecs
