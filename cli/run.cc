// run.cc - the run sequence: options, input, three channels, output.
#include "cli/run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "bmp/bmp_io.h"
#include "cli/options.h"
#include "lib/output_file.h"
#include "cli/progress_bar.h"
#include "cli/std_streams.h"
#include "codec/codec.h"
#include "dct/fast_resample.h"
#include "dct/resample.h"
#include "lib/file_io.h"
#include "lib/linear_light.h"
#include "lib/resize_file.h"
#include "pellimor/pellimor.h"

namespace {

// What one run is asked to do, gathered from the options.
struct run_request {
  const char* input = nullptr;  // a path, or "-" for standard input
  std::string output;           // the output file, or "-" for standard output
  pellimor::image_format format = pellimor::image_format::bmp;
  int quality = 92;             // JPEG
  std::int32_t dx = 0, dy = 0;  // pixels added to the width and height
  bool size_given = false;      // -size: `size` instead of dx and dy
  geometry size;
  progress_mode progress_kind = progress_mode::lines;
  pellimor::resize_settings settings;  // engine, threads, rounding, taper, linear light
  pellimor::file_limits limits;
  progress_streams progress = {stdout, stderr};
  bool to_stdout() const { return output == "-"; }
};

run_request request_from(const resize_options& options) {
  run_request r;
  r.input = options.input_name;
  r.dx = options.sizexminus;
  r.dy = options.sizexminusy;
  r.settings.method =
      options.engine == engine_kind::direct ? pellimor::engine::direct : pellimor::engine::fast;
  r.settings.threads = options.threads;
  r.settings.round = options.round;
  r.settings.taper = options.taper;
  r.settings.linear = options.linear;
  r.size_given = options.size_given;
  r.size = options.size;
  r.format = options.format;
  r.quality = options.quality;
  r.limits = options.limits;
  r.progress_kind = options.progress;
  r.output = std::string(options.output_name) == "-"
                 ? "-"
                 : options.output_name + std::string(format_extension(r.format));
  // With the image on standard output, every text goes to standard error.
  if (r.to_stdout()) r.progress.counters = stderr;
  if (r.progress_kind != progress_mode::lines) r.progress = {nullptr, nullptr};
  return r;
}

// The output size for a width x height picture (as displayed): the
// geometry, or the differences. False with *err when it is too large.
bool resolve_size(const run_request& request, std::int64_t width, std::int64_t height,
                  std::int64_t* new_width, std::int64_t* new_height, std::string* err) {
  if (request.size_given) return resolve_geometry(request.size, width, height, new_width, new_height, err);
  *new_width = width + request.dx;
  *new_height = height + request.dy;
  return true;
}

// The engine's progress as one bar over every channel, with -progress bar.
class bar_progress {
 public:
  bar_progress(const run_request& request, int channels, std::int64_t width, std::int64_t height,
               std::int64_t new_width, std::int64_t new_height)
      : plane_passes_(pass_count(width, height, new_width, new_height)),
        bar_(request.progress_kind == progress_mode::bar ? channels * plane_passes_ : 0, stderr) {
    if (request.progress_kind == progress_mode::bar) on_ = true;
  }
  ~bar_progress() { bar_.finish(); }

  // Hooks the bar, when there is one, into the engine's reports.
  void attach(progress_streams* progress) {
    if (!on_) return;
    progress->passes_done = passes_done;
    progress->context = this;
  }
  void attach(pellimor::resize_settings* settings) {
    if (!on_) return;
    settings->passes_done = passes_done;
    settings->context = this;
  }

 private:
  static void passes_done(void* context, std::int64_t done, std::int64_t total) {
    bar_progress* self = static_cast<bar_progress*>(context);
    self->bar_.update(self->planes_done_ * total + done);
    if (done == total) ++self->planes_done_;
  }
  bool on_ = false;
  std::int64_t plane_passes_;
  std::int64_t planes_done_ = 0;
  progress_bar bar_;
};

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
  return write_bmp_file_atomically(request.output.c_str(), out[0], out[1], out[2], err)
             ? bmp_status::ok
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
    *err = std::string("cannot write: ") + std::strerror(errno);
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
  std::optional<pellimor::linear_light> light;
  if (request.settings.linear) light.emplace(255.0, true, 255.0, true, request.settings.round);
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
      return record(bmp_status::write_error, "cannot write: " + why);
    };
    if (!light) {
      if (!resampler.resample(rows, merge, request.progress, request.settings.round)) return failure;
      continue;
    }
    // Linear light: samples through the curve's table on the way in, codes
    // found among the thresholds on the way out, as the library does.
    const value_row_reader linear_rows = [&](std::int32_t first, std::int32_t count, double* dst) {
      std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count) * layout.width);
      if (!rows(first, count, bytes.data())) return false;
      for (std::size_t i = 0; i < bytes.size(); ++i) dst[i] = light->to_linear(bytes[i]);
      return true;
    };
    const value_row_writer encoded = [&](std::int32_t first, std::int32_t count, const double* values) {
      std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count) * new_width);
      for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(light->code_of(values[i]));
      return merge(first, count, bytes.data());
    };
    if (!resampler.resample_doubles(linear_rows, encoded, request.progress)) return failure;
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

