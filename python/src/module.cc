// SPDX-License-Identifier: MIT
// module.cc - pellimor._pellimor: the library on NumPy arrays.
//
// resize() reads the caller's array where it lies, at its strides, and
// writes straight into the one C-contiguous array it returns. read() hands
// the decoded image's own buffer to NumPy. Every call lets go of the GIL
// for the work; the arrays it touches are held by references taken before.
//
// Arguments are checked here, before any work, and refused with ValueError
// (TypeError where the type of an argument is wrong, as Python does);
// failures of files and codecs raise pellimor.Error, a subclass of OSError;
// memory that cannot be had, or work the library refuses because it would
// need more memory than the process may use, raises MemoryError.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "codec/codec.h"
#include "codec/formats.h"
#include "core/huge_pages.h"
#include "lib/batch.h"
#include "lib/file_io.h"
#include "lib/geometry.h"
#include "lib/resize_file.h"
#include "pellimor/pellimor.h"

using pellimor::detail::geometry;
using pellimor::detail::parse_geometry;
using pellimor::detail::resolve_geometry;

#ifndef PELLIMOR_VERSION
#error "PELLIMOR_VERSION is set by the build from project(VERSION)"
#endif

namespace py = pybind11;

// Arguments taken as any Python object and checked here, so that a bad
// value gets ValueError with its own message; each shows in the signatures
// help() prints under the type it stands for.
#define PELLIMOR_ARGUMENT(type, shown)                                                            \
  struct type {                                                                                   \
    py::object object;                                                                            \
  };                                                                                              \
  template <>                                                                                     \
  struct pybind11::detail::type_caster<type> {                                                    \
    PYBIND11_TYPE_CASTER(type, const_name(shown));                                                \
    bool load(handle source, bool) {                                                              \
      value.object = reinterpret_borrow<object>(source);                                          \
      return true;                                                                                \
    }                                                                                             \
    static handle cast(const type& v, return_value_policy, handle) { return v.object.inc_ref(); } \
  };

PELLIMOR_ARGUMENT(array_like, "numpy.ndarray")
PELLIMOR_ARGUMENT(shape_pair, "tuple[int, ...]")
PELLIMOR_ARGUMENT(path_like, "str | bytes | os.PathLike")
PELLIMOR_ARGUMENT(optional_text, "str | None")
PELLIMOR_ARGUMENT(integer_like, "int")

namespace {

[[noreturn]] void refuse(const std::string& why) { throw py::value_error(why); }

// Memory that cannot be had, with a message that says how much and why:
// raised as MemoryError (a translator registered with the module).
class memory_failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Whether a message of the library is about memory: memory that ran out
// ("out of memory ...", also after a codec's name: "png: out of memory"), or
// work refused because it would take more than this process may use
// ("resizing to 9000 x 9000 needs 1854 MiB, more than ...", "the file is
// 90 MiB, more than the 64 MiB it may take", "more than 64 MiB of input, the
// most it may take"). The message may start with one of `names` (the files
// the call was given), plain or quoted, and ": ".
bool about_memory(const std::string& message, std::initializer_list<std::string> names) {
  std::string rest = message;
  for (const std::string& name : names) {
    for (const std::string& prefix : {name + ": ", "'" + name + "': "}) {
      if (rest.rfind(prefix, 0) == 0) {
        rest.erase(0, prefix.size());
        break;
      }
    }
  }
  const auto starts = [](const std::string& text, const char* start) { return text.rfind(start, 0) == 0; };
  if (starts(rest, "out of memory")) return true;
  const std::size_t colon = rest.find(": ");
  if (colon != std::string::npos && colon > 0 && starts(rest.substr(colon + 2), "out of memory") &&
      rest.find_first_not_of("abcdefghijklmnopqrstuvwxyz") == colon)
    return true;
  return rest.find(" MiB, more than ") != std::string::npos ||
         (starts(rest, "more than ") && rest.find(" of input, the most it may take") != std::string::npos);
}

// Runs `work`, a call into the library that may throw pellimor::error,
// without the GIL; a failure about memory comes out as MemoryError, any
// other as pellimor.Error, with the library's message either way.
template <class Work>
void call_released(Work&& work, std::initializer_list<std::string> names) {
  py::gil_scoped_release unlocked;
  try {
    work();
  } catch (const pellimor::error& e) {
    if (about_memory(e.what(), names)) throw memory_failure(e.what());
    throw;
  }
}

// Runs `work` on a thread of its own while the calling thread, without the
// GIL, looks for signals every 50 ms: a signal whose handler raises (Ctrl-C's
// KeyboardInterrupt) sets `stop`, which the library asks between batches of
// lines, and is raised once the work has stopped. Signal handlers run only
// on Python's main thread: elsewhere the work simply runs to its end.
template <class Work>
void run_interruptibly(Work&& work, std::atomic<bool>* stop) {
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  std::exception_ptr failure;
  std::thread worker([&] {
    try {
      work();
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard<std::mutex> hold(lock);
    done = true;
    finished.notify_one();
  });
  bool interrupted = false;
  for (;;) {
    bool over;
    {
      py::gil_scoped_release unlocked;
      std::unique_lock<std::mutex> hold(lock);
      over = finished.wait_for(hold, std::chrono::milliseconds(50), [&] { return done; });
    }
    if (over) break;
    if (!interrupted && PyErr_CheckSignals() != 0) {
      interrupted = true;  // the exception stays set while the work winds down
      *stop = true;
    }
  }
  worker.join();
  if (interrupted) throw py::error_already_set();
  if (failure) std::rethrow_exception(failure);
}

// The library's proceed hook for a stop flag.
bool keep_going(void* stop) {
  return !static_cast<std::atomic<bool>*>(stop)->load(std::memory_order_relaxed);
}

// A whole-number argument (int or NumPy integer; not bool): TypeError for
// anything else, ValueError outside lowest..highest. `note` follows the range
// in the message.
long long integer_argument(const char* function, const char* name, const py::handle& value, long long lowest,
                           long long highest, const std::string& note = "") {
  const std::string who = std::string("pellimor.") + function + ": " + name;
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr()))
    throw py::type_error(who + " must be an integer, not " + py::repr(value).cast<std::string>());
  const py::int_ number = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
  if (!number) throw py::error_already_set();
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (overflow == 0 && n >= lowest && n <= highest) return n;
  refuse(who + " must be from " + std::to_string(lowest) + " to " + std::to_string(highest) + note +
         ", not " + py::repr(number).cast<std::string>());
}

// max_pixels and max_memory: None (no limit of that kind beyond what this
// process may use) or a count >= 1.
pellimor::file_limits limits_argument(const char* function, const py::object& pixels,
                                      const py::object& memory) {
  constexpr long long most = std::numeric_limits<long long>::max();
  pellimor::file_limits limits;
  if (!pixels.is_none())
    limits.pixels = integer_argument(function, "max_pixels", pixels, 1, most, " or None");
  if (!memory.is_none())
    limits.memory = integer_argument(function, "max_memory", memory, 1, most, " or None");
  return limits;
}

// The sample type of a dtype, or nothing for one the library does not take.
std::optional<pellimor::sample_type> sample_type_of(const py::dtype& dtype) {
  const char kind = dtype.kind();
  const auto size = dtype.itemsize();
  if (kind == 'u' && size == 1) return pellimor::sample_type::u8;
  if (kind == 'u' && size == 2) return pellimor::sample_type::u16;
  if (kind == 'f' && size == 4) return pellimor::sample_type::f32;
  if (kind == 'f' && size == 8) return pellimor::sample_type::f64;
  return std::nullopt;
}

std::string dtype_name(const py::dtype& dtype) { return py::str(dtype.attr("name")).cast<std::string>(); }

// An image argument as an array of a sample type pellimor takes, in native
// byte order (a byte-swapped array is converted to a native copy), with 2 or
// 3 dimensions and no empty side.
struct image_array {
  py::array array;
  pellimor::sample_type type;
  std::int32_t rows, cols;
  int channels;
};

// An array of a sample type pellimor takes, in native byte order (a
// byte-swapped one is converted to a native copy).
std::pair<py::array, pellimor::sample_type> samples_argument(const char* function, const py::object& image) {
  const std::string who = std::string("pellimor.") + function + ": ";
  py::array array = py::array::ensure(image);
  if (!array) {
    PyErr_Clear();
    refuse(who + "the image must be a NumPy array (or something numpy.asarray takes)");
  }
  py::dtype dtype = array.dtype();
  const auto type = sample_type_of(dtype);
  if (!type)
    refuse(who + "dtype " + dtype_name(dtype) + " is not supported; use uint8, uint16, float32 or float64");
  if (!dtype.attr("isnative").cast<bool>()) {
    dtype = py::reinterpret_borrow<py::dtype>(dtype.attr("newbyteorder")("="));
    array = py::reinterpret_steal<py::array>(array.attr("astype")(dtype).release());
  }
  return {std::move(array), *type};
}

image_array image_argument(const char* function, const py::object& image, int max_channels) {
  const std::string who = std::string("pellimor.") + function + ": ";
  auto [array, type] = samples_argument(function, image);
  if (array.ndim() != 2 && array.ndim() != 3)
    refuse(who + "the image must have 2 dimensions (rows, cols) or 3 (rows, cols, channels), not " +
           std::to_string(array.ndim()));
  const py::ssize_t rows = array.shape(0), cols = array.shape(1),
                    channels = array.ndim() == 3 ? array.shape(2) : 1;
  if (rows == 0 || cols == 0 || channels == 0)
    refuse(who + "the image is empty (shape " + py::str(array.attr("shape")).cast<std::string>() + ")");
  constexpr py::ssize_t max_side = std::numeric_limits<std::int32_t>::max();
  if (rows > max_side || cols > max_side) refuse(who + "the image has a side over 2147483647 pixels");
  if (channels > max_channels)
    refuse(who + "the image has " + std::to_string(channels) + " channels; at most " +
           std::to_string(max_channels) + " are allowed here");
  return {std::move(array), type, static_cast<std::int32_t>(rows), static_cast<std::int32_t>(cols),
          static_cast<int>(channels)};
}

