// SPDX-License-Identifier: MIT
// file_io.cc - images to and from files: the library's read_image and
// write_image, and the pieces the program shares with them.
#include "lib/file_io.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "lib/output_file.h"
#include "lib/resize_file.h"
#include "pellimor/pellimor.h"

using namespace pellimor::detail;  // the library's internals

namespace pellimor {

bool write_all(int fd, const std::uint8_t* data, std::size_t size, std::string* err) {
  const int failed = write_fully(fd, data, size);
  if (failed != 0) *err = std::strerror(failed);
  return failed == 0;
}

bool encode_to_fd(const image& img, image_format format, const encode_options& options, int fd,
                  std::string* err) {
  std::string write_err;
  const byte_sink sink = [&](const std::uint8_t* bytes, std::size_t size) {
    return write_all(fd, bytes, size, &write_err);
  };
  if (encode_image(img, format, options, sink, err)) return true;
  if (!write_err.empty()) *err = "cannot write: " + write_err;
  return false;
}

bool encode_to_file(const image& img, image_format format, const encode_options& options,
                    const std::string& path, std::string* err) {
  pending_file out;
  if (!out.open(path.c_str(), err)) return false;
  int write_error = 0;
  if (!encode_image_to_file(img, format, options, out.fd(), err, &write_error)) {
    if (write_error != 0) *err = std::string("cannot write: ") + std::strerror(write_error);
    return false;
  }
  return out.commit(err);
}

bool format_from_name(const std::string& path, image_format* format) {
  static const struct {
    const char* extension;
    image_format format;
  } extensions[] = {{".bmp", image_format::bmp},  {".png", image_format::png},
                    {".jpg", image_format::jpeg}, {".jpeg", image_format::jpeg},
                    {".tif", image_format::tiff}, {".tiff", image_format::tiff},
                    {".webp", image_format::webp}};
  for (const auto& e : extensions) {
    const std::size_t n = std::strlen(e.extension);
    if (path.size() > n && strcasecmp(path.c_str() + path.size() - n, e.extension) == 0) {
      *format = e.format;
      return true;
    }
  }
  return false;
}

image read_image(const std::string& path) { return read_image(path, file_limits{}); }

std::string checked_header(const std::uint8_t* data, std::size_t size, const file_limits& limits,
                           file_info* info, bool own_memory, int page) {
  if (!detect_format(data, size, &info->format)) return unknown_format_message();
  std::string err = page_refusal(data, size, info->format, page);
  if (!err.empty()) return err;
  if (!read_info(data, size, info->format, info, &err, page - 1)) return err;
  err = pixel_refusal(limits, "the file claims", info->width, info->height);
  if (err.empty() && (own_memory || limits.memory != 0))
    err = memory_refusal(static_cast<double>(size) + 2 * static_cast<double>(info->pixel_bytes()),
                         "reading " + size_text(info->width, info->height) + " pixels", limits);
  return err;
}

namespace {

// Decodes bytes whose header checked_header passed; `name` starts each
// message ("" for none).
image decoded(const std::uint8_t* data, std::size_t size, const file_info& info, const std::string& name,
              int page = 1) {
  image img;
  std::string err;
  if (!decode_image(data, size, info.format, &img, &err, page - 1)) throw error(name + err);
  if (!apply_orientation(&img)) throw error(name + "out of memory");
  return img;
}

std::vector<std::uint8_t> file_bytes(const std::string& path, const file_limits& limits) {
  std::vector<std::uint8_t> bytes;
  std::string err;
  if (!load_bytes(path.c_str(), &bytes, &err, input_byte_limit(limits))) throw error(path + ": " + err);
  return bytes;
}

}  // namespace

image read_image(const std::string& path, const file_limits& limits) { return read_image(path, limits, 1); }

image read_image(const std::string& path, const file_limits& limits, int page) {
  const std::vector<std::uint8_t> bytes = file_bytes(path, limits);
  file_info info;
  const std::string err = checked_header(bytes.data(), bytes.size(), limits, &info, true, page);
  if (!err.empty()) throw error(path + ": " + err);
  return decoded(bytes.data(), bytes.size(), info, path + ": ", page);
}

file_info read_info(const std::string& path, const file_limits& limits) {
  const std::vector<std::uint8_t> bytes = file_bytes(path, limits);
  file_info info;
  const std::string err = checked_header(bytes.data(), bytes.size(), limits, &info, false);
  if (!err.empty()) throw error(path + ": " + err);
  return info;
}

file_info read_info(const void* data, std::size_t size, const file_limits& limits) {
  file_info info;
  const std::string err = checked_header(static_cast<const std::uint8_t*>(data), size, limits, &info, false);
  if (!err.empty()) throw error(err);
  return info;
}

image decode(const void* data, std::size_t size, const file_limits& limits) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  file_info info;
  const std::string err = checked_header(bytes, size, limits, &info);
  if (!err.empty()) throw error(err);
  return decoded(bytes, size, info, "");
}

image decode(const std::vector<std::uint8_t>& bytes, const file_limits& limits) {
  return decode(bytes.data(), bytes.size(), limits);
}

image_format format_named_by(const std::string& path) {
  image_format format;
  if (!format_from_name(path, &format)) {
    const std::size_t n = path.size();
    if (n > 4 && strcasecmp(path.c_str() + n - 4, ".gif") == 0)
      throw error(path + ": GIF files are read, not written");
    throw error(path + ": the name does not end in .bmp, .png, .jpg, .jpeg, .tif, .tiff or .webp");
  }
  return format;
}

void check_quality(int quality) {
  if (quality < 1 || quality > 100) throw error("the quality must be from 1 to 100");
}

std::string page_refusal(const std::uint8_t* data, std::size_t size, image_format format, int page) {
  if (page < 1) return "the page must be 1 or more, not " + std::to_string(page);
  if (page == 1) return "";
  const int pages = count_pages(data, size, format);
  if (page <= pages) return "";
  if (pages == 0) return "cannot count the file's pages: it is damaged";
  return "there is no page " + std::to_string(page) + ": the file has " + std::to_string(pages) +
         (pages == 1 ? " page" : " pages");
}

void write_image(const std::string& path, const image& img, int quality) {
  write_image(path, img, quality, false);
}

void write_image(const std::string& path, const image& img, int quality, bool lossless) {
  const image_format format = format_named_by(path);
  check_quality(quality);
  std::string err = image_refusal(img);
  if (!err.empty()) throw error(path + ": " + err);
  encode_options options;
  options.quality = quality;
  options.lossless = lossless;
  if (!encode_to_file(img, format, options, path, &err)) throw error(path + ": " + err);
}

std::string image_refusal(const image& img) {
  if (img.width < 1 || img.height < 1 || img.channels < 1 || img.channels > 4 ||
      img.pixels.size() < img.pixel_bytes())
    return "the image has no pixels or fewer samples than its size needs";
  return "";
}

std::vector<std::uint8_t> encode(const image& img, image_format format, int quality) {
  check_quality(quality);
  std::string err = image_refusal(img);
  if (!err.empty()) throw error(err);
  encode_options options;
  options.quality = quality;
  std::vector<std::uint8_t> bytes;
  bool out_of_memory = false;
  const byte_sink sink = [&](const std::uint8_t* piece, std::size_t size) {
    try {
      bytes.insert(bytes.end(), piece, piece + size);
      return true;
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
      return false;
    }
  };
  if (!encode_image(img, format, options, sink, &err))
    throw error(out_of_memory ? std::string("out of memory for the encoded file") : err);
  return bytes;
}

}  // namespace pellimor
