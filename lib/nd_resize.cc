// SPDX-License-Identifier: MIT
// nd_resize.cc - the library's resize of arrays of any rank along any axes.
//
// Two axes go plane by plane through the 2-D resize, so that an image
// resized as an array gets the very bytes it gets as an image (and alpha
// and linear light come with it). Any other count goes through the
// separable passes of dct/nd_resample.h; with alpha or linear light, by way
// of arrays of doubles that each element enters and leaves by the 2-D
// resize's own rules.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

#include "core/huge_pages.h"
#include "dct/nd_resample.h"
#include "lib/linear_light.h"
#include "lib/sample_access.h"
#include "pellimor/pellimor.h"

using namespace pellimor::detail;  // the library's internals

namespace pellimor {
namespace {

constexpr int most_axes = 32;

// Whether every element of an array has bytes of its own: with the axes
// taken from the smallest stride up, each stride must step past all that the
// smaller ones cover.
bool elements_apart(sample_type type, const std::vector<std::int64_t>& extents,
                    const std::vector<std::ptrdiff_t>& strides) {
  std::vector<std::pair<std::int64_t, std::int64_t>> axes;  // |stride|, extent
  for (std::size_t a = 0; a < extents.size(); ++a)
    if (extents[a] > 1) axes.push_back({strides[a] < 0 ? -strides[a] : strides[a], extents[a]});
  std::sort(axes.begin(), axes.end());
  std::int64_t covered = static_cast<std::int64_t>(sample_bytes(type));
  for (const auto& [stride, count] : axes) {
    if (stride < covered) return false;
    covered = stride * (count - 1) + covered;
  }
  return true;
}

// The lowest and one past the highest byte an array touches.
std::pair<std::intptr_t, std::intptr_t> bytes_of(const void* data, sample_type type,
                                                 const std::vector<std::int64_t>& extents,
                                                 const std::vector<std::ptrdiff_t>& strides) {
  std::intptr_t low = reinterpret_cast<std::intptr_t>(data), high = low;
  for (std::size_t a = 0; a < extents.size(); ++a) {
    const std::ptrdiff_t step = strides[a] * (extents[a] - 1);
    (step < 0 ? low : high) += step;
  }
  return {low, high + static_cast<std::intptr_t>(sample_bytes(type))};
}

void check(const nd_view& source, const nd_span& destination, const std::vector<int>& axes,
           const resize_settings& settings) {
  const auto fail = [](const std::string& why) { throw error(why); };
  if (source.data == nullptr || destination.data == nullptr) fail("no samples given");
  if (sample_bytes(source.type) == 0 || sample_bytes(destination.type) == 0) fail("unknown sample type");
  const std::size_t rank = source.extents.size();
  if (rank < 1 || rank > most_axes) fail("the array must have 1 to 32 axes");
  if (source.strides.size() != rank || destination.extents.size() != rank ||
      destination.strides.size() != rank)
    fail("the source and destination must have one extent and one stride per axis, as many axes each");
  if (axes.empty()) fail("no axis to resize");
  std::vector<bool> resized(rank, false);
  for (const int a : axes) {
    if (a < 0 || static_cast<std::size_t>(a) >= rank) fail("an axis is outside the array");
    if (resized[a]) fail("an axis is given twice");
    resized[a] = true;
  }
  for (std::size_t a = 0; a < rank; ++a) {
    if (source.extents[a] < 1) fail("the source has no samples");
    if (destination.extents[a] < 1) fail("the new size has no samples");
    if (!resized[a] && destination.extents[a] != source.extents[a])
      fail("the source and destination differ along an axis that is not resized");
    if (resized[a] && (source.extents[a] > INT32_MAX || destination.extents[a] > INT32_MAX))
      fail("a resized axis is longer than 2147483647");
  }
  if (!(settings.taper >= 0.0) || !std::isfinite(settings.taper)) fail("the taper must be a number >= 0");
  if (settings.method != engine::fast && settings.method != engine::direct) fail("unknown engine");
  const int channel = source.channel_axis;
  if (channel != -1 && (channel < 0 || static_cast<std::size_t>(channel) >= rank || resized[channel]))
    fail("the channel axis must be an axis of the array that is not resized, or -1");
  if (settings.alpha) {
    if (channel == -1) fail("alpha needs a channel axis");
    if (source.extents[channel] < 2) fail("alpha needs a colour channel beside it");
    if (source.strides[channel] == 0) fail("alpha needs channels apart (a channel stride of 0)");
  }
  if (!elements_apart(destination.type, destination.extents, destination.strides))
    fail("the destination's strides put several samples in one place (a stride of 0, or overlapping axes)");
  const auto [source_low, source_high] = bytes_of(source.data, source.type, source.extents, source.strides);
  const auto [low, high] =
      bytes_of(destination.data, destination.type, destination.extents, destination.strides);
  if (low < source_high && source_low < high) fail("the destination overlaps the source");
}

// Two axes: each plane of the other axes through the 2-D resize, the
// channel axis (the one given, else the last of the others) as its
// channels.
void resize_planes(const nd_view& source, const nd_span& destination, std::vector<int> axes,
                   const resize_settings& settings) {
  std::sort(axes.begin(), axes.end());
  const int rank = static_cast<int>(source.extents.size());
  int channel = source.channel_axis;
  if (channel == -1)
    for (int a = rank; a-- > 0;)
      if (a != axes[0] && a != axes[1] && !(source.extents[a] > 1 && source.strides[a] == 0)) {
        channel = a;
        break;
      }
  std::vector<int> frames;
  for (int a = 0; a < rank; ++a)
    if (a != axes[0] && a != axes[1] && a != channel) frames.push_back(a);
  std::int64_t count = 1;
  for (const int a : frames) count *= source.extents[a];

  image_view from;
  from.type = source.type;
  from.height = static_cast<std::int32_t>(source.extents[axes[0]]);
  from.width = static_cast<std::int32_t>(source.extents[axes[1]]);
  from.row_stride = source.strides[axes[0]];
  from.pixel_stride = source.strides[axes[1]];
  image_span to;
  to.type = destination.type;
  to.height = static_cast<std::int32_t>(destination.extents[axes[0]]);
  to.width = static_cast<std::int32_t>(destination.extents[axes[1]]);
  to.row_stride = destination.strides[axes[0]];
  to.pixel_stride = destination.strides[axes[1]];
  if (channel != -1) {
    from.channels = to.channels = static_cast<int>(source.extents[channel]);
    // A channel stride of 0 reads as "the sample's size": one channel then
    // has nothing to step over.
    from.channel_stride = from.channels > 1 ? source.strides[channel] : 0;
    to.channel_stride = to.channels > 1 ? destination.strides[channel] : 0;
  }
  for (std::int64_t f = 0; f < count; ++f) {
    std::ptrdiff_t in = 0, out = 0;
    std::int64_t rest = f;
    for (std::size_t i = frames.size(); i-- > 0;) {
      const int a = frames[i];
      const std::int64_t index = rest % source.extents[a];
      rest /= source.extents[a];
      in += index * source.strides[a];
      out += index * destination.strides[a];
    }
    from.data = static_cast<const std::uint8_t*>(source.data) + in;
    to.data = static_cast<std::uint8_t*>(destination.data) + out;
    resize(from, to, settings);
  }
}

// Calls f(byte offset, packed index, index along `channel` (0 without
// one)) for every element of an array, in the order of a packed array of
// its extents.
template <class F>
void each_element(const std::vector<std::int64_t>& extents, const std::vector<std::ptrdiff_t>& strides,
                  int channel, const F& f) {
  const std::size_t rank = extents.size();
  const std::int64_t inner = extents[rank - 1];
  const std::ptrdiff_t step = strides[rank - 1];
  const bool inner_channel = channel == static_cast<int>(rank) - 1;
  std::vector<std::int64_t> index(rank, 0);
  std::ptrdiff_t offset = 0;
  std::int64_t packed = 0;
  for (;;) {
    const std::int64_t c = channel == -1 ? 0 : index[channel];
    for (std::int64_t i = 0; i < inner; ++i) f(offset + i * step, packed + i, inner_channel ? i : c);
    packed += inner;
    for (std::size_t a = rank - 1;;) {
      if (a == 0) return;
      --a;
      offset += strides[a];
      if (++index[a] < extents[a]) break;
      offset -= strides[a] * extents[a];
      index[a] = 0;
    }
  }
}

std::vector<std::ptrdiff_t> packed_steps(const std::vector<std::int64_t>& extents, std::ptrdiff_t size) {
  std::vector<std::ptrdiff_t> steps(extents.size());
  for (std::size_t a = extents.size(); a-- > 0; size *= extents[a]) steps[a] = size;
  return steps;
}

std::int64_t element_count(const std::vector<std::int64_t>& extents) {
  std::int64_t count = 1;
  for (const std::int64_t e : extents) count *= e;
  return count;
}

// Room for `count` doubles, each written before it is read: no time spent
// zeroing, and on huge pages where large (a fault every 2 MiB, not 4 KiB).
std::unique_ptr<double[]> unfilled_doubles(std::int64_t count) {
  std::unique_ptr<double[]> values(new double[static_cast<std::size_t>(count)]);
  advise_huge_pages(values.get(), static_cast<std::size_t>(count) * sizeof(double));
  return values;
}

// Alpha or linear light along other than two axes. The engine's passes
// take one axis at a time, so the 2-D resize's per-sample steps go around
// them: every element's colour to linear light and premultiplied by its
// alpha into an array of doubles, that array resized, and every result
// divided by the alpha resized with it, encoded again and quantised, by the
// very rules (and tables) the 2-D resize applies sample by sample. False
// when settings.proceed said stop, before anything is written.
bool resize_colour(const nd_view& source, const nd_span& destination, const std::vector<int>& axes,
                   const resize_settings& settings) {
  const double source_full = sample_full_scale(source.type);
  const double destination_full = sample_full_scale(destination.type);
  const int channel = source.channel_axis;
  // The alpha channel's index along the channel axis; -1: every element is colour.
  const std::int64_t alpha = settings.alpha ? source.extents[channel] - 1 : -1;
  std::optional<linear_light> light;
  if (settings.linear)
    light.emplace(source_full, !is_float(source.type), destination_full, !is_float(destination.type),
                  settings.round);

  std::unique_ptr<double[]> before = unfilled_doubles(element_count(source.extents));
  with_type(source.type, [&](auto type) {
    using T = decltype(type);
    const auto* base = static_cast<const std::uint8_t*>(source.data);
    const std::ptrdiff_t to_alpha = alpha == -1 ? 0 : source.strides[channel];
    each_element(source.extents, source.strides, channel,
                 [&](std::ptrdiff_t at, std::int64_t k, std::int64_t c) {
                   double v = static_cast<double>(load<T>(base + at));
                   if (c != alpha) {
                     if (light) v = light->to_linear(v);
                     if (alpha != -1)
                       v *= static_cast<double>(load<T>(base + at + (alpha - c) * to_alpha)) / source_full;
                   }
                   before[k] = v;
                 });
  });

  const std::unique_ptr<double[]> after = unfilled_doubles(element_count(destination.extents));
  const std::vector<std::ptrdiff_t> after_steps = packed_steps(destination.extents, 1);
  nd_proceed proceed;
  if (settings.proceed) proceed = [&settings] { return settings.proceed(settings.context); };
  if (!nd_resample({before.get(), sample_type::f64, source.extents, packed_steps(source.extents, 8)},
                   {after.get(), sample_type::f64, destination.extents, packed_steps(destination.extents, 8),
                    1.0, settings.round},
                   axes, settings.threads, settings.taper, proceed))
    return false;
  before.reset();

  const double to_destination = destination_full / source_full;
  const auto write = [&](auto type, auto mode) {
    using T = decltype(type);
    constexpr double visible = visible_alpha<T, decltype(mode)::value>();
    auto* base = static_cast<std::uint8_t*>(destination.data);
    const std::ptrdiff_t to_alpha = alpha == -1 ? 0 : after_steps[channel];
    each_element(destination.extents, destination.strides, channel,
                 [&](std::ptrdiff_t at, std::int64_t k, std::int64_t c) {
                   double v = after[k];
                   if (c != alpha) {
                     if (alpha != -1)
                       v = unpremultiplied(v, after[k + (alpha - c) * to_alpha], source_full, to_destination,
                                           visible);
                     if (light && !is_float(destination.type)) {
                       const T code = static_cast<T>(light->code_of(v));
                       std::memcpy(base + at, &code, sizeof code);
                       return;
                     }
                     if (light) v = light->to_encoded(v);
                   }
                   store<T, decltype(mode)::value>(v * to_destination, base + at);
                 });
  };
  with_type(destination.type, [&](auto type) {
    if (settings.round == rounding::nearest)
      write(type, std::integral_constant<rounding, rounding::nearest>{});
    else
      write(type, std::integral_constant<rounding, rounding::trunc>{});
  });
  return true;
}

}  // namespace

void resize(const nd_view& source, const nd_span& destination, const std::vector<int>& axes,
            const resize_settings& settings) {
  check(source, destination, axes, settings);
  if (axes.size() == 2) return resize_planes(source, destination, axes, settings);
  bool done;
  try {
    if (settings.alpha || settings.linear) {
      done = resize_colour(source, destination, axes, settings);
    } else {
      nd_samples in{source.data, source.type, source.extents, source.strides};
      nd_target out{destination.data,
                    destination.type,
                    destination.extents,
                    destination.strides,
                    sample_full_scale(destination.type) / sample_full_scale(source.type),
                    settings.round};
      nd_proceed proceed;
      if (settings.proceed) proceed = [&settings] { return settings.proceed(settings.context); };
      done = nd_resample(in, out, axes, settings.threads, settings.taper, proceed);
    }
  } catch (const std::bad_alloc&) {
    throw error("out of memory for a resize of an array of " + std::to_string(source.extents.size()) +
                " axes");
  } catch (const std::system_error& e) {
    throw error(e.what());  // no thread to be had
  }
  if (!done) throw stopped();
}

std::uint64_t resize_working_bytes(const std::vector<std::int64_t>& extents,
                                   const std::vector<std::int64_t>& new_extents, const std::vector<int>& axes,
                                   const resize_settings& settings) {
  if (axes.size() == 2) {
    const int rows = std::min(axes[0], axes[1]), cols = std::max(axes[0], axes[1]);
    // A third axis may be the channels, resized together when held.
    const int channels =
        extents.size() == 3 ? static_cast<int>(std::min<std::int64_t>(extents[3 - axes[0] - axes[1]], 1 << 30)) : 1;
    return resize_working_bytes(static_cast<std::int32_t>(extents[cols]),
                                static_cast<std::int32_t>(extents[rows]),
                                static_cast<std::int32_t>(new_extents[cols]),
                                static_cast<std::int32_t>(new_extents[rows]), channels, settings);
  }
  const std::uint64_t colour =
      settings.alpha || settings.linear
          ? 8 * static_cast<std::uint64_t>(element_count(extents) + element_count(new_extents))
          : 0;
  return colour + nd_working_bytes(extents, new_extents, axes, settings.threads);
}

}  // namespace pellimor
