// SPDX-License-Identifier: MIT
// fast_resample.cc - batched FFT-based transforms over a cut coefficient array.
#include "dct/fast_resample.h"

#include <pthread.h>
#include <sys/mman.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>
#include <vector>

#include "core/cpu.h"
#include "core/plane.h"
#include "dct/fft_dct.h"
#include "dct/reorder.h"
#include "dct/worker_pool.h"

namespace pellimor::detail {

namespace {

constexpr int lines_per_batch = 8;
constexpr std::int64_t line_alignment = 8;  // doubles

std::int64_t round_up(std::int64_t n, std::int64_t multiple) {
  return (n + multiple - 1) / multiple * multiple;
}

// The coefficient array: 2 MiB aligned and, where the system allows, on
// huge pages. The passes walk it a column at a time, and with 4 KiB pages
// every column of a wide image would cost a TLB miss.
struct free_deleter {
  void operator()(double* p) const { std::free(p); }
};
using huge_array = std::unique_ptr<double[], free_deleter>;

huge_array allocate_huge(std::size_t count) {
  constexpr std::size_t huge_page = std::size_t{2} << 20;
  const std::size_t bytes = (count * sizeof(double) + huge_page - 1) / huge_page * huge_page;
  void* p = std::aligned_alloc(huge_page, bytes);
  if (p == nullptr) throw std::bad_alloc();
  madvise(p, bytes, MADV_HUGEPAGE);  // only a hint: without it the array works the same
  return huge_array(static_cast<double*>(p));
}

std::int64_t batches(std::int64_t lines) { return round_up(lines, lines_per_batch) / lines_per_batch; }

// A coefficient array larger than this is written past the cache by the
// first pass (see scatter_batch); a smaller one may still be in the cache
// when the next pass reads it.
constexpr std::size_t stream_bytes = std::size_t{8} << 20;

// Entry u of each of a batch's lines goes to column u of the coefficient
// array (`columns`, the batch's first row of column 0; `stride` doubles
// between columns): a transpose, two lines by two columns at a time. Lines
// and columns start 16-byte aligned. Each column receives one whole cache
// line; with `stream`, written past the cache, so that the line is not
// fetched first only to be overwritten.
void scatter_batch(const double* const* line, std::int32_t kept, double* columns, std::int64_t stride,
                   bool stream) {
  std::int32_t u = 0;
#ifdef __SSE2__
  if (stream) {
    for (; u + 2 <= kept; u += 2) {
      double* const c0 = columns + u * stride;
      double* const c1 = c0 + stride;
      for (int r = 0; r < lines_per_batch; r += 2) {
        const __m128d a = _mm_load_pd(line[r] + u), b = _mm_load_pd(line[r + 1] + u);
        _mm_stream_pd(c0 + r, _mm_unpacklo_pd(a, b));
        _mm_stream_pd(c1 + r, _mm_unpackhi_pd(a, b));
      }
    }
    _mm_sfence();  // the streamed stores are seen before anything stored after them
  }
#endif
  for (; u < kept; ++u)
    for (int r = 0; r < lines_per_batch; ++r) columns[u * stride + r] = line[r][u];
}

// The reverse: entry u of each line from column u, two columns by two
// lines at a time.
void gather_batch(const double* columns, std::int64_t stride, std::int32_t kept, double* const* line) {
  std::int32_t u = 0;
#ifdef __SSE2__
  for (; u + 2 <= kept; u += 2) {
    const double* const c0 = columns + u * stride;
    const double* const c1 = c0 + stride;
    for (int r = 0; r < lines_per_batch; r += 2) {
      const __m128d a = _mm_load_pd(c0 + r), b = _mm_load_pd(c1 + r);
      _mm_store_pd(line[r] + u, _mm_unpacklo_pd(a, b));
      _mm_store_pd(line[r + 1] + u, _mm_unpackhi_pd(a, b));
    }
  }
#endif
  for (; u < kept; ++u) {
    for (int r = 0; r < lines_per_batch; ++r) line[r][u] = columns[u * stride + r];
  }
}

// Puts `line` (length n, read as line(i)) into reordered position in `out`.
template <class Line>
void load_reordered(std::int32_t n, const Line& line, double* out) {
  for (std::int32_t i = 0; 2 * i < n; ++i) out[i] = line(2 * i);
  for (std::int32_t i = 0; 2 * i + 1 < n; ++i) out[n - 1 - i] = line(2 * i + 1);
}

// Calls put(i, value) for each result i of a line reordered in `in`.
template <class Put>
void store_reordered(std::int32_t n, const double* in, const Put& put) {
  for (std::int32_t i = 0; 2 * i < n; ++i) put(2 * i, in[i]);
  for (std::int32_t i = 0; 2 * i + 1 < n; ++i) put(2 * i + 1, in[n - 1 - i]);
}

// load_reordered of a row of bytes: eight evens and eight odds from each
// sixteen bytes, widened to doubles.
void load_reordered_bytes(std::int32_t n, const std::uint8_t* row, double* out) {
  std::int32_t i = 0;
#ifdef __SSE2__
  const __m128i low_bytes = _mm_set1_epi16(0x00ff), zero = _mm_setzero_si128();
  for (; 2 * i + 16 <= n; i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 2 * i));
    const __m128i even = _mm_and_si128(v, low_bytes), odd = _mm_srli_epi16(v, 8);  // 8 words each
    const __m128i even_lo = _mm_unpacklo_epi16(even, zero), even_hi = _mm_unpackhi_epi16(even, zero);
    const __m128i odd_lo = _mm_unpacklo_epi16(odd, zero), odd_hi = _mm_unpackhi_epi16(odd, zero);
    _mm_storeu_pd(out + i, _mm_cvtepi32_pd(even_lo));
    _mm_storeu_pd(out + i + 2, _mm_cvtepi32_pd(_mm_srli_si128(even_lo, 8)));
    _mm_storeu_pd(out + i + 4, _mm_cvtepi32_pd(even_hi));
    _mm_storeu_pd(out + i + 6, _mm_cvtepi32_pd(_mm_srli_si128(even_hi, 8)));
    // Odd sample 2(i + j) + 1 goes to n - 1 - i - j: each pair reversed.
    const auto reversed = [](__m128i words) {
      const __m128d d = _mm_cvtepi32_pd(words);
      return _mm_shuffle_pd(d, d, 1);
    };
    _mm_storeu_pd(out + n - 2 - i, reversed(odd_lo));
    _mm_storeu_pd(out + n - 4 - i, reversed(_mm_srli_si128(odd_lo, 8)));
    _mm_storeu_pd(out + n - 6 - i, reversed(odd_hi));
    _mm_storeu_pd(out + n - 8 - i, reversed(_mm_srli_si128(odd_hi, 8)));
  }
#endif
  for (std::int32_t j = i; 2 * j < n; ++j) out[j] = row[2 * j];
  for (std::int32_t j = i; 2 * j + 1 < n; ++j) out[n - 1 - j] = row[2 * j + 1];
}

