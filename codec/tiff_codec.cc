// tiff_codec.cc - placeholder until the tiff codec lands.
#include "codec/formats.h"

namespace pellimor::codecs {

bool tiff_is(const std::uint8_t*, std::size_t) { return false; }
bool tiff_info(const std::uint8_t*, std::size_t, image_info*, std::string* err) {
  *err = "tiff files are not read yet";
  return false;
}
bool tiff_decode(const std::uint8_t*, std::size_t, image*, std::string* err) {
  *err = "tiff files are not read yet";
  return false;
}
bool tiff_encode(const image&, const encode_options&, const byte_sink&, std::string* err) {
  *err = "tiff files are not written yet";
  return false;
}

}  // namespace pellimor::codecs
