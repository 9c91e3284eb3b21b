// fast_resample.cc - batched FFTW transforms over a cut coefficient array.
#include "dct/fast_resample.h"

#include <fftw3.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <thread>
#include <vector>

#include "bmp/bmp_io.h"

namespace {

constexpr int row_block = 8;     // lines per FFTW call in the row passes
constexpr int column_block = 8;  // lines per FFTW call in the column passes
constexpr std::int64_t line_alignment = 8;  // doubles: every line starts 64-byte aligned

// REDFT10 then REDFT01 in both directions gives 16 times the direct sums.
constexpr double fftw_gain = 1.0 / 16.0;

std::int64_t round_up(std::int64_t n, std::int64_t multiple) {
  return (n + multiple - 1) / multiple * multiple;
}

struct fftw_deleter {
  void operator()(double* p) const { fftw_free(p); }
};
using fftw_array = std::unique_ptr<double[], fftw_deleter>;

fftw_array allocate_doubles(std::int64_t count) {
  double* p = fftw_alloc_real(static_cast<std::size_t>(count));
  if (p == nullptr) throw std::bad_alloc();
  std::fill_n(p, count, 0.0);
  return fftw_array(p);
}

// `count` in-place transforms of `length` contiguous doubles, `distance` apart.
fftw_plan plan_lines(fftw_r2r_kind kind, int length, int count, std::int64_t distance, double* data) {
  const int n[1] = {length};
  fftw_plan plan = fftw_plan_many_r2r(1, n, count, data, nullptr, 1, static_cast<int>(distance), data,
                                      nullptr, 1, static_cast<int>(distance), &kind, FFTW_ESTIMATE);
  if (plan == nullptr) throw std::bad_alloc();
  return plan;
}

// Runs task(block, worker) for blocks 0 .. blocks-1 on up to `threads` workers.
template <class Task>
void for_each_block(std::int64_t blocks, int threads, const Task& task) {
  std::atomic<std::int64_t> next{0};
  auto work = [&](int worker) {
    for (std::int64_t b; (b = next.fetch_add(1)) < blocks;) task(b, worker);
  };
  const int workers = static_cast<int>(std::min<std::int64_t>(threads, blocks));
  std::vector<std::thread> pool;
  for (int w = 1; w < workers; ++w) pool.emplace_back(work, w);
  work(0);
  for (std::thread& t : pool) t.join();
}

}  // namespace