// The coefficient array holds each batch of eight rows together, in a
// block of kept_width * 8 doubles: entry v of column u lies at
// (v / 8) * block + u * 8 + v % 8. The row passes then write and read a
// block of whole cache lines in order, where a column-major array would
// have them take one cache line from every column, a page or more apart;
// a batch of eight columns finds its rows of each block in one tile of
// eight cache lines. Tiles a pass reaches this many blocks ahead are asked
// for early: a block is too far from the last for the hardware to see it
// coming. Asked for whole, 16 blocks ahead, the column pass of 4000x3000
// -> 2000x1500 took 74-76 ms, against 86 with every other line 4 ahead.
constexpr std::int64_t tile_prefetch_blocks = 16;

void prefetch_tile(const double* tile) {
  for (int line = 0; line < lines_per_batch; ++line) __builtin_prefetch(tile + line * lines_per_batch);
}

// Rows [0, n) of columns u0 + c, c < lines_per_batch (past `count`, the
// last column again), into lines[c] in reordered position. `tile` is
// column u0's entry 0.
void load_reordered_columns(std::int32_t n, const double* tile, std::int64_t block, int count,
                            double* const* lines) {
  const std::int64_t full = n / lines_per_batch;
  for (std::int64_t b = 0; b < full; ++b) {
    if (b + tile_prefetch_blocks < full) prefetch_tile(tile + (b + tile_prefetch_blocks) * block);
    const std::int64_t even = 4 * b, odd = n - 4 - 4 * b;  // where v = 8b and 8b + 7 go
    for (int c = 0; c < lines_per_batch; ++c) {
      const double* chunk = tile + b * block + std::min(c, count - 1) * lines_per_batch;
      double* out = lines[c];
#ifdef __SSE2__
      const __m128d a = _mm_load_pd(chunk), b2 = _mm_load_pd(chunk + 2);
      const __m128d c2 = _mm_load_pd(chunk + 4), d = _mm_load_pd(chunk + 6);
      _mm_storeu_pd(out + even, _mm_unpacklo_pd(a, b2));
      _mm_storeu_pd(out + even + 2, _mm_unpacklo_pd(c2, d));
      const __m128d odd_low = _mm_unpackhi_pd(a, b2), odd_high = _mm_unpackhi_pd(c2, d);  // 1, 3 and 5, 7
      _mm_storeu_pd(out + odd + 2, _mm_shuffle_pd(odd_low, odd_low, 1));
      _mm_storeu_pd(out + odd, _mm_shuffle_pd(odd_high, odd_high, 1));
#else
      for (int r = 0; r < lines_per_batch; r += 2) {
        out[even + r / 2] = chunk[r];
        out[odd + 3 - r / 2] = chunk[r + 1];
      }
#endif
    }
  }
  for (int c = 0; c < lines_per_batch; ++c) {
    const double* chunk = tile + full * block + std::min(c, count - 1) * lines_per_batch;
    for (std::int32_t v = static_cast<std::int32_t>(full * lines_per_batch); v < n; ++v)
      lines[c][reordered_index(v, n)] = chunk[v % lines_per_batch];
  }
}

// The reverse for columns u0 + c, c < count: rows [0, n) from lines[c] in
// reordered position, and rows [zero_begin, zero_end) of the last block
// set to zero. With `stream`, whole cache lines are written past the cache.
void store_reordered_columns(std::int32_t n, double* const* lines, int count, double* tile,
                             std::int64_t block, std::int64_t zero_begin, std::int64_t zero_end,
                             bool stream) {
  const std::int64_t full = n / lines_per_batch;
  for (std::int64_t b = 0; b < full; ++b) {
    const std::int64_t even = 4 * b, odd = n - 4 - 4 * b;
    for (int c = 0; c < count; ++c) {
      double* chunk = tile + b * block + c * lines_per_batch;
      const double* in = lines[c];
#ifdef __SSE2__
      const __m128d e0 = _mm_loadu_pd(in + even), e1 = _mm_loadu_pd(in + even + 2);
      const __m128d r0 = _mm_loadu_pd(in + odd + 2), r1 = _mm_loadu_pd(in + odd);  // 3 1 and 7 5, as pairs
      const __m128d o0 = _mm_shuffle_pd(r0, r0, 1), o1 = _mm_shuffle_pd(r1, r1, 1);
      const __m128d v0 = _mm_unpacklo_pd(e0, o0), v1 = _mm_unpackhi_pd(e0, o0);
      const __m128d v2 = _mm_unpacklo_pd(e1, o1), v3 = _mm_unpackhi_pd(e1, o1);
      if (stream) {
        _mm_stream_pd(chunk, v0);
        _mm_stream_pd(chunk + 2, v1);
        _mm_stream_pd(chunk + 4, v2);
        _mm_stream_pd(chunk + 6, v3);
      } else {
        _mm_store_pd(chunk, v0);
        _mm_store_pd(chunk + 2, v1);
        _mm_store_pd(chunk + 4, v2);
        _mm_store_pd(chunk + 6, v3);
      }
#else
      for (int r = 0; r < lines_per_batch; r += 2) {
        chunk[r] = in[even + r / 2];
        chunk[r + 1] = in[odd + 3 - r / 2];
      }
#endif
    }
  }
  for (int c = 0; c < count; ++c) {
    double* chunk = tile + full * block + c * lines_per_batch;
    for (std::int32_t v = static_cast<std::int32_t>(full * lines_per_batch); v < n; ++v)
      chunk[v % lines_per_batch] = lines[c][reordered_index(v, n)];
    for (std::int64_t v = zero_begin; v < zero_end; ++v)
      tile[(v / lines_per_batch) * block + c * lines_per_batch + v % lines_per_batch] = 0.0;
  }
#ifdef __SSE2__
  if (stream) _mm_sfence();
#endif
}

}  // namespace

