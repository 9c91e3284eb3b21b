// SPDX-License-Identifier: MIT
// gif_codec.cc - GIF files through giflib, read only.
//
// A frame comes out as 8-bit RGB, or RGBA when anything up to it can show
// through: a transparent colour index (graphics control extension), a first
// frame smaller than the logical screen, or a frame before it disposed of
// to the background. The picture is the logical screen, widened to hold
// the first frame when that sticks out of it; each frame sits at its
// offset, clipped to the screen. What no frame covers is transparent, as
// browsers show it (the background colour index is ignored). Interlaced
// frames are put back in row order. Frame N is the screen after drawing
// frames 1 to N, each disposed of before the next as it asks.
//
// Before any pixel is decoded the whole block structure is walked (no LZW
// decoded): frames, extensions, the bytes of each frame's data. That is
// what bounds a header's claim honestly. LZW codes are 12 bits at most and
// a code stands for at most 4096 pixels, so a frame cannot hold more than
// max_pixels_per_byte pixels for each byte of its data; one claiming more
// is refused, and its data would run out before its pixels did anyway. The
// screen around the frames costs nothing in the file, so it may be at most
// max_free_pixels more than every frame's data could paint. A file that
// ends at a block boundary without the trailer is taken as ended; one that
// ends anywhere else, or whose data giflib cannot decode, is refused.
#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "codec/formats.h"