// One side of the shape argument: a positive whole number (int or NumPy
// integer; not bool, not float).
std::int32_t side_argument(const py::handle& item, const char* name) {
  if (PyBool_Check(item.ptr()) || !PyIndex_Check(item.ptr()))
    refuse(std::string("pellimor.resize: shape must be two integers (rows, cols); ") + name + " is " +
           py::repr(item).cast<std::string>());
  const py::int_ value = py::reinterpret_steal<py::int_>(PyNumber_Index(item.ptr()));
  if (!value) throw py::error_already_set();
  int overflow = 0;
  const long long side = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (overflow == 0 && side >= 1 && side <= std::numeric_limits<std::int32_t>::max())
    return static_cast<std::int32_t>(side);
  refuse(std::string("pellimor.resize: shape ") + name + " must be from 1 to 2147483647, not " +
         py::repr(value).cast<std::string>());
}

// The most worker threads a call may ask for, as the program's -threads.
constexpr long long max_threads = 1024;

// The options resize and resize_file share.
pellimor::resize_settings settings_argument(const char* function, const std::string& round, double taper,
                                            bool linear, const integer_like& threads_arg,
                                            const std::string& engine) {
  const std::string who = std::string("pellimor.") + function + ": ";
  pellimor::resize_settings s;
  if (round == "trunc")
    s.round = pellimor::rounding::trunc;
  else if (round == "nearest")
    s.round = pellimor::rounding::nearest;
  else
    refuse(who + "round must be \"trunc\" or \"nearest\", not \"" + round + "\"");
  if (engine == "fast")
    s.method = pellimor::engine::fast;
  else if (engine == "direct")
    s.method = pellimor::engine::direct;
  else
    refuse(who + "engine must be \"fast\" or \"direct\", not \"" + engine + "\"");
  if (!std::isfinite(taper) || taper < 0.0)
    refuse(who + "taper must be a finite number >= 0, not " +
           py::repr(py::float_(taper)).cast<std::string>());
  s.threads = static_cast<int>(
      integer_argument(function, "threads", threads_arg.object, 0, max_threads, " (0: one per core)"));
  s.taper = taper;
  s.linear = linear;
  return s;
}

// A path argument (str, bytes or os.PathLike) as the bytes the system takes.
std::string path_argument(const char* function, const py::object& path) {
  const py::bytes encoded = py::module_::import("os").attr("fsencode")(path);
  std::string bytes = encoded;
  if (bytes.find('\0') != std::string::npos)
    refuse(std::string("pellimor.") + function + ": the path holds a null byte");
  if (bytes.empty()) refuse(std::string("pellimor.") + function + ": the path is empty");
  return bytes;
}

void check_quality(const char* function, int quality) {
  if (quality < 1 || quality > 100)
    refuse(std::string("pellimor.") + function + ": quality must be from 1 to 100, not " +
           std::to_string(quality));
}

py::dtype dtype_of(pellimor::sample_type type) {
  switch (type) {
    case pellimor::sample_type::u8:
      return py::dtype::of<std::uint8_t>();
    case pellimor::sample_type::u16:
      return py::dtype::of<std::uint16_t>();
    case pellimor::sample_type::f32:
      return py::dtype::of<float>();
    case pellimor::sample_type::f64:
      return py::dtype::of<double>();
  }
  throw std::logic_error("unknown sample type");
}

// What resize does with samples that are NaN or infinite.
enum class nan_policy { propagate, raise };

nan_policy nan_argument(const std::string& nan) {
  if (nan == "propagate") return nan_policy::propagate;
  if (nan == "raise") return nan_policy::raise;
  refuse("pellimor.resize: nan must be \"propagate\" or \"raise\", not \"" + nan + "\"");
}

// Where an image's samples lie: sample (y, x, c) at base + y * rs + x * ps
// + c * cs (strides in bytes, any sign).
struct sample_layout {
  const std::uint8_t* base;
  py::ssize_t rs, ps, cs;
  std::int32_t rows, cols;
  int channels;
};

sample_layout layout_of(const image_array& in) {
  const py::array& a = in.array;
  return {static_cast<const std::uint8_t*>(a.data()),
          a.strides(0),
          a.strides(1),
          a.ndim() == 3 ? a.strides(2) : 0,
          in.rows,
          in.cols,
          in.channels};
}

// The first sample, in (row, column, channel) order, that is NaN or
// infinite: its position and value. One pass over the samples where they
// lie, at the array's strides.
template <class Sample>
bool find_non_finite(const sample_layout& in, std::int64_t* row, std::int64_t* column, std::int64_t* channel,
                     double* value) {
  for (std::int32_t y = 0; y < in.rows; ++y)
    for (std::int32_t x = 0; x < in.cols; ++x) {
      const std::uint8_t* pixel = in.base + y * in.rs + x * in.ps;
      for (int c = 0; c < in.channels; ++c) {
        Sample v;
        std::memcpy(&v, pixel + c * in.cs, sizeof v);  // the array need not be aligned
        if (!std::isfinite(v)) {
          *row = y;
          *column = x;
          *channel = c;
          *value = v;
          return true;
        }
      }
    }
  return false;
}

// nan="raise": ValueError naming the first sample that is not finite.
void refuse_non_finite(const image_array& in) {
  if (in.type != pellimor::sample_type::f32 && in.type != pellimor::sample_type::f64) return;
  const sample_layout layout = layout_of(in);
  std::int64_t row = 0, column = 0, channel = 0;
  double value = 0;
  bool found;
  {
    py::gil_scoped_release unlocked;
    found = in.type == pellimor::sample_type::f32
                ? find_non_finite<float>(layout, &row, &column, &channel, &value)
                : find_non_finite<double>(layout, &row, &column, &channel, &value);
  }
  if (found)
    refuse("pellimor.resize: nan=\"raise\" and the image holds " +
           std::string(std::isnan(value) ? "nan"
                       : value > 0       ? "inf"
                                         : "-inf") +
           " at (row, column, channel) = (" + std::to_string(row) + ", " + std::to_string(column) + ", " +
           std::to_string(channel) + ")");
}

// The shape argument: one length (>= 1) for each axis resized.
std::vector<std::int64_t> lengths_argument(const py::object& shape) {
  if (!PySequence_Check(shape.ptr()) || py::isinstance<py::str>(shape) || py::isinstance<py::bytes>(shape) ||
      PySequence_Size(shape.ptr()) < 1) {
    PyErr_Clear();
    refuse("pellimor.resize: shape must be a tuple of new lengths, such as a pair (rows, cols), not " +
           py::repr(shape).cast<std::string>());
  }
  const py::sequence items = py::reinterpret_borrow<py::sequence>(shape);
  std::vector<std::int64_t> lengths;
  const char* names[] = {"rows", "cols"};
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string name = items.size() == 2 ? names[i] : "entry " + std::to_string(i);
    lengths.push_back(side_argument(items[i], name.c_str()));
  }
  return lengths;
}

// An axis argument (negative counts from the end) as 0 .. rank-1.
int axis_argument(const char* name, const py::handle& value, int rank) {
  const long long a = integer_argument("resize", name, value, -rank, rank - 1,
                                       " for an array of " + std::to_string(rank) + " dimensions");
  return static_cast<int>(a < 0 ? a + rank : a);
}

// nan="raise" on an array of any rank: ValueError naming the first sample,
// in C order, that is not finite.
template <class Sample>
bool find_non_finite_nd(const py::array& a, std::vector<py::ssize_t>* at, double* value) {
  const int rank = static_cast<int>(a.ndim());
  std::vector<py::ssize_t> index(rank, 0);
  const auto* base = static_cast<const std::uint8_t*>(a.data());
  for (;;) {
    py::ssize_t offset = 0;
    for (int d = 0; d < rank; ++d) offset += index[d] * a.strides(d);
    Sample v;
    std::memcpy(&v, base + offset, sizeof v);
    if (!std::isfinite(v)) {
      *at = index;
      *value = v;
      return true;
    }
    int d = rank - 1;
    for (; d >= 0 && ++index[d] == a.shape(d); --d) index[d] = 0;
    if (d < 0) return false;
  }
}

void refuse_non_finite_nd(const py::array& a, pellimor::sample_type type) {
  if (!pellimor::is_float(type)) return;
  std::vector<py::ssize_t> at;
  double value = 0;
  bool found;
  {
    py::gil_scoped_release unlocked;
    found = type == pellimor::sample_type::f32 ? find_non_finite_nd<float>(a, &at, &value)
                                               : find_non_finite_nd<double>(a, &at, &value);
  }
  if (!found) return;
  std::string where = "(";
  for (std::size_t i = 0; i < at.size(); ++i)
    where += std::to_string(at[i]) + (i + 1 < at.size() ? ", " : at.size() == 1 ? ",)" : ")");
  refuse("pellimor.resize: nan=\"raise\" and the image holds " +
         std::string(std::isnan(value) ? "nan"
                     : value > 0       ? "inf"
                                       : "-inf") +
         " at index " + where);
}

