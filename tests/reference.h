// SPDX-License-Identifier: MIT
// reference.h - an independent evaluation of the resize, for the tests.
//
// Computes the pre-quantisation values in long double straight from the
// definition: the 2-D DCT-II of the source with the zero-frequency terms
// halved, the coefficients both sizes share, the 2-D DCT-III at the new
// size, times 4 / (width * height). Cosine arguments are reduced with
// integer arithmetic first, so the reference is far more accurate than the
// double-precision engines it checks.
#pragma once

#include <cmath>
#include <cstdint>
#include <set>
#include <vector>

#include "core/plane.h"

namespace reference {

// cos(pi * numerator / (2 * n)), with the angle reduced exactly.
inline long double cos_half_pi(std::int64_t numerator, std::int64_t n) {
  const std::int64_t period = 4 * n;
  numerator %= period;
  return std::cos(std::acos(-1.0L) * numerator / (2.0L * n));
}

// sinc(k / kept)^power, the taper's weight.
inline long double taper_weight(std::int32_t k, std::int32_t kept, double power) {
  if (k == 0 || power == 0) return 1;
  const long double t = std::acos(-1.0L) * k / kept;
  return std::pow(std::sin(t) / t, static_cast<long double>(power));
}

// Pre-quantisation values e(x, y) of resizing the w x h column-major
// `samples` to new_width x new_height, column-major, each kept coefficient
// weighed by the taper.
template <class Sample>
std::vector<long double> resize_values(const std::vector<Sample>& samples, std::int32_t w, std::int32_t h,
                                       std::int32_t new_width, std::int32_t new_height, double taper = 0) {
  const std::int32_t kw = std::min(w, new_width), kh = std::min(h, new_height);
  // Forward along x: a(u, y) for u < kw.
  std::vector<long double> a(static_cast<std::size_t>(kw) * h), c(static_cast<std::size_t>(kw) * kh);
  for (std::int32_t u = 0; u < kw; ++u)
    for (std::int32_t y = 0; y < h; ++y) {
      long double sum = 0;
      for (std::int32_t x = 0; x < w; ++x)
        sum += samples[plane_index(x, y, h)] * cos_half_pi(std::int64_t{u} * (2 * x + 1), w);
      a[plane_index(u, y, h)] = u == 0 ? sum / 2 : sum;
    }
  for (std::int32_t u = 0; u < kw; ++u)
    for (std::int32_t v = 0; v < kh; ++v) {
      long double sum = 0;
      for (std::int32_t y = 0; y < h; ++y)
        sum += a[plane_index(u, y, h)] * cos_half_pi(std::int64_t{v} * (2 * y + 1), h);
      c[plane_index(u, v, kh)] = (v == 0 ? sum / 2 : sum) * taper_weight(u, kw, taper) * taper_weight(v, kh, taper);
    }
  // Inverse along y, then along x, at the new size.
  std::vector<long double> d(static_cast<std::size_t>(kw) * new_height);
  for (std::int32_t u = 0; u < kw; ++u)
    for (std::int32_t y = 0; y < new_height; ++y) {
      long double sum = 0;
      for (std::int32_t v = 0; v < kh; ++v)
        sum += c[plane_index(u, v, kh)] * cos_half_pi(std::int64_t{2 * y + 1} * v, new_height);
      d[plane_index(u, y, new_height)] = sum;
    }
  std::vector<long double> e(static_cast<std::size_t>(new_width) * new_height);
  const long double scale = 4.0L / (static_cast<long double>(w) * h);
  for (std::int32_t x = 0; x < new_width; ++x)
    for (std::int32_t y = 0; y < new_height; ++y) {
      long double sum = 0;
      for (std::int32_t u = 0; u < kw; ++u)
        sum += d[plane_index(u, y, new_height)] * cos_half_pi(std::int64_t{2 * x + 1} * u, new_width);
      e[plane_index(x, y, new_height)] = sum * scale;
    }
  return e;
}

inline std::vector<long double> resize_values(const channel_plane& source, std::int32_t new_width,
                                              std::int32_t new_height) {
  return resize_values(source.samples, source.width, source.height, new_width, new_height);
}

inline int quantise(long double e) {
  if (e >= 255) return 255;
  if (e > 0) return static_cast<int>(e);
  return 0;
}

// The bytes an exact engine may give for the value e: its quantisation, or
// a neighbour when e lies within 1e-9 of an integer.
inline std::set<int> acceptable_bytes(long double e) {
  return {quantise(e - 1e-9L), quantise(e), quantise(e + 1e-9L)};
}

}  // namespace reference
