// SPDX-License-Identifier: MIT
// huge_pages.h - asking for transparent huge pages under a large buffer.
//
// A buffer first touched 4 KiB at a time takes a page fault for each page:
// 12-16 us apiece on the virtual machines we measure on, a quarter of a
// file job's time. Where the system gives huge pages on request (the usual
// "madvise" setting), a buffer of several megabytes asked for before it is
// first touched takes one fault every 2 MiB instead. The request is only a
// hint: without it, or where it is refused, the buffer works the same.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pellimor {

// Asks for huge pages under the whole pages of [data, data + bytes), when
// that is large enough to hold some.
inline void advise_huge_pages(const void* data, std::size_t bytes) {
  constexpr std::uintptr_t page = 4096;
  constexpr std::size_t worth = std::size_t{4} << 20;
  if (data == nullptr || bytes < worth) return;
  const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(page - 1);
  if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

// Gives `v` room for `size` bytes, on huge pages when it is large and had
// no such room yet; its contents stay. Throws as std::vector::reserve does.
template <class Vector>
void reserve_on_huge_pages(Vector* v, std::size_t size) {
  if (v->capacity() >= size) return;
  Vector fresh;
  fresh.reserve(size);  // not touched yet
  advise_huge_pages(fresh.data(), size);
  fresh.assign(v->begin(), v->end());
  v->swap(fresh);
}

// Makes `v` hold `size` bytes, on huge pages as above, zero-filled.
template <class Vector>
void resize_on_huge_pages(Vector* v, std::size_t size) {
  reserve_on_huge_pages(v, size);
  v->resize(size);
}

}  // namespace pellimor
