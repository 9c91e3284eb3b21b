// SPDX-License-Identifier: MIT
// image.cc - the image model's few functions.
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <stdexcept>

#include "core/huge_pages.h"
#include "pellimor/image.h"

namespace pellimor {

const char* sample_type_name(sample_type type) {
  switch (type) {
    case sample_type::u8: return "uint8";
    case sample_type::u16: return "uint16";
    case sample_type::f32: return "float32";
    case sample_type::f64: return "float64";
  }
  return "?";
}

namespace {

bool size_is_sound(const image& img) {
  return img.width >= 0 && img.height >= 0 && img.channels >= 0 && img.pixel_bytes() <= SIZE_MAX / 2;
}

}  // namespace

bool image::allocate() {
  if (!size_is_sound(*this)) return false;
  try {
    pixels.clear();
    const std::size_t size = static_cast<std::size_t>(pixel_bytes());
    if (pixels.capacity() >= size) {  // room kept for it (a batch's last picture): its pages are there
      pixels.resize(size);
      return true;
    }
    reserve_on_huge_pages(&pixels, size);
    // The zeros are written a few megabytes at a time and each piece given
    // back at once: untouched pages read as zeros too, and a picture
    // resized band by band (and let go behind, pipeline.h) then takes
    // memory only as its rows are filled, never all at once.
    // Whole huge pages (core/huge_pages.h) go, so none is split.
    constexpr std::size_t page = std::size_t{2} << 20, piece = std::size_t{4} << 20;
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(pixels.data());
    std::uintptr_t given = (at + page - 1) & ~(page - 1);
    while (pixels.size() < size) {
      pixels.resize(std::min(size, pixels.size() + piece));
      if (size < piece) break;
      const std::uintptr_t end = (at + pixels.size()) & ~(page - 1);
      if (end > given) madvise(reinterpret_cast<void*>(given), end - given, MADV_DONTNEED);
      given = std::max(given, end);
    }
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}

bool image::allocate_for_overwrite() {
  if (!size_is_sound(*this)) return false;
  try {
    pixels.clear();
    const std::size_t size = static_cast<std::size_t>(pixel_bytes());
    reserve_on_huge_pages(&pixels, size);  // untouched until written
    resize_for_overwrite(&pixels, size);
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}

}  // namespace pellimor