// Large results Python has let go of, kept for the next result of the same
// size. The kernel clears each page of a fresh buffer as it is first
// touched; on the virtual machines we measure on, that was a quarter of the
// time of a volume's resize. A kept buffer is handed back with MADV_FREE:
// its pages stay mapped and are written again as they are, unless memory
// runs short first, when the kernel takes them without writing them
// anywhere (and a later write gets a cleared page). Every sample of a new
// result is written by the resize, so nothing a buffer held before shows.
// At most two are kept, the one kept first let go first; release_caches()
// and set_cache_limit(0) let go of them all.
class result_pool {
 public:
  // A kept buffer of exactly `bytes`, or nullptr.
  void* take(std::size_t bytes) {
    std::lock_guard<std::mutex> hold(lock_);
    for (slot& s : slots_)
      if (s.data != nullptr && s.bytes == bytes) return std::exchange(s.data, nullptr);
    return nullptr;
  }

  void keep(void* data, std::size_t bytes) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!on_) return std::free(data);
    madvise(data, bytes, MADV_FREE);  // only a hint: without it the buffer works the same
    slot* to = &slots_[0];
    for (slot& s : slots_)
      if (s.data == nullptr || (to->data != nullptr && s.kept < to->kept)) to = &s;
    std::free(to->data);
    *to = {data, bytes, ++clock_};
  }

  // Lets go of every kept buffer; with on = false keeps none from now on.
  void clear(bool on = true) {
    std::lock_guard<std::mutex> hold(lock_);
    on_ = on;
    for (slot& s : slots_) std::free(std::exchange(s.data, nullptr));
  }

 private:
  struct slot {
    void* data = nullptr;
    std::size_t bytes = 0;
    std::uint64_t kept = 0;
  };
  std::mutex lock_;
  slot slots_[2];
  std::uint64_t clock_ = 0;
  bool on_ = true;
};

// Never destroyed: results may be let go of during the interpreter's exit.
result_pool& results() {
  static result_pool* pool = new result_pool;
  return *pool;
}

// A new C-contiguous result. A large one lies on memory of its own, 2 MiB
// aligned and asking for huge pages: first touched by the engine, it takes
// one fault every 2 MiB instead of every 4 KiB, and every cache line the
// engine streams past the cache is a whole one (NumPy's own buffers start
// 16 bytes into a page, so that a batch of eight doubles straddles two).
// `reused` tells whether its memory is a kept one's.
py::array new_result(const py::dtype& dtype, const std::vector<py::ssize_t>& shape, bool* reused) {
  constexpr std::size_t huge_page = std::size_t{2} << 20;
  *reused = false;
  std::size_t bytes = static_cast<std::size_t>(dtype.itemsize());
  for (const py::ssize_t e : shape) bytes *= static_cast<std::size_t>(e);
  if (bytes < 2 * huge_page) return py::array(dtype, shape);
  struct block {
    void* data;
    std::size_t bytes;
  };
  const std::size_t rounded = (bytes + huge_page - 1) / huge_page * huge_page;
  void* data = results().take(rounded);
  *reused = data != nullptr;
  if (data == nullptr) {
    data = std::aligned_alloc(huge_page, rounded);
    if (data == nullptr) {
      results().clear();  // what the pool holds may be what is missing
      data = std::aligned_alloc(huge_page, rounded);
    }
    if (data == nullptr) throw std::bad_alloc();
    pellimor::advise_huge_pages(data, rounded);
  }
  py::capsule owner;
  try {
    owner = py::capsule(new block{data, rounded}, [](void* p) {
      const std::unique_ptr<block> b(static_cast<block*>(p));
      results().keep(b->data, b->bytes);
    });
  } catch (...) {
    std::free(data);
    throw;
  }
  return py::array(dtype, shape, {}, data, owner);
}

py::array resize_array(const array_like& image_arg, const shape_pair& shape_arg, const py::object& axes_arg,
                       const py::object& channel_arg, const std::string& round, double taper, bool linear,
                       const integer_like& threads, const std::string& engine, const py::object& alpha_arg,
                       const std::string& nan, const py::object& out_arg) {
  const py::object& image = image_arg.object;
  auto [array, type] = samples_argument("resize", image);
  const int rank = static_cast<int>(array.ndim());
  if (rank < 1 || rank > 32)
    refuse("pellimor.resize: the image must have 1 to 32 dimensions, not " + std::to_string(rank));
  for (int d = 0; d < rank; ++d)
    if (array.shape(d) == 0)
      refuse("pellimor.resize: the image is empty (shape " +
             py::str(array.attr("shape")).cast<std::string>() + ")");
  const std::vector<std::int64_t> lengths = lengths_argument(shape_arg.object);
  const int count = static_cast<int>(lengths.size());

  int channel = -1;
  if (!channel_arg.is_none()) channel = axis_argument("channel_axis", channel_arg, rank);
  std::vector<int> axes;
  if (!axes_arg.is_none()) {
    if (PyIndex_Check(axes_arg.ptr())) {
      axes.push_back(axis_argument("axes", axes_arg, rank));
    } else {
      if (!PySequence_Check(axes_arg.ptr()) || py::isinstance<py::str>(axes_arg))
        throw py::type_error("pellimor.resize: axes must be an integer, a tuple of integers or None, not " +
                             py::repr(axes_arg).cast<std::string>());
      for (const py::handle a : py::reinterpret_borrow<py::sequence>(axes_arg))
        axes.push_back(axis_argument("axes", a, rank));
    }
    for (std::size_t i = 0; i < axes.size(); ++i)
      for (std::size_t j = 0; j < i; ++j)
        if (axes[i] == axes[j])
          refuse("pellimor.resize: axes names axis " + std::to_string(axes[i]) + " twice");
    if (static_cast<int>(axes.size()) != count)
      refuse("pellimor.resize: shape has " + std::to_string(count) + " lengths for " +
             std::to_string(axes.size()) + " axes");
    for (const int a : axes)
      if (a == channel) refuse("pellimor.resize: the channel axis cannot be resized");
    // One axis left over holds the channels, as in an image.
    if (channel == -1 && rank == count + 1)
      for (int a = 0; a < rank; ++a)
        if (std::find(axes.begin(), axes.end(), a) == axes.end()) channel = a;
  } else {
    // An image (rows, cols[, channels]) is resized along its rows and
    // columns; otherwise every axis but the channel axis.
    if (channel == -1 && count == rank - 1) channel = rank - 1;
    if (count != rank - (channel == -1 ? 0 : 1)) {
      if (rank == 2 || rank == 3)
        refuse("pellimor.resize: shape must be a pair (rows, cols) for an image of shape " +
               py::str(array.attr("shape")).cast<std::string>() +
               (rank == 3 ? " (or 3 lengths for a volume)" : "") + "; pass axes= to choose others");
      refuse("pellimor.resize: shape has " + std::to_string(count) + " lengths for an array of " +
             std::to_string(rank) + " dimensions" + (channel == -1 ? "" : " with a channel axis") +
             "; pass axes= to choose the axes");
    }
    for (int a = 0; a < rank; ++a)
      if (a != channel) axes.push_back(a);
  }
  const int channels = channel == -1 ? 1 : static_cast<int>(array.shape(channel));

  pellimor::resize_settings settings = settings_argument("resize", round, taper, linear, threads, engine);
  // alpha=None: the array says, when read() made it from a file with alpha
  // (and still has the grey + alpha or RGBA channels).
  bool alpha;
  if (alpha_arg.is_none())
    alpha = count == 2 && channel != -1 && (channels == 2 || channels == 4) &&
            py::isinstance<py::array>(image) && py::hasattr(image, "alpha") && py::bool_(image.attr("alpha"));
  else if (py::isinstance<py::bool_>(alpha_arg))
    alpha = alpha_arg.cast<bool>();
  else
    throw py::type_error("pellimor.resize: alpha must be True, False or None, not " +
                         py::repr(alpha_arg).cast<std::string>());
  if (alpha && channel == -1) refuse("pellimor.resize: alpha=True needs a channel axis (channel_axis=)");
  if (alpha && channels < 2)
    refuse("pellimor.resize: alpha=True needs a colour channel beside the alpha channel; the image has " +
           std::to_string(channels));
  settings.alpha = alpha;

  // A stride of 0 (one sample broadcast along an axis) would read as "the
  // sample size" for channels: such an array is resized from a packed copy.
  for (int d = 0; d < rank; ++d)
    if (array.shape(d) > 1 && array.strides(d) == 0) {
      array = py::reinterpret_steal<py::array>(
          py::module_::import("numpy").attr("ascontiguousarray")(array).release());
      break;
    }
  const bool image_layout = (rank == 2 || rank == 3) && axes == std::vector<int>{0, 1} && channel == rank - 1;
  if (nan_argument(nan) == nan_policy::raise) {
    if (image_layout || (rank == 2 && axes == std::vector<int>{0, 1}))
      refuse_non_finite(image_argument("resize", array, std::numeric_limits<int>::max()));
    else
      refuse_non_finite_nd(array, type);
  }

  std::vector<py::ssize_t> out_shape(array.shape(), array.shape() + rank);
  std::vector<std::int64_t> extents(out_shape.begin(), out_shape.end()), new_extents = extents;
  for (int i = 0; i < count; ++i) out_shape[axes[i]] = new_extents[axes[i]] = lengths[i];
  // out=: the caller's array takes the result, so a loop over frames
  // allocates (and the kernel zeroes) nothing new on each call.
  const bool given = !out_arg.is_none();
  if (given) {
    if (!py::isinstance<py::array>(out_arg))
      throw py::type_error("pellimor.resize: out must be a numpy.ndarray or None, not " +
                           py::repr(out_arg.get_type()).cast<std::string>());
    const py::array target = py::reinterpret_borrow<py::array>(out_arg);
    std::string shape_text = "(";
    for (std::size_t i = 0; i < out_shape.size(); ++i)
      shape_text += std::to_string(out_shape[i]) + (i + 1 < out_shape.size() ? ", "
                                                    : out_shape.size() == 1  ? ",)"
                                                                             : ")");
    if (!target.dtype().is(array.dtype()) ||
        std::vector<py::ssize_t>(target.shape(), target.shape() + target.ndim()) != out_shape)
      refuse("pellimor.resize: out must have shape " + shape_text + " and dtype " +
             dtype_name(array.dtype()) + ", not " + py::str(target.attr("shape")).cast<std::string>() + " " +
             dtype_name(target.dtype()));
    if (!target.writeable()) refuse("pellimor.resize: out is read-only");
    for (int d = 0; d < rank; ++d)
      if (target.shape(d) > 1 && target.strides(d) == 0)
        refuse(d == channel
                   ? "pellimor.resize: out repeats one sample over its channels (a channel stride of 0)"
                   : "pellimor.resize: out repeats one sample along an axis (a stride of 0)");
    if (py::module_::import("numpy").attr("may_share_memory")(target, array).cast<bool>())
      refuse("pellimor.resize: out may share memory with the image");
  }

  // Into a caller's array, the result's memory is not ours to count, and
  // every channel's coefficients are held so that each pixel of it is
  // written once (a loop over frames reuses them).
  settings.hold_channels = given;

  // Work that would need more memory than this process may use is refused
  // here, before the result is allocated, as the program refuses it.
  double result_bytes = static_cast<double>(pellimor::sample_bytes(type));
  for (const std::int64_t e : new_extents) result_bytes *= static_cast<double>(e);
  const std::int64_t rows = new_extents[axes[0]], cols = count > 1 ? new_extents[axes[1]] : 1;
  const double working =
      static_cast<double>(pellimor::resize_working_bytes(extents, new_extents, axes, settings));
  const double need = (given ? 0.0 : result_bytes) + working;
  const std::string refusal = pellimor::memory_refusal(need, cols, rows);
  if (!refusal.empty()) throw memory_failure("pellimor.resize: " + refusal);

  bool reused = false;
  py::array out =
      given ? py::reinterpret_borrow<py::array>(out_arg) : new_result(array.dtype(), out_shape, &reused);
  // A result on a kept buffer costs no new memory either: the channels are
  // held too where the other channels' coefficients take no more than the
  // result would have.
  if (reused) {
    pellimor::resize_settings held = settings;
    held.hold_channels = true;
    const double more =
        static_cast<double>(pellimor::resize_working_bytes(extents, new_extents, axes, held)) - working;
    settings.hold_channels = more <= result_bytes;
  }

  pellimor::nd_view source;
  source.data = array.data();
  source.type = type;
  source.extents = extents;
  source.strides.assign(array.strides(), array.strides() + rank);
  source.channel_axis = channel;
  pellimor::nd_span destination;
  destination.data = out.mutable_data();
  destination.type = type;
  destination.extents = new_extents;
  destination.strides.assign(out.strides(), out.strides() + rank);

  std::atomic<bool> stop{false};
  settings.proceed = keep_going;
  settings.context = &stop;
  try {
    // Small work is done here and now: a thread of its own would cost more
    // than it could save of a Ctrl-C's wait.
    if (result_bytes + need < 4e6 && settings.method == pellimor::engine::fast) {
      py::gil_scoped_release unlocked;
      pellimor::resize(source, destination, axes, settings);
    } else {
      run_interruptibly([&] { pellimor::resize(source, destination, axes, settings); }, &stop);
    }
  } catch (const pellimor::stopped&) {
    throw;
  } catch (const pellimor::error& e) {
    const std::string why = e.what();
    if (why.rfind("out of memory", 0) == 0)
      throw memory_failure("pellimor.resize: " + pellimor::out_of_memory(why));
    throw;
  }
  return out;
}

