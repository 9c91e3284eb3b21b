// codec.cc - format table and the dispatch over it.
#include "codec/codec.h"

#include "codec/formats.h"

namespace pellimor {
namespace {

struct codec_entry {
  image_format format;
  const char* name;
  const char* extension;
  bool (*is)(const std::uint8_t*, std::size_t);
  bool (*info)(const std::uint8_t*, std::size_t, image_info*, std::string*);
  bool (*decode)(const std::uint8_t*, std::size_t, image*, std::string*);
  bool (*encode)(const image&, const encode_options&, const byte_sink&, std::string*);
};

const codec_entry codec_table[] = {
    {image_format::bmp, "bmp", ".bmp", codecs::bmp_is, codecs::bmp_info, codecs::bmp_decode, codecs::bmp_encode},
    {image_format::png, "png", ".png", codecs::png_is, codecs::png_info, codecs::png_decode, codecs::png_encode},
    {image_format::jpeg, "jpeg", ".jpg", codecs::jpeg_is, codecs::jpeg_info, codecs::jpeg_decode,
     codecs::jpeg_encode},
    {image_format::tiff, "tiff", ".tif", codecs::tiff_is, codecs::tiff_info, codecs::tiff_decode,
     codecs::tiff_encode},
};

const codec_entry& entry_for(image_format format) { return codec_table[static_cast<int>(format)]; }

}  // namespace

const char* format_name(image_format format) { return entry_for(format).name; }
const char* format_extension(image_format format) { return entry_for(format).extension; }

bool detect_format(const std::uint8_t* data, std::size_t size, image_format* format) {
  for (const codec_entry& entry : codec_table)
    if (entry.is(data, size)) {
      *format = entry.format;
      return true;
    }
  return false;
}

bool read_info(const std::uint8_t* data, std::size_t size, image_format format, image_info* info,
               std::string* err) {
  return entry_for(format).info(data, size, info, err);
}

bool decode_image(const std::uint8_t* data, std::size_t size, image_format format, image* out,
                  std::string* err) {
  return entry_for(format).decode(data, size, out, err);
}

bool encode_image(const image& img, image_format format, const encode_options& options,
                  const byte_sink& sink, std::string* err) {
  return entry_for(format).encode(img, options, sink, err);
}

}  // namespace pellimor
