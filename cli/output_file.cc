// output_file.cc - write to a temporary file, then rename it over the target.
#include "cli/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

// The temporary file of the write in progress, for the signal handler.
char pending_path[4096];
volatile std::sig_atomic_t pending = 0;

const int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void remove_pending_and_reraise(int sig) {
  if (pending) unlink(pending_path);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

// Mode for a new file: what fopen would give it (0666 less the umask), or
// the mode of the file it replaces.
mode_t mode_for(const char* path) {
  struct stat st;
  if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

std::string describe(const char* what, const std::string& path) {
  return what + (" '" + path + "': ") + std::strerror(errno);
}

}  // namespace

bool write_bmp_file_atomically(const char* path, const channel_plane& blue,
                               const channel_plane& green, const channel_plane& red,
                               std::string* err) {
  std::string temp = std::string(path) + ".XXXXXX";
  if (temp.size() >= sizeof pending_path) {
    *err = std::string("output path too long: '") + path + "'";
    return false;
  }
  struct sigaction action = {}, saved[3];
  action.sa_handler = remove_pending_and_reraise;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < 3; ++i) sigaction(cleanup_signals[i], &action, &saved[i]);

  const int fd = mkstemp(temp.data());
  if (fd < 0) {
    *err = describe("cannot create a file beside", path);
  } else {
    std::memcpy(pending_path, temp.c_str(), temp.size() + 1);
    pending = 1;
  }
  bool ok = fd >= 0;
  if (ok && fchmod(fd, mode_for(path)) != 0) {
    *err = describe("cannot set the mode of", temp);
    ok = false;
  }
  std::FILE* file = ok ? fdopen(fd, "wb") : nullptr;
  if (ok && file == nullptr) {
    *err = describe("cannot open", temp);
    close(fd);
    ok = false;
  }
  if (ok) {
    std::string write_err;
    ok = write_output_bmp(file, blue, green, red, &write_err) && std::fflush(file) == 0;
    if (!ok) *err = "cannot write '" + temp + "': " + (write_err.empty() ? std::strerror(errno) : write_err);
    if (std::fclose(file) != 0 && ok) {
      *err = describe("cannot write", temp);
      ok = false;
    }
  }
  if (ok && std::rename(temp.c_str(), path) != 0) {
    *err = describe("cannot replace", path);
    ok = false;
  }
  if (!ok && fd >= 0) unlink(temp.c_str());
  pending = 0;
  for (int i = 0; i < 3; ++i) sigaction(cleanup_signals[i], &saved[i], nullptr);
  return ok;
}
