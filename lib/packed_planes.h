// SPDX-License-Identifier: MIT
// packed_planes.h - planes of samples kept compressed, band by band.
//
// A file job that shrinks holds the engine's coefficient array for one
// channel at a time; the channels not yet resized need not sit beside it
// as decoded samples. Each band of rows of such a plane is stored with every
// sample less the one above it (the top row of a band as it is, so that a
// band unpacks alone), and with `relative`, every plane after the first
// less the first plane before that (colour channels share most of their
// detail: a JPEG's chroma is coarse, so its red, green and blue differ
// little but smoothly); then compressed by zstd at level 1: lossless
// for every sample type, floats included (their bit patterns are what is
// subtracted), and unpacked without a serial dependence along the row.
// Kept plain instead, a band is its samples as they are, one plane apart
// from the others: a third less than the interleaved rows for three
// channels (the first is not kept), for no more than a copy's time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace pellimor {

class packed_planes {
 public:
  // `planes` planes of width x height samples of `sample_bytes` (1, 2, 4 or
  // 8) bytes each, cut into bands of `band_rows` rows (the last may have
  // fewer). With `relative`, planes after the first are kept as their
  // difference from the first, whose bands must then stay until the
  // others' are unpacked. With `plain`, bands are kept uncompressed (and
  // never relative).
  packed_planes(int planes, std::int32_t width, std::int32_t height, int sample_bytes, std::int32_t band_rows,
                bool relative = false, bool plain = false);
  ~packed_planes();
  packed_planes(const packed_planes&) = delete;
  packed_planes& operator=(const packed_planes&) = delete;

  int planes() const { return planes_; }
  bool relative() const { return relative_; }
  std::int32_t band_rows() const { return band_rows_; }
  std::int32_t bands() const { return bands_; }
  // Rows in band `band`.
  std::int32_t rows_in(std::int32_t band) const;

  // Packs band `band` of plane `plane` from samples laid out as a view's:
  // sample x of the band's row r at first + r * row_stride + x * pixel_stride.
  // `first_plane` is the same band of the first plane, laid out alike (read
  // only for a later plane of a relative store). Bands may be packed from
  // several threads at once, each band once. Throws std::bad_alloc.
  void put(int plane, std::int32_t band, const std::uint8_t* first, std::ptrdiff_t row_stride,
           std::ptrdiff_t pixel_stride, const std::uint8_t* first_plane = nullptr);

  // Unpacks that band into `out` as rows_in(band) rows of width samples,
  // packed. False when it was never packed, has been dropped, or its bytes do
  // not unpack to the band (or, relative, the first plane's band is gone).
  // From several threads at once.
  bool get(int plane, std::int32_t band, std::uint8_t* out) const;

  // Frees the band's bytes.
  void drop(int plane, std::int32_t band);

  // Compressed bytes held.
  std::size_t packed_bytes() const;

 private:
  // Each plane's bands go one after another into chunks of 2 MiB on huge
  // pages (a band's bytes in the heap would be faulted in 4 KiB at a
  // time); a chunk goes once every band in it has been dropped.
  struct chunk {
    std::uint8_t* bytes = nullptr;
    std::size_t used = 0;
    int live = 0;  // bands in it not dropped
  };
  struct band_place {
    int chunk = -1;  // in its plane's chunks; -1: none
    std::size_t at = 0, size = 0;
  };
  void free_chunk(chunk* c);

  // Where `size` more bytes of plane `plane` go: the end of its last
  // chunk, or a new one.
  std::uint8_t* reserve(int plane, std::int32_t band, std::size_t size);

  bool relative_, plain_;
  int planes_, sample_bytes_;
  std::int32_t width_, height_, band_rows_, bands_;
  std::size_t chunk_bytes_;
  std::vector<std::vector<chunk>> chunks_;  // per plane
  std::vector<band_place> places_;          // per plane and band
  mutable std::mutex lock_;
};

}  // namespace pellimor
