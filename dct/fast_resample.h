// SPDX-License-Identifier: MIT
// fast_resample.h - the cosine-domain resize at FFT speed.
//
// Computes the same values as resample_plane (resample.h), with the
// FFT-based DCT batches of fft_dct.h in place of the direct sums.
//
// Only the coefficients the new size keeps are carried: rows are
// transformed from the source as they are read, the first min(W, W')
// coefficients of each row are kept in an array of min(W, W') columns by
// max(H, H') rows (each batch of eight rows stored together, a column's
// eight entries in one cache line), the columns are transformed,
// cut or zero-extended and transformed back in place, and each batch of
// output rows is transformed and quantised straight into the destination.
// Memory: that one array plus a few lines of scratch per thread.
//
// Work is split into fixed batches of lines, each computed by the same FFTW
// plan whichever thread takes it, so the output bytes do not depend on the
// thread count. The workers are the threads of the process's shared pool
// (worker_pool.h), started once. Plans are made once (FFTW_ESTIMATE: no timing, the same
// plan every run) and reused for every channel.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "dct/resample.h"

namespace pellimor::detail {

// Supplies source rows [first_row, first_row + row_count), top row first,
// width bytes each, into `out`. Called from several threads at once.
// Returns false when the rows cannot be had.
using row_reader = std::function<bool(std::int32_t first_row, std::int32_t row_count, std::uint8_t* out)>;

// The same, as doubles.
using value_row_reader = std::function<bool(std::int32_t first_row, std::int32_t row_count, double* out)>;

// Receives finished output rows of one channel: rows [first_row,
// first_row + row_count), top row first, new_width bytes each. Called from
// several threads at once, for disjoint rows. Returns false to stop.
using row_writer =
    std::function<bool(std::int32_t first_row, std::int32_t row_count, const std::uint8_t* rows)>;

// Receives finished output rows as scaled values e (see resample.h),
// new_width doubles a row; otherwise as row_writer (batches come from
// several threads, in no set order).
using value_row_writer =
    std::function<bool(std::int32_t first_row, std::int32_t row_count, const double* rows)>;

// Receives finished output rows as value_row_writer does, but still in the
// engine's order and unscaled: sample 2i of row first_row + r is
// rows[r][i] * scale and sample 2i + 1 is rows[r][new_width - 1 - i] * scale,
// the products resample_doubles would hand on. A writer that stores with a
// stride of its own then reads each value once, with no row in between.
using reordered_row_writer = std::function<bool(std::int32_t first_row, std::int32_t row_count,
                                                const double* const* rows, double scale)>;

// The most planes one resampler resizes together.
constexpr int max_planes_at_once = 4;

// Supplies rows of plane `plane` as value_row_reader does.
using plane_row_reader =
    std::function<bool(int plane, std::int32_t first_row, std::int32_t row_count, double* out)>;

// Receives finished output rows of every plane at once, as
// reordered_row_writer does one plane's: rows[p * row_count + r] is row
// first_row + r of plane p. A writer that interleaves the planes then
// writes each output line once, not once a plane.
using planes_row_writer = std::function<bool(std::int32_t first_row, std::int32_t row_count,
                                             const double* const* rows, double scale)>;

// Asked before each batch of lines in every pass, from several threads at
// once; false stops the resize: no further batch starts, no more rows are
// handed on and the call returns false. The passes over columns read no
// rows, so without it a tall coefficient array would run to its end before a
// stop was seen. Empty: never stops.
using proceed_check = std::function<bool()>;

class fast_resampler {
 public:
  // Plans the passes for width x height -> new_width x new_height, all >= 1.
  // threads < 1 means one per core. A taper power weighs each kept
  // coefficient by taper_factor on both axes. Throws std::bad_alloc when the
  // working memory cannot be had.
  // `planes` coefficient arrays (1 to max_planes_at_once) are held, for
  // resample_planes_reordered.
  fast_resampler(std::int32_t width, std::int32_t height, std::int32_t new_width, std::int32_t new_height,
                 int threads, double taper = 0.0, int planes = 1);
  ~fast_resampler();
  fast_resampler(const fast_resampler&) = delete;
  fast_resampler& operator=(const fast_resampler&) = delete;

