// SPDX-License-Identifier: MIT
// webp_codec.cc - WebP files through libwebp, its demuxer and its muxer.
//
// Reading gives 8-bit RGB, or RGBA when the file says it has alpha (WebP
// stores no grey). A still picture is decoded straight into the image; an
// animation frame is rendered by libwebp's animation decoder onto the
// canvas, the frames before it blended and disposed of as the file says.
// The ICC profile comes from the ICCP chunk, the orientation from the EXIF
// chunk; EXIF and XMP themselves are read as metadata (webp_metadata).
//
// WebP has no ratio between bytes and pixels to bound a header's claim by:
// a lossless picture of one colour codes in a couple of hundred bytes at any size,
// and the extended header's canvas may claim 2^24 pixels a side for nothing.
// So the reader sets one: at most max_free_pixels, plus max_pixels_per_byte
// for every byte of the file. Pictures with content stay far below it (a
// 2048 x 2048 gradient made 460 pixels a byte lossless, 380 lossy at quality
// 20); what it refuses is a flat colour over more than about 4 megapixels
// (19,000 pixels a byte at 2048 x 2048), and a 1 KB file asking for a
// gigabyte.
//
// Writing takes RGB or RGBA (grey is replicated, 16-bit and float samples
// become 8-bit as for JPEG), lossy at the quality asked for or lossless
// (keeping the colour of fully transparent pixels), and puts the ICC
// profile, the EXIF block (Orientation and pixel size made to match the
// output, as for JPEG and PNG) and the XMP packet into their chunks through
// the muxer.
#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "codec/formats.h"

namespace pellimor::codecs {
namespace {

constexpr std::uint64_t max_free_pixels = std::uint64_t{1} << 22;
constexpr std::uint64_t max_pixels_per_byte = 4096;

bool fail(std::string* err, const std::string& why) {
  *err = "webp: " + why;
  return false;
}

struct demux_deleter {
  void operator()(WebPDemuxer* d) const { WebPDemuxDelete(d); }
};
using demux_handle = std::unique_ptr<WebPDemuxer, demux_deleter>;

struct anim_deleter {
  void operator()(WebPAnimDecoder* d) const { WebPAnimDecoderDelete(d); }
};

struct mux_deleter {
  void operator()(WebPMux* m) const { WebPMuxDelete(m); }
};

struct iterator_guard {
  WebPIterator it{};
  ~iterator_guard() { WebPDemuxReleaseIterator(&it); }
};

struct chunk_guard {
  WebPChunkIterator it{};
  ~chunk_guard() { WebPDemuxReleaseChunkIterator(&it); }
};

// The whole file parsed into its chunks (no pixel decoded). Null when the
// container is damaged or truncated.
demux_handle open_demux(const std::uint8_t* data, std::size_t size) {
  WebPData whole = {data, size};
  return demux_handle(WebPDemux(&whole));
}

std::string size_text(std::uint64_t width, std::uint64_t height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

// An EXIF chunk's TIFF header and what follows: some writers keep the
// JPEG marker's "Exif\0\0" in front of it.
WebPData exif_block(WebPData chunk) {
  if (chunk.size >= 6 && std::memcmp(chunk.bytes, "Exif\0\0", 6) == 0) chunk.bytes += 6, chunk.size -= 6;
  return chunk;
}

// What page `page` of the file gives, checked against the file's size.
bool describe(std::size_t size, int page, WebPDemuxer* demux, image_info* info, std::string* err) {
  const std::uint32_t frames = WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT);
  if (page < 0 || static_cast<std::uint32_t>(page) >= frames)
    return fail(err, "the file has no page " + std::to_string(page + 1));
  const std::uint64_t width = WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH);
  const std::uint64_t height = WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT);
  if (width == 0 || height == 0) return fail(err, "the canvas has no pixels");
  if (width > INT32_MAX || height > INT32_MAX ||
      width * height > max_free_pixels + max_pixels_per_byte * static_cast<std::uint64_t>(size))
    return fail(err, "header claims " + size_text(width, height) + " pixels, more than a " +
                         std::to_string(size) + "-byte file is taken to hold");
  iterator_guard frame;
  if (!WebPDemuxGetFrame(demux, page + 1, &frame.it)) return fail(err, "damaged frame");
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(frame.it.fragment.bytes, frame.it.fragment.size, &features) != VP8_STATUS_OK)
    return fail(err, "damaged frame header");
  const std::uint32_t flags = WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS);
  // An animation keeps its alpha whatever the frame: the canvas around and
  // under a frame may show through.
  const bool alpha = (flags & ALPHA_FLAG) != 0 || features.has_alpha != 0;
  info->width = static_cast<std::int32_t>(width);
  info->height = static_cast<std::int32_t>(height);
  info->channels = alpha ? 4 : 3;
  info->type = sample_type::u8;
  info->orientation = 1;
  chunk_guard exif;
  if ((flags & EXIF_FLAG) != 0 && WebPDemuxGetChunk(demux, "EXIF", 1, &exif.it)) {
    const WebPData block = exif_block(exif.it.chunk);
    info->orientation = exif_orientation(block.bytes, block.size);
  }
  return true;
}

