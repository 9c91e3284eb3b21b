// SPDX-License-Identifier: MIT
// resize.cc - the library's resize: any sample type, interleaved channels at
// any strides, through either engine, with linear light and alpha.
//
// Each channel goes through the engine on its own. Samples are read as
// doubles in the source's units (255, 65535 or 1.0 for full intensity);
// with linear light, colour is turned into linear light first (same units);
// with alpha, colour is then multiplied by alpha / full. The alpha channel
// is resized first and its unquantised values kept, so that every colour
// value can be divided back by the alpha resized with it. Values leave in
// the destination's units and are quantised there by the shared rule.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/cpu.h"
#include "core/plane.h"
#include "dct/fast_resample.h"
#include "dct/resample.h"
#include "dct/sample_rules.h"
#include "lib/limits.h"
#include "lib/linear_light.h"
#include "lib/resize_hooks.h"
#include "lib/sample_access.h"
#include "lib/strided_copy.h"
#include "pellimor/pellimor.h"

using namespace pellimor::detail;  // the library's internals

namespace pellimor {
namespace {

bool valid_type(sample_type type) { return sample_bytes(type) != 0; }

std::ptrdiff_t channel_step(sample_type type, std::ptrdiff_t channel_stride) {
  return channel_stride != 0 ? channel_stride : static_cast<std::ptrdiff_t>(sample_bytes(type));
}

// The lowest and one past the highest byte a strided image touches.
template <class View>
std::pair<std::intptr_t, std::intptr_t> extent_of(const View& v) {
  const std::intptr_t base = reinterpret_cast<std::intptr_t>(v.data);
  std::intptr_t low = base, high = base;
  const std::ptrdiff_t steps[3] = {v.row_stride * (v.height - 1), v.pixel_stride * (v.width - 1),
                                   channel_step(v.type, v.channel_stride) * (v.channels - 1)};
  for (const std::ptrdiff_t step : steps) (step < 0 ? low : high) += step;
  return {low, high + static_cast<std::intptr_t>(sample_bytes(v.type))};
}

// Whether every sample of `span` has bytes of its own: with its axes taken
// from the smallest stride up, each stride must step past everything the
// smaller ones cover. (A stride of 0, or rows that overlap, would have
// several results written to one place.)
bool samples_apart(const image_span& span) {
  struct axis {
    std::ptrdiff_t stride;
    std::int64_t count;
  } axes[3] = {{span.row_stride, span.height},
               {span.pixel_stride, span.width},
               {channel_step(span.type, span.channel_stride), span.channels}};
  for (axis& a : axes) a.stride = a.stride < 0 ? -a.stride : a.stride;
  std::sort(std::begin(axes), std::end(axes),
            [](const axis& a, const axis& b) { return a.stride < b.stride; });
  std::int64_t covered = static_cast<std::int64_t>(sample_bytes(span.type));
  for (const axis& a : axes) {
    if (a.count < 2) continue;
    if (a.stride < covered) return false;
    covered = a.stride * (a.count - 1) + covered;
  }
  return true;
}

void check(const image_view& source, const image_span& destination, const resize_settings& settings) {
  const auto fail = [](const char* why) { throw error(why); };
  if (source.data == nullptr || destination.data == nullptr) fail("no samples given");
  if (!valid_type(source.type) || !valid_type(destination.type)) fail("unknown sample type");
  if (source.width < 1 || source.height < 1) fail("the source has no pixels");
  if (destination.width < 1 || destination.height < 1) fail("the new size has no pixels");
  if (source.channels < 1 || destination.channels != source.channels)
    fail("the source and destination must have the same number of channels (at least 1)");
  if (settings.alpha && source.channels < 2) fail("alpha needs a colour channel beside it");
  if (!(settings.taper >= 0.0) || !std::isfinite(settings.taper)) fail("the taper must be a number >= 0");
  if (settings.method != engine::fast && settings.method != engine::direct) fail("unknown engine");
  if (!samples_apart(destination))
    fail("the destination's strides put several samples in one place (a stride of 0, or overlapping rows)");
  const auto [source_low, source_high] = extent_of(source);
  const auto [low, high] = extent_of(destination);
  if (low < source_high && source_low < high) fail("the destination overlaps the source");
}

#if defined(__x86_64__)
// Pixel pairs of an output row whose channels lie packed, written with all
// channels at once (write_reordered_planes): 2 to 4 channels of doubles or
// floats, four pairs a step. Pair i is pixel 2i, from v[c][i], and pixel
// 2i + 1, from v[c][n - 1 - i]; each sample is (v * scale) * to_destination,
// rounded to T as store() rounds it. Returns the pairs done (a multiple of
// four); the caller does the rest.
#define PELLIMOR_AVX2 __attribute__((target("avx2")))

PELLIMOR_AVX2 inline void transpose4(__m256d a, __m256d b, __m256d c, __m256d d, __m256d* t) {
  const __m256d ab_even = _mm256_unpacklo_pd(a, b), ab_odd = _mm256_unpackhi_pd(a, b);
  const __m256d cd_even = _mm256_unpacklo_pd(c, d), cd_odd = _mm256_unpackhi_pd(c, d);
  t[0] = _mm256_permute2f128_pd(ab_even, cd_even, 0x20);
  t[1] = _mm256_permute2f128_pd(ab_odd, cd_odd, 0x20);
  t[2] = _mm256_permute2f128_pd(ab_even, cd_even, 0x31);
  t[3] = _mm256_permute2f128_pd(ab_odd, cd_odd, 0x31);
}

template <class T, bool stream>
PELLIMOR_AVX2 inline void put4(T* at, __m256d x) {
  if constexpr (std::is_same_v<T, double>) {
    if constexpr (stream) {
      _mm_stream_pd(at, _mm256_castpd256_pd128(x));
      _mm_stream_pd(at + 2, _mm256_extractf128_pd(x, 1));
    } else {
      _mm256_storeu_pd(at, x);
    }
  } else {
    if constexpr (stream)
      _mm_stream_ps(at, _mm256_cvtpd_ps(x));
    else
      _mm_storeu_ps(at, _mm256_cvtpd_ps(x));  // rounds to nearest, as the cast does
  }
}

template <class T, bool stream>
PELLIMOR_AVX2 std::int32_t store_pairs_avx2(int channels, std::int32_t n, const double* const* v, double scale,
                                           double to_destination, T* out) {
  const __m256d s = _mm256_set1_pd(scale), d = _mm256_set1_pd(to_destination);
  const std::int32_t pairs = n / 2 / 4 * 4;
  for (std::int32_t i = 0; i < pairs; i += 4) {
    // Rows of a channels x 2 by 4 matrix: the even pixels' samples of each
    // channel, then the odd pixels'; the output is its columns in turn.
    __m256d r[2 * max_planes_at_once];
    for (int c = 0; c < channels; ++c) {
      r[c] = _mm256_mul_pd(_mm256_mul_pd(_mm256_loadu_pd(v[c] + i), s), d);
      const __m256d back = _mm256_permute4x64_pd(_mm256_loadu_pd(v[c] + n - 4 - i), 0x1B);  // reversed
      r[channels + c] = _mm256_mul_pd(_mm256_mul_pd(back, s), d);
    }
    T* o = out + static_cast<std::ptrdiff_t>(i) * 2 * channels;
    __m256d t[4], u[4];
    if (channels == 2) {
      transpose4(r[0], r[1], r[2], r[3], t);
      for (int k = 0; k < 4; ++k) put4<T, stream>(o + 4 * k, t[k]);
    } else if (channels == 4) {
      transpose4(r[0], r[1], r[2], r[3], t);
      transpose4(r[4], r[5], r[6], r[7], u);
      for (int k = 0; k < 4; ++k) {
        put4<T, stream>(o + 8 * k, t[k]);
        put4<T, stream>(o + 8 * k + 4, u[k]);
      }
    } else {  // 3: the first four rows transposed, the last two paired
      transpose4(r[0], r[1], r[2], r[3], t);
      const __m256d low = _mm256_unpacklo_pd(r[4], r[5]), high = _mm256_unpackhi_pd(r[4], r[5]);
      put4<T, stream>(o, t[0]);
      put4<T, stream>(o + 4, _mm256_permute2f128_pd(low, t[1], 0x20));
      put4<T, stream>(o + 8, _mm256_permute2f128_pd(t[1], high, 0x21));
      put4<T, stream>(o + 12, t[2]);
      put4<T, stream>(o + 16, _mm256_permute2f128_pd(low, t[3], 0x21));
      put4<T, stream>(o + 20, _mm256_permute2f128_pd(t[3], high, 0x31));
    }
  }
  return pairs;
}

#endif

// Outputs of this many bytes and more are written past the caches.
constexpr double stream_output_bytes = 16 << 20;

// store_pairs_avx2 where the processor has AVX2; otherwise no pair done.
// With `stream`, a row that starts on 16 bytes is written past the caches
// (the caller fences once done).
template <class T>
std::int32_t store_packed_pairs(int channels, std::int32_t n, const double* const* v, double scale,
                                double to_destination, T* out, bool stream) {
#if defined(__x86_64__)
  if (cpu_has_avx2())
    return stream && reinterpret_cast<std::uintptr_t>(out) % 16 == 0
               ? store_pairs_avx2<T, true>(channels, n, v, scale, to_destination, out)
               : store_pairs_avx2<T, false>(channels, n, v, scale, to_destination, out);
#endif
  (void)stream;
  return 0;
}

// One resize: the sample access both engines share.
struct job {
  const image_view& source;
  const image_span& destination;
  const resize_settings& settings;
  double source_full, destination_full;
  std::vector<double> alpha = {};         // resized alpha, source units, row-major; empty without alpha
  const void* source_data = source.data;  // the samples read now: the view's, or a channel's own copy

