// SPDX-License-Identifier: MIT
// limits.cc - physical memory, control-group limits and RLIMIT_AS.
#include "lib/limits.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

#include "dct/fast_resample.h"
#include "pellimor/pellimor.h"

namespace pellimor::detail {

namespace {

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The value of a memory limit file: bytes, or 0 for "max" or no file.
double limit_in(const std::string& path) {
  std::istringstream in(read_text(path));
  double bytes = 0;
  return in >> bytes && bytes > 0 ? bytes : 0;
}

// The limit `file_name` sets in `hierarchy` on group `group` or a group
// above it (the smallest), or 0; *file names the file that set it.
double smallest_on_path(const std::string& hierarchy, std::string group, const char* file_name,
                        std::string* file) {
  double smallest = 0;
  for (;;) {
    const std::string path = hierarchy + (group == "/" ? "" : group) + "/" + file_name;
    const double bytes = limit_in(path);
    if (bytes > 0 && (smallest == 0 || bytes < smallest)) {
      smallest = bytes;
      *file = path;
    }
    const std::size_t slash = group.find_last_of('/');
    if (group == "/" || slash == std::string::npos) return smallest;
    group = slash == 0 ? "/" : group.substr(0, slash);
  }
}

void take_smaller(memory_limit* limit, double bytes, const std::string& name) {
  if (bytes > 0 && (limit->bytes == 0 || bytes < limit->bytes)) *limit = {bytes, name};
}

}  // namespace

double cgroup_memory_limit(const std::string& proc_self_cgroup, const std::string& mount, std::string* file) {
  // Lines are "id:controllers:group": "0::group" for the unified (v2)
  // hierarchy, a list naming "memory" for the v1 memory controller.
  double smallest = 0;
  std::istringstream lines(proc_self_cgroup);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    std::string controllers = ",";
    controllers.append(line, first + 1, second - first - 1).append(",");
    const std::string group = line.substr(second + 1);
    if (group.empty() || group[0] != '/') continue;
    std::string which;
    double bytes = 0;
    if (line.compare(0, 3, "0::") == 0)
      bytes = smallest_on_path(mount, group, "memory.max", &which);
    else if (controllers.find(",memory,") != std::string::npos)
      bytes = smallest_on_path(mount + "/memory", group, "memory.limit_in_bytes", &which);
    if (bytes > 0 && (smallest == 0 || bytes < smallest)) {
      smallest = bytes;
      *file = which;
    }
  }
  return smallest;
}

memory_limit process_memory_limit() {
  memory_limit limit;
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page > 0) take_smaller(&limit, static_cast<double>(pages) * page, "this machine's memory");

  std::string file;
  const double group = cgroup_memory_limit(read_text("/proc/self/cgroup"), "/sys/fs/cgroup", &file);
  take_smaller(&limit, group, "the control group's limit in " + file);

  struct rlimit as;
  if (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY) {
    double mapped = 0;  // first field of statm: pages of address space in use
    std::istringstream(read_text("/proc/self/statm")) >> mapped;
    const double room = static_cast<double>(as.rlim_cur) - mapped * (page > 0 ? page : 4096);
    take_smaller(&limit, room > 1 ? room : 1, "what the address-space limit (RLIMIT_AS, ulimit -v) leaves");
  }
  return limit;
}

std::uint64_t cache_budget_within(std::uint64_t asked, double limit) {
  if (limit <= 0) return asked;
  const double quarter = limit / 4;
  return quarter < static_cast<double>(asked) ? static_cast<std::uint64_t>(quarter) : asked;
}

namespace {

std::atomic<std::uint64_t> asked_budget{std::uint64_t{256} << 20};

// What the process may use, read once: reading it takes a few files from
// /proc and /sys, too slow for every small resize. Read again whenever a
// budget is asked for.
std::atomic<double> process_limit{-1};

double known_process_limit() {
  double limit = process_limit.load(std::memory_order_relaxed);
  if (limit < 0) {
    limit = process_memory_limit().bytes;
    process_limit.store(limit, std::memory_order_relaxed);
  }
  return limit;
}

std::once_flag budget_fitted;

void fit_budget() {
  process_limit.store(-1, std::memory_order_relaxed);
  set_engine_cache_budget(cache_budget_within(asked_budget.load(), known_process_limit()));
}

}  // namespace

std::uint64_t ask_cache_budget(std::uint64_t bytes) {
  std::call_once(budget_fitted, [] {});  // a later first make_room_for must not undo this
  const std::uint64_t before = asked_budget.exchange(bytes);
  fit_budget();
  return before;
}

void make_room_for(double need, double limit) {
  std::call_once(budget_fitted, fit_budget);
  const double process = known_process_limit();
  if (limit <= 0 || (process > 0 && process < limit)) limit = process;
  if (limit > 0 && need + static_cast<double>(engine_cache_bytes()) > limit) release_engine_cache();
}

}  // namespace pellimor::detail

namespace pellimor {

void release_caches() { detail::release_engine_cache(); }
std::uint64_t set_cache_limit(std::uint64_t bytes) { return detail::ask_cache_budget(bytes); }
std::uint64_t cache_bytes() { return detail::engine_cache_bytes(); }

}  // namespace pellimor
