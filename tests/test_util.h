// SPDX-License-Identifier: MIT
// test_util.h - shared helpers for the tests: a scratch folder, a small BMP
// builder and a way to run the program and capture what it prints.
#pragma once

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bmp/bmp_io.h"
#include "pellimor/pellimor.h"

// Set under AddressSanitizer or ThreadSanitizer, which reserve terabytes of
// address space: tests that cap it with ulimit -v skip themselves there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PELLIMOR_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define PELLIMOR_SANITIZED 1
#endif
#endif

namespace test_util {

// A fresh folder, removed with everything in it when the object dies.
class temp_dir {
 public:
  temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pellimor-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
      throw std::filesystem::filesystem_error("mkdtemp", pattern,
                                              std::error_code(errno, std::generic_category()));
    path_ = pattern;
  }
  ~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }
  // Names of the entries in this folder, or in `folder`, sorted.
  std::vector<std::string> entries() const { return entries_of(path_); }
  static std::vector<std::string> entries_of(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string path_;
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline void put_le(std::string* s, std::size_t at, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) (*s)[at + i] = static_cast<char>(value >> (8 * i));
}

// A plane filled from a generator: value(x, y) for every sample.
template <class F>
channel_plane make_plane(std::int32_t width, std::int32_t height, F value) {
  channel_plane plane;
  allocate_plane(&plane, width, height);
  for (std::int32_t x = 0; x < width; ++x)
    for (std::int32_t y = 0; y < height; ++y)
      plane.samples[plane_index(x, y, height)] = static_cast<std::uint8_t>(value(x, y));
  return plane;
}

inline channel_plane random_plane(std::int32_t width, std::int32_t height, unsigned seed) {
  std::mt19937 rng(seed);
  return make_plane(width, height, [&](int, int) { return rng() & 0xff; });
}

// Byte positions of the BMP header fields. The core (12-byte) information
// header has 16-bit width, height, planes and bit count at 18, 20, 22, 24.
namespace bmp_field {
constexpr std::size_t size = 2, offset = 10, info_size = 14, width = 18, height = 22, planes = 26, bits = 28,
                      compression = 30, image_size = 34, x_resolution = 38, y_resolution = 42;
constexpr std::size_t core_width = 18, core_height = 20, core_planes = 22, core_bits = 24;
}  // namespace bmp_field

// How bmp_bytes lays out a file. Every form holds the same image.
struct bmp_form {
  std::uint32_t info_size = 40;  // 12 (core), 16 (shortest OS/2 2.x), 40, 52, 56, 64, 108 or 124
  bool top_down = false;         // negative height, top row first (not with 12)
  std::size_t gap = 0;           // bytes between the headers and the rows, as a colour table
  std::size_t trailing = 0;      // bytes after the last row, counted in the size field
  char filler = 0;               // value of the row padding, gap and trailing bytes
};

// Every layout a real writer uses, and some odd ones: each must read as the
// same image.
struct named_form {
  const char* name;
  bmp_form form;
};
inline const named_form every_form[] = {
    {"core 12", {12}},
    {"info 40", {40}},
    {"info 52", {52}},
    {"info 56", {56}},
    {"OS/2 2.x 16", {16}},
    {"info 64", {64}},
    {"info 108", {108}},
    {"info 124", {124}},
    {"info 40 top-down", {40, true}},
    {"info 124 top-down", {124, true}},
    {"colour table between headers and rows", {40, false, 1024, 0, '\xab'}},
    {"core with a gap", {12, false, 7, 0, '\x5a'}},
    {"trailing bytes", {40, false, 0, 2}},
    {"junk in the padding, gap and tail", {108, true, 12, 5, '\xee'}},
    {"top-down 56 with gap and tail", {56, true, 20, 3, '\xee'}},
};

