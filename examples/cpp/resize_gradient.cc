// SPDX-License-Identifier: MIT
// resize_gradient.cc - enlarges a small grey gradient held in memory with
// pellimor and prints the result; `resize_gradient out.png` also writes it.
#include <pellimor/pellimor.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  // A 4 x 2 ramp of 16-bit grey: 0, 20000, 40000, 60000 on both rows.
  pellimor::image ramp;
  ramp.width = 4;
  ramp.height = 2;
  ramp.channels = 1;
  ramp.type = pellimor::sample_type::u16;
  if (!ramp.allocate()) return 1;
  for (int y = 0; y < ramp.height; ++y)
    for (int x = 0; x < ramp.width; ++x) {
      const std::uint16_t v = static_cast<std::uint16_t>(20000 * x);
      std::memcpy(ramp.row(y) + 2 * x, &v, 2);
    }

  pellimor::resize_settings settings;
  settings.round = pellimor::rounding::nearest;
  try {
    const pellimor::image big = pellimor::resize(ramp, 8, 2, settings);
    for (int x = 0; x < big.width; ++x) {
      std::uint16_t v;
      std::memcpy(&v, big.row(0) + 2 * x, 2);
      std::printf("%s%u", x ? " " : "", v);
    }
    std::printf("\n");
    if (argc > 1) pellimor::write_image(argv[1], big);
  } catch (const pellimor::error& e) {
    std::fprintf(stderr, "resize_gradient: %s\n", e.what());
    return 1;
  }
  return 0;
}
