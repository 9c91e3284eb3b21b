// SPDX-License-Identifier: MIT
// sample_rules.h - the rules every engine shares: which coefficients are
// kept, how inverse-transform values are scaled back, how the taper weighs a
// coefficient, and how a value becomes an integer sample.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "pellimor/pellimor.h"

namespace pellimor::detail {

// Coefficients kept along an axis of n samples resized to new_n: the lowest
// min(n, new_n); the rest are cut, or the new ones are zero.
inline std::int32_t kept_count(std::int32_t n, std::int32_t new_n) { return std::min(n, new_n); }

// The factor that turns an inverse-transform value of a width x height
// source into a sample value: 4 / (width * height), which undoes the
// (width/2) * (height/2) gain of a forward and inverse pass on each axis.
inline double value_scale(std::int64_t width, std::int64_t height) {
  return 4.0 / (static_cast<double>(width) * static_cast<double>(height));
}

// Lanczos' sigma factor for coefficient k of the `kept` an axis keeps:
// sinc(k / kept)^power, sinc(t) = sin(pi t) / (pi t). 1 for k = 0 or power 0.
inline double taper_factor(std::int32_t k, std::int32_t kept, double power) {
  if (k == 0 || power == 0.0) return 1.0;
  const double t = std::acos(-1.0) * k / kept;
  return std::pow(std::sin(t) / t, power);
}

// A value as an integer sample from 0 to `top`: saturated at both ends and
// truncated toward zero, or rounded half up. NaN gives 0. Branch-free, so
// loops over rows vectorise.
inline double quantise_value(double e, double top, pellimor::rounding mode) {
  e = std::min(top, std::max(0.0, e));  // max(0, NaN) is 0
  if (mode == pellimor::rounding::nearest) {
    // Adding and taking away 2^52 rounds e (in [0, top], far below 2^52)
    // to the nearest integer, ties to even, exactly (unlike e + 0.5, which
    // takes 0.49999999999999994 up to 1); a tie rounded down is put up.
    // Adds and a compare only, so the loops vectorise.
    const double even = (e + 0x1p52) - 0x1p52;
    e = even + (e - even == 0.5 ? 1.0 : 0.0);
  }
  return e;
}

inline std::uint8_t quantise_byte(double e, pellimor::rounding mode = pellimor::rounding::trunc) {
  return static_cast<std::uint8_t>(quantise_value(e, 255.0, mode));
}

}  // namespace pellimor::detail
