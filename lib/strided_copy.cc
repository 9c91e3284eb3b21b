// SPDX-License-Identifier: MIT
// strided_copy.cc - see strided_copy.h.
//
// Taking one channel out of interleaved 8-bit pixels a byte at a time costs
// a load and a store a sample, a noticeable share of a whole JPEG resize.
// With SSSE3 a byte shuffle per 16 source bytes picks out the channel's
// bytes, and an OR puts the picks together: 16 samples for three loads when
// the pixels have three samples. Putting a channel back takes byte-masked
// stores (AVX-512), else the plain loop: a whole vector stored would write
// the other channels' bytes too (with the values just read, but another
// thread may be writing them).
#include "lib/strided_copy.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PELLIMOR_X86_VECTORS 1
#endif

#include <array>
#include <cstring>
#include <type_traits>

namespace pellimor::detail {

namespace {

template <std::size_t size>
void plain_copy_sized(const std::uint8_t* from, std::ptrdiff_t from_step, std::uint8_t* to,
                      std::ptrdiff_t to_step, std::int32_t count) {
  constexpr auto packed = static_cast<std::ptrdiff_t>(size);
  if (from_step == packed && to_step == packed) {
    std::memcpy(to, from, static_cast<std::size_t>(count) * size);
    return;
  }
  for (std::int32_t i = 0; i < count; ++i) std::memcpy(to + i * to_step, from + i * from_step, size);
}

void plain_copy(const std::uint8_t* from, std::ptrdiff_t from_step, std::uint8_t* to, std::ptrdiff_t to_step,
                std::int32_t count, std::size_t size) {
  if (count <= 0) return;
  switch (size) {
    case 1:
      return plain_copy_sized<1>(from, from_step, to, to_step, count);
    case 2:
      return plain_copy_sized<2>(from, from_step, to, to_step, count);
    case 4:
      return plain_copy_sized<4>(from, from_step, to, to_step, count);
    case 8:
      return plain_copy_sized<8>(from, from_step, to, to_step, count);
    default:
      for (std::int32_t i = 0; i < count; ++i) std::memcpy(to + i * to_step, from + i * from_step, size);
  }
}

#ifdef PELLIMOR_X86_VECTORS

// For samples of `size` bytes, `k` samples apart: the shuffle that takes
// from the jth 16 bytes of a step the bytes of the step's 16 / size samples
// that lie there, each to its packed place (-128: a zero, for the OR).
template <int size, int k>
constexpr std::array<std::array<std::int8_t, 16>, k> gather_masks() {
  std::array<std::array<std::int8_t, 16>, k> masks{};
  for (int j = 0; j < k; ++j)
    for (int b = 0; b < 16; ++b) {
      const int from = b / size * k * size + b % size;
      masks[j][b] = static_cast<std::int8_t>(from / 16 == j ? from % 16 : -128);
    }
  return masks;
}

template <int size, int k>
alignas(16) constexpr std::array<std::array<std::int8_t, 16>, k> gather_mask = gather_masks<size, k>();

// Bytes from a step's first sample to the end of a count's last one: what
// the step's loads may read.
constexpr std::int64_t samples_end(std::int32_t count, int size, int k) {
  return static_cast<std::int64_t>(count - 1) * k * size + size;
}

struct ssse3 {
  // Gathers 16 bytes a step; returns the samples done.
  template <int size, int k>
  __attribute__((target("ssse3"))) static std::int32_t gather(const std::uint8_t* from, std::uint8_t* to,
                                                              std::int32_t count) {
    constexpr int per_step = 16 / size;
    __m128i mask[k];
    for (int j = 0; j < k; ++j)
      mask[j] = _mm_load_si128(reinterpret_cast<const __m128i*>(gather_mask<size, k>[j].data()));
    const std::int64_t end = samples_end(count, size, k);
    std::int32_t i = 0;
    for (; static_cast<std::int64_t>(i) * k * size + 16 * k <= end; i += per_step) {
      const std::uint8_t* p = from + static_cast<std::ptrdiff_t>(i) * k * size;
      __m128i v = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), mask[0]);
      for (int j = 1; j < k; ++j)
        v = _mm_or_si128(
            v, _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * j)), mask[j]));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + static_cast<std::ptrdiff_t>(i) * size), v);
    }
    return i;
  }
};