namespace pellimor::codecs {
namespace {

constexpr std::uint64_t max_pixels_per_byte = 2731;  // 8 bits * 4096 pixels / 12 bits
constexpr std::uint64_t max_free_pixels = std::uint64_t{1} << 22;

bool fail(std::string* err, const std::string& why) {
  *err = "gif: " + why;
  return false;
}

struct byte_source {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
};

int read_bytes(GifFileType* gif, GifByteType* out, int count) {
  auto* s = static_cast<byte_source*>(gif->UserData);
  const std::size_t n = std::min(static_cast<std::size_t>(std::max(count, 0)), s->size - s->at);
  std::memcpy(out, s->data + s->at, n);
  s->at += n;
  return static_cast<int>(n);
}

struct gif_closer {
  void operator()(GifFileType* gif) const {
    int ignored = 0;
    DGifCloseFile(gif, &ignored);
  }
};
using gif_handle = std::unique_ptr<GifFileType, gif_closer>;

struct frame_record {
  int left = 0, top = 0, width = 0, height = 0;
  int transparent = NO_TRANSPARENT_COLOR;
  int disposal = DISPOSAL_UNSPECIFIED;
};

// What the walk over the blocks found.
struct gif_layout {
  int screen_width = 0, screen_height = 0;
  std::vector<frame_record> frames;
  std::uint64_t data_bytes = 0;  // LZW data of every frame
  std::int64_t canvas_width = 0, canvas_height = 0;
};

std::string gif_error(int code) {
  const char* text = GifErrorString(code);
  return text != nullptr ? text : "damaged file";
}

gif_handle open_gif(byte_source* source, std::string* err) {
  int code = 0;
  gif_handle gif(DGifOpen(source, read_bytes, &code));
  if (!gif) fail(err, gif_error(code));
  return gif;
}

// Walks every block. False with *err when the file is damaged or makes a
// claim its bytes cannot back.
bool walk(const std::uint8_t* data, std::size_t size, gif_layout* layout, std::string* err) {
  byte_source source{data, size};
  const gif_handle gif = open_gif(&source, err);
  if (!gif) return false;
  layout->screen_width = gif->SWidth;
  layout->screen_height = gif->SHeight;
  GraphicsControlBlock pending{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
  for (;;) {
    const std::size_t record_start = source.at;
    GifRecordType type;
    if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR) {
      if (record_start == size && !layout->frames.empty()) break;  // no trailer
      return fail(err, gif_error(gif->Error));
    }
    if (type == TERMINATE_RECORD_TYPE) break;
    if (type == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* block = nullptr;
      if (DGifGetExtension(gif.get(), &code, &block) == GIF_ERROR) return fail(err, gif_error(gif->Error));
      if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr && block[0] >= 4)
        DGifExtensionToGCB(block[0], block + 1, &pending);
      while (block != nullptr)
        if (DGifGetExtensionNext(gif.get(), &block) == GIF_ERROR) return fail(err, gif_error(gif->Error));
      continue;
    }
    if (type != IMAGE_DESC_RECORD_TYPE) return fail(err, "unknown block");
    if (DGifGetImageDesc(gif.get()) == GIF_ERROR) return fail(err, gif_error(gif->Error));
    frame_record frame;
    frame.left = gif->Image.Left;
    frame.top = gif->Image.Top;
    frame.width = gif->Image.Width;
    frame.height = gif->Image.Height;
    frame.transparent = pending.TransparentColor;
    frame.disposal = pending.DisposalMode;
    if (gif->Image.ColorMap == nullptr && gif->SColorMap == nullptr)
      return fail(err, "frame " + std::to_string(layout->frames.size() + 1) + " has no colour table");
    pending = {DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
    int code_size = 0;
    GifByteType* block = nullptr;
    std::uint64_t bytes = 0;
    if (DGifGetCode(gif.get(), &code_size, &block) == GIF_ERROR) return fail(err, gif_error(gif->Error));
    while (block != nullptr) {
      bytes += block[0];
      if (DGifGetCodeNext(gif.get(), &block) == GIF_ERROR) return fail(err, gif_error(gif->Error));
    }
    const std::uint64_t pixels =
        static_cast<std::uint64_t>(frame.width) * static_cast<std::uint64_t>(frame.height);
    if (pixels > bytes * max_pixels_per_byte + 4096)
      return fail(err, "frame " + std::to_string(layout->frames.size() + 1) + " claims " +
                           std::to_string(frame.width) + "x" + std::to_string(frame.height) +
                           " pixels, more than its " + std::to_string(bytes) + " bytes of data can hold");
    layout->data_bytes += bytes;
    layout->frames.push_back(frame);
  }
  if (layout->frames.empty()) return fail(err, "the file holds no picture");
  const frame_record& first = layout->frames.front();
  layout->canvas_width = std::max<std::int64_t>(layout->screen_width, std::int64_t{first.left} + first.width);
  layout->canvas_height =
      std::max<std::int64_t>(layout->screen_height, std::int64_t{first.top} + first.height);
  const std::uint64_t canvas =
      static_cast<std::uint64_t>(layout->canvas_width) * static_cast<std::uint64_t>(layout->canvas_height);
  if (canvas == 0) return fail(err, "the picture has no pixels");
  if (canvas > max_free_pixels + layout->data_bytes * max_pixels_per_byte)
    return fail(err, "the screen claims " + std::to_string(layout->canvas_width) + "x" +
                         std::to_string(layout->canvas_height) + " pixels, more than the file's " +
                         std::to_string(layout->data_bytes) + " bytes of picture data can paint");
  return true;
}

bool covers_canvas(const gif_layout& layout, const frame_record& frame) {
  return frame.left == 0 && frame.top == 0 && frame.width >= layout.canvas_width &&
         frame.height >= layout.canvas_height;
}

bool describe(const std::uint8_t* data, std::size_t size, int page, gif_layout* layout, image_info* info,
              std::string* err) {
  if (!gif_is(data, size)) return fail(err, "not a GIF file");
  if (!walk(data, size, layout, err)) return false;
  if (page < 0 || static_cast<std::size_t>(page) >= layout->frames.size())
    return fail(err, "the file has no page " + std::to_string(page + 1));
  bool alpha = !covers_canvas(*layout, layout->frames.front());
  for (int i = 0; i <= page; ++i) {
    const frame_record& frame = layout->frames[i];
    alpha = alpha || frame.transparent != NO_TRANSPARENT_COLOR ||
            (i < page && frame.disposal == DISPOSE_BACKGROUND);
  }
  info->width = static_cast<std::int32_t>(layout->canvas_width);
  info->height = static_cast<std::int32_t>(layout->canvas_height);
  info->channels = alpha ? 4 : 3;
  info->type = sample_type::u8;
  info->orientation = 1;
  return true;
}

// Rows of an interlaced frame come in four passes; this gives, for the
// n-th row stored, the row it belongs to.
std::vector<int> row_order(int height, bool interlaced) {
  std::vector<int> order;
  order.reserve(static_cast<std::size_t>(height));
  if (!interlaced) {
    for (int y = 0; y < height; ++y) order.push_back(y);
    return order;
  }
  static constexpr int start[] = {0, 4, 2, 1}, step[] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass)
    for (int y = start[pass]; y < height; y += step[pass]) order.push_back(y);
  return order;
}

// Decodes frames 0..page onto an RGBA canvas of the layout's size.
bool render(const std::uint8_t* data, std::size_t size, const gif_layout& layout, int page,
            pixel_buffer* canvas, std::string* err) {
  byte_source source{data, size};
  const gif_handle gif = open_gif(&source, err);
  if (!gif) return false;
  const std::size_t width = static_cast<std::size_t>(layout.canvas_width);
  const std::size_t height = static_cast<std::size_t>(layout.canvas_height);
  canvas->assign(width * height * 4, 0);
  pixel_buffer saved;
  std::vector<std::uint8_t> indices;
  for (int n = 0; n <= page;) {
    GifRecordType type;
    if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR) return fail(err, gif_error(gif->Error));
    if (type == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* block = nullptr;
      if (DGifGetExtension(gif.get(), &code, &block) == GIF_ERROR) return fail(err, gif_error(gif->Error));
      while (block != nullptr)
        if (DGifGetExtensionNext(gif.get(), &block) == GIF_ERROR) return fail(err, gif_error(gif->Error));
      continue;
    }
    if (type != IMAGE_DESC_RECORD_TYPE) return fail(err, "the file changed while it was read");
    if (DGifGetImageDesc(gif.get()) == GIF_ERROR) return fail(err, gif_error(gif->Error));
    const frame_record& frame = layout.frames[static_cast<std::size_t>(n)];
    const ColorMapObject* map = gif->Image.ColorMap != nullptr ? gif->Image.ColorMap : gif->SColorMap;
    std::uint8_t colours[256][3] = {};  // an index past the table reads as black
    for (int i = 0; i < map->ColorCount && i < 256; ++i) {
      colours[i][0] = map->Colors[i].Red;
      colours[i][1] = map->Colors[i].Green;
      colours[i][2] = map->Colors[i].Blue;
    }
    const std::size_t fw = static_cast<std::size_t>(frame.width), fh = static_cast<std::size_t>(frame.height);
    indices.resize(fw * fh);
    if (fw * fh == 0) {  // nothing to decode, but the data blocks still need skipping
      int code_size = 0;
      GifByteType* block = nullptr;
      if (DGifGetCode(gif.get(), &code_size, &block) == GIF_ERROR) return fail(err, gif_error(gif->Error));
      while (block != nullptr)
        if (DGifGetCodeNext(gif.get(), &block) == GIF_ERROR) return fail(err, gif_error(gif->Error));
    } else {
      const std::vector<int> order = row_order(frame.height, gif->Image.Interlace);
      for (std::size_t k = 0; k < fh; ++k)
        if (DGifGetLine(gif.get(), indices.data() + static_cast<std::size_t>(order[k]) * fw, frame.width) ==
            GIF_ERROR)
          return fail(err, gif_error(gif->Error));
    }
    if (n < page && frame.disposal == DISPOSE_PREVIOUS) saved = *canvas;
    // The part of the frame on the canvas.
    const std::size_t x0 = std::min<std::size_t>(static_cast<std::size_t>(frame.left), width);
    const std::size_t y0 = std::min<std::size_t>(static_cast<std::size_t>(frame.top), height);
    const std::size_t x1 = std::min(width, static_cast<std::size_t>(frame.left) + fw);
    const std::size_t y1 = std::min(height, static_cast<std::size_t>(frame.top) + fh);
    for (std::size_t y = y0; y < y1; ++y) {
      const std::uint8_t* in = indices.data() + (y - static_cast<std::size_t>(frame.top)) * fw;
      std::uint8_t* out = canvas->data() + (y * width) * 4;
      for (std::size_t x = x0; x < x1; ++x) {
        const int index = in[x - static_cast<std::size_t>(frame.left)];
        if (index == frame.transparent) continue;
        std::memcpy(out + x * 4, colours[index], 3);
        out[x * 4 + 3] = 255;
      }
    }
    if (n < page) {
      if (frame.disposal == DISPOSE_BACKGROUND)
        for (std::size_t y = y0; y < y1; ++y)
          std::fill(canvas->begin() + static_cast<std::ptrdiff_t>((y * width + x0) * 4),
                    canvas->begin() + static_cast<std::ptrdiff_t>((y * width + x1) * 4), 0);
      else if (frame.disposal == DISPOSE_PREVIOUS)
        canvas->swap(saved);
    }
    ++n;
  }
  return true;
}

}  // namespace