int worker_threads(int requested) {
  if (requested >= 1) return requested;
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

namespace {

// What makes one resampler's state fit another: every size, the thread
// count (one workspace per worker) and the taper, to the bit.
struct state_key {
  std::int32_t width, height, new_width, new_height;
  int threads, planes;
  std::uint64_t taper_bits;
  bool operator==(const state_key&) const = default;
};

struct cached_state {
  state_key key{};
  std::uint64_t bytes = 0;
  virtual ~cached_state() = default;
};

// The states no resampler holds. Taking one removes it, so a state is never
// used by two resamplers at once; a state is freed outside the lock, as
// destroying its plans waits for FFTW's planner.
class state_cache {
 public:
  std::unique_ptr<cached_state> take(const state_key& key) {
    std::lock_guard<std::mutex> hold(lock_);
    for (slot& s : slots_)
      if (s.state && s.state->key == key) {
        held_ -= s.state->bytes;
        return std::move(s.state);
      }
    return nullptr;
  }

  // Keeps `state`, letting the least recently kept go as the entries and
  // the budget require. Allocates nothing, so it can run in a destructor.
  void keep(std::unique_ptr<cached_state> state) {
    if (!state) return;
    std::unique_ptr<cached_state> evicted[slot_count];
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (state->bytes > budget_) {
        evicted[0] = std::move(state);
      } else {
        while (held_ + state->bytes > budget_ || free_slot() == nullptr) {
          slot& oldest = *oldest_slot();
          held_ -= oldest.state->bytes;
          evicted[&oldest - slots_] = std::move(oldest.state);
        }
        slot& s = *free_slot();
        held_ += state->bytes;
        s.state = std::move(state);
        s.kept = ++clock_;
      }
    }
  }

  void clear() { set_budget(budget(), true); }

  std::uint64_t held() {
    std::lock_guard<std::mutex> hold(lock_);
    return held_;
  }

  std::uint64_t budget() {
    std::lock_guard<std::mutex> hold(lock_);
    return budget_;
  }

  // For a forked child only, where no other thread is left to hold the lock
  // or change the budget.
  std::uint64_t budget_unlocked() const { return budget_; }

  // With `drop_all`, empties the cache whatever the budget.
  std::uint64_t set_budget(std::uint64_t bytes, bool drop_all = false) {
    std::unique_ptr<cached_state> evicted[slot_count];
    std::lock_guard<std::mutex> hold(lock_);
    const std::uint64_t before = budget_;
    budget_ = bytes;
    for (int i = 0; i < slot_count; ++i)
      if (slots_[i].state && (drop_all || held_ > budget_)) {
        held_ -= slots_[i].state->bytes;
        evicted[i] = std::move(slots_[i].state);
      }
    return before;  // the evicted states are freed on the way out, after the lock
  }

 private:
  static constexpr int slot_count = 2;
  struct slot {
    std::unique_ptr<cached_state> state;
    std::uint64_t kept = 0;
  };
  slot* free_slot() {
    for (slot& s : slots_)
      if (!s.state) return &s;
    return nullptr;
  }
  slot* oldest_slot() {
    slot* oldest = nullptr;
    for (slot& s : slots_)
      if (s.state && (oldest == nullptr || s.kept < oldest->kept)) oldest = &s;
    return oldest;
  }

  std::mutex lock_;
  slot slots_[slot_count];
  std::uint64_t held_ = 0, clock_ = 0;
  std::uint64_t budget_ = std::uint64_t{256} << 20;
};

std::atomic<state_cache*> cache_instance{nullptr};
std::atomic<std::uint64_t> child_budget{0};

// As with the worker pool, a forked child may have been forked while one of
// the parent's threads held the cache's lock: it starts a cache of its own,
// with the parent's budget (the parent's states stay where they are, never
// freed in the child).
void forget_cache_in_child() {
  if (state_cache* parent = cache_instance.exchange(nullptr)) child_budget = parent->budget_unlocked() + 1;
}

// Never destroyed, like the worker pool: resamplers may be destroyed during
// static destruction.
state_cache& cache() {
  static const bool registered = pthread_atfork(nullptr, nullptr, forget_cache_in_child) == 0;
  static_cast<void>(registered);
  state_cache* c = cache_instance.load(std::memory_order_acquire);
  if (c != nullptr) return *c;
  state_cache* made = new state_cache;
  if (const std::uint64_t inherited = child_budget.exchange(0)) made->set_budget(inherited - 1);
  if (cache_instance.compare_exchange_strong(c, made, std::memory_order_acq_rel)) return *made;
  delete made;
  return *c;
}

}  // namespace