  // Linear light, by tables on integer samples; set when asked for.
  std::optional<linear_light> light = {};

  void make_tables() {
    if (settings.linear)
      light.emplace(source_full, !is_float(source.type), destination_full, !is_float(destination.type),
                    settings.round);
  }

  const std::uint8_t* source_at(std::int32_t x, std::int32_t y, int c) const {
    return static_cast<const std::uint8_t*>(source_data) + y * source.row_stride + x * source.pixel_stride +
           c * channel_step(source.type, source.channel_stride);
  }
  std::uint8_t* destination_at(std::int32_t x, std::int32_t y, int c) const {
    return static_cast<std::uint8_t*>(destination.data) + y * destination.row_stride +
           x * destination.pixel_stride + c * channel_step(destination.type, destination.channel_stride);
  }
  bool is_alpha(int c) const { return settings.alpha && c == source.channels - 1; }

  // Source rows [first, first + count) of channel c, width values each.
  void read_rows(int c, std::int32_t first, std::int32_t count, double* out) const {
    with_type(source.type, [&](auto t) {
      read_typed<decltype(t)>(c, first, count, source_at(0, first, c), source.row_stride, source.pixel_stride,
                              out);
    });
  }

  // The same from `count` rows of channel c's samples alone, packed.
  void read_packed_rows(int c, std::int32_t count, const std::uint8_t* rows, double* out) const {
    if (!settings.linear) {  // no alpha here (resize_hooks.h): a plain conversion, with a fixed stride
      with_type(source.type, [&](auto t) {
        using T = decltype(t);
        const std::size_t samples = static_cast<std::size_t>(count) * source.width;
        for (std::size_t i = 0; i < samples; ++i) out[i] = static_cast<double>(load<T>(rows + i * sizeof(T)));
      });
      return;
    }
    const std::ptrdiff_t step = static_cast<std::ptrdiff_t>(sample_bytes(source.type));
    with_type(source.type,
              [&](auto t) { read_typed<decltype(t)>(c, 0, count, rows, step * source.width, step, out); });
  }

