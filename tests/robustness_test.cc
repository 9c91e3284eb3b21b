// robustness_test.cc - the built program on awkward inputs and targets:
// every header form, malformed files, folders and disks that refuse the
// output, a file-size limit, the input as its own target, oversized
// requests and a signal in the middle of the write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/test_util.h"

#if defined(__SANITIZE_ADDRESS__)
#define PELLIMOR_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PELLIMOR_ASAN 1
#endif
#endif

namespace {

using test_util::bmp_form;
using test_util::put_le;
using test_util::read_file;
using test_util::run_program;
using test_util::run_result;
using test_util::temp_dir;
using test_util::write_file;
namespace field = test_util::bmp_field;
using names = std::vector<std::string>;

std::string image_bytes(std::int32_t width, std::int32_t height, const bmp_form& form = {}) {
  return test_util::bmp_bytes(test_util::random_plane(width, height, 1),
                              test_util::random_plane(width, height, 2),
                              test_util::random_plane(width, height, 3), form);
}

bool names_file(const run_result& r, const std::string& path) {
  return r.err.find("pellimor: " + path + ": ") != std::string::npos;
}

// A shell prefix that caps the program's address space, so that a run
// which tried to allocate what it should have refused fails at once rather
// than eating the machine's memory. ASan reserves terabytes of address
// space up front, so its builds go without.
std::string memory_cap() {
#ifdef PELLIMOR_ASAN
  return "";
#else
  return "ulimit -v 4194304";  // 4 GiB, in KiB
#endif
}

// A tmpfs mounted on a folder for the life of the object. Needs root (or
// CAP_SYS_ADMIN); mounted() says whether it worked.
class tmpfs_mount {
 public:
  tmpfs_mount(const std::string& folder, std::string options)
      : folder_(folder), options_(std::move(options)) {
    std::filesystem::create_directory(folder_);
    mounted_ = mount("tmpfs", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options_.c_str()) == 0;
    if (!mounted_) why_ = std::strerror(errno);
  }
  ~tmpfs_mount() {
    if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
  }
  tmpfs_mount(const tmpfs_mount&) = delete;
  tmpfs_mount& operator=(const tmpfs_mount&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }
  bool make_read_only() {
    return mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
                 options_.c_str()) == 0;
  }

 private:
  std::string folder_, options_, why_;
  bool mounted_ = false;
};

// Writes to `path` until the file system has no room left.
void fill_up(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  const std::string chunk(4096, 'f');
  ssize_t n;
  while ((n = write(fd, chunk.data(), chunk.size())) > 0) {
  }
  const int error = errno;
  close(fd);
  ASSERT_EQ(error, ENOSPC);
}

TEST(Robustness, EveryHeaderFormGivesTheSameOutput) {
  for (const char* engine : {"fast", "direct"}) {
    temp_dir dir;
    const std::string args = std::string(" -sizexminus 3 -sizexminusy -2 -engine ") + engine;
    write_file(dir.file("in.bmp"), image_bytes(7, 6));
    ASSERT_EQ(run_program(dir, "-i in.bmp -o plain" + args).status, 0);
    const std::string expected = read_file(dir.file("plain.bmp"));
    ASSERT_EQ(expected.size(), 54u + 32 * 4);  // 10 x 4: rows of 30 bytes padded to 32
    for (const auto& c : test_util::every_form) {
      SCOPED_TRACE(std::string(c.name) + ", " + engine);
      write_file(dir.file("in.bmp"), image_bytes(7, 6, c.form));
      const run_result r = run_program(dir, "-i in.bmp -o out" + args);
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_TRUE(read_file(dir.file("out.bmp")) == expected);
    }
  }
}