void release_engine_cache() { cache().clear(); }
std::uint64_t engine_cache_bytes() { return cache().held(); }
std::uint64_t set_engine_cache_budget(std::uint64_t bytes) { return cache().set_budget(bytes); }

struct fast_resampler::state : cached_state {
  std::int32_t width, height, new_width, new_height;
  int threads;
  std::int32_t kept_width, kept_height;  // coefficients both sizes share
  std::int64_t held_rows;  // rows the array holds: max(height, new_height), whole batches of them
  int planes;
  std::vector<huge_array> coefficients;                // a plane each, kept_width columns
  std::vector<dct_workspace> workspaces;               // a worker each, for each plane in turn
  std::vector<std::vector<std::uint8_t>> source_rows;  // one per worker: a batch of rows of any sample type
  std::vector<std::vector<std::uint8_t>> output_rows;  // one per worker, when used
  std::vector<std::vector<double>> output_values;      // one per worker, when used
  std::vector<double> taper_u, taper_v;                // per kept column and row; empty without taper
  dct_plan row_forward, column_forward, column_inverse, row_inverse;

  // Worker w's workspace for plane p's last pass (plane 0's is the one of
  // every other pass).
  dct_workspace& last_pass_work(int p, int w) {
    return workspaces[static_cast<std::size_t>(p) * threads + w];
  }

  // The plans made so far go with the state, also when a later one fails.
  ~state() override {
    for (dct_plan* plan : {&row_forward, &column_forward, &column_inverse, &row_inverse})
      destroy_dct_plan(plan);
  }
};

std::uint64_t fast_resampler::working_bytes(std::int64_t width, std::int64_t height, std::int64_t new_width,
                                            std::int64_t new_height, int threads, int planes) {
  const std::uint64_t columns =
      kept_count(static_cast<std::int32_t>(width), static_cast<std::int32_t>(new_width));
  const std::uint64_t held_rows = round_up(std::max(height, new_height), line_alignment);
  // Reordered lines, half spectra and, at worst, chirp lines of about 4N,
  // and as much again for their spectra where a length takes that route.
  const std::uint64_t longest = round_up(std::max({width, height, new_width, new_height}), line_alignment);
  bool chirps = false;
  for (const std::int64_t n : {width, height, new_width, new_height})
    chirps = chirps || uses_chirp(static_cast<std::int32_t>(std::min<std::int64_t>(n, INT32_MAX)));
  const std::uint64_t per_worker =
      lines_per_batch * (8 * longest + 16 * (longest / 2 + 8) + 8 * width + 8 * new_width) + 8 * new_width +
      lines_per_batch / 2 * 16 * ((chirps ? 8 : 4) * longest);
  return static_cast<std::uint64_t>(planes) *
         (8 * columns * held_rows + static_cast<std::uint64_t>(worker_threads(threads)) * per_worker);
}

