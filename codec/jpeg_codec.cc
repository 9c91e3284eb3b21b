// SPDX-License-Identifier: MIT
// jpeg_codec.cc - JPEG files through the libjpeg API, read from bytes in
// memory and written to a byte sink.
//
// Reading: baseline, extended and progressive 8-bit files. Greyscale gives
// one channel; YCbCr (any chroma subsampling) and RGB give RGB; CMYK and
// YCCK give CMYK ink amounts (0 for none), turned back from the inverted
// samples Adobe's writers store when an Adobe marker is present, with
// their CMYK ICC profile.
// A warning that means damage (corrupt data, premature end) refuses the
// file; only an unknown JFIF version, an unknown Adobe transform (libjpeg
// then goes by the component count) and a broken ICC marker (the profile
// is dropped) are let through. A file too small for the size it claims is
// refused before anything is allocated, and a scan whose data ends before
// its last block is refused as truncated, Huffman- or arithmetic-coded.
// The ICC profile comes from the APP2 markers, the orientation from an
// EXIF APP1 marker.
//
// Writing: grey, RGB or CMYK (inverted, with an Adobe marker, as Adobe's
// writers and readers have it; no JFIF header then), 8 bits (alpha dropped, other sample types
// converted), baseline with optimised Huffman tables, chroma subsampled
// 4:2:0 below quality 90 and kept whole (4:4:4) from 90 up, as ImageMagick
// and libvips do by default, so file sizes are comparable. JFIF header (with
// the metadata's density), EXIF and XMP in APP1 markers, ICC profile in APP2
// markers, comments in COM markers.
//
// libjpeg reports errors by calling error_exit, which longjmps back here.
// Each function that calls setjmp holds no object with a destructor.
// clang-format off
#include <cstdio>  // jpeglib.h needs size_t and FILE first
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "codec/formats.h"