bool start(const std::uint8_t* data, std::size_t size, int page, demux_handle* demux, image_info* info,
           std::string* err) {
  if (!webp_is(data, size)) return fail(err, "not a WebP file");
  *demux = open_demux(data, size);
  if (!*demux) return fail(err, "damaged or truncated file");
  return describe(size, page, demux->get(), info, err);
}

bool decode_still(WebPDemuxer* demux, image* img, std::string* err) {
  iterator_guard frame;
  if (!WebPDemuxGetFrame(demux, 1, &frame.it)) return fail(err, "damaged frame");
  if (frame.it.width != img->width || frame.it.height != img->height)
    return fail(err, "the picture is not the size of the canvas");
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) return fail(err, "libwebp version mismatch");
  config.output.colorspace = img->channels == 4 ? MODE_RGBA : MODE_RGB;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = img->pixels.data();
  config.output.u.RGBA.stride = static_cast<int>(img->row_bytes());
  config.output.u.RGBA.size = img->pixels.size();
  const VP8StatusCode status = WebPDecode(frame.it.fragment.bytes, frame.it.fragment.size, &config);
  WebPFreeDecBuffer(&config.output);
  if (status != VP8_STATUS_OK)
    return fail(err, status == VP8_STATUS_NOT_ENOUGH_DATA ? "the file ends early" : "damaged picture data");
  return true;
}

bool decode_frame(const std::uint8_t* data, std::size_t size, int page, image* img, std::string* err) {
  WebPAnimDecoderOptions options;
  if (!WebPAnimDecoderOptionsInit(&options)) return fail(err, "libwebp version mismatch");
  options.color_mode = MODE_RGBA;
  options.use_threads = 0;
  WebPData whole = {data, size};
  std::unique_ptr<WebPAnimDecoder, anim_deleter> anim(WebPAnimDecoderNew(&whole, &options));
  if (!anim) return fail(err, "damaged animation");
  std::uint8_t* canvas = nullptr;
  int timestamp = 0;
  for (int i = 0; i <= page; ++i)
    if (!WebPAnimDecoderHasMoreFrames(anim.get()) || !WebPAnimDecoderGetNext(anim.get(), &canvas, &timestamp))
      return fail(err, "damaged frame " + std::to_string(i + 1));
  const std::size_t pixels = static_cast<std::size_t>(img->width) * static_cast<std::size_t>(img->height);
  if (img->channels == 4) {
    std::memcpy(img->pixels.data(), canvas, pixels * 4);
  } else {
    for (std::size_t i = 0; i < pixels; ++i) std::memcpy(&img->pixels[i * 3], canvas + i * 4, 3);
  }
  return true;
}

bool write_out(const std::uint8_t* bytes, std::size_t size, const byte_sink& sink, std::string* err) {
  if (!send_to_sink(sink, bytes, size)) return fail(err, "the output would not take the data");
  return true;
}

struct memory_writer_guard {
  WebPMemoryWriter writer;
  memory_writer_guard() { WebPMemoryWriterInit(&writer); }
  ~memory_writer_guard() { WebPMemoryWriterClear(&writer); }
};

struct picture_guard {
  WebPPicture picture;
  bool ready = false;
  ~picture_guard() {
    if (ready) WebPPictureFree(&picture);
  }
};