bool gif_is(const std::uint8_t* data, std::size_t size) {
  return size >= 6 && (std::memcmp(data, "GIF87a", 6) == 0 || std::memcmp(data, "GIF89a", 6) == 0);
}

int gif_pages(const std::uint8_t* data, std::size_t size) {
  gif_layout layout;
  std::string ignored;
  if (!gif_is(data, size) || !walk(data, size, &layout, &ignored)) return 0;
  return static_cast<int>(std::min<std::size_t>(layout.frames.size(), INT32_MAX));
}

bool gif_info(const std::uint8_t* data, std::size_t size, image_info* info, std::string* err) {
  return gif_info_page(data, size, 0, info, err);
}

bool gif_info_page(const std::uint8_t* data, std::size_t size, int page, image_info* info, std::string* err) {
  gif_layout layout;
  return describe(data, size, page, &layout, info, err);
}

bool gif_decode(const std::uint8_t* data, std::size_t size, image* out, std::string* err) {
  return gif_decode_page(data, size, 0, out, err);
}

bool gif_decode_page(const std::uint8_t* data, std::size_t size, int page, image* out, std::string* err) {
  gif_layout layout;
  image img;
  if (!describe(data, size, page, &layout, &img, err)) return false;
  pixel_buffer canvas;
  try {
    if (!render(data, size, layout, page, &canvas, err)) return false;
    if (!img.allocate()) throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
    return fail(err, "not enough memory for " + std::to_string(img.width) + "x" + std::to_string(img.height) +
                         " pixels");
  }
  if (img.channels == 4) {
    img.pixels.swap(canvas);
  } else {
    const std::size_t count = canvas.size() / 4;
    for (std::size_t i = 0; i < count; ++i) std::memcpy(&img.pixels[i * 3], &canvas[i * 4], 3);
  }
  *out = std::move(img);
  return true;
}

bool gif_encode(const image&, const encode_options&, const byte_sink&, std::string* err) {
  return fail(err, "GIF files are read, not written");
}

}  // namespace pellimor::codecs
