// SPDX-License-Identifier: MIT
// batch.cc - many pictures in one process.
#include "lib/batch.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "codec/codec.h"
#include "lib/file_io.h"
#include "lib/geometry.h"
#include "lib/limits.h"
#include "lib/resize_file.h"

using namespace pellimor::detail;  // the library's internals

namespace pellimor {
namespace {

bool ends_with_nocase(const std::string& text, const char* end) {
  const std::size_t n = std::strlen(end);
  return text.size() >= n && strcasecmp(text.c_str() + text.size() - n, end) == 0;
}

bool is_folder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string file_name(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// `pattern` with each "%s" replaced by `stem` and each "%%" by '%'.
std::string fill_pattern(const std::string& pattern, const std::string& stem) {
  std::string name;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && (pattern[i + 1] == 's' || pattern[i + 1] == '%')) {
      name += pattern[i + 1] == 's' ? stem : "%";
      ++i;
    } else {
      name += pattern[i];
    }
  }
  return name;
}

// The format the name `name` says, or why there is none.
bool named_format(const std::string& name, const std::string& shown, const std::string& hint,
                  image_format* format, std::string* err) {
  if (format_from_name(name, format)) return true;
  if (ends_with_nocase(name, ".gif"))
    *err = shown + ": GIF files are read, not written";
  else
    *err = shown + ": the name does not end in .bmp, .png, .jpg, .jpeg, .tif, .tiff or .webp" + hint;
  return false;
}

// Threads handed out to the files of a batch, in the order the files ask:
// a file waits until those that asked before it have theirs and enough
// are free.
class thread_tokens {
 public:
  explicit thread_tokens(int count) : free_(count) {}
  void acquire(int count) {
    std::unique_lock<std::mutex> hold(lock_);
    const std::uint64_t ticket = next_ticket_++;
    changed_.wait(hold, [&] { return serving_ == ticket && free_ >= count; });
    free_ -= count;
    ++serving_;
    changed_.notify_all();
  }
  // Whether a file asking for `count` now would have them at once.
  bool free_now(int count) {
    std::lock_guard<std::mutex> hold(lock_);
    return serving_ == next_ticket_ && free_ >= count;
  }
  void release(int count) {
    std::lock_guard<std::mutex> hold(lock_);
    free_ += count;
    changed_.notify_all();
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int free_;
  std::uint64_t next_ticket_ = 0, serving_ = 0;
};

// Gives back what a file took, however it ends.
struct tokens_held {
  thread_tokens* tokens = nullptr;
  int count = 0;
  ~tokens_held() {
    if (tokens != nullptr && count > 0) tokens->release(count);
  }
};

// Files taking their threads one after another (one at a time, or a large
// file alone on all of them) read the next file ahead: this keeps their
// turns in order, counts what those in flight said they need, and lets one
// file at a time hold its decoded pixels before its turn, when they and
// the needs of the files in flight together fit the memory limit.
class batch_turns {
 public:
  batch_turns(std::size_t count, const std::vector<planned_output>& plan, const file_limits& limits)
      : plan_(plan),
        limits_(limits),
        need_(count, 0),
        settled_(count, 0),
        ended_(count, 0),
        holding_(count, 0) {}

