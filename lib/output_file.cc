// SPDX-License-Identifier: MIT
// output_file.cc - write a file with no name, then link it in over the target.
#include "lib/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

namespace pellimor::detail {

namespace {

// The named temporary files of the writes in progress, for the signal
// handler: one slot each, a path and a state (lock-free atomics may be read
// in a signal handler). Several threads may write files at once.
constexpr int pending_slots = 32;
constexpr int slot_free = 0, slot_creating = 1, slot_named = 2;
char pending_paths[pending_slots][4096];
std::atomic<int> pending_used[pending_slots];
// Set by the handler once the process is ending: no new name may come into
// being after that, as the handler could not see it in time.
std::atomic<bool> process_ending{false};

extern "C" void pellimor_remove_pending_and_reraise(int sig) {
  process_ending.store(true);
  for (int i = 0; i < pending_slots; ++i) {
    // A file another thread is creating this instant (its slot taken
    // before it saw the process ending) is waited for, a little.
    for (int waited = 0; pending_used[i].load() == slot_creating && waited < 2000; ++waited) {
      const struct timespec pause = {0, 50000};
      nanosleep(&pause, nullptr);
    }
    if (pending_used[i].load() != slot_free) unlink(pending_paths[i]);
  }
  std::signal(sig, SIG_DFL);
  std::raise(sig);  // delivered, with the default action, once the handler returns
}

// Signals whose default action ends the process. SIGXFSZ is left out: it
// is ignored while a file is written.
bool ends_the_process(int sig) {
  switch (sig) {
    case SIGKILL:
    case SIGSTOP:
    case SIGCHLD:
    case SIGCONT:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGURG:
    case SIGWINCH:
    case SIGXFSZ:
      return false;
  }
  return sig < 32 || sig >= SIGRTMIN;  // 32 and 33 belong to the C library
}

bool is_default(const struct sigaction& action) {
  return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_DFL;
}

// The dispositions writes change, shared by every write in progress: the
// first write in installs them, the last one out puts back what was there.
std::mutex disposition_lock;
int writes = 0, named_writes = 0;
struct sigaction saved_actions[NSIG];
bool replaced_actions[NSIG];

// Installs `action` for `sig` where the caller left the default.
void replace_default(int sig, const struct sigaction& action) {
  replaced_actions[sig] = sigaction(sig, nullptr, &saved_actions[sig]) == 0 &&
                          is_default(saved_actions[sig]) && sigaction(sig, &action, nullptr) == 0;
}

void put_back(int sig) {
  if (replaced_actions[sig]) sigaction(sig, &saved_actions[sig], nullptr);
  replaced_actions[sig] = false;
}

// For the life of one write: SIGXFSZ ignored, so that a file-size limit is
// a write error (EFBIG) the caller reports and cleans up after, not a kill;
// and with `cleanup`, the handler that removes the named temporary files on
// every signal that would otherwise end the process. A signal the caller
// ignores (as under nohup) or handles stays as it is.
class signal_guard {
 public:
  explicit signal_guard(bool cleanup) : cleanup_(cleanup) {
    std::lock_guard<std::mutex> hold(disposition_lock);
    if (writes++ == 0) {
      struct sigaction ignore = {};
      ignore.sa_handler = SIG_IGN;
      sigemptyset(&ignore.sa_mask);
      replace_default(SIGXFSZ, ignore);
    }
    if (cleanup_ && named_writes++ == 0) {
      struct sigaction action = {};
      action.sa_handler = pellimor_remove_pending_and_reraise;
      sigfillset(&action.sa_mask);
      for (int sig = 1; sig < NSIG; ++sig)
        if (ends_the_process(sig)) replace_default(sig, action);
    }
  }
  ~signal_guard() {
    std::lock_guard<std::mutex> hold(disposition_lock);
    if (cleanup_ && --named_writes == 0)
      for (int sig = 1; sig < NSIG; ++sig)
        if (ends_the_process(sig)) put_back(sig);
    if (--writes == 0) put_back(SIGXFSZ);
  }
  signal_guard(const signal_guard&) = delete;
  signal_guard& operator=(const signal_guard&) = delete;

 private:
  bool cleanup_;
};

// Records `path` in a free slot for the signal handler, before the file
// of that name is made; named() follows once it is. -1 when all slots are
// taken or the path does not fit; -2 (the file must not be made) once the
// process is ending.
int take_slot(const std::string& path) {
  if (path.size() >= sizeof pending_paths[0]) return -1;
  std::lock_guard<std::mutex> hold(disposition_lock);
  for (int i = 0; i < pending_slots; ++i) {
    if (pending_used[i].load() != slot_free) continue;
    std::memcpy(pending_paths[i], path.c_str(), path.size() + 1);
    pending_used[i].store(slot_creating);
    // Either the handler set this before the slot was seen, and nothing
    // is made, or it sees the slot and waits for the file.
    if (process_ending.load()) {
      pending_used[i].store(slot_free);
      return -2;
    }
    return i;
  }
  return -1;
}

void named(int slot) { pending_used[slot].store(slot_named); }

void free_slot(int slot) {
  if (slot >= 0) pending_used[slot].store(slot_free);
}

// Holds this thread's signals back while a named file comes into being or
// goes, so that no handler this thread runs sees a file that exists but is
// not recorded in its slot, nor one recorded but already renamed.
class signal_block {
 public:
  signal_block() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &saved_);
  }
  ~signal_block() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  signal_block(const signal_block&) = delete;
  signal_block& operator=(const signal_block&) = delete;

