// SPDX-License-Identifier: MIT
// png_codec.cc - PNG files through libpng, read from bytes in memory and
// written to a byte sink.
//
// Reading gives 8 or 16 bits per sample: grey below 8 bits is scaled up to
// 0..255, a palette becomes RGB (RGBA with tRNS; grey when every entry is
// grey and there is neither tRNS nor an ICC profile), tRNS on grey or RGB
// becomes an alpha channel, 16-bit samples are native-endian. Gamma and
// colour chunks other than iCCP are left alone; text chunks and suggested
// palettes are skipped unread. Any CRC error, a truncated file or a broken
// zlib stream refuses the file. Before libpng sees the bytes, the chunk
// lengths are walked against the file; a chunk claiming more than is left,
// or an ancillary chunk over 64 MiB, and a header claiming more pixels than
// the file could hold, are refused before anything is allocated.
//
// Writing keeps grey, grey + alpha, RGB and RGBA at 8 or 16 bits (float
// samples become 16-bit), with zlib level 1, one filter on every row (the
// one that suits the picture) and no interlacing, large pictures deflated
// in pieces on two threads; the ICC profile goes into iCCP, the metadata into
// eXIf, tEXt/zTXt/iTXt, pHYs, gAMA, cHRM and sRGB (metadata.cc reads them).
//
// libpng reports errors by longjmp. Each function that calls setjmp holds no
// object with a destructor; the objects that own memory live one frame up.
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <condition_variable>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "codec/formats.h"

