// SPDX-License-Identifier: MIT
// nd_resample.h - the cosine-domain resize along any axes of an array of
// any rank.
//
// The transform is separable, so each chosen axis is resized on its own, one
// pass over every line along it: DCT-II of the n samples, the lowest
// min(n, n') coefficients kept (weighed by taper_factor, the zero-frequency
// one halved, all scaled by 2 / n), zeros beyond, DCT-III at n'. Over two
// axes that is the plane engine's 4 / (W H) formula; over all axes it is
//   idctn(pad_or_crop(dctn(x, norm="ortho")), norm="ortho") * sqrt(prod n' / prod n).
//
// Passes go from the source to a packed array of doubles, from that to the
// next, and the last to the destination, shrinking axes first so the
// arrays between stay small; an array is freed once the pass after it is
// done. Lines are taken in fixed batches through the same FFTW plans
// whichever thread takes them, so the bytes do not depend on the thread
// count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "pellimor/image.h"
#include "pellimor/pellimor.h"

namespace pellimor::detail {

// Samples of an array: element (i0, i1, ...) at data + sum(i_k * strides[k])
// (strides in bytes, any sign).
struct nd_samples {
  const void* data = nullptr;
  pellimor::sample_type type = pellimor::sample_type::f64;
  std::vector<std::int64_t> extents;
  std::vector<std::ptrdiff_t> strides;
};

struct nd_target {
  void* data = nullptr;
  pellimor::sample_type type = pellimor::sample_type::f64;
  std::vector<std::int64_t> extents;
  std::vector<std::ptrdiff_t> strides;
  // Values reach the destination multiplied by this (the ratio of the full
  // scales) and, for integer types, quantised by `round`.
  double scale = 1.0;
  pellimor::rounding round = pellimor::rounding::nearest;
};

// Called between batches, from any worker; false stops the resize.
using nd_proceed = std::function<bool()>;

// Resizes `source` into `destination` along `axes` (distinct, each
// destination extent >= 1; the other extents equal). Throws std::bad_alloc
// when memory runs out. False when `proceed` said stop: the destination is
// then partly written.
bool nd_resample(const nd_samples& source, const nd_target& destination, const std::vector<int>& axes,
                 int threads, double taper, const nd_proceed& proceed = {});

// Bytes of working memory nd_resample takes for these extents.
std::uint64_t nd_working_bytes(const std::vector<std::int64_t>& extents,
                               const std::vector<std::int64_t>& new_extents, const std::vector<int>& axes,
                               int threads);

}  // namespace pellimor::detail
