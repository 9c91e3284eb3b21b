// SPDX-License-Identifier: MIT
// packed_planes.h - planes of samples kept compressed, band by band.
//
// A file job that shrinks holds the engine's coefficient array for one
// channel at a time; the channels not yet resized need not sit beside it
// as decoded samples. Each band of rows of such a plane is stored with every
// sample less the one above it (the top row of a band as it is, so that a
// band unpacks alone), compressed by zstd at its fastest level: lossless
// for every sample type, floats included (their bit patterns are what is
// subtracted), and unpacked without a serial dependence along the row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace pellimor {

class packed_planes {
 public:
  // `planes` planes of width x height samples of `sample_bytes` (1, 2, 4 or
  // 8) bytes each, cut into bands of `band_rows` rows (the last may have
  // fewer).
  packed_planes(int planes, std::int32_t width, std::int32_t height, int sample_bytes, std::int32_t band_rows);
  ~packed_planes();
  packed_planes(const packed_planes&) = delete;
  packed_planes& operator=(const packed_planes&) = delete;

  std::int32_t band_rows() const { return band_rows_; }
  std::int32_t bands() const { return bands_; }
  // Rows in band `band`.
  std::int32_t rows_in(std::int32_t band) const;

  // Packs band `band` of plane `plane` from samples laid out as a view's:
  // sample x of the band's row r at first + r * row_stride + x * pixel_stride.
  // Bands may be packed from several threads at once, each band once.
  // Throws std::bad_alloc.
  void put(int plane, std::int32_t band, const std::uint8_t* first, std::ptrdiff_t row_stride,
           std::ptrdiff_t pixel_stride);

  // Unpacks that band into `out` as rows_in(band) rows of width samples,
  // packed. False when it was never packed, has been dropped, or its bytes do
  // not unpack to the band. From several threads at once.
  bool get(int plane, std::int32_t band, std::uint8_t* out) const;

  // Frees the band's bytes.
  void drop(int plane, std::int32_t band);

  // Compressed bytes held (not while bands are being packed or dropped).
  std::size_t packed_bytes() const;

 private:
  int planes_, sample_bytes_;
  std::int32_t width_, height_, band_rows_, bands_;
  std::vector<std::unique_ptr<std::uint8_t[]>> data_;  // per plane and band
  std::vector<std::size_t> sizes_;
};

}  // namespace pellimor