  // Waits until every file before `i` has had its turn (has its threads
  // and said what it needs) or has ended.
  void wait_for_earlier(std::size_t i) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [&] { return first_unsettled_ >= i; });
  }
  void admitted(std::size_t i, double need) {
    std::lock_guard<std::mutex> hold(lock_);
    running_ += need - need_[i];
    need_[i] = need;
    if (ahead_index_ == i) drop_ahead();  // counted in `need` from now
    if (!holding_[i]) {
      holding_[i] = 1;
      ++pictures_held_;
    }
    settle(i);
  }
  // File `i` holds its decoded picture no more (it may still encode), and
  // leaves its buffer to the next decoding ahead.
  void picture_gone(std::size_t i, pixel_buffer&& pixels) {
    pixel_buffer dropped;  // freed after the lock
    std::lock_guard<std::mutex> hold(lock_);
    dropped.swap(spare_);
    spare_.swap(pixels);
    let_picture_go(i);
  }
  void ended(std::size_t i) {
    pixel_buffer dropped;
    std::lock_guard<std::mutex> hold(lock_);
    let_picture_go(i);
    // A buffer no decoding ahead is waiting for goes with the file that
    // left it: the next file may decode in its turn, into its own.
    if (!spare_wanted_) dropped.swap(spare_);
    running_ -= need_[i];
    need_[i] = 0;
    if (ahead_index_ == i) drop_ahead();
    ended_[i] = 1;
    while (first_unended_ < ended_.size() && ended_[first_unended_]) ++first_unended_;
    settle(i);
  }
  // Lets the files after `i` take their turns without waiting for it (a
  // file read in its turn, which may wait long for its bytes: a FIFO).
  void pass(std::size_t i) {
    std::lock_guard<std::mutex> hold(lock_);
    settle(i);
  }
  // How file `i` may hold `bytes` decoded before its turn; call after
  // wait_for_earlier(i). `in_place`: it can be decoded into the buffer of
  // the picture before it (decodes_into_buffer), which it is where it is
  // too large to be decoded beside it.
  enum class ahead_kind { refused, beside, in_place };
  ahead_kind reserve_ahead(std::size_t i, double bytes, bool in_place) {
    double total;
    ahead_kind kind;
    {
      std::lock_guard<std::mutex> hold(lock_);
      total = running_ + bytes;
      kind = bytes <= ahead_share * running_ ? ahead_kind::beside
             : in_place                      ? ahead_kind::in_place
                                             : ahead_kind::refused;
      if (ahead_index_ != none || kind == ahead_kind::refused || !memory_refusal(total, "", limits_).empty())
        return ahead_kind::refused;
      ahead_index_ = i;
      ahead_ = bytes;
      spare_wanted_ = kind == ahead_kind::in_place;
    }
    make_room_for(total, static_cast<double>(limits_.memory));  // cached engine states give way
    return kind;
  }
  // For a file decoded ahead in place: waits until no file in flight holds
  // its decoded picture, and gives `into` the buffer the last of them left.
  // A batch then never holds two pictures, nor their memory: the next file
  // is decoded into the pages the picture before it had, while that file's
  // last passes and its encoder run.
  void take_spare(image* into) {
    pixel_buffer dropped;
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [&] { return pictures_held_ == 0; });
    spare_wanted_ = false;
    if (into->pixels.empty()) {
      spare_.clear();  // its room, not its samples
      into->pixels.swap(spare_);
    }
    dropped.swap(spare_);
  }
  // Whether `input` may be the output of a file before `i` that has not
  // ended: such an input is read in its turn, once that output is written.
  bool may_be_written(std::size_t i, const std::string& input) {
    std::vector<std::string> outputs;
    {
      std::lock_guard<std::mutex> hold(lock_);
      for (std::size_t j = first_unended_; j < i; ++j)
        if (!ended_[j]) outputs.push_back(plan_[j].output);
    }
    struct stat in, out;
    const bool known = stat(input.c_str(), &in) == 0;
    for (const std::string& output : outputs)
      if (output == input || (known && stat(output.c_str(), &out) == 0 && out.st_dev == in.st_dev &&
                              out.st_ino == in.st_ino))
        return true;
    return false;
  }
  // Reports go out in the files' order: waits for those before `i`.
  void wait_to_report(std::size_t i) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [&] { return reported_ == i; });
  }
  void reported(std::size_t i) {
    std::lock_guard<std::mutex> hold(lock_);
    reported_ = i + 1;
    changed_.notify_all();
  }

 private:
  static constexpr std::size_t none = SIZE_MAX;
  void drop_ahead() {
    ahead_index_ = none;
    ahead_ = 0;
  }
  void let_picture_go(std::size_t i) {
    if (!holding_[i]) return;
    holding_[i] = 0;
    --pictures_held_;
    changed_.notify_all();
  }
  void settle(std::size_t i) {
    settled_[i] = 1;
    while (first_unsettled_ < settled_.size() && settled_[first_unsettled_]) ++first_unsettled_;
    changed_.notify_all();
  }

  const std::vector<planned_output>& plan_;
  const file_limits limits_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<double> need_;
  std::vector<char> settled_, ended_, holding_;  // holding_: admitted, its picture not gone
  std::size_t pictures_held_ = 0;
  pixel_buffer spare_;  // a picture's buffer, left for the next decoding ahead
  bool spare_wanted_ = false;  // a file decoding ahead in place will take it
  std::size_t first_unsettled_ = 0, first_unended_ = 0, reported_ = 0;
  double running_ = 0, ahead_ = 0;
  std::size_t ahead_index_ = none;
};