int worker_threads(int requested) {
  if (requested >= 1) return requested;
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

struct fast_resampler::state {
  std::int32_t width, height, new_width, new_height;
  int threads;
  std::int32_t kept_width;      // coefficient columns carried: min(width, new_width)
  std::int64_t column_stride;   // doubles between columns: max(height, new_height), aligned
  std::int64_t row_stride;      // doubles between scratch rows: max(width, new_width), aligned
  fftw_array coefficients;      // round_up(kept_width, column_block) columns
  std::vector<fftw_array> scratch;               // per worker: row_block rows
  std::vector<std::vector<std::uint8_t>> bytes;  // per worker: row_block source rows
  fftw_plan row_forward = nullptr, column_forward = nullptr;
  fftw_plan column_inverse = nullptr, row_inverse = nullptr;
};

std::uint64_t fast_resampler::working_bytes(std::int64_t width, std::int64_t height,
                                            std::int64_t new_width, std::int64_t new_height,
                                            int threads) {
  const std::uint64_t columns = round_up(std::min(width, new_width), column_block);
  const std::uint64_t column_stride = round_up(std::max(height, new_height), line_alignment);
  const std::uint64_t row_stride = round_up(std::max(width, new_width), line_alignment);
  return 8 * columns * column_stride +
         static_cast<std::uint64_t>(worker_threads(threads)) * row_block * (8 * row_stride + width);
}

fast_resampler::fast_resampler(std::int32_t width, std::int32_t height, std::int32_t new_width,
                               std::int32_t new_height, int threads)
    : state_(new state) {
  state& s = *state_;
  s.width = width;
  s.height = height;
  s.new_width = new_width;
  s.new_height = new_height;
  s.threads = worker_threads(threads);
  s.kept_width = std::min(width, new_width);
  s.column_stride = round_up(std::max(height, new_height), line_alignment);
  s.row_stride = round_up(std::max(width, new_width), line_alignment);
  s.coefficients = allocate_doubles(round_up(s.kept_width, column_block) * s.column_stride);
  for (int w = 0; w < s.threads; ++w) {
    s.scratch.push_back(allocate_doubles(row_block * s.row_stride));
    s.bytes.emplace_back(static_cast<std::size_t>(width) * row_block);
  }
  double* rows = s.scratch[0].get();
  double* columns = s.coefficients.get();
  s.row_forward = plan_lines(FFTW_REDFT10, width, row_block, s.row_stride, rows);
  s.column_forward = plan_lines(FFTW_REDFT10, height, column_block, s.column_stride, columns);
  s.column_inverse = plan_lines(FFTW_REDFT01, new_height, column_block, s.column_stride, columns);
  s.row_inverse = plan_lines(FFTW_REDFT01, new_width, row_block, s.row_stride, rows);
}

fast_resampler::~fast_resampler() {
  for (fftw_plan plan : {state_->row_forward, state_->column_forward, state_->column_inverse,
                         state_->row_inverse})
    if (plan != nullptr) fftw_destroy_plan(plan);
}

bool fast_resampler::resample(const row_reader& source, std::uint8_t* destination,
                              const progress_streams& progress) {
  const std::int32_t new_width = state_->new_width, new_height = state_->new_height;
  const std::int64_t source_pixels = std::int64_t{state_->width} * state_->height;
  return run(source, [&](std::int32_t y0, std::int32_t count, const double* rows, std::int64_t stride) {
    for (std::int32_t x = 0; x < new_width; ++x)
      for (std::int32_t r = 0; r < count; ++r)
        destination[plane_index(x, y0 + r, new_height)] =
            quantise_sample(rows[r * stride + x] * fftw_gain, source_pixels);
  }, progress);
}

bool fast_resampler::resample_values(const row_reader& source, double* values,
                                     const progress_streams& progress) {
  const std::int32_t new_width = state_->new_width, new_height = state_->new_height;
  const double source_pixels = static_cast<double>(std::int64_t{state_->width} * state_->height);
  return run(source, [&](std::int32_t y0, std::int32_t count, const double* rows, std::int64_t stride) {
    for (std::int32_t x = 0; x < new_width; ++x)
      for (std::int32_t r = 0; r < count; ++r)
        values[plane_index(x, y0 + r, new_height)] = (rows[r * stride + x] * fftw_gain / source_pixels) * 4.0;
  }, progress);
}

bool fast_resampler::run(const row_reader& source, const row_sink& sink,
                         const progress_streams& progress) {
  state& s = *state_;
  const std::int32_t width = s.width, height = s.height;
  const std::int32_t new_width = s.new_width, new_height = s.new_height;
  const std::int32_t kept_width = s.kept_width;
  const std::int64_t cs = s.column_stride, rs = s.row_stride;
  double* const coefficients = s.coefficients.get();
  const std::int64_t passes = pass_count(width, height, new_width, new_height);
  const std::int64_t column_blocks = round_up(kept_width, column_block) / column_block;
  std::atomic<bool> source_failed{false};

  // Rows of the source: read, transform, keep the first kept_width
  // coefficients of each as one row of the column-major array.
  report_phase(progress, "Horizontal DCT start\n");
  for_each_block(round_up(height, row_block) / row_block, s.threads, [&](std::int64_t b, int w) {
    const std::int32_t y0 = static_cast<std::int32_t>(b * row_block);
    const std::int32_t count = std::min(row_block, height - y0);
    std::uint8_t* bytes = s.bytes[w].data();
    double* rows = s.scratch[w].get();
    if (!source(y0, count, bytes)) {
      source_failed = true;
      return;
    }
    for (std::int32_t r = 0; r < row_block; ++r)
      for (std::int32_t x = 0; x < width; ++x)
        rows[r * rs + x] = r < count ? bytes[static_cast<std::size_t>(r) * width + x] : 0.0;
    fftw_execute_r2r(s.row_forward, rows, rows);
    for (std::int32_t u = 0; u < kept_width; ++u)
      for (std::int32_t r = 0; r < count; ++r) coefficients[u * cs + y0 + r] = rows[r * rs + u];
  });
  if (source_failed) return false;
  report_countdown(progress, "DCTH remain %lld Times\n", passes - 1, height);
  report_phase(progress, "Horizontal DCT end\n");

  report_phase(progress, "Vertical DCT start\n");
  for_each_block(column_blocks, s.threads, [&](std::int64_t b, int) {
    double* block = coefficients + b * column_block * cs;
    fftw_execute_r2r(s.column_forward, block, block);
  });
  report_countdown(progress, "DCTV remain %lld Times\n", passes - height - 1, width);
  report_phase(progress, "Horizontal DCT end\n");

  // Columns back to the new height: rows from the old height on are the
  // zeros of the extended spectrum; when shrinking, the transform length
  // simply stops before the dropped coefficients.
  report_phase(progress, "Horizontal IDCT start\n");
  for_each_block(column_blocks, s.threads, [&](std::int64_t b, int) {
    double* block = coefficients + b * column_block * cs;
    for (int c = 0; c < column_block; ++c)
      std::fill(block + c * cs + std::min(height, new_height), block + c * cs + new_height, 0.0);
    fftw_execute_r2r(s.column_inverse, block, block);
  });
  report_countdown(progress, "IDCTH remain %lld Times\n", std::int64_t{new_height} + new_width - 1,
                   new_height);
  report_phase(progress, "Horizontal IDCT end\n");

  // Rows back to the new width, handed on block by block.
  report_phase(progress, "Vertical IDCT start\n");
  for_each_block(round_up(new_height, row_block) / row_block, s.threads, [&](std::int64_t b, int w) {
    const std::int32_t y0 = static_cast<std::int32_t>(b * row_block);
    const std::int32_t count = std::min(row_block, new_height - y0);
    double* rows = s.scratch[w].get();
    for (std::int32_t r = 0; r < row_block; ++r)
      std::fill(rows + r * rs + kept_width, rows + r * rs + new_width, 0.0);
    for (std::int32_t u = 0; u < kept_width; ++u)
      for (std::int32_t r = 0; r < row_block; ++r)
        rows[r * rs + u] = r < count ? coefficients[u * cs + y0 + r] : 0.0;
    fftw_execute_r2r(s.row_inverse, rows, rows);
    sink(y0, count, rows, rs);
  });
  report_countdown(progress, "IDCTV remain %lld Times\n", new_width - 1, new_width);
  report_phase(progress, "Vertical IDCT end\n");
  return true;
}