// 16 bytes at low and 16 at high, as the low and high lanes of one vector.
__attribute__((target("avx2"))) inline __m256i lanes(const std::uint8_t* low, const std::uint8_t* high) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}

// The same shuffles on two steps at once, one in each 128-bit lane (the
// shuffle does not cross lanes): 32 bytes a step.
struct avx2 {
  template <int size, int k>
  __attribute__((target("avx2"))) static std::int32_t gather(const std::uint8_t* from, std::uint8_t* to,
                                                             std::int32_t count) {
    constexpr int per_step = 32 / size;
    __m256i mask[k];
    for (int j = 0; j < k; ++j)
      mask[j] = _mm256_broadcastsi128_si256(
          _mm_load_si128(reinterpret_cast<const __m128i*>(gather_mask<size, k>[j].data())));
    const std::int64_t end = samples_end(count, size, k);
    std::int32_t i = 0;
    for (; static_cast<std::int64_t>(i) * k * size + 32 * k <= end; i += per_step) {
      const std::uint8_t* p = from + static_cast<std::ptrdiff_t>(i) * k * size;
      __m256i v = _mm256_shuffle_epi8(lanes(p, p + 16 * k), mask[0]);
      for (int j = 1; j < k; ++j)
        v = _mm256_or_si256(v, _mm256_shuffle_epi8(lanes(p + 16 * j, p + 16 * (k + j)), mask[j]));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + static_cast<std::ptrdiff_t>(i) * size), v);
    }
    return i;
  }
};

// Putting a channel back, the reverse: the shuffle that takes to the jth 16
// bytes of a step the packed bytes that belong there, and the bytes of the
// 16 it may write (the samples' own).
template <int size, int k>
struct scatter_masks {
  std::array<std::array<std::int8_t, 16>, k> shuffle{};
  std::array<std::uint16_t, k> store{};
};

template <int size, int k>
constexpr scatter_masks<size, k> make_scatter_masks() {
  scatter_masks<size, k> masks{};
  for (int j = 0; j < k; ++j)
    for (int b = 0; b < 16; ++b) {
      const int to = 16 * j + b, sample = to / (k * size), offset = to % (k * size);
      const bool own = offset < size;
      masks.shuffle[j][b] = static_cast<std::int8_t>(own ? sample * size + offset : -128);
      if (own) masks.store[j] = static_cast<std::uint16_t>(masks.store[j] | 1u << b);
    }
  return masks;
}

template <int size, int k>
alignas(16) constexpr scatter_masks<size, k> scatter_mask = make_scatter_masks<size, k>();

// With AVX-512's byte-masked stores a vector may put a channel back: the
// bytes outside the mask are not written at all, so the other channels'
// are never rewritten, not even with their own values.
struct avx512 : avx2 {
  template <int size, int k>
  __attribute__((target("avx512bw,avx512vl"))) static std::int32_t scatter(const std::uint8_t* from,
                                                                           std::uint8_t* to,
                                                                           std::int32_t count) {
    constexpr int per_step = 16 / size;
    const scatter_masks<size, k>& masks = scatter_mask<size, k>;
    __m128i shuffle[k];
    for (int j = 0; j < k; ++j)
      shuffle[j] = _mm_load_si128(reinterpret_cast<const __m128i*>(masks.shuffle[j].data()));
    const std::int64_t end = samples_end(count, size, k);
    std::int32_t i = 0;
    for (; static_cast<std::int64_t>(i) * k * size + 16 * k <= end; i += per_step) {
      const __m128i v =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + static_cast<std::ptrdiff_t>(i) * size));
      std::uint8_t* p = to + static_cast<std::ptrdiff_t>(i) * k * size;
      for (int j = 0; j < k; ++j)
        _mm_mask_storeu_epi8(p + 16 * j, masks.store[j], _mm_shuffle_epi8(v, shuffle[j]));
    }
    return i;
  }
};