namespace pellimor::codecs {
namespace {

constexpr int first_unsubsampled_quality = 90;
constexpr std::size_t write_buffer_bytes = std::size_t{1} << 16;
constexpr unsigned exif_marker = JPEG_APP0 + 1;
constexpr unsigned icc_marker = JPEG_APP0 + 2;
// Most bytes a marker holds after its length.
constexpr std::size_t max_marker_bytes = 65533;

struct jpeg_failure {
  jpeg_error_mgr mgr;  // first, so that cinfo->err points at the whole record
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void fail_now(j_common_ptr cinfo) {
  auto* failure = reinterpret_cast<jpeg_failure*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, failure->message);
  std::longjmp(failure->jump, 1);
}

[[noreturn]] void fail_with(j_common_ptr cinfo, const char* text) {
  auto* failure = reinterpret_cast<jpeg_failure*>(cinfo->err);
  std::snprintf(failure->message, sizeof failure->message, "%s", text);
  std::longjmp(failure->jump, 1);
}

// True while a scan's data is being decoded: after its SOS marker and
// before its last row of MCUs is done.
bool in_scan(j_decompress_ptr cinfo) {
  return cinfo->input_scan_number > 0 && cinfo->input_iMCU_row < cinfo->total_iMCU_rows;
}

// Refuses the file because the current scan's data stopped early, at a
// marker or at the end of the file (`how`), `rows_to_go` MCU rows short.
[[noreturn]] void fail_truncated(j_decompress_ptr cinfo, const char* how, unsigned rows_to_go) {
  auto* failure = reinterpret_cast<jpeg_failure*>(cinfo->err);
  std::snprintf(failure->message, sizeof failure->message,
                "the data ends before the last block: scan %d %s with %u of %u MCU rows to go",
                cinfo->input_scan_number, how, rows_to_go, static_cast<unsigned>(cinfo->total_iMCU_rows));
  std::longjmp(failure->jump, 1);
}

// Arithmetic coding ends a scan by leaving out its trailing zero bytes, and
// the decoder reads zeros in their place once it meets the marker after the
// scan. So meeting that marker before the last block is no proof of damage:
// blocks the coder predicts well, such as a flat area at the bottom, code to
// zero bytes that are all left out. Such a tail is cheap, though. Outside
// refinement scans every decision has a probability that adapts, and a run
// of expected ones costs next to nothing: a 2880x1908 picture whose bottom
// 70% is flat leaned on 20 bytes of zeros. The bits of a DC refinement scan
// have a fixed even chance, so there a flat tail costs a bit a block (11 KB
// of zeros for that picture). Data cut short and decoded from zeros cost
// photos 0.6 to 40 bits a block. So a scan may take 64 bytes of zeros, and
// for each block left when it met the marker a quarter of a bit more (a
// whole bit in a refinement scan); past that it is refused as truncated.
// With libjpeg's memory source the decoder sees the marker itself and
// nobody can tell how many zeros it read in place of data, so this source
// hands the data over one marker at a time and gives the zeros itself.
constexpr std::uint64_t free_zero_bytes = 64;
constexpr std::uint64_t blocks_per_zero_byte = 32;
constexpr std::uint64_t refinement_blocks_per_zero_byte = 8;

struct jpeg_memory_source {
  jpeg_source_mgr pub;  // first, so that cinfo->src points at the whole record
  const std::uint8_t* data;
  std::size_t size;
  std::size_t end;  // where the bytes handed over so far end: 0, a marker or `size`
  int zero_scan;    // the scan the zeros counted below went to
  std::uint64_t zeros;
  std::uint64_t zero_limit;
  unsigned rows_to_go;  // MCU rows left when that scan met its marker
};

constexpr JOCTET zero_byte[1] = {0};

bool is_restart(std::uint8_t code) { return code >= JPEG_RST0 && code <= JPEG_RST0 + 7; }

// Just past the marker (a run of 0xff bytes and a code) that starts at `at`.
std::size_t past_marker(const std::uint8_t* data, std::size_t size, std::size_t at) {
  while (at < size && data[at] == 0xff) ++at;
  return std::min(at + 1, size);
}

// The first marker at or after `from` (where its run of 0xff bytes
// starts), or `size`. Inside a scan, 0xff is followed by a stuffed zero.
std::size_t next_marker(const std::uint8_t* data, std::size_t size, std::size_t from) {
  while (from < size) {
    const void* hit = std::memchr(data + from, 0xff, size - from);
    if (hit == nullptr) return size;
    const std::size_t at = static_cast<const std::uint8_t*>(hit) - data;
    std::size_t code = at;
    while (code < size && data[code] == 0xff) ++code;
    if (code == size) return size;
    if (data[code] != 0) return at;
    from = code + 1;
  }
  return size;
}

boolean fill_source(j_decompress_ptr cinfo) {
  auto* s = reinterpret_cast<jpeg_memory_source*>(cinfo->src);
  if (s->end == s->size) {
    if (in_scan(cinfo))
      fail_truncated(cinfo, "meets the end of the file",
                     static_cast<unsigned>(cinfo->total_iMCU_rows - cinfo->input_iMCU_row));
    fail_with(reinterpret_cast<j_common_ptr>(cinfo), "the file ends before its end-of-image marker");
  }
  const std::uint8_t code = s->data[past_marker(s->data, s->size, s->end) - 1];
  if (cinfo->arith_code && in_scan(cinfo) && !(is_restart(code) && cinfo->restart_interval != 0)) {
    if (s->zero_scan != cinfo->input_scan_number) {
      const std::uint64_t rows_done =
          static_cast<std::uint64_t>(cinfo->input_iMCU_row) *
          (cinfo->comps_in_scan == 1 ? cinfo->cur_comp_info[0]->v_samp_factor : 1);
      const std::uint64_t rows_left =
          cinfo->MCU_rows_in_scan > rows_done ? cinfo->MCU_rows_in_scan - rows_done : 0;
      s->zero_scan = cinfo->input_scan_number;
      s->zeros = 0;
      s->zero_limit =
          free_zero_bytes + rows_left * cinfo->MCUs_per_row * cinfo->blocks_in_MCU /
                                (cinfo->Ah != 0 ? refinement_blocks_per_zero_byte : blocks_per_zero_byte);
      s->rows_to_go = static_cast<unsigned>(cinfo->total_iMCU_rows - cinfo->input_iMCU_row);
    }
    if (++s->zeros > s->zero_limit) fail_truncated(cinfo, "meets a marker", s->rows_to_go);
    s->pub.next_input_byte = zero_byte;
    s->pub.bytes_in_buffer = 1;
    return TRUE;
  }
  // Once the frame header shows Huffman coding, the rest goes in one piece,
  // as libjpeg-turbo decodes faster from long stretches.
  const std::size_t start = s->end;
  s->end = cinfo->num_components > 0 && !cinfo->arith_code
               ? s->size
               : next_marker(s->data, s->size, past_marker(s->data, s->size, start));
  s->pub.next_input_byte = s->data + start;
  s->pub.bytes_in_buffer = s->end - start;
  return TRUE;
}

void skip_source(j_decompress_ptr cinfo, long count) {
  jpeg_source_mgr* src = cinfo->src;
  if (count <= 0) return;
  while (static_cast<unsigned long>(count) > src->bytes_in_buffer) {
    count -= static_cast<long>(src->bytes_in_buffer);
    fill_source(cinfo);
  }
  src->next_input_byte += count;
  src->bytes_in_buffer -= static_cast<std::size_t>(count);
}

void no_source_action(j_decompress_ptr) {}

void install_source(jpeg_memory_source* s, const std::uint8_t* data, std::size_t size) {
  s->pub.init_source = no_source_action;
  s->pub.fill_input_buffer = fill_source;
  s->pub.skip_input_data = skip_source;
  s->pub.resync_to_restart = jpeg_resync_to_restart;
  s->pub.term_source = no_source_action;
  s->pub.next_input_byte = nullptr;
  s->pub.bytes_in_buffer = 0;
  s->data = data;
  s->size = size;
  s->end = 0;
}

// Level -1 is a warning, higher levels are trace messages.
void on_message(j_common_ptr cinfo, int level) {
  if (level >= 0) return;
  switch (cinfo->err->msg_code) {
    case JWRN_JFIF_MAJOR:
    case JWRN_ADOBE_XFORM:
    case JWRN_BOGUS_ICC:
      return;
    case JWRN_HIT_MARKER:  // the Huffman decoder needs bits past the scan's data
      if (cinfo->is_decompressor) {
        auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
        fail_truncated(d, "meets a marker", static_cast<unsigned>(d->total_iMCU_rows - d->input_iMCU_row));
      }
      fail_now(cinfo);
    default:
      // Damage found in the zeros given in place of missing data means the
      // data was cut short.
      if (cinfo->is_decompressor) {
        auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
        const auto* s = reinterpret_cast<const jpeg_memory_source*>(d->src);
        if (s != nullptr && d->arith_code && in_scan(d) && s->zero_scan == d->input_scan_number &&
            s->zeros > 0)
          fail_truncated(d, "meets a marker", s->rows_to_go);
      }
      fail_now(cinfo);
  }
}

void print_nothing(j_common_ptr) {}

void install_failure(jpeg_failure* failure) {
  jpeg_std_error(&failure->mgr);
  failure->mgr.error_exit = fail_now;
  failure->mgr.emit_message = on_message;
  failure->mgr.output_message = print_nothing;
  failure->message[0] = '\0';
}

// A progressive file is decoded scan by scan over the whole picture, and a
// scan of end-of-band runs takes a few bytes whatever the picture's size,
// so a small file of thousands of scans would keep the decoder busy for
// minutes. Writers make ten or so (libjpeg's progression: 10 for colour, 6
// for grey; a full successive approximation of every coefficient of a grey
// picture, 128); a file of more is refused.
constexpr int max_scans = 128;

void count_scans(j_common_ptr common) {
  const auto* cinfo = reinterpret_cast<j_decompress_ptr>(common);
  if (cinfo->input_scan_number > max_scans) {
    char text[64];
    std::snprintf(text, sizeof text, "the file has more than %d scans", max_scans);
    fail_with(common, text);
  }
}

struct jpeg_reader {
  jpeg_decompress_struct cinfo{};
  jpeg_failure failure{};
  jpeg_memory_source source{};
  jpeg_progress_mgr progress{};
  bool created = false;
  JOCTET* icc = nullptr;  // malloc'd by jpeg_read_icc_profile
  unsigned icc_size = 0;
  ~jpeg_reader() {
    if (created) jpeg_destroy_decompress(&cinfo);
    std::free(icc);
  }
};

// Reads the markers up to the first scan, keeping EXIF and ICC markers,
// and the ICC profile when `want_icc`.
bool read_header(jpeg_reader* r, const std::uint8_t* data, std::size_t size, bool want_icc) {
  install_failure(&r->failure);
  r->cinfo.err = &r->failure.mgr;
  if (setjmp(r->failure.jump)) return false;
  r->created = true;
  jpeg_create_decompress(&r->cinfo);
  install_source(&r->source, data, size);
  r->cinfo.src = &r->source.pub;
  r->progress.progress_monitor = count_scans;
  r->cinfo.progress = &r->progress;
  jpeg_save_markers(&r->cinfo, exif_marker, 0xffff);
  jpeg_save_markers(&r->cinfo, icc_marker, 0xffff);
  jpeg_read_header(&r->cinfo, TRUE);
  if (want_icc && !jpeg_read_icc_profile(&r->cinfo, &r->icc, &r->icc_size)) r->icc_size = 0;
  return true;
}

// Ink amounts from the 255 - ink that Adobe's writers store.
void invert_samples(std::uint8_t* samples, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) samples[i] = static_cast<std::uint8_t>(255 - samples[i]);
}

// Decodes every row into `pixels`, Adobe's inverted ink turned back.
// `done(n)` hears of rows decoded as they come.
template <class Done>
bool read_rows(jpeg_reader* r, const image_info& info, bool cmyk, std::uint8_t* pixels, const Done& done) {
  if (setjmp(r->failure.jump)) return false;
  jpeg_decompress_struct& cinfo = r->cinfo;
  cinfo.out_color_space = cmyk ? JCS_CMYK : cinfo.jpeg_color_space == JCS_GRAYSCALE ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_start_decompress(&cinfo);
  if (cinfo.output_width != static_cast<JDIMENSION>(info.width) ||
      cinfo.output_height != static_cast<JDIMENSION>(info.height) ||
      cinfo.output_components != (cmyk ? 4 : info.channels))
    fail_with(reinterpret_cast<j_common_ptr>(&cinfo), "unexpected output layout");
  const std::size_t row_bytes = info.row_bytes();
  while (cinfo.output_scanline < cinfo.output_height) {
    std::uint8_t* out = pixels + static_cast<std::size_t>(cinfo.output_scanline) * row_bytes;
    JSAMPROW row = out;
    if (jpeg_read_scanlines(&cinfo, &row, 1) != 1)
      fail_with(reinterpret_cast<j_common_ptr>(&cinfo), "no row came back");
    if (cmyk && cinfo.saw_Adobe_marker) invert_samples(out, row_bytes);
    // Told in bands: each call may wake a reader on another core.
    if (cinfo.output_scanline % 16 == 0) done(static_cast<std::int32_t>(cinfo.output_scanline));
  }
  jpeg_finish_decompress(&cinfo);
  return true;
}

bool start_reading(jpeg_reader* r, const std::uint8_t* data, std::size_t size, bool want_icc,
                   std::string* err) {
  if (!jpeg_is(data, size)) {
    *err = "not a jpeg file";
    return false;
  }
  if (!read_header(r, data, size, want_icc)) {
    *err = std::string("jpeg: ") + r->failure.message;
    return false;
  }
  return true;
}

bool is_cmyk(const jpeg_decompress_struct& cinfo) {
  return cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
}

int orientation_of(const jpeg_decompress_struct& cinfo) {
  static constexpr std::uint8_t exif_name[6] = {'E', 'x', 'i', 'f', 0, 0};
  for (jpeg_saved_marker_ptr m = cinfo.marker_list; m != nullptr; m = m->next)
    if (m->marker == exif_marker && m->data_length > sizeof exif_name &&
        std::memcmp(m->data, exif_name, sizeof exif_name) == 0)
      return exif_orientation(m->data + sizeof exif_name, m->data_length - sizeof exif_name);
  return 1;
}

// The layout reading will produce. False for colour models this reader does
// not convert, and for a file too small for the size it claims: in a
// Huffman-coded file every 8x8 block of a component costs at least one bit
// (its DC code, in a progressive file's first scan), so a file needs at
// least blocks / 8 bytes for the component with the fewest blocks. An
// arithmetic coder can spend far less on a block it predicts well (a flat
// picture takes next to nothing), so there the same bound is a rule of this
// reader rather than of the format: the photos and drawings tried spent 20
// bits and more a block of their smallest component that way, and what a
// file lacks would be decoded from zeros.
bool describe(const jpeg_decompress_struct& cinfo, std::size_t size, image_info* info, std::string* err) {
  int channels = 0;
  switch (cinfo.jpeg_color_space) {
    case JCS_GRAYSCALE:
      channels = 1;
      break;
    case JCS_YCbCr:
    case JCS_RGB:
      channels = 3;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      channels = 4;
      break;
    default:
      *err = "jpeg: unsupported colour model with " + std::to_string(cinfo.num_components) + " components";
      return false;
  }
  std::uint64_t fewest = std::numeric_limits<std::uint64_t>::max();
  for (int c = 0; c < cinfo.num_components; ++c)
    fewest = std::min<std::uint64_t>(fewest, static_cast<std::uint64_t>(cinfo.comp_info[c].width_in_blocks) *
                                                 cinfo.comp_info[c].height_in_blocks);
  if (fewest / 8 > size) {
    *err = "jpeg: header claims " + std::to_string(cinfo.image_width) + "x" +
           std::to_string(cinfo.image_height) + " pixels, more than a " + std::to_string(size) +
           "-byte file can hold";
    return false;
  }
  info->width = static_cast<std::int32_t>(cinfo.image_width);
  info->height = static_cast<std::int32_t>(cinfo.image_height);
  info->channels = channels;
  info->cmyk = channels == 4;
  info->type = sample_type::u8;
  info->orientation = orientation_of(cinfo);
  return true;
}

struct jpeg_writer {
  jpeg_compress_struct cinfo{};
  jpeg_failure failure{};
  bool created = false;
  jpeg_destination_mgr destination{};
  const byte_sink* sink = nullptr;
  std::vector<std::uint8_t> buffer;
  // The markers' contents, made before libjpeg starts (it longjmps).
  std::vector<std::uint8_t> exif;  // "Exif\0\0" and the block
  std::vector<std::uint8_t> xmp;   // its name, NUL and the packet
  std::vector<std::vector<std::uint8_t>> extended_xmp;  // each segment whole
  ~jpeg_writer() {
    if (created) jpeg_destroy_compress(&cinfo);
  }
};

jpeg_writer* writer_of(j_compress_ptr cinfo) { return static_cast<jpeg_writer*>(cinfo->client_data); }

void send(j_compress_ptr cinfo, std::size_t count) {
  jpeg_writer* w = writer_of(cinfo);
  if (!send_to_sink(*w->sink, w->buffer.data(), count))
    fail_with(reinterpret_cast<j_common_ptr>(cinfo), "the output would not take the data");
}

void start_destination(j_compress_ptr cinfo) {
  jpeg_writer* w = writer_of(cinfo);
  w->destination.next_output_byte = w->buffer.data();
  w->destination.free_in_buffer = w->buffer.size();
}

// Called when the buffer is full, whatever free_in_buffer says.
boolean empty_destination(j_compress_ptr cinfo) {
  send(cinfo, writer_of(cinfo)->buffer.size());
  start_destination(cinfo);
  return TRUE;
}

void end_destination(j_compress_ptr cinfo) {
  jpeg_writer* w = writer_of(cinfo);
  send(cinfo, w->buffer.size() - w->destination.free_in_buffer);
}

// The JFIF density: the file's own unit where the value is whole there,
// else dots per inch, rounded.
void set_density(j_compress_ptr cinfo, const metadata& meta) {
  double x = 0, y = 0;
  int unit = meta.density_unit;
  if (unit == 0) {
    x = meta.x_density;
    y = meta.y_density;
  } else if (!density_in(meta, unit, &x, &y)) {
    return;
  }
  if (unit == 2 && (x != std::round(x) || y != std::round(y))) {
    unit = 1;
    density_in(meta, 1, &x, &y);
  }
  x = std::round(x);
  y = std::round(y);
  if (!(x >= 1 && x <= 65535 && y >= 1 && y <= 65535)) return;
  cinfo->density_unit = static_cast<UINT8>(unit);
  cinfo->X_density = static_cast<UINT16>(x);
  cinfo->Y_density = static_cast<UINT16>(y);
}

// Writes the whole file. `scratch` holds one 8-bit row when samples need
// converting or an alpha channel dropping.
bool write_file(jpeg_writer* w, const image& img, const encode_options* options, std::uint8_t* scratch) {
  const int quality = options->quality;
  install_failure(&w->failure);
  w->cinfo.err = &w->failure.mgr;
  if (setjmp(w->failure.jump)) return false;
  w->created = true;
  jpeg_create_compress(&w->cinfo);
  jpeg_compress_struct& cinfo = w->cinfo;
  cinfo.client_data = w;
  w->destination.init_destination = start_destination;
  w->destination.empty_output_buffer = empty_destination;
  w->destination.term_destination = end_destination;
  cinfo.dest = &w->destination;

  const bool grey = img.channels <= 2;
  const int components = img.cmyk ? 4 : grey ? 1 : 3;
  cinfo.image_width = static_cast<JDIMENSION>(img.width);
  cinfo.image_height = static_cast<JDIMENSION>(img.height);
  cinfo.input_components = components;
  cinfo.in_color_space = img.cmyk ? JCS_CMYK : grey ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  cinfo.optimize_coding = TRUE;
  if (!grey && !img.cmyk) {
    const int luma = quality >= first_unsubsampled_quality ? 1 : 2;
    cinfo.comp_info[0].h_samp_factor = luma;
    cinfo.comp_info[0].v_samp_factor = luma;
  }
  set_density(&cinfo, img.meta);
  jpeg_start_compress(&cinfo, TRUE);
  if (!w->exif.empty()) jpeg_write_marker(&cinfo, exif_marker, w->exif.data(), static_cast<unsigned>(w->exif.size()));
  if (!w->xmp.empty()) jpeg_write_marker(&cinfo, exif_marker, w->xmp.data(), static_cast<unsigned>(w->xmp.size()));
  for (const std::vector<std::uint8_t>& segment : w->extended_xmp)
    jpeg_write_marker(&cinfo, exif_marker, segment.data(), static_cast<unsigned>(segment.size()));
  if (!img.icc.empty()) jpeg_write_icc_profile(&cinfo, img.icc.data(), static_cast<unsigned>(img.icc.size()));
  for (const metadata::text& text : img.meta.texts)
    if (text.key == "Comment" && text.value.size() <= max_marker_bytes)
      jpeg_write_marker(&cinfo, JPEG_COM, reinterpret_cast<const JOCTET*>(text.value.data()),
                        static_cast<unsigned>(text.value.size()));
  const bool convert = img.type != sample_type::u8 || img.channels != components || img.cmyk;
  while (cinfo.next_scanline < cinfo.image_height) {
    if (!rows_ready(*options, static_cast<std::int32_t>(cinfo.next_scanline) + 1))
      fail_with(reinterpret_cast<j_common_ptr>(&cinfo), "the image was not finished");
    const std::uint8_t* in = img.row(static_cast<std::int32_t>(cinfo.next_scanline));
    if (convert) {
      convert_pixels(in, img.type, img.channels, scratch, sample_type::u8, components, img.width);
      if (img.cmyk) invert_samples(scratch, static_cast<std::size_t>(img.width) * 4);
      in = scratch;
    }
    JSAMPROW row = const_cast<JSAMPROW>(in);  // libjpeg only reads it
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  return true;
}

}  // namespace

bool jpeg_is(const std::uint8_t* data, std::size_t size) {
  return size >= 3 && data[0] == 0xff && data[1] == 0xd8 && data[2] == 0xff;
}

bool jpeg_info(const std::uint8_t* data, std::size_t size, image_info* info, std::string* err) {
  jpeg_reader r;
  return start_reading(&r, data, size, false, err) && describe(r.cinfo, size, info, err);
}

bool jpeg_decode(const std::uint8_t* data, std::size_t size, image* out, std::string* err) {
  return jpeg_decode_rows(data, size, out, err, {});
}

bool jpeg_decode_rows(const std::uint8_t* data, std::size_t size, image* out, std::string* err,
                      const decode_progress& progress) {
  jpeg_reader r;
  image img;
  if (out->pixels.empty()) img.pixels.swap(out->pixels);  // its room is used again (codec.h)
  if (!start_reading(&r, data, size, true, err) || !describe(r.cinfo, size, &img, err)) return false;
  const bool cmyk = is_cmyk(r.cinfo);
  if (!img.allocate_for_overwrite()) {  // every scanline is decoded into it
    *err = "jpeg: not enough memory for " + std::to_string(img.width) + "x" + std::to_string(img.height) +
           " pixels";
    return false;
  }
  told_rows told{progress};
  const auto done = [&](std::int32_t rows) {
    if (progress) progress(img.pixels.data(), rows);
  };
  if (!read_rows(&r, img, cmyk, img.pixels.data(), done)) {
    *err = std::string("jpeg: ") + r.failure.message;
    return false;
  }
  done(img.height);
  if (r.icc != nullptr) img.icc.assign(r.icc, r.icc + r.icc_size);
  told.kept = true;
  *out = std::move(img);
  return true;
}

bool jpeg_encode(const image& img, const encode_options& options, const byte_sink& sink, std::string* err) {
  if (!check_encodable(img, err)) return false;
  if (options.quality < 1 || options.quality > 100) {
    *err = "jpeg: quality " + std::to_string(options.quality) + " is outside 1..100";
    return false;
  }
  if (img.icc.size() > std::numeric_limits<unsigned>::max()) {
    *err = "jpeg: ICC profile too large";
    return false;
  }
  jpeg_writer w;
  w.sink = &sink;
  std::vector<std::uint8_t> scratch;
  try {
    w.buffer.resize(write_buffer_bytes);
    scratch.resize(static_cast<std::size_t>(img.width) * 4);
  } catch (const std::bad_alloc&) {
    *err = "jpeg: out of memory";
    return false;
  }
  // What does not fit one marker is left out.
  static constexpr std::uint8_t exif_name[6] = {'E', 'x', 'i', 'f', 0, 0};
  static constexpr char xmp_name[] = "http://ns.adobe.com/xap/1.0/";  // with its NUL
  std::vector<std::uint8_t> exif = exif_for_output(img);
  // libjpeg writes CMYK with an Adobe marker, not JFIF's: the density goes
  // in EXIF, as libvips puts it.
  if (img.cmyk) exif = exif_with_density(exif, img.meta);
  if (!exif.empty() && exif.size() + sizeof exif_name <= max_marker_bytes) {
    w.exif.assign(exif_name, exif_name + sizeof exif_name);
    w.exif.insert(w.exif.end(), exif.begin(), exif.end());
  }
  // A packet too large for one marker goes whole into extended XMP, the
  // standard packet holding only its name; one that fits goes as it is,
  // with the extended packet it names, if any.
  const std::string& packet = img.meta.xmp;
  std::string standard = packet, extended, guid;
  if (packet.size() + sizeof xmp_name > max_marker_bytes) {
    extended = packet;
    guid = extended_xmp_guid(extended);
    standard = extended_xmp_pointer(guid);
  } else if (!img.meta.xmp_extended.empty()) {
    guid = extended_xmp_guid(img.meta.xmp_extended);
    if (packet.find(guid) != std::string::npos) extended = img.meta.xmp_extended;
  }
  if (!packet.empty()) {
    w.xmp.assign(xmp_name, xmp_name + sizeof xmp_name);
    w.xmp.insert(w.xmp.end(), standard.begin(), standard.end());
  }
  const std::size_t piece_bytes = max_marker_bytes - extended_xmp_header;
  for (std::size_t at = 0; at < extended.size() && extended.size() <= max_xmp_bytes; at += piece_bytes) {
    const std::size_t n = std::min(piece_bytes, extended.size() - at);
    std::vector<std::uint8_t> segment(extended_xmp_name, extended_xmp_name + sizeof extended_xmp_name);
    segment.insert(segment.end(), guid.begin(), guid.end());
    for (const std::size_t v : {extended.size(), at})
      for (int shift = 24; shift >= 0; shift -= 8) segment.push_back(static_cast<std::uint8_t>(v >> shift));
    segment.insert(segment.end(), extended.begin() + static_cast<std::ptrdiff_t>(at),
                   extended.begin() + static_cast<std::ptrdiff_t>(at + n));
    w.extended_xmp.push_back(std::move(segment));
  }
  if (!write_file(&w, img, &options, scratch.data())) {
    *err = std::string("jpeg: ") + w.failure.message;
    return false;
  }
  return true;
}

}  // namespace pellimor::codecs
