// SPDX-License-Identifier: MIT
// main.cc - process entry.
//
// Before anything else the program may start itself again, once, with
// glibc's malloc told to ask for transparent huge pages
// (GLIBC_TUNABLES=glibc.malloc.hugetlb=1, which glibc reads only at start-up).
// A PNG, JPEG or TIFF job holds the file, the decoded picture, the resized
// picture and the encoder's buffers: tens of megabytes first touched 4 KiB
// at a time. A 1920x1080 JPEG enlarged to 3840x2160 took 21,000 page faults,
// at 12-16 us each on the virtual machines we measure on, and 3,700 with
// huge pages, with the same peak memory. Starting again costs a few
// milliseconds, so it is done only where it pays: for an input file of
// 256 KiB or more that is not a BMP (a 24-bit BMP streams through a few
// lines of memory). Nothing has been read or written by then, and the
// program starts as it would have, with the same arguments.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli/run.h"
#include "cli/verb.h"

namespace {

// The -i value parse_options would take: every keyword but the help and
// version ones takes the next argument; the last -i wins.
const char* input_argument(int argc, char** argv) {
  const char* input = nullptr;
  for (int i = 1; i + 1 < argc; ++i) {
    if (argv[i][0] != '-') continue;
    const char* keyword = argv[i] + 1;
    if (std::strcmp(keyword, "h") == 0 || std::strcmp(keyword, "help") == 0 ||
        std::strcmp(keyword, "-help") == 0 || std::strcmp(keyword, "version") == 0 ||
        std::strcmp(keyword, "-version") == 0)
      return nullptr;
    if (std::strcmp(keyword, "i") == 0) input = argv[i + 1];
    ++i;
  }
  return input;
}

// Whether `path` is a file whose decoding takes enough fresh memory for
// huge pages to pay: a regular file of 256 KiB or more not starting "BM".
bool worth_huge_pages(const char* path) {
  struct stat st;
  if (path == nullptr || std::strcmp(path, "-") == 0 || stat(path, &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size < (256 << 10))
    return false;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char head[2] = {};
  const bool bmp = read(fd, head, 2) == 2 && head[0] == 'B' && head[1] == 'M';
  close(fd);
  return !bmp;
}

// For `pellimor resize`: the input when there is one regular file to read,
// none for a batch (two inputs or more naming regular files). A batch
// reuses its buffers from one file to the next, so few pages are faulted in
// after its first file, and huge pages would only round up the pages it
// keeps: 3 MiB more at the peak on 40 PNGs of 640x480 enlarged to 200%,
// 2 MiB on 1920x1080 JPEGs halved. Words the verb would refuse restart
// nothing: the run only reports them.
const char* verb_input(int argc, char** argv) {
  const std::vector<std::string> words(argv + 2, argv + argc);
  verb_options options;
  std::string err;
  if (parse_verb(words, &options, &err) != 0 || options.help) return nullptr;
  const char* first = nullptr;
  int files = 0;
  for (const std::string& input : options.inputs) {
    struct stat st;
    if (stat(input.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (++files > 1) return nullptr;
    for (int i = 2; i < argc && first == nullptr; ++i)
      if (input == argv[i]) first = argv[i];
  }
  return first;
}

// The program's file by the name it has on disk: a process is named after
// the last part of the path it was started from, and started again from
// /proc/self/exe it would show as "exe" in ps and top and escape pkill.
// That name only when it is still the running file (not replaced since).
std::string own_path() {
  const char* const running = "/proc/self/exe";
  std::vector<char> name(4096);
  const ssize_t length = readlink(running, name.data(), name.size() - 1);
  if (length <= 0 || static_cast<std::size_t>(length) >= name.size() - 1) return running;
  name[static_cast<std::size_t>(length)] = '\0';
  struct stat named, own;
  if (stat(name.data(), &named) != 0 || stat(running, &own) != 0 || named.st_dev != own.st_dev ||
      named.st_ino != own.st_ino)
    return running;
  return name.data();
}

void restart_with_huge_pages(const char* input, char** argv) {
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  if (tunables != nullptr && std::strstr(tunables, "glibc.malloc.hugetlb") != nullptr) return;
  std::ifstream mode_file("/sys/kernel/mm/transparent_hugepage/enabled");
  const std::string mode(std::istreambuf_iterator<char>(mode_file), {});
  // "[always]" gives huge pages without asking, "[never]" not at all.
  if (mode.find("[madvise]") == std::string::npos) return;
  if (!worth_huge_pages(input)) return;
  const std::string value = tunables != nullptr && *tunables != '\0'
                                ? std::string(tunables) + ":glibc.malloc.hugetlb=1"
                                : std::string("glibc.malloc.hugetlb=1");
  if (setenv("GLIBC_TUNABLES", value.c_str(), 1) != 0) return;
  execv(own_path().c_str(), argv);
  // Not restarted: go on as we are (the variable is then only marked as
  // done, so no later start tries again).
}

}  // namespace

int main(int argc, char** argv) {
  // One run resizes one picture (or, in the verb, a batch that says so):
  // the engine keeps no working arrays for a next one, so they never sit
  // beside an encoder's buffers (JPEG holds every coefficient).
  pellimor::set_cache_limit(0);

  // "pellimor resize ...": the keyword interface never starts with a bare word.
  if (argc >= 2 && std::strcmp(argv[1], "resize") == 0) {
    restart_with_huge_pages(verb_input(argc, argv), argv);
    return run_verb(argc - 1, argv + 1);
  }
  restart_with_huge_pages(input_argument(argc, argv), argv);
  return run_resize(argc, argv);
}
