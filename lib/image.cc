// SPDX-License-Identifier: MIT
// image.cc - the image model's few functions.
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

bool image::allocate() {
  if (width < 0 || height < 0 || channels < 0 || pixel_bytes() > SIZE_MAX / 2) return false;
  try {
    pixels.clear();
    resize_on_huge_pages(&pixels, static_cast<std::size_t>(pixel_bytes()));
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}

}  // namespace pellimor
