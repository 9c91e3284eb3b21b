// SPDX-License-Identifier: MIT
// cpu.h - what the processor runs, asked once.
#pragma once

namespace pellimor {

// True when the processor runs AVX2. The vector versions chosen by it never
// use fused multiply-adds, so every version gives the same bits.
inline bool cpu_has_avx2() {
#if defined(__x86_64__) || defined(__i386__)
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
#else
  return false;
#endif
}

}  // namespace pellimor