  // Row r's samples at rows + r * row_step + x * step.
  template <class T>
  void read_typed(int c, std::int32_t first, std::int32_t count, const std::uint8_t* rows,
                  std::ptrdiff_t row_step, std::ptrdiff_t step, double* out) const {
    const bool colour = !is_alpha(c), linear = settings.linear && colour;
    const bool premultiply = settings.alpha && colour;
    const std::int32_t width = source.width;
    for (std::int32_t r = 0; r < count; ++r, out += width) {
      const std::uint8_t* p = rows + r * row_step;
      const std::uint8_t* a = source_at(0, first + r, source.channels - 1);
      if (!linear && !premultiply) {
        for (std::int32_t x = 0; x < width; ++x) out[x] = static_cast<double>(load<T>(p + x * step));
        continue;
      }
      for (std::int32_t x = 0; x < width; ++x) {
        double v = static_cast<double>(load<T>(p + x * step));
        if (linear) v = light->to_linear(v);
        if (premultiply) v *= static_cast<double>(load<T>(a + x * step)) / source_full;
        out[x] = v;
      }
    }
  }

  // Source rows [first, first + count) of channel c as they are, packed
  // (8-bit samples only).
  void read_bytes(int c, std::int32_t first, std::int32_t count, std::uint8_t* out) const {
    copy_sample_rows(source_at(0, first, c), {source.row_stride, source.pixel_stride}, out, {source.width, 1},
                     count, source.width, 1);
  }

