// file_io.cc - images to and from files: the library's read_image and
// write_image, and the pieces the program shares with them.
#include "lib/file_io.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/output_file.h"
#include "lib/resize_file.h"
#include "pellimor/pellimor.h"

namespace pellimor {

bool write_all(int fd, const std::uint8_t* data, std::size_t size, std::string* err) {
  while (size > 0) {
    const ssize_t wrote = ::write(fd, data, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      *err = std::strerror(wrote < 0 ? errno : EIO);
      return false;
    }
    data += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
  return true;
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
  return encode_to_fd(img, format, options, out.fd(), err) && out.commit(err);
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

image read_image(const std::string& path, const file_limits& limits) { return read_image(path, limits, 1); }

image read_image(const std::string& path, const file_limits& limits, int page) {
  std::vector<std::uint8_t> bytes;
  std::string err;
  if (!load_bytes(path.c_str(), &bytes, &err, input_byte_limit(limits))) throw error(path + ": " + err);
  image_format format;
  if (!detect_format(bytes.data(), bytes.size(), &format))
    throw error(path + ": " + unknown_format_message());
  err = page_refusal(bytes, format, page);
  if (!err.empty()) throw error(path + ": " + err);
  image_info info;
  if (!read_info(bytes.data(), bytes.size(), format, &info, &err, page - 1)) throw error(path + ": " + err);
  err = pixel_refusal(limits, "the file claims", info.width, info.height);
  if (err.empty())
    err = memory_refusal(static_cast<double>(bytes.size()) + 2 * static_cast<double>(info.pixel_bytes()),
                         "reading " + size_text(info.width, info.height) + " pixels", limits);
  if (!err.empty()) throw error(path + ": " + err);
  image img;
  if (!decode_image(bytes.data(), bytes.size(), format, &img, &err, page - 1)) throw error(path + ": " + err);
  if (!apply_orientation(&img)) throw error(path + ": out of memory");
  return img;
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

std::string page_refusal(const std::vector<std::uint8_t>& bytes, image_format format, int page) {
  if (page < 1) return "the page must be 1 or more, not " + std::to_string(page);
  if (page == 1) return "";
  const int pages = count_pages(bytes.data(), bytes.size(), format);
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
  if (img.width < 1 || img.height < 1 || img.channels < 1 || img.channels > 4 ||
      img.pixels.size() < img.pixel_bytes())
    throw error(path + ": the image has no pixels or fewer samples than its size needs");
  encode_options options;
  options.quality = quality;
  options.lossless = lossless;
  std::string err;
  if (!encode_to_file(img, format, options, path, &err)) throw error(path + ": " + err);
}

}  // namespace pellimor