TEST(Robustness, MalformedInputsAreRefusedWithoutAnOutputFile) {
  const std::string good = image_bytes(4, 3);  // 54 + 3 rows of 12 bytes
  const auto set = [&](std::size_t at, std::int64_t value, int bytes) {
    std::string s = good;
    put_le(&s, at, static_cast<std::uint64_t>(value), bytes);
    return s;
  };
  const struct {
    const char* name;
    std::string input;    // empty with `folder`: see there
    bool short_data;      // "input file size err!!" on standard output
    bool folder = false;  // the input is a folder
  } cases[] = {
      {"wrong signature", "BA" + good.substr(2), false},
      {"8 bits per pixel", set(field::bits, 8, 2), false},
      {"RLE8 compression", set(field::compression, 1, 4), false},
      {"width 0", set(field::width, 0, 4), false},
      {"height 0", set(field::height, 0, 4), false},
      {"negative width", set(field::width, -4, 4), false},
      {"offset inside the headers", set(field::offset, 40, 4), false},
      {"offset past the end", set(field::offset, 1000, 4), false},
      {"unknown info header size", set(field::info_size, 96, 4), false},
      {"empty file", "", true},
      {"truncated header", good.substr(0, 30), true},
      {"truncated pixels", good.substr(0, good.size() - 1), true},
      {"size field larger than the file", set(field::size, good.size() + 1, 4), true},
      {"a folder", "", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    if (c.folder) {
      std::filesystem::create_directory(dir.file("in.bmp"));
    } else {
      write_file(dir.file("in.bmp"), c.input);
    }
    const run_result r = run_program(dir, "-i in.bmp -o out -sizexminus 2");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(names_file(r, "in.bmp")) << r.err;
    EXPECT_EQ(r.out.find("input file size err!!\n") != std::string::npos, c.short_data) << r.out;
    EXPECT_EQ(dir.entries(), names{"in.bmp"});  // no out.bmp, no temporary file
  }
}

TEST(Robustness, OutputBesideAFileIsRefused) {
  temp_dir dir;
  write_file(dir.file("in.bmp"), image_bytes(4, 3));
  write_file(dir.file("plain"), "not a folder");
  const run_result r = run_program(dir, "-i in.bmp -o plain/out");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(names_file(r, "plain/out.bmp")) << r.err;
  EXPECT_EQ(dir.entries(), (names{"in.bmp", "plain"}));
  EXPECT_EQ(read_file(dir.file("plain")), "not a folder");
}

TEST(Robustness, ReadOnlyFileSystemLeavesTheTargetAlone) {
  temp_dir dir;
  write_file(dir.file("in.bmp"), image_bytes(4, 3));
  tmpfs_mount disk(dir.file("ro"), "size=1m");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.why();
  write_file(dir.file("ro/out.bmp"), "old target");
  ASSERT_TRUE(disk.make_read_only()) << std::strerror(errno);
  const run_result r = run_program(dir, "-i in.bmp -o ro/out -sizexminus 5");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(names_file(r, "ro/out.bmp")) << r.err;
  EXPECT_EQ(read_file(dir.file("ro/out.bmp")), "old target");
}

TEST(Robustness, FullDiskLeavesTheTargetAlone) {
  const struct {
    const char* name;
    const char* size_args;
  } cases[] = {
      {"output of 70 bytes, refused at the flush", "-sizexminus -2 -sizexminusy -1"},
      {"output of 480 KB, refused while writing rows", "-sizexminus 396 -sizexminusy 397"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    write_file(dir.file("in.bmp"), image_bytes(4, 3));
    tmpfs_mount disk(dir.file("disk"), "size=256k");
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.why();
    write_file(dir.file("disk/out.bmp"), "old target");
    fill_up(dir.file("disk/filler"));
    const run_result r = run_program(dir, std::string("-i in.bmp -o disk/out ") + c.size_args);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(names_file(r, "disk/out.bmp")) << r.err;
    EXPECT_NE(r.err.find(std::strerror(ENOSPC)), std::string::npos) << r.err;
    EXPECT_EQ(read_file(dir.file("disk/out.bmp")), "old target");
    EXPECT_EQ(temp_dir::entries_of(dir.file("disk")), (names{"filler", "out.bmp"}));
  }
}

TEST(Robustness, FileSizeLimitIsAWriteErrorNotAKill) {
  // dash counts the limit in 512-byte blocks, bash in 1024: 400 blocks is
  // at most 400 KiB, below each output and above what the run prints.
  const struct {
    const char* name;
    const char* size_args;
  } cases[] = {
      {"480 KB output", "-sizexminus 396 -sizexminusy 397"},
      {"1.2 MB output", "-sizexminus 996 -sizexminusy 397"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    write_file(dir.file("in.bmp"), image_bytes(4, 3));
    write_file(dir.file("out.bmp"), "old target");
    const run_result r = run_program(dir, std::string("-i in.bmp -o out ") + c.size_args, "ulimit -f 400");
    EXPECT_EQ(r.status, 1);  // not killed by SIGXFSZ
    EXPECT_TRUE(names_file(r, "out.bmp")) << r.err;
    EXPECT_EQ(read_file(dir.file("out.bmp")), "old target");
    EXPECT_EQ(dir.entries(), (names{"in.bmp", "out.bmp"}));
  }
}

TEST(Robustness, InputReplacedByItsOwnResult) {
  const struct {
    const char* name;
    const char* args;
  } cases[] = {
      {"grown", "-sizexminus 5 -sizexminusy 3"},
      {"shrunk", "-sizexminus -3 -sizexminusy -2"},
      {"same size, direct sums", "-engine direct"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    const std::string input = image_bytes(9, 7, {124, true});
    write_file(dir.file("copy.bmp"), input);
    ASSERT_EQ(run_program(dir, std::string("-i copy.bmp -o expected ") + c.args).status, 0);
    write_file(dir.file("img.bmp"), input);
    const run_result r = run_program(dir, std::string("-i img.bmp -o img ") + c.args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir.file("img.bmp")) == read_file(dir.file("expected.bmp")));
    EXPECT_EQ(dir.entries(), (names{"copy.bmp", "expected.bmp", "img.bmp"}));
  }
}

TEST(Robustness, ReplacingKeepsLinksAndPermissionsButNotSetIdBits) {
  temp_dir dir;
  write_file(dir.file("in.bmp"), image_bytes(5, 4));
  ASSERT_EQ(run_program(dir, "-i in.bmp -o expected -sizexminus 2").status, 0);
  const std::string expected = read_file(dir.file("expected.bmp"));

  // A link to the output is followed: the file it names gets the result.
  std::filesystem::create_directory(dir.file("real"));
  write_file(dir.file("real/out.bmp"), "old");
  std::filesystem::create_symlink("real/out.bmp", dir.file("out.bmp"));
  ASSERT_EQ(run_program(dir, "-i in.bmp -o out -sizexminus 2").status, 0);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("out.bmp")));
  EXPECT_TRUE(read_file(dir.file("real/out.bmp")) == expected);
  EXPECT_EQ(dir.entries(), (names{"expected.bmp", "in.bmp", "out.bmp", "real"}));

  // An existing file keeps its permissions, less set-user and set-group id.
  write_file(dir.file("mode.bmp"), "old");
  ASSERT_EQ(chmod(dir.file("mode.bmp").c_str(), 06741), 0);
  ASSERT_EQ(run_program(dir, "-i in.bmp -o mode -sizexminus 2").status, 0);
  struct stat st;
  ASSERT_EQ(stat(dir.file("mode.bmp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0741u);
  EXPECT_TRUE(read_file(dir.file("mode.bmp")) == expected);
}

TEST(Robustness, OversizedRequestsAreRefusedBeforeAllocating) {
  const std::string tiny = image_bytes(2, 2);
  std::string claims_huge = tiny;  // 2^31-1 x 2^31-1 in 70 bytes
  put_le(&claims_huge, field::width, INT32_MAX, 4);
  put_le(&claims_huge, field::height, INT32_MAX, 4);
  std::string core_claims_huge = image_bytes(2, 2, {12});
  put_le(&core_claims_huge, field::core_width, 65535, 2);
  put_le(&core_claims_huge, field::core_height, 65535, 2);
  const struct {
    const char* name;
    const std::string& input;
    const char* args;
    bool short_data;
  } cases[] = {
      {"width 2 + 2000000000", tiny, "-sizexminus 2000000000", false},
      {"height 2 + 2147483647", tiny, "-sizexminusy 2147483647", false},
      {"70002 x 70002, 14.7 GB", tiny, "-sizexminus 70000 -sizexminusy 70000", false},
      {"70002 x 70002, direct sums", tiny, "-sizexminus 70000 -sizexminusy 70000 -engine direct", false},
      {"header claiming 2^31-1 x 2^31-1", claims_huge, "-sizexminus 1", true},
      {"core header claiming 65535 x 65535", core_claims_huge, "-sizexminus 1", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    write_file(dir.file("in.bmp"), c.input);
    const run_result r = run_program(dir, std::string("-i in.bmp -o out ") + c.args, memory_cap());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(names_file(r, "in.bmp")) << r.err;
    EXPECT_EQ(r.err.find("out of memory"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("input file size err!!\n") != std::string::npos, c.short_data) << r.out;
    EXPECT_EQ(dir.entries(), names{"in.bmp"});
  }
}

TEST(Robustness, SizesNeedingMoreMemoryThanTheMachineHasAreRefused) {
  // 37000 x 37000 fits the size field (4.1 GB); the direct sums hold every
  // plane as doubles besides, about 37 GB in all.
  const double memory =
      static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE));
  if (memory > 32.0 * (1 << 30)) GTEST_SKIP() << "this machine has the memory for it";
  temp_dir dir;
  write_file(dir.file("in.bmp"), image_bytes(1, 1));
  const run_result r =
      run_program(dir, "-i in.bmp -o out -sizexminus 36999 -sizexminusy 36999 -engine direct", memory_cap());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(names_file(r, "in.bmp")) << r.err;
  EXPECT_EQ(r.err.find("out of memory"), std::string::npos) << r.err;
  EXPECT_EQ(dir.entries(), names{"in.bmp"});
}

// The program started in `folder` with `args`, its output thrown away, all
// signals at their default action but `ignored`.
pid_t start_program(const std::string& folder, const std::vector<std::string>& args, int ignored) {
  std::vector<std::string> words = {PELLIMOR_BINARY};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {  // only async-signal-safe calls from here on
    const int null = open("/dev/null", O_RDWR);
    if (chdir(folder.c_str()) != 0 || null < 0) _exit(127);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, sig == ignored ? SIG_IGN : SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Waits, watching `inotify`, until a file whose name starts with `prefix`
// is created; false when the child `pid` ends first or nothing comes in a
// minute.
bool wait_for_file(int inotify, const std::string& prefix, pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  alignas(inotify_event) char buffer[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p = {inotify, POLLIN, 0};
    if (poll(&p, 1, 100) == 1) {
      const ssize_t n = read(inotify, buffer, sizeof buffer);
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0 && std::string(event->name).rfind(prefix, 0) == 0) return true;
        at += sizeof(inotify_event) + event->len;
      }
    } else if (waitpid(pid, nullptr, WNOHANG) == pid) {
      return false;
    }
  }
  return false;
}

// What became of a run that got `sig` as soon as its temporary file
// appeared; the child is reaped.
struct interrupted_run {
  bool signalled_in_time = false;  // the temporary file appeared and the signal went
  int status = 0;                  // from waitpid
};

interrupted_run interrupt_write(const temp_dir& dir, const std::vector<std::string>& args, int sig,
                                int ignored) {
  interrupted_run run;
  const int inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotify < 0 || inotify_add_watch(inotify, dir.path().c_str(), IN_CREATE) < 0) {
    ADD_FAILURE() << "inotify: " << std::strerror(errno);
    return run;
  }
  const pid_t pid = start_program(dir.path(), args, ignored);
  run.signalled_in_time = wait_for_file(inotify, "out.bmp.", pid);
  if (run.signalled_in_time) kill(pid, sig);
  close(inotify);
  waitpid(pid, &run.status, 0);
  return run;
}

// 1 x 1 grown to 6000 x 4000: writing the 72 MB output takes far longer
// than the signal needs to arrive.
const std::vector<std::string> large_write = {"-i",          "in.bmp", "-o",           "out",
                                              "-sizexminus", "5999",   "-sizexminusy", "3999"};

TEST(Robustness, SignalDuringTheWrite) {
  const struct {
    const char* name;
    int sig;
    bool ignored;  // as under nohup: the run carries on and completes its output
  } cases[] = {
      {"SIGTERM", SIGTERM, false},      {"SIGINT", SIGINT, false},        {"SIGHUP", SIGHUP, false},
      {"ignored SIGHUP", SIGHUP, true}, {"ignored SIGINT", SIGINT, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    write_file(dir.file("in.bmp"), image_bytes(1, 1));
    write_file(dir.file("out.bmp"), "old target");
    const interrupted_run run = interrupt_write(dir, large_write, c.sig, c.ignored ? c.sig : 0);
    ASSERT_TRUE(run.signalled_in_time) << "no temporary file appeared";
    EXPECT_EQ(dir.entries(), (names{"in.bmp", "out.bmp"}));  // no temporary file left
    const std::string out = read_file(dir.file("out.bmp"));
    if (c.ignored) {
      ASSERT_TRUE(WIFEXITED(run.status)) << "killed by signal " << WTERMSIG(run.status);
      EXPECT_EQ(WEXITSTATUS(run.status), 0);
      EXPECT_EQ(out.size(), 54u + 18000u * 4000u);
      EXPECT_EQ(out.substr(0, 2), "BM");
    } else {
      ASSERT_TRUE(WIFSIGNALED(run.status)) << "the write ended before the signal came";
      EXPECT_EQ(WTERMSIG(run.status), c.sig);
      EXPECT_EQ(out, "old target");
    }
  }
}

}  // namespace