const char* encode_error(WebPEncodingError code) {
  switch (code) {
    case VP8_ENC_ERROR_OUT_OF_MEMORY:
    case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY:
      return "out of memory";
    case VP8_ENC_ERROR_BAD_DIMENSION:
      return "the size is more than WebP holds (16383 pixels a side)";
    case VP8_ENC_ERROR_PARTITION0_OVERFLOW:
    case VP8_ENC_ERROR_PARTITION_OVERFLOW:
      return "the picture does not fit a lossy WebP file's partitions";
    case VP8_ENC_ERROR_FILE_TOO_BIG:
      return "the file would be over 4 GiB";
    default:
      return "the encoder failed";
  }
}

}  // namespace

bool webp_is(const std::uint8_t* data, std::size_t size) {
  return size >= 12 && std::memcmp(data, "RIFF", 4) == 0 && std::memcmp(data + 8, "WEBP", 4) == 0;
}

int webp_pages(const std::uint8_t* data, std::size_t size) {
  if (!webp_is(data, size)) return 0;
  const demux_handle demux = open_demux(data, size);
  return demux ? static_cast<int>(
                     std::min<std::uint32_t>(WebPDemuxGetI(demux.get(), WEBP_FF_FRAME_COUNT), INT32_MAX))
               : 0;
}

void webp_metadata(const std::uint8_t* data, std::size_t size, metadata* meta) {
  const demux_handle demux = open_demux(data, size);
  if (!demux) return;
  const std::uint32_t flags = WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS);
  chunk_guard exif;
  if ((flags & EXIF_FLAG) != 0 && WebPDemuxGetChunk(demux.get(), "EXIF", 1, &exif.it)) {
    const WebPData block = exif_block(exif.it.chunk);
    if (block.size >= 8 && block.size <= max_exif_bytes) meta->exif.assign(block.bytes, block.bytes + block.size);
  }
  chunk_guard xmp;
  if ((flags & XMP_FLAG) != 0 && WebPDemuxGetChunk(demux.get(), "XMP ", 1, &xmp.it) && xmp.it.chunk.size > 0 &&
      xmp.it.chunk.size <= max_xmp_bytes)
    meta->xmp.assign(reinterpret_cast<const char*>(xmp.it.chunk.bytes), xmp.it.chunk.size);
  // WebP has no density of its own: what EXIF says is all there is.
  if (!meta->exif.empty()) exif_resolution(meta->exif, meta);
}

bool webp_info(const std::uint8_t* data, std::size_t size, image_info* info, std::string* err) {
  return webp_info_page(data, size, 0, info, err);
}

bool webp_info_page(const std::uint8_t* data, std::size_t size, int page, image_info* info,
                    std::string* err) {
  demux_handle demux;
  return start(data, size, page, &demux, info, err);
}

bool webp_decode(const std::uint8_t* data, std::size_t size, image* out, std::string* err) {
  return webp_decode_page(data, size, 0, out, err);
}

bool webp_decode_page(const std::uint8_t* data, std::size_t size, int page, image* out, std::string* err) {
  demux_handle demux;
  image img;
  if (!start(data, size, page, &demux, &img, err)) return false;
  if (!img.allocate())
    return fail(err,
                "not enough memory for " +
                    size_text(static_cast<std::uint64_t>(img.width), static_cast<std::uint64_t>(img.height)) +
                    " pixels");
  const bool animated = (WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS) & ANIMATION_FLAG) != 0;
  if (animated ? !decode_frame(data, size, page, &img, err) : !decode_still(demux.get(), &img, err))
    return false;
  chunk_guard icc;
  if ((WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS) & ICCP_FLAG) != 0 &&
      WebPDemuxGetChunk(demux.get(), "ICCP", 1, &icc.it))
    img.icc.assign(icc.it.chunk.bytes, icc.it.chunk.bytes + icc.it.chunk.size);
  *out = std::move(img);
  return true;
}

