// SPDX-License-Identifier: MIT
// output_file_test.cc - the named temporary file, where no unnamed one can
// be made: removed by the signals that end the process.
#include "lib/output_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_util.h"

using namespace pellimor::detail;  // the library's internals

namespace {

TEST(PendingFile, NamedTemporaryGoesWithTheSignalThatEndsTheProcess) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGPIPE, SIGABRT, SIGRTMIN + 2}) {
    SCOPED_TRACE(strsignal(sig));
    test_util::temp_dir dir;
    test_util::write_file(dir.file("out.bmp"), "old target");
    const pid_t pid = fork();
    if (pid == 0) {  // the child writes two files and is ended by `sig`
      const rlimit no_core = {0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
      signal(sig, SIG_DFL);
      pending_file out, other;
      std::string err;
      for (pending_file* file : {&out, &other})
        if (!file->open(dir.file(file == &out ? "out.bmp" : "other.bmp").c_str(), &err, temp_kind::named) ||
            file->unnamed() || write(file->fd(), "new", 3) != 3 ||
            access(file->temp_path().c_str(), F_OK) != 0)
          _exit(3);
      raise(sig);
      _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exited with " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.bmp"});
    EXPECT_EQ(test_util::read_file(dir.file("out.bmp")), "old target");
  }
}

TEST(PendingFile, BothKindsReplaceTheTargetOnCommit) {
  for (temp_kind kind : {temp_kind::unnamed_where_possible, temp_kind::named}) {
    test_util::temp_dir dir;
    test_util::write_file(dir.file("out.bmp"), "old target");
    pending_file out;
    std::string err;
    ASSERT_TRUE(out.open(dir.file("out.bmp").c_str(), &err, kind)) << err;
    if (kind == temp_kind::named) {
      EXPECT_FALSE(out.unnamed());
    }
    EXPECT_EQ(dir.entries().size(), out.unnamed() ? 1u : 2u);  // nothing named until the commit
    ASSERT_EQ(write(out.fd(), "new", 3), 3);
    ASSERT_TRUE(out.commit(&err)) << err;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.bmp"});
    EXPECT_EQ(test_util::read_file(dir.file("out.bmp")), "new");
  }
}

TEST(PendingFile, AFailedWriteLeavesNoFileOfEitherKind) {
  for (temp_kind kind : {temp_kind::unnamed_where_possible, temp_kind::named}) {
    test_util::temp_dir dir;
    test_util::write_file(dir.file("out.bmp"), "old target");
    const pid_t pid = fork();
    if (pid == 0) {  // the child meets a file-size limit half-way and gives up
      const rlimit small = {8, 8};
      setrlimit(RLIMIT_FSIZE, &small);
      std::string err;
      {
        pending_file out;
        if (!out.open(dir.file("out.bmp").c_str(), &err, kind)) _exit(3);
        if ((kind == temp_kind::named) == out.unnamed()) _exit(4);
        const std::string data(64, 'x');
        ssize_t wrote = write(out.fd(), data.data(), data.size());
        if (wrote == 8) wrote = write(out.fd(), data.data(), data.size());
        if (wrote >= 0 || errno != EFBIG) _exit(5);
      }  // not committed: dropped here
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.bmp"});
    EXPECT_EQ(test_util::read_file(dir.file("out.bmp")), "old target");
  }
}

TEST(PendingFile, ASignalTakenByAnotherThreadDuringACommitLeavesNoName) {
  // One thread replaces out.bmp over and over through unnamed files; the
  // main thread, which holds nothing back, takes SIGTERM meanwhile. The
  // name an unnamed file gets just before its rename must go too.
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    test_util::temp_dir dir;
    const pid_t pid = fork();
    if (pid == 0) {
      const rlimit no_core = {0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
      signal(SIGTERM, SIG_DFL);
      std::thread writer([&] {
        for (;;) {  // a write refused once the process is ending stops here
          pending_file out;
          std::string err;
          if (!out.open(dir.file("out.bmp").c_str(), &err) || write(out.fd(), "new", 3) != 3 ||
              !out.commit(&err))
            break;
        }
        pause();
      });
      writer.detach();
      usleep(2000 + 500 * round);
      // Again and again: a signal a sanitizer holds back until the handler
      // it was meant for has been put back could otherwise be lost.
      for (;;) {
        kill(getpid(), SIGTERM);
        usleep(1000);
      }
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exited with " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    const std::vector<std::string> left = dir.entries();
    EXPECT_TRUE(left.empty() || left == std::vector<std::string>{"out.bmp"}) << left.back();
  }
}

TEST(PendingFile, FileSizeSignalIsIgnoredWhileAnyFileIsOpen) {
  const auto xfsz_ignored = [] {
    struct sigaction action;
    sigaction(SIGXFSZ, nullptr, &action);
    return action.sa_handler == SIG_IGN;
  };
  ASSERT_FALSE(xfsz_ignored());
  test_util::temp_dir dir;
  std::string err;
  auto first = std::make_unique<pending_file>();
  pending_file second;
  ASSERT_TRUE(first->open(dir.file("a").c_str(), &err)) << err;
  ASSERT_TRUE(second.open(dir.file("b").c_str(), &err, temp_kind::named)) << err;
  ASSERT_TRUE(first->commit(&err)) << err;
  first.reset();
  EXPECT_TRUE(xfsz_ignored());  // the second file is still being written
  ASSERT_TRUE(second.commit(&err)) << err;
  EXPECT_FALSE(xfsz_ignored());
}

}  // namespace
