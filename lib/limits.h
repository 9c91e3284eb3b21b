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

#include <string>

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
