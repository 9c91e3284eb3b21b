// SPDX-License-Identifier: MIT
// nd_resample.cc - one batched pass per resized axis (see nd_resample.h).
#include "dct/nd_resample.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <numeric>
#include <type_traits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "dct/fast_resample.h"
#include "dct/fft_dct.h"
#include "dct/reorder.h"
#include "dct/sample_rules.h"
#include "dct/worker_pool.h"

namespace pellimor::detail {

namespace {

constexpr int lines_per_batch = 8;

template <class T>
T load(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);  // the caller's array need not be aligned
  return v;
}

// Calls f(T{}) for the C++ type of `type`.
template <class F>
void with_type(pellimor::sample_type type, const F& f) {
  switch (type) {
    case pellimor::sample_type::u8:
      return f(std::uint8_t{});
    case pellimor::sample_type::u16:
      return f(std::uint16_t{});
    case pellimor::sample_type::f32:
      return f(float{});
    case pellimor::sample_type::f64:
      return f(double{});
  }
}

// One pass: every line along `axis` of an array of `extents` resized to
// new_n, read at in + in_strides and written at out + out_strides.
struct pass {
  const std::uint8_t* in;
  std::vector<std::ptrdiff_t> in_strides;
  std::uint8_t* out;
  std::vector<std::ptrdiff_t> out_strides;
  std::vector<std::int64_t> extents;
  int axis;
  std::int32_t new_n;
};

// Stores a value as T: integers saturated and quantised, floats as they are.
template <class T, pellimor::rounding mode>
struct typed_store {
  static constexpr bool to_double = std::is_same_v<T, double>;
  double scale;
  void operator()(std::uint8_t* p, double value) const {
    T v;
    if constexpr (std::is_floating_point_v<T>)
      v = static_cast<T>(value * scale);
    else
      v = static_cast<T>(
          quantise_value(value * scale, static_cast<double>(std::numeric_limits<T>::max()), mode));
    std::memcpy(p, &v, sizeof v);
  }
};

struct double_store {
  static constexpr bool to_double = true;
  double scale = 1.0;
  void operator()(std::uint8_t* p, double value) const { std::memcpy(p, &value, sizeof value); }
};

struct pass_plans {
  dct_plan forward, inverse;
  std::vector<double> weight;  // per kept coefficient: 2/n, taper, the zero-frequency halving
  pass_plans(std::int32_t n, std::int32_t new_n, double taper) {
    forward = make_dct_plan(n, lines_per_batch, dct_use::dct2);
    try {
      inverse = make_dct_plan(new_n, lines_per_batch, dct_use::dct3);
    } catch (...) {
      destroy_dct_plan(&forward);
      throw;
    }
    const std::int32_t kept = kept_count(n, new_n);
    weight.resize(kept);
    for (std::int32_t k = 0; k < kept; ++k)
      weight[k] = 2.0 / n * taper_factor(k, kept, taper) * (k == 0 ? 0.5 : 1.0);
  }
  ~pass_plans() {
    destroy_dct_plan(&forward);
    destroy_dct_plan(&inverse);
  }
  pass_plans(const pass_plans&) = delete;
  pass_plans& operator=(const pass_plans&) = delete;
};

// The axes of a pass other than `skipped`, innermost last, as (extent, in
// stride, out stride): item L is the C-order index L over them.
struct line_walk {
  std::vector<std::int64_t> extent;
  std::vector<std::ptrdiff_t> in_stride, out_stride;
  line_walk(const pass& p, std::initializer_list<int> skipped) {
    for (std::size_t a = 0; a < p.extents.size(); ++a) {
      if (std::find(skipped.begin(), skipped.end(), static_cast<int>(a)) != skipped.end()) continue;
      extent.push_back(p.extents[a]);
      in_stride.push_back(p.in_strides[a]);
      out_stride.push_back(p.out_strides[a]);
    }
  }
  std::int64_t count() const {
    return std::accumulate(extent.begin(), extent.end(), std::int64_t{1}, std::multiplies<>());
  }
  void offsets(std::int64_t line, std::ptrdiff_t* in, std::ptrdiff_t* out) const {
    std::ptrdiff_t i = 0, o = 0;
    for (std::size_t a = extent.size(); a-- > 0;) {
      const std::int64_t index = line % extent[a];
      line /= extent[a];
      i += index * in_stride[a];
      o += index * out_stride[a];
    }
    *in = i;
    *out = o;
  }
};

// A pass that writes more than this streams its lines past the cache.
constexpr std::int64_t stream_bytes = std::int64_t{8} << 20;

std::int64_t count_of(const std::vector<std::int64_t>& extents) {
  return std::accumulate(extents.begin(), extents.end(), std::int64_t{1}, std::multiplies<>());
}

// The sample at reordered place p of a line of n: the inverse of
// reordered_index.
std::int64_t sample_at_place(std::int64_t p, std::int64_t n) { return 2 * p < n ? 2 * p : 2 * (n - 1 - p) + 1; }

// How many places ahead gather_side_by_side asks for a sample's bytes: on
// a strided axis each sample is a page or more from the last, too far for
// the hardware to see coming.
constexpr std::int32_t prefetch_places = 8;

// A batch of lines of doubles lying side by side (line j's sample k at
// first + k * step + 8 j bytes) into its reordered rows of `real`, rf
// doubles apart. Each sample of the batch is one load of 64 bytes, turned
// two places by two lines at a time.
void gather_side_by_side(const std::uint8_t* first, std::ptrdiff_t step, const std::int64_t* sample, std::int32_t n,
                         double* real, std::int64_t rf) {
  std::int32_t p = 0;
#ifdef __SSE2__
  for (; p + 2 <= n; p += 2) {
    if (p + prefetch_places + 1 < n) {
      __builtin_prefetch(first + sample[p + prefetch_places] * step);
      __builtin_prefetch(first + sample[p + prefetch_places + 1] * step);
    }
    const auto* a = reinterpret_cast<const double*>(first + sample[p] * step);
    const auto* b = reinterpret_cast<const double*>(first + sample[p + 1] * step);
    for (int j = 0; j < lines_per_batch; j += 2) {
      const __m128d va = _mm_loadu_pd(a + j), vb = _mm_loadu_pd(b + j);
      _mm_storeu_pd(real + j * rf + p, _mm_unpacklo_pd(va, vb));
      _mm_storeu_pd(real + (j + 1) * rf + p, _mm_unpackhi_pd(va, vb));
    }
  }
#endif
  for (; p < n; ++p)
    for (int j = 0; j < lines_per_batch; ++j)
      real[j * rf + p] = load<double>(first + sample[p] * step + j * sizeof(double));
}

#ifdef __SSE2__
// scatter_side_by_side's pairs of places, each pair of lines' two values
// stored by store(to, values).
template <class Store>
std::int32_t scatter_pairs(const double* real, std::int64_t ri, const std::int64_t* sample, std::int32_t n,
                           std::uint8_t* first, std::ptrdiff_t step, double scale, const Store& store) {
  const __m128d s = _mm_set1_pd(scale);
  std::int32_t p = 0;
  for (; p + 2 <= n; p += 2) {
    auto* a = reinterpret_cast<double*>(first + sample[p] * step);
    auto* b = reinterpret_cast<double*>(first + sample[p + 1] * step);
    for (int j = 0; j < lines_per_batch; j += 2) {
      const __m128d x = _mm_loadu_pd(real + j * ri + p), y = _mm_loadu_pd(real + (j + 1) * ri + p);
      store(a + j, _mm_mul_pd(_mm_unpacklo_pd(x, y), s));
      store(b + j, _mm_mul_pd(_mm_unpackhi_pd(x, y), s));
    }
  }
  return p;
}
#endif

// The reverse, times `scale` (a multiplication by 1 leaves every value as it is).
// With `stream` (first and step multiples of 16), written past the cache:
// each sample of the batch is a whole cache line of its own page when the
// array is 64-byte aligned, and fetching it first, only to overwrite it,
// would be most of the pass's time.
void scatter_side_by_side(const double* real, std::int64_t ri, const std::int64_t* sample, std::int32_t n,
                          std::uint8_t* first, std::ptrdiff_t step, double scale, bool stream) {
  std::int32_t p = 0;
#ifdef __SSE2__
  if (stream) {
    p = scatter_pairs(real, ri, sample, n, first, step, scale,
                      [](double* to, __m128d v) { _mm_stream_pd(to, v); });
    _mm_sfence();  // the streamed stores are seen before anything stored after them
  } else {
    p = scatter_pairs(real, ri, sample, n, first, step, scale,
                      [](double* to, __m128d v) { _mm_storeu_pd(to, v); });
  }
#endif
  for (; p < n; ++p)
    for (int j = 0; j < lines_per_batch; ++j) {
      const double v = real[j * ri + p] * scale;
      std::memcpy(first + sample[p] * step + j * sizeof(double), &v, sizeof v);
    }
}

// A reordered line back into n packed doubles (the reverse of
// load_reordered_doubles), times `scale`; with `stream`, past the cache
// where the line starts on a 16-byte boundary.
void store_reordered_line(std::int32_t n, const double* in, double scale, std::uint8_t* bytes, bool stream) {
  std::int32_t i = 0;
#ifdef __SSE2__
  auto* line = reinterpret_cast<double*>(bytes);
  const __m128d s = _mm_set1_pd(scale);
  if (stream && reinterpret_cast<std::uintptr_t>(bytes) % 16 == 0) {
    for (; 2 * i + 4 <= n; i += 2) {
      const __m128d even = _mm_loadu_pd(in + i), r = _mm_loadu_pd(in + n - 2 - i);
      const __m128d odd = _mm_shuffle_pd(r, r, 1);
      _mm_stream_pd(line + 2 * i, _mm_mul_pd(_mm_unpacklo_pd(even, odd), s));
      _mm_stream_pd(line + 2 * i + 2, _mm_mul_pd(_mm_unpackhi_pd(even, odd), s));
    }
    _mm_sfence();
  }
  for (; 2 * i + 4 <= n; i += 2) {
    const __m128d even = _mm_loadu_pd(in + i), r = _mm_loadu_pd(in + n - 2 - i);
    const __m128d odd = _mm_shuffle_pd(r, r, 1);  // n - 1 - i, n - 2 - i
    _mm_storeu_pd(line + 2 * i, _mm_mul_pd(_mm_unpacklo_pd(even, odd), s));
    _mm_storeu_pd(line + 2 * i + 2, _mm_mul_pd(_mm_unpackhi_pd(even, odd), s));
  }
#endif
  for (std::int32_t j = i; 2 * j < n; ++j) {
    const double v = in[j] * scale;
    std::memcpy(bytes + 2 * j * sizeof(double), &v, sizeof v);
  }
  for (std::int32_t j = i; 2 * j + 1 < n; ++j) {
    const double v = in[n - 1 - j] * scale;
    std::memcpy(bytes + (2 * j + 1) * sizeof(double), &v, sizeof v);
  }
}

// Whether a batch's lines lie side by side, `size` bytes apart.
bool side_by_side(const std::ptrdiff_t* at, std::ptrdiff_t size) {
  for (int j = 1; j < lines_per_batch; ++j)
    if (at[j] != at[0] + j * size) return false;
  return true;
}

// One axis's resize, n samples to new_n, of a batch of lines anywhere: its
// plans, weights and the tables of where each sample lies reordered.
struct line_resizer {
  std::int32_t n, new_n, kept;
  pass_plans plans;
  std::vector<std::int32_t> from_place, to_place;   // where sample k lies reordered
  std::vector<std::int64_t> from_sample, to_sample;  // the sample at each reordered place

