// SPDX-License-Identifier: MIT
// metadata_fuzz.cc - libFuzzer target for what is read beside the pixels.
//
// Each input is read as a file of every format (each reader looks for its
// own signature first) and, as it is, as an EXIF block. What is kept must
// stay within the bounds, and reading again over a metadata record already
// filled must give the same record. Every EXIF block found, and the input
// itself, then goes through the editing done for output: the block written
// must be a TIFF header's start, and say either nothing of orientation or
// the orientation asked for.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "codec/formats.h"

namespace {

// Aborts, naming the line, when `condition` does not hold.
void check_at(bool condition, int line) {
  if (condition) return;
  std::fprintf(stderr, "check failed at line %d\n", line);
  std::abort();
}
#define check(condition) check_at(condition, __LINE__)

bool same(const pellimor::metadata& a, const pellimor::metadata& b) {
  if (a.exif != b.exif || a.xmp != b.xmp || a.texts.size() != b.texts.size() ||
      a.density_unit != b.density_unit || a.gamma != b.gamma || a.srgb_intent != b.srgb_intent ||
      std::memcmp(a.chroma, b.chroma, sizeof a.chroma) != 0)
    return false;
  // Densities compared as bits: a NaN must come out the same way twice.
  if (std::memcmp(&a.x_density, &b.x_density, sizeof a.x_density) != 0 ||
      std::memcmp(&a.y_density, &b.y_density, sizeof a.y_density) != 0)
    return false;
  for (std::size_t i = 0; i < a.texts.size(); ++i)
    if (a.texts[i].key != b.texts[i].key || a.texts[i].value != b.texts[i].value ||
        a.texts[i].utf8 != b.texts[i].utf8 || a.texts[i].compressed != b.texts[i].compressed)
      return false;
  return true;
}

void check_bounds(const pellimor::metadata& m) {
  using namespace pellimor::codecs;
  check(m.exif.size() <= max_exif_bytes);
  check(m.xmp.size() <= max_xmp_bytes);
  check(m.texts.size() <= max_texts);
  std::size_t text_bytes = 0;
  for (const pellimor::metadata::text& t : m.texts) text_bytes += t.key.size() + t.value.size();
  check(text_bytes <= max_text_bytes);
  if (m.density_unit > 0) check(m.x_density > 0 && m.y_density > 0);
}

// The block written for a 7 x 5 picture turned to `orientation`.
void check_edit(const std::vector<std::uint8_t>& exif, int orientation) {
  using namespace pellimor;
  image img;
  img.width = 7;
  img.height = 5;
  img.channels = 3;
  img.orientation = orientation;
  img.meta.exif = exif;
  const std::vector<std::uint8_t> out = codecs::exif_for_output(img);
  if (out.empty()) return;
  check(out.size() >= 8);
  check(std::memcmp(out.data(), "II*\0", 4) == 0 || std::memcmp(out.data(), "MM\0*", 4) == 0);
  const int written = codecs::exif_orientation(out.data(), out.size());
  check(written == 1 || written == orientation);
  metadata m;
  codecs::exif_resolution(out, &m);
  check_bounds(m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pellimor;
  const image_format formats[] = {image_format::png,  image_format::jpeg, image_format::tiff,
                                  image_format::webp, image_format::bmp,  image_format::gif};
  const int orientation = size > 0 ? 1 + data[size - 1] % 8 : 1;
  for (const image_format format : formats) {
    metadata first;
    read_metadata(data, size, format, &first);
    check_bounds(first);
    metadata again;
    again.exif = {1, 2, 3};
    again.xmp = "stale";
    again.texts.push_back({"stale", "stale"});
    again.density_unit = 1;
    read_metadata(data, size, format, &again);
    check(same(first, again));
    if (!first.exif.empty()) check_edit(first.exif, orientation);
  }
  if (size <= codecs::max_exif_bytes) {
    const std::vector<std::uint8_t> block(data, data + size);
    check_edit(block, orientation);
    metadata m;
    codecs::exif_resolution(block, &m);
    check_bounds(m);
  }
  return 0;
}