 private:
  sigset_t saved_;
};

// A failure with the system's reason. Messages go after the target's name,
// so they never name it again, nor the temporary file, which is gone by the
// time anyone reads them.
std::string describe(const char* what) { return what + std::string(": ") + std::strerror(errno); }

std::string folder_of(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? "." : folder;
}

// The file a write to `path` lands in, in *target: a symbolic link is
// followed, as opening the path for writing would, so the link survives
// the rename; a dangling one is itself replaced. Links are followed one by
// one under the rule the kernel applies when it opens a path with
// fs.protected_symlinks on: a link in a sticky folder that anyone may
// write in (/tmp) is followed only when it belongs to the caller or to the
// folder's owner. Without it, anyone who can write in /tmp could point a
// link at any file and have a run as root replace that file. Folders on
// the way are not resolved here: the kernel meets them, under its own
// rule, when the file is created and renamed. False with *err.
bool resolve_target(const char* path, std::string* target, std::string* err) {
  std::string at = path;
  for (int links = 0;; ++links) {
    struct stat st;
    if (lstat(at.c_str(), &st) != 0) {
      *target = links > 0 && errno == ENOENT ? std::string(path) : at;
      return true;
    }
    if (!S_ISLNK(st.st_mode)) {
      *target = at;
      return true;
    }
    if (links == 40) {
      errno = ELOOP;
      *err = describe("cannot be written");
      return false;
    }
    const std::string folder = folder_of(at);
    struct stat dir;
    if (stat(folder.c_str(), &dir) == 0 && (dir.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH) &&
        st.st_uid != geteuid() && st.st_uid != dir.st_uid) {
      *err = "is a link owned by someone else in a sticky folder anyone may write in: not followed";
      return false;
    }
    std::vector<char> text(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 0) + PATH_MAX);
    const ssize_t n = readlink(at.c_str(), text.data(), text.size());
    if (n <= 0) {
      *err = describe("cannot be written");
      return false;
    }
    const std::string next(text.data(), static_cast<std::size_t>(n));
    at = next[0] == '/' ? next : folder + "/" + next;
  }
}

// The rule of check_output_target, for a target already resolved.
bool check_resolved(const std::string& target, std::string* err) {
  struct stat st;
  const bool exists = stat(target.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) {
    *err = std::string("cannot be written: ") + std::strerror(errno);
    return false;
  }
  if (exists && S_ISDIR(st.st_mode)) {
    *err = "is a folder, not a file";
    return false;
  }
  if (exists && !S_ISREG(st.st_mode)) {
    *err = "is not a regular file";
    return false;
  }
  // The new file is made in the folder and renamed there.
  if (faccessat(AT_FDCWD, folder_of(target).c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    *err = std::string("cannot write in its folder: ") + std::strerror(errno);
    return false;
  }
  if (exists && ((st.st_mode & 0222) == 0 || faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)) {
    *err = (st.st_mode & 0222) == 0 ? std::string("is read-only: not replaced")
                                    : std::string("is not writable: ") + std::strerror(errno);
    return false;
  }
  return true;
}

// Mode for a new file: what fopen would give it (0666 less the umask), or
// the mode of the file it replaces, without set-id bits.
mode_t mode_for(const struct stat* replaced) {
  if (replaced != nullptr) return replaced->st_mode & 0777;
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// `path` + "." + six random letters and digits.
std::string random_name(const std::string& path) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device random;
  std::string name = path + ".";
  for (int i = 0; i < 6; ++i) name += letters[random() % (sizeof letters - 1)];
  return name;
}

// Gives the unnamed file open as `fd` a name in `folder` that nothing had,
// stored in *name. False with errno set on failure.
bool link_unnamed(int fd, const std::string& folder, const std::string& base, std::string* name, int* slot) {
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = random_name(folder + "/" + base);
    // Recorded before it exists, so that a signal another thread takes
    // from here on removes it.
    *slot = take_slot(candidate);
    if (*slot < 0) {
      errno = *slot == -2 ? EINTR : EMFILE;
      *slot = -1;
      return false;
    }
    // Through /proc where it is mounted; AT_EMPTY_PATH needs a privilege.
    if (linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
        (errno == ENOENT && linkat(fd, "", AT_FDCWD, candidate.c_str(), AT_EMPTY_PATH) == 0)) {
      named(*slot);
      *name = candidate;
      return true;
    }
    const int reason = errno;
    free_slot(*slot);
    *slot = -1;
    errno = reason;
    if (errno != EEXIST) return false;
  }
  return false;
}

}  // namespace

