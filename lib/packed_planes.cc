// SPDX-License-Identifier: MIT
// packed_planes.cc - bands of samples, less the row above, through zstd.
#include "lib/packed_planes.h"

#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace pellimor {
namespace {

struct cctx_free {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct dctx_free {
  void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

// One context and one buffer a thread, kept for the next band.
ZSTD_CCtx* compressor() {
  thread_local std::unique_ptr<ZSTD_CCtx, cctx_free> context(ZSTD_createCCtx());
  if (!context) throw std::bad_alloc();
  return context.get();
}
ZSTD_DCtx* decompressor() {
  thread_local std::unique_ptr<ZSTD_DCtx, dctx_free> context(ZSTD_createDCtx());
  return context.get();
}

template <class T>
T load(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The band's samples less the ones above them (wrapping, as unsigned
// integers of the sample's width), packed into `out`.
template <class T>
void difference(const std::uint8_t* first, std::ptrdiff_t row_stride, std::ptrdiff_t pixel_stride,
                std::int32_t rows, std::int32_t width, T* out) {
  for (std::int32_t r = 0; r < rows; ++r, out += width) {
    const std::uint8_t* row = first + r * row_stride;
    if (r == 0) {
      for (std::int32_t x = 0; x < width; ++x) out[x] = load<T>(row + x * pixel_stride);
      continue;
    }
    const std::uint8_t* above = row - row_stride;
    for (std::int32_t x = 0; x < width; ++x)
      out[x] = static_cast<T>(load<T>(row + x * pixel_stride) - load<T>(above + x * pixel_stride));
  }
}

template <class T>
void undo_difference(std::uint8_t* bytes, std::int32_t rows, std::int32_t width) {
  const std::size_t row_bytes = static_cast<std::size_t>(width) * sizeof(T);
  for (std::int32_t r = 1; r < rows; ++r) {
    std::uint8_t* row = bytes + r * row_bytes;
    const std::uint8_t* above = row - row_bytes;
    for (std::int32_t x = 0; x < width; ++x) {
      const T v = static_cast<T>(load<T>(row + x * sizeof(T)) + load<T>(above + x * sizeof(T)));
      std::memcpy(row + x * sizeof(T), &v, sizeof v);
    }
  }
}

template <class F>
void with_width(int bytes, F&& f) {
  switch (bytes) {
    case 1: return f(std::uint8_t{});
    case 2: return f(std::uint16_t{});
    case 4: return f(std::uint32_t{});
    default: return f(std::uint64_t{});
  }
}

}  // namespace

packed_planes::packed_planes(int planes, std::int32_t width, std::int32_t height, int sample_bytes,
                             std::int32_t band_rows)
    : planes_(planes),
      sample_bytes_(sample_bytes),
      width_(width),
      height_(height),
      band_rows_(std::max<std::int32_t>(band_rows, 1)),
      bands_((height + band_rows_ - 1) / band_rows_) {
  const std::size_t count = static_cast<std::size_t>(planes_) * bands_;
  data_.resize(count);
  sizes_.assign(count, 0);
}

packed_planes::~packed_planes() = default;

std::int32_t packed_planes::rows_in(std::int32_t band) const {
  return std::min(band_rows_, height_ - band * band_rows_);
}

void packed_planes::put(int plane, std::int32_t band, const std::uint8_t* first, std::ptrdiff_t row_stride,
                        std::ptrdiff_t pixel_stride) {
  const std::int32_t rows = rows_in(band);
  const std::size_t raw = static_cast<std::size_t>(rows) * width_ * sample_bytes_;
  thread_local std::vector<std::uint8_t> differences, packed;
  if (differences.size() < raw) differences.resize(raw);
  with_width(sample_bytes_, [&](auto t) {
    using T = decltype(t);
    difference<T>(first, row_stride, pixel_stride, rows, width_, reinterpret_cast<T*>(differences.data()));
  });
  const std::size_t bound = ZSTD_compressBound(raw);
  if (packed.size() < bound) packed.resize(bound);
  const std::size_t size = ZSTD_compressCCtx(compressor(), packed.data(), bound, differences.data(), raw, 1);
  if (ZSTD_isError(size)) throw std::bad_alloc();  // zstd fails only short of memory here
  const std::size_t at = static_cast<std::size_t>(plane) * bands_ + band;
  data_[at].reset(new std::uint8_t[size]);
  std::memcpy(data_[at].get(), packed.data(), size);
  sizes_[at] = size;
}

bool packed_planes::get(int plane, std::int32_t band, std::uint8_t* out) const {
  const std::size_t at = static_cast<std::size_t>(plane) * bands_ + band;
  if (!data_[at]) return false;
  const std::int32_t rows = rows_in(band);
  const std::size_t raw = static_cast<std::size_t>(rows) * width_ * sample_bytes_;
  ZSTD_DCtx* context = decompressor();
  if (context == nullptr) return false;
  const std::size_t size = ZSTD_decompressDCtx(context, out, raw, data_[at].get(), sizes_[at]);
  if (ZSTD_isError(size) || size != raw) return false;
  with_width(sample_bytes_, [&](auto t) { undo_difference<decltype(t)>(out, rows, width_); });
  return true;
}

void packed_planes::drop(int plane, std::int32_t band) {
  const std::size_t at = static_cast<std::size_t>(plane) * bands_ + band;
  data_[at].reset();
  sizes_[at] = 0;
}

std::size_t packed_planes::packed_bytes() const {
  std::size_t total = 0;
  for (const std::size_t size : sizes_) total += size;
  return total;
}

}  // namespace pellimor