namespace {

std::uint64_t bits_of(double d) {
  std::uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

}  // namespace

fast_resampler::fast_resampler(std::int32_t width, std::int32_t height, std::int32_t new_width,
                               std::int32_t new_height, int threads, double taper, int planes) {
  planes = std::clamp(planes, 1, max_planes_at_once);
  const state_key key{width, height, new_width, new_height, worker_threads(threads), planes, bits_of(taper)};
  if (std::unique_ptr<cached_state> kept = cache().take(key)) {
    state_.reset(static_cast<state*>(kept.release()));
    return;
  }
  try {
    state_.reset(new state);
  } catch (const std::bad_alloc&) {
    release_engine_cache();  // what the cache holds may be what is missing
    state_.reset(new state);
  }
  state& s = *state_;
  s.key = key;
  s.bytes = working_bytes(width, height, new_width, new_height, threads, planes);
  s.width = width;
  s.height = height;
  s.new_width = new_width;
  s.new_height = new_height;
  s.threads = key.threads;
  s.planes = planes;
  s.kept_width = kept_count(width, new_width);
  s.kept_height = kept_count(height, new_height);
  if (taper != 0.0) {
    for (std::int32_t u = 0; u < s.kept_width; ++u) s.taper_u.push_back(taper_factor(u, s.kept_width, taper));
    for (std::int32_t v = 0; v < s.kept_height; ++v)
      s.taper_v.push_back(taper_factor(v, s.kept_height, taper));
  }
  s.held_rows = round_up(std::max(height, new_height), line_alignment);
  const std::size_t coefficient_count = static_cast<std::size_t>(s.kept_width) * s.held_rows;
  for (int p = 0; p < planes; ++p) {
    try {
      s.coefficients.push_back(allocate_huge(coefficient_count));
    } catch (const std::bad_alloc&) {
      release_engine_cache();
      s.coefficients.push_back(allocate_huge(coefficient_count));
    }
  }
  s.row_forward = make_dct_plan(width, lines_per_batch, dct_use::dct2);
  s.column_forward = make_dct_plan(height, lines_per_batch, dct_use::dct2);
  s.column_inverse = make_dct_plan(new_height, lines_per_batch, dct_use::dct3);
  s.row_inverse = make_dct_plan(new_width, lines_per_batch, dct_use::dct3);
  for (int w = 0; w < s.threads; ++w) {
    s.workspaces.push_back(
        make_dct_workspace({&s.row_forward, &s.column_forward, &s.column_inverse, &s.row_inverse}));
    s.source_rows.emplace_back(static_cast<std::size_t>(width) * lines_per_batch);
  }
  for (int i = s.threads; i < s.threads * planes; ++i)  // the last pass's, for the other planes
    s.workspaces.push_back(make_dct_workspace({&s.row_inverse}));
}

fast_resampler::~fast_resampler() { cache().keep(std::move(state_)); }

namespace {

const auto no_rows_hook = [](int, std::int32_t, std::int32_t) { return true; };

// Puts a row's reordered values back in order, times `scale`.
void unreorder_row(std::int32_t n, const double* reordered, double scale, double* values) {
  std::int32_t i = 0;
#ifdef __SSE2__
  const __m128d s = _mm_set1_pd(scale);
  for (; i + 2 <= n / 2; i += 2) {  // samples 2i .. 2i + 3
    const __m128d even = _mm_mul_pd(_mm_loadu_pd(reordered + i), s);
    const __m128d r = _mm_loadu_pd(reordered + n - 2 - i);
    const __m128d odd = _mm_mul_pd(_mm_shuffle_pd(r, r, 1), s);  // n-1-i, n-2-i
    _mm_storeu_pd(values + 2 * i, _mm_unpacklo_pd(even, odd));
    _mm_storeu_pd(values + 2 * i + 2, _mm_unpackhi_pd(even, odd));
  }
#endif
  for (; i < n / 2; ++i) {
    values[2 * i] = reordered[i] * scale;
    values[2 * i + 1] = reordered[n - 1 - i] * scale;
  }
  if (n % 2 != 0) values[n - 1] = reordered[n / 2] * scale;
}

#ifdef __SSE2__
// quantise_value on two values at once: the same compares, adds and
// truncation (max(x, 0) is 0 for NaN, as std::max(0.0, x) is).
template <pellimor::rounding mode>
__m128i quantise_pair(__m128d e) {
  e = _mm_min_pd(_mm_max_pd(e, _mm_setzero_pd()), _mm_set1_pd(255.0));
  if (mode == pellimor::rounding::nearest) {
    const __m128d big = _mm_set1_pd(0x1p52);
    const __m128d even = _mm_sub_pd(_mm_add_pd(e, big), big);
    const __m128d tie = _mm_cmpeq_pd(_mm_sub_pd(e, even), _mm_set1_pd(0.5));
    e = _mm_add_pd(even, _mm_and_pd(tie, _mm_set1_pd(1.0)));
  }
  return _mm_cvttpd_epi32(e);  // in the low two lanes
}
#endif

// Bytes of one output row from its reordered values: put back in order,
// scaled and quantised in one step, with no row of doubles in between.
// Sample 2i is reordered[i], sample 2i + 1 is reordered[n - 1 - i].
template <pellimor::rounding mode>
void quantise_row(std::int32_t n, const double* reordered, double scale, std::uint8_t* out) {
  std::int32_t i = 0;
#ifdef __SSE2__
  const __m128d s = _mm_set1_pd(scale);
  for (; i + 4 <= n / 2; i += 4) {  // samples 2i .. 2i + 7
    const __m128d e0 = _mm_mul_pd(_mm_loadu_pd(reordered + i), s);
    const __m128d e1 = _mm_mul_pd(_mm_loadu_pd(reordered + i + 2), s);
    const __m128d r0 = _mm_loadu_pd(reordered + n - 2 - i), r1 = _mm_loadu_pd(reordered + n - 4 - i);
    const __m128d o0 = _mm_mul_pd(_mm_shuffle_pd(r0, r0, 1), s);  // n-1-i, n-2-i
    const __m128d o1 = _mm_mul_pd(_mm_shuffle_pd(r1, r1, 1), s);  // n-3-i, n-4-i
    const __m128i a = _mm_unpacklo_epi64(quantise_pair<mode>(_mm_unpacklo_pd(e0, o0)),
                                         quantise_pair<mode>(_mm_unpackhi_pd(e0, o0)));
    const __m128i b = _mm_unpacklo_epi64(quantise_pair<mode>(_mm_unpacklo_pd(e1, o1)),
                                         quantise_pair<mode>(_mm_unpackhi_pd(e1, o1)));
    const __m128i words = _mm_packs_epi32(a, b);  // 0 .. 255: no saturation
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 2 * i), _mm_packus_epi16(words, words));
  }
#endif
  for (; i < n / 2; ++i) {
    out[2 * i] = quantise_byte(reordered[i] * scale, mode);
    out[2 * i + 1] = quantise_byte(reordered[n - 1 - i] * scale, mode);
  }
  if (n % 2 != 0) out[n - 1] = quantise_byte(reordered[n / 2] * scale, mode);
}

#if defined(__x86_64__) || defined(__i386__)
// quantise_row sixteen samples a step, for processors with AVX2: the same
// operations on every value (no multiply-add: the target leaves FMA out), so
// the same bytes.
template <pellimor::rounding mode>
__attribute__((target("avx2"))) __m128i quantise_quad(__m256d e) {
  e = _mm256_min_pd(_mm256_max_pd(e, _mm256_setzero_pd()), _mm256_set1_pd(255.0));
  if (mode == pellimor::rounding::nearest) {
    const __m256d big = _mm256_set1_pd(0x1p52);
    const __m256d even = _mm256_sub_pd(_mm256_add_pd(e, big), big);
    const __m256d tie = _mm256_cmp_pd(_mm256_sub_pd(e, even), _mm256_set1_pd(0.5), _CMP_EQ_OQ);
    e = _mm256_add_pd(even, _mm256_and_pd(tie, _mm256_set1_pd(1.0)));
  }
  return _mm256_cvttpd_epi32(e);
}

__attribute__((target("avx2"))) inline __m256d reversed(const double* p) {  // p[3], p[2], p[1], p[0]
  return _mm256_permute4x64_pd(_mm256_loadu_pd(p), 0x1b);
}

