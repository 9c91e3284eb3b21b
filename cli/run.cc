// run.cc - the run sequence: options, input, three channels, output.
#include "cli/run.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "bmp/bmp_io.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "dct/fast_resample.h"
#include "dct/resample.h"

namespace {

const progress_streams console = {stdout, stderr};

struct closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_handle = std::unique_ptr<std::FILE, closer>;

int fail(const char* path, const std::string& why) {
  std::fflush(stdout);
  std::fprintf(stderr, "pellimor: %s: %s\n", path, why.c_str());
  return 1;
}

// Physical memory of this machine, or 0 when unknown.
double physical_memory() {
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  return pages > 0 && page > 0 ? static_cast<double>(pages) * page : 0.0;
}

// Bytes the run holds at its peak, in double to stay clear of overflow.
double run_memory(const resize_options& options, double width, double height, double new_width,
                  double new_height) {
  const double out_planes = 3 * new_width * new_height;
  if (options.engine == engine_kind::direct)
    return 3 * width * height + out_planes + 8 * (3 * width * height + 3 * new_width * new_height);
  return out_planes + static_cast<double>(fast_resampler::working_bytes(
                          static_cast<std::int64_t>(width), static_cast<std::int64_t>(height),
                          static_cast<std::int64_t>(new_width), static_cast<std::int64_t>(new_height),
                          options.threads));
}

// Red, green, blue through the direct sums, from whole source planes.
bmp_status resample_direct(std::FILE* input, const bmp_layout& layout, channel_plane* const out[3],
                           std::string* err) {
  channel_plane source[3];  // blue, green, red
  bmp_layout again;
  const bmp_status status = read_input_bmp(input, &again, &source[0], &source[1], &source[2], err);
  if (status != bmp_status::ok) return status;
  const std::int32_t dx = out[0]->width - layout.width, dy = out[0]->height - layout.height;
  for (int c = 2; c >= 0; --c)
    resample_plane(layout.width, layout.height, dx, dy, source[c].samples.data(),
                   out[c]->samples.data(), console);
  return bmp_status::ok;
}

// Red, green, blue through FFTW, each channel streamed from the file.
bmp_status resample_fast(std::FILE* input, const bmp_layout& layout, int threads,
                         channel_plane* const out[3], std::string* err) {
  fast_resampler resampler(layout.width, layout.height, out[0]->width, out[0]->height, threads);
  for (int c = 2; c >= 0; --c) {
    bmp_status status = bmp_status::ok;
    const row_reader rows = [&](std::int32_t first, std::int32_t count, std::uint8_t* dst) {
      std::vector<std::uint8_t> bgr(static_cast<std::size_t>(layout.width) * 3 * count);
      std::string why;
      const bmp_status got = read_bmp_rows(input, layout, first, count, bgr.data(), &why);
      if (got != bmp_status::ok) {
        status = got;  // the first failure is enough; every worker stops
        *err = why;
        return false;
      }
      for (std::size_t i = 0; i < static_cast<std::size_t>(layout.width) * count; ++i) dst[i] = bgr[3 * i + c];
      return true;
    };
    const byte_raster plane = {out[c]->samples.data(), out[c]->height, 1};
    if (!resampler.resample(rows, plane, console)) return status;
  }
  return bmp_status::ok;
}

}  // namespace

int run_resize(int argc, char** argv) {
  if (argc < 2) {
    print_usage(stderr);
    return 0;
  }
  resize_options options;
  const int parsed = parse_options(argc, argv, &options);
  if (parsed >= 0) return parsed;

  std::printf("input = %s\n", options.input_name);
  const char* input_path = options.input_name;
  file_handle input(std::fopen(input_path, "rb"));
  if (!input) return fail(input_path, std::string("cannot open: ") + std::strerror(errno));

  bmp_layout layout;
  std::string err;
  bmp_status status = read_bmp_layout(input.get(), &layout, &err);
  if (status == bmp_status::short_data) {
    std::printf("input file size err!!\n");
    return fail(input_path, err);
  }
  if (status != bmp_status::ok) return fail(input_path, err);

  const std::int64_t new_width = std::int64_t{layout.width} + options.sizexminus;
  const std::int64_t new_height = std::int64_t{layout.height} + options.sizexminusy;
  const std::string size = std::to_string(new_width) + " x " + std::to_string(new_height);
  if (new_width < 1 || new_height < 1)
    return fail(input_path, "the output size " + size + " is not positive");
  if (bmp_file_size(new_width, new_height) == 0)
    return fail(input_path, "the output size " + size + " does not fit in a BMP file");
  const double need = run_memory(options, layout.width, layout.height, static_cast<double>(new_width),
                                 static_cast<double>(new_height));
  const double have = physical_memory();
  if (have > 0 && need > have)
    return fail(input_path, "resizing to " + size + " needs " + std::to_string(need / 1048576.0) +
                                " MiB, more than this machine's " + std::to_string(have / 1048576.0) +
                                " MiB");

  channel_plane blue, green, red;
  channel_plane* const out[3] = {&blue, &green, &red};
  try {
    for (channel_plane* plane : out)
      if (!allocate_plane(plane, static_cast<std::int32_t>(new_width), static_cast<std::int32_t>(new_height)))
        throw std::bad_alloc();
    status = options.engine == engine_kind::direct
                 ? resample_direct(input.get(), layout, out, &err)
                 : resample_fast(input.get(), layout, options.threads, out, &err);
  } catch (const std::bad_alloc&) {
    return fail(input_path, "out of memory for a resize to " + size);
  }
  if (status == bmp_status::short_data) {
    std::printf("input file size err!!\n");
    return fail(input_path, err);
  }
  if (status != bmp_status::ok) return fail(input_path, err);
  input.reset();  // closed before the output may replace it

  const std::string output_path = std::string(options.output_name) + ".bmp";
  if (!write_bmp_file_atomically(output_path.c_str(), blue, green, red, &err))
    return fail(output_path.c_str(), err);
  return 0;
}
