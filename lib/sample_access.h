// SPDX-License-Identifier: MIT
// sample_access.h - samples of any type read and written at any address,
// and alpha taken back out of resized colour: the rules the image resize
// and the array resize share, so that both give the same bytes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "dct/sample_rules.h"
#include "pellimor/pellimor.h"

namespace pellimor::detail {

template <class T>
T load(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);  // the caller's samples need not be aligned
  return v;
}

// A value in destination units stored as T: integers by the shared
// quantising rule, floats as they are.
template <class T, rounding mode>
void store(double value, std::uint8_t* p) {
  T v;
  if constexpr (std::is_floating_point_v<T>) {
    v = static_cast<T>(value);
  } else {
    v = static_cast<T>(quantise_value(value, static_cast<double>(std::numeric_limits<T>::max()), mode));
  }
  std::memcpy(p, &v, sizeof v);
}

// Calls f(T{}) for the C++ type of `type`.
template <class F>
void with_type(sample_type type, const F& f) {
  switch (type) {
    case sample_type::u8:
      return f(std::uint8_t{});
    case sample_type::u16:
      return f(std::uint16_t{});
    case sample_type::f32:
      return f(float{});
    case sample_type::f64:
      return f(double{});
  }
}

// The least alpha, in destination units, that is not stored as 0.
template <class T, rounding mode>
constexpr double visible_alpha() {
  return std::is_floating_point_v<T> ? 0.0 : mode == rounding::nearest ? 0.5 : 1.0;
}

// Premultiplied colour v (source units) divided by the alpha resized with
// it. Where nothing is left visible (the alpha stored is 0), the colour is
// 0, not the noise of dividing by almost nothing.
inline double unpremultiplied(double v, double resized_alpha, double source_full, double to_destination,
                              double visible) {
  const double a = std::min(resized_alpha, source_full);
  return a > 0.0 && a * to_destination >= visible ? v * (source_full / a) : 0.0;
}

}  // namespace pellimor::detail
