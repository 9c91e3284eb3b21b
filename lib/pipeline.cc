// SPDX-License-Identifier: MIT
// pipeline.cc - decoding, resizing and encoding of one file job overlapped.
#include "lib/pipeline.h"

#include <sys/mman.h>
#include <unistd.h>

#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "lib/file_io.h"
#include "lib/resize_hooks.h"

namespace pellimor {
namespace {

// What the resize and the decoding-then-encoding thread tell each other.
struct shared_state {
  std::mutex lock;
  std::condition_variable changed;
  const std::uint8_t* pixels = nullptr;  // the decoder's buffer, once it has one
  std::int32_t rows_decoded = 0;
  bool decoding_over = false, decoded = false, start_over = false;
  // Rows told are withdrawn (the decoder failed and its buffer is about to
  // go), and how many readers are between before_read and after_read.
  bool withdrawn = false;
  int reading = 0;
  std::int32_t rows_read = 0;  // source rows no channel reads again
  std::map<std::int32_t, std::int32_t> read_waiting;  // as rows_waiting, for rows_read
  std::size_t source_gone = 0;                       // bytes of the source let go
  std::int32_t rows_resized = 0;  // rows of the output with every channel final
  std::map<std::int32_t, std::int32_t> rows_waiting;  // later batches done, first row to end
  bool resize_over = false;       // the resize ended, well or not
  bool encoding_failed = false, encoding_stopped = false;
  std::string input_err, output_err;
};

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
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(base);
  const std::uintptr_t start = (at + *gone + page - 1) & ~(page - 1), end = (at + upto) & ~(page - 1);
  if (end <= start) return;
  madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
  *gone = end - at;
}

bool same_layout(const image& decoded, const image_info& info) {
  return decoded.width == info.width && decoded.height == info.height && decoded.channels == info.channels &&
         decoded.type == info.type && decoded.orientation == info.orientation &&
         decoded.pixels.size() == decoded.pixel_bytes();
}

// The second thread: decodes, then (when that went well) encodes.
void decode_then_encode(const pipeline_job& job, shared_state* s) {
  image source;
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
        std::lock_guard<std::mutex> hold(s->lock);
        s->pixels = pixels;
        s->rows_decoded = rows;
        s->changed.notify_all();
      }
      if (job.input_progress && job.info.height > 0)
        job.input_progress(static_cast<double>(rows) / job.info.height);
    };
    ok = decode_image(job.data, job.size, job.format, &source, &err, progress);
  } catch (const std::bad_alloc&) {
    err = "out of memory";
  }
  if (ok && job.input_intact && !job.input_intact()) {
    ok = false;
    err = "the file changed while it was read";
  }
  {
    std::lock_guard<std::mutex> hold(s->lock);
    s->decoding_over = true;
    s->start_over = ok && !same_layout(source, job.info);
    s->decoded = ok && !s->start_over;
    if (!ok) s->input_err = err;
    s->changed.notify_all();
    if (!s->decoded) return;
  }
  carry_metadata(&source, job.out, job.strip, job.out_format);
  if (job.input_done) job.input_done();

  encode_options options = job.options;
  std::int32_t encoded = 0;  // rows the encoder has read for good (codec.h)
  std::size_t output_gone = 0;
  options.rows_ready = [s, &job, &encoded, &output_gone](std::int32_t rows) {
    let_go(job.out->pixels.data(), static_cast<std::size_t>(encoded) * job.out->row_bytes(),
           job.out->pixels.size(), &output_gone);
    encoded = rows;
    std::unique_lock<std::mutex> hold(s->lock);
    s->changed.wait(hold, [&] { return s->rows_resized >= rows || s->resize_over; });
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

void carry_metadata(image* source, image* out, strip_mode strip, image_format format) {
  strip_metadata(source, strip);
  if (source->icc.empty() && format != image_format::png && format != image_format::bmp)
    png_colour_profile(source->meta, &source->icc);
  out->icc = std::move(source->icc);
  out->meta = std::move(source->meta);
}

pipeline_status run_pipeline(const pipeline_job& job, std::string* err) {
  shared_state s;
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
    hooks.before_read = [&s](std::int32_t first, std::int32_t count) {
      std::unique_lock<std::mutex> hold(s.lock);
      s.changed.wait(hold,
                     [&] { return s.rows_decoded >= first + count || s.decoding_over || s.withdrawn; });
      const bool there = !s.withdrawn && (s.decoded || (!s.decoding_over && s.rows_decoded >= first + count));
      if (there) ++s.reading;
      return there;
    };
    hooks.after_read = [&s] {
      std::lock_guard<std::mutex> hold(s.lock);
      if (--s.reading == 0) s.changed.notify_all();
    };
    // Called inside a read, so the decoder's buffer cannot go meanwhile.
    hooks.read_for_good = [&s, pixels, &view](std::int32_t first, std::int32_t count) {
      std::lock_guard<std::mutex> hold(s.lock);
      if (advance(&s.read_waiting, first, first + count, &s.rows_read))
        let_go(pixels, static_cast<std::size_t>(s.rows_read) * static_cast<std::size_t>(view.row_stride),
               static_cast<std::size_t>(view.height) * static_cast<std::size_t>(view.row_stride),
               &s.source_gone);
    };
    hooks.after_write = [&s, last](int channel, std::int32_t first, std::int32_t count) {
      std::lock_guard<std::mutex> hold(s.lock);
      // The encoder is told only of rows with none missing above them.
      if (channel == last && advance(&s.rows_waiting, first, first + count, &s.rows_resized))
        s.changed.notify_all();
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
    *err = resize_err;
    return pipeline_status::resize_failed;
  }
  if (s.encoding_failed) {
    *err = s.output_err;
    return pipeline_status::output_failed;
  }
  return pipeline_status::done;
}

}  // namespace pellimor