// Tells a batch's turns that a file ended, however it did.
struct turn_ended {
  batch_turns* turns;
  std::size_t index;
  ~turn_ended() {
    if (turns != nullptr) turns->ended(index);
  }
};

int core_count() { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

// A batch hands each decoded picture's buffer on to the next file's
// decoding, so no picture is freed; but glibc's malloc raises the size
// from which it maps blocks apart (and twice that, the free space it keeps
// at its heap's top) only when it frees such a block. Left where they
// start, the encoder's buffers (a megabyte a plane of a 960x540 JPEG's
// coefficients) were mapped afresh, or given back from the top of the
// heap, for every file, 4 KiB at a time: 780 page faults a file. A block
// of `bytes` mapped and freed once sets them as a freed picture of that
// size did. Nothing is lowered, and another malloc simply frees a block.
void raise_malloc_thresholds(std::size_t bytes) {
  void* block = std::malloc(bytes);
  asm volatile("" : : "r"(block) : "memory");  // allocated and freed indeed
  std::free(block);
}

}  // namespace

int batch_file_threads(std::size_t count, int jobs, int threads, std::int64_t width, std::int64_t height,
                       std::int64_t new_width, std::int64_t new_height) {
  threads = std::max(threads, 1);
  if (count < 2 || jobs == 1) return threads;
  if (jobs > 1) return std::max(1, threads / jobs);
  return std::max(width * height, new_width * new_height) > small_picture_pixels ? threads : 1;
}

