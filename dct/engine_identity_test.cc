// SPDX-License-Identifier: MIT
// engine_identity_test.cc - the FFT engine's output, bit for bit.
//
// The hashes below were measured on the engine as it stood before its
// worker pool, vectorised untangling and fused line handling went in: every
// output byte and every bit of every output double, for small generated
// planes. They are not derived from any definition; they pin today's values
// so that work on the engine's speed cannot change a single one of them.
// Should a deliberate change of values ever be made, they are measured
// again (the failure message prints the new table row). The rows of shapes
// with a side of 17 or 31 were measured again when Bluestein's FFTs stopped
// running in place: their bytes stayed, their doubles moved by under 1e-12.
// They, and those with a side of 34 or 1100, were measured again when
// lengths whose prime factors are at most 31 left Bluestein's route for
// FFTW's own: their doubles moved by under 5e-13, towards the direct sums,
// and one truncated byte of 3x2 -> 17x31, a value of exactly 40 that
// Bluestein's route gave as 39.99999999999999, became 40; those with a
// side of 101 when primes whose N - 1 has no factor above 13 took Rader's
// route, and those with a side of 106, 202, 1025 or 1030 when lengths m p
// with such a prime (or, for 1030 = 10 x 103, a 17 in p - 1) took it too,
// split into DFTs of p and of m: their bytes stayed, their doubles moved by
// under 1e-12.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dct/fast_resample.h"

using namespace pellimor::detail;  // the library's internals

namespace {

// FNV-1a, 64 bits.
struct fnv1a {
  std::uint64_t hash = 0xcbf29ce484222325u;
  void add(const void* data, std::size_t bytes) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < bytes; ++i) hash = (hash ^ p[i]) * 0x100000001b3u;
  }
};

// A reproducible sample for (x, y) of plane `seed`: bytes over the whole
// range with some smooth structure, so both ends saturate somewhere.
std::uint32_t mix(std::uint32_t x, std::uint32_t y, std::uint32_t seed) {
  std::uint32_t h = x * 0x9e3779b1u ^ (y + 0x7f4a7c15u) * 0x85ebca6bu ^ seed * 0xc2b2ae35u;
  h ^= h >> 15;
  h *= 0x2c1b3c6du;
  h ^= h >> 12;
  return h;
}
std::uint8_t byte_at(std::int32_t x, std::int32_t y, std::uint32_t seed) {
  return static_cast<std::uint8_t>((mix(x, y, seed) % 96) + 3 * x + 5 * y);
}
double value_at(std::int32_t x, std::int32_t y, std::uint32_t seed) {
  return (mix(x, y, seed) % 1000003) / 3125.0 - 40.0;  // fractions, and past both ends
}

struct hashes {
  std::uint64_t trunc, nearest, doubles, values;
  bool operator==(const hashes&) const = default;
};

hashes run_engine(const int (&shape)[4], double taper, int threads) {
  const auto [width, height, new_width, new_height] = shape;
  const std::uint32_t seed = static_cast<std::uint32_t>(width * 131 + height * 7 + new_width);
  const progress_streams quiet{nullptr, nullptr};
  fast_resampler resampler(width, height, new_width, new_height, threads, taper);
  const row_reader bytes = [&](std::int32_t first, std::int32_t count, std::uint8_t* out) {
    for (std::int32_t r = 0; r < count; ++r)
      for (std::int32_t x = 0; x < width; ++x)
        out[std::size_t{1} * r * width + x] = byte_at(x, first + r, seed);
    return true;
  };
  const value_row_reader doubles = [&](std::int32_t first, std::int32_t count, double* out) {
    for (std::int32_t r = 0; r < count; ++r)
      for (std::int32_t x = 0; x < width; ++x)
        out[std::size_t{1} * r * width + x] = value_at(x, first + r, seed);
    return true;
  };
  const std::size_t size = std::size_t{1} * new_width * new_height;
  // Rows arrive in any order from any thread, each once: stored row-major.
  std::vector<std::uint8_t> out_bytes(size);
  const row_writer store_bytes = [&](std::int32_t first, std::int32_t count, const std::uint8_t* rows) {
    std::memcpy(out_bytes.data() + std::size_t{1} * first * new_width, rows,
                std::size_t{1} * count * new_width);
    return true;
  };
  std::vector<double> out_doubles(size);
  const value_row_writer store_doubles = [&](std::int32_t first, std::int32_t count, const double* rows) {
    std::memcpy(out_doubles.data() + std::size_t{1} * first * new_width, rows,
                sizeof(double) * count * new_width);
    return true;
  };
  hashes h{};
  for (pellimor::rounding mode : {pellimor::rounding::trunc, pellimor::rounding::nearest}) {
    std::fill(out_bytes.begin(), out_bytes.end(), 0);
    EXPECT_TRUE(resampler.resample(bytes, store_bytes, quiet, mode));
    fnv1a f;
    f.add(out_bytes.data(), out_bytes.size());
    (mode == pellimor::rounding::trunc ? h.trunc : h.nearest) = f.hash;
  }
  EXPECT_TRUE(resampler.resample_doubles(doubles, store_doubles, quiet));
  fnv1a f;
  f.add(out_doubles.data(), sizeof(double) * out_doubles.size());
  h.doubles = f.hash;
  std::vector<double> values(size);
  EXPECT_TRUE(resampler.resample_values(bytes, values.data(), quiet));
  fnv1a g;
  g.add(values.data(), sizeof(double) * values.size());
  h.values = g.hash;
  return h;
}

