// SPDX-License-Identifier: MIT
// engines.h - run one plane through either resampling engine, for the tests.
#pragma once

#include <cstdio>
#include <vector>

#include "bmp/bmp_io.h"
#include "cli/options.h"
#include "dct/fast_resample.h"
#include "dct/resample.h"

namespace test_engines {

using namespace pellimor::detail;  // the engines under test

// Serves rows of a column-major plane, as the file reader does.
inline row_reader plane_rows(const channel_plane& plane) {
  return [&plane](std::int32_t first, std::int32_t count, std::uint8_t* out) {
    for (std::int32_t r = 0; r < count; ++r)
      for (std::int32_t x = 0; x < plane.width; ++x)
        out[static_cast<std::size_t>(r) * plane.width + x] =
            plane.samples[plane_index(x, first + r, plane.height)];
    return true;
  };
}

// Stores output rows into a column-major plane, as the file writer stores
// them into a BMP.
inline row_writer plane_writer(channel_plane* plane) {
  return [plane](std::int32_t first, std::int32_t count, const std::uint8_t* rows) {
    for (std::int32_t r = 0; r < count; ++r)
      for (std::int32_t x = 0; x < plane->width; ++x)
        plane->samples[plane_index(x, first + r, plane->height)] =
            rows[static_cast<std::size_t>(r) * plane->width + x];
    return true;
  };
}

// Progress lines of a test run go to a scratch stream nobody reads.
inline progress_streams quiet() {
  static std::FILE* sink = std::tmpfile();
  return {sink, sink};
}

inline channel_plane resize(engine_kind engine, const channel_plane& source, std::int32_t new_width,
                            std::int32_t new_height, int threads = 2, progress_streams progress = quiet()) {
  channel_plane out;
  allocate_plane(&out, new_width, new_height);
  if (engine == engine_kind::direct) {
    resample_plane(source.width, source.height, new_width - source.width, new_height - source.height,
                   source.samples.data(), out.samples.data(), progress);
  } else {
    fast_resampler(source.width, source.height, new_width, new_height, threads)
        .resample(plane_rows(source), plane_writer(&out), progress);
  }
  return out;
}

}  // namespace test_engines