// An image's buffer given to NumPy: (rows, cols) for grey, (rows, cols,
// channels) otherwise.
py::array array_of(pellimor::image&& img) {
  auto owned = std::make_unique<pellimor::image>(std::move(img));
  pellimor::image* held = owned.get();
  py::capsule owner(held, [](void* p) { delete static_cast<pellimor::image*>(p); });
  owned.release();
  const auto sample = static_cast<py::ssize_t>(pellimor::sample_bytes(held->type));
  std::vector<py::ssize_t> shape{held->height, held->width},
      strides{static_cast<py::ssize_t>(held->row_bytes()), sample * held->channels};
  if (held->channels != 1) {
    shape.push_back(held->channels);
    strides.push_back(sample);
  }
  return py::array(dtype_of(held->type), shape, strides, held->pixels.data(), owner);
}

// A text as Python sees it: UTF-8, or Latin-1 where the file says so.
py::str text_of(const pellimor::metadata::text& text) {
  if (text.utf8) return py::reinterpret_steal<py::str>(PyUnicode_DecodeUTF8(text.value.data(), static_cast<py::ssize_t>(text.value.size()), "replace"));
  return py::reinterpret_steal<py::str>(
      PyUnicode_DecodeLatin1(text.value.data(), static_cast<py::ssize_t>(text.value.size()), nullptr));
}

// The file's metadata as a dict: only what it holds is there.
py::dict dict_of(const pellimor::image& img) {
  const pellimor::metadata& m = img.meta;
  py::dict d;
  const auto as_bytes = [](const auto& v) {
    return py::bytes(reinterpret_cast<const char*>(v.data()), v.size());
  };
  if (!img.icc.empty()) d["icc"] = as_bytes(img.icc);
  if (!m.exif.empty()) d["exif"] = as_bytes(m.exif);
  if (!m.xmp.empty())
    d["xmp"] = py::reinterpret_steal<py::str>(
        PyUnicode_DecodeUTF8(m.xmp.data(), static_cast<py::ssize_t>(m.xmp.size()), "replace"));
  if (!m.xmp_extended.empty())
    d["xmp_extended"] = py::reinterpret_steal<py::str>(PyUnicode_DecodeUTF8(
        m.xmp_extended.data(), static_cast<py::ssize_t>(m.xmp_extended.size()), "replace"));
  if (!m.texts.empty()) {
    py::list texts;
    for (const pellimor::metadata::text& t : m.texts) texts.append(py::make_tuple(t.key, text_of(t)));
    d["text"] = texts;
  }
  double x = 0, y = 0;
  if (pellimor::codecs::density_in(m, 1, &x, &y)) d["dpi"] = py::make_tuple(x, y);
  if (m.gamma != 0) d["gamma"] = m.gamma / 100000.0;
  if (m.chroma[0] != 0) {
    py::list c;
    for (const std::uint32_t v : m.chroma) c.append(v / 100000.0);
    d["chromaticities"] = py::tuple(c);
  }
  if (m.srgb_intent >= 0) d["srgb"] = m.srgb_intent;
  return d;
}

// A metadata= argument into *img. ValueError for a key or value it cannot
// take.
void metadata_argument(const char* function, const py::object& arg, pellimor::image* img) {
  const std::string who = std::string("pellimor.") + function + ": ";
  if (arg.is_none()) return;
  if (!py::isinstance<py::dict>(arg)) refuse(who + "metadata must be a dict (as read(..., metadata=True) gives)");
  pellimor::metadata& m = img->meta;
  for (const auto& [key_handle, value] : py::reinterpret_borrow<py::dict>(arg)) {
    const std::string key = py::str(key_handle).cast<std::string>();
    try {
      if (key == "icc") {
        const std::string b = value.cast<py::bytes>();
        img->icc.assign(b.begin(), b.end());
      } else if (key == "exif") {
        const std::string b = value.cast<py::bytes>();
        m.exif.assign(b.begin(), b.end());
      } else if (key == "xmp") {
        m.xmp = value.cast<std::string>();
      } else if (key == "xmp_extended") {
        m.xmp_extended = value.cast<std::string>();
      } else if (key == "text") {
        for (const py::handle item : value) {
          if (!py::isinstance<py::tuple>(item) && !py::isinstance<py::list>(item)) throw py::cast_error();
          const py::sequence pair = py::reinterpret_borrow<py::sequence>(item);
          if (pair.size() != 2 || !py::isinstance<py::str>(pair[0]) || !py::isinstance<py::str>(pair[1]))
            throw py::cast_error();
          pellimor::metadata::text t;
          t.key = pair[0].cast<std::string>();
          const py::object text = pair[1];
          PyObject* latin = PyUnicode_AsLatin1String(text.ptr());
          if (latin != nullptr) {
            t.value = py::reinterpret_steal<py::bytes>(latin).cast<std::string>();
          } else {
            PyErr_Clear();
            t.value = text.cast<std::string>();
            t.utf8 = true;
          }
          m.texts.push_back(std::move(t));
        }
      } else if (key == "dpi") {
        const py::sequence dpi = value.cast<py::sequence>();
        const double x = dpi.size() == 2 ? dpi[0].cast<double>() : 0, y = dpi.size() == 2 ? dpi[1].cast<double>() : 0;
        if (!(x > 0) || !(y > 0) || !std::isfinite(x) || !std::isfinite(y))
          refuse(who + "dpi must be two positive numbers");
        m.density_unit = 1;
        m.x_density = x;
        m.y_density = y;
      } else if (key == "gamma") {
        m.gamma = static_cast<std::uint32_t>(std::lround(value.cast<double>() * 100000));
      } else if (key == "chromaticities") {
        const py::sequence c = value.cast<py::sequence>();
        if (c.size() != 8) refuse(who + "chromaticities must be 8 numbers");
        for (int i = 0; i < 8; ++i) m.chroma[i] = static_cast<std::uint32_t>(std::lround(c[i].cast<double>() * 100000));
      } else if (key == "srgb") {
        m.srgb_intent = std::clamp(value.cast<int>(), 0, 3);
      } else {
        refuse(who + "metadata has no key '" + key +
               "' (icc, exif, xmp, xmp_extended, text, dpi, gamma, chromaticities, srgb)");
      }
    } catch (const py::cast_error&) {
      refuse(who + "metadata['" + key + "'] has the wrong type: " + py::repr(value).cast<std::string>());
    }
  }
}

