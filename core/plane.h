// SPDX-License-Identifier: MIT
// plane.h - one channel of an image as a column-major plane of bytes.
// Sample (x, y) sits at x*height + y, x = 0 the left column, y = 0 the top row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

// The only place that maps a pixel position to its index in a plane.
inline std::size_t plane_index(std::int64_t x, std::int64_t y, std::int64_t height) {
  return static_cast<std::size_t>(x * height + y);
}

// One colour channel: width*height bytes, column-major, top row first.
struct channel_plane {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<std::uint8_t> samples;
};

// Sizes the plane to width x height, zero-filled. False when the memory
// cannot be had.
inline bool allocate_plane(channel_plane* plane, std::int32_t width, std::int32_t height) {
  try {
    plane->samples.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  plane->width = width;
  plane->height = height;
  return true;
}