// The bytes of a 24-bit BMP of three planes laid out as `form` says; with
// the default form, a plain bottom-up file with a 54-byte header. The header
// fields the reader ignores get values such files carry.
inline std::string bmp_bytes(const channel_plane& blue, const channel_plane& green, const channel_plane& red,
                             const bmp_form& form = {}) {
  using namespace bmp_field;
  const std::int32_t width = blue.width, height = blue.height;
  const std::size_t row = pellimor::detail::bmp_row_size(width), pixels = row * height;
  const std::size_t start = 14 + form.info_size + form.gap;
  std::string s(start + pixels + form.trailing, form.filler);
  std::fill(s.begin(), s.begin() + 14 + form.info_size, '\0');
  s[0] = 'B';
  s[1] = 'M';
  put_le(&s, size, s.size(), 4);
  put_le(&s, offset, start, 4);
  put_le(&s, info_size, form.info_size, 4);
  if (form.info_size == 12) {
    put_le(&s, core_width, width, 2);
    put_le(&s, core_height, height, 2);
    put_le(&s, core_planes, 1, 2);
    put_le(&s, core_bits, 24, 2);
  } else {
    put_le(&s, bmp_field::width, width, 4);
    put_le(&s, bmp_field::height, form.top_down ? -std::int64_t{height} : height, 4);
    put_le(&s, planes, 1, 2);
    put_le(&s, bits, 24, 2);
    if (form.info_size > 40) {  // the plain form stays as it was: these left 0
      put_le(&s, image_size, pixels, 4);
      put_le(&s, x_resolution, 2835, 4);
      put_le(&s, y_resolution, 2835, 4);
    }
    if (form.info_size >= 52 && form.info_size != 64) {  // colour masks, unused without BI_BITFIELDS
      put_le(&s, 54, 0x00ff0000, 4);
      put_le(&s, 58, 0x0000ff00, 4);
      put_le(&s, 62, 0x000000ff, 4);
    }
    if (form.info_size >= 108) put_le(&s, 70, 0x73524742, 4);  // colour space 'sRGB'
    if (form.info_size == 124) put_le(&s, 122, 4, 4);          // rendering intent: pictures
  }
  for (std::int32_t r = 0; r < height; ++r) {
    const std::int32_t y = form.top_down ? r : height - 1 - r;
    for (std::int32_t x = 0; x < width; ++x) {
      const std::size_t i = plane_index(x, y, height), at = start + r * row + 3 * x;
      s[at] = static_cast<char>(blue.samples[i]);
      s[at + 1] = static_cast<char>(green.samples[i]);
      s[at + 2] = static_cast<char>(red.samples[i]);
    }
  }
  return s;
}

// What one run of the program did.
struct run_result {
  int status = -1;
  std::string out, err;
};

// Runs the program with `args` (already shell-quoted where needed) in
// `dir`, capturing standard output and standard error separately (in files
// removed again before this returns). `setup`, when given, is shell
// commands run first in the same shell, such as a ulimit. `redirections`
// (such as ">/dev/full" or "2>&-") come after the capturing ones and so
// replace them.
inline run_result run_program(const temp_dir& dir, const std::string& args, const std::string& setup = "",
                              const std::string& redirections = "") {
  const std::string out = dir.file("stdout.txt"), err = dir.file("stderr.txt");
  const std::string command = "cd '" + dir.path() + "' && " + (setup.empty() ? "" : setup + " && ") + "'" +
                              PELLIMOR_BINARY "' " + args + " >'" + out + "' 2>'" + err + "' </dev/null " +
                              redirections;
  const int raw = std::system(command.c_str());
  run_result result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.out = read_file(out);
  result.err = read_file(err);
  std::filesystem::remove(out);
  std::filesystem::remove(err);
  return result;
}

// Whether `text` holds `word` with neither a dash nor a letter, digit or
// underscore right before or after it ("-help" is not in "--help" or "-helper").
inline bool mentions(const std::string& text, const std::string& word) {
  const auto joins = [](char c) {
    return c == '-' || c == '_' || std::isalnum(static_cast<unsigned char>(c));
  };
  for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    const std::size_t end = at + word.size();
    if ((at == 0 || !joins(text[at - 1])) && (end == text.size() || !joins(text[end]))) return true;
  }
  return false;
}

// What a resize refused, by the message of the pellimor::error it threw;
// "" when it threw none, and a stop is told apart from a refusal.
template <class Call>
std::string refusal_of(const Call& call) {
  try {
    call();
  } catch (const pellimor::stopped& e) {
    return std::string("(stopped) ") + e.what();
  } catch (const pellimor::error& e) {
    return e.what();
  }
  return "";
}

// A resize_settings::proceed hook that lets `allowed` asks through, then
// says stop; `asked` counts them all.
struct stopper {
  std::atomic<int> allowed;
  std::atomic<int> asked{0};
  static bool proceed(void* self) {
    auto* s = static_cast<stopper*>(self);
    ++s->asked;
    return s->allowed.fetch_sub(1) > 0;
  }
};

}  // namespace test_util
