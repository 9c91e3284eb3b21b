// SPDX-License-Identifier: MIT
// metadata.cc - what a file holds beside its pixels, read from its bytes.
//
// JPEG markers and PNG chunks are walked here, apart from the pixel
// decoders: a segment that does not fit the bytes left ends the walk, and
// what was found before it is kept. Nothing here refuses a file; the pixel
// decoders do that. TIFF tags come through libtiff (tiff_codec.cc), WebP
// chunks through libwebp's demuxer (webp_codec.cc).
//
// Square pixels of no stated size (JFIF's default, pHYs 1:1 without a
// unit) say nothing, and are read as no density at all.
//
// A JPEG's extended XMP is put together from its pieces only for the name
// (MD5) the standard packet gives, and kept only whole and of that MD5.
//
// Every piece is bounded, so a hostile file costs little: EXIF at most
// max_exif_bytes, XMP (and extended XMP) max_xmp_bytes, all text together max_text_bytes in at
// most max_texts entries; a compressed text is inflated no further than
// what is left of that.
#include <md5.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

#include "codec/formats.h"

namespace pellimor::codecs {
namespace {

constexpr char xmp_keyword[] = "XML:com.adobe.xmp";

std::uint32_t be16(const std::uint8_t* p) { return static_cast<std::uint32_t>(p[0]) << 8 | p[1]; }
std::uint32_t be32(const std::uint8_t* p) { return be16(p) << 16 | be16(p + 2); }

// Whether `text` holds bytes past ASCII that form valid UTF-8.
bool is_utf8_beyond_ascii(const std::string& text) {
  bool beyond = false;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<std::uint8_t>(text[i]);
    const int more = c < 0x80 ? 0 : (c & 0xe0) == 0xc0 ? 1 : (c & 0xf0) == 0xe0 ? 2 : (c & 0xf8) == 0xf0 ? 3 : -1;
    if (more < 0 || text.size() - i <= static_cast<std::size_t>(more)) return false;
    for (int k = 1; k <= more; ++k)
      if ((static_cast<std::uint8_t>(text[i + k]) & 0xc0) != 0x80) return false;
    beyond |= more > 0;
    i += 1 + more;
  }
  return beyond;
}

// Keeps texts within the bounds; false once they are reached.
bool add_text(metadata* meta, std::size_t* budget, metadata::text text) {
  const std::size_t cost = text.key.size() + text.value.size() + text.language.size() + text.translated_key.size();
  if (meta->texts.size() >= max_texts || cost > *budget) return false;
  *budget -= cost;
  meta->texts.push_back(std::move(text));
  return true;
}

// A zlib stream inflated to at most `most` bytes. False when it is broken
// or inflates to more.
bool inflate_bounded(const std::uint8_t* data, std::size_t size, std::size_t most, std::string* out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(std::min<std::size_t>(size, UINT32_MAX));
  std::string result;
  char buffer[16384];
  int status = Z_OK;
  while (status == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    status = inflate(&z, Z_NO_FLUSH);
    const std::size_t got = sizeof buffer - z.avail_out;
    if (result.size() + got > most) status = Z_MEM_ERROR;
    else result.append(buffer, got);
    if (status == Z_BUF_ERROR && got == 0) break;
    if (status == Z_BUF_ERROR) status = Z_OK;
  }
  inflateEnd(&z);
  if (status != Z_STREAM_END) return false;
  *out = std::move(result);
  return true;
}

// The bytes of a PNG text chunk from `at` up to the next NUL; false when
// there is none.
bool take_until_nul(const std::uint8_t* p, std::size_t n, std::size_t* at, std::string* out) {
  const void* nul = std::memchr(p + *at, 0, n - *at);
  if (nul == nullptr) return false;
  const std::size_t end = static_cast<const std::uint8_t*>(nul) - p;
  out->assign(reinterpret_cast<const char*>(p + *at), end - *at);
  *at = end + 1;
  return true;
}

void png_text_chunk(const std::string& type, const std::uint8_t* p, std::size_t n, metadata* meta,
                    std::size_t* budget) {
  metadata::text text;
  std::size_t at = 0;
  if (!take_until_nul(p, n, &at, &text.key) || text.key.empty() || text.key.size() > 79) return;
  const auto rest = [&] { return std::string(reinterpret_cast<const char*>(p + at), n - at); };
  if (type == "tEXt") {
    text.value = rest();
  } else if (type == "zTXt") {
    if (at >= n || p[at] != 0) return;
    ++at;
    text.compressed = true;
    if (!inflate_bounded(p + at, n - at, *budget, &text.value)) return;
  } else {  // iTXt: flag, method, language, translated keyword, text
    if (n - at < 2 || p[at + 1] != 0) return;
    text.compressed = p[at] != 0;
    text.utf8 = true;
    at += 2;
    if (!take_until_nul(p, n, &at, &text.language) || !take_until_nul(p, n, &at, &text.translated_key)) return;
    if (text.compressed) {
      if (!inflate_bounded(p + at, n - at, std::max(*budget, max_xmp_bytes), &text.value)) return;
    } else {
      text.value = rest();
    }
    if (text.key == xmp_keyword) {
      if (meta->xmp.empty() && text.value.size() <= max_xmp_bytes) meta->xmp = std::move(text.value);
      return;
    }
  }
  add_text(meta, budget, std::move(text));
}

void png_metadata(const std::uint8_t* data, std::size_t size, metadata* meta) {
  std::size_t budget = max_text_bytes;
  for (std::size_t at = 8; size - at >= 12;) {
    const std::uint32_t length = be32(data + at);
    if (length > size - at - 12) return;
    const std::string type(reinterpret_cast<const char*>(data + at + 4), 4);
    const std::uint8_t* p = data + at + 8;
    if (type == "IEND") return;
    if (type == "tEXt" || type == "zTXt" || type == "iTXt") {
      png_text_chunk(type, p, length, meta, &budget);
    } else if (type == "eXIf") {
      if (meta->exif.empty() && length >= 8 && length <= max_exif_bytes) meta->exif.assign(p, p + length);
    } else if (type == "pHYs" && length == 9 && p[8] <= 1 && be32(p) != 0 && be32(p + 4) != 0 &&
               !(p[8] == 0 && be32(p) == be32(p + 4))) {
      // Per metre in the file: per centimetre here, so that the density
      // itself, not some rounding of it, goes to formats that count in
      // centimetres.
      meta->density_unit = p[8] == 1 ? 2 : 0;
      meta->x_density = be32(p) / (p[8] == 1 ? 100.0 : 1.0);
      meta->y_density = be32(p + 4) / (p[8] == 1 ? 100.0 : 1.0);
    } else if (type == "gAMA" && length == 4) {
      meta->gamma = be32(p);
    } else if (type == "cHRM" && length == 32) {
      for (int i = 0; i < 8; ++i) meta->chroma[i] = be32(p + 4 * i);
    } else if (type == "sRGB" && length == 1 && p[0] <= 3) {
      meta->srgb_intent = p[0];
    }
    at += 12 + static_cast<std::size_t>(length);
  }
}

// The GUID a standard XMP packet's xmpNote:HasExtendedXMP gives, as an
// attribute or an element; empty when none.
std::string named_extension(const std::string& xmp) {
  const std::size_t at = xmp.find("HasExtendedXMP");
  if (at == std::string::npos) return "";
  std::size_t from = at + 14;
  while (from < xmp.size() && (xmp[from] == '=' || xmp[from] == '"' || xmp[from] == '\'' || xmp[from] == '>' ||
                               xmp[from] == ' '))
    ++from;
  if (xmp.size() - from < 32) return "";
  const std::string guid = xmp.substr(from, 32);
  for (const char c : guid)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return "";
  return guid;
}

struct xmp_piece {
  std::uint32_t offset;
  const std::uint8_t* bytes;
  std::size_t size;
};

// The extended packet the standard one names, from its pieces: whole (the
// pieces, in any order, cover its length once each), at most max_xmp_bytes,
// and of the MD5 it is named by. Empty otherwise.
std::string extended_packet(const std::string& guid, std::uint32_t length, std::vector<xmp_piece> pieces) {
  if (guid.empty() || length == 0 || length > max_xmp_bytes || pieces.empty()) return "";
  std::sort(pieces.begin(), pieces.end(), [](const xmp_piece& a, const xmp_piece& b) { return a.offset < b.offset; });
  std::string packet;
  for (const xmp_piece& p : pieces) {
    if (p.offset != packet.size() || p.size > length - packet.size()) return "";
    packet.append(reinterpret_cast<const char*>(p.bytes), p.size);
  }
  if (packet.size() != length) return "";
  std::string upper = guid;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return extended_xmp_guid(packet) == upper ? packet : "";
}

void jpeg_metadata(const std::uint8_t* data, std::size_t size, metadata* meta) {
  static constexpr char exif_name[6] = {'E', 'x', 'i', 'f', 0, 0};
  static constexpr char xmp_name[] = "http://ns.adobe.com/xap/1.0/";  // with its NUL
  std::size_t budget = max_text_bytes;
  bool jfif_density = false;
  // Extended XMP pieces by GUID, with the length they claim; the file's
  // bytes are not copied until the one the standard packet names is known.
  std::vector<std::pair<std::string, std::uint32_t>> extensions;
  std::vector<std::vector<xmp_piece>> pieces;
  for (std::size_t at = 2; at < size && data[at] == 0xff;) {
    while (at < size && data[at] == 0xff) ++at;
    if (at >= size) break;
    const std::uint8_t code = data[at++];
    if (code == 0xd8 || code == 0x01 || (code >= 0xd0 && code <= 0xd7)) continue;  // no length
    if (code == 0xda || code == 0xd9 || size - at < 2) break;  // the first scan: no metadata after it
    const std::size_t length = be16(data + at);
    if (length < 2 || length > size - at) break;
    const std::uint8_t* p = data + at + 2;
    const std::size_t n = length - 2;
    if (code == 0xe0 && n >= 12 && std::memcmp(p, "JFIF", 5) == 0 && p[7] <= 2 && be16(p + 8) != 0 &&
        be16(p + 10) != 0 && !(p[7] == 0 && be16(p + 8) == be16(p + 10))) {
      jfif_density = true;
      meta->density_unit = p[7];
      meta->x_density = be16(p + 8);
      meta->y_density = be16(p + 10);
    } else if (code == 0xe1 && n > sizeof exif_name + 8 && std::memcmp(p, exif_name, sizeof exif_name) == 0) {
      if (meta->exif.empty()) meta->exif.assign(p + sizeof exif_name, p + n);
    } else if (code == 0xe1 && n > sizeof xmp_name && std::memcmp(p, xmp_name, sizeof xmp_name) == 0) {
      if (meta->xmp.empty()) meta->xmp.assign(reinterpret_cast<const char*>(p) + sizeof xmp_name, n - sizeof xmp_name);
    } else if (code == 0xe1 && n > extended_xmp_header &&
               std::memcmp(p, extended_xmp_name, sizeof extended_xmp_name) == 0) {
      const std::string guid(reinterpret_cast<const char*>(p) + sizeof extended_xmp_name, 32);
      const std::uint32_t length = be32(p + sizeof extended_xmp_name + 32);
      std::size_t k = 0;
      while (k < extensions.size() && extensions[k].first != guid) ++k;
      if (k == extensions.size() && k < 16) {  // a few names at most
        extensions.emplace_back(guid, length);
        pieces.emplace_back();
      }
      if (k < extensions.size() && extensions[k].second == length)
        pieces[k].push_back({be32(p + sizeof extended_xmp_name + 36), p + extended_xmp_header,
                             n - extended_xmp_header});
    } else if (code == 0xfe) {
      metadata::text text{"Comment", std::string(reinterpret_cast<const char*>(p), n)};
      // A comment's character set is not recorded; valid UTF-8 is taken
      // as such, anything else as Latin-1.
      text.utf8 = is_utf8_beyond_ascii(text.value);
      add_text(meta, &budget, std::move(text));
    }
    at += length;
  }
  const std::string named = named_extension(meta->xmp);
  for (std::size_t k = 0; k < extensions.size() && !named.empty(); ++k) {
    if (extensions[k].first != named) continue;
    std::string packet = extended_packet(named, extensions[k].second, std::move(pieces[k]));
    if (packet.empty()) break;
    if (meta->xmp == extended_xmp_pointer(named)) meta->xmp = std::move(packet);
    else meta->xmp_extended = std::move(packet);
    break;
  }
  // A file written without JFIF gives its density in EXIF alone.
  if (!jfif_density && !meta->exif.empty()) exif_resolution(meta->exif, meta);
}

}  // namespace