  // Resizes one plane read through `source`, handing the output rows to
  // `destination`, and writes the same phase lines and remain counters as
  // resample_plane. False when `source` or `destination` fails or
  // `proceed` says stop.
  bool resample(const row_reader& source, const row_writer& destination, const progress_streams& progress,
                pellimor::rounding mode = pellimor::rounding::trunc, const proceed_check& proceed = {});

  // The same from rows of doubles, handing on the scaled values unquantised.
  bool resample_doubles(const value_row_reader& source, const value_row_writer& destination,
                        const progress_streams& progress, const proceed_check& proceed = {});

  // The same, the rows handed on in the engine's order (see
  // reordered_row_writer).
  bool resample_reordered(const value_row_reader& source, const reordered_row_writer& destination,
                          const progress_streams& progress, const proceed_check& proceed = {});

  // Resizes all the resampler's planes, each through the same passes as
  // resample_reordered, the last pass of every plane run together: each
  // batch of output rows is handed on for all planes at once.
  bool resample_planes_reordered(const plane_row_reader& source, const planes_row_writer& destination,
                                 const progress_streams& progress, const proceed_check& proceed = {});

  // The same, but stores each value before saturation and truncation:
  // e = E * 4 / (width * height) for the inverse-transform value E.
  bool resample_values(const row_reader& source, double* values, const progress_streams& progress,
                       const proceed_check& proceed = {});

  // Bytes of working memory the resampler holds for these sizes.
  static std::uint64_t working_bytes(std::int64_t width, std::int64_t height, std::int64_t new_width,
                                     std::int64_t new_height, int threads, int planes = 1);

 private:
  struct state;
  // The four passes. sample(worker, y, line) receives each output row's
  // inverse-transform values, reordered as fft_dct.h lays them out; rows_done(worker, first_row, row_count)
  // follows each batch of rows and returns false to stop.
  template <class In, class Sample, class RowsDone>
  bool run(const std::function<bool(std::int32_t, std::int32_t, In*)>& source, const Sample& sample,
           const RowsDone& rows_done, const progress_streams& progress, const proceed_check& proceed);
  // The passes before the last, into the first `planes` coefficient
  // arrays: source(plane, first_row, row_count, out) reads a plane's rows.
  template <class In>
  bool forward(int planes, const std::function<bool(int, std::int32_t, std::int32_t, In*)>& source,
               const progress_streams& progress, const proceed_check& proceed);
  // The last pass over `planes` arrays at once: sample(worker, plane, y,
  // line) and rows_done(worker, first_row, row_count) as run's.
  template <class Sample, class RowsDone>
  bool inverse(int planes, const Sample& sample, const RowsDone& rows_done, const progress_streams& progress,
               const proceed_check& proceed);

  std::unique_ptr<state> state_;
};

// Number of worker threads `requested` (< 1: one per core) gives.
int worker_threads(int requested);

// A resampler's plans, coefficient array and scratch outlive it in a small
// cache: a later resampler of the same sizes, thread count and taper takes
// them over instead of planning and allocating again (frames of a video,
// a folder of photographs of one camera). Each state is used by one
// resampler at a time; two resamplers of one shape alive at once get a
// state each. The cache holds at most two states and at most its budget of
// bytes (working_bytes of each); the least recently used goes first. Taking
// a state over gives the same output bytes as a fresh one.

// Frees every cached state now.
void release_engine_cache();

// Bytes the cached states hold.
std::uint64_t engine_cache_bytes();

// Sets the budget (0 turns the cache off, freeing what it holds) and
// returns the one before. 256 MiB at start.
std::uint64_t set_engine_cache_budget(std::uint64_t bytes);

}  // namespace pellimor::detail