  line_resizer(std::int32_t n_, std::int32_t new_n_, double taper)
      : n(n_), new_n(new_n_), kept(kept_count(n_, new_n_)), plans(n_, new_n_, taper),
        from_place(n_), to_place(new_n_), from_sample(n_), to_sample(new_n_) {
    for (std::int32_t k = 0; k < n; ++k) {
      from_place[k] = static_cast<std::int32_t>(reordered_index(k, n));
      from_sample[k] = sample_at_place(k, n);
    }
    for (std::int32_t k = 0; k < new_n; ++k) {
      to_place[k] = static_cast<std::int32_t>(reordered_index(k, new_n));
      to_sample[k] = sample_at_place(k, new_n);
    }
  }

  // Lines j < lines_per_batch read at in + in_at[j] (sample k at + k *
  // in_step; repeats of the last line fill a short batch), the first `count`
  // written at out + out_at[j] (sample k at + k * out_step, out_sample
  // bytes each). `stream`: see scatter_side_by_side.
  template <class In, class Store>
  void batch(dct_workspace& space, const std::uint8_t* in, const std::ptrdiff_t* in_at, std::ptrdiff_t in_step,
             std::uint8_t* out, const std::ptrdiff_t* out_at, std::ptrdiff_t out_step, int count,
             const Store& store, std::int32_t out_sample, bool stream) const {
    constexpr bool doubles_in = std::is_same_v<In, double>, doubles_out = Store::to_double;
    // A line whose samples lie side by side is read (written) one line at a
    // time; otherwise the batch's lines are taken sample by sample across
    // them, which for neighbouring lines touches neighbouring bytes.
    const bool in_packed = in_step == static_cast<std::ptrdiff_t>(sizeof(In));
    const bool out_packed = out_step == out_sample;
    const std::int64_t rf = plans.forward.real_distance, ri = plans.inverse.real_distance;
    double* real = space.real.get();
    // Samples in, reordered as fft_dct.h takes them: evens up, odds down.
    if (doubles_in && in_packed) {
      for (int j = 0; j < lines_per_batch; ++j) load_reordered_doubles(n, in + in_at[j], real + j * rf);
    } else if (doubles_in && side_by_side(in_at, sizeof(double))) {
      gather_side_by_side(in + in_at[0], in_step, from_sample.data(), n, real, rf);
    } else if (in_packed) {
      for (int j = 0; j < lines_per_batch; ++j) {
        const std::uint8_t* line = in + in_at[j];
        double* to = real + j * rf;
        for (std::int32_t k = 0; k < n; ++k) to[from_place[k]] = static_cast<double>(load<In>(line + k * in_step));
      }
    } else {
      for (std::int32_t k = 0; k < n; ++k) {
        const std::int64_t at = from_place[k];
        const std::uint8_t* sample = in + k * in_step;
        for (int j = 0; j < lines_per_batch; ++j) real[j * rf + at] = static_cast<double>(load<In>(sample + in_at[j]));
      }
    }
    dct2_batch(plans.forward, space, kept);
    // The kept coefficients, weighed, to where the inverse plan takes them.
    const double* weight = plans.weight.data();
    if (ri > rf) {
      for (int j = lines_per_batch; j-- > 0;)
        for (std::int32_t k = kept; k-- > 0;) real[j * ri + k] = real[j * rf + k] * weight[k];
    } else {
      for (int j = 0; j < lines_per_batch; ++j)
        for (std::int32_t k = 0; k < kept; ++k) real[j * ri + k] = real[j * rf + k] * weight[k];
    }
    dct3_batch(plans.inverse, space, kept);
    if (doubles_out && out_packed) {
      for (int j = 0; j < count; ++j)
        store_reordered_line(new_n, real + j * ri, store.scale, out + out_at[j], stream);
    } else if (doubles_out && count == lines_per_batch && side_by_side(out_at, sizeof(double))) {
      scatter_side_by_side(real, ri, to_sample.data(), new_n, out + out_at[0], out_step, store.scale,
                           stream && (reinterpret_cast<std::uintptr_t>(out + out_at[0]) | out_step) % 16 == 0);
    } else if (out_packed) {
      for (int j = 0; j < count; ++j) {
        std::uint8_t* line = out + out_at[j];
        const double* from = real + j * ri;
        for (std::int32_t k = 0; k < new_n; ++k) store(line + k * out_step, from[to_place[k]]);
      }
    } else {
      for (std::int32_t k = 0; k < new_n; ++k) {
        const std::int64_t at = to_place[k];
        std::uint8_t* sample = out + k * out_step;
        for (int j = 0; j < count; ++j) store(sample + out_at[j], real[j * ri + at]);
      }
    }
  }
};

// Asks `proceed` once per item of work, and remembers a stop.
struct stop_check {
  const nd_proceed& proceed;
  std::atomic<bool> stopped{false};
  bool go_on() {
    if (stopped.load(std::memory_order_relaxed)) return false;
    if (proceed && !proceed()) {
      stopped = true;
      return false;
    }
    return true;
  }
};

template <class In, class Store>
bool run_pass(const pass& p, const Store& store, std::int32_t out_sample, int threads, double taper,
              const nd_proceed& proceed) {
  const std::int32_t n = static_cast<std::int32_t>(p.extents[p.axis]), new_n = p.new_n;
  const line_resizer lines_of(n, new_n, taper);
  const line_walk walk(p, {p.axis});
  const std::int64_t lines = walk.count();
  const std::int64_t batches = (lines + lines_per_batch - 1) / lines_per_batch;
  const int workers = std::max(1, static_cast<int>(std::min<std::int64_t>(worker_threads(threads), batches)));
  std::vector<dct_workspace> spaces;
  for (int w = 0; w < workers; ++w)
    spaces.push_back(make_dct_workspace({&lines_of.plans.forward, &lines_of.plans.inverse}));
  const std::ptrdiff_t in_step = p.in_strides[p.axis], out_step = p.out_strides[p.axis];
  // A large result goes past the cache (see scatter_side_by_side).
  const bool stream = lines * new_n * out_sample > stream_bytes;
  stop_check check{proceed};
  for_each_item(batches, workers, [&](std::int64_t b, int w) {
    if (!check.go_on()) return;
    const std::int64_t first = b * lines_per_batch;
    const int count = static_cast<int>(std::min<std::int64_t>(lines_per_batch, lines - first));
    std::ptrdiff_t in_at[lines_per_batch], out_at[lines_per_batch];
    for (int j = 0; j < lines_per_batch; ++j) walk.offsets(first + std::min(j, count - 1), &in_at[j], &out_at[j]);
    lines_of.batch<In>(spaces[w], p.in, in_at, in_step, p.out, out_at, out_step, count, store, out_sample, stream);
  });
  return !check.stopped;
}

// Bytes of the array of doubles a plane pass keeps per worker: a plane with
// its first axis resized, rows of the second axis padded to whole cache
// lines and one more. A batch writes one cache line into each row; rows a
// power of two apart would put those lines in a handful of the cache's
// sets, each write evicting the last.
std::int64_t plane_bytes(std::int64_t new_n_a, std::int64_t n_b) {
  return new_n_a * ((n_b + lines_per_batch - 1) / lines_per_batch + 1) * lines_per_batch *
         static_cast<std::int64_t>(sizeof(double));
}

// Planes whose buffer is larger than this go through two passes instead.
constexpr std::int64_t most_plane_bytes = std::int64_t{2} << 20;

// The last two passes in one, plane by plane: for each index of the other
// axes, the plane along axes a and b (b the destination's innermost, its
// samples side by side) is resized along a into a worker's buffer, in
// batches of lines side by side, and from there along b, row by row, into
// the destination. The plane's samples are read once and its result written
// once, each in whole cache lines; the array between the two passes never
// leaves the cache. Every line goes through the plans the two passes would
// use, so the values are theirs, bit for bit. A plane reads all its samples
// before it writes any, so the source may be the destination itself.
template <class In, class Store>
bool run_planes(const pass& p, int b, std::int32_t new_n_b, const Store& store, std::int32_t out_sample,
                int threads, double taper, const nd_proceed& proceed) {
  const int a = p.axis;
  const std::int32_t n_a = static_cast<std::int32_t>(p.extents[a]), new_n_a = p.new_n;
  const std::int32_t n_b = static_cast<std::int32_t>(p.extents[b]);
  const line_resizer along_a(n_a, new_n_a, taper), along_b(n_b, new_n_b, taper);
  const line_walk walk(p, {a, b});
  const std::int64_t planes = walk.count();
  const int workers = std::max(1, static_cast<int>(std::min<std::int64_t>(worker_threads(threads), planes)));
  const std::ptrdiff_t row = plane_bytes(1, n_b);  // bytes between the buffer's rows
  std::vector<dct_workspace> spaces;
  std::vector<std::unique_ptr<double[]>> buffers;
  for (int w = 0; w < workers; ++w) {
    spaces.push_back(make_dct_workspace({&along_a.plans.forward, &along_a.plans.inverse, &along_b.plans.forward,
                                         &along_b.plans.inverse}));
    buffers.emplace_back(new double[static_cast<std::size_t>(plane_bytes(new_n_a, n_b) / sizeof(double))]);
  }
  const bool stream = planes * new_n_a * new_n_b * out_sample > stream_bytes;
  stop_check check{proceed};
  for_each_item(planes, workers, [&](std::int64_t plane, int w) {
    if (!check.go_on()) return;
    std::ptrdiff_t in_plane, out_plane;
    walk.offsets(plane, &in_plane, &out_plane);
    const std::uint8_t* in = p.in + in_plane;
    std::uint8_t* out = p.out + out_plane;
    auto* buffer = reinterpret_cast<std::uint8_t*>(buffers[w].get());
    std::ptrdiff_t in_at[lines_per_batch], out_at[lines_per_batch];
    for (std::int32_t first = 0; first < n_b; first += lines_per_batch) {
      const int count = std::min(lines_per_batch, n_b - first);
      for (int j = 0; j < lines_per_batch; ++j) {
        in_at[j] = std::min(first + j, n_b - 1) * p.in_strides[b];
        out_at[j] = (first + std::min(j, count - 1)) * static_cast<std::ptrdiff_t>(sizeof(double));
      }
      along_a.batch<In>(spaces[w], in, in_at, p.in_strides[a], buffer, out_at, row, count, double_store{},
                        sizeof(double), false);
    }
    for (std::int32_t first = 0; first < new_n_a; first += lines_per_batch) {
      const int count = std::min(lines_per_batch, new_n_a - first);
      for (int j = 0; j < lines_per_batch; ++j) {
        in_at[j] = std::min(first + j, new_n_a - 1) * row;
        out_at[j] = std::min(first + j, new_n_a - 1) * p.out_strides[a];
      }
      along_b.batch<double>(spaces[w], buffer, in_at, sizeof(double), out, out_at, p.out_strides[b], count, store,
                            out_sample, stream);
    }
  });
  return !check.stopped;
}

// A packed C-order array of doubles between passes.
struct value_array {
  std::unique_ptr<double[]> values;
  std::vector<std::ptrdiff_t> strides;
  explicit value_array(const std::vector<std::int64_t>& extents) {
    std::int64_t count = 1;
    strides.resize(extents.size());
    for (std::size_t a = extents.size(); a-- > 0;) {
      strides[a] = static_cast<std::ptrdiff_t>(count * sizeof(double));
      count *= extents[a];
    }
    values.reset(new double[count]);  // every value is written by the pass that makes it
  }
};

// The axes in the order their passes run: shrinking first (the arrays
// between passes stay small), the outermost first among equals; then the
// destination's innermost axis (-1: none) last when it is not shrunk, which
// leaves every array between no larger and lets the last two passes run as
// planes (see run_planes).
std::vector<int> pass_order(const std::vector<std::int64_t>& extents,
                            const std::vector<std::int64_t>& new_extents, std::vector<int> axes, int innermost) {
  std::stable_sort(axes.begin(), axes.end(), [&](int a, int b) {
    const double ra = static_cast<double>(new_extents[a]) / extents[a];
    const double rb = static_cast<double>(new_extents[b]) / extents[b];
    return ra != rb ? ra < rb : a < b;
  });
  const auto at = std::find(axes.begin(), axes.end(), innermost);
  if (at != axes.end() && new_extents[innermost] >= extents[innermost]) std::rotate(at, at + 1, axes.end());
  return axes;
}

// The resized axis along which the destination's samples lie side by side
// (the last such, when axes of one sample have that stride too); -1 when none.
int innermost_axis(const nd_target& destination, const std::vector<int>& axes) {
  const auto size = static_cast<std::ptrdiff_t>(pellimor::sample_bytes(destination.type));
  int innermost = -1;
  for (const int a : axes)
    if (destination.strides[a] == size && (innermost == -1 || a > innermost)) innermost = a;
  return innermost;
}

// Whether the last two passes of `order` run as planes: the last is along
// the destination's innermost axis and a plane's buffer is small enough to
// stay in the cache.
bool as_planes(const std::vector<std::int64_t>& extents, const std::vector<std::int64_t>& new_extents,
               const std::vector<int>& order, int innermost) {
  if (order.size() < 2 || order.back() != innermost) return false;
  return plane_bytes(new_extents[order[order.size() - 2]], extents[innermost]) <= most_plane_bytes;
}

// The first pass from which the values between passes can live in a
// float64 destination itself, at its own strides: every pass from there on
// keeps or enlarges its axis, so each array between fits inside the
// destination's extents. order.size() when none can.
std::size_t first_in_destination(const std::vector<std::int64_t>& extents, const nd_target& destination,
                                 const std::vector<int>& order) {
  if (destination.type != pellimor::sample_type::f64) return order.size();
  std::size_t first = order.size();
  while (first > 0 && destination.extents[order[first - 1]] >= extents[order[first - 1]]) --first;
  return first;
}

}  // namespace