bool check_output_target(const char* target, std::string* err) {
  std::string resolved;
  return resolve_target(target, &resolved, err) && check_resolved(resolved, err);
}

struct pending_file::signals {
  explicit signals(bool cleanup) : guard(cleanup) {}
  signal_guard guard;
};

pending_file::pending_file() = default;

pending_file::~pending_file() { discard(); }

bool pending_file::open(const char* target, std::string* err, temp_kind kind) {
  if (!resolve_target(target, &target_, err) || !check_resolved(target_, err)) return false;
  struct stat replaced;
  const bool replacing = stat(target_.c_str(), &replaced) == 0;
  const std::string folder = folder_of(target_);
  if (kind == temp_kind::unnamed_where_possible) {
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    unnamed_ = fd_ >= 0;
  }
  if (unnamed_) {
    signals_ = std::make_unique<signals>(false);
  } else {
    if (target_.size() + 8 > sizeof pending_paths[0]) {
      *err = "the path is too long";
      return false;
    }
    signals_ = std::make_unique<signals>(true);
    signal_block block;
    // The name is recorded before the file exists, so that a signal taken
    // by another thread at any moment removes it.
    errno = EEXIST;
    for (int attempt = 0; attempt < 100 && fd_ < 0 && errno == EEXIST; ++attempt) {
      const std::string temp = random_name(target_);
      slot_ = take_slot(temp);
      if (slot_ < 0) {
        *err = slot_ == -2 ? "the process is ending" : "too many files are being written at once beside it";
        slot_ = -1;
        signals_.reset();
        return false;
      }
      fd_ = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd_ >= 0) {
        named(slot_);
        temp_ = temp;
      } else {
        const int reason = errno;
        free_slot(slot_);
        slot_ = -1;
        errno = reason;
      }
    }
    if (fd_ < 0) {
      *err = describe("cannot create a new file beside it");
      signals_.reset();
      return false;
    }
  }
  // Owner and group first: a change of owner clears set-id bits, and those
  // are not kept anyway. Someone else's file keeps at least its group where
  // the caller belongs to it; otherwise the new file is the caller's.
  if (replacing && fchown(fd_, replaced.st_uid, replaced.st_gid) != 0) {
    [[maybe_unused]] const int ignored = fchown(fd_, static_cast<uid_t>(-1), replaced.st_gid);
  }
  if (fchmod(fd_, mode_for(replacing ? &replaced : nullptr)) != 0) {
    *err = describe("cannot set the new file's mode");
    discard();
    return false;
  }
  return true;
}

bool pending_file::commit(std::string* err) {
  // No fsync: like any other tool's output, the data reaches the disk when
  // the system writes it back; what the rename guarantees is that no run,
  // failed or interrupted, ever leaves a partial file under the target's name.
  // Nothing on this thread may interrupt from here on: an unnamed file gets
  // its name here. A signal another thread of the process takes (a batch's
  // other files, the engine's workers) is not held back by that, so from
  // now to the rename the name is handled as a named temporary file's is:
  // recorded for the handler that removes it before the process ends.
  signal_block block;
  if (unnamed_) {
    signals_ = std::make_unique<signals>(true);
    if (!link_unnamed(fd_, folder_of(target_), std::filesystem::path(target_).filename().string(), &temp_,
                      &slot_)) {
      *err = errno == EMFILE ? std::string("too many files are being written at once beside it")
                             : describe("cannot create a new file beside it");
      discard();
      return false;
    }
  }
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) {
    *err = describe("cannot write");
    discard();
    return false;
  }
  if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
    *err = describe("cannot replace it");
    discard();
    return false;
  }
  temp_.clear();
  free_slot(slot_);
  slot_ = -1;
  signals_.reset();
  return true;
}

void pending_file::discard() {
  signal_block block;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!temp_.empty()) unlink(temp_.c_str());
  temp_.clear();
  free_slot(slot_);
  slot_ = -1;
  signals_.reset();
}

bool write_bmp_file_atomically(const char* path, const channel_plane& blue, const channel_plane& green,
                               const channel_plane& red, std::string* err) {
  pending_file out;
  if (!out.open(path, err)) return false;
  const int copy = dup(out.fd());
  std::FILE* file = copy < 0 ? nullptr : fdopen(copy, "wb");
  if (file == nullptr) {
    *err = describe("cannot write");
    if (copy >= 0) close(copy);
    return false;
  }
  std::string write_err;
  bool ok = write_output_bmp(file, blue, green, red, &write_err);
  if (!ok) *err = "cannot write: " + write_err;
  if (std::fclose(file) != 0 && ok) {
    *err = describe("cannot write");
    ok = false;
  }
  return ok && out.commit(err);
}

}  // namespace pellimor::detail