std::string file_stem(const std::string& path) {
  const std::string name = file_name(path);
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

output_kind output_kind_of(const std::string& output) {
  if (output.find("%s") != std::string::npos) return output_kind::pattern;
  if (!output.empty() && (output.back() == '/' || (output != "-" && is_folder(output))))
    return output_kind::folder;
  return output_kind::file;
}

bool plan_outputs(const std::vector<std::string>& inputs, const std::string& output,
                  const std::optional<image_format>& format, const std::string& format_hint,
                  std::vector<planned_output>* plan, std::string* err) {
  plan->clear();
  if (inputs.empty()) {
    *err = "no input file given";
    return false;
  }
  if (output.empty()) {
    *err = "no output given";
    return false;
  }
  if (inputs.size() > 1 && std::find(inputs.begin(), inputs.end(), "-") != inputs.end()) {
    *err = "- (standard input) can only be the one input";
    return false;
  }
  const output_kind kind = output_kind_of(output);
  if (kind == output_kind::file && inputs.size() > 1) {
    *err = output + ": several inputs need a folder (a name ending in /) or a pattern with %s";
    return false;
  }
  if (kind != output_kind::file && inputs[0] == "-") {
    *err = output + ": standard input has no name to make its output's name from";
    return false;
  }
  image_format common = format.value_or(image_format::bmp);
  if (!format) {
    if (kind == output_kind::pattern &&
        !named_format("x" + output.substr(output.rfind("%s") + 2), output, format_hint, &common, err))
      return false;
    if (kind == output_kind::file && output == "-" && !format_from_name(inputs[0], &common)) {
      *err = "standard output: the input's name says no format" + format_hint;
      return false;
    }
    if (kind == output_kind::file && output != "-" &&
        !named_format(output, output, format_hint, &common, err))
      return false;
  }
  std::map<std::string, std::size_t> taken;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    planned_output p;
    p.format = common;
    switch (kind) {
      case output_kind::file:
        p.output = output;
        break;
      case output_kind::pattern:
        p.output = fill_pattern(output, file_stem(inputs[i]));
        break;
      case output_kind::folder: {
        const std::string folder = output.back() == '/' ? output : output + "/";
        p.output =
            folder + (format ? file_stem(inputs[i]) + format_extension(*format) : file_name(inputs[i]));
        if (!format) named_format(p.output, p.output, format_hint, &p.format, &p.error);
        break;
      }
    }
    if (p.error.empty() && p.output != "-") {
      const auto [at, fresh] = taken.emplace(p.output, i);
      if (!fresh) p.error = inputs[i] + ": its output " + p.output + " is also that of " + inputs[at->second];
    }
    plan->push_back(std::move(p));
  }
  return true;
}

