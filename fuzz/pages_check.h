// SPDX-License-Identifier: MIT
// pages_check.h - the checks every fuzz target of a reader of several
// pictures (GIF, WebP) makes.
//
// Each input is a whole file. The header verdict must agree with the
// decoder's, for the first picture and for the last when there are several;
// a picture the decoder accepts must match what the header promised. A page
// past the count must be refused. Pictures over 64 MiB are only checked up
// to the header, as the program refuses what it cannot hold before decoding.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "codec/codec.h"

namespace fuzz {

// Aborts, naming the line, when `condition` does not hold.
inline void check_at(bool condition, int line) {
  if (condition) return;
  std::fprintf(stderr, "check failed at line %d\n", line);
  std::abort();
}
#define check(condition) fuzz::check_at(condition, __LINE__)

// A reader's functions for one format.
struct paged_reader {
  int (*pages)(const std::uint8_t*, std::size_t);
  bool (*info_page)(const std::uint8_t*, std::size_t, int, pellimor::image_info*, std::string*);
  bool (*decode_page)(const std::uint8_t*, std::size_t, int, pellimor::image*, std::string*);
};

// Page `page` (from 0): header and decoder agree. The decoded picture, or
// an empty one.
inline pellimor::image check_page(const paged_reader& reader, const std::uint8_t* data, std::size_t size,
                                  int page) {
  using namespace pellimor;
  constexpr std::uint64_t max_pixel_bytes = std::uint64_t{64} << 20;
  image_info info;
  std::string err;
  image img;
  if (!reader.info_page(data, size, page, &info, &err)) {
    check(!err.empty());
    check(!reader.decode_page(data, size, page, &img, &err));
    return {};
  }
  check(info.width > 0 && info.height > 0 && (info.channels == 3 || info.channels == 4));
  check(info.type == sample_type::u8 && info.orientation >= 1 && info.orientation <= 8);
  if (info.pixel_bytes() > max_pixel_bytes) return {};
  if (!reader.decode_page(data, size, page, &img, &err)) {
    check(!err.empty() && img.pixels.empty());
    return {};
  }
  check(img.width == info.width && img.height == info.height && img.channels == info.channels &&
        img.type == info.type && img.pixels.size() == img.pixel_bytes());
  return img;
}

// Every check above on the file's first and last pictures, and the page
// past the count refused. The first picture, or an empty one.
inline pellimor::image check_pages(const paged_reader& reader, const std::uint8_t* data, std::size_t size) {
  const int pages = reader.pages(data, size);
  check(pages >= 0);
  pellimor::image first = check_page(reader, data, size, 0);
  if (pages > 1) check_page(reader, data, size, pages - 1);
  pellimor::image none;
  std::string err;
  check(!reader.decode_page(data, size, pages, &none, &err) && !err.empty());
  return first;
}

}  // namespace fuzz
