// SPDX-License-Identifier: MIT
// bmp_stream.cc - the streaming path for plain 24-bit BMP files.
#include "lib/bmp_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "codec/codec.h"
#include "dct/fast_resample.h"
#include "lib/linear_light.h"
#include "lib/output_file.h"

using namespace pellimor::detail;  // the library's internals

namespace pellimor {
namespace {

// Red, green, blue through the direct sums, from whole source planes, into
// whole output planes written at the end.
bmp_status resample_direct(std::FILE* input, const bmp_layout& layout, std::int32_t new_width,
                           std::int32_t new_height, const std::string& output,
                           const resize_settings& settings, const progress_streams& progress,
                           std::string* err) {
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
  for (int c = 2; c >= 0; --c) {
    if (settings.proceed && !settings.proceed(settings.context)) {
      *err = "the resize was stopped";
      return bmp_status::io_error;
    }
    resample_plane(layout.width, layout.height, new_width - layout.width, new_height - layout.height,
                   source[c].samples.data(), out[c].samples.data(), progress, direct_dct, settings.round,
                   settings.taper);
  }
  return write_bmp_file_atomically(output.c_str(), out[0], out[1], out[2], err) ? bmp_status::ok
                                                                                : bmp_status::write_error;
}

// Red, green, blue through the FFT engine: each channel's rows are read from
// the input as the engine needs them and its output rows merged straight
// into the output file, so no whole plane is ever held.
bmp_status resample_fast(std::FILE* input, const bmp_layout& layout, std::int32_t new_width,
                         std::int32_t new_height, const std::string& output, const resize_settings& settings,
                         const progress_streams& progress, std::string* err) {
  fast_resampler resampler(layout.width, layout.height, new_width, new_height, settings.threads,
                           settings.taper);
  const char* output_path = output.c_str();
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
  std::optional<linear_light> light;
  if (settings.linear) light.emplace(255.0, true, 255.0, true, settings.round);
  for (int c = 2; c >= 0; --c) {
    const auto stopped = [&] {
      return settings.proceed && !settings.proceed(settings.context) &&
             !record(bmp_status::io_error, "the resize was stopped");
    };
    const row_reader rows = [&](std::int32_t first, std::int32_t count, std::uint8_t* dst) {
      if (stopped()) return false;
      std::string why;
      const bmp_status got = read_bmp_channel_rows(input, layout, c, first, count, dst, &why);
      return got == bmp_status::ok || record(got, why);
    };
    // Asked between batches of every pass, the passes over columns included.
    proceed_check proceed;
    if (settings.proceed) proceed = [&] { return !stopped(); };
    const row_writer merge = [&](std::int32_t first, std::int32_t count, const std::uint8_t* bytes) {
      if (stopped()) return false;
      std::string why;
      if (put_bmp_channel_rows(out.fd(), new_width, new_height, c, first, count, bytes, c == 2, &why))
        return true;
      return record(bmp_status::write_error, "cannot write: " + why);
    };
    if (!light) {
      if (!resampler.resample(rows, merge, progress, settings.round, proceed)) return failure;
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
    if (!resampler.resample_doubles(linear_rows, encoded, progress, proceed)) return failure;
  }
  return out.commit(err) ? bmp_status::ok : bmp_status::write_error;
}

}  // namespace

bool for_bmp_stream(int fd) {
  std::uint8_t head[64] = {};
  const ssize_t got = pread(fd, head, sizeof head, 0);
  const std::size_t size = got > 0 ? static_cast<std::size_t>(got) : 0;
  image_format format;
  if (size < 2 || head[0] != 'B' || head[1] != 'M') return !detect_format(head, size, &format);
  const auto le = [&](int at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | head[at + i];
    return v;
  };
  const std::uint32_t header_size = le(14, 4);
  if (header_size == 12) return le(24, 2) == 24;
  return le(28, 2) == 24 && (header_size < 20 || le(30, 4) == 0);
}

double bmp_stream_bytes(const resize_settings& settings, double width, double height, double new_width,
                        double new_height) {
  if (settings.method == engine::direct)
    return 3 * width * height + 3 * new_width * new_height +
           8 * (3 * width * height + 3 * new_width * new_height);
  return static_cast<double>(fast_resampler::working_bytes(
      static_cast<std::int64_t>(width), static_cast<std::int64_t>(height),
      static_cast<std::int64_t>(new_width), static_cast<std::int64_t>(new_height), settings.threads));
}

bmp_status resize_bmp_stream(std::FILE* input, const bmp_layout& layout, std::int32_t new_width,
                             std::int32_t new_height, const std::string& output,
                             const resize_settings& settings, const progress_streams& progress,
                             std::string* err) {
  return settings.method == engine::direct
             ? resample_direct(input, layout, new_width, new_height, output, settings, progress, err)
             : resample_fast(input, layout, new_width, new_height, output, settings, progress, err);
}

}  // namespace pellimor
