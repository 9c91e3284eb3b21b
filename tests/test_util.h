// test_util.h - shared helpers for the tests: a scratch folder, a small BMP
// builder and a way to run the program and capture what it prints.
#pragma once

#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bmp/bmp_io.h"

namespace test_util {

// A fresh folder, removed with everything in it when the object dies.
class temp_dir {
 public:
  temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pellimor-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

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

// The bytes of a plain bottom-up 24-bit BMP (54-byte header) of three planes.
inline std::string bmp_bytes(const channel_plane& blue, const channel_plane& green,
                             const channel_plane& red) {
  const std::int32_t width = blue.width, height = blue.height;
  const std::size_t row = bmp_row_size(width);
  std::string s(54 + row * height, '\0');
  s[0] = 'B';
  s[1] = 'M';
  put_le(&s, 2, s.size(), 4);
  put_le(&s, 10, 54, 4);
  put_le(&s, 14, 40, 4);
  put_le(&s, 18, width, 4);
  put_le(&s, 22, height, 4);
  put_le(&s, 26, 1, 2);
  put_le(&s, 28, 24, 2);
  for (std::int32_t r = 0; r < height; ++r)
    for (std::int32_t x = 0; x < width; ++x) {
      const std::size_t i = plane_index(x, height - 1 - r, height), at = 54 + r * row + 3 * x;
      s[at] = static_cast<char>(blue.samples[i]);
      s[at + 1] = static_cast<char>(green.samples[i]);
      s[at + 2] = static_cast<char>(red.samples[i]);
    }
  return s;
}

// What one run of the program did.
struct run_result {
  int status = -1;
  std::string out, err;
};

// Runs the program with `args` (already shell-quoted where needed) in
// `dir`, capturing standard output and standard error separately.
inline run_result run_program(const temp_dir& dir, const std::string& args) {
  const std::string out = dir.file("stdout.txt"), err = dir.file("stderr.txt");
  const std::string command = "cd '" + dir.path() + "' && '" PELLIMOR_BINARY "' " + args + " >'" + out +
                              "' 2>'" + err + "' </dev/null";
  const int raw = std::system(command.c_str());
  run_result result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.out = read_file(out);
  result.err = read_file(err);
  std::filesystem::remove(out);
  std::filesystem::remove(err);
  return result;
}

}  // namespace test_util