struct identity_case {
  int shape[4];  // width, height, new width, new height
  double taper;
  hashes expected;
};

// Lengths 1, 2, 3, odd, even, prime (17, 31, 101), a large prime factor
// (202 = 2 * 101, 106 = 2 * 53), and a smooth even length (240); each axis
// enlarged, shrunk or kept. The last plane's coefficient array (an odd
// number of columns, over 8 MiB) is large enough to be written past the
// cache.
// clang-format off
const identity_case cases[] = {
    {{1, 1, 2, 3}, 0.0, {0x2c30aafac44c7f75u, 0x2c30aafac44c7f75u, 0x1d440e6ab9142a81u, 0xdec4e7afb069dc85u}},
    {{1, 1, 2, 3}, 1.5, {0x2c30aafac44c7f75u, 0x2c30aafac44c7f75u, 0x1d440e6ab9142a81u, 0xdec4e7afb069dc85u}},
    {{2, 2, 1, 1}, 0.0, {0xaf63f84c86021c20u, 0xaf63fb4c86022139u, 0x9c51d0021f644134u, 0x928512318a3017acu}},
    {{2, 2, 1, 1}, 1.5, {0xaf63f84c86021c20u, 0xaf63fb4c86022139u, 0x9c51d0021f644134u, 0x928512318a3017acu}},
    {{3, 3, 3, 3}, 0.0, {0x3b54b21758320afeu, 0x66ab811770c0d3bbu, 0x19fc7c8146b6ca0au, 0xb7a7f3ac5d3f1cf1u}},
    {{3, 3, 3, 3}, 1.5, {0x6ab5539ca76abc5eu, 0x582ddc25d05c2f59u, 0x8405890601278af4u, 0x301cb0925b8de2f6u}},
    {{1, 20, 5, 1}, 0.0, {0x18daeb27949d2528u, 0x18daeb27949d2528u, 0x89b7c2b460a2cc9cu, 0x19321777b72297a8u}},
    {{1, 20, 5, 1}, 1.5, {0x18daeb27949d2528u, 0x18daeb27949d2528u, 0x89b7c2b460a2cc9cu, 0x19321777b72297a8u}},
    {{17, 31, 31, 17}, 0.0, {0x49952ce52fd4d5b8u, 0xf45a663d77642196u, 0xccd172eca1636144u, 0x98ff41bd074ebc2cu}},
    {{17, 31, 31, 17}, 1.5, {0x7360dfdaa617fcbau, 0x8cc40acdc6f67146u, 0x5256c882010aa2a5u, 0x282e0aef6f516603u}},
    {{31, 17, 16, 40}, 0.0, {0x59060f47bdbb1bd7u, 0xd77963765c2355b6u, 0x05a6257abc5dbff8u, 0x691bb74cfcfe90fau}},
    {{31, 17, 16, 40}, 1.5, {0x1097d6e669182e4du, 0x781265355b6e3291u, 0x32fd2971c0376a08u, 0x879efe8886a0a482u}},
    {{9, 15, 9, 15}, 0.0, {0x4d3fdaecd0a07050u, 0x5fed2638bce2352cu, 0x820e6410d11b7e9du, 0x63b9934d9620a16cu}},
    {{9, 15, 9, 15}, 1.5, {0x04afb7336f6c9a15u, 0xf4bd70fee6fc07beu, 0xd7ec3f5b35e453a3u, 0xc237970799dc78b8u}},
    {{16, 16, 24, 8}, 0.0, {0x0fd94073df827b53u, 0x891e298e416508e2u, 0xb659b552d6458e17u, 0x3c6aabc5ae1b9ca4u}},
    {{16, 16, 24, 8}, 1.5, {0x8cf461c17b24c710u, 0x8252b560b99d6b9eu, 0x132757b9ae25a198u, 0xafb0a180ae232814u}},
    {{40, 24, 40, 24}, 0.0, {0x02ca8165fa330896u, 0xb97cfd24dccb297au, 0x5f7fa0c1644c07c5u, 0xe16926543cab143eu}},
    {{40, 24, 40, 24}, 1.5, {0xb451a5e9e41b4f60u, 0xeb0ff793546a9686u, 0x021e70c7e13fd734u, 0xac03487e2fbf3112u}},
    {{15, 6, 30, 3}, 0.0, {0xaf1ed711130e2984u, 0xe6b969f348575459u, 0x2ee57cffdcc21e41u, 0x67ddfb7cf279f0d7u}},
    {{15, 6, 30, 3}, 1.5, {0x7fdad3e578c71620u, 0x32ff96a214e4e281u, 0x020e42b07975fd0eu, 0x2e6ca64420043896u}},
    {{202, 9, 101, 9}, 0.0, {0x110361814795ad1du, 0xe97e2afc8d3aafe4u, 0xcf6100cf8d6e2aaau, 0x7acf1c0552bdb381u}},
    {{202, 9, 101, 9}, 1.5, {0x9c9e1175fdf19166u, 0x0a32d24733c790d9u, 0x47edc385b643d409u, 0xe4e8fd05b5167313u}},
    {{9, 202, 9, 106}, 0.0, {0xdb149cfffe8aed0du, 0x4925a9c1ede01180u, 0xb1942b11856d7248u, 0x6870e1ee867a5ddau}},
    {{9, 202, 9, 106}, 1.5, {0x2f336724444be926u, 0xa4261559bb9ce104u, 0x22a098128d96865cu, 0xf45162dddb79dc69u}},
    {{64, 12, 202, 12}, 0.0, {0x14f5130ca639e7f3u, 0xf1295567ae413c56u, 0xe2caa7091b2fcdc5u, 0x666e856d44b1185fu}},
    {{64, 12, 202, 12}, 1.5, {0x9fa3db4ef3f240fau, 0x1bc418307282191eu, 0x9f53eabb8fbea2f0u, 0xc621f0f5063256bdu}},
    {{7, 101, 7, 34}, 0.0, {0xfcb91c54949f4ea3u, 0xff4610ec7c0977efu, 0x3fa4eb1772cde6a9u, 0x47e6d2970cd64194u}},
    {{7, 101, 7, 34}, 1.5, {0x7ffa5b13b1f3671du, 0x54c13ed9820f8fc6u, 0xa7f0922ddf110177u, 0x205a5fab9fcec040u}},
    {{50, 7, 1, 1}, 0.0, {0xaf64454c86029ef7u, 0xaf64454c86029ef7u, 0x5277457f8ff73f9eu, 0x091d09ee0af89a7fu}},
    {{50, 7, 1, 1}, 1.5, {0xaf64454c86029ef7u, 0xaf64454c86029ef7u, 0x5277457f8ff73f9eu, 0x091d09ee0af89a7fu}},
    {{240, 4, 120, 9}, 0.0, {0x2ac1abf45e67d112u, 0x0fc3009b7b0253dfu, 0x4b117771db3afe4bu, 0xe389f926d7030205u}},
    {{240, 4, 120, 9}, 1.5, {0x5dc0f7aa077e50edu, 0x6e64c514b8754489u, 0xddfd95154e7cdceau, 0x90dcd0e41dfc3f82u}},
    {{3, 2, 17, 31}, 0.0, {0xfa60e4b007298339u, 0x76d4538b70e6ceb0u, 0xed0941224f7b7bc9u, 0x1c53c997d9e87ab0u}},
    {{3, 2, 17, 31}, 1.5, {0x255a51eb97ba9b74u, 0x0bb4ddf3f7aa3df7u, 0x12d5b9300f45d9e0u, 0xb36ef7bcbd012d5au}},
    {{1025, 1030, 1100, 1030}, 0.0, {0x8bd9b4562fb539d5u, 0x2dbf3243e7ad8337u, 0x02ca20c9addeb223u, 0xf3b605bb90b91372u}},
};
// clang-format on

std::string row(const identity_case& c, const hashes& h) {
  char line[256];
  std::snprintf(line, sizeof line,
                "{{%d, %d, %d, %d}, %.1f, {0x%016" PRIx64 "u, 0x%016" PRIx64 "u, 0x%016" PRIx64
                "u, 0x%016" PRIx64 "u}},",
                c.shape[0], c.shape[1], c.shape[2], c.shape[3], c.taper, h.trunc, h.nearest, h.doubles,
                h.values);
  return line;
}

TEST(EngineIdentity, EveryOutputBitAsMeasured) {
  for (const identity_case& c : cases)
    for (int threads : {1, 3}) {
      const hashes got = run_engine(c.shape, c.taper, threads);
      EXPECT_TRUE(got == c.expected) << threads << " thread(s), measured now:\n" << row(c, got);
    }
}

}  // namespace