// A strip= argument: False or None keeps all, True (or "meta") all but the
// ICC profile, "all" everything.
pellimor::strip_mode strip_argument(const char* function, const py::object& strip) {
  if (strip.is_none() || (py::isinstance<py::bool_>(strip) && !strip.cast<bool>()))
    return pellimor::strip_mode::none;
  if (py::isinstance<py::bool_>(strip)) return pellimor::strip_mode::metadata;
  if (py::isinstance<py::str>(strip)) {
    const std::string s = strip.cast<std::string>();
    if (s == "meta") return pellimor::strip_mode::metadata;
    if (s == "all") return pellimor::strip_mode::all;
  }
  refuse(std::string("pellimor.") + function + ": strip must be False, True (or \"meta\") or \"all\", not " +
         py::repr(strip).cast<std::string>());
}

py::object read_array(const path_like& path_arg, const py::object& max_pixels, const py::object& max_memory,
                      const py::object& page_arg, bool metadata, bool cmyk) {
  const py::object& path = path_arg.object;
  const std::string name = path_argument("read", path);
  const pellimor::file_limits limits = limits_argument("read", max_pixels, max_memory);
  const int page = static_cast<int>(integer_argument("read", "page", page_arg, 1, INT32_MAX));
  pellimor::image img;
  call_released(
      [&] {
        img = pellimor::read_image(name, limits, page);
        // Unless asked for ink (the package's Image then says it is), CMYK
        // comes as sRGB.
        std::string note, err;
        if (!cmyk && !pellimor::cmyk_to_srgb(&img, &note, &err)) throw pellimor::error(name + ": " + err);
      },
      {name});
  // cmyk=True: (array, dict, whether it is ink) for the package to wrap.
  if (cmyk) {
    const bool ink = img.cmyk;
    py::dict d = dict_of(img);
    return py::make_tuple(array_of(std::move(img)), d, ink);
  }
  if (!metadata) return array_of(std::move(img));
  py::dict d = dict_of(img);
  return py::make_tuple(array_of(std::move(img)), d);
}

// A cmyk=True argument: 4 channels of ink. ValueError for other shapes.
void ink_argument(const char* function, bool cmyk, pellimor::image* img) {
  if (!cmyk) return;
  if (img->channels != 4)
    refuse(std::string("pellimor.") + function + ": cmyk=True takes 4 channels (cyan, magenta, yellow, black), not " +
           std::to_string(img->channels));
  img->cmyk = true;
}

void write_array(const path_like& path_arg, const array_like& array_arg, int quality, const py::object& metadata,
                 bool lossless, bool cmyk) {
  const py::object &path = path_arg.object, &array = array_arg.object;
  const std::string name = path_argument("write", path);
  pellimor::image_format format;
  if (!pellimor::format_from_name(name, &format))
    refuse("pellimor.write: the file name must end in .bmp, .png, .jpg, .jpeg, .tif, .tiff or .webp: " +
           py::str(path).cast<std::string>());
  check_quality("write", quality);
  const image_array in = image_argument("write", array, 4);
  pellimor::image img;
  img.width = in.cols;
  img.height = in.rows;
  img.channels = in.channels;
  img.type = in.type;
  ink_argument("write", cmyk, &img);
  metadata_argument("write", metadata, &img);
  const py::array& a = in.array;
  const auto* base = static_cast<const std::uint8_t*>(a.data());
  const py::ssize_t rs = a.strides(0), ps = a.strides(1), cs = a.ndim() == 3 ? a.strides(2) : 0;
  call_released(
      [&] {
        if (!img.allocate())
          throw memory_failure("pellimor.write: out of memory for a copy of the " +
                               pellimor::size_text(in.cols, in.rows) + " image");
        // The image owns its samples, top row first, interleaved: one copy.
        const std::size_t sample = pellimor::sample_bytes(in.type);
        const std::size_t row_bytes = img.row_bytes();
        const bool packed_rows = ps == static_cast<py::ssize_t>(sample * in.channels) &&
                                 (in.channels == 1 || cs == static_cast<py::ssize_t>(sample));
        for (std::int32_t y = 0; y < in.rows; ++y) {
          const std::uint8_t* from = base + y * rs;
          std::uint8_t* to = img.row(y);
          if (packed_rows) {
            std::memcpy(to, from, row_bytes);
            continue;
          }
          for (std::int32_t x = 0; x < in.cols; ++x)
            for (int c = 0; c < in.channels; ++c, to += sample)
              std::memcpy(to, from + x * ps + c * cs, sample);
        }
        pellimor::write_image(name, img, quality, lossless);
      },
      {name});
}

// A size= argument: None (the picture's own size, "") or a geometry.
std::string size_argument(const char* function, const py::object& size) {
  const std::string who = std::string("pellimor.") + function + ": ";
  if (size.is_none()) return "";
  if (!py::isinstance<py::str>(size))
    refuse(who + "size must be a geometry string such as \"50%\" or \"800x600\", or None; not " +
           py::repr(size).cast<std::string>());
  const std::string text = size.cast<std::string>();
  geometry parsed;
  std::string why;
  if (!parse_geometry(text.c_str(), &parsed, &why)) refuse(who + "bad size \"" + text + "\": " + why);
  return text;
}

void resize_file_to_file(const path_like& src_arg, const path_like& dst_arg, const optional_text& size_arg,
                         const optional_text& format_arg, int quality, const std::string& round, double taper,
                         bool linear, const integer_like& threads, const std::string& engine,
                         const py::object& strip, const py::object& max_pixels, const py::object& max_memory,
                         const py::object& page, bool lossless) {
  const py::object &src = src_arg.object, &dst = dst_arg.object;
  const py::object &size = size_arg.object, &format = format_arg.object;
  pellimor::file_options options;
  const std::string input = path_argument("resize_file", src), output = path_argument("resize_file", dst);
  options.size = size_argument("resize_file", size);
  pellimor::image_format chosen;
  if (!format.is_none()) {
    if (!py::isinstance<py::str>(format) ||
        !pellimor::parse_format(format.cast<std::string>().c_str(), &chosen) || !pellimor::format_writable(chosen))
      refuse("pellimor.resize_file: format must be \"bmp\", \"png\", \"jpeg\", \"tiff\" or \"webp\" (or None), not " +
             py::repr(format).cast<std::string>());
    options.format = chosen;
  } else if (!pellimor::format_from_name(output, &chosen)) {
    refuse(
        "pellimor.resize_file: the output name does not end in .bmp, .png, .jpg, .jpeg, .tif, .tiff or .webp; "
        "give format=");
  }
  check_quality("resize_file", quality);
  options.quality = quality;
  options.settings = settings_argument("resize_file", round, taper, linear, threads, engine);
  options.limits = limits_argument("resize_file", max_pixels, max_memory);
  options.page = static_cast<int>(integer_argument("resize_file", "page", page, 1, INT32_MAX));
  options.lossless = lossless;
  options.strip = strip_argument("resize_file", strip);
  call_released([&] { pellimor::resize_file(input, output, options); }, {input, output});
}

// Each input resized into `output` (a folder, a pattern with %s or, for one
// input, a file), several at once: (input, output, error or None) for each.
py::list resize_files_to_files(const py::object& inputs_arg, const path_like& output_arg,
                               const optional_text& size_arg, const optional_text& format_arg, int quality,
                               const std::string& round, double taper, bool linear,
                               const integer_like& threads, const integer_like& jobs, bool no_clobber,
                               const py::object& strip, const py::object& max_pixels,
                               const py::object& max_memory) {
  const char* const who = "resize_files";
  if (py::isinstance<py::str>(inputs_arg) || py::isinstance<py::bytes>(inputs_arg) ||
      !py::isinstance<py::iterable>(inputs_arg))
    throw py::type_error("pellimor.resize_files: inputs must be a list of paths, not " +
                         py::repr(inputs_arg).cast<std::string>());
  std::vector<std::string> inputs;
  for (const py::handle item : inputs_arg)
    inputs.push_back(path_argument(who, py::reinterpret_borrow<py::object>(item)));
  const std::string output = path_argument(who, output_arg.object);
  pellimor::file_options options;
  const py::object &size = size_arg.object, &format = format_arg.object;
  options.size = size_argument("resize_files", size);
  if (!format.is_none()) {
    pellimor::image_format chosen;
    if (!py::isinstance<py::str>(format) ||
        !pellimor::parse_format(format.cast<std::string>().c_str(), &chosen) || !pellimor::format_writable(chosen))
      refuse("pellimor.resize_files: format must be \"bmp\", \"png\", \"jpeg\", \"tiff\" or \"webp\" (or None), not " +
             py::repr(format).cast<std::string>());
    options.format = chosen;
  }
  check_quality(who, quality);
  options.quality = quality;
  options.settings = settings_argument(who, round, taper, linear, threads, "fast");
  options.limits = limits_argument(who, max_pixels, max_memory);
  options.strip = strip_argument(who, strip);
  pellimor::batch_options batch;
  batch.jobs = static_cast<int>(integer_argument(who, "jobs", jobs.object, 0, max_threads, " (0: chosen)"));
  batch.no_clobber = no_clobber;
  std::vector<pellimor::planned_output> plan;
  std::string why;
  if (!pellimor::plan_outputs(inputs, output, options.format, "; give format=", &plan, &why))
    refuse("pellimor.resize_files: " + why);
  std::vector<pellimor::file_result> results;
  {
    py::gil_scoped_release unlocked;
    results = pellimor::resize_files(inputs, output, options, batch);
  }
  const py::object fsdecode = py::module_::import("os").attr("fsdecode");
  py::list answer;
  for (const pellimor::file_result& r : results)
    answer.append(py::make_tuple(fsdecode(py::bytes(r.input)), fsdecode(py::bytes(r.output)),
                                 r.error.empty() ? py::object(py::none()) : py::object(py::str(r.error))));
  return answer;
}

