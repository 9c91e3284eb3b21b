// jpeg_codec.cc - placeholder until the jpeg codec lands.
#include "codec/formats.h"

namespace pellimor::codecs {

bool jpeg_is(const std::uint8_t*, std::size_t) { return false; }
bool jpeg_info(const std::uint8_t*, std::size_t, image_info*, std::string* err) {
  *err = "jpeg files are not read yet";
  return false;
}
bool jpeg_decode(const std::uint8_t*, std::size_t, image*, std::string* err) {
  *err = "jpeg files are not read yet";
  return false;
}
bool jpeg_encode(const image&, const encode_options&, const byte_sink&, std::string* err) {
  *err = "jpeg files are not written yet";
  return false;
}

}  // namespace pellimor::codecs