template <pellimor::rounding mode>
__attribute__((target("avx2"))) void avx2_quantise_row(std::int32_t n, const double* reordered, double scale,
                                                       std::uint8_t* out) {
  std::int32_t i = 0;
  const __m256d s = _mm256_set1_pd(scale);
  for (; i + 8 <= n / 2; i += 8) {  // samples 2i .. 2i + 15
    const __m128i e0 = quantise_quad<mode>(_mm256_mul_pd(_mm256_loadu_pd(reordered + i), s));
    const __m128i e1 = quantise_quad<mode>(_mm256_mul_pd(_mm256_loadu_pd(reordered + i + 4), s));
    const __m128i o0 = quantise_quad<mode>(_mm256_mul_pd(reversed(reordered + n - 4 - i), s));
    const __m128i o1 = quantise_quad<mode>(_mm256_mul_pd(reversed(reordered + n - 8 - i), s));
    const __m128i low = _mm_packs_epi32(_mm_unpacklo_epi32(e0, o0), _mm_unpackhi_epi32(e0, o0));
    const __m128i high = _mm_packs_epi32(_mm_unpacklo_epi32(e1, o1), _mm_unpackhi_epi32(e1, o1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_packus_epi16(low, high));
  }
  for (; i < n / 2; ++i) {
    out[2 * i] = quantise_byte(reordered[i] * scale, mode);
    out[2 * i + 1] = quantise_byte(reordered[n - 1 - i] * scale, mode);
  }
  if (n % 2 != 0) out[n - 1] = quantise_byte(reordered[n / 2] * scale, mode);
}
#endif

using quantise_row_fn = void (*)(std::int32_t, const double*, double, std::uint8_t*);

quantise_row_fn best_quantise_row(pellimor::rounding mode) {
  const bool nearest = mode == pellimor::rounding::nearest;
#if defined(__x86_64__) || defined(__i386__)
  if (cpu_has_avx2())
    return nearest ? avx2_quantise_row<pellimor::rounding::nearest>
                   : avx2_quantise_row<pellimor::rounding::trunc>;
#endif
  return nearest ? quantise_row<pellimor::rounding::nearest> : quantise_row<pellimor::rounding::trunc>;
}

}  // namespace

bool fast_resampler::resample(const row_reader& source, const row_writer& destination,
                              const progress_streams& progress, pellimor::rounding mode,
                              const proceed_check& proceed) {
  const double scale = value_scale(state_->width, state_->height);
  const std::int32_t new_width = state_->new_width;
  std::vector<std::vector<std::uint8_t>>& rows = state_->output_rows;  // a batch of rows per worker
  rows.resize(state_->threads);
  for (int w = 0; w < state_->threads; ++w)
    rows[w].resize(static_cast<std::size_t>(new_width) * lines_per_batch);
  const quantise_row_fn quantise = best_quantise_row(mode);
  return run(
      source,
      [&](int w, std::int32_t y, const double* reordered) {
        quantise(new_width, reordered, scale,
                 rows[w].data() + static_cast<std::size_t>(y % lines_per_batch) * new_width);
      },
      [&](int w, std::int32_t first, std::int32_t count) {
        return destination(first, count, rows[w].data());
      },
      progress, proceed);
}

bool fast_resampler::resample_doubles(const value_row_reader& source, const value_row_writer& destination,
                                      const progress_streams& progress, const proceed_check& proceed) {
  const double scale = value_scale(state_->width, state_->height);
  const std::int32_t new_width = state_->new_width;
  std::vector<std::vector<double>>& values = state_->output_values;  // a batch of rows per worker
  values.resize(state_->threads);
  for (int w = 0; w < state_->threads; ++w)
    values[w].resize(static_cast<std::size_t>(new_width) * lines_per_batch);
  return run(
      source,
      [&](int w, std::int32_t y, const double* reordered) {
        unreorder_row(new_width, reordered, scale,
                      values[w].data() + static_cast<std::size_t>(y % lines_per_batch) * new_width);
      },
      [&](int w, std::int32_t first, std::int32_t count) {
        return destination(first, count, values[w].data());
      },
      progress, proceed);
}

bool fast_resampler::resample_reordered(const value_row_reader& source,
                                        const reordered_row_writer& destination,
                                        const progress_streams& progress, const proceed_check& proceed) {
  const double scale = value_scale(state_->width, state_->height);
  return run(
      source, [](int, std::int32_t, const double*) {},
      [&](int w, std::int32_t first, std::int32_t count) {
        const double* rows[lines_per_batch];
        for (int r = 0; r < count; ++r)
          rows[r] = state_->workspaces[w].real.get() + r * state_->row_inverse.real_distance;
        return destination(first, count, rows, scale);
      },
      progress, proceed);
}

bool fast_resampler::resample_planes_reordered(const plane_row_reader& source,
                                               const planes_row_writer& destination,
                                               const progress_streams& progress,
                                               const proceed_check& proceed) {
  state& s = *state_;
  const double scale = value_scale(s.width, s.height);
  if (!forward(s.planes, source, progress, proceed)) return false;
  return inverse(
      s.planes, [](int, int, std::int32_t, const double*) {},
      [&](int w, std::int32_t first, std::int32_t count) {
        const double* rows[max_planes_at_once * lines_per_batch];
        for (int p = 0; p < s.planes; ++p)
          for (int r = 0; r < count; ++r)
            rows[p * count + r] = s.last_pass_work(p, w).real.get() + r * s.row_inverse.real_distance;
        return destination(first, count, rows, scale);
      },
      progress, proceed);
}

bool fast_resampler::resample_values(const row_reader& source, double* values,
                                     const progress_streams& progress, const proceed_check& proceed) {
  const double scale = value_scale(state_->width, state_->height);
  const std::int32_t new_width = state_->new_width, new_height = state_->new_height;
  return run(
      source,
      [&](int, std::int32_t y, const double* reordered) {
        store_reordered(new_width, reordered, [&](std::int32_t x, double value) {
          values[plane_index(x, y, new_height)] = value * scale;
        });
      },
      no_rows_hook, progress, proceed);
}