bool webp_encode(const image& img, const encode_options& options, const byte_sink& sink, std::string* err) {
  if (!check_encodable(img, err)) return false;
  if (img.width > WEBP_MAX_DIMENSION || img.height > WEBP_MAX_DIMENSION)
    return fail(err,
                "the size " +
                    size_text(static_cast<std::uint64_t>(img.width), static_cast<std::uint64_t>(img.height)) +
                    " is more than WebP holds (16383 pixels a side)");
  const bool alpha = img.has_alpha();
  const int channels = alpha ? 4 : 3;
  std::vector<std::uint8_t> rgb;
  try {
    rgb.resize(static_cast<std::size_t>(img.width) * static_cast<std::size_t>(img.height) * channels);
  } catch (const std::bad_alloc&) {
    return fail(err, "out of memory");
  }
  // 8-bit samples first, then grey spread over red, green and blue.
  const std::size_t count = static_cast<std::size_t>(img.width) * static_cast<std::size_t>(img.height);
  if (img.channels >= 3) {
    convert_pixels(img.pixels.data(), img.type, img.channels, rgb.data(), sample_type::u8, channels, count);
  } else {
    convert_pixels(img.pixels.data(), img.type, img.channels, rgb.data(), sample_type::u8, img.channels,
                   count);
    for (std::size_t i = count; i-- > 0;) {
      const std::uint8_t grey = rgb[i * img.channels];
      const std::uint8_t a = alpha ? rgb[i * 2 + 1] : 0;
      std::uint8_t* p = &rgb[i * channels];
      p[0] = p[1] = p[2] = grey;
      if (alpha) p[3] = a;
    }
  }
  WebPConfig config;
  if (!WebPConfigInit(&config)) return fail(err, "libwebp version mismatch");
  if (options.lossless) {
    // libwebp's lossless level 1 of 9: halving a 1920 x 1080 photo-like
    // picture it took 0.40 s where the default effort took 0.92 s, for a
    // file 2.4 % larger (784 against 803 KB).
    WebPConfigLosslessPreset(&config, 1);
    config.exact = 1;
  } else {
    config.quality = static_cast<float>(std::clamp(options.quality, 0, 100));
    config.method = 4;
  }
  picture_guard pic;
  if (!WebPPictureInit(&pic.picture)) return fail(err, "libwebp version mismatch");
  pic.picture.use_argb = options.lossless ? 1 : 0;
  pic.picture.width = img.width;
  pic.picture.height = img.height;
  pic.ready = true;
  const int stride = img.width * channels;
  const int imported = alpha ? WebPPictureImportRGBA(&pic.picture, rgb.data(), stride)
                             : WebPPictureImportRGB(&pic.picture, rgb.data(), stride);
  if (!imported) return fail(err, "out of memory");
  std::vector<std::uint8_t>().swap(rgb);
  memory_writer_guard out;
  pic.picture.writer = WebPMemoryWrite;
  pic.picture.custom_ptr = &out.writer;
  if (!WebPEncode(&config, &pic.picture)) return fail(err, encode_error(pic.picture.error_code));
  // What is more than a reader here keeps is left out, as it would be lost
  // on the way back in.
  std::vector<std::uint8_t> exif = exif_for_output(img);
  if (exif.size() > max_exif_bytes) exif.clear();
  const std::size_t xmp_size = img.meta.xmp.size() <= max_xmp_bytes ? img.meta.xmp.size() : 0;
  if (img.icc.empty() && exif.empty() && xmp_size == 0)
    return write_out(out.writer.mem, out.writer.size, sink, err);

  const WebPData bitstream = {out.writer.mem, out.writer.size};
  std::unique_ptr<WebPMux, mux_deleter> mux(WebPMuxCreate(&bitstream, 0));
  if (!mux) return fail(err, "out of memory");
  const auto add_chunk = [&](const char* fourcc, const std::uint8_t* bytes, std::size_t size) {
    const WebPData chunk = {bytes, size};
    return size == 0 || WebPMuxSetChunk(mux.get(), fourcc, &chunk, 0) == WEBP_MUX_OK;
  };
  if (!add_chunk("ICCP", img.icc.data(), img.icc.size())) return fail(err, "cannot add the ICC profile");
  if (!add_chunk("EXIF", exif.data(), exif.size())) return fail(err, "cannot add the EXIF block");
  if (!add_chunk("XMP ", reinterpret_cast<const std::uint8_t*>(img.meta.xmp.data()), xmp_size))
    return fail(err, "cannot add the XMP packet");
  WebPData assembled = {nullptr, 0};
  if (WebPMuxAssemble(mux.get(), &assembled) != WEBP_MUX_OK) return fail(err, "cannot assemble the file");
  const bool ok = write_out(assembled.bytes, assembled.size, sink, err);
  WebPDataClear(&assembled);
  return ok;
}

}  // namespace pellimor::codecs
