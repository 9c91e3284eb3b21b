// resize_file.cc - a picture file through the codecs, the resize and back.
#include "lib/resize_file.h"

#include <unistd.h>

#include <new>
#include <system_error>
#include <vector>

#include "bmp/bmp_decode.h"
#include "bmp/bmp_io.h"
#include "cli/geometry.h"
#include "cli/limits.h"
#include "cli/output_file.h"
#include "lib/file_io.h"

namespace pellimor {
namespace {

// The sample type and channels `format` stores an image of `info` with.
void output_layout(image_format format, const image_info& info, sample_type* type, int* channels) {
  *channels = info.channels;
  *type = info.type;
  switch (format) {
    case image_format::bmp:
    case image_format::jpeg:
      *type = sample_type::u8;
      if (info.has_alpha()) --*channels;
      return;
    case image_format::png:
      if (*type != sample_type::u8) *type = sample_type::u16;
      return;
    case image_format::tiff:
      if (*type == sample_type::f64) *type = sample_type::f32;
      return;
  }
}

// What encoding `img` as `format` holds beside the image: TIFF builds the
// whole file in memory (about the samples' size, a little more where
// deflate cannot shrink them); JPEG with optimised Huffman tables keeps
// every DCT coefficient, two bytes a sample at 4:4:4; PNG and BMP stream.
double encoder_bytes(image_format format, const image& img) {
  const double samples = static_cast<double>(img.width) * img.height * img.channels;
  switch (format) {
    case image_format::tiff:
      return 1.01 * static_cast<double>(img.pixel_bytes()) + (1 << 20);
    case image_format::jpeg:
      return 2 * samples * 1.05 + (1 << 20);
    default:
      return 1 << 20;
  }
}

std::string mebibytes(double bytes) { return std::to_string(static_cast<long long>(bytes / 1048576.0)); }

// Whether a BMP file of 24 bits a pixel (or of a depth not yet read) ends
// before its headers or rows do: what the 24-bit reader calls short.
bool short_bmp(const std::vector<std::uint8_t>& bytes) {
  bmp_format format;
  std::string ignored;
  const bmp_status status = parse_bmp_format(bytes.data(), bytes.size(), &format, &ignored);
  if (format.bits != 0 && format.bits != 24) return false;
  return status == bmp_status::short_data ||
         (status == bmp_status::ok &&
          format.pixel_offset + format.row_size * static_cast<std::uint64_t>(format.height) > bytes.size());
}

bool run(const file_request& request, std::string* where, std::string* err) {
  const std::string& input = request.input;
  *where = input;
  std::vector<std::uint8_t> bytes;
  if (!(request.input_fd >= 0 ? load_bytes_from(request.input_fd, &bytes, err)
                              : load_bytes(input.c_str(), &bytes, err)))
    return false;
  image_format format;
  if (!detect_format(bytes.data(), bytes.size(), &format)) {
    *err = "not a BMP, PNG, JPEG or TIFF file";
    return false;
  }
  const auto input_fails = [&] {
    if (format == image_format::bmp && request.short_bmp && short_bmp(bytes)) request.short_bmp();
    return false;
  };
  image_info info;
  if (!read_info(bytes.data(), bytes.size(), format, &info, err)) return input_fails();
  // Sizes refer to the picture as displayed.
  const bool turned = info.orientation >= 5 && info.orientation <= 8;
  const std::int64_t width = turned ? info.height : info.width, height = turned ? info.width : info.height;
  std::int64_t new_width = width, new_height = height;
  if (request.size && !request.size(width, height, &new_width, &new_height, err)) return false;
  if (new_width < 1 || new_height < 1) {
    *err = "the output size " + size_text(new_width, new_height) + " is not positive";
    return false;
  }
  if (new_width > INT32_MAX || new_height > INT32_MAX ||
      (request.format == image_format::bmp && bmp_file_size(new_width, new_height) == 0)) {
    *err = "the output size " + size_text(new_width, new_height) + " does not fit in a " +
           format_name(request.format) + " file";
    return false;
  }

  image out;
  output_layout(request.format, info, &out.type, &out.channels);
  out.width = static_cast<std::int32_t>(new_width);
  out.height = static_cast<std::int32_t>(new_height);
  resize_settings settings = request.settings;
  settings.alpha = out.has_alpha();
  if (request.planned) request.planned(out.channels, width, height, new_width, new_height, &settings);
  const double need = static_cast<double>(bytes.size()) + static_cast<double>(info.pixel_bytes()) * 2 +
                      static_cast<double>(out.pixel_bytes()) + encoder_bytes(request.format, out) +
                      static_cast<double>(resize_working_bytes(info.width, info.height, out.width, out.height,
                                                               out.channels, settings));
  *err = memory_refusal(need, new_width, new_height);
  if (!err->empty()) return false;
  const bool to_stdout = request.output == "-";
  if (!to_stdout && !check_output_target(request.output.c_str(), err)) {
    *where = request.output;
    return false;
  }

  image source;
  if (!decode_image(bytes.data(), bytes.size(), format, &source, err)) return input_fails();
  std::vector<std::uint8_t>().swap(bytes);  // freed, not just emptied
  if (!apply_orientation(&source)) throw std::bad_alloc();
  if (source.has_alpha() && !out.has_alpha() && request.note)
    request.note(std::string(format_name(request.format)) + " output has no alpha channel; alpha is dropped");
  out.icc = source.icc;
  if (!out.allocate()) throw std::bad_alloc();
  image_view view = view_of(source);
  view.channels = out.channels;  // a dropped alpha channel is simply not read
  if (!resize(view, span_of(out), settings, err)) {
    if (err->rfind("out of memory", 0) == 0) *err = out_of_memory(*err);
    return false;
  }
  source = {};

  encode_options options;
  options.quality = request.quality;
  *where = to_stdout ? "standard output" : request.output;
  return to_stdout ? encode_to_fd(out, request.format, options, STDOUT_FILENO, err)
                   : encode_to_file(out, request.format, options, request.output, err);
}

}  // namespace

std::string size_text(std::int64_t width, std::int64_t height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

std::string out_of_memory(const std::string& message) {
  const memory_limit have = process_memory_limit();
  return have.bytes > 0
             ? message + " (this process may use " + mebibytes(have.bytes) + " MiB: " + have.name + ")"
             : message;
}

std::string memory_refusal(double need, std::int64_t new_width, std::int64_t new_height) {
  const memory_limit have = process_memory_limit();
  if (have.bytes > 0 && need > have.bytes)
    return "resizing to " + size_text(new_width, new_height) + " needs " + mebibytes(need) +
           " MiB, more than " + have.name + " (" + mebibytes(have.bytes) + " MiB)";
  return "";
}

bool run_file_request(const file_request& request, std::string* where, std::string* err) {
  try {
    return run(request, where, err);
  } catch (const std::bad_alloc&) {
    *where = request.input;
    *err = out_of_memory("out of memory");
  } catch (const std::system_error& e) {  // no thread could be started
    *where = request.input;
    *err = e.what();
  }
  return false;
}

void resize_file(const std::string& input, const std::string& output, const file_options& options) {
  file_request request;
  request.input = input;
  request.output = output;
  request.format = options.format ? *options.format : format_named_by(output);
  check_quality(options.quality);
  request.quality = options.quality;
  request.settings = options.settings;
  if (!options.size.empty()) {
    geometry size;
    std::string why;
    if (!parse_geometry(options.size.c_str(), &size, &why))
      throw error("bad geometry '" + options.size + "': " + why);
    request.size = [size](std::int64_t width, std::int64_t height, std::int64_t* new_width,
                          std::int64_t* new_height, std::string* err) {
      return resolve_geometry(size, width, height, new_width, new_height, err);
    };
  }
  std::string where, err;
  if (!run_file_request(request, &where, &err)) throw error(where + ": " + err);
}

}  // namespace pellimor
