// SPDX-License-Identifier: MIT
// pipeline.cc - decoding, resizing and encoding of one file job overlapped.
#include "lib/pipeline.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "lib/file_io.h"
#include "lib/packed_planes.h"
#include "lib/resize_hooks.h"

namespace pellimor {
namespace {

// What the resize and the decoding-then-encoding thread tell each other.
//
// The resize's workers ask about rows once a batch (eight rows), the
// decoder tells once every few rows and the encoder asks once a row, so
// each side wakes the other only when what it waits for has come, and the
// common answers need no lock at all. Locking and broadcasting on every
// call made three threads fight for one lock: a tenth of the CPU time of a
// batch of small JPEGs went to waking and sleeping, and half the context
// switches.
struct shared_state {
  std::mutex lock;
  std::condition_variable changed;
  const std::uint8_t* pixels = nullptr;  // the decoder's buffer, once it has one
  std::int32_t rows_decoded = 0;
  // The fewest decoded rows a waiting reader needs (INT32_MAX when none
  // waits): the decoder wakes the readers only once it has that many.
  std::int32_t rows_wanted = INT32_MAX;
  bool decoding_over = false, decoded = false, start_over = false;
  // The whole source is decoded and final, read without asking (set once,
  // never with `again`, whose source changes from channel to channel).
  std::atomic<bool> settled{false};
  // Rows told are withdrawn (the decoder failed and its buffer is about to
  // go), and how many readers are between before_read and after_read.
  std::atomic<bool> withdrawn{false};
  std::atomic<int> reading{0};
  // A batch's picture has had its last row read (rows_read below): the
  // decoding thread waits for that and for the reads to end, to free it.
  std::atomic<bool> all_read{false};
  // With `again`, the input is decoded once for each channel, the decoder
  // kept a few megabytes ahead of that channel's reads and the rows read
  // let go at once, so that no whole picture is ever held: `pass` is the
  // decode `pixels` and `rows_decoded` are of, the resize has asked for
  // the samples of `passes_asked` channels, and the passes after the first
  // end in pass_over or pass_failed.
  bool again = false;
  std::int32_t ahead = 0;  // rows the decoder may be ahead of the reads
  int pass = 0, passes_asked = 1;
  bool pass_over = false, pass_failed = false;
  const std::uint8_t* read_base = nullptr;  // the buffer the channel being resized reads
  std::int32_t rows_read = 0;  // of the channel being resized, rows it reads no more
  std::map<std::int32_t, std::int32_t> read_waiting;  // as rows_waiting, for rows_read
  std::size_t source_gone = 0;                       // bytes of read_base let go
  // With `packed`, the channels after the first resized are kept
  // compressed, band by band, as the first channel reads them (the decoder
  // kept a few megabytes ahead of those reads), and decoded rows go once
  // read and packed: the decoded picture is
  // never held whole beside the engine's coefficient array. Bands packed
  // are counted from the top.
  packed_planes* packed = nullptr;
  std::int32_t bands_packed = 0, rows_packed = 0;
  std::vector<std::int32_t> band_reads;               // the first channel's rows read of each band
  std::map<std::int32_t, std::int32_t> pack_waiting;  // as rows_waiting, for bands_packed
  bool pack_failed = false;
  std::int32_t packed_width = 0;
  std::size_t packed_sample = 0;
  std::int32_t rows_resized = 0;  // rows of the output with every channel final
  std::atomic<std::int32_t> rows_final{0};  // rows_resized, for the encoder to read without the lock
  // The rows the encoder waits for (INT32_MAX when it does not wait).
  std::int32_t encoder_wants = INT32_MAX;
  std::map<std::int32_t, std::int32_t> rows_waiting;  // later batches done, first row to end
  bool resize_over = false;       // the resize ended, well or not
  std::atomic<bool> encoding_failed{false};
  bool encoding_stopped = false;
  std::string input_err, output_err;
};

// How far a decode for one channel (pipeline_job::again) may run ahead of
// that channel's reads.
constexpr std::uint64_t ahead_bytes = std::uint64_t{4} << 20;
// With plain planes the decoded rows ahead are never the peak (that is the
// planes and the output beside the whole array once the first channel is
// done): a longer lead keeps the decoder from waiting on a busy engine.
constexpr std::uint64_t plain_ahead_bytes = std::uint64_t{16} << 20;

// A reader that has to wait for the decoder, or the encoder for the
// resize, waits for this many rows more than it needs, so that it is woken
// a few times a picture rather than every few rows.
constexpr std::int32_t wake_rows = 64;

// Adds the batch [first, end) to `waiting` and moves `*done` past every
// batch that now follows on from it: workers finish in any order, and only
// rows with none missing above them count.
bool advance(std::map<std::int32_t, std::int32_t>* waiting, std::int32_t first, std::int32_t end,
             std::int32_t* done) {
  (*waiting)[first] = end;
  const std::int32_t before = *done;
  for (auto next = waiting->begin(); next != waiting->end() && next->first == *done; next = waiting->erase(next))
    *done = next->second;
  return *done != before;
}

// Gives the memory of the whole pages among bytes [*gone, upto) of the
// `size` at `base` back to the system (read again, they would be zeros),
// a few megabytes at a time: the decoded source once the resize is done
// with its rows, the output once the encoder is, so that neither is held
// whole beside the engine's arrays and the encoder's.
void let_go(const std::uint8_t* base, std::size_t upto, std::size_t size, std::size_t* gone) {
  constexpr std::size_t step = std::size_t{2} << 20;
  static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  if (upto < *gone + step && upto < size) return;
  // Pages let go are not touched again, so splitting a huge page costs
  // nothing later.
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(base);
  const std::uintptr_t start = (at + *gone + page - 1) & ~(page - 1), end = (at + upto) & ~(page - 1);
  if (end <= start) return;
  madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
  *gone = end - at;
}

// The bytes of the source's first `rows` rows.
std::size_t rows_bytes(const pipeline_job& job, std::int32_t rows) {
  return static_cast<std::size_t>(rows) * job.info.row_bytes();
}

// With `packed`, lets the source rows go that the first channel has read
// and whose other channels are packed. Called with s->lock held.
void let_go_read_and_packed(const pipeline_job& job, shared_state* s) {
  let_go(s->read_base, rows_bytes(job, std::min(s->rows_read, s->rows_packed)),
         rows_bytes(job, job.info.height), &s->source_gone);
}

// Reading rows [first, first + count) for the first channel, with
// `packed`: packs the other planes of each band those rows complete, while
// they are at hand (the worker that reads a band's last rows packs it), and
// lets go the rows behind. Called inside the read, so the decoder's buffer
// cannot go meanwhile.
void pack_read_rows(const pipeline_job& job, shared_state* s, std::int32_t first, std::int32_t count) {
  packed_planes& store = *s->packed;
  const std::int32_t band_rows = store.band_rows(), end = first + count;
  std::vector<std::int32_t> complete;
  {
    std::lock_guard<std::mutex> hold(s->lock);
    if (advance(&s->read_waiting, first, end, &s->rows_read))
      s->changed.notify_all();  // the decoder may go on
    for (std::int32_t b = first / band_rows; b * band_rows < end; ++b) {
      const std::int32_t top = b * band_rows;
      s->band_reads[b] += std::min(end, top + store.rows_in(b)) - std::max(first, top);
      if (s->band_reads[b] == store.rows_in(b)) complete.push_back(b);
    }
  }
  const std::ptrdiff_t sample = static_cast<std::ptrdiff_t>(sample_bytes(job.info.type));
  const std::ptrdiff_t pixel = job.info.channels * sample,
                       row = static_cast<std::ptrdiff_t>(job.info.row_bytes());
  bool failed = false;
  try {
    for (const std::int32_t b : complete) {
      const std::uint8_t* band = s->read_base + b * band_rows * row;
      for (int plane = 0; plane < store.planes(); ++plane)
        store.put(plane, b, band + (plane + 1) * sample, row, pixel, band + sample);
    }
  } catch (const std::bad_alloc&) {
    failed = true;
  }
  std::lock_guard<std::mutex> hold(s->lock);
  s->pack_failed = s->pack_failed || failed;
  if (s->pack_failed) {
    s->changed.notify_all();
    return;
  }
  bool more = false;
  for (const std::int32_t b : complete) more = advance(&s->pack_waiting, b, b + 1, &s->bands_packed) || more;
  if (!more) return;
  s->rows_packed = std::min(job.info.height, s->bands_packed * band_rows);
  let_go_read_and_packed(job, s);
  s->changed.notify_all();
}

// The second thread: decodes, then (when that went well) encodes.
void decode_then_encode(const pipeline_job& job, shared_state* s) {
  image source, again;  // the first decode, and the one for the channel being resized
  // The resize may still read rows of `source` after this thread is done
  // with it (an encoder that failed, pixels not as the header said): it
  // goes only once the resize is over.
  struct source_kept {
    shared_state* s;
    ~source_kept() {
      std::unique_lock<std::mutex> hold(s->lock);
      s->changed.wait(hold, [this] { return s->resize_over; });
    }
  } kept{s};
  std::string err;
  bool ok = false;
  try {
    const decode_progress progress = [s, &job](const std::uint8_t* pixels, std::int32_t rows) {
      if (rows < 0) {  // the decoder failed, and the rows' buffer goes once no one reads them
        std::unique_lock<std::mutex> hold(s->lock);
        s->withdrawn = true;
        s->changed.notify_all();
        s->changed.wait(hold, [s] { return s->reading == 0; });
        return;
      }
      {
        std::unique_lock<std::mutex> hold(s->lock);
        const bool new_buffer = s->pixels != pixels;  // the resize may wait for one
        s->pixels = pixels;
        s->rows_decoded = rows;
        if (new_buffer || rows >= s->rows_wanted) {
          s->rows_wanted = INT32_MAX;
          s->changed.notify_all();
        }
      }
      // Not once the resize has asked for the next channel's decode: the
      // reads of this one are over, and rows_read counts the next one's.
      if (s->again || s->packed) {
        std::unique_lock<std::mutex> hold(s->lock);
        s->changed.wait(hold, [&] {
          return rows - s->rows_read <= s->ahead || s->resize_over || s->passes_asked > s->pass + 1;
        });
      }
      if (job.input_progress && job.info.height > 0)
        job.input_progress(static_cast<double>(rows) / job.info.height);
    };
    if (job.decoded != nullptr) {  // every row at once
      source = std::move(*job.decoded);
      progress(source.pixels.data(), source.height);
      ok = true;
    } else {
      ok = decode_image(job.data, job.size, job.format, &source, &err, progress);
    }
    // The input again for each further channel, once the resize asks for it
    // (the buffer before is then read no more).
    for (int pass = 1; ok && s->again && pass < job.out->channels; ++pass) {
      {
        std::unique_lock<std::mutex> hold(s->lock);
        if (pass == 1) {  // the first decode's end is told first, as without `again`
          s->decoding_over = true;
          s->start_over = !decoded_as_told(source, job.info);
          s->decoded = !s->start_over;
          s->changed.notify_all();
          if (!s->decoded) return;
        }
        s->changed.wait(hold, [&] { return s->passes_asked > pass || s->resize_over; });
        if (s->resize_over) break;
        s->pass = pass;
        s->pixels = nullptr;
        s->rows_decoded = 0;
      }
      again = image{};
      ok = decode_image(job.data, job.size, job.format, &again, &err, progress) && decoded_as_told(again, job.info);
      if (!ok && err.empty()) err = "the file changed while it was read";
      std::lock_guard<std::mutex> hold(s->lock);
      (ok ? s->pass_over : s->pass_failed) = true;
      s->changed.notify_all();
    }
  } catch (const std::bad_alloc&) {
    err = "out of memory";
  }
  if (ok && job.input_intact && !job.input_intact()) {
    ok = false;
    err = "the file changed while it was read";
  }
  {
    std::lock_guard<std::mutex> hold(s->lock);
    if (!s->again || !s->decoding_over) {
      s->decoding_over = true;
      s->start_over = ok && !decoded_as_told(source, job.info);
    }
    s->decoded = ok && !s->start_over;
    if (s->decoded && !s->again) s->settled.store(true, std::memory_order_release);
    if (!ok) s->input_err = err;
    s->changed.notify_all();
    if (!s->decoded) return;
  }
  carry_metadata(&source, job.out, job.strip, job.out_format);
  if (job.input_done) job.input_done();
  // Keeping its pages, the decoded picture is not let go as it is read: it
  // goes whole once the last channel has read it, and only then does the
  // encoder start, so that its buffers (JPEG's every coefficient, 3 MiB
  // for a 960x540 result) take the picture's pages instead of sitting
  // beside them. A whole-plane resize makes no output row final before.
  if (job.keep_pages && !s->again && s->packed == nullptr) {
    std::unique_lock<std::mutex> hold(s->lock);
    const auto read = [&] { return s->rows_read >= job.info.height && s->reading == 0; };
    s->changed.wait(hold, [&] { return read() || s->resize_over; });
    if (read()) {
      pixel_buffer pixels;
      pixels.swap(source.pixels);
      hold.unlock();
      if (job.picture_gone) job.picture_gone(std::move(pixels));
    }
  }

  encode_options options = job.options;
  std::int32_t encoded = 0;  // rows the encoder has read for good (codec.h)
  std::size_t output_gone = 0;
  options.rows_ready = [s, &job, &encoded, &output_gone](std::int32_t rows) {
    if (!job.keep_pages)
      let_go(job.out->pixels.data(), static_cast<std::size_t>(encoded) * job.out->row_bytes(),
             job.out->pixels.size(), &output_gone);
    encoded = rows;
    if (s->rows_final.load(std::memory_order_acquire) >= rows) return true;
    std::unique_lock<std::mutex> hold(s->lock);
    const std::int32_t want = std::min(job.out->height, rows + wake_rows);
    while (s->rows_resized < want && !s->resize_over) {
      s->encoder_wants = want;
      s->changed.wait(hold);
    }
    s->encoder_wants = INT32_MAX;
    return s->rows_resized >= rows;
  };
  err.clear();
  bool written = false;
  try {
    written = job.output == "-" ? encode_to_fd(*job.out, job.out_format, options, STDOUT_FILENO, &err)
                                : encode_to_file(*job.out, job.out_format, options, job.output, &err);
  } catch (const std::bad_alloc&) {
    err = "out of memory";
  }
  std::lock_guard<std::mutex> hold(s->lock);
  if (!written) {
    s->encoding_failed = true;
    // Stopped because the resize failed: the resize says why.
    s->encoding_stopped = s->resize_over;
    s->output_err = err;
    s->changed.notify_all();
  }
}

// Rows [first, first + count) of packed plane `plane` into `out`, each band
// once it is packed. A band read whole by the plane that reads it last
// goes.
bool read_packed(shared_state* s, int plane, std::int32_t first, std::int32_t count, std::uint8_t* out) {
  packed_planes& store = *s->packed;
  const std::int32_t band_rows = store.band_rows(), end = first + count;
  const std::size_t row_bytes = static_cast<std::size_t>(s->packed_width) * s->packed_sample;
  for (std::int32_t b = first / band_rows; b * band_rows < end; ++b) {
    {
      std::unique_lock<std::mutex> hold(s->lock);
      s->changed.wait(hold, [&] { return s->bands_packed > b || s->pack_failed || s->resize_over; });
      if (s->bands_packed <= b) return false;
    }
    const std::int32_t top = b * band_rows, rows = store.rows_in(b);
    const std::int32_t from = std::max(first, top), to = std::min(end, top + rows);
    std::uint8_t* at = out + static_cast<std::size_t>(from - first) * row_bytes;
    if (from == top && to == top + rows) {
      if (!store.get(plane, b, at)) return false;
      // The first plane's band stays until the last plane, whose values are
      // kept relative to it, is unpacked.
      if (plane > 0 || store.planes() == 1 || !store.relative()) store.drop(plane, b);
      if (plane > 0 && plane == store.planes() - 1 && store.relative()) store.drop(0, b);
      continue;
    }
    thread_local std::vector<std::uint8_t> band;
    band.resize(static_cast<std::size_t>(rows) * row_bytes);
    if (!store.get(plane, b, band.data())) return false;
    std::memcpy(at, band.data() + static_cast<std::size_t>(from - top) * row_bytes,
                static_cast<std::size_t>(to - from) * row_bytes);
  }
  return true;
}

// Joins the second thread however the caller leaves, telling it first that
// no more rows will come.
struct joined_thread {
  shared_state* s;
  std::thread thread;
  ~joined_thread() {
    if (!thread.joinable()) return;
    {
      std::lock_guard<std::mutex> hold(s->lock);
      s->resize_over = true;
      s->changed.notify_all();
    }
    thread.join();
  }
};

}  // namespace

bool decoded_as_told(const image& decoded, const image_info& info) {
  return decoded.width == info.width && decoded.height == info.height && decoded.channels == info.channels &&
         decoded.type == info.type && decoded.orientation == info.orientation &&
         decoded.pixels.size() == decoded.pixel_bytes();
}

void carry_metadata(image* source, image* out, strip_mode strip, image_format format) {
  strip_metadata(source, strip);
  if (source->icc.empty() && format != image_format::png && format != image_format::bmp)
    png_colour_profile(source->meta, &source->icc);
  out->icc = std::move(source->icc);
  out->meta = std::move(source->meta);
}

pipeline_status run_pipeline(const pipeline_job& job, std::string* err) {
  shared_state s;
  const bool squeezable = job.out->channels > 1 && job.settings.method == engine::fast &&
                          (job.format == image_format::png || job.format == image_format::jpeg ||
                           job.format == image_format::tiff);
  const bool pack = squeezable && job.pack && !job.settings.alpha;
  s.again = squeezable && job.again && !pack;
  s.ahead = static_cast<std::int32_t>(
      std::clamp<std::uint64_t>((pack && job.pack_plain ? plain_ahead_bytes : ahead_bytes) /
                                    std::max<std::uint64_t>(job.info.row_bytes(), 1),
                                64, INT32_MAX));
  // Bands of eight rows, as the engine reads them, so that each is
  // unpacked once.
  std::optional<packed_planes> packed;
  if (pack) {
    packed.emplace(job.out->channels - 1, job.info.width, job.info.height,
                   static_cast<int>(sample_bytes(job.info.type)), 8, true, job.pack_plain);
    s.packed = &*packed;
    s.band_reads.assign(static_cast<std::size_t>(packed->bands()), 0);
    s.packed_width = job.info.width;
    s.packed_sample = sample_bytes(job.info.type);
  }
  joined_thread io{&s, {}};
  try {
    io.thread = std::thread(decode_then_encode, std::cref(job), &s);
  } catch (const std::system_error&) {
    return pipeline_status::start_over;  // no second thread to be had: the job is done without one
  }

  // The resize starts once the decoder has its buffer.
  const std::uint8_t* pixels = nullptr;
  bool start = false;
  {
    std::unique_lock<std::mutex> hold(s.lock);
    s.changed.wait(hold, [&] { return s.pixels != nullptr || s.decoding_over; });
    pixels = s.pixels;
    start = s.pixels != nullptr || s.decoded;
  }
  bool resized = false;
  std::string resize_err;
  if (start) {
    image_view view;
    view.data = pixels;
    view.type = job.info.type;
    view.width = job.info.width;
    view.height = job.info.height;
    view.channels = job.out->channels;  // a dropped alpha channel is simply not read
    view.pixel_stride = static_cast<std::ptrdiff_t>(job.info.channels * sample_bytes(job.info.type));
    view.row_stride = static_cast<std::ptrdiff_t>(job.info.row_bytes());
    const int last = last_resized_channel(job.out->channels, job.settings);
    resize_hooks hooks;
    s.read_base = pixels;
    // Only a decoder that never waits for the reads may be waited for
    // beyond the rows needed (with `again` or packing it waits for them).
    const std::int32_t beyond = s.again || s.packed != nullptr ? 0 : std::max(wake_rows, view.height / 8);
    hooks.before_read = [&s, &view, beyond](std::int32_t first, std::int32_t count) {
      if (s.settled.load(std::memory_order_acquire)) {
        ++s.reading;
        return true;
      }
      std::unique_lock<std::mutex> hold(s.lock);
      const std::int32_t end = first + count;
      bool there;
      if (s.pass == 0) {
        const std::int32_t want = std::min(view.height, end + beyond);
        while (s.rows_decoded < want && !s.decoding_over && !s.withdrawn) {
          s.rows_wanted = std::min(s.rows_wanted, want);
          s.changed.wait(hold);
        }
        there = !s.withdrawn && (s.decoded || (!s.decoding_over && s.rows_decoded >= end));
      } else {
        while (s.rows_decoded < end && !s.pass_over && !s.pass_failed && !s.withdrawn) {
          s.rows_wanted = std::min(s.rows_wanted, end);
          s.changed.wait(hold);
        }
        there = !s.withdrawn && !s.pass_failed && (s.pass_over || s.rows_decoded >= end);
      }
      if (there) ++s.reading;
      return there;
    };
    if (s.again) {
      hooks.source_of = [&s](int index) -> const void* {
        std::unique_lock<std::mutex> hold(s.lock);
        if (index == 0) return s.read_base;
        s.passes_asked = index + 1;
        s.pass_over = false;
        s.rows_read = 0;
        s.read_waiting.clear();
        s.source_gone = 0;
        s.changed.notify_all();
        const auto failed = [&] { return s.pass_failed || s.withdrawn || (s.decoding_over && !s.decoded); };
        s.changed.wait(hold, [&] { return (s.pass == index && s.pixels != nullptr) || failed(); });
        if (failed()) return nullptr;
        s.read_base = s.pixels;
        return s.read_base;
      };
    }
    // Only a failed decoder, or one freeing a picture read to the end,
    // waits for the reads to end.
    hooks.after_read = [&s] {
      if (--s.reading == 0 && (s.withdrawn || s.all_read)) {
        std::lock_guard<std::mutex> hold(s.lock);
        s.changed.notify_all();
      }
    };
    // Called inside a read, so the decoder's buffer cannot go meanwhile.
    // Without `again`, only the last channel's reads are the source's last.
    const int last_index = job.out->channels - 1;
    // With `packed`, only the first channel reads the source. A batch
    // keeping its pages lets nothing go (packing and `again` always do).
    const bool keep = job.keep_pages && !s.again;
    hooks.rows_read = [&s, &view, &job, last_index, keep](int index, std::int32_t first, std::int32_t count) {
      if (s.packed != nullptr) {
        if (index == 0) pack_read_rows(job, &s, first, count);
        return;
      }
      if (!s.again && index != last_index) return;
      std::lock_guard<std::mutex> hold(s.lock);
      if (!advance(&s.read_waiting, first, first + count, &s.rows_read)) return;
      if (keep) {  // the picture goes whole once read (decode_then_encode)
        if (s.rows_read >= view.height) {
          s.all_read = true;
          s.changed.notify_all();
        }
        return;
      }
      if (s.again) s.changed.notify_all();  // the decoder may go on
      let_go(s.read_base, static_cast<std::size_t>(s.rows_read) * static_cast<std::size_t>(view.row_stride),
             static_cast<std::size_t>(view.height) * static_cast<std::size_t>(view.row_stride), &s.source_gone);
    };
    if (s.packed != nullptr) {
      hooks.reads_channel = [](int index) { return index > 0; };
      hooks.read_channel = [&s](int index, std::int32_t first, std::int32_t count, std::uint8_t* out) {
        return read_packed(&s, index - 1, first, count, out);
      };
    }
    hooks.after_write = [&s, last](int channel, std::int32_t first, std::int32_t count) {
      if (channel != last) return !s.encoding_failed;
      std::lock_guard<std::mutex> hold(s.lock);
      // The encoder is told only of rows with none missing above them.
      if (advance(&s.rows_waiting, first, first + count, &s.rows_resized)) {
        s.rows_final.store(s.rows_resized, std::memory_order_release);
        if (s.rows_resized >= s.encoder_wants) s.changed.notify_all();
      }
      return !s.encoding_failed;
    };
    resized = resize(view, span_of(*job.out), job.settings, hooks, &resize_err);
  }
  {
    std::lock_guard<std::mutex> hold(s.lock);
    s.resize_over = true;
    s.changed.notify_all();
  }
  if (io.thread.joinable()) io.thread.join();

  // The input's fault first: a resize stopped by a damaged input says so.
  if (s.start_over) return pipeline_status::start_over;
  if (!s.decoded) {
    *err = s.input_err;
    return pipeline_status::input_failed;
  }
  if (!resized && (!s.encoding_failed || s.encoding_stopped)) {
    *err = s.pack_failed ? "out of memory" : resize_err;
    return pipeline_status::resize_failed;
  }
  if (s.encoding_failed) {
    *err = s.output_err;
    return pipeline_status::output_failed;
  }
  return pipeline_status::done;
}

}  // namespace pellimor
