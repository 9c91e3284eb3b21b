// SPDX-License-Identifier: MIT
// limits_test.cc - control-group memory limits read from a made-up tree.
#include "lib/limits.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/test_util.h"

using namespace pellimor::detail;  // the library's internals

namespace {

TEST(Limits, SmallestControlGroupLimitOnThePathToTheRoot) {
  const struct {
    const char* name;
    const char* proc_self_cgroup;
    std::vector<std::pair<const char*, const char*>> files;  // under the mount, and their text
    double bytes;
    const char* file;  // that set it, under the mount
  } cases[] = {
      {"v2, set above the process's own group",
       "0::/a/b\n",
       {{"memory.max", "2147483648\n"}, {"a/memory.max", "1073741824\n"}, {"a/b/memory.max", "max\n"}},
       1073741824.0,
       "a/memory.max"},
      {"v2, a container's own root", "0::/\n", {{"memory.max", "536870912\n"}}, 536870912.0, "memory.max"},
      {"v1 memory controller beside an empty v2 root",
       "5:cpu,memory:/x\n1:pids:/y\n0::/\n",
       {{"memory/x/memory.limit_in_bytes", "9223372036854771712\n"},
        {"memory/memory.limit_in_bytes", "300000000\n"},
        {"pids/y/memory.limit_in_bytes", "1000\n"}},
       300000000.0,
       "memory/memory.limit_in_bytes"},
      {"v1 and v2 both set: the smaller",
       "4:memory:/g\n0::/g\n",
       {{"memory/g/memory.limit_in_bytes", "300000000\n"}, {"g/memory.max", "200000000\n"}},
       200000000.0,
       "g/memory.max"},
      {"nothing set", "0::/a\n", {{"a/memory.max", "max\n"}}, 0.0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test_util::temp_dir mount;
    for (const auto& [path, text] : c.files) {
      std::filesystem::create_directories(std::filesystem::path(mount.file(path)).parent_path());
      test_util::write_file(mount.file(path), text);
    }
    std::string file;
    EXPECT_EQ(cgroup_memory_limit(c.proc_self_cgroup, mount.path(), &file), c.bytes);
    EXPECT_EQ(file, c.bytes > 0 ? mount.file(c.file) : "");
  }
}

}  // namespace
