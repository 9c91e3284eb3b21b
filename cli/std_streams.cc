// SPDX-License-Identifier: MIT
// std_streams.cc - SIGPIPE ignored, descriptors 0-2 held open, errors checked.
#include "cli/std_streams.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Flushes `stream`: true when every write to it went through. Otherwise
// *reason says why: the C library forgets the error of a failed flush, so
// one byte, a line break, goes straight to the descriptor to ask again
// (EPIPE, ENOSPC, EBADF); should it go through, the cut output only ends
// with a line break.
bool stream_ok(std::FILE* stream, const char** reason) {
  errno = 0;
  const bool flushed = std::fflush(stream) == 0;
  if (flushed && !std::ferror(stream)) return true;
  if (flushed) errno = write(fileno(stream), "\n", 1) < 0 ? errno : 0;
  *reason = errno != 0 ? std::strerror(errno) : "write error";
  return false;
}

}  // namespace

void prepare_standard_streams() {
  struct sigaction old;
  if (sigaction(SIGPIPE, nullptr, &old) == 0 && !(old.sa_flags & SA_SIGINFO) && old.sa_handler == SIG_DFL)
    signal(SIGPIPE, SIG_IGN);
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0 && null != fd) {  // the lowest free number is fd itself
      dup2(null, fd);
      close(null);
    }
  }
}

int check_standard_streams(int status) {
  const char *out_reason, *err_reason;
  const bool out_ok = stream_ok(stdout, &out_reason);
  const bool err_ok = stream_ok(stderr, &err_reason);
  if (!out_ok && err_ok) std::fprintf(stderr, "pellimor: standard output: %s\n", out_reason);
  if (!err_ok && out_ok) {
    std::fprintf(stdout, "pellimor: standard error: %s\n", err_reason);
    std::fflush(stdout);
  }
  return out_ok && err_ok ? status : status != 0 ? status : 1;
}