  // Finished 8-bit rows of channel c, packed, stored as they are.
  void write_bytes(int c, std::int32_t first, std::int32_t count, const std::uint8_t* rows) const {
    copy_sample_rows(rows, {destination.width, 1}, destination_at(0, first, c),
                     {destination.row_stride, destination.pixel_stride}, count, destination.width, 1);
  }

  // Resized rows of channel c in the engine's order (reordered_row_writer),
  // without alpha or linear light: each value scaled and stored as
  // write_rows stores it, in one step.
  void write_reordered(int c, std::int32_t first, std::int32_t count, const double* const* rows,
                       double scale) {
    with_store([&](auto t, auto mode) {
      write_reordered_typed<decltype(t), decltype(mode)::value>(c, first, count, rows, scale);
    });
  }

  template <class T, rounding mode>
  void write_reordered_typed(int c, std::int32_t first, std::int32_t count, const double* const* rows,
                             double scale) {
    const double to_destination = destination_full / source_full;
    const std::int32_t n = destination.width;
    const std::ptrdiff_t step = destination.pixel_stride;
    for (std::int32_t r = 0; r < count; ++r) {
      std::uint8_t* p = destination_at(0, first + r, c);
      const double* v = rows[r];
      for (std::int32_t i = 0; i < n / 2; ++i) {
        store<T, mode>(v[i] * scale * to_destination, p + 2 * i * step);
        store<T, mode>(v[n - 1 - i] * scale * to_destination, p + (2 * i + 1) * step);
      }
      if (n % 2 != 0) store<T, mode>(v[n / 2] * scale * to_destination, p + (n - 1) * step);
    }
  }

  // Resized rows of every channel at once, as write_reordered stores one
  // channel's (rows[c * count + r]): each pixel's samples are stored
  // together, so an interleaved output line is written once.
  void write_reordered_planes(std::int32_t first, std::int32_t count, const double* const* rows,
                              double scale) {
    with_store([&](auto t, auto mode) {
      write_planes_typed<decltype(t), decltype(mode)::value>(first, count, rows, scale);
    });
  }

  template <class T, rounding mode>
  void write_planes_typed(std::int32_t first, std::int32_t count, const double* const* rows, double scale) {
    const double to_destination = destination_full / source_full;
    const std::int32_t n = destination.width;
    const int channels = destination.channels;
    const std::ptrdiff_t step = destination.pixel_stride;
    const std::ptrdiff_t channel = channel_step(destination.type, destination.channel_stride);
    // Doubles or floats with the channels packed go four pixel pairs at a
    // time, the same products rounded the same way.
    const bool packed = step == static_cast<std::ptrdiff_t>(channels * sizeof(T)) &&
                        channel == static_cast<std::ptrdiff_t>(sizeof(T)) && channels >= 2;
    // An output far larger than the caches is written past them: its lines
    // need not be read in first, and would be gone before anyone read them.
    const bool stream =
        static_cast<double>(destination.height) * n * channels * sizeof(T) >= stream_output_bytes;
    for (std::int32_t r = 0; r < count; ++r) {
      std::uint8_t* p = destination_at(0, first + r, 0);
      const double* v[max_planes_at_once];
      for (int c = 0; c < channels; ++c) v[c] = rows[c * count + r];
      std::int32_t done = 0;
      if constexpr (std::is_floating_point_v<T>)
        if (packed)
          done = store_packed_pairs(channels, n, v, scale, to_destination, reinterpret_cast<T*>(p), stream);
      for (std::int32_t i = done; i < n / 2; ++i) {
        std::uint8_t* even = p + 2 * i * step;
        for (int c = 0; c < channels; ++c)
          store<T, mode>(v[c][i] * scale * to_destination, even + c * channel);
        std::uint8_t* odd = even + step;
        for (int c = 0; c < channels; ++c)
          store<T, mode>(v[c][n - 1 - i] * scale * to_destination, odd + c * channel);
      }
      if (n % 2 != 0)
        for (int c = 0; c < channels; ++c)
          store<T, mode>(v[c][n / 2] * scale * to_destination, p + (n - 1) * step + c * channel);
    }
#if defined(__x86_64__)
    if (stream) _mm_sfence();
#endif
  }

