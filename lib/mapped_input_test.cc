// SPDX-License-Identifier: MIT
#include "lib/mapped_input.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

// A file of `pages` pages of 0x5a, mapped; unlinked at once.
struct mapped_file {
  int fd = -1;
  std::size_t length = 0;
  const volatile unsigned char* bytes = nullptr;
  explicit mapped_file(std::size_t pages) {
    char name[] = "/tmp/pellimor-mapped-XXXXXX";
    fd = mkstemp(name);
    unlink(name);
    length = pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::string fill(length, '\x5a');
    EXPECT_EQ(write(fd, fill.data(), fill.size()), static_cast<ssize_t>(length));
    void* at = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
    EXPECT_NE(at, MAP_FAILED);
    bytes = static_cast<const volatile unsigned char*>(at);
  }
  ~mapped_file() {
    munmap(const_cast<unsigned char*>(bytes), length);
    close(fd);
  }
};

TEST(MappedInput, PagesPastAShrunkFileReadAsZerosAndSpoilTheMapping) {
  mapped_file file(4);
  const int watch = pellimor::watch_mapping(const_cast<unsigned char*>(file.bytes), file.length);
  ASSERT_GE(watch, 0);
  EXPECT_EQ(file.bytes[file.length - 1], 0x5a);
  EXPECT_FALSE(pellimor::mapping_spoiled(watch));  // reading a whole file spoils nothing
  // Pages read before and dropped, and pages never read, come from the file again.
  madvise(const_cast<unsigned char*>(file.bytes), file.length, MADV_DONTNEED);
  ASSERT_EQ(ftruncate(file.fd, static_cast<off_t>(file.length / 2)), 0);
  EXPECT_EQ(file.bytes[0], 0x5a);
  EXPECT_FALSE(pellimor::mapping_spoiled(watch));
  EXPECT_EQ(file.bytes[file.length / 2], 0);
  EXPECT_EQ(file.bytes[file.length - 1], 0);
  EXPECT_TRUE(pellimor::mapping_spoiled(watch));
  pellimor::unwatch_mapping(watch);

  // A slot given back starts clean for the next mapping.
  mapped_file next(1);
  const int again = pellimor::watch_mapping(const_cast<unsigned char*>(next.bytes), next.length);
  ASSERT_GE(again, 0);
  EXPECT_FALSE(pellimor::mapping_spoiled(again));
  pellimor::unwatch_mapping(again);
}

// Reads a page past the end of a shrunk file that is not watched, while
// another mapping is.
void read_unwatched_page() {
  mapped_file watched(1);
  mapped_file other(2);
  if (pellimor::watch_mapping(const_cast<unsigned char*>(watched.bytes), watched.length) < 0 ||
      ftruncate(other.fd, 0) != 0)
    std::_Exit(3);
  (void)other.bytes[0];
  std::_Exit(0);
}

TEST(MappedInput, AFaultOutsideEveryWatchedMappingStillEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Killed by SIGBUS, or ended by a sanitizer's own handler reporting it
  // (an abort, or an exit status of its own): anything but carrying on.
  const auto ended_by_the_fault = [](int status) {
    return !(WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 3));
  };
  EXPECT_EXIT(read_unwatched_page(), ended_by_the_fault, "");
}

}  // namespace
