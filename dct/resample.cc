// SPDX-License-Identifier: MIT
// resample.cc - line-by-line cosine-domain resize through full planes.
#include "dct/resample.h"

#include <algorithm>
#include <vector>

#include "core/plane.h"

namespace pellimor::detail {

void report_phase(const progress_streams& progress, const char* line) {
  if (progress.counters != nullptr) std::fflush(progress.counters);
  if (progress.phases == nullptr) return;
  std::fputs(line, progress.phases);
  std::fflush(progress.phases);
}

void report_countdown(const progress_streams& progress, const char* format, std::int64_t first,
                      std::int64_t count) {
  if (progress.counters == nullptr) return;
  for (std::int64_t i = 0; i < count; ++i)
    std::fprintf(progress.counters, format, static_cast<long long>(first - i));
}

void report_passes_done(const progress_streams& progress, std::int64_t done, std::int64_t total) {
  if (progress.passes_done != nullptr) progress.passes_done(progress.context, done, total);
}

std::int64_t pass_count(std::int64_t width, std::int64_t height, std::int64_t new_width,
                        std::int64_t new_height) {
  return width + height + new_width + new_height;
}

void spectrum_resize(std::int32_t width, std::int32_t height, const double* coefficients,
                     std::int32_t new_width, std::int32_t new_height, double* resized, double taper) {
  const std::int32_t kept_u = kept_count(width, new_width), kept_v = kept_count(height, new_height);
  for (std::int32_t u = 0; u < new_width; ++u) {
    double* column = resized + plane_index(u, 0, new_height);
    if (u < kept_u) {
      std::copy_n(coefficients + plane_index(u, 0, height), kept_v, column);
      std::fill(column + kept_v, column + new_height, 0.0);
      if (taper != 0.0)
        for (std::int32_t v = 0; v < kept_v; ++v)
          column[v] *= taper_factor(u, kept_u, taper) * taper_factor(v, kept_v, taper);
    } else {
      std::fill(column, column + new_height, 0.0);
    }
  }
}

void resample_plane_values(std::int32_t width, std::int32_t height, std::int32_t new_width,
                           std::int32_t new_height, const double* source, double* values,
                           const progress_streams& progress, double taper, dct_pair transforms) {
  const std::int64_t passes = pass_count(width, height, new_width, new_height);
  const std::size_t size = plane_index(width, 0, height);
  const std::size_t new_size = plane_index(new_width, 0, new_height);
  FILE* const counters = progress.counters;

  std::vector<double> rows(size), coefficients(size);
  std::vector<double> resized(new_size), inverse_rows(new_size);

  report_phase(progress, "Horizontal DCT start\n");
  for (std::int32_t y = 0; y < height; ++y) {
    transforms.forward(width, height, &source[y], &rows[y]);
    if (counters) std::fprintf(counters, "DCTH remain %lld Times\n", static_cast<long long>(passes - (y + 1)));
  }
  report_passes_done(progress, height, passes);
  report_phase(progress, "Horizontal DCT end\n");
  report_phase(progress, "Vertical DCT start\n");
  for (std::int32_t x = 0; x < width; ++x) {
    const std::size_t column = plane_index(x, 0, height);
    transforms.forward(height, 1, &rows[column], &coefficients[column]);
    if (counters)
      std::fprintf(counters, "DCTV remain %lld Times\n", static_cast<long long>(passes - height - (x + 1)));
  }
  report_passes_done(progress, std::int64_t{height} + width, passes);
  // The vertical forward pass closes with the horizontal pass's end line.
  report_phase(progress, "Horizontal DCT end\n");

  spectrum_resize(width, height, coefficients.data(), new_width, new_height, resized.data(), taper);

  report_phase(progress, "Horizontal IDCT start\n");
  for (std::int32_t v = 0; v < new_height; ++v) {
    transforms.inverse(new_width, new_height, &resized[v], &inverse_rows[v]);
    if (counters)
      std::fprintf(counters, "IDCTH remain %lld Times\n",
                   static_cast<long long>(std::int64_t{new_height} + new_width - (v + 1)));
  }
  report_passes_done(progress, passes - new_width, passes);
  report_phase(progress, "Horizontal IDCT end\n");
  report_phase(progress, "Vertical IDCT start\n");
  for (std::int32_t x = 0; x < new_width; ++x) {
    const std::size_t column = plane_index(x, 0, new_height);
    transforms.inverse(new_height, 1, &inverse_rows[column], &values[column]);
    if (counters)
      std::fprintf(counters, "IDCTV remain %lld Times\n", static_cast<long long>(new_width - (x + 1)));
  }
  report_passes_done(progress, passes, passes);
  report_phase(progress, "Vertical IDCT end\n");

  const double scale = value_scale(width, height);
  for (std::size_t i = 0; i < new_size; ++i) values[i] *= scale;
}

void resample_plane(std::int32_t width, std::int32_t height, std::int32_t dx, std::int32_t dy,
                    const std::uint8_t* source, std::uint8_t* destination, const progress_streams& progress,
                    dct_pair transforms, pellimor::rounding mode, double taper) {
  const std::int32_t new_width = width + dx, new_height = height + dy;
  const std::vector<double> samples(source, source + plane_index(width, 0, height));
  std::vector<double> values(plane_index(new_width, 0, new_height));
  resample_plane_values(width, height, new_width, new_height, samples.data(), values.data(), progress, taper,
                        transforms);
  // Row by row, as the values would be written out.
  for (std::int32_t y = 0; y < new_height; ++y)
    for (std::int32_t x = 0; x < new_width; ++x) {
      const std::size_t i = plane_index(x, y, new_height);
      destination[i] = quantise_byte(values[i], mode);
    }
}

}  // namespace pellimor::detail