std::pair<std::int64_t, std::int64_t> parse_size(const std::string& size, const integer_like& width_arg,
                                                 const integer_like& height_arg) {
  constexpr long long largest = std::numeric_limits<std::int32_t>::max();
  const long long width = integer_argument("parse_size", "width", width_arg.object, 1, largest);
  const long long height = integer_argument("parse_size", "height", height_arg.object, 1, largest);
  geometry parsed;
  std::string why;
  if (!parse_geometry(size.c_str(), &parsed, &why))
    refuse("pellimor.parse_size: bad size \"" + size + "\": " + why);
  std::int64_t new_width = 0, new_height = 0;
  if (!resolve_geometry(parsed, width, height, &new_width, &new_height, &why))
    refuse("pellimor.parse_size: size \"" + size + "\" for " + pellimor::size_text(width, height) + ": " +
           why);
  return {new_width, new_height};
}

// --- Files in memory: read_info, decode, encode -----------------------------

// read_info's answer: collections.namedtuple ImageInfo, made once by the
// module's init and kept as its attribute.
py::object image_info_of(const pellimor::file_info& info) {
  const py::object type = py::module_::import("pellimor._pellimor").attr("ImageInfo");
  return type(info.width, info.height, info.channels, dtype_of(info.type), pellimor::format_name(info.format),
              info.orientation);
}

py::object read_info_of(const path_like& path_arg, const py::object& max_pixels, const py::object& max_memory) {
  const std::string name = path_argument("read_info", path_arg.object);
  const pellimor::file_limits limits = limits_argument("read_info", max_pixels, max_memory);
  pellimor::file_info info;
  call_released([&] { info = pellimor::read_info(name, limits); }, {name});
  return image_info_of(info);
}

// A bytes-like object's bytes, held (and its owner kept from resizing
// them) for as long as this lives.
class held_bytes {
 public:
  held_bytes(const char* function, const py::object& data) {
    if (PyObject_GetBuffer(data.ptr(), &view_, PyBUF_SIMPLE) != 0) {
      PyErr_Clear();
      throw py::type_error(std::string("pellimor.") + function +
                           ": data must be bytes-like (bytes, bytearray, memoryview, a contiguous array), not " +
                           py::str(py::type::of(data).attr("__name__")).cast<std::string>());
    }
  }
  ~held_bytes() { PyBuffer_Release(&view_); }
  held_bytes(const held_bytes&) = delete;
  held_bytes& operator=(const held_bytes&) = delete;
  const void* data() const { return view_.buf; }
  std::size_t size() const { return static_cast<std::size_t>(view_.len); }

 private:
  Py_buffer view_{};
};

py::object decode_bytes(const py::object& data, const py::object& max_pixels, const py::object& max_memory,
                        bool cmyk) {
  const pellimor::file_limits limits = limits_argument("decode", max_pixels, max_memory);
  const held_bytes bytes("decode", data);
  pellimor::image img;
  call_released(
      [&] {
        try {
          img = pellimor::decode(bytes.data(), bytes.size(), limits);
        } catch (const pellimor::error& e) {
          throw pellimor::error(std::string("pellimor.decode: ") + e.what());
        }
        // As read() does.
        std::string note, err;
        if (!cmyk && !pellimor::cmyk_to_srgb(&img, &note, &err))
          throw pellimor::error("pellimor.decode: " + err);
      },
      {"pellimor.decode"});
  if (!cmyk) return array_of(std::move(img));
  const bool ink = img.cmyk;
  py::object icc = py::none();
  if (ink && !img.icc.empty()) icc = py::bytes(reinterpret_cast<const char*>(img.icc.data()), img.icc.size());
  return py::make_tuple(array_of(std::move(img)), icc, ink);
}

// An image array's samples copied into an image of its own, top row first,
// interleaved. Called without the GIL; the array is held by the caller.
pellimor::image image_copy(const char* function, const image_array& in) {
  pellimor::image img;
  img.width = in.cols;
  img.height = in.rows;
  img.channels = in.channels;
  img.type = in.type;
  if (!img.allocate())
    throw memory_failure(std::string("pellimor.") + function + ": out of memory for a copy of the " +
                         pellimor::size_text(in.cols, in.rows) + " image");
  const py::array& a = in.array;
  const auto* base = static_cast<const std::uint8_t*>(a.data());
  const py::ssize_t rs = a.strides(0), ps = a.strides(1), cs = a.ndim() == 3 ? a.strides(2) : 0;
  const std::size_t sample = pellimor::sample_bytes(in.type);
  for (std::int32_t y = 0; y < in.rows; ++y) {
    std::uint8_t* to = img.row(y);
    for (std::int32_t x = 0; x < in.cols; ++x)
      for (int c = 0; c < in.channels; ++c, to += sample) std::memcpy(to, base + y * rs + x * ps + c * cs, sample);
  }
  return img;
}

py::bytes encode_array(const array_like& array_arg, const std::string& name, int quality, const py::object& metadata,
                       bool cmyk) {
  pellimor::image_format chosen;
  if (!pellimor::parse_format(name.c_str(), &chosen)) refuse("pellimor.encode: unknown format '" + name + "'");
  check_quality("encode", quality);
  const image_array in = image_argument("encode", array_arg.object, 4);
  pellimor::image meta_holder;
  meta_holder.channels = in.channels;
  ink_argument("encode", cmyk, &meta_holder);
  metadata_argument("encode", metadata, &meta_holder);
  std::vector<std::uint8_t> encoded;
  call_released(
      [&] {
        pellimor::image img = image_copy("encode", in);
        img.cmyk = meta_holder.cmyk;
        img.icc = std::move(meta_holder.icc);
        img.meta = std::move(meta_holder.meta);
        try {
          encoded = pellimor::encode(img, chosen, quality);
        } catch (const pellimor::error& e) {
          throw pellimor::error(std::string("pellimor.encode: ") + e.what());
        }
      },
      {"pellimor.encode"});
  return py::bytes(reinterpret_cast<const char*>(encoded.data()), encoded.size());
}

}  // namespace

// The engine's cache of plans and working arrays (pellimor.h).
py::int_ set_cache_limit_to(const py::object& bytes) {
  const long long n =
      integer_argument("set_cache_limit", "nbytes", bytes, 0, std::numeric_limits<long long>::max());
  results().clear(n != 0);
  return py::int_(pellimor::set_cache_limit(static_cast<std::uint64_t>(n)));
}

