// output_file_test.cc - the named temporary file, where no unnamed one can
// be made: removed by the signals that end the process.
#include "cli/output_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

TEST(PendingFile, NamedTemporaryGoesWithTheSignalThatEndsTheProcess) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGPIPE, SIGABRT, SIGRTMIN + 2}) {
    SCOPED_TRACE(strsignal(sig));
    test_util::temp_dir dir;
    test_util::write_file(dir.file("out.bmp"), "old target");
    const pid_t pid = fork();
    if (pid == 0) {  // the child writes and is ended by `sig`
      const rlimit no_core = {0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
      signal(sig, SIG_DFL);
      pending_file out;
      std::string err;
      if (!out.open(dir.file("out.bmp").c_str(), &err, temp_kind::named) || out.unnamed() ||
          write(out.fd(), "new", 3) != 3 || access(out.temp_path().c_str(), F_OK) != 0)
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

}  // namespace
