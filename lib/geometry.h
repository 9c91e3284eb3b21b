// SPDX-License-Identifier: MIT
// geometry.h - output sizes written as geometries: "800", "x600", "800x600",
// "800x600!", "800x600^", "800x600>", "800x600<", "50%", "50%x25%", "480000@".
//
// A geometry is parsed once from the command line and resolved against the
// picture's size as displayed (after any EXIF orientation is applied), so the
// caller passes the displayed width and height.
//
// Computed sizes round to the nearest integer, halves up, and are at least 1:
// 720x480 with "1531" gives 1531 x 1021 (480 * 1531 / 720 = 1020.67). All
// arithmetic is exact integer arithmetic; only "A@" takes a square root.
#pragma once

#include <cstdint>
#include <string>

namespace pellimor::detail {

enum class geometry_kind {
  width,   // "W" or "Wx": width W, height keeps the aspect
  height,  // "xH": height H, width keeps the aspect
  fit,     // "WxH": the largest size inside W x H, aspect kept
  exact,   // "WxH!": exactly W x H
  cover,   // "WxH^": the smallest size covering W x H, aspect kept
  scale,   // "P%", "P%xQ%": each side scaled by its percentage
  area,    // "A@": at most A pixels, aspect kept
};

enum class geometry_limit {
  none,
  shrink_only,   // ">": a result larger than the picture on either side keeps the picture's size
  enlarge_only,  // "<": a result smaller than the picture on either side keeps the picture's size
};

// Billionths of a percent in one percent: percentages keep nine decimals.
constexpr std::uint64_t percent_unit = 1000000000;

// The largest number a geometry may hold, and the largest side it may give.
constexpr std::uint64_t max_geometry_number = 1000000000000000000;  // 10^18
constexpr std::int64_t max_side = 2147483647;

struct geometry {
  geometry_kind kind = geometry_kind::scale;
  std::uint64_t width = 0;                     // W: width, fit, exact, cover
  std::uint64_t height = 0;                    // H: height, fit, exact, cover
  std::uint64_t scale_x = 100 * percent_unit;  // P in billionths of a percent: scale
  std::uint64_t scale_y = 100 * percent_unit;  // Q in billionths of a percent: scale
  std::uint64_t area = 0;                      // A: area
  geometry_limit limit = geometry_limit::none;
};

// Parses `text`. In "P%xQ%" a missing percentage takes the other's value and
// one '%' anywhere makes both numbers percentages ("50x25%"). Decimals are
// allowed in percentages only (up to nine places); W, H and A are whole
// numbers of at least 1. '!' and '^' need both W and H and exclude each
// other, as do '<' and '>'. Returns false with the reason in *err.
bool parse_geometry(const char* text, geometry* out, std::string* err);

// The output size `g` asks for from a width x height picture (both >= 1).
// Returns false with the reason in *err when a side would exceed max_side.
bool resolve_geometry(const geometry& g, std::int64_t width, std::int64_t height, std::int64_t* new_width,
                      std::int64_t* new_height, std::string* err);

}  // namespace pellimor::detail
