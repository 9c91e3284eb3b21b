// limits.cc - physical memory, control-group limits and RLIMIT_AS.
#include "lib/limits.h"

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

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
