// SPDX-License-Identifier: MIT
// linear_light.cc - the sRGB transfer curves and their tables.
#include "lib/linear_light.h"

#include <cmath>

namespace pellimor {

double srgb_to_linear(double v) {
  const double s = std::fabs(v);
  const double r = s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
  return std::copysign(r, v);
}

double linear_to_srgb(double v) {
  const double s = std::fabs(v);
  const double r = s <= 0.0031308 ? 12.92 * s : 1.055 * std::pow(s, 1.0 / 2.4) - 0.055;
  return std::copysign(r, v);
}

linear_light::linear_light(double source_full, bool source_integer, double destination_full,
                           bool destination_integer, rounding mode)
    : source_full_(source_full) {
  if (source_integer) {
    to_linear_.resize(static_cast<std::size_t>(source_full) + 1);
    for (std::size_t v = 0; v < to_linear_.size(); ++v)
      to_linear_[v] = source_full * srgb_to_linear(static_cast<double>(v) / source_full);
  }
  if (!destination_integer) return;
  const double half = mode == rounding::nearest ? 0.5 : 0.0;
  const std::size_t codes = static_cast<std::size_t>(destination_full);
  for (std::size_t k = 1; k <= codes; ++k)
    from_linear_.push_back(source_full * srgb_to_linear((static_cast<double>(k) - half) / destination_full));
  from_linear_.push_back(INFINITY);
  // The thresholds are closest at the curve's linear foot, about
  // source_full / (12.92 destination_full) apart, so 16 buckets a code put
  // at most one in each; where they would not, the buckets are made finer.
  for (std::size_t buckets = 16 * codes;; buckets *= 2) {
    bucket_scale_ = static_cast<double>(buckets) / source_full;
    last_bucket_ = static_cast<double>(buckets - 1);
    std::vector<std::uint32_t> count(buckets, 0);
    bool one_each = true;
    for (std::size_t k = 0; k < codes; ++k) one_each &= ++count[bucket_of(from_linear_[k])] == 1;
    if (!one_each) continue;
    first_code_.assign(buckets, 0);
    for (std::size_t b = 1; b < buckets; ++b) first_code_[b] = first_code_[b - 1] + count[b - 1];
    return;
  }
}

}  // namespace pellimor