namespace {

// A stop asked for: once per batch of eight lines, a relaxed load, and
// with no hook nothing more, against the thousands of operations of the
// batch's transforms.
class stop_check {
 public:
  explicit stop_check(const proceed_check& proceed) : proceed_(proceed) {}
  bool go_on() {
    if (stopped_.load(std::memory_order_relaxed)) return false;
    if (proceed_ && !proceed_()) {
      stopped_.store(true, std::memory_order_relaxed);
      return false;
    }
    return true;
  }
  bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

 private:
  const proceed_check& proceed_;
  std::atomic<bool> stopped_{false};
};

}  // namespace

template <class In, class Sample, class RowsDone>
bool fast_resampler::run(const std::function<bool(std::int32_t, std::int32_t, In*)>& source,
                         const Sample& sample, const RowsDone& rows_done, const progress_streams& progress,
                         const proceed_check& proceed) {
  const auto one_plane = [&](int w, int, std::int32_t y, const double* line) { sample(w, y, line); };
  const std::function<bool(int, std::int32_t, std::int32_t, In*)> plane_zero =
      [&](int, std::int32_t first, std::int32_t count, In* out) { return source(first, count, out); };
  return forward(1, plane_zero, progress, proceed) && inverse(1, one_plane, rows_done, progress, proceed);
}

template <class In>
bool fast_resampler::forward(int planes,
                             const std::function<bool(int, std::int32_t, std::int32_t, In*)>& source,
                             const progress_streams& progress, const proceed_check& proceed) {
  state& s = *state_;
  const std::int32_t width = s.width, height = s.height;
  const std::int32_t new_width = s.new_width, new_height = s.new_height;
  const std::int32_t kept_width = s.kept_width, kept_height = s.kept_height;
  const std::int64_t held_rows = s.held_rows, block = std::int64_t{kept_width} * lines_per_batch;
  const bool stream = static_cast<std::size_t>(kept_width) * held_rows * sizeof(double) > stream_bytes;
  const std::int64_t passes = pass_count(width, height, new_width, new_height);
  std::atomic<bool> source_failed{false};
  stop_check stop(proceed);
  for (std::vector<std::uint8_t>& rows : s.source_rows)
    rows.resize(static_cast<std::size_t>(width) * lines_per_batch * sizeof(In));

  // Source rows: read, transform, and keep the first kept_width coefficients
  // of each as one row of the coefficient array. A batch of rows fills its
  // block of the array, whole cache lines in order. With several planes, each
  // batch of rows is done for every plane in turn, so that the later
  // planes read rows the first has just brought into the cache.
  for (int p = 0; p < planes; ++p) report_phase(progress, "Horizontal DCT start\n");
  for_each_item(batches(height), s.threads, [&](std::int64_t b, int w) {
    const std::int32_t y0 = static_cast<std::int32_t>(b * lines_per_batch);
    const std::int32_t count = std::min(lines_per_batch, height - y0);
    In* const samples = reinterpret_cast<In*>(s.source_rows[w].data());
    dct_workspace& work = s.workspaces[w];
    const std::int64_t rd = s.row_forward.real_distance;
    for (int p = 0; p < planes; ++p) {
      if (source_failed.load(std::memory_order_relaxed) || !stop.go_on()) return;
      if (!source(p, y0, count, samples)) {
        source_failed = true;
        return;
      }
      for (int r = 0; r < lines_per_batch; ++r) {
        const In* row = samples + static_cast<std::size_t>(std::min(r, count - 1)) * width;
        if constexpr (std::is_same_v<In, std::uint8_t>)
          load_reordered_bytes(width, row, work.real.get() + r * rd);
        else if constexpr (std::is_same_v<In, double>)
          load_reordered_doubles(width, row, work.real.get() + r * rd);
        else
          load_reordered(
              width, [&](std::int32_t x) { return static_cast<double>(row[x]); }, work.real.get() + r * rd);
      }
      // All eight rows, the repeats past the last row included: they land in
      // rows the columns do not use.
      double* const rows = s.coefficients[p].get() + b * block;
      if (!dct2_batch_to_columns(s.row_forward, work, kept_width, rows, lines_per_batch, stream)) {
        dct2_batch(s.row_forward, work, kept_width);
        const double* line[lines_per_batch];
        for (int r = 0; r < lines_per_batch; ++r) line[r] = work.real.get() + r * rd;
        scatter_batch(line, kept_width, rows, lines_per_batch, stream);
      }
    }
  });
  if (source_failed || stop.stopped()) return false;
  for (int p = 0; p < planes; ++p) {
    report_countdown(progress, "DCTH remain %lld Times\n", passes - 1, height);
    report_passes_done(progress, height, passes);
    report_phase(progress, "Horizontal DCT end\n");
  }

  // Columns, in place, both ways in one pass: each batch of columns is
  // transformed, cut or zero-extended and transformed back while it is in
  // the cache, so the array is read and written once between the row passes
  // instead of twice. The inverse runs columns first: the result is the
  // same, and the cut array stays kept_width columns wide until the last
  // pass. The forward passes leave the zero-frequency terms unhalved; each
  // inverse pass halves the one it reads, which is the forward transform's
  // halving, moved. The progress lines of the two column passes keep their
  // text and order, written together when the pass is done.
  for (int p = 0; p < planes; ++p) report_phase(progress, "Vertical DCT start\n");
  const std::int64_t column_batches = batches(kept_width);
  // The last batch of output rows reads up to 7 rows past the new height.
  // Those the row pass above filled hold its values, the same every run;
  // the others are written here as zeros, which Rader's and Bluestein's
  // pairs of lines need (a row's rounding depends on its partner's).
  // Writing them here rather than when the array is made keeps its pages'
  // first touches in the passes, spread over the workers, instead of all on
  // one thread before the work starts.
  const std::int64_t tail_begin = std::max<std::int64_t>(new_height, round_up(height, lines_per_batch));
  const std::int64_t tail_end =
      std::max(tail_begin, std::min(held_rows, round_up(new_height, lines_per_batch)));
  for_each_item(column_batches * planes, s.threads, [&](std::int64_t item, int w) {
    const std::int64_t b = item % column_batches;
    double* const coefficients = s.coefficients[item / column_batches].get();
    const std::int32_t u0 = static_cast<std::int32_t>(b * lines_per_batch);
    const std::int32_t count = std::min(lines_per_batch, kept_width - u0);
    if (!stop.go_on()) return;
    dct_workspace& work = s.workspaces[w];
    const std::int64_t rd = s.column_forward.real_distance, ird = s.column_inverse.real_distance;
    double* const tile = coefficients + std::int64_t{u0} * lines_per_batch;
    {
      double* lines[lines_per_batch];
      for (int c = 0; c < lines_per_batch; ++c) lines[c] = work.real.get() + c * rd;
      load_reordered_columns(height, tile, block, count, lines);
    }
    // The coefficients go to lines as far apart as the inverse needs (it
    // zero-extends them in place); the forward FFT has read work.real by
    // the time they are written.
    double* line[lines_per_batch];
    for (int c = 0; c < lines_per_batch; ++c) line[c] = work.real.get() + c * std::max(rd, ird);
    dct2_batch(s.column_forward, work, kept_height, line);
    // The repeats past the last column are that column's coefficients, as
    // the inverse would read them from the array: Rader's and Bluestein's
    // transforms take lines in pairs, and their rounding mixes the two, so
    // they must hold the same bits whichever pass order runs.
    for (int c = count; c < lines_per_batch; ++c) std::copy_n(line[count - 1], kept_height, line[c]);
    for (int c = 0; c < lines_per_batch; ++c) {
      line[c][0] *= 0.5;
      if (!s.taper_u.empty()) {
        const double taper = s.taper_u[std::min(u0 + c, u0 + count - 1)];
        for (std::int32_t v = 0; v < kept_height; ++v) line[c][v] *= taper * s.taper_v[v];
      }
    }
    dct3_batch(s.column_inverse, work, kept_height, line);
    for (int c = 0; c < lines_per_batch; ++c) line[c] = work.real.get() + c * ird;
    store_reordered_columns(new_height, line, count, tile, block, tail_begin, tail_end, stream);
  });
  if (stop.stopped()) return false;
  for (int p = 0; p < planes; ++p) {
    report_countdown(progress, "DCTV remain %lld Times\n", passes - height - 1, width);
    report_passes_done(progress, std::int64_t{height} + width, passes);
    report_phase(progress, "Horizontal DCT end\n");
    report_phase(progress, "Horizontal IDCT start\n");
    report_countdown(progress, "IDCTH remain %lld Times\n", std::int64_t{new_height} + new_width - 1,
                     new_height);
    report_passes_done(progress, passes - new_width, passes);
    report_phase(progress, "Horizontal IDCT end\n");
  }
  return true;
}

