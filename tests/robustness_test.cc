// SPDX-License-Identifier: MIT
// robustness_test.cc - the built program on awkward inputs and targets:
// every header form, malformed files, folders, disks and targets that
// refuse the output, a file-size limit, the input as its own target,
// oversized requests and memory limits, signals in the middle of the work,
// failing standard streams and threads that cannot start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
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

#include "codec/codec.h"
#include "tests/test_util.h"

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

// The message names the file, once: neither again in its reason nor as
// the temporary file beside it ("out.bmp.Ab3dE9").
bool names_file_once(const run_result& r, const std::string& path) {
  std::size_t count = 0;
  for (std::size_t at = r.err.find(path); at != std::string::npos; at = r.err.find(path, at + 1)) ++count;
  return names_file(r, path) && count == 1;
}

// A shell prefix that caps the program's address space, so that a run
// which tried to allocate what it should have refused fails at once rather
// than eating the machine's memory. The sanitizers reserve terabytes of
// address space up front, so their builds go without.
#ifdef PELLIMOR_SANITIZED
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

std::string memory_cap() { return sanitized ? "" : "ulimit -v 4194304"; }  // 4 GiB, in KiB

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
  // Either way the refusal comes before any work: with room for the header
  // and some rows, only allocating the file's blocks up front shows it.
  const struct {
    const char* name;
    const char* size_args;
    off_t room;  // bytes left free
  } cases[] = {
      {"output of 70 bytes, no room at all", "-sizexminus -2 -sizexminusy -1", 0},
      {"output of 480 KB, room for 64 KiB", "-sizexminus 396 -sizexminusy 397", 65536},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    write_file(dir.file("in.bmp"), image_bytes(4, 3));
    tmpfs_mount disk(dir.file("disk"), "size=256k");
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.why();
    write_file(dir.file("disk/out.bmp"), "old target");
    fill_up(dir.file("disk/filler"));
    ASSERT_EQ(truncate(dir.file("disk/filler").c_str(),
                       std::filesystem::file_size(dir.file("disk/filler")) - c.room),
              0);
    const run_result r = run_program(dir, std::string("-i in.bmp -o disk/out ") + c.size_args);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(names_file_once(r, "disk/out.bmp")) << r.err;
    EXPECT_NE(r.err.find(std::strerror(ENOSPC)), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Horizontal DCT start"), std::string::npos) << "the full disk showed only later";
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
      {"1.2 MB output through the encoders", "-sizexminus 996 -sizexminusy 397 -i -"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    write_file(dir.file("in.bmp"), image_bytes(4, 3));
    write_file(dir.file("out.bmp"), "old target");
    const bool piped = std::strstr(c.size_args, "-i -") != nullptr;
    const run_result r = run_program(dir, std::string("-i in.bmp -o out ") + c.size_args, "ulimit -f 400",
                                     piped ? "< in.bmp" : "");
    EXPECT_EQ(r.status, 1);  // not killed by SIGXFSZ
    EXPECT_TRUE(names_file_once(r, "out.bmp")) << r.err;
    EXPECT_TRUE(read_file(dir.file("out.bmp")) == "old target");
    EXPECT_EQ(dir.entries(), (names{"in.bmp", "out.bmp"}));
  }
}

TEST(Robustness, TiffThatCannotBeWrittenWholeLeavesNothing) {
  // TIFF goes to the file strip by strip while the resize runs, so these
  // fail half-way through the file rather than before it.
  const struct {
    const char* name;
    const char* output;
    const char* setup;
    const char* redirections;
    int error;
  } cases[] = {
      {"a full disk", "disk/out.tif", "", "", ENOSPC},
      {"a file-size limit", "out.tif", "ulimit -f 400", "", EFBIG},
      {"standard output on a full device", "-", "", ">/dev/full", ENOSPC},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    write_file(dir.file("in.bmp"), image_bytes(300, 200));
    tmpfs_mount disk(dir.file("disk"), "size=1m");
    if (!disk.mounted() && std::strncmp(c.output, "disk/", 5) == 0) {
      GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.why();
    }
    if (disk.mounted()) {
      fill_up(dir.file("disk/filler"));
      ASSERT_EQ(truncate(dir.file("disk/filler").c_str(),
                         std::filesystem::file_size(dir.file("disk/filler")) - 196608),
                0);
    }
    // About 2.7 MB of hardly compressible samples.
    const run_result r = run_program(dir, std::string("resize -s 1200x800! --format tif in.bmp ") + c.output,
                                     c.setup, c.redirections);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(std::strerror(c.error)), std::string::npos) << r.err;
    if (std::strcmp(c.output, "-") != 0) {
      EXPECT_TRUE(names_file_once(r, c.output)) << r.err;
    }
    EXPECT_EQ(temp_dir::entries_of(dir.path()), (names{"disk", "in.bmp"}));
    if (disk.mounted()) {
      EXPECT_EQ(temp_dir::entries_of(dir.file("disk")), (names{"filler"}));
    }
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

TEST(Robustness, ReplacingKeepsLinksOwnerAndPermissionsButNotSetIdBits) {
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

  // Someone else's file stays theirs, where the caller may give it away.
  if (geteuid() != 0) GTEST_SKIP() << "only root may keep another user as the owner";
  write_file(dir.file("owned.bmp"), "old");
  ASSERT_EQ(chown(dir.file("owned.bmp").c_str(), 4321, 8765), 0);
  ASSERT_EQ(run_program(dir, "-i in.bmp -o owned -sizexminus 2").status, 0);
  ASSERT_EQ(stat(dir.file("owned.bmp").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 8765u);
  EXPECT_TRUE(read_file(dir.file("owned.bmp")) == expected);
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

TEST(Robustness, LimitsAreCheckedBeforeAnyWork) {
  // in.bmp is 4 x 3 (12 pixels, 94 bytes); every refusal comes before the
  // first phase line and leaves no output.
  const struct {
    const char* name;
    const char* args;
    const char* message;  // "" for a run that succeeds
  } cases[] = {
      {"file over the pixel limit", "-limit pixels=11",
       "the file claims 4 x 3 = 12 pixels, more than the pixel limit (11)"},
      {"file at the pixel limit", "-limit pixels=12", ""},
      {"result over the pixel limit", "-limit pixels=12 -sizexminus 1",
       "resizing to 5 x 3 = 15 pixels, more than the pixel limit (12)"},
      {"result over it through the encoders", "-limit pixels=12 -sizexminus 1 -format png",
       "resizing to 5 x 3 = 15 pixels, more than the pixel limit (12)"},
      {"work over the memory limit", "-limit memory=1K -sizexminus 1",
       "more than the memory limit set (0 MiB)"},
      {"file over the memory limit", "-limit memory=64B -format tiff",
       "the file is 0+ MiB, more than the 0+ MiB"},
      {"JPEG wider than it can be", "-size 65501x1! -format jpeg",
       "the output size 65501 x 1 does not fit in a jpeg file (65500 pixels a side at most)"},
      {"JPEG as wide as it can be", "-size 65500x1! -format jpeg", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    write_file(dir.file("in.bmp"), image_bytes(4, 3));
    const run_result r = run_program(dir, std::string("-i in.bmp -o out ") + c.args);
    if (*c.message == '\0') {
      EXPECT_EQ(r.status, 0) << r.err;
      continue;
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(names_file(r, "in.bmp")) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Horizontal DCT start"), std::string::npos) << "refused only after the work";
    EXPECT_EQ(dir.entries(), names{"in.bmp"});
  }
}

TEST(Robustness, EndlessStreamsCostNothing) {
  // Nothing that starts like a picture is read past its first bytes; one
  // that does is read only up to the memory limit.
  const struct {
    const char* name;
    const char* command;
    const char* message;
  } cases[] = {
      {"/dev/zero", "-i /dev/zero -o out -format png",
       "pellimor: /dev/zero: not a BMP, PNG, JPEG, TIFF, WebP or GIF file"},
      {"an endless pipe", "-i - -o out -format png < <(yes)",
       "pellimor: -: not a BMP, PNG, JPEG, TIFF, WebP or GIF file"},
      {"a PNG signature and zeros without end",
       "-i - -o out -format png -limit memory=8M < <(printf '\\211PNG\\r\\n\\032\\n'; cat /dev/zero)",
       "pellimor: -: more than 8 MiB of input, the most it may take (the memory limit set)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    const std::string command =
        "cd '" + dir.path() + "' && exec '" PELLIMOR_BINARY "' " + c.command + " 2>stderr.txt >/dev/null";
    const int status = std::system(("bash -c \"" + command + "\"").c_str());
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(read_file(dir.file("stderr.txt")).find(c.message), std::string::npos)
        << read_file(dir.file("stderr.txt"));
    EXPECT_EQ(dir.entries(), names{"stderr.txt"});
  }
}

TEST(Robustness, SizesNeedingMoreMemoryThanTheProcessMayUseAreRefused) {
  const double memory =
      static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE));
  const struct {
    const char* name;
    const char* size_args;
    std::string setup;
    const char* limit;  // named in the message
    bool applies;
  } cases[] = {
      // 37000 x 37000 fits the size field (4.1 GB); the direct sums hold
      // every plane as doubles besides, about 37 GB in all. (No ulimit: its
      // limit would be the smaller one.)
      {"this machine's memory", "-sizexminus 36999 -sizexminusy 36999", "", "this machine's memory",
       memory < 32.0 * (1 << 30)},
      // 4000 x 4000 by the direct sums: some 430 MB.
      {"an address-space limit of 293 MiB", "-sizexminus 3999 -sizexminusy 3999", "ulimit -v 300000",
       "RLIMIT_AS", !sanitized},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.applies) continue;
    temp_dir dir;
    write_file(dir.file("in.bmp"), image_bytes(1, 1));
    const run_result r =
        run_program(dir, std::string("-i in.bmp -o out -engine direct ") + c.size_args, c.setup);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(names_file(r, "in.bmp")) << r.err;
    EXPECT_NE(r.err.find(c.limit), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("out of memory"), std::string::npos) << r.err;
    EXPECT_EQ(dir.entries(), names{"in.bmp"});
  }
}

// A run of the program whose standard output and error are pipes held by
// the test.
struct piped_run {
  pid_t pid = -1;
  int out = -1, err = -1;  // read ends
};

// Starts the program in `folder` with `args`, every signal at its default
// action but `ignored`, and no core files.
piped_run start_piped(const std::string& folder, const std::vector<std::string>& args, int ignored) {
  std::vector<std::string> words = {PELLIMOR_BINARY};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {  // only async-signal-safe calls from here on
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    const int null = open("/dev/null", O_RDONLY);
    if (chdir(folder.c_str()) != 0 || null < 0) _exit(127);
    dup2(null, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int sig = 1; sig < NSIG; ++sig) signal(sig, sig == ignored ? SIG_IGN : SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  return {pid, out[0], err[0]};
}

// Reads `fd` until what came holds `text` (true) or the stream ends or a
// minute passes (false); with an empty `text`, to the end.
bool read_until(int fd, const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  std::string seen;
  char buffer[65536];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 1000) != 1) continue;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return text.empty();
    seen.append(buffer, n);
    if (!text.empty() && seen.find(text) != std::string::npos) return true;
    if (seen.size() > 4096) seen.erase(0, seen.size() - 4096);
  }
  return false;
}

// 1 x 1 grown to 20000 x 1: each channel prints some 480 KB of counters, so
// a run whose standard output nobody reads stops in the first channel,
// with its output file open, until a signal comes or the pipe is read.
const std::vector<std::string> long_report = {"-i", "in.bmp", "-o", "out", "-sizexminus", "19999"};
const std::size_t long_report_size = 54 + 60000;

TEST(Robustness, SignalsLeaveTheOldTargetAndNothingElse) {
  const struct {
    const char* name;
    int sig;
    bool ignored;  // as under nohup: the run carries on and completes its output
  } cases[] = {
      {"SIGTERM", SIGTERM, false}, {"SIGINT", SIGINT, false},        {"SIGHUP", SIGHUP, false},
      {"SIGQUIT", SIGQUIT, false}, {"SIGUSR1", SIGUSR1, false},      {"SIGALRM", SIGALRM, false},
      {"SIGKILL", SIGKILL, false}, {"ignored SIGHUP", SIGHUP, true}, {"ignored SIGINT", SIGINT, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir dir;
    const int unnamed = open(dir.path().c_str(), O_TMPFILE | O_RDWR, 0600);
    if (unnamed >= 0) close(unnamed);
    if (c.sig == SIGKILL && unnamed < 0) continue;  // nothing can clean up after it here
    write_file(dir.file("in.bmp"), image_bytes(1, 1));
    write_file(dir.file("out.bmp"), "old target");
    const piped_run run = start_piped(dir.path(), long_report, c.ignored ? c.sig : 0);
    ASSERT_GT(run.pid, 0);
    const bool working = read_until(run.err, "Horizontal DCT start\n");
    kill(run.pid, c.sig);
    EXPECT_TRUE(read_until(run.out, ""));
    close(run.out);
    close(run.err);
    int status = 0;
    waitpid(run.pid, &status, 0);
    ASSERT_TRUE(working) << "the run did not start its work";
    EXPECT_EQ(dir.entries(), (names{"in.bmp", "out.bmp"}));  // nothing else
    const std::string out = read_file(dir.file("out.bmp"));
    if (c.ignored) {
      ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
      EXPECT_EQ(WEXITSTATUS(status), 0);
      EXPECT_EQ(out.size(), long_report_size);
    } else {
      ASSERT_TRUE(WIFSIGNALED(status)) << "exited with " << WEXITSTATUS(status);
      EXPECT_EQ(WTERMSIG(status), c.sig);
      EXPECT_EQ(out, "old target");
    }
  }
}

// The same while the job is overlapped: a 1 x 1 PNG grown to 20000 x 1 as
// PNG decodes on one thread, which then waits with the new file open to
// encode rows the last channel has not made yet. The run is stopped in that
// last channel: nothing of the new file may stay.
TEST(Robustness, SignalsDuringAnOverlappedJobLeaveNothing) {
  pellimor::image pixel;
  pixel.width = pixel.height = 1;
  pixel.channels = 3;
  pixel.type = pellimor::sample_type::u8;
  ASSERT_TRUE(pixel.allocate());
  pixel.pixels = {40, 120, 200};
  std::string png, err;
  ASSERT_TRUE(pellimor::encode_image(
      pixel, pellimor::image_format::png, {},
      [&](const std::uint8_t* p, std::size_t n) {
        png.append(reinterpret_cast<const char*>(p), n);
        return true;
      },
      &err))
      << err;
  const std::vector<std::string> args = {"-i", "in.png", "-o", "out", "-format", "png", "-sizexminus", "19999"};
  for (const int sig : {SIGTERM, SIGINT, SIGKILL}) {
    SCOPED_TRACE(strsignal(sig));
    temp_dir dir;
    const int unnamed = open(dir.path().c_str(), O_TMPFILE | O_RDWR, 0600);
    if (unnamed >= 0) close(unnamed);
    if (sig == SIGKILL && unnamed < 0) continue;  // nothing can clean up after it here
    write_file(dir.file("in.png"), png);
    write_file(dir.file("out.png"), "old target");
    const piped_run run = start_piped(dir.path(), args, 0);
    ASSERT_GT(run.pid, 0);
    // The first channel's counters read to their end; the second's fill the
    // pipe, so the signal comes while the output is open on the second
    // thread and before any channel but the first is done. (Later, the last
    // rows can be encoded and the file complete while the last counters are
    // still being printed.)
    const bool working = read_until(run.out, "IDCTV remain 0 Times\n");
    // The pipe stays full, so the run cannot finish; the signal is sent
    // again until it lands (ThreadSanitizer drops one whose handler was put
    // back before it ran it).
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    do kill(run.pid, sig);
    while (waitpid(run.pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline &&
           usleep(10000) == 0);
    close(run.out);
    close(run.err);
    ASSERT_TRUE(working) << "the run did not finish its first channel";
    ASSERT_TRUE(WIFSIGNALED(status)) << "exited with " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_EQ(dir.entries(), (names{"in.png", "out.png"}));
    EXPECT_EQ(read_file(dir.file("out.png")), "old target");
  }
}

TEST(Robustness, ClosedPipeOnStandardOutputIsReportedAfterTheImage) {
  temp_dir dir;
  write_file(dir.file("in.bmp"), image_bytes(1, 1));
  ASSERT_EQ(run_program(dir, "-i in.bmp -o expected -sizexminus 19999").status, 0);
  const piped_run run = start_piped(dir.path(), long_report, 0);
  ASSERT_GT(run.pid, 0);
  char first[10];
  EXPECT_EQ(read(run.out, first, sizeof first), 10);  // as `| head -c 10`
  close(run.out);
  int status = 0;
  std::string err;
  for (char c; read(run.err, &c, 1) == 1;) err += c;
  close(run.err);
  waitpid(run.pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(err.find("pellimor: standard output: " + std::string(std::strerror(EPIPE)) + "\n"),
            std::string::npos)
      << err;
  EXPECT_TRUE(read_file(dir.file("out.bmp")) == read_file(dir.file("expected.bmp")));
  EXPECT_EQ(dir.entries(), (names{"expected.bmp", "in.bmp", "out.bmp"}));
}

TEST(Robustness, FailedStandardStreamsAreReported) {
  const struct {
    const char* name;
    const char* redirections;
    bool message_on_stdout;  // else on stderr
    const char* message;
  } cases[] = {
      {"standard output on a full device", ">/dev/full", false,
       "pellimor: standard output: No space left on device\n"},
      {"standard output closed", ">&-", false, "pellimor: standard output: Bad file descriptor\n"},
      {"standard error on a full device", "2>/dev/full", true,
       "pellimor: standard error: No space left on device\n"},
  };
  temp_dir dir;
  write_file(dir.file("in.bmp"), image_bytes(3, 2));
  ASSERT_EQ(run_program(dir, "-i in.bmp -o expected -sizexminus 5").status, 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const run_result r = run_program(dir, "-i in.bmp -o out -sizexminus 5", "", c.redirections);
    EXPECT_EQ(r.status, 1);
    const std::string& stream = c.message_on_stdout ? r.out : r.err;
    EXPECT_NE(stream.find(c.message), std::string::npos) << stream;
    // Closed, standard output must not have become the output file.
    EXPECT_TRUE(read_file(dir.file("out.bmp")) == read_file(dir.file("expected.bmp")));
  }
  EXPECT_EQ(run_program(dir, "-h", "", "2>/dev/full").status, 1);  // the usage text
}

TEST(Robustness, TargetsThatMayNotBeReplacedAreRefusedBeforeAnyWork) {
  const struct {
    const char* name;
    std::function<void(const temp_dir&)> make_target;  // out.bmp
    const char* message;
  } cases[] = {
      {"a folder", [](const temp_dir& d) { std::filesystem::create_directory(d.file("out.bmp")); },
       "is a folder"},
      {"a device, through a link",
       [](const temp_dir& d) { std::filesystem::create_symlink("/dev/null", d.file("out.bmp")); },
       "is not a regular file"},
      {"a named pipe", [](const temp_dir& d) { ASSERT_EQ(mkfifo(d.file("out.bmp").c_str(), 0644), 0); },
       "is not a regular file"},
      {"a read-only file (even for root)",
       [](const temp_dir& d) {
         write_file(d.file("out.bmp"), "old target");
         ASSERT_EQ(chmod(d.file("out.bmp").c_str(), 0444), 0);
       },
       "is read-only"},
      {"a link to a read-only file",
       [](const temp_dir& d) {
         write_file(d.file("kept.bmp"), "old target");
         ASSERT_EQ(chmod(d.file("kept.bmp").c_str(), 0555), 0);
         std::filesystem::create_symlink("kept.bmp", d.file("out.bmp"));
       },
       "is read-only"},
  };
  for (const auto& c : cases) {
    for (const char* engine : {"fast", "direct"}) {
      SCOPED_TRACE(std::string(c.name) + ", " + engine);
      temp_dir dir;
      write_file(dir.file("in.bmp"), image_bytes(4, 3));
      c.make_target(dir);
      const names before = dir.entries();
      const run_result r = run_program(dir, std::string("-i in.bmp -o out -sizexminus 2 -engine ") + engine);
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(names_file(r, "out.bmp")) << r.err;
      EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find("Horizontal DCT start"), std::string::npos) << "refused only after the work";
      EXPECT_EQ(dir.entries(), before);
      const std::string kept =
          dir.file(std::filesystem::exists(dir.file("kept.bmp")) ? "kept.bmp" : "out.bmp");
      if (std::filesystem::is_regular_file(kept)) {
        EXPECT_EQ(read_file(kept), "old target");
      }
    }
  }
}

TEST(Robustness, OthersLinksInStickyFoldersAreNotFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "only root may give a link to another user";
  // pub/out.bmp and pub/out.png are links to ../kept, the file a run would
  // replace: one for the streaming path, one for the encoders.
  const uid_t nobody = 65534;
  const struct {
    const char* name;
    mode_t folder_mode;
    uid_t link_owner, folder_owner;
    bool followed;
  } cases[] = {
      {"another user's link, sticky folder writable by all", 01777, nobody, 0, false},
      {"the caller's own link there", 01777, 0, 0, true},
      {"a link of the folder's owner there", 01777, nobody, nobody, true},
      {"another user's link, folder not sticky", 0777, nobody, 0, true},
      {"another user's link, sticky folder only its owner writes", 01755, nobody, 0, true},
  };
  for (const auto& c : cases) {
    for (const char* format : {"bmp", "png"}) {
      SCOPED_TRACE(std::string(c.name) + ", " + format);
      temp_dir dir;
      write_file(dir.file("in.bmp"), image_bytes(4, 3));
      write_file(dir.file("kept"), "old target");
      std::filesystem::create_directory(dir.file("pub"));
      ASSERT_EQ(chown(dir.file("pub").c_str(), c.folder_owner, 0), 0);
      ASSERT_EQ(chmod(dir.file("pub").c_str(), c.folder_mode), 0);
      const std::string link = "pub/out." + std::string(format);
      std::filesystem::create_symlink("../kept", dir.file(link));
      ASSERT_EQ(lchown(dir.file(link).c_str(), c.link_owner, 0), 0);
      const run_result r =
          run_program(dir, std::string("-i in.bmp -o pub/out -sizexminus 2 -format ") + format);
      if (c.followed) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(read_file(dir.file("kept")), "old target");
        EXPECT_TRUE(std::filesystem::is_symlink(dir.file(link)));
      } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(names_file_once(r, link)) << r.err;
        EXPECT_NE(r.err.find("not followed"), std::string::npos) << r.err;
        EXPECT_EQ(read_file(dir.file("kept")), "old target");
      }
    }
  }
}

TEST(Robustness, TwoThreadsOnALargeImageGiveTheBytesOfOne) {
  // 75 batches of columns and 50 of rows per pass: both workers really run
  // in every pass (and ThreadSanitizer, in its build, watches them).
  temp_dir dir;
  write_file(dir.file("in.bmp"), image_bytes(600, 400));
  ASSERT_EQ(run_program(dir, "-i in.bmp -o one -sizexminus 300 -threads 1").status, 0);
  const run_result r = run_program(dir, "-i in.bmp -o two -sizexminus 300 -threads 2");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(read_file(dir.file("two.bmp")) == read_file(dir.file("one.bmp")));
}

TEST(Robustness, ThreadsThatCannotStartAreDoneWithout) {
  // 8 x 1000 rows are 125 batches, so 125 workers are asked for, but an
  // address space of 586 MiB has room for some 30 stacks of 8 MiB.
  if (sanitized) GTEST_SKIP() << "the sanitizers' address space does not fit a ulimit -v";
  temp_dir dir;
  write_file(dir.file("in.bmp"), image_bytes(1, 1));
  ASSERT_EQ(run_program(dir, "-i in.bmp -o expected -sizexminus 7 -sizexminusy 999 -threads 1").status, 0);
  const run_result r = run_program(dir, "-i in.bmp -o out -sizexminus 7 -sizexminusy 999 -threads 1024",
                                   "ulimit -s 8192 && ulimit -v 600000");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(read_file(dir.file("out.bmp")) == read_file(dir.file("expected.bmp")));
  EXPECT_EQ(dir.entries(), (names{"expected.bmp", "in.bmp", "out.bmp"}));
}

}  // namespace