std::vector<file_result> run_batch(const batch_request& request) {
  std::vector<planned_output> plan;
  std::string err;
  if (!plan_outputs(request.inputs, request.output, request.options.format, request.format_hint, &plan, &err))
    throw error(err);
  check_quality(request.options.quality);
  if (!request.options.size.empty()) {
    geometry size;
    if (!parse_geometry(request.options.size.c_str(), &size, &err))
      throw error("bad geometry '" + request.options.size + "': " + err);
  }

  const std::size_t count = request.inputs.size();
  const int threads = request.options.settings.threads < 1 ? core_count() : request.options.settings.threads;
  std::size_t workers = 1;
  int file_threads = request.options.settings.threads;  // one file: as asked
  std::optional<thread_tokens> tokens;
  // One file at a time on every thread: a second worker reads the next
  // file ahead, and takes the one turn after it (not with one thread, whose
  // caller wants one core busy: the file's own decoding already overlaps).
  const bool one_at_a_time = count > 1 && request.batch.jobs == 1 && threads > 1;
  if (one_at_a_time) {
    workers = 2;
    file_threads = threads;
    tokens.emplace(1);
  } else if (count > 1 && request.batch.jobs > 0) {
    workers = std::min<std::size_t>(request.batch.jobs, count);
    file_threads = std::max(1, threads / request.batch.jobs);
  } else if (count > 1) {
    workers = std::min<std::size_t>(threads, count);
    tokens.emplace(threads);
  }
  std::optional<batch_turns> turns;
  if (tokens && workers > 1) {
    turns.emplace(count, plan, request.options.limits);
    raise_malloc_thresholds(std::size_t{4} << 20);
  }

  std::vector<file_result> results(count);
  std::atomic<std::size_t> next{0};
  std::mutex report_lock;
  // The threads file `i` runs on, when the batch shares them out.
  const auto share = [&](std::int64_t width, std::int64_t height, std::int64_t new_width,
                         std::int64_t new_height) {
    if (one_at_a_time) return 1;
    return batch_file_threads(count, 0, threads, width, height, new_width, new_height);
  };
  const auto one_file = [&](std::size_t i) {
    file_result& r = results[i];
    r.input = request.inputs[i];
    r.output = plan[i].output;
    turn_ended ended{turns ? &*turns : nullptr, i};
    if (!plan[i].error.empty()) {
      r.error = plan[i].error;
      return;
    }
    struct stat st;
    if (request.batch.no_clobber && r.output != "-" && lstat(r.output.c_str(), &st) == 0) {
      r.skipped = true;
      return;
    }
    file_options options = request.options;
    options.format = plan[i].format;
    options.settings.threads = file_threads;
    file_request job = request_for(r.input, r.output, options);
    job.page_hint = request.page_hint;
    job.keep_pages = count > 1;
    tokens_held held;
    const auto take_turn = [&](int count) {
      if (turns) turns->wait_for_earlier(i);
      tokens->acquire(count);
      held.count = count;
      held.tokens = &*tokens;
    };
    job.planned = [&, i](int channels, std::int64_t width, std::int64_t height, std::int64_t new_width,
                         std::int64_t new_height, resize_settings* settings) {
      if (tokens) {
        if (held.tokens == nullptr) take_turn(share(width, height, new_width, new_height));
        if (!one_at_a_time) settings->threads = held.count;
      }
      if (request.planned) request.planned(i, channels, width, height, new_width, new_height, settings);
    };
    if (turns) {
      job.admitted = [&, i](double need) { turns->admitted(i, need); };
      job.picture_gone = [&, i](pixel_buffer&& pixels) { turns->picture_gone(i, std::move(pixels)); };
    }
    if (request.note)
      job.note = [&, i](const std::string& note) {
        std::lock_guard<std::mutex> hold(report_lock);
        request.note(i, note);
      };
    // Read ahead while the files before it run, decoded too when its
    // threads are taken and the memory allows; else read in its turn.
    prepared_ptr ahead;
    if (turns && !turns->may_be_written(i, r.input)) ahead = prepare_input(job);
    std::int64_t width, height, new_width, new_height;
    double ahead_bytes;
    if (ahead && prepared_ready(*ahead, &width, &height, &new_width, &new_height, &ahead_bytes)) {
      const int wanted = share(width, height, new_width, new_height);
      turns->wait_for_earlier(i);
      const auto kind = tokens->free_now(wanted)
                            ? batch_turns::ahead_kind::refused
                            : turns->reserve_ahead(i, ahead_bytes, decodes_into_buffer(job, *ahead));
      if (kind != batch_turns::ahead_kind::refused) {
        std::function<void(image*)> into;
        if (kind == batch_turns::ahead_kind::in_place) into = [&](image* to) { turns->take_spare(to); };
        decode_ahead(job, ahead.get(), into);
        if (request.read_ahead) {
          std::lock_guard<std::mutex> hold(report_lock);
          request.read_ahead(i);
        }
      }
      take_turn(wanted);
    } else if (!ahead && one_at_a_time) {
      take_turn(1);  // read only once the file before it is done
    } else if (!ahead && turns) {
      turns->pass(i);  // its threads are asked for in the order files ask, as they read
    }
    std::string where, why;
    if (!run_file_request(job, std::move(ahead), &where, &why)) r.error = where + ": " + why;
  };
  const auto work = [&] {
    for (std::size_t i; (i = next++) < count;) {
      try {
        one_file(i);
      } catch (const std::exception& e) {
        results[i].error = request.inputs[i] + ": " + e.what();
      }
      if (one_at_a_time) turns->wait_to_report(i);
      if (request.done) {
        std::lock_guard<std::mutex> hold(report_lock);
        request.done(i, results[i]);
      }
      if (one_at_a_time) turns->reported(i);
    }
  };
  std::vector<std::thread> started;
  for (std::size_t w = 1; w < workers; ++w) {
    try {
      started.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // the files are shared by those that started
    }
  }
  work();
  for (std::thread& t : started) t.join();
  return results;
}

std::vector<file_result> resize_files(const std::vector<std::string>& inputs, const std::string& output,
                                      const file_options& options, const batch_options& batch) {
  batch_request request;
  request.inputs = inputs;
  request.output = output;
  request.options = options;
  request.batch = batch;
  request.format_hint = ", and no format is given";
  return run_batch(request);
}

}  // namespace pellimor
