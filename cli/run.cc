// run.cc - the run sequence: options, input, three channels, output.
#include "cli/run.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "bmp/bmp_io.h"
#include "cli/limits.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "cli/std_streams.h"
#include "codec/codec.h"
#include "dct/fast_resample.h"
#include "dct/resample.h"
#include "lib/file_io.h"
#include "pellimor/pellimor.h"

namespace {

// What one run is asked to do, gathered from the options.
struct run_request {
  const char* input = nullptr;          // a path, or "-" for standard input
  std::string output;                   // the output file, or "-" for standard output
  pellimor::image_format format = pellimor::image_format::bmp;
  int quality = 92;                     // JPEG
  std::int32_t dx = 0, dy = 0;          // pixels added to the width and height
  pellimor::resize_settings settings;   // engine, threads, rounding, taper, linear light
  progress_streams progress = {stdout, stderr};
  bool to_stdout() const { return output == "-"; }
};

run_request request_from(const resize_options& options) {
  run_request r;
  r.input = options.input_name;
  r.dx = options.sizexminus;
  r.dy = options.sizexminusy;
  r.settings.method = options.engine == engine_kind::direct ? pellimor::engine::direct : pellimor::engine::fast;
  r.settings.threads = options.threads;
  r.output = std::string(options.output_name) == "-" ? "-"
                                                     : options.output_name + std::string(format_extension(r.format));
  // With the image on standard output, every text goes to standard error.
  if (r.to_stdout()) r.progress.counters = stderr;
  return r;
}

struct closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using stdio_file = std::unique_ptr<std::FILE, closer>;

int fail(const char* path, const std::string& why) {
  std::fflush(stdout);
  std::fprintf(stderr, "pellimor: %s: %s\n", path, why.c_str());
  return 1;
}

// The exit status for `status`, after its messages.
int report(bmp_status status, const char* input_path, const std::string& output_path,
           const std::string& err) {
  switch (status) {
    case bmp_status::ok:
      return 0;
    case bmp_status::short_data:
      std::printf("input file size err!!\n");
      return fail(input_path, err);
    case bmp_status::malformed:
    case bmp_status::io_error:
      return fail(input_path, err);
    case bmp_status::write_error:
      return fail(output_path.c_str(), err);
  }
  return 1;
}

// Bytes the run holds at its peak, in double to stay clear of overflow.
double run_memory(const resize_options& options, double width, double height, double new_width,
                  double new_height) {
  if (options.engine == engine_kind::direct)
    return 3 * width * height + 3 * new_width * new_height +
           8 * (3 * width * height + 3 * new_width * new_height);
  return static_cast<double>(fast_resampler::working_bytes(
      static_cast<std::int64_t>(width), static_cast<std::int64_t>(height),
      static_cast<std::int64_t>(new_width), static_cast<std::int64_t>(new_height), options.threads));
}

// Red, green, blue through the direct sums, from whole source planes, into
// whole output planes written at the end.
bmp_status resample_direct(std::FILE* input, const bmp_layout& layout, std::int32_t new_width,
                           std::int32_t new_height, const run_request& request, std::string* err) {
  channel_plane source[3], out[3];  // blue, green, red
  bmp_layout again;
  const bmp_status status = read_input_bmp(input, &again, &source[0], &source[1], &source[2], err);
  if (status != bmp_status::ok) return status;
  if (again.width != layout.width || again.height != layout.height) {
    *err = "the file changed while it was read";
    return bmp_status::io_error;
  }
  for (channel_plane& plane : out)
    if (!allocate_plane(&plane, new_width, new_height)) throw std::bad_alloc();
  for (int c = 2; c >= 0; --c)
    resample_plane(layout.width, layout.height, new_width - layout.width, new_height - layout.height,
                   source[c].samples.data(), out[c].samples.data(), request.progress, direct_dct,
                   request.settings.round, request.settings.taper);
  return write_bmp_file_atomically(request.output.c_str(), out[0], out[1], out[2], err) ? bmp_status::ok
                                                                                         : bmp_status::write_error;
}

// Red, green, blue through the FFT engine: each channel's rows are read from
// the input as the engine needs them and its output rows merged straight
// into the output file, so no whole plane is ever held.
bmp_status resample_fast(std::FILE* input, const bmp_layout& layout, std::int32_t new_width,
                         std::int32_t new_height, const run_request& request, std::string* err) {
  fast_resampler resampler(layout.width, layout.height, new_width, new_height, request.settings.threads,
                           request.settings.taper);
  const char* output_path = request.output.c_str();
  pending_file out;
  std::array<std::uint8_t, 54> header;
  if (!bmp_header_bytes(new_width, new_height, &header, err)) return bmp_status::write_error;
  if (!out.open(output_path, err)) return bmp_status::write_error;
  // The whole file's blocks up front: a full disk shows before any work,
  // and renaming a file with no blocks left to allocate over an existing one
  // does not make the file system flush it first. Where the file system
  // cannot preallocate, the file is extended and its blocks come as written.
  const off_t file_size = bmp_file_size(new_width, new_height);
  const bool allocated = fallocate(out.fd(), 0, 0, file_size) == 0;
  if ((!allocated && errno != EOPNOTSUPP) ||
      pwrite(out.fd(), header.data(), header.size(), 0) != static_cast<ssize_t>(header.size()) ||
      (!allocated && ftruncate(out.fd(), file_size) != 0)) {
    *err = "cannot write '" + out.temp_path() + "': " + std::strerror(errno);
    return bmp_status::write_error;
  }

  // The first failure of any worker is the one reported; every worker stops.
  std::mutex failure_lock;
  bmp_status failure = bmp_status::ok;
  const auto record = [&](bmp_status status, const std::string& why) {
    std::lock_guard<std::mutex> hold(failure_lock);
    if (failure == bmp_status::ok) {
      failure = status;
      *err = why;
    }
    return false;
  };
  for (int c = 2; c >= 0; --c) {
    const row_reader rows = [&](std::int32_t first, std::int32_t count, std::uint8_t* dst) {
      std::string why;
      const bmp_status got = read_bmp_channel_rows(input, layout, c, first, count, dst, &why);
      return got == bmp_status::ok || record(got, why);
    };
    const row_writer merge = [&](std::int32_t first, std::int32_t count, const std::uint8_t* bytes) {
      std::string why;
      if (put_bmp_channel_rows(out.fd(), new_width, new_height, c, first, count, bytes, c == 2, &why))
        return true;
      return record(bmp_status::write_error, "cannot write '" + out.temp_path() + "': " + why);
    };
    if (!resampler.resample(rows, merge, request.progress, request.settings.round)) return failure;
  }
  return out.commit(err) ? bmp_status::ok : bmp_status::write_error;
}

// Whether the file is for the streaming path: a plain 24-bit BMP ("BM", 24
// bits per pixel, no compression), or nothing the codecs recognise either,
// so that the BMP reader says what is wrong with it. Other BMP depths and
// other formats go through the codecs.
bool for_streaming_path(std::FILE* input) {
  std::uint8_t head[64] = {};
  const ssize_t got = pread(fileno(input), head, sizeof head, 0);
  const std::size_t size = got > 0 ? static_cast<std::size_t>(got) : 0;
  pellimor::image_format format;
  if (size < 2 || head[0] != 'B' || head[1] != 'M') return !pellimor::detect_format(head, size, &format);
  const auto le = [&](int at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | head[at + i];
    return v;
  };
  const std::uint32_t header_size = le(14, 4);
  if (header_size == 12) return le(24, 2) == 24;
  return le(28, 2) == 24 && (header_size < 20 || le(30, 4) == 0);
}

std::string size_text(std::int64_t width, std::int64_t height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

std::string mebibytes(double bytes) { return std::to_string(static_cast<long long>(bytes / 1048576.0)); }

// Refuses work needing more memory than this process may use; 0 to go on.
int check_memory(const char* input_path, double need, std::int64_t new_width, std::int64_t new_height) {
  const memory_limit have = process_memory_limit();
  if (have.bytes > 0 && need > have.bytes)
    return fail(input_path, "resizing to " + size_text(new_width, new_height) + " needs " + mebibytes(need) +
                                " MiB, more than " + have.name + " (" + mebibytes(have.bytes) + " MiB)");
  return 0;
}

// The sample type and channels `format` stores an image of `info` with.
void output_layout(pellimor::image_format format, const pellimor::image_info& info, pellimor::sample_type* type,
                   int* channels) {
  using pellimor::sample_type;
  *channels = info.channels;
  *type = info.type;
  switch (format) {
    case pellimor::image_format::bmp:
    case pellimor::image_format::jpeg:
      *type = sample_type::u8;
      if (info.has_alpha()) --*channels;
      return;
    case pellimor::image_format::png:
      if (*type != sample_type::u8) *type = sample_type::u16;
      return;
    case pellimor::image_format::tiff:
      if (*type == sample_type::f64) *type = sample_type::f32;
      return;
  }
}

// Any image through the codecs: decoded whole, oriented, resized channel by
// channel, encoded whole.
int resize_through_codecs(const run_request& request) {
  const char* input_path = request.input;
  std::vector<std::uint8_t> bytes;
  std::string err;
  if (!pellimor::load_bytes(input_path, &bytes, &err)) return fail(input_path, err);
  pellimor::image_format format;
  if (!pellimor::detect_format(bytes.data(), bytes.size(), &format))
    return fail(input_path, "not a BMP, PNG, JPEG or TIFF file");
  pellimor::image_info info;
  if (!pellimor::read_info(bytes.data(), bytes.size(), format, &info, &err)) return fail(input_path, err);
  // Sizes refer to the picture as displayed.
  const bool turned = info.orientation >= 5 && info.orientation <= 8;
  const std::int64_t width = turned ? info.height : info.width, height = turned ? info.width : info.height;
  const std::int64_t new_width = width + request.dx, new_height = height + request.dy;
  if (new_width < 1 || new_height < 1)
    return fail(input_path, "the output size " + size_text(new_width, new_height) + " is not positive");
  if (new_width > INT32_MAX || new_height > INT32_MAX || (request.format == pellimor::image_format::bmp &&
                                                           bmp_file_size(new_width, new_height) == 0))
    return fail(input_path, "the output size " + size_text(new_width, new_height) + " does not fit in a " +
                                format_name(request.format) + " file");

  pellimor::image out;
  output_layout(request.format, info, &out.type, &out.channels);
  out.width = static_cast<std::int32_t>(new_width);
  out.height = static_cast<std::int32_t>(new_height);
  pellimor::resize_settings settings = request.settings;
  settings.alpha = out.has_alpha();
  settings.counters = request.progress.counters;
  settings.phases = request.progress.phases;
  const double need = static_cast<double>(bytes.size()) + static_cast<double>(info.pixel_bytes()) * 2 +
                      static_cast<double>(out.pixel_bytes()) +
                      static_cast<double>(pellimor::resize_working_bytes(info.width, info.height, out.width,
                                                                         out.height, out.channels, settings));
  if (const int status = check_memory(input_path, need, new_width, new_height)) return status;
  if (!request.to_stdout() && !check_output_target(request.output.c_str(), &err))
    return fail(request.output.c_str(), err);

  pellimor::image source;
  if (!pellimor::decode_image(bytes.data(), bytes.size(), format, &source, &err)) return fail(input_path, err);
  bytes = {};
  if (!pellimor::apply_orientation(&source)) throw std::bad_alloc();
  if (source.has_alpha() && !out.has_alpha())
    std::fprintf(stderr, "pellimor: note: %s output has no alpha channel; alpha is dropped\n",
                 format_name(request.format));
  out.icc = source.icc;
  if (!out.allocate()) throw std::bad_alloc();
  pellimor::image_view view = pellimor::view_of(source);
  view.channels = out.channels;  // a dropped alpha channel is simply not read
  if (!pellimor::resize(view, pellimor::span_of(out), settings, &err)) return fail(input_path, err);
  source = {};

  pellimor::encode_options options;
  options.quality = request.quality;
  const bool written = request.to_stdout()
                           ? pellimor::encode_to_fd(out, request.format, options, STDOUT_FILENO, &err)
                           : pellimor::encode_to_file(out, request.format, options, request.output, &err);
  if (!written) return fail(request.to_stdout() ? "standard output" : request.output.c_str(), err);
  return 0;
}

int resize_from_command_line(int argc, char** argv) {
  if (argc < 2) {
    print_usage(stderr);
    return 0;
  }
  resize_options options;
  const int parsed = parse_options(argc, argv, &options);
  if (parsed >= 0) return parsed;
  const run_request request = request_from(options);

  std::fprintf(request.to_stdout() ? stderr : stdout, "input = %s\n", request.input);
  const char* input_path = request.input;
  if (std::strcmp(input_path, "-") == 0) {
    try {
      return resize_through_codecs(request);
    } catch (const std::bad_alloc&) {
      return fail(input_path, "out of memory");
    }
  }
  stdio_file input(std::fopen(input_path, "rb"));
  if (!input) return fail(input_path, std::string("cannot open: ") + std::strerror(errno));

  // The streaming path: a plain 24-bit BMP to a BMP file, colour as coded.
  if (!for_streaming_path(input.get()) || request.format != pellimor::image_format::bmp ||
      request.to_stdout() || request.settings.linear) {
    try {
      return resize_through_codecs(request);
    } catch (const std::bad_alloc&) {
      return fail(input_path, "out of memory");
    } catch (const std::system_error& e) {
      return fail(input_path, e.what());
    }
  }

  const std::string& output_path = request.output;
  bmp_layout layout;
  std::string err;
  bmp_status status = read_bmp_layout(input.get(), &layout, &err);
  if (status != bmp_status::ok) return report(status, input_path, output_path, err);

  const std::int64_t new_width = std::int64_t{layout.width} + request.dx;
  const std::int64_t new_height = std::int64_t{layout.height} + request.dy;
  const std::string size = size_text(new_width, new_height);
  if (new_width < 1 || new_height < 1)
    return fail(input_path, "the output size " + size + " is not positive");
  if (bmp_file_size(new_width, new_height) == 0)
    return fail(input_path, "the output size " + size + " does not fit in a BMP file");
  const double need = run_memory(options, layout.width, layout.height, static_cast<double>(new_width),
                                 static_cast<double>(new_height));
  if (const int refused = check_memory(input_path, need, new_width, new_height)) return refused;
  if (!check_output_target(output_path.c_str(), &err)) return fail(output_path.c_str(), err);

  try {
    const std::int32_t w = static_cast<std::int32_t>(new_width), h = static_cast<std::int32_t>(new_height);
    status = options.engine == engine_kind::direct ? resample_direct(input.get(), layout, w, h, request, &err)
                                                   : resample_fast(input.get(), layout, w, h, request, &err);
  } catch (const std::bad_alloc&) {
    return fail(input_path, "out of memory for a resize to " + size);
  } catch (const std::system_error& e) {  // no thread could be started
    return fail(input_path, e.what());
  }
  return report(status, input_path, output_path, err);
}

}  // namespace

int run_resize(int argc, char** argv) {
  prepare_standard_streams();
  return check_standard_streams(resize_from_command_line(argc, argv));
}
