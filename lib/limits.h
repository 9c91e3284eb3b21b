// SPDX-License-Identifier: MIT
// limits.h - how much memory this process may use.
//
// The smallest of three limits: the machine's physical memory; the memory
// limit of the process's control group (cgroup v2 memory.max, or v1
// memory.limit_in_bytes), at its own group and every group above it; and
// the room the address-space limit (RLIMIT_AS, `ulimit -v`) leaves beside
// what the process has mapped already. A container's kernel kills a
// process that outgrows its group; these numbers let a run be refused
// with a message instead.
#pragma once

#include <cstdint>
#include <string>

namespace pellimor::detail {

struct memory_limit {
  double bytes = 0;  // 0: no limit known
  std::string name;  // which limit, for a message: "this machine's memory", ...
};

// The smallest limit that applies to this process now.
memory_limit process_memory_limit();

// The control-group part, from the text of /proc/self/cgroup and the folder
// the hierarchies are mounted at (/sys/fs/cgroup): the smallest limit set
// on the process's group or a group above it, or 0 when none is; *file
// names the file that set it.
double cgroup_memory_limit(const std::string& proc_self_cgroup, const std::string& mount, std::string* file);

// The engine keeps the states of its last resizes (dct/fast_resample.h) for
// the next resize of the same shape. What they hold is memory the process
// uses, so it is bounded by the memory limit as well as by the budget asked
// for (pellimor::set_cache_limit, 256 MiB at start):
//  - the cache never holds more than a quarter of what the process may use,
//    leaving the rest to the work itself;
//  - before work needing `need` bytes under a limit, the cached states are
//    let go when they and the work together would not fit, so a kept state
//    never turns work that fits into work refused or killed.

// The budget for `asked` bytes in a process that may use `limit` bytes (0:
// no limit known).
std::uint64_t cache_budget_within(std::uint64_t asked, double limit);

// Sets the budget asked for, kept within a quarter of this process's memory
// limit; returns the one asked before.
std::uint64_t ask_cache_budget(std::uint64_t bytes);

// Called before work that needs `need` bytes where at most `limit` bytes (0:
// what the process may use) may be used: empties the cache when what it
// holds and `need` together are more than the limit. The first call also
// fits the budget to the process's limit. lib/resize.cc calls it for
// in-memory resizes; file resizes call it with their file_limits' memory.
void make_room_for(double need, double limit = 0);

}  // namespace pellimor::detail
