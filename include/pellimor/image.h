// SPDX-License-Identifier: MIT
// image.h - the one image model every codec fills and consumes.
//
// An image in memory is `height` rows of `width` pixels, top row first, each
// pixel `channels` interleaved samples of one sample type:
//   1 grey, 2 grey + alpha, 3 red green blue, 4 red green blue + alpha,
//   or, when `cmyk`, 4 cyan magenta yellow black: ink, 0 for none.
// Samples are native-endian. Integer samples run from 0 to their maximum
// (255, 65535); float samples are nominally 0 to 1 but may hold anything.
// Alpha, where present, is the last channel and is straight (not
// premultiplied).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// Everything declared here is the library's interface: exported from the
// shared library, where all else is hidden, so that a program's own
// functions of the same names as the library's internals neither replace
// them nor are replaced by them.
#pragma GCC visibility push(default)

namespace pellimor {

// A pixel buffer is a std::vector that zero-fills as any other does, with
// one more way to grow: resize_for_overwrite() leaves the new samples as
// the memory holds them, for a decoder or a resize that writes every one
// before anything reads it. A picture's pages are then first touched by
// the code that fills them, not zeroed once by the kernel, once by
// std::vector and faulted in again.
struct left_as_is {
  template <class T>
  operator T() const noexcept { return T(); }  // only to compile std::copy over none of them
};

template <class T>
struct pixel_allocator : std::allocator<T> {
  pixel_allocator() = default;
  template <class U>
  pixel_allocator(const pixel_allocator<U>&) noexcept {}
  template <class U>
  struct rebind {
    using other = pixel_allocator<U>;
  };
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    if constexpr (sizeof...(Args) == 1 && (std::is_same_v<std::remove_cvref_t<Args>, left_as_is> && ...))
      ::new (static_cast<void*>(p)) U;
    else
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

using pixel_buffer = std::vector<std::uint8_t, pixel_allocator<std::uint8_t>>;

// Samples compare with those of a plain vector as between two vectors.
inline bool operator==(const pixel_buffer& a, const std::vector<std::uint8_t>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// `count` samples to be left as they are: what resize_for_overwrite()
// inserts. Random access, so nothing loops to count them.
struct none_written {
  using iterator_category = std::random_access_iterator_tag;
  using value_type = left_as_is;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = left_as_is;
  difference_type count;
  left_as_is operator*() const noexcept { return {}; }
  left_as_is operator[](difference_type) const noexcept { return {}; }
  none_written& operator++() noexcept { return ++count, *this; }
  none_written operator++(int) noexcept { return none_written{count++}; }
  none_written& operator--() noexcept { return --count, *this; }
  none_written operator--(int) noexcept { return none_written{count--}; }
  none_written& operator+=(difference_type n) noexcept { return count += n, *this; }
  none_written& operator-=(difference_type n) noexcept { return count -= n, *this; }
  none_written operator+(difference_type n) const noexcept { return none_written{count + n}; }
  none_written operator-(difference_type n) const noexcept { return none_written{count - n}; }
  difference_type operator-(const none_written& o) const noexcept { return count - o.count; }
  auto operator<=>(const none_written&) const = default;
};

// Makes `v` hold `size` samples; those it gains are left as the memory had
// them. Throws as std::vector::resize does.
template <class T>
void resize_for_overwrite(std::vector<T, pixel_allocator<T>>* v, std::size_t size) {
  if (size <= v->size())
    v->resize(size);
  else
    v->insert(v->end(), none_written{0}, none_written{static_cast<std::ptrdiff_t>(size - v->size())});
}

enum class sample_type : std::uint8_t { u8, u16, f32, f64 };

// The file formats read and written (GIF is read only).
enum class image_format { bmp, png, jpeg, tiff, webp, gif };

constexpr std::size_t sample_bytes(sample_type type) {
  switch (type) {
    case sample_type::u8: return 1;
    case sample_type::u16: return 2;
    case sample_type::f32: return 4;
    case sample_type::f64: return 8;
  }
  return 0;
}

// The value that stands for full intensity: 255, 65535 or 1.
constexpr double sample_full_scale(sample_type type) {
  return type == sample_type::u8 ? 255.0 : type == sample_type::u16 ? 65535.0 : 1.0;
}

constexpr bool is_float(sample_type type) { return type == sample_type::f32 || type == sample_type::f64; }

const char* sample_type_name(sample_type type);  // "uint8", "uint16", "float32", "float64"

// What a file's header says, known before any pixel is decoded.
struct image_info {
  std::int32_t width = 0;
  std::int32_t height = 0;
  int channels = 0;
  sample_type type = sample_type::u8;
  int orientation = 1;  // EXIF orientation 1..8 as stored; 1 when none
  bool cmyk = false;    // four ink channels, no alpha

  bool has_alpha() const { return !cmyk && (channels == 2 || channels == 4); }
  std::size_t row_bytes() const { return static_cast<std::size_t>(width) * channels * sample_bytes(type); }
  // Bytes of all samples; UINT64_MAX when that does not fit 64 bits.
  std::uint64_t pixel_bytes() const {
    const std::uint64_t row = row_bytes(), rows = height > 0 ? static_cast<std::uint64_t>(height) : 0;
    return rows != 0 && row > UINT64_MAX / rows ? UINT64_MAX : row * rows;
  }
};

// What leaving metadata out of an output means: nothing left out; all
// metadata but the ICC profile; all of it, the ICC profile too.
enum class strip_mode { none, metadata, all };

// What a file says beside its pixels and ICC profile, carried from input to
// output where the output's format has room for it. Every field is empty (or
// 0, or -1) when the file has none.
struct metadata {
  // EXIF as a TIFF-structured block ("II*\0" or "MM\0*" first), without the
  // "Exif\0\0" that JPEG puts before it. Written out with Orientation set to
  // the image's own and the pixel-size tags set to its size.
  std::vector<std::uint8_t> exif;
  std::string xmp;  // the XMP packet, UTF-8
  // A JPEG's extended XMP (Adobe's extension APP1 segments, put together):
  // the packet that `xmp`'s xmpNote:HasExtendedXMP names by its MD5. Empty
  // when there is none, and when `xmp` held nothing but that name (a JPEG
  // this program wrote from a packet too large for one marker): `xmp` is
  // then the extended packet itself. Written into JPEG alone.
  std::string xmp_extended;
  // Text by keyword. PNG tEXt, zTXt and iTXt chunks as they are; JPEG COM
  // markers are "Comment"; the TIFF tags ImageDescription, Artist,
  // Software, Copyright, DateTime, Make and Model are "Description",
  // "Author", "Software", "Copyright", "Creation Time", "Make" and "Model".
  struct text {
    std::string key;
    std::string value;        // Latin-1, or UTF-8 when `utf8`
    bool utf8 = false;        // came from (and goes back to) an iTXt chunk
    bool compressed = false;  // zTXt, or a compressed iTXt
    // An iTXt chunk's language tag ("ja", "en-GB") and the keyword in that
    // language (UTF-8); empty when it gives none. Carried into PNG alone.
    std::string language = {};
    std::string translated_key = {};
  };
  std::vector<text> texts;
  // Pixel density: dots per `unit` across and down; unit 0 when none is
  // given (then x and y give the pixel aspect ratio only), 1 inch, 2
  // centimetre. A resize keeps the density, as other resizers do.
  double x_density = 0, y_density = 0;
  int density_unit = -1;  // -1: no density at all
  // PNG colour chunks, as stored; carried into PNG only.
  std::uint32_t gamma = 0;   // gAMA: gamma * 100000; 0 when none
  std::uint32_t chroma[8] = {};  // cHRM: white x, y, red x, y, green, blue; all 0 when none
  int srgb_intent = -1;      // sRGB: rendering intent 0..3; -1 when none

  bool empty() const {
    return exif.empty() && xmp.empty() && xmp_extended.empty() && texts.empty() && density_unit < 0 && gamma == 0 && chroma[0] == 0 &&
           srgb_intent < 0;
  }
};

struct image : image_info {
  std::vector<std::uint8_t> icc;     // ICC profile, byte for byte; empty when none
  metadata meta;                     // all else the file says; kept as icc is
  pixel_buffer pixels;               // height * row_bytes() bytes

  // Sizes `pixels` for the current info, zero-filled. False when the memory
  // cannot be had.
  bool allocate();
  // As allocate(), but the samples are left as the memory had them: for a
  // caller that writes every one before any is read.
  bool allocate_for_overwrite();
  std::uint8_t* row(std::int32_t y) { return pixels.data() + static_cast<std::size_t>(y) * row_bytes(); }
  const std::uint8_t* row(std::int32_t y) const {
    return pixels.data() + static_cast<std::size_t>(y) * row_bytes();
  }
};

}  // namespace pellimor

#pragma GCC visibility pop