namespace pellimor::codecs {
namespace {

constexpr bool little_endian = std::endian::native == std::endian::little;

// Largest width and height read. libpng's own ceiling is 2^31 - 1.
constexpr std::uint32_t max_side = 1000000;
// Largest decompressed ancillary chunk (an ICC profile).
constexpr png_alloc_size_t max_chunk_bytes = 64u << 20;
// Largest ancillary chunk read. libpng takes (and clears) memory for a
// chunk's whole claimed length before reading it, whatever
// png_set_chunk_malloc_max says, and nothing kept here comes near this.
constexpr std::uint32_t max_ancillary_chunk = 64u << 20;
// Chunks libpng would otherwise read and keep for nothing: compressed text
// is inflated up to max_chunk_bytes (a 60 KB zTXt took 128 MB and most of a
// second).
constexpr png_byte ignored_chunks[] = "tEXt\0zTXt\0iTXt\0sPLT";
// Most ancillary chunks of one kind kept (unknown ones).
constexpr png_uint_32 max_cached_chunks = 256;
// Deflate never expands one byte into more than 1032 (a 258-byte match
// coded in two bits), so a file smaller than its rows' bytes / 1032 cannot
// hold them.
constexpr std::uint64_t max_inflation = 1032;

// zlib level 1 throughout: levels 2 and 3 saved 2-5% for 40-150% more time,
// and libpng's own choice among the five filters 1% for 40% more. Which
// filter and which zlib strategy suit a picture depends on it: on a
// 3840x2160 photo-like enlargement, the average filter with run-length-only
// zlib made 12.5 MB in 0.45 s, Paeth with ordinary zlib 14.8 MB in 0.65 s;
// on a test card of flat colours and sharp edges it was the other way round
// (773 KB against 510 KB), and run lengths alone are ten times larger on
// repeating patterns. So each picture tries the candidates on a few bands
// of its rows and takes the smallest (the first of them within 2%: they
// are listed fastest first).
constexpr int write_level = 1;
constexpr std::size_t write_chunk = std::size_t{1} << 17;  // bytes per IDAT chunk

struct png_compression {
  int filter;    // PNG_FILTER_VALUE_*, the filter every row uses
  int strategy;  // zlib's
};
constexpr png_compression compression_candidates[] = {
    {PNG_FILTER_VALUE_AVG, Z_RLE},
    {PNG_FILTER_VALUE_PAETH, Z_RLE},
    {PNG_FILTER_VALUE_PAETH, Z_DEFAULT_STRATEGY},
};

int paeth_predictor(int a, int b, int c) {
  const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// Row `row` filtered as PNG stores it, given the row above (`up`, zeros
// for the first), `bpp` bytes a pixel.
void filter_row(int filter, const std::uint8_t* row, const std::uint8_t* up, std::size_t size,
                std::size_t bpp, std::uint8_t* out) {
  for (std::size_t i = 0; i < size; ++i) {
    const int a = i >= bpp ? row[i - bpp] : 0, b = up[i], c = i >= bpp ? up[i - bpp] : 0;
    const int predicted = filter == PNG_FILTER_VALUE_AVG ? (a + b) / 2 : paeth_predictor(a, b, c);
    out[i] = static_cast<std::uint8_t>(row[i] - predicted);
  }
}

// The bytes zlib makes of `data` at write_level with `strategy`; SIZE_MAX
// when zlib fails.
std::size_t deflated_size(const std::vector<std::uint8_t>& data, int strategy) {
  z_stream z = {};
  if (deflateInit2(&z, write_level, Z_DEFLATED, 15, 8, strategy) != Z_OK) return SIZE_MAX;
  std::vector<std::uint8_t> out(deflateBound(&z, data.size()));
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const bool done = deflate(&z, Z_FINISH) == Z_STREAM_END;
  const std::size_t size = z.total_out;
  deflateEnd(&z);
  return done ? size : SIZE_MAX;
}

// The candidate that compresses best a sample of the rows `row_of` gives
// (each `size` bytes as stored in the file, `bpp` bytes a pixel): up to
// three bands of 16 rows, at a quarter, half and three quarters down.
template <class RowOf>
png_compression choose_compression(std::int32_t height, std::size_t size, std::size_t bpp,
                                   const RowOf& row_of) {
  constexpr std::int32_t band = 16;
  std::vector<std::int32_t> rows;
  for (int quarter = 1; quarter <= 3; ++quarter) {
    const std::int32_t first = std::max<std::int32_t>(0, height * quarter / 4 - band / 2);
    for (std::int32_t y = first; y < std::min(height, first + band); ++y)
      if (rows.empty() || y > rows.back()) rows.push_back(y);
  }
  std::vector<std::uint8_t> above(size), current(size), filtered;
  std::size_t sizes[std::size(compression_candidates)];
  for (std::size_t k = 0; k < std::size(compression_candidates); ++k) {
    const int filter = compression_candidates[k].filter;
    filtered.clear();
    for (std::int32_t y : rows) {
      if (y > 0)
        row_of(y - 1, above.data());
      else
        std::fill(above.begin(), above.end(), 0);
      row_of(y, current.data());
      filtered.push_back(static_cast<std::uint8_t>(filter));
      filtered.resize(filtered.size() + size);
      filter_row(filter, current.data(), above.data(), size, bpp, filtered.data() + filtered.size() - size);
    }
    sizes[k] = deflated_size(filtered, compression_candidates[k].strategy);
  }
  const std::size_t best = *std::min_element(std::begin(sizes), std::end(sizes));
  for (std::size_t k = 0; k < std::size(compression_candidates); ++k)
    if (sizes[k] <= best + best / 50) return compression_candidates[k];
  return compression_candidates[0];
}

// Bits a sample in the file: float samples are written as 16-bit.
int stored_depth(const image& img) { return img.type == sample_type::u8 ? 8 : 16; }

// Row y's samples as the file holds them, in the machine's byte order: float
// samples turned into 16-bit through `scratch` (a row of them).
const std::uint8_t* written_samples(const image& img, std::int32_t y, std::uint8_t* scratch) {
  const std::uint8_t* row = img.row(y);
  if (!is_float(img.type)) return row;
  convert_pixels(row, img.type, img.channels, scratch, sample_type::u16, img.channels, img.width);
  return scratch;
}

// Row y as the file stores it, before filtering: written_samples with
// 16-bit samples big-endian.
void stored_row(const image& img, std::int32_t y, std::uint8_t* scratch, std::uint8_t* out) {
  const int depth = stored_depth(img);
  const std::size_t size = static_cast<std::size_t>(img.width) * img.channels * (depth / 8);
  const std::uint8_t* row = written_samples(img, y, scratch);
  if (depth == 16 && little_endian)
    for (std::size_t i = 0; i < size; ++i) out[i] = row[i ^ 1];
  else
    std::memcpy(out, row, size);
}

// Large pictures are deflated in pieces on two threads, as one zlib stream
// all the same: each piece is a run of whole filtered rows, deflated on its
// own but primed with the 32 KiB of filtered data before it, and ended with
// a sync flush (the last with the stream's end), so that the pieces laid end
// to end decode as a single deflate would. That costs a few bytes a piece
// (under 0.02% on photographs) and takes the encoder, the tail of every
// large PNG job, from 0.30 to 0.18 s for a 3840x2160 photograph on two
// cores. Pieces of 256 KiB keep a batch of 1280x960 pictures at the peak
// memory of libpng's single stream (1 MiB pieces took it from 23 to 28
// MiB). The bytes depend only on the picture: which thread deflates a piece
// changes nothing in it.
constexpr std::size_t piece_bytes = std::size_t{1} << 18;
constexpr std::size_t least_bytes = std::size_t{2} << 20;  // smaller pictures go through libpng whole
constexpr std::size_t dictionary_bytes = 32768;

struct png_piece {
  std::vector<std::uint8_t> filtered;    // the rows, each its filter byte first
  std::vector<std::uint8_t> dictionary;  // filtered data just before them
  // Deflated: out_size bytes from out + 2, in room for out_room, with 2
  // bytes before them for the zlib header and 4 after for its checksum.
  std::unique_ptr<std::uint8_t[]> out;
  std::size_t out_size = 0, out_room = 0;
  std::uint32_t adler = 1;  // of `filtered`
  bool last = false, taken = false, done = false, ok = false;
};

void deflate_piece(png_piece* piece, int strategy) {
  z_stream z = {};
  if (deflateInit2(&z, write_level, Z_DEFLATED, -15, 8, strategy) != Z_OK) return;
  bool ok =
      piece->dictionary.empty() ||
      deflateSetDictionary(&z, piece->dictionary.data(), static_cast<uInt>(piece->dictionary.size())) == Z_OK;
  if (ok) {
    z.next_in = piece->filtered.data();
    z.avail_in = static_cast<uInt>(piece->filtered.size());
    z.next_out = piece->out.get() + 2;
    z.avail_out = static_cast<uInt>(piece->out_room);
    const int status = deflate(&z, piece->last ? Z_FINISH : Z_SYNC_FLUSH);
    ok = z.avail_in == 0 && (piece->last ? status == Z_STREAM_END : status == Z_OK && z.avail_out > 0);
    piece->out_size = z.total_out;
    piece->adler = static_cast<std::uint32_t>(
        adler32(1, piece->filtered.data(), static_cast<uInt>(piece->filtered.size())));
  }
  deflateEnd(&z);
  piece->ok = ok;
}

// Writes `data` as IDAT chunks of at most write_chunk bytes.
bool send_idat(const byte_sink& sink, const std::uint8_t* data, std::size_t size) {
  static constexpr std::uint8_t type[4] = {'I', 'D', 'A', 'T'};
  for (std::size_t at = 0; at < size;) {
    const std::size_t length = std::min(write_chunk, size - at);
    std::uint8_t head[8], tail[4];
    for (int i = 0; i < 4; ++i) head[i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
    std::memcpy(head + 4, type, 4);
    uLong crc = crc32(crc32(0, type, 4), data + at, static_cast<uInt>(length));
    for (int i = 0; i < 4; ++i) tail[i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    if (!send_to_sink(sink, head, 8) || !send_to_sink(sink, data + at, length) ||
        !send_to_sink(sink, tail, 4))
      return false;
    at += length;
  }
  return true;
}

// The image data and IEND after png_write_info, in pieces (see above), rows
// [0, ready) asked for already. The rows are read, and rows_ready called, on
// this thread only, rows in order, so that the rows behind may go. Calls
// nothing of libpng's: no longjmp passes the helper thread.
bool write_pieces(const image& img, const encode_options& options, const byte_sink& sink,
                  png_compression chosen, std::int32_t ready, std::uint8_t* scratch, std::string* why) {
  const std::size_t bpp = static_cast<std::size_t>(img.channels) * (stored_depth(img) / 8),
                    row_bytes = bpp * static_cast<std::size_t>(img.width);
  const std::int32_t rows_per_piece =
      static_cast<std::int32_t>(std::max<std::size_t>(1, piece_bytes / (row_bytes + 1)));
  std::mutex lock;
  std::condition_variable changed;
  std::deque<std::unique_ptr<png_piece>> pieces;  // not yet written, in order
  bool stop = false;
  // Deflates the oldest piece nobody has taken; false when there is none.
  const auto take = [&](std::unique_lock<std::mutex>& held) {
    for (auto& p : pieces)
      if (!p->taken) {
        p->taken = true;
        png_piece* piece = p.get();
        held.unlock();
        deflate_piece(piece, chosen.strategy);
        held.lock();
        piece->done = true;
        changed.notify_all();
        return true;
      }
    return false;
  };
  // Without a second thread (none to be had), this one deflates every piece.
  std::thread helper;
  try {
    helper = std::thread([&] {
      std::unique_lock<std::mutex> held(lock);
      for (;;) {
        if (stop) return;
        if (!take(held)) changed.wait(held);
      }
    });
  } catch (const std::system_error&) {
  }
  struct joiner {
    std::thread& t;
    std::mutex& m;
    std::condition_variable& c;
    bool& stop;
    ~joiner() {
      {
        std::lock_guard<std::mutex> held(m);
        stop = true;
      }
      c.notify_all();
      if (t.joinable()) t.join();
    }
  } join_helper{helper, lock, changed, stop};

  std::uint32_t adler = 1;
  bool header_sent = false;
  // Writes the finished pieces at the front; false when one failed.
  const auto send_done = [&](std::unique_lock<std::mutex>& held) {
    while (!pieces.empty() && pieces.front()->done) {
      std::unique_ptr<png_piece> p = std::move(pieces.front());
      pieces.pop_front();
      held.unlock();
      bool ok = p->ok;
      if (ok) {
        std::uint8_t* begin = p->out.get() + 2;
        std::uint8_t* end = begin + p->out_size;
        if (!header_sent) {
          *--begin = 0x01;  // deflate, 32 KiB window, fastest
          *--begin = 0x78;
          header_sent = true;
        }
        adler = static_cast<std::uint32_t>(
            adler32_combine(adler, p->adler, static_cast<z_off_t>(p->filtered.size())));
        if (p->last)
          for (int i = 0; i < 4; ++i) *end++ = static_cast<std::uint8_t>(adler >> (24 - 8 * i));
        ok = send_idat(sink, begin, static_cast<std::size_t>(end - begin));
        if (!ok) *why = "the output would not take the data";
      } else {
        *why = "zlib failed";
      }
      held.lock();
      if (!ok) return false;
    }
    return true;
  };

  std::vector<std::uint8_t> above(row_bytes, 0), current(row_bytes), tail;
  for (std::int32_t first = 0, end = 0; first < img.height; first = end) {
    // Rows before those already asked for may go at the next ask: a piece
    // reads them all first, ending where they end.
    end = std::min(img.height, first + rows_per_piece);
    if (first < ready && end > ready) end = ready;
    if (end > ready) {
      if (!rows_ready(options, end)) {
        *why = "the image was not finished";
        return false;
      }
      ready = end;
    }
    auto piece = std::make_unique<png_piece>();  // bad_alloc goes to the caller
    piece->filtered.resize(static_cast<std::size_t>(end - first) * (row_bytes + 1));
    piece->dictionary = tail;
    // Room for the deflated piece, taken here rather than on the helper
    // thread, whose own malloc arena would keep it from the next file of a
    // batch: the bound for a whole zlib stream, and a sync flush's empty
    // stored block (5 bytes) well within the margin.
    // Left uninitialised: only the pages deflate writes are ever touched.
    piece->out_room = compressBound(static_cast<uLong>(piece->filtered.size())) + 64;
    piece->out.reset(new std::uint8_t[piece->out_room + 6]);
    std::uint8_t* out = piece->filtered.data();
    for (std::int32_t y = first; y < end; ++y, out += row_bytes + 1) {
      stored_row(img, y, scratch, current.data());
      out[0] = static_cast<std::uint8_t>(chosen.filter);
      filter_row(chosen.filter, current.data(), above.data(), row_bytes, bpp, out + 1);
      above.swap(current);
    }
    const std::size_t keep = std::min(dictionary_bytes, piece->filtered.size());
    tail.assign(piece->filtered.end() - static_cast<std::ptrdiff_t>(keep), piece->filtered.end());
    piece->last = end == img.height;
    std::unique_lock<std::mutex> held(lock);
    pieces.push_back(std::move(piece));
    changed.notify_all();
    // The helper takes pieces as they come; when it is two behind, this
    // thread deflates one too.
    while (std::count_if(pieces.begin(), pieces.end(), [](const auto& p) { return !p->taken; }) >= 2)
      take(held);
    if (!send_done(held)) return false;
  }
  std::unique_lock<std::mutex> held(lock);
  while (take(held)) {
  }
  for (;;) {
    if (!send_done(held)) return false;
    if (pieces.empty()) break;
    changed.wait(held);
  }
  held.unlock();
  static constexpr std::uint8_t iend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82};
  if (!send_to_sink(sink, iend, sizeof iend)) {
    *why = "the output would not take the data";
    return false;
  }
  return true;
}

std::uint32_t big_endian_32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

bool is_letter(std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Walks the chunk list from the signature to IEND, reading only each
// chunk's length and type: every chunk must fit in the bytes left (data and
// CRC), no length may pass PNG's 2^31 - 1, and an ancillary chunk (lower-case
// first letter) may not pass max_ancillary_chunk even in a file that large.
// Bytes after IEND are not looked at.
bool check_chunks(const std::uint8_t* data, std::size_t size, std::string* err) {
  std::size_t at = 8;
  for (;;) {
    const std::size_t left = size - at;
    if (left == 0) {
      *err = "png: the file ends without an IEND chunk";
      return false;
    }
    if (left < 8) {
      *err =
          "png: the file ends inside a chunk header, " + std::to_string(left) + " bytes after the last chunk";
      return false;
    }
    const std::uint32_t length = big_endian_32(data + at);
    const std::uint8_t* type = data + at + 4;
    if (!std::all_of(type, type + 4, is_letter)) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%08x", static_cast<unsigned>(big_endian_32(type)));
      *err = "png: the chunk at byte " + std::to_string(at) + " has type " + hex + ", not four letters";
      return false;
    }
    const std::string name(type, type + 4);
    if (length > PNG_UINT_31_MAX) {
      *err = "png: chunk " + name + " claims " + std::to_string(length) + " bytes, more than PNG allows (" +
             std::to_string(PNG_UINT_31_MAX) + ")";
      return false;
    }
    if (static_cast<std::size_t>(length) + 12 > left) {  // its header, data and CRC
      *err = "png: chunk " + name + " claims " + std::to_string(length) + " bytes, more than the " +
             std::to_string(left < 12 ? 0 : left - 12) + " left in the file";
      return false;
    }
    if ((type[0] & 0x20) != 0 && length > max_ancillary_chunk) {
      *err = "png: ancillary chunk " + name + " claims " + std::to_string(length) + " bytes, more than the " +
             std::to_string(max_ancillary_chunk) + " this reader takes";
      return false;
    }
    if (name == "IEND") return true;
    at += 12 + static_cast<std::size_t>(length);
  }
}

struct png_failure {
  char message[256];
};

void on_error(png_structp png, png_const_charp message) {
  auto* failure = static_cast<png_failure*>(png_get_error_ptr(png));
  std::snprintf(failure->message, sizeof failure->message, "%s", message);
  png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

struct png_reader {
  png_structp png = nullptr;
  png_infop info = nullptr;
  png_infop end = nullptr;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t at = 0;
  png_failure failure{};
  ~png_reader() { png_destroy_read_struct(&png, &info, &end); }
};

void read_bytes(png_structp png, png_bytep out, png_size_t count) {
  auto* r = static_cast<png_reader*>(png_get_io_ptr(png));
  if (r->size - r->at < count) png_error(png, "file ends early");
  std::memcpy(out, r->data + r->at, count);
  r->at += count;
}

// Reads the signature and every chunk up to the first IDAT.
bool read_header(png_reader* r) {
  if (setjmp(png_jmpbuf(r->png))) return false;
  r->info = png_create_info_struct(r->png);
  r->end = png_create_info_struct(r->png);
  if (r->info == nullptr || r->end == nullptr) png_error(r->png, "out of memory");
  png_set_read_fn(r->png, r, read_bytes);
  png_set_crc_action(r->png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);
  png_set_user_limits(r->png, max_side, max_side);
  png_set_chunk_malloc_max(r->png, max_chunk_bytes);
  png_set_chunk_cache_max(r->png, max_cached_chunks);
  png_set_keep_unknown_chunks(r->png, PNG_HANDLE_CHUNK_NEVER, ignored_chunks,
                              static_cast<int>(sizeof ignored_chunks / 5));
  png_read_info(r->png, r->info);
  return true;
}

// Decodes every row into `rows` (already sized for `row_bytes`) and reads
// the chunks after the image, checking their CRCs. `done(n)` hears of rows
// decoded as they come, when they come one after another (not interlaced).
template <class Done>
bool read_rows(png_reader* r, bool grey_palette, png_bytepp rows, std::size_t row_bytes, const Done& done) {
  if (setjmp(png_jmpbuf(r->png))) return false;
  if (grey_palette)
    png_set_packing(r->png);  // one index per byte, looked up by the caller
  else
    png_set_expand(r->png);
  if (little_endian && png_get_bit_depth(r->png, r->info) == 16) png_set_swap(r->png);
  png_set_interlace_handling(r->png);
  png_read_update_info(r->png, r->info);
  if (png_get_rowbytes(r->png, r->info) != row_bytes) png_error(r->png, "unexpected row layout");
  const png_uint_32 height = png_get_image_height(r->png, r->info);
  if (png_get_interlace_type(r->png, r->info) != PNG_INTERLACE_NONE) {
    png_read_image(r->png, rows);
  } else {
    // Told in bands: each call may wake a reader on another core.
    constexpr png_uint_32 band = 16;
    for (png_uint_32 y = 0; y < height; ++y) {
      png_read_row(r->png, rows[y], nullptr);
      if ((y + 1) % band == 0) done(static_cast<std::int32_t>(y + 1));
    }
  }
  png_read_end(r->png, r->end);
  return true;
}

bool start_reading(png_reader* r, const std::uint8_t* data, std::size_t size, std::string* err) {
  if (!png_is(data, size)) {
    *err = "not a png file";
    return false;
  }
  if (!check_chunks(data, size, err)) return false;
  r->data = data;
  r->size = size;
  r->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &r->failure, on_error, on_warning);
  if (r->png == nullptr) {
    *err = "png: out of memory";
    return false;
  }
  if (!read_header(r)) {
    *err = std::string("png: ") + r->failure.message;
    return false;
  }
  return true;
}

// A palette whose entries are all grey, so the image can be read as grey.
bool palette_is_grey(png_structp png, png_infop info) {
  png_colorp palette = nullptr;
  int count = 0;
  if (png_get_PLTE(png, info, &palette, &count) == 0) return false;
  for (int i = 0; i < count; ++i)
    if (palette[i].red != palette[i].green || palette[i].red != palette[i].blue) return false;
  return true;
}

int orientation_of(png_structp png, png_infop info) {
  png_uint_32 size = 0;
  png_bytep exif = nullptr;
  if (png_get_eXIf_1(png, info, &size, &exif) == 0 || exif == nullptr) return 0;
  return exif_orientation(exif, size);
}

// The layout reading will produce, from the header chunks. False when the
// file is too small for the size it claims.
bool describe(const png_reader& r, image_info* info, bool* grey_palette, std::string* err) {
  const std::uint32_t width = png_get_image_width(r.png, r.info);
  const std::uint32_t height = png_get_image_height(r.png, r.info);
  const int depth = png_get_bit_depth(r.png, r.info);
  const int colour = png_get_color_type(r.png, r.info);
  const bool transparency = png_get_valid(r.png, r.info, PNG_INFO_tRNS) != 0;
  const bool icc = png_get_valid(r.png, r.info, PNG_INFO_iCCP) != 0;
  const int stored_channels = png_get_channels(r.png, r.info);

  const std::uint64_t packed_bytes =
      (static_cast<std::uint64_t>(width) * height * stored_channels * depth + 7) / 8;
  if (packed_bytes / max_inflation > r.size) {
    *err = "png: header claims " + std::to_string(width) + "x" + std::to_string(height) +
           " pixels, more than a " + std::to_string(r.size) + "-byte file can hold";
    return false;
  }
  *grey_palette = colour == PNG_COLOR_TYPE_PALETTE && !transparency && !icc && palette_is_grey(r.png, r.info);
  int channels = 0;
  switch (colour) {
    case PNG_COLOR_TYPE_GRAY:
      channels = transparency ? 2 : 1;
      break;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      channels = 2;
      break;
    case PNG_COLOR_TYPE_RGB:
      channels = transparency ? 4 : 3;
      break;
    case PNG_COLOR_TYPE_RGB_ALPHA:
      channels = 4;
      break;
    case PNG_COLOR_TYPE_PALETTE:
      channels = *grey_palette ? 1 : transparency ? 4 : 3;
      break;
    default:
      *err = "png: unknown colour type " + std::to_string(colour);
      return false;
  }
  info->width = static_cast<std::int32_t>(width);
  info->height = static_cast<std::int32_t>(height);
  info->channels = channels;
  info->type = depth == 16 ? sample_type::u16 : sample_type::u8;
  const int orientation = orientation_of(r.png, r.info);
  info->orientation = orientation == 0 ? 1 : orientation;
  return true;
}

struct png_writer {
  png_structp png = nullptr;
  png_infop info = nullptr;
  const byte_sink* sink = nullptr;
  const encode_options* options = nullptr;
  png_failure failure{};
  // What libpng is handed while it writes: held here, not in the frames
  // libpng may longjmp through.
  std::vector<std::uint8_t> exif;
  std::vector<png_text> texts;
  // Set when write_file leaves the image data to write_pieces: with what,
  // and how many rows were asked for already.
  bool in_pieces = false;
  png_compression chosen{};
  std::int32_t ready = 0;
  ~png_writer() { png_destroy_write_struct(&png, &info); }
};

void write_bytes(png_structp png, png_bytep bytes, png_size_t count) {
  auto* w = static_cast<png_writer*>(png_get_io_ptr(png));
  if (!send_to_sink(*w->sink, bytes, count)) png_error(png, "the output would not take the data");
}

void flush_nothing(png_structp) {}

// The metadata's chunks, set before png_write_info so that all of them come
// before the image data. sRGB only where no ICC profile overrides it.
// Holds no object with a destructor: libpng may longjmp from here.
void write_metadata(png_writer* w, const image& img) {
  const metadata& meta = img.meta;
  w->exif = exif_for_output(img);
  if (!w->exif.empty())
    png_set_eXIf_1(w->png, w->info, static_cast<png_uint_32>(w->exif.size()), w->exif.data());
  std::vector<png_text>& texts = w->texts;
  const auto add = [&](const std::string& key, const std::string& value, bool utf8, bool compressed,
                       const std::string& language, const std::string& translated_key) {
    if (key.empty() || key.size() > 79) return;
    png_text t{};
    if (utf8) {  // libpng copies these too
      if (!language.empty()) t.lang = const_cast<png_charp>(language.c_str());
      if (!translated_key.empty()) t.lang_key = const_cast<png_charp>(translated_key.c_str());
    }
    t.compression = utf8 ? (compressed ? PNG_ITXT_COMPRESSION_zTXt : PNG_ITXT_COMPRESSION_NONE)
                         : (compressed ? PNG_TEXT_COMPRESSION_zTXt : PNG_TEXT_COMPRESSION_NONE);
    t.key = const_cast<png_charp>(key.c_str());  // libpng copies, never writes
    t.text = const_cast<png_charp>(value.c_str());
    if (utf8)
      t.itxt_length = value.size();
    else
      t.text_length = value.size();
    texts.push_back(t);
  };
  static const std::string xmp_key = "XML:com.adobe.xmp";
  static const std::string none;
  if (!meta.xmp.empty()) add(xmp_key, meta.xmp, true, false, none, none);
  for (const metadata::text& text : meta.texts)
    add(text.key, text.value, text.utf8, text.compressed, text.language, text.translated_key);
  if (!texts.empty()) png_set_text(w->png, w->info, texts.data(), static_cast<int>(texts.size()));
  double x = 0, y = 0;
  if (density_in(meta, 2, &x, &y))
    png_set_pHYs(w->png, w->info, static_cast<png_uint_32>(std::lround(x * 100)),
                 static_cast<png_uint_32>(std::lround(y * 100)), PNG_RESOLUTION_METER);
  else if (meta.density_unit == 0 && meta.x_density >= 1 && meta.y_density >= 1)
    png_set_pHYs(w->png, w->info, static_cast<png_uint_32>(meta.x_density),
                 static_cast<png_uint_32>(meta.y_density), PNG_RESOLUTION_UNKNOWN);
  if (meta.gamma != 0) png_set_gAMA_fixed(w->png, w->info, static_cast<png_fixed_point>(meta.gamma));
  const std::uint32_t* c = meta.chroma;
  if (c[0] != 0) png_set_cHRM_fixed(w->png, w->info, c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]);
  if (meta.srgb_intent >= 0 && img.icc.empty()) png_set_sRGB(w->png, w->info, meta.srgb_intent);
}

// Writes the whole file. `scratch` holds one 16-bit row when float samples
// need converting.
bool write_file(png_writer* w, const image& img, std::uint8_t* scratch) {
  if (setjmp(png_jmpbuf(w->png))) return false;
  w->info = png_create_info_struct(w->png);
  if (w->info == nullptr) png_error(w->png, "out of memory");
  png_set_write_fn(w->png, w, write_bytes, flush_nothing);
  // A profile libpng finds malformed, or made for another colour model, is
  // left out rather than failing the image.
  png_set_benign_errors(w->png, 1);
  png_set_user_limits(w->png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  png_set_compression_level(w->png, write_level);
  png_set_compression_buffer_size(w->png, write_chunk);
  static constexpr int colour_types[] = {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                                         PNG_COLOR_TYPE_RGB_ALPHA};
  const int depth = stored_depth(img);
  png_set_IHDR(w->png, w->info, img.width, img.height, depth, colour_types[img.channels - 1],
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
  if (!img.icc.empty())
    png_set_iCCP(w->png, w->info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, img.icc.data(),
                 static_cast<png_uint_32>(img.icc.size()));
  write_metadata(w, img);
  const std::size_t row_size = static_cast<std::size_t>(img.width) * img.channels * (depth / 8);
  // The compression is chosen from rows down to three quarters of the way.
  const std::int32_t sampled = std::min(img.height, std::max(0, img.height * 3 / 4 - 8) + 16);
  if (!rows_ready(*w->options, sampled)) png_error(w->png, "the image was not finished");
  const png_compression chosen =
      choose_compression(img.height, row_size, static_cast<std::size_t>(img.channels) * (depth / 8),
                         [&](std::int32_t y, std::uint8_t* out) { stored_row(img, y, scratch, out); });
  png_set_filter(w->png, PNG_FILTER_TYPE_BASE,
                 chosen.filter == PNG_FILTER_VALUE_AVG ? PNG_FILTER_AVG : PNG_FILTER_PAETH);
  png_set_compression_strategy(w->png, chosen.strategy);
  png_write_info(w->png, w->info);
  if (row_size * static_cast<std::size_t>(img.height) >= least_bytes) {
    w->in_pieces = true;
    w->chosen = chosen;
    w->ready = sampled;
    return true;
  }
  if (little_endian && depth == 16) png_set_swap(w->png);
  for (std::int32_t y = 0; y < img.height; ++y) {
    if (y >= sampled && !rows_ready(*w->options, y + 1)) png_error(w->png, "the image was not finished");
    png_write_row(w->png, written_samples(img, y, scratch));
  }
  png_write_end(w->png, w->info);
  return true;
}

}  // namespace

bool png_is(const std::uint8_t* data, std::size_t size) { return size >= 8 && png_sig_cmp(data, 0, 8) == 0; }

bool png_info(const std::uint8_t* data, std::size_t size, image_info* info, std::string* err) {
  png_reader r;
  bool grey_palette = false;
  return start_reading(&r, data, size, err) && describe(r, info, &grey_palette, err);
}

bool png_decode(const std::uint8_t* data, std::size_t size, image* out, std::string* err) {
  return png_decode_rows(data, size, out, err, {});
}

bool png_decode_rows(const std::uint8_t* data, std::size_t size, image* out, std::string* err,
                     const decode_progress& progress) {
  png_reader r;
  bool grey_palette = false;
  image img;
  if (out->pixels.empty()) img.pixels.swap(out->pixels);  // its room is used again (codec.h)
  if (!start_reading(&r, data, size, err) || !describe(r, &img, &grey_palette, err)) return false;
  if (!img.allocate_for_overwrite()) {  // every row is decoded into it (interlaced: every pass)
    *err = "png: not enough memory for " + std::to_string(img.width) + "x" + std::to_string(img.height) +
           " pixels";
    return false;
  }
  told_rows told{progress};
  std::vector<png_bytep> rows;
  try {
    rows.resize(img.height);
  } catch (const std::bad_alloc&) {
    *err = "png: out of memory";
    return false;
  }
  for (std::int32_t y = 0; y < img.height; ++y) rows[y] = img.row(y);
  // A grey palette's indices become samples only once all are read.
  const auto done = [&](std::int32_t rows_done) {
    if (progress && !grey_palette) progress(img.pixels.data(), rows_done);
  };
  if (!read_rows(&r, grey_palette, rows.data(), img.row_bytes(), done)) {
    *err = std::string("png: ") + r.failure.message;
    return false;
  }
  if (grey_palette) {
    png_colorp palette = nullptr;
    int count = 0;
    png_get_PLTE(r.png, r.info, &palette, &count);
    std::uint8_t grey[256] = {};  // an index past the palette reads as black
    for (int i = 0; i < count && i < 256; ++i) grey[i] = palette[i].red;
    for (std::uint8_t& sample : img.pixels) sample = grey[sample];
  }
  png_charp name = nullptr;
  int compression = 0;
  png_bytep profile = nullptr;
  png_uint_32 profile_size = 0;
  if (png_get_iCCP(r.png, r.info, &name, &compression, &profile, &profile_size) != 0 && profile != nullptr)
    img.icc.assign(profile, profile + profile_size);
  // An eXIf chunk after the image data is seen only now.
  if (img.orientation == 1) {
    const int late = orientation_of(r.png, r.end);
    if (late != 0) img.orientation = late;
  }
  if (progress) progress(img.pixels.data(), img.height);
  told.kept = true;
  *out = std::move(img);
  return true;
}

bool png_encode(const image& img, const encode_options& options, const byte_sink& sink, std::string* err) {
  if (!check_encodable(img, err)) return false;
  if (img.icc.size() > std::numeric_limits<png_uint_32>::max()) {
    *err = "png: ICC profile too large";
    return false;
  }
  std::vector<std::uint8_t> scratch;
  if (is_float(img.type)) {
    try {
      scratch.resize(static_cast<std::size_t>(img.width) * img.channels * 2);
    } catch (const std::bad_alloc&) {
      *err = "png: out of memory";
      return false;
    }
  }
  png_writer w;
  w.sink = &sink;
  w.options = &options;
  w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &w.failure, on_error, on_warning);
  if (w.png == nullptr) {
    *err = "png: out of memory";
    return false;
  }
  if (!write_file(&w, img, scratch.data())) {
    *err = std::string("png: ") + w.failure.message;
    return false;
  }
  if (!w.in_pieces) return true;
  std::string why;
  bool written = false;
  try {
    written = write_pieces(img, options, sink, w.chosen, w.ready, scratch.data(), &why);
  } catch (const std::bad_alloc&) {
    why = "out of memory";
  }
  if (!written) *err = "png: " + why;
  return written;
}

}  // namespace pellimor::codecs