PYBIND11_MODULE(_pellimor, m) {
  m.doc() = "The compiled part of pellimor; use the pellimor package.";
  m.attr("__version__") = PELLIMOR_VERSION;

  // File and codec failures; OSError, so that code which handles unreadable
  // files already handles these.
  auto& error_type = py::register_exception<pellimor::error>(m, "Error", PyExc_OSError);
  error_type.doc() =
      "A file could not be read, decoded, encoded or written (the message names the file), "
      "or the work failed in the library. A subclass of OSError.";

  // Memory: MemoryError with the library's message (how much, and the limit).
  py::register_exception_translator([](std::exception_ptr failure) {
    try {
      if (failure) std::rethrow_exception(failure);
    } catch (const memory_failure& e) {
      PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const pellimor::stopped& e) {
      // Work stopped on request (a Ctrl-C raises its own KeyboardInterrupt
      // before this is reached): read as an interruption, not a failure.
      PyErr_SetString(PyExc_KeyboardInterrupt, e.what());
    }
  });

  using namespace py::literals;
  m.def("resize", &resize_array, "image"_a, "shape"_a, py::kw_only(), "axes"_a = py::none(),
        "channel_axis"_a = py::none(), "round"_a = "nearest", "taper"_a = 0.0, "linear"_a = false,
        "threads"_a = 0, "engine"_a = "fast", "alpha"_a = py::none(), "nan"_a = "propagate",
        "out"_a = py::none(),
        R"doc(Resize an image, or an array of any rank, in the cosine-transform domain.

Along the axes resized, the whole array's DCT is cut (to shrink) or
extended with zeros (to enlarge) at the high-frequency end and transformed
back at the new lengths, scaled so that the mean is kept. For float64 this
equals

    idctn(pad_or_crop(dctn(x, norm="ortho", axes=axes)), norm="ortho",
          axes=axes) * sqrt(prod(new lengths) / prod(old lengths))

(for an image: over its rows and columns, each channel on its own).

Parameters
----------
image : numpy.ndarray
    Any rank from 1 to 32: (rows, cols) or (rows, cols, channels) for an
    image, a volume, a stack of frames...; dtype uint8, uint16, float32 or
    float64. Any strides (views, negative steps, Fortran order); a
    byte-swapped array is converted first. It is read where it lies.
shape : tuple of int
    The new lengths of the axes resized, each at least 1: (rows, cols) for
    an image.
axes : int, tuple of int or None
    The axes shape is for (negative counts from the end). None: every axis
    when shape has one length per axis (a volume, a 1-D signal); all but
    the channel axis when it has one fewer: an image (rows, cols, channels)
    with channels last, or on channel_axis. axes=(1, 2) resizes each frame
    of (N, H, W[, C]) and gives the bytes a call per frame gives.
channel_axis : int or None
    The axis that holds an image's channels, alpha last. None: the last
    axis of an image whose shape has one fewer length than its axes, or
    the one axis axes leaves out.
round : {"nearest", "trunc"}
    Integer results: round halves up ("nearest", the default, with which
    the same shape gives the image back exactly), or truncate toward zero
    (what the keyword command line does). Float results are never
    rounded.
taper : float
    P >= 0: kept coefficient k of K is weighed by sinc(k/K)**P on each axis,
    softening ringing; 0 (default) keeps them as they are.
linear : bool
    Treat colour as sRGB-encoded and resize it in linear light (every
    element but alpha's, along any number of resized axes).
threads : int
    Worker threads of the fast engine, 0 to 1024 as the program's -threads;
    0 (default) for one per core. The result is the same for every count.
engine : {"fast", "direct"}
    FFT-based transforms (default), or the cosine sums term by term (very
    slow; for checking; images only, other axes counts use "fast").
alpha : bool or None
    True: the last channel is alpha, colour is resized premultiplied by
    it, so fully transparent pixels lend no colour to their neighbours.
    None (default): True when the array is a pellimor.Image read() made
    from a file with alpha (and still has 2 or 4 channels), else False.
    alpha=True needs a channel axis (channel_axis=, or the one axis left
    over); along any number of resized axes, each element is premultiplied
    before the transform and divided by its resized alpha after, as an
    image's pixels are.
out : numpy.ndarray or None
    An array of the result's shape and dtype to write the result into (any
    strides, writable, sharing no memory with image); it is returned. A
    loop over frames of one size then allocates nothing per call. Into out,
    the channels of an image are resized together (each one's coefficients
    held at once: the working memory times the channels), so that each
    pixel is written once; the values are the same. A result on the kept
    memory of a freed one (see release_caches) is resized so too, where
    the other channels' coefficients take no more than the result would.
nan : {"propagate", "raise"}
    What to do with float samples that are NaN or infinite. "propagate"
    (default) resizes them as they are. The transform is over the whole
    array: every value of the result is a sum over all samples that share
    its position on the axes not resized (a channel of an image, a frame
    of a stack, the whole of a volume), so one NaN or infinity makes all
    of those NaN throughout (an infinity can instead
    come out as +-inf where nothing cancels it: a 1 x 1 result, and some
    values with engine="direct"); the other channels are not touched, but
    with alpha=True a non-finite alpha leaves the alpha channel NaN and
    every colour channel 0. "raise" looks at every sample first, in one
    pass, and raises ValueError naming the first one that is not finite
    as (row, column, channel) for an image, by its index otherwise.
    Integer images hold no such samples and are not looked at.

Returns
-------
numpy.ndarray
    A new C-contiguous array of the image's shape with the resized axes'
    new lengths, in the image's dtype (native byte order). Integer
    results saturate at 0 and the dtype's maximum; float results are stored
    as computed, without clipping (ringing can leave the input's range).

Raises
------
ValueError
    A dtype other than the four, not 1 to 32 dimensions, an empty image, a
    bad shape or axes (a repeated axis, as many lengths as axes),
    alpha with one channel or without a channel axis, an unknown round, engine or nan, a
    negative or non-finite taper, threads outside 0..1024, a NaN or an
    infinity with nan="raise".
TypeError
    threads is not an integer.
MemoryError
    The result and the working memory would need more than this process
    may use (the machine's memory, its control group's limit, ulimit -v),
    checked before anything is allocated; or memory ran out all the same.

The GIL is released during the work, so other Python threads run meanwhile
and several threads may resize at once. Ctrl-C (any signal whose handler
raises) stops a long resize within about 0.1 s at the engine's next batch
of lines and raises KeyboardInterrupt; `out` is then partly written.

Example
-------
>>> import numpy, pellimor
>>> picture = numpy.zeros((480, 720, 3), numpy.uint8)
>>> pellimor.resize(picture, (720, 1080)).shape
(720, 1080, 3)
)doc");

  m.def("read", &read_array, "path"_a, py::kw_only(), "max_pixels"_a = py::none(),
        "max_memory"_a = py::none(), "page"_a = 1, "metadata"_a = false, "cmyk"_a = false,
        R"doc(Read a BMP, PNG, JPEG, TIFF, WebP or GIF file (the format is found from its content).

page picks the page of a multi-page TIFF, or the frame of an animated GIF or
WebP (as displayed, the frames before it drawn), from 1; a page past the
file's count raises pellimor.Error naming the count. WebP and GIF come as
uint8 RGB, or RGBA when they have transparency.

The EXIF orientation is applied, so the array reads as the picture is
displayed. Returns an array of shape (rows, cols) for grey, or (rows, cols,
channels) with 2 (grey + alpha), 3 (RGB) or 4 (RGBA) channels, of the file's
sample type: uint8, uint16, float32 or float64 (a TIFF of 64-bit floats).
Alpha is straight (not premultiplied).
CMYK (JPEG, TIFF) comes converted to sRGB through the file's ICC profile
(LittleCMS, perceptual intent; without one, a default CMYK profile);
with cmyk=True it comes as it is stored, 4 channels of ink (0 for none),
in a pellimor.Image whose .cmyk is True and .icc the file's profile (bytes,
or None), which write() and encode() keep as CMYK.
"-" reads standard input.

With metadata=True, returns (array, dict): the dict holds what the file
has of "icc" (bytes), "exif" (bytes, TIFF-structured, as in a PNG eXIf
chunk), "xmp" (str), "xmp_extended" (str: a JPEG's extended XMP, which
"xmp" names), "text" (a list of (keyword, str): PNG text chunks,
JPEG comments as "Comment", TIFF tags as "Description", "Author",
"Software", "Copyright", "Creation Time", "Make", "Model"), "dpi" (x, y),
"gamma", "chromaticities" (8 numbers) and "srgb" (the rendering intent)
from PNG. Give it, edited or not, to write(metadata=...).

max_pixels refuses a picture of more pixels (rows x cols), max_memory a
file whose reading needs more bytes than that; None for no limit beyond
the memory this process may use. Both are checked from the header, before
any pixel is decoded, as is what the file's own bytes can decode to (a
small file claiming a huge picture is refused).

Raises pellimor.Error when the file cannot be read or decoded or is over
max_pixels, MemoryError
when its pixels would need more memory than this process may use (checked
from the header, before they are decoded) or memory runs out. Releases the
GIL while reading.
)doc");

  m.def("write", &write_array, "path"_a, "array"_a, "quality"_a = 92, "metadata"_a = py::none(), py::kw_only(),
        "lossless"_a = false, "cmyk"_a = false,
        R"doc(Write an array as an image file; the format is the extension's.

Extensions: .bmp, .png, .jpg/.jpeg, .tif/.tiff, .webp (any case); GIF is
read, not written. WebP is 8-bit RGB or RGBA (grey replicated), lossy at
`quality` or, with lossless=True, exact. The array has
shape (rows, cols) or (rows, cols, channels) with 1 to 4 channels (grey,
grey + alpha, RGB, RGBA) and dtype uint8, uint16, float32 or float64. What
the format cannot hold is converted: BMP is 24-bit RGB (grey replicated,
alpha dropped); PNG is 8 or 16 bits (floats become 16-bit); JPEG is 8-bit
grey or RGB at `quality` (1..100), alpha dropped; TIFF keeps 8/16-bit and
32-bit float samples (float64 becomes float32) and alpha. Conversions scale
by the full scales (1.0 -> 255 or 65535), saturate and truncate; as integers
NaN and -inf are written as 0 and +inf as the maximum. TIFF's float samples
keep them.

cmyk=True (the default for a pellimor.Image read with cmyk=True) takes the
4 channels as cyan, magenta, yellow and black ink: JPEG and TIFF store them
as CMYK with the ICC profile (metadata["icc"], else the Image's .icc); BMP,
PNG and WebP get sRGB through that profile (LittleCMS; without one, a
default CMYK profile), as resize_file() does.

metadata, a dict as read(..., metadata=True) gives, is written where the
format has room: EXIF (its Orientation and pixel-size tags made the
array's) in JPEG, PNG, TIFF and WebP, XMP and "dpi" in JPEG, PNG and TIFF, "text" as
PNG chunks, JPEG comments ("Comment") and TIFF tags, the PNG colour keys
in PNG.

The file replaces an old one only once it is complete. Raises ValueError for
bad arguments, pellimor.Error when the file cannot be written, MemoryError
when memory for the copy it encodes cannot be had. Releases the GIL while
encoding.
)doc");

  m.def("resize_file", &resize_file_to_file, "src"_a, "dst"_a, "size"_a = py::none(), py::kw_only(),
        "format"_a = py::none(), "quality"_a = 92, "round"_a = "nearest", "taper"_a = 0.0, "linear"_a = false,
        "threads"_a = 0, "engine"_a = "fast", "strip"_a = false, "max_pixels"_a = py::none(),
        "max_memory"_a = py::none(), "page"_a = 1, "lossless"_a = false,
        R"doc(Read src, resize it and write dst, as the command-line program does.

The output has the same bytes as `pellimor -i src -o BASE -size SIZE
-format FORMAT -round nearest ...` writes (round="trunc" gives the bytes
of the command line's own default): the same sample types, alpha handling (alpha
channels are resized premultiplied), ICC profile and encoding.

Parameters
----------
src, dst : str, bytes or os.PathLike
    The files; "-" reads standard input or writes standard output. dst is
    used as given (no extension is added) and replaces an old file only
    once complete.
size : str or None
    A geometry for the picture as displayed: "50%", "800x600" (fit inside),
    "800x600!" (exactly), "800x" or "x600" (keep the aspect), "800x600^",
    "800x600>", "800x600<", "480000@"; None keeps the size.
format : {"bmp", "png", "jpeg", "tiff", "webp"} or None
    The output format; None takes it from dst's extension.
quality : int
    JPEG and lossy WebP quality, 1..100.
round, taper, linear, threads, engine
    As for resize(). A float TIFF's NaN and infinities spread as resize()'s
    nan="propagate" describes, and become 0 in an integer output format.
strip : bool or str
    False keeps the metadata (EXIF, XMP, text, density, ICC profile) where
    the output's format has room; True or "meta" leaves all but the ICC
    profile out; "all" leaves that out too.
max_pixels, max_memory : int or None
    Refuse a picture, read or made, of more pixels than max_pixels, and
    work needing more bytes than max_memory (None: no limit beyond the
    memory this process may use), as the program's -limit does.
page : int
    The page of a multi-page TIFF, or frame of an animated GIF or WebP, to
    read, from 1, as the program's -page.
lossless : bool
    WebP output without loss.

Raises ValueError for bad arguments, pellimor.Error when a file cannot be
read, decoded or written or is over max_pixels (the message names it),
MemoryError when the work would need more memory than this process may use
or max_memory (refused, naming the file,
before any pixel is decoded) or memory runs out. Releases the GIL
throughout.
)doc");

  m.def("resize_files", &resize_files_to_files, "inputs"_a, "output"_a, py::kw_only(), "size"_a = py::none(),
        "format"_a = py::none(), "quality"_a = 92, "round"_a = "nearest", "taper"_a = 0.0, "linear"_a = false,
        "threads"_a = 0, "jobs"_a = 0, "no_clobber"_a = false, "strip"_a = false, "max_pixels"_a = py::none(),
        "max_memory"_a = py::none(),
        R"doc(Resize many files in this process, several at once, as `pellimor resize` does.

Each output has the bytes resize_file() writes for its input with the same
arguments (round defaults to "nearest", as everywhere in the module).

Parameters
----------
inputs : list of str, bytes or os.PathLike
    The files to read; "-" (standard input) only as the one input.
output : str, bytes or os.PathLike
    A folder (a name ending in "/", or one that exists): each output is the
    input's file name in it, or with format=, that name with the format's
    extension. A pattern holding "%s": each %s becomes the input's file name
    without folder and extension ("%%" is "%"). Otherwise the one input's
    output file ("-": standard output).
size, format, quality, round, taper, linear, max_pixels, max_memory
    As for resize_file(); format overrides the output names.
threads : int
    Engine threads in all, 0 for one per core.
jobs : int
    Files in flight, each with threads/jobs engine threads (at least 1).
    0 chooses: one file at a time on every thread (a batch's peak memory
    then stays near its largest file's alone), but as many files as
    threads, each on one, while the picture and its result both have at
    most 100,000 pixels.
no_clobber : bool
    Leave outputs that exist alone (their error is None).
strip : bool or str
    As for resize_file(): True or "meta" leaves all metadata but the ICC
    profile out, "all" leaves that out too.

Returns a list of (input, output, error) in the order of inputs: error is
None when the file was written (or skipped), else the message naming the
file at fault. A file that fails does not stop the others. Raises
ValueError for bad arguments or outputs that cannot be named (several
inputs with a plain file name, a name of no known format). Releases the
GIL throughout.
)doc");

  // Files in memory.
  m.attr("ImageInfo") = py::module_::import("collections").attr("namedtuple")(
      "ImageInfo", py::make_tuple("width", "height", "channels", "dtype", "format", "orientation"),
      "module"_a = "pellimor");
  m.attr("ImageInfo").attr("__doc__") =
      "What a file's header says: width and height in pixels as stored, channels (1 grey, 2 grey + "
      "alpha, 3 RGB, 4 RGBA), the NumPy dtype read() would return, the format ('bmp', 'png', "
      "'jpeg', 'tiff') and the EXIF orientation (1 to 8; 1 when none).";

  m.def("read_info", &read_info_of, "path"_a, py::kw_only(), "max_pixels"_a = py::none(),
        "max_memory"_a = py::none(),
        R"doc(What an image file's header says, decoding no pixel.

Returns ImageInfo(width, height, channels, dtype, format, orientation):
width and height as stored, before the EXIF orientation (read() applies it,
so orientations 5 to 8 give an array of shape (width, height, ...)); dtype
is the one read() returns; format is 'bmp', 'png', 'jpeg' or 'tiff' (found
from the content, not the name). "-" reads standard input.

max_pixels refuses a picture of more pixels, and max_memory one whose
reading would need more bytes, as read() does; a picture too large for
this process's memory is still described. A file shorter than its header
says its data is (BMP rows, PNG chunks) is refused. Raises pellimor.Error
when the file cannot be read or is not an image this module reads.
Releases the GIL while reading.

>>> import pellimor
>>> pellimor.read_info("photo.jpg")   # doctest: +SKIP
ImageInfo(width=4032, height=3024, channels=3, dtype=dtype('uint8'), format='jpeg', orientation=6)
)doc");

  m.def("decode", &decode_bytes, "data"_a, py::kw_only(), "max_pixels"_a = py::none(),
        "max_memory"_a = py::none(), "cmyk"_a = false,
        R"doc(Decode an image file held in memory, as read() reads a file.

data is bytes-like: bytes, bytearray, memoryview or a contiguous array of
the whole file; the format is found from its content. Returns the array
read() would return for the same file (EXIF orientation applied, the
file's dtype: uint8, uint16, float32 or float64; CMYK as sRGB, or with
cmyk=True as ink). max_pixels and max_memory as for read(). Raises TypeError when data is not bytes-like,
pellimor.Error when it is not a whole image file this module reads,
MemoryError as read() does. Releases the GIL while decoding; data is held,
never written.

>>> import numpy, pellimor
>>> png = pellimor.encode(numpy.zeros((2, 3), numpy.uint8), "png")
>>> pellimor.decode(png).shape
(2, 3)
)doc");

  m.def("encode", &encode_array, "array"_a, "format"_a, "quality"_a = 92, py::kw_only(),
        "metadata"_a = py::none(), "cmyk"_a = false,
        R"doc(Encode an array as an image file in memory; returns its bytes.

format is 'bmp', 'png', 'jpeg' (or 'jpg') or 'tiff' (or 'tif'); the bytes
are those write() writes to a file of that format for the same array,
quality (JPEG, 1..100), metadata and cmyk, with the same conversions (see
write()). Raises
ValueError for bad arguments, pellimor.Error when encoding fails,
MemoryError when memory for the copy cannot be had. Releases the GIL while
encoding.

>>> import numpy, pellimor
>>> pellimor.encode(numpy.zeros((2, 3, 3), numpy.uint8), "bmp")[:2]
b'BM'
)doc");

  m.def("parse_size", &parse_size, "size"_a, "width"_a, "height"_a,
        R"doc(The (width, height) a geometry gives a width x height picture.

The sizes resize_file() and the program make: size is a geometry as for
resize_file() ("50%", "800x600", "800x600!", "800x", "x600", "800x600^",
"800x600>", "800x600<", "480000@"); width and height are the picture's as
displayed (after its EXIF orientation), from 1 to 2147483647. Note the
order: width first, as geometries write it, where resize() takes
(rows, cols).

Raises ValueError for a bad geometry or a result with a side over
2147483647 pixels, TypeError when size is not a str or a side not an
integer.

>>> import pellimor
>>> pellimor.parse_size("50%", 720, 480)
(360, 240)
>>> pellimor.parse_size("1531", 720, 480)
(1531, 1021)
)doc");

  m.def(
      "release_caches",
      [] {
        pellimor::release_caches();
        results().clear();
      },
      R"doc(Frees the plans and working arrays kept from earlier resizes.

resize() keeps those of the last two shapes it ran (sizes, threads and
taper) for the next resize of the same shape, which then starts at once;
the results are the same either way. It also keeps the memory of the last
two large results (4 MiB or more) Python has freed, for new results of the
same size, handed back to the system as reclaimable: the kernel takes it
back when memory runs short, and does not clear it again when it is
reused. This frees both.
)doc");

  m.def("set_cache_limit", &set_cache_limit_to, "nbytes"_a,
        R"doc(Bounds what resize() keeps between calls at nbytes; returns the bound before.

256 MiB at start; 0 turns the cache off and frees what it holds, the
memory of freed results kept for reuse (see release_caches) too. Whatever
is set, the cache holds at most a quarter of the memory this process may
use, and lets go of what it holds when a resize needs the room. Raises
ValueError for a negative nbytes, TypeError when it is not an integer.
)doc");

  m.def("cache_bytes", &pellimor::cache_bytes, "Bytes the plans and working arrays kept from earlier resizes hold.");
}