  // Resized rows [first, first + count) of channel c, new width values each
  // in source units.
  void write_rows(int c, std::int32_t first, std::int32_t count, const double* rows) {
    with_store(
        [&](auto t, auto mode) { write_typed<decltype(t), decltype(mode)::value>(c, first, count, rows); });
  }

  // Calls f(T{}, mode) for the destination's C++ type T and the rounding
  // asked for, as a std::integral_constant.
  template <class F>
  void with_store(const F& f) const {
    with_type(destination.type, [&](auto t) {
      if (settings.round == rounding::nearest)
        f(t, std::integral_constant<rounding, rounding::nearest>{});
      else
        f(t, std::integral_constant<rounding, rounding::trunc>{});
    });
  }

  template <class T, rounding mode>
  void write_typed(int c, std::int32_t first, std::int32_t count, const double* rows) {
    const bool colour = !is_alpha(c), linear = settings.linear && colour;
    const bool unpremultiply = settings.alpha && colour;
    const double to_destination = destination_full / source_full;
    constexpr double visible = visible_alpha<T, mode>();
    const std::int32_t width = destination.width;
    const std::ptrdiff_t step = destination.pixel_stride;
    for (std::int32_t r = 0; r < count; ++r, rows += width) {
      std::uint8_t* p = destination_at(0, first + r, c);
      double* resized_alpha =
          alpha.empty() ? nullptr : alpha.data() + static_cast<std::size_t>(first + r) * width;
      if (!colour) std::copy_n(rows, width, resized_alpha);
      if (!linear && !unpremultiply) {
        for (std::int32_t x = 0; x < width; ++x) store<T, mode>(rows[x] * to_destination, p + x * step);
        continue;
      }
      for (std::int32_t x = 0; x < width; ++x) {
        double v = rows[x];
        if (unpremultiply) v = unpremultiplied(v, resized_alpha[x], source_full, to_destination, visible);
        if (linear && !is_float(destination.type)) {
          const T code = static_cast<T>(light->code_of(v));
          std::memcpy(p + x * step, &code, sizeof code);
          continue;
        }
        if (linear) v = light->to_encoded(v);
        store<T, mode>(v * to_destination, p + x * step);
      }
    }
  }
};

}  // namespace

image_view view_of(const image& img) {
  image_view view;
  view.data = img.pixels.data();
  view.type = img.type;
  view.width = img.width;
  view.height = img.height;
  view.channels = img.channels;
  view.pixel_stride = static_cast<std::ptrdiff_t>(img.channels * sample_bytes(img.type));
  view.row_stride = static_cast<std::ptrdiff_t>(img.row_bytes());
  return view;
}

image_span span_of(image& img) {
  const image_view view = view_of(img);
  image_span span;
  span.data = img.pixels.data();
  span.type = view.type;
  span.width = view.width;
  span.height = view.height;
  span.channels = view.channels;
  span.pixel_stride = view.pixel_stride;
  span.row_stride = view.row_stride;
  return span;
}

namespace {

// The coefficient arrays a fast resize holds at once: one a channel when
// asked to and the channels can be written together (no alpha, whose
// colour channels wait for it, nor linear light); otherwise one, the
// channels taking their turns in it.
int planes_held(int channels, const resize_settings& settings) {
  const bool together = settings.hold_channels && settings.method == engine::fast && !settings.alpha &&
                        !settings.linear && channels > 1 && channels <= max_planes_at_once;
  return together ? channels : 1;
}

}  // namespace

std::uint64_t resize_working_bytes(std::int32_t width, std::int32_t height, std::int32_t new_width,
                                   std::int32_t new_height, int channels, const resize_settings& settings) {
  const std::uint64_t alpha = settings.alpha ? 8ull * new_width * new_height : 0;
  if (settings.method == engine::direct)
    return alpha + 8 * (3ull * width * height + 3ull * new_width * new_height);
  return alpha + fast_resampler::working_bytes(width, height, new_width, new_height, settings.threads,
                                               planes_held(channels, settings));
}

void resize(const image_view& source, const image_span& destination, const resize_settings& settings) {
  resize(source, destination, settings, resize_hooks{});
}

bool resize(const image_view& source, const image_span& destination, const resize_settings& settings,
            const resize_hooks& hooks, std::string* err) {
  try {
    resize(source, destination, settings, hooks);
  } catch (const error& e) {
    *err = e.what();
    return false;
  }
  err->clear();  // no message of an earlier call left behind on success
  return true;
}

void resize(const image_view& source, const image_span& destination, const resize_settings& settings,
            const resize_hooks& hooks) {
  check(source, destination, settings);
  const std::int32_t width = source.width, height = source.height;
  const std::int32_t new_width = destination.width, new_height = destination.height;
  job work{source, destination, settings, sample_full_scale(source.type),
           sample_full_scale(destination.type)};
  progress_streams progress{settings.counters, settings.phases, settings.passes_done, settings.context};
  try {
    work.make_tables();
    if (settings.alpha) work.alpha.resize(static_cast<std::size_t>(new_width) * new_height);
    // Alpha first: the colour channels are divided by it as they come out.
    std::vector<int> order;
    if (settings.alpha) order.push_back(source.channels - 1);
    for (int c = 0; c < source.channels; ++c)
      if (!work.is_alpha(c)) order.push_back(c);

    if (settings.method == engine::direct) {
      std::vector<double> plane(plane_index(width, 0, height)), values(plane_index(new_width, 0, new_height));
      std::vector<double> row(std::max(width, new_width));
      for (int c : order) {
        if ((settings.proceed && !settings.proceed(settings.context)) ||
            (hooks.before_read && !hooks.before_read(0, height))) {
          throw stopped();
        }
        for (std::int32_t y = 0; y < height; ++y) {
          work.read_rows(c, y, 1, row.data());
          for (std::int32_t x = 0; x < width; ++x) plane[plane_index(x, y, height)] = row[x];
        }
        if (hooks.after_read) hooks.after_read();
        resample_plane_values(width, height, new_width, new_height, plane.data(), values.data(), progress,
                              settings.taper);
        for (std::int32_t y = 0; y < new_height; ++y) {
          for (std::int32_t x = 0; x < new_width; ++x) row[x] = values[plane_index(x, y, new_height)];
          work.write_rows(c, y, 1, row.data());
          if (hooks.after_write && !hooks.after_write(c, y, 1)) throw stopped();
        }
      }
      return;
    }

    make_room_for(static_cast<double>(
        resize_working_bytes(width, height, new_width, new_height, source.channels, settings)));
    // Bytes to bytes, without alpha or linear light: the engine's byte path
    // widens and quantises in vector steps, with the bytes the way through
    // doubles gives (the scale to the destination is 1, and quantise_byte is
    // store's rule for 8 bits). It stays faster than holding the channels.
    const bool bytes = source.type == sample_type::u8 && destination.type == sample_type::u8 &&
                       !settings.alpha && !settings.linear;
    const int planes = bytes ? 1 : planes_held(source.channels, settings);
    if (planes > 1 && (hooks.source_of || hooks.reads_channel))
      throw error("a resize holding every channel reads the view");
    fast_resampler resampler(width, height, new_width, new_height, settings.threads, settings.taper, planes);
    // The engine asks before each batch of lines of every pass, the passes
    // over columns too: a single channel of a tall image stops as promptly as
    // many small ones.
    proceed_check proceed;
    if (settings.proceed) proceed = [&settings] { return settings.proceed(settings.context); };
    if (planes > 1) {
      // Every channel's array held: the channels' last passes run together
      // and each output pixel is written once, whatever the sample types.
      const plane_row_reader rows = [&](int c, std::int32_t first, std::int32_t count, double* out) {
        if (hooks.before_read && !hooks.before_read(first, count)) return false;
        work.read_rows(c, first, count, out);
        if (hooks.rows_read) hooks.rows_read(c, first, count);
        if (hooks.after_read) hooks.after_read();
        return true;
      };
      const planes_row_writer out = [&](std::int32_t first, std::int32_t count, const double* const* values,
                                        double scale) {
        work.write_reordered_planes(first, count, values, scale);
        for (int c = 0; c < planes; ++c)
          if (hooks.after_write && !hooks.after_write(c, first, count)) return false;
        return true;
      };
      if (!resampler.resample_planes_reordered(rows, out, progress, proceed)) throw stopped();
      return;
    }
    for (std::size_t index = 0; index < order.size(); ++index) {
      const int c = order[index];
      if (hooks.source_of && (work.source_data = hooks.source_of(static_cast<int>(index))) == nullptr)
        throw stopped();
      const bool own = hooks.reads_channel && !settings.alpha && hooks.reads_channel(static_cast<int>(index));
      if (bytes) {
        const row_reader byte_rows = [&](std::int32_t first, std::int32_t count, std::uint8_t* out) {
          if (hooks.before_read && !hooks.before_read(first, count)) return false;
          if (own) {  // packed rows are this channel's bytes, a row after another
            if (!hooks.read_channel(static_cast<int>(index), first, count, out)) {
              if (hooks.after_read) hooks.after_read();
              return false;
            }
          } else {
            work.read_bytes(c, first, count, out);
          }
          if (hooks.rows_read) hooks.rows_read(static_cast<int>(index), first, count);
          if (hooks.after_read) hooks.after_read();
          return true;
        };
        const row_writer byte_out = [&](std::int32_t first, std::int32_t count, const std::uint8_t* values) {
          work.write_bytes(c, first, count, values);
          return !hooks.after_write || hooks.after_write(c, first, count);
        };
        if (!resampler.resample(byte_rows, byte_out, progress, settings.round, proceed)) throw stopped();
        continue;
      }
      const value_row_reader rows = [&](std::int32_t first, std::int32_t count, double* out) {
        if (hooks.before_read && !hooks.before_read(first, count)) return false;
        if (own) {
          // One buffer a worker, kept for its next batches.
          thread_local std::vector<std::uint8_t> samples;
          samples.resize(static_cast<std::size_t>(count) * width * sample_bytes(source.type));
          if (!hooks.read_channel(static_cast<int>(index), first, count, samples.data())) {
            if (hooks.after_read) hooks.after_read();
            return false;
          }
          work.read_packed_rows(c, count, samples.data(), out);
        } else {
          work.read_rows(c, first, count, out);
        }
        if (hooks.rows_read) hooks.rows_read(static_cast<int>(index), first, count);
        if (hooks.after_read) hooks.after_read();
        return true;
      };
      if (!settings.alpha && !settings.linear) {
        const reordered_row_writer in_order = [&](std::int32_t first, std::int32_t count,
                                                  const double* const* values, double scale) {
          work.write_reordered(c, first, count, values, scale);
          return !hooks.after_write || hooks.after_write(c, first, count);
        };
        if (!resampler.resample_reordered(rows, in_order, progress, proceed)) throw stopped();
        continue;
      }
      const value_row_writer out = [&](std::int32_t first, std::int32_t count, const double* values) {
        work.write_rows(c, first, count, values);
        return !hooks.after_write || hooks.after_write(c, first, count);
      };
      if (!resampler.resample_doubles(rows, out, progress, proceed)) throw stopped();
    }
  } catch (const std::bad_alloc&) {
    throw error("out of memory for a resize to " + std::to_string(new_width) + " x " +
                std::to_string(new_height));
  } catch (const std::system_error& e) {
    throw error(e.what());  // no thread to be had
  }
}

image resize(const image& source, std::int32_t new_width, std::int32_t new_height,
             const resize_settings& settings) {
  if (source.pixels.size() < source.pixel_bytes())
    throw error("the image holds fewer samples than its size needs");
  image out;
  static_cast<image_info&>(out) = source;
  out.width = new_width;
  out.height = new_height;
  out.icc = source.icc;
  out.meta = source.meta;
  if (new_width < 1 || new_height < 1) throw error("the new size has no pixels");
  if (!out.allocate_for_overwrite())  // the resize writes every sample
    throw error("out of memory for a " + std::to_string(new_width) + " x " + std::to_string(new_height) +
                " image");
  resize(view_of(source), span_of(out), settings);
  return out;
}

}  // namespace pellimor
