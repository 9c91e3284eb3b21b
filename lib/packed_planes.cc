// SPDX-License-Identifier: MIT
// packed_planes.cc - bands of samples, less the row above, through zstd, or as they are.
#include "lib/packed_planes.h"

#include <sys/mman.h>
#include <zstd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "lib/strided_copy.h"

namespace pellimor {
namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;

// Chunks are mapped on their own, huge-page aligned, and unmapped when
// they go: from malloc (aligned_alloc) they came from the arena of whichever
// worker packed the band, and a process resizing file after file (the
// library, Python) kept 10-15 MiB more of them after every file, however
// many files came. Unaligned ends of the mapping are given back at once.
void* map_chunk(std::size_t bytes) {
  const std::size_t span = bytes + huge_page;
  void* got = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (got == MAP_FAILED) return nullptr;
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(got);
  const std::uintptr_t at = (start + huge_page - 1) & ~(huge_page - 1);
  if (at > start) munmap(got, at - start);
  if (start + span > at + bytes) munmap(reinterpret_cast<void*>(at + bytes), start + span - (at + bytes));
  void* chunk = reinterpret_cast<void*>(at);
  madvise(chunk, bytes, MADV_HUGEPAGE);
  return chunk;
}

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

// The band's samples, less the reference's when there is one, less the
// ones above them (wrapping, as unsigned integers of the sample's width),
// packed into `out`.
template <class T>
void difference(const std::uint8_t* first, const std::uint8_t* reference, std::ptrdiff_t row_stride,
                std::ptrdiff_t pixel_stride, std::int32_t rows, std::int32_t width, T* out) {
  const auto at = [&](const std::uint8_t* row, std::int32_t x) {
    const T v = load<T>(row + x * pixel_stride);
    return reference == nullptr ? v : static_cast<T>(v - load<T>(row - first + reference + x * pixel_stride));
  };
  for (std::int32_t r = 0; r < rows; ++r, out += width) {
    const std::uint8_t* row = first + r * row_stride;
    if (r == 0) {
      for (std::int32_t x = 0; x < width; ++x) out[x] = at(row, x);
      continue;
    }
    const std::uint8_t* above = row - row_stride;
    for (std::int32_t x = 0; x < width; ++x) out[x] = static_cast<T>(at(row, x) - at(above, x));
  }
}

template <class T>
void add_reference(std::uint8_t* bytes, const std::uint8_t* reference, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const T v = static_cast<T>(load<T>(bytes + i * sizeof(T)) + load<T>(reference + i * sizeof(T)));
    std::memcpy(bytes + i * sizeof(T), &v, sizeof v);
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
    case 1:
      return f(std::uint8_t{});
    case 2:
      return f(std::uint16_t{});
    case 4:
      return f(std::uint32_t{});
    default:
      return f(std::uint64_t{});
  }
}

}  // namespace

packed_planes::packed_planes(int planes, std::int32_t width, std::int32_t height, int sample_bytes,
                             std::int32_t band_rows, bool relative, bool plain)
    : relative_(relative && !plain),
      plain_(plain),
      planes_(planes),
      sample_bytes_(sample_bytes),
      width_(width),
      height_(height),
      band_rows_(std::max<std::int32_t>(band_rows, 1)),
      bands_((height + band_rows_ - 1) / band_rows_) {
  // A chunk holds at least a band that does not compress.
  const std::size_t raw = static_cast<std::size_t>(band_rows_) * width_ * sample_bytes_;
  const std::size_t most = plain_ ? raw : ZSTD_compressBound(raw);
  chunk_bytes_ = std::max(huge_page, (most + huge_page - 1) / huge_page * huge_page);
  chunks_.resize(planes_);
  places_.resize(static_cast<std::size_t>(planes_) * bands_);
}

packed_planes::~packed_planes() {
  for (std::vector<chunk>& plane : chunks_)
    for (chunk& c : plane) free_chunk(&c);
}

void packed_planes::free_chunk(chunk* c) {
  if (c->bytes != nullptr) munmap(c->bytes, chunk_bytes_);
  c->bytes = nullptr;
}

std::int32_t packed_planes::rows_in(std::int32_t band) const {
  return std::min(band_rows_, height_ - band * band_rows_);
}