std::string extended_xmp_guid(const std::string& packet) {
  std::uint8_t digest[MD5_DIGEST_LENGTH];
  MD5_CTX md5;
  MD5Init(&md5);
  MD5Update(&md5, reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size());
  MD5Final(digest, &md5);
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string guid;
  for (const std::uint8_t b : digest) {
    guid += hex[b >> 4];
    guid += hex[b & 15];
  }
  return guid;
}

std::string extended_xmp_pointer(const std::string& guid) {
  return "<?xpacket begin=\"\xef\xbb\xbf\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>"
         "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
         "<rdf:Description rdf:about=\"\" xmlns:xmpNote=\"http://ns.adobe.com/xmp/note/\" xmpNote:HasExtendedXMP=\"" +
         guid + "\"/></rdf:RDF></x:xmpmeta><?xpacket end=\"w\"?>";
}

void turn_metadata(metadata* meta, int orientation) {
  if (orientation >= 5 && orientation <= 8) std::swap(meta->x_density, meta->y_density);
}

bool density_in(const metadata& meta, int unit, double* x, double* y) {
  if (meta.density_unit <= 0 || !(meta.x_density > 0) || !(meta.y_density > 0)) return false;
  const double scale = unit == meta.density_unit ? 1.0 : unit == 1 ? 2.54 : 1 / 2.54;
  *x = meta.x_density * scale;
  *y = meta.y_density * scale;
  return true;
}

}  // namespace pellimor::codecs

namespace pellimor {

void read_metadata(const std::uint8_t* data, std::size_t size, image_format format, metadata* out) {
  *out = {};
  switch (format) {
    case image_format::png:
      if (codecs::png_is(data, size)) codecs::png_metadata(data, size, out);
      break;
    case image_format::jpeg:
      if (codecs::jpeg_is(data, size)) codecs::jpeg_metadata(data, size, out);
      break;
    case image_format::tiff:
      if (codecs::tiff_is(data, size)) codecs::tiff_metadata(data, size, out);
      break;
    case image_format::webp:  // its ICC profile comes with the pixels
      if (codecs::webp_is(data, size)) codecs::webp_metadata(data, size, out);
      break;
    case image_format::bmp:
    case image_format::gif:
      break;
  }
}

void strip_metadata(image* img, strip_mode mode) {
  if (mode == strip_mode::none) return;
  img->meta = {};
  if (mode == strip_mode::all) img->icc.clear();
}

}  // namespace pellimor
