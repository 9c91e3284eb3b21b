// SPDX-License-Identifier: MIT
// exif_block.h - an EXIF block as libexif holds it, for the code that edits
// or builds one (exif.cc, tiff_exif.cc).
#pragma once

#include <libexif/exif-data.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace pellimor::codecs {

struct exif_unref {
  void operator()(ExifData* d) const { exif_data_unref(d); }
};
using exif_handle = std::unique_ptr<ExifData, exif_unref>;

// The block as libexif holds it, every tag kept as it is (libexif would
// otherwise drop tags it does not know and add ones the standard asks
// for). Null when it holds nothing libexif can read, or an empty first
// directory.
exif_handle load_exif(const std::vector<std::uint8_t>& block);

// The block libexif lays out for `d`, without JPEG's "Exif\0\0" in front.
// Empty when libexif cannot.
std::vector<std::uint8_t> save_exif(ExifData* d);

// The fraction of smallest terms within `tolerance` (relative) of `v` >= 0,
// its terms at most `most` (continued fractions): 12.34 gives 617/50.
void nearest_fraction(double v, double tolerance, double most, double* numerator, double* denominator);

// A new entry of `components` values of `format` in `ifd`, owned by it;
// null when the memory cannot be had.
ExifEntry* add_exif_entry(ExifData* d, ExifIfd ifd, ExifTag tag, ExifFormat format, unsigned components);

}  // namespace pellimor::codecs
