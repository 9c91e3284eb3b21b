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
#include "dct/fast_resample.h"
#include "dct/resample.h"

namespace {

const progress_streams console = {stdout, stderr};

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
                           std::int32_t new_height, const char* output_path, std::string* err) {
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
                   source[c].samples.data(), out[c].samples.data(), console);
  return write_bmp_file_atomically(output_path, out[0], out[1], out[2], err) ? bmp_status::ok
                                                                             : bmp_status::write_error;
}

// Red, green, blue through the FFT engine: each channel's rows are read from
// the input as the engine needs them and its output rows merged straight
// into the output file, so no whole plane is ever held.
bmp_status resample_fast(std::FILE* input, const bmp_layout& layout, std::int32_t new_width,
                         std::int32_t new_height, int threads, const char* output_path, std::string* err) {
  fast_resampler resampler(layout.width, layout.height, new_width, new_height, threads);
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
    if (!resampler.resample(rows, merge, console)) return failure;
  }
  return out.commit(err) ? bmp_status::ok : bmp_status::write_error;
}

int resize_from_command_line(int argc, char** argv) {
  if (argc < 2) {
    print_usage(stderr);
    return 0;
  }
  resize_options options;
  const int parsed = parse_options(argc, argv, &options);
  if (parsed >= 0) return parsed;

  std::printf("input = %s\n", options.input_name);
  const char* input_path = options.input_name;
  const std::string output_path = std::string(options.output_name) + ".bmp";
  stdio_file input(std::fopen(input_path, "rb"));
  if (!input) return fail(input_path, std::string("cannot open: ") + std::strerror(errno));

  bmp_layout layout;
  std::string err;
  bmp_status status = read_bmp_layout(input.get(), &layout, &err);
  if (status != bmp_status::ok) return report(status, input_path, output_path, err);

  const std::int64_t new_width = std::int64_t{layout.width} + options.sizexminus;
  const std::int64_t new_height = std::int64_t{layout.height} + options.sizexminusy;
  const std::string size = std::to_string(new_width) + " x " + std::to_string(new_height);
  if (new_width < 1 || new_height < 1)
    return fail(input_path, "the output size " + size + " is not positive");
  if (bmp_file_size(new_width, new_height) == 0)
    return fail(input_path, "the output size " + size + " does not fit in a BMP file");
  const double need = run_memory(options, layout.width, layout.height, static_cast<double>(new_width),
                                 static_cast<double>(new_height));
  const memory_limit have = process_memory_limit();
  if (have.bytes > 0 && need > have.bytes)
    return fail(input_path, "resizing to " + size + " needs " +
                                std::to_string(static_cast<long long>(need / 1048576.0)) +
                                " MiB, more than " + have.name + " (" +
                                std::to_string(static_cast<long long>(have.bytes / 1048576.0)) + " MiB)");
  if (!check_output_target(output_path.c_str(), &err)) return fail(output_path.c_str(), err);

  try {
    const std::int32_t w = static_cast<std::int32_t>(new_width), h = static_cast<std::int32_t>(new_height);
    status = options.engine == engine_kind::direct
                 ? resample_direct(input.get(), layout, w, h, output_path.c_str(), &err)
                 : resample_fast(input.get(), layout, w, h, options.threads, output_path.c_str(), &err);
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
