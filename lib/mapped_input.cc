// SPDX-License-Identifier: MIT
// mapped_input.cc - a SIGBUS handler that mends reads past a shrunk file.
#include "lib/mapped_input.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace pellimor {
namespace {

// Slots the handler reads without a lock: `end` is set before `begin` on
// watching and `begin` cleared first on unwatching, so a slot with a
// nonzero begin always has its end.
struct watched {
  std::atomic<bool> taken{false};
  std::atomic<std::uintptr_t> begin{0}, end{0};
  std::atomic<bool> spoiled{false};
};
constexpr int slot_count = 64;
watched slots[slot_count];
std::uintptr_t page_size = 4096;
struct sigaction previous;
std::once_flag installed;

void on_bus(int sig, siginfo_t* info, void* context) {
  const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (watched& w : slots) {
    const std::uintptr_t begin = w.begin.load();
    if (begin == 0 || at < begin || at >= w.end.load()) continue;
    // The file's page is gone: zeros in its place, and the read goes on.
    void* page = reinterpret_cast<void*>(at & ~(page_size - 1));
    if (mmap(page, page_size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
      w.spoiled.store(true);
      return;
    }
    break;
  }
  // Not a watched page: whatever would have happened without this handler.
  if (previous.sa_flags & SA_SIGINFO) {
    if (previous.sa_sigaction != nullptr) return previous.sa_sigaction(sig, info, context);
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    return previous.sa_handler(sig);
  }
  signal(SIGBUS, SIG_DFL);  // the faulting read runs again and ends the process
}

void install() {
  const long size = sysconf(_SC_PAGESIZE);
  if (size > 0) page_size = static_cast<std::uintptr_t>(size);
  struct sigaction action = {};
  action.sa_sigaction = on_bus;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &previous);
}

}  // namespace

int watch_mapping(const void* at, std::size_t length) {
  std::call_once(installed, install);
  const auto begin = reinterpret_cast<std::uintptr_t>(at);
  for (int i = 0; i < slot_count; ++i) {
    bool free = false;
    if (!slots[i].taken.compare_exchange_strong(free, true)) continue;
    slots[i].spoiled.store(false);
    slots[i].end.store(begin + length);
    slots[i].begin.store(begin);
    return i;
  }
  return -1;
}

bool mapping_spoiled(int watch) { return watch >= 0 && watch < slot_count && slots[watch].spoiled.load(); }

void unwatch_mapping(int watch) {
  if (watch < 0 || watch >= slot_count) return;
  slots[watch].begin.store(0);
  slots[watch].end.store(0);
  slots[watch].taken.store(false);
}

}  // namespace pellimor