using pellimor::size_text;

// Refuses work needing more memory than this process may use; 0 to go on.
int check_memory(const char* input_path, double need, std::int64_t new_width, std::int64_t new_height,
                 const pellimor::file_limits& limits) {
  const std::string refusal = pellimor::memory_refusal(need, new_width, new_height, limits);
  return refusal.empty() ? 0 : fail(input_path, refusal);
}

// Any image through the codecs: decoded whole, oriented, resized channel by
// channel, encoded whole.
int resize_through_codecs(const run_request& request, int input_fd = -1) {
  pellimor::file_request job;
  job.input = request.input;
  job.input_fd = input_fd;
  job.output = request.output;
  job.format = request.format;
  job.quality = request.quality;
  job.size = [&request](std::int64_t width, std::int64_t height, std::int64_t* new_width,
                        std::int64_t* new_height, std::string* err) {
    return resolve_size(request, width, height, new_width, new_height, err);
  };
  job.settings = request.settings;
  job.limits = request.limits;
  job.settings.counters = request.progress.counters;
  job.settings.phases = request.progress.phases;
  std::optional<bar_progress> bar;
  job.planned = [&](int channels, std::int64_t width, std::int64_t height, std::int64_t new_width,
                    std::int64_t new_height, pellimor::resize_settings* settings) {
    bar.emplace(request, channels, width, height, new_width, new_height);
    bar->attach(settings);
  };
  job.note = [](const std::string& note) { std::fprintf(stderr, "pellimor: note: %s\n", note.c_str()); };
  // The message the 24-bit reader gives a short file, wherever it is read.
  job.short_bmp = [&request] {
    std::fprintf(request.to_stdout() ? stderr : stdout, "input file size err!!\n");
  };
  std::string where, err;
  const bool done = pellimor::run_file_request(job, &where, &err);
  bar.reset();
  return done ? 0 : fail(where.c_str(), err);
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

  if (request.progress_kind == progress_mode::lines)
    std::fprintf(request.to_stdout() ? stderr : stdout, "input = %s\n", request.input);
  const char* input_path = request.input;
  if (std::strcmp(input_path, "-") == 0) return resize_through_codecs(request);
  stdio_file input(std::fopen(input_path, "rb"));
  if (!input) return fail(input_path, std::string("cannot open: ") + std::strerror(errno));

  // A pipe or other stream is read once, whole, from the descriptor open
  // now (opening a FIFO again would wait for a second writer).
  struct stat input_stat;
  if (fstat(fileno(input.get()), &input_stat) != 0 || !S_ISREG(input_stat.st_mode))
    return resize_through_codecs(request, fileno(input.get()));

  // The streaming path: a plain 24-bit BMP to a BMP file, colour as coded.
  if (!for_streaming_path(input.get()) || request.format != pellimor::image_format::bmp ||
      request.to_stdout() || (request.settings.linear && options.engine == engine_kind::direct))
    return resize_through_codecs(request);

  const std::string& output_path = request.output;
  bmp_layout layout;
  std::string err;
  bmp_status status = read_bmp_layout(input.get(), &layout, &err);
  if (status != bmp_status::ok) return report(status, input_path, output_path, err);

  err = pellimor::pixel_refusal(request.limits, "the file claims", layout.width, layout.height);
  if (!err.empty()) return fail(input_path, err);
  std::int64_t new_width, new_height;
  if (!resolve_size(request, layout.width, layout.height, &new_width, &new_height, &err))
    return fail(input_path, err);
  const std::string size = size_text(new_width, new_height);
  if (new_width < 1 || new_height < 1)
    return fail(input_path, "the output size " + size + " is not positive");
  if (bmp_file_size(new_width, new_height) == 0)
    return fail(input_path, "the output size " + size + " does not fit in a BMP file");
  const double need = run_memory(options, layout.width, layout.height, static_cast<double>(new_width),
                                 static_cast<double>(new_height));
  err = pellimor::pixel_refusal(request.limits, "resizing to", new_width, new_height);
  if (!err.empty()) return fail(input_path, err);
  if (const int refused = check_memory(input_path, need, new_width, new_height, request.limits))
    return refused;
  if (!check_output_target(output_path.c_str(), &err)) return fail(output_path.c_str(), err);

  try {
    const std::int32_t w = static_cast<std::int32_t>(new_width), h = static_cast<std::int32_t>(new_height);
    run_request with_bar = request;
    bar_progress bar(request, 3, layout.width, layout.height, w, h);
    bar.attach(&with_bar.progress);
    status = options.engine == engine_kind::direct
                 ? resample_direct(input.get(), layout, w, h, with_bar, &err)
                 : resample_fast(input.get(), layout, w, h, with_bar, &err);
  } catch (const std::bad_alloc&) {
    return fail(input_path, pellimor::out_of_memory("out of memory for a resize to " + size));
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
