// output_file.cc - write to a temporary file, then rename it over the target.
#include "cli/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// The temporary file of the write in progress, for the signal handler.
char pending_path[4096];
volatile std::sig_atomic_t pending = 0;

// Signals that end the process; a write in progress removes its temporary
// file before the process goes.
const int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int cleanup_count = sizeof cleanup_signals / sizeof cleanup_signals[0];

extern "C" void remove_pending_and_reraise(int sig) {
  if (pending) unlink(pending_path);
  std::signal(sig, SIG_DFL);
  std::raise(sig);  // delivered, with the default action, once the handler returns
}

bool is_default(const struct sigaction& action) {
  return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_DFL;
}

// For the life of one write: the cleanup handler on each signal that would
// otherwise kill the process (a signal the caller ignores, as under nohup,
// stays ignored), and SIGXFSZ ignored so that a file-size limit is a write
// error (EFBIG) the caller reports and cleans up after, not a kill.
class signal_guard {
 public:
  signal_guard() {
    struct sigaction action = {};
    action.sa_handler = remove_pending_and_reraise;
    sigemptyset(&action.sa_mask);
    for (int sig : cleanup_signals) sigaddset(&action.sa_mask, sig);
    for (int i = 0; i < cleanup_count; ++i) {
      replaced_[i] = sigaction(cleanup_signals[i], nullptr, &saved_[i]) == 0 && is_default(saved_[i]) &&
                     sigaction(cleanup_signals[i], &action, nullptr) == 0;
    }
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    replaced_xfsz_ = sigaction(SIGXFSZ, nullptr, &saved_xfsz_) == 0 && is_default(saved_xfsz_) &&
                     sigaction(SIGXFSZ, &ignore, nullptr) == 0;
  }
  ~signal_guard() {
    for (int i = 0; i < cleanup_count; ++i)
      if (replaced_[i]) sigaction(cleanup_signals[i], &saved_[i], nullptr);
    if (replaced_xfsz_) sigaction(SIGXFSZ, &saved_xfsz_, nullptr);
  }
  signal_guard(const signal_guard&) = delete;
  signal_guard& operator=(const signal_guard&) = delete;

 private:
  struct sigaction saved_[cleanup_count], saved_xfsz_;
  bool replaced_[cleanup_count] = {};
  bool replaced_xfsz_ = false;
};

// Holds the cleanup signals back while the temporary file comes into being
// or goes, so the handler never sees a file that exists but is not recorded
// in pending_path, nor one recorded but already renamed.
class signal_block {
 public:
  signal_block() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : cleanup_signals) sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, &saved_);
  }
  ~signal_block() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  signal_block(const signal_block&) = delete;
  signal_block& operator=(const signal_block&) = delete;

 private:
  sigset_t saved_;
};

// Mode for a new file: what fopen would give it (0666 less the umask), or
// the mode of the file it replaces.
mode_t mode_for(const char* path) {
  struct stat st;
  if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 0777;  // no set-id bits
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

std::string describe(const char* what, const std::string& path) {
  return what + (" '" + path + "': ") + std::strerror(errno);
}

// The file a write to `path` lands in: a symbolic link is followed, as
// opening the path for writing would, so the link survives the rename.
std::string resolve_target(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  std::unique_ptr<char, decltype(&std::free)> real(realpath(path, nullptr), &std::free);
  return real ? std::string(real.get()) : std::string(path);  // a dangling link is replaced
}

}  // namespace

struct pending_file::signals {
  signal_guard guard;
};

pending_file::pending_file() = default;

pending_file::~pending_file() { discard(); }

bool pending_file::open(const char* target, std::string* err) {
  target_ = resolve_target(target);
  std::string temp = target_ + ".XXXXXX";
  if (temp.size() >= sizeof pending_path) {
    *err = "output path too long: '" + target_ + "'";
    return false;
  }
  signals_ = std::make_unique<signals>();
  {
    signal_block block;
    fd_ = mkstemp(temp.data());
    if (fd_ < 0) {
      *err = describe("cannot create a file beside", target_);
      signals_.reset();
      return false;
    }
    temp_ = temp;
    std::memcpy(pending_path, temp_.c_str(), temp_.size() + 1);
    pending = 1;
  }
  if (fchmod(fd_, mode_for(target_.c_str())) != 0) {
    *err = describe("cannot set the mode of", temp_);
    discard();
    return false;
  }
  return true;
}

bool pending_file::commit(std::string* err) {
  // No fsync: like any other tool's output, the data reaches the disk when
  // the system writes it back; what the rename guarantees is that no run,
  // failed or interrupted, ever leaves a partial file under the target's name.
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) {
    *err = describe("cannot write", temp_);
    discard();
    return false;
  }
  signal_block block;
  if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
    *err = describe("cannot replace", target_);
    discard();
    return false;
  }
  temp_.clear();
  pending = 0;
  signals_.reset();
  return true;
}

void pending_file::discard() {
  if (temp_.empty()) return;
  signal_block block;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  unlink(temp_.c_str());
  temp_.clear();
  pending = 0;
  signals_.reset();
}

bool write_bmp_file_atomically(const char* path, const channel_plane& blue, const channel_plane& green,
                               const channel_plane& red, std::string* err) {
  pending_file out;
  if (!out.open(path, err)) return false;
  std::FILE* file = fdopen(dup(out.fd()), "wb");
  if (file == nullptr) {
    *err = describe("cannot open", out.temp_path());
    return false;
  }
  std::string write_err;
  bool ok = write_output_bmp(file, blue, green, red, &write_err);
  if (!ok) *err = "cannot write '" + out.temp_path() + "': " + write_err;
  if (std::fclose(file) != 0 && ok) {
    *err = describe("cannot write", out.temp_path());
    ok = false;
  }
  return ok && out.commit(err);
}