template <class Sample, class RowsDone>
bool fast_resampler::inverse(int planes, const Sample& sample, const RowsDone& rows_done,
                             const progress_streams& progress, const proceed_check& proceed) {
  state& s = *state_;
  const std::int32_t new_width = s.new_width, new_height = s.new_height;
  const std::int32_t kept_width = s.kept_width;
  const std::int64_t block = std::int64_t{kept_width} * lines_per_batch;
  const std::int64_t passes = pass_count(s.width, s.height, new_width, new_height);
  std::atomic<bool> destination_failed{false};
  stop_check stop(proceed);
  // Rows back to the new width, handed on as they are finished: with
  // several planes, each batch of rows of every plane (each in a workspace
  // of its own, a plane's workers' after another's) before the next batch.
  for (int p = 0; p < planes; ++p) report_phase(progress, "Vertical IDCT start\n");
  for_each_item(batches(new_height), s.threads, [&](std::int64_t b, int w) {
    const std::int32_t y0 = static_cast<std::int32_t>(b * lines_per_batch);
    const std::int32_t count = std::min(lines_per_batch, new_height - y0);
    if (destination_failed.load(std::memory_order_relaxed) || !stop.go_on()) return;
    const std::int64_t rd = s.row_inverse.real_distance;
    for (int p = 0; p < planes; ++p) {
      dct_workspace& work = s.last_pass_work(p, w);
      const double* const rows = s.coefficients[p].get() + b * block;
      // Rows past the new height (in the last batch) read the zeroed tail.
      if (!dct3_batch_from_columns(s.row_inverse, work, kept_width, rows, lines_per_batch)) {
        double* line[lines_per_batch];
        for (int r = 0; r < lines_per_batch; ++r) line[r] = work.real.get() + r * rd;
        gather_batch(rows, lines_per_batch, kept_width, line);
        for (int r = 0; r < lines_per_batch; ++r) line[r][0] *= 0.5;
        dct3_batch(s.row_inverse, work, kept_width);
      }
    }
    // Once another worker has seen a stop, nothing more is handed on.
    if (stop.stopped()) return;
    for (int p = 0; p < planes; ++p)
      for (int r = 0; r < count; ++r) sample(w, p, y0 + r, s.last_pass_work(p, w).real.get() + r * rd);
    if (!destination_failed && !rows_done(w, y0, count)) destination_failed = true;
  });
  if (destination_failed || stop.stopped()) return false;
  for (int p = 0; p < planes; ++p) {
    report_countdown(progress, "IDCTV remain %lld Times\n", new_width - 1, new_width);
    report_passes_done(progress, passes, passes);
    report_phase(progress, "Vertical IDCT end\n");
  }
  return true;
}

}  // namespace pellimor::detail