bool nd_resample(const nd_samples& source, const nd_target& destination, const std::vector<int>& axes,
                 int threads, double taper, const nd_proceed& proceed) {
  const int innermost = innermost_axis(destination, axes);
  const std::vector<int> order = pass_order(source.extents, destination.extents, axes, innermost);
  const bool planes = as_planes(source.extents, destination.extents, order, innermost);
  const std::size_t in_place = first_in_destination(source.extents, destination, order);
  std::vector<std::int64_t> extents = source.extents;
  std::unique_ptr<value_array> held;  // the input of the current pass, when an array between
  for (std::size_t i = 0; i < order.size(); ++i) {
    const int axis = order[i];
    // With planes, the pass before the last runs both.
    const bool both = planes && i + 2 == order.size();
    const bool last = both || i + 1 == order.size();
    pass p;
    if (i > in_place) {  // in place: each batch (plane) reads its lines whole before it writes them
      p.in = static_cast<const std::uint8_t*>(destination.data);
      p.in_strides = destination.strides;
    } else if (held) {
      p.in = reinterpret_cast<const std::uint8_t*>(held->values.get());
      p.in_strides = held->strides;
    } else {
      p.in = static_cast<const std::uint8_t*>(source.data);
      p.in_strides = source.strides;
    }
    p.extents = extents;
    p.axis = axis;
    p.new_n = static_cast<std::int32_t>(destination.extents[axis]);
    extents[axis] = destination.extents[axis];
    std::unique_ptr<value_array> made;
    if (last || i >= in_place) {
      p.out = static_cast<std::uint8_t*>(destination.data);
      p.out_strides = destination.strides;
    } else {
      made = std::make_unique<value_array>(extents);
      p.out = reinterpret_cast<std::uint8_t*>(made->values.get());
      p.out_strides = made->strides;
    }
    const auto run_from = [&](const auto& store, std::int32_t out_sample) {
      bool done = false;
      const auto run = [&](auto t) {
        using In = decltype(t);
        done = both ? run_planes<In>(p, order.back(), static_cast<std::int32_t>(destination.extents[order.back()]),
                                     store, out_sample, threads, taper, proceed)
                    : run_pass<In>(p, store, out_sample, threads, taper, proceed);
      };
      if (i > 0)
        run(double{});
      else
        with_type(source.type, run);
      return done;
    };
    bool done = false;
    if (!last) {
      done = run_from(double_store{}, sizeof(double));
    } else {
      with_type(destination.type, [&](auto t) {
        using T = decltype(t);
        const auto size = static_cast<std::int32_t>(sizeof(T));
        if (destination.round == pellimor::rounding::nearest)
          done = run_from(typed_store<T, pellimor::rounding::nearest>{destination.scale}, size);
        else
          done = run_from(typed_store<T, pellimor::rounding::trunc>{destination.scale}, size);
      });
    }
    if (!done) return false;
    if (both) break;
    held = std::move(made);
  }
  return true;
}