// isa's shuffles for samples of `size` bytes `step` bytes apart in the
// pixels: out of them into packed samples, or the other way.
template <class isa, int size, bool out_of_pixels, int k>
std::int32_t shuffle_samples(const std::uint8_t* from, std::uint8_t* to, std::int32_t count) {
  if constexpr (out_of_pixels)
    return isa::template gather<size, k>(from, to, count);
  else
    return isa::template scatter<size, k>(from, to, count);
}

template <class isa, bool out_of_pixels>
std::int32_t shuffle_samples(const std::uint8_t* from, std::uint8_t* to, std::ptrdiff_t step,
                             std::int32_t count, std::size_t size) {
  const auto sized = [&](auto size_constant) -> std::int32_t {
    constexpr int size_ = decltype(size_constant)::value;
    switch (step / size_) {
      case 2:
        return shuffle_samples<isa, size_, out_of_pixels, 2>(from, to, count);
      case 3:
        return shuffle_samples<isa, size_, out_of_pixels, 3>(from, to, count);
      case 4:
        return shuffle_samples<isa, size_, out_of_pixels, 4>(from, to, count);
    }
    return 0;
  };
  if (step <= 0 || step % static_cast<std::ptrdiff_t>(size) != 0) return 0;
  if (size == 1) return sized(std::integral_constant<int, 1>{});
  if (size == 2) return sized(std::integral_constant<int, 2>{});
  return 0;
}

// Samples of 1 or 2 bytes, 2, 3 or 4 samples apart, into packed ones in
// vectors (and back, where isa has byte-masked stores); the rest, and all
// else, by the plain loop.
template <class isa>
void vector_copy(const std::uint8_t* from, std::ptrdiff_t from_step, std::uint8_t* to, std::ptrdiff_t to_step,
                 std::int32_t count, std::size_t size) {
  std::int32_t done = 0;
  const auto packed = static_cast<std::ptrdiff_t>(size);
  if (to_step == packed) done = shuffle_samples<isa, true>(from, to, from_step, count, size);
  if constexpr (std::is_base_of_v<avx512, isa>) {
    if (from_step == packed) done = shuffle_samples<isa, false>(from, to, to_step, count, size);
  }
  plain_copy(from + done * from_step, from_step, to + done * to_step, to_step, count - done, size);
}

#endif  // PELLIMOR_X86_VECTORS

}  // namespace

std::span<const sample_copier> runnable_sample_copiers() {
  static const std::span<const sample_copier> runnable = [] {
#ifdef PELLIMOR_X86_VECTORS
    static const sample_copier all[] = {{"plain", plain_copy},
                                        {"ssse3", vector_copy<ssse3>},
                                        {"avx2", vector_copy<avx2>},
                                        {"avx512", vector_copy<avx512>}};
    __builtin_cpu_init();
    const bool avx512 = __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
    const std::size_t count = !__builtin_cpu_supports("ssse3")  ? 1
                              : !__builtin_cpu_supports("avx2") ? 2
                              : !avx512                         ? 3
                                                                : 4;
    return std::span<const sample_copier>(all, count);
#else
    static const sample_copier all[] = {{"plain", plain_copy}};
    return std::span<const sample_copier>(all);
#endif
  }();
  return runnable;
}

void copy_samples(const std::uint8_t* from, std::ptrdiff_t from_step, std::uint8_t* to,
                  std::ptrdiff_t to_step, std::int32_t count, std::size_t size) {
  static const sample_copy_fn best = runnable_sample_copiers().back().copy;
  best(from, from_step, to, to_step, count, size);
}

void copy_sample_rows(const std::uint8_t* from, strided_rows from_layout, std::uint8_t* to,
                      strided_rows to_layout, std::int32_t rows, std::int32_t count, std::size_t size) {
  for (std::int32_t r = 0; r < rows; ++r)
    copy_samples(from + r * from_layout.row, from_layout.step, to + r * to_layout.row, to_layout.step, count,
                 size);
}

}  // namespace pellimor::detail
