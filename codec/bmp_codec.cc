// bmp_codec.cc - placeholder until the bmp codec lands.
#include "codec/formats.h"

namespace pellimor::codecs {

bool bmp_is(const std::uint8_t*, std::size_t) { return false; }
bool bmp_info(const std::uint8_t*, std::size_t, image_info*, std::string* err) {
  *err = "bmp files are not read yet";
  return false;
}
bool bmp_decode(const std::uint8_t*, std::size_t, image*, std::string* err) {
  *err = "bmp files are not read yet";
  return false;
}
bool bmp_encode(const image&, const encode_options&, const byte_sink&, std::string* err) {
  *err = "bmp files are not written yet";
  return false;
}

}  // namespace pellimor::codecs