std::uint64_t nd_working_bytes(const std::vector<std::int64_t>& extents,
                               const std::vector<std::int64_t>& new_extents, const std::vector<int>& axes,
                               int threads) {
  // As for a packed C-order destination: its last axis innermost.
  const int last_axis = static_cast<int>(extents.size()) - 1;
  const int innermost = std::find(axes.begin(), axes.end(), last_axis) != axes.end() ? last_axis : -1;
  const std::vector<int> order = pass_order(extents, new_extents, axes, innermost);
  std::vector<std::int64_t> now = extents;
  std::uint64_t most = 0, before = 0, longest = 0;
  for (std::size_t i = 0; i < order.size(); ++i) {
    longest = std::max<std::uint64_t>({longest, static_cast<std::uint64_t>(extents[order[i]]),
                                       static_cast<std::uint64_t>(new_extents[order[i]])});
    now[order[i]] = new_extents[order[i]];
    const std::uint64_t made = i + 1 == order.size() ? 0 : 8 * static_cast<std::uint64_t>(count_of(now));
    most = std::max(most, before + made);
    before = made;
  }
  // Per worker: a batch of lines and their spectra and chirp scratch, and
  // the buffer of a plane (whatever the destination's strides, at most this).
  const std::uint64_t scratch = lines_per_batch * (8 * longest + 16 * (longest / 2 + 8)) + 128 * longest +
                                (order.size() >= 2 ? static_cast<std::uint64_t>(most_plane_bytes) : 0);
  return most + static_cast<std::uint64_t>(worker_threads(threads)) * scratch;
}

}  // namespace pellimor::detail
