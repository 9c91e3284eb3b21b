// SPDX-License-Identifier: MIT
// linear_light.h - sRGB-encoded samples to linear light and back, by table
// where the samples are integers.
//
// Values stay in the units of the source samples (255, 65535 or 1.0 for
// full intensity). The curves are extended to negative values by symmetry,
// since ringing can undershoot 0.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "pellimor/pellimor.h"

namespace pellimor {

double srgb_to_linear(double v);  // 1 is full intensity
double linear_to_srgb(double v);

class linear_light {
 public:
  // For samples of full scale `source_full` read as linear light, and
  // results stored as samples of full scale `destination_full`, integer or
  // not, quantised by `mode`.
  linear_light(double source_full, bool source_integer, double destination_full, bool destination_integer,
               rounding mode);

  // Sample v of the source (a whole number for an integer source) in
  // linear light.
  double to_linear(double v) const {
    return to_linear_.empty() ? source_full_ * srgb_to_linear(v / source_full_)
                              : to_linear_[static_cast<std::size_t>(v)];
  }

  // The integer destination code of linear value v: the largest code whose
  // least linear value v reaches; 0 for NaN. Integer destinations only.
  // Branch-free: each bucket of the linear range holds at most one
  // threshold, so one comparison from the bucket's first code settles it.
  std::uint32_t code_of(double v) const {
    const std::uint32_t code = first_code_[bucket_of(v)];
    return code + (v >= from_linear_[code] ? 1 : 0);
  }

  // Linear value v sRGB-encoded again, still in source units.
  double to_encoded(double v) const { return source_full_ * linear_to_srgb(v / source_full_); }

 private:
  // Buckets are counted by this computation alone, for thresholds and
  // values alike: a threshold in a lower bucket than v is then never above
  // v, and one in a higher bucket never at or below it.
  std::size_t bucket_of(double v) const {
    return static_cast<std::size_t>(std::min(std::max(0.0, v * bucket_scale_), last_bucket_));  // NaN: 0
  }

  double source_full_;
  // to_linear_[s] is sample s in linear light, and from_linear_[k - 1] the
  // least linear value whose code quantises to k or more (then infinity).
  // first_code_[b] is the number of thresholds in buckets below b.
  std::vector<double> to_linear_, from_linear_;
  std::vector<std::uint32_t> first_code_;
  double bucket_scale_ = 0, last_bucket_ = 0;
};

}  // namespace pellimor