void packed_planes::put(int plane, std::int32_t band, const std::uint8_t* first, std::ptrdiff_t row_stride,
                        std::ptrdiff_t pixel_stride, const std::uint8_t* first_plane) {
  const std::uint8_t* reference = relative_ && plane > 0 ? first_plane : nullptr;
  const std::int32_t rows = rows_in(band);
  const std::size_t raw = static_cast<std::size_t>(rows) * width_ * sample_bytes_;
  if (plain_) {
    // Copied outside the lock: no one reads the band before put returns.
    const std::ptrdiff_t row_bytes = static_cast<std::ptrdiff_t>(width_) * sample_bytes_;
    detail::copy_sample_rows(first, {row_stride, pixel_stride}, reserve(plane, band, raw), {row_bytes, sample_bytes_},
                             rows, width_, static_cast<std::size_t>(sample_bytes_));
    return;
  }
  thread_local std::vector<std::uint8_t> differences, packed;
  if (differences.size() < raw) differences.resize(raw);
  with_width(sample_bytes_, [&](auto t) {
    using T = decltype(t);
    difference<T>(first, reference, row_stride, pixel_stride, rows, width_,
                  reinterpret_cast<T*>(differences.data()));
  });
  const std::size_t bound = ZSTD_compressBound(raw);
  if (packed.size() < bound) packed.resize(bound);
  const std::size_t size = ZSTD_compressCCtx(compressor(), packed.data(), bound, differences.data(), raw, 1);
  if (ZSTD_isError(size)) throw std::bad_alloc();  // zstd fails only short of memory here
  std::memcpy(reserve(plane, band, size), packed.data(), size);
}

std::uint8_t* packed_planes::reserve(int plane, std::int32_t band, std::size_t size) {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<chunk>& chunks = chunks_[plane];
  if (chunks.empty() || chunks.back().bytes == nullptr || chunk_bytes_ - chunks.back().used < size) {
    if (!chunks.empty() && chunks.back().live == 0) free_chunk(&chunks.back());
    void* bytes = map_chunk(chunk_bytes_);
    if (bytes == nullptr) throw std::bad_alloc();
    chunks.push_back({static_cast<std::uint8_t*>(bytes), 0, 0});
  }
  chunk& c = chunks.back();
  band_place& place = places_[static_cast<std::size_t>(plane) * bands_ + band];
  place = {static_cast<int>(chunks.size() - 1), c.used, size};
  std::uint8_t* at = c.bytes + c.used;
  c.used += size;
  ++c.live;
  return at;
}

bool packed_planes::get(int plane, std::int32_t band, std::uint8_t* out) const {
  const std::uint8_t* bytes;
  std::size_t size;
  {
    std::lock_guard<std::mutex> hold(lock_);
    const band_place& place = places_[static_cast<std::size_t>(plane) * bands_ + band];
    if (place.chunk < 0) return false;
    bytes = chunks_[plane][place.chunk].bytes + place.at;
    size = place.size;
  }
  const std::int32_t rows = rows_in(band);
  const std::size_t raw = static_cast<std::size_t>(rows) * width_ * sample_bytes_;
  if (plain_) {
    if (size != raw) return false;
    std::memcpy(out, bytes, raw);
    return true;
  }
  ZSTD_DCtx* context = decompressor();
  if (context == nullptr) return false;
  const std::size_t got = ZSTD_decompressDCtx(context, out, raw, bytes, size);
  if (ZSTD_isError(got) || got != raw) return false;
  with_width(sample_bytes_, [&](auto t) { undo_difference<decltype(t)>(out, rows, width_); });
  if (!relative_ || plane == 0) return true;
  thread_local std::vector<std::uint8_t> reference;
  reference.resize(raw);
  if (!get(0, band, reference.data())) return false;
  with_width(sample_bytes_, [&](auto t) {
    add_reference<decltype(t)>(out, reference.data(), static_cast<std::size_t>(rows) * width_);
  });
  return true;
}

void packed_planes::drop(int plane, std::int32_t band) {
  std::lock_guard<std::mutex> hold(lock_);
  band_place& place = places_[static_cast<std::size_t>(plane) * bands_ + band];
  if (place.chunk < 0) return;
  std::vector<chunk>& chunks = chunks_[plane];
  chunk& c = chunks[place.chunk];
  // The chunk being filled stays for the bands still to come.
  if (--c.live == 0 && place.chunk + 1 < static_cast<int>(chunks.size())) free_chunk(&c);
  place = {};
}

std::size_t packed_planes::packed_bytes() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::size_t total = 0;
  for (const band_place& place : places_) total += place.size;
  return total;
}

}  // namespace pellimor
