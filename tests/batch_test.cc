// SPDX-License-Identifier: MIT
// batch_test.cc - "pellimor resize" end to end, and the library's
// resize_files: the keyword interface's bytes, folders and patterns,
// no-clobber, damaged files in a batch, signals in the middle of one; the
// keyword interface's format aliases and its -quality note.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "codec/codec_test_util.h"
#include "lib/batch.h"
#include "pellimor/pellimor.h"
#include "tests/test_util.h"

// Bytes compared without printing them all when they differ.
#define EXPECT_SAME(got, expected) EXPECT_TRUE((got) == (expected)) << #got " differs from " #expected

namespace {

using pellimor::image;
using pellimor::image_format;
using pellimor::sample_type;
using test_util::read_file;
using test_util::run_program;
using test_util::run_result;
using test_util::temp_dir;
using test_util::write_file;
using names = std::vector<std::string>;

// A small picture file of `format`, different for each seed.
void make_picture(const std::string& path, image_format format, unsigned seed, int channels = 3) {
  image img = codec_test::random_image(13 + seed % 3, 9 + seed % 2, channels, sample_type::u8, seed);
  std::string err;
  const codec_test::bytes bytes = codec_test::encode(img, format, &err);
  ASSERT_EQ(err, "");
  write_file(path, std::string(bytes.begin(), bytes.end()));
}

// What the keyword interface writes for `input` with `keywords` (rounding
// to nearest) as `format`.
std::string keyword_bytes(const temp_dir& dir, const std::string& input, const std::string& keywords,
                          const char* format) {
  const run_result r = run_program(
      dir, "-i " + input + " -o keyword_run -round nearest -progress off -format " + format + " " + keywords);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string extension = std::string(format) == "jpeg"   ? ".jpg"
                                : std::string(format) == "tiff" ? ".tif"
                                                                : "." + std::string(format);
  const std::string bytes = read_file(dir.file("keyword_run" + extension));
  std::filesystem::remove(dir.file("keyword_run" + extension));
  EXPECT_FALSE(bytes.empty());
  return bytes;
}

TEST(Batch, SingleFilesAreTheKeywordInterfacesBytes) {
  temp_dir dir;
  make_picture(dir.file("in.png"), image_format::png, 1);
  make_picture(dir.file("in.bmp"), image_format::bmp, 2);
  const struct {
    const char* verb;     // options of the verb
    const char* keyword;  // the same with keywords
  } options[] = {
      {"-s 50%", "-size 50%"},
      {"--size=20x7! --taper 1.5", "-size 20x7! -taper 1.5"},
      {"-s200% --linear", "-size 200% -linear on"},
      {"--round trunc -s 9x", "-round trunc -size 9x"},
      {"", ""},
  };
  const struct {
    const char* name;
    const char* format;
  } outputs[] = {{"out.bmp", "bmp"}, {"out.PNG", "png"}, {"out.jpeg", "jpeg"}, {"out.tiff", "tiff"}};
  for (const char* input : {"in.png", "in.bmp"}) {
    for (const auto& o : options) {
      for (const auto& out : outputs) {
        SCOPED_TRACE(std::string(input) + " " + o.verb + " " + out.name);
        const run_result r = run_program(dir, std::string("resize ") + o.verb + " " + input + " " + out.name);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");  // silent
        EXPECT_SAME(read_file(dir.file(out.name)), keyword_bytes(dir, input, o.keyword, out.format));
        std::filesystem::remove(dir.file(out.name));
      }
    }
  }
  // JPEG quality, and --format over the name.
  ASSERT_EQ(run_program(dir, "resize -Q 40 in.png q.jpg").status, 0);
  EXPECT_SAME(read_file(dir.file("q.jpg")), keyword_bytes(dir, "in.png", "-quality 40", "jpeg"));
  ASSERT_EQ(run_program(dir, "resize --format=tif in.png named.png").status, 0);
  EXPECT_SAME(read_file(dir.file("named.png")), keyword_bytes(dir, "in.png", "", "tiff"));
  // Standard input and output.
  const std::string piped = "cd '" + dir.path() +
                            "' && cat in.png | '" PELLIMOR_BINARY
                            "' resize -s 150% --format png - - > piped.png";
  ASSERT_EQ(std::system(piped.c_str()), 0);
  EXPECT_SAME(read_file(dir.file("piped.png")), keyword_bytes(dir, "in.png", "-size 150%", "png"));
}

TEST(Batch, FoldersPatternsAndJobsGiveEachFilesBytes) {
  temp_dir dir;
  std::filesystem::create_directory(dir.file("in"));
  const names inputs = {"a.png", "b.bmp", "c.jpg", "d.tif", "e.png"};
  const image_format formats[] = {image_format::png, image_format::bmp, image_format::jpeg,
                                  image_format::tiff, image_format::png};
  for (std::size_t i = 0; i < inputs.size(); ++i)
    make_picture(dir.file("in/" + inputs[i]), formats[i], static_cast<unsigned>(i + 3), i == 4 ? 4 : 3);
  std::string all;
  for (const std::string& name : inputs) all += " in/" + name;
  for (const char* jobs : {"", "-j 1", "-j 2", "-j 9 -t 2"}) {
    SCOPED_TRACE(jobs);
    std::filesystem::remove_all(dir.file("out"));
    std::filesystem::remove_all(dir.file("pat"));
    std::filesystem::create_directory(dir.file("pat"));
    // A folder: each file under its own name and format.
    run_result r = run_program(dir, std::string("resize -s 60% ") + jobs + all + " -o out/");
    EXPECT_EQ(r.status, 1);  // out/ does not exist: every file fails, each on its line
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 5) << r.err;
    std::filesystem::create_directory(dir.file("out"));
    r = run_program(dir, std::string("resize -s 60% ") + jobs + all + " -o out/");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(test_util::temp_dir::entries_of(dir.file("out")), inputs);
    // A pattern: every file as PNG.
    r = run_program(dir, std::string("resize --size=60% ") + jobs + " -o pat/%s_small.png" + all);
    EXPECT_EQ(r.status, 0) << r.err;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      const char* format = formats[i] == image_format::png    ? "png"
                           : formats[i] == image_format::bmp  ? "bmp"
                           : formats[i] == image_format::jpeg ? "jpeg"
                                                              : "tiff";
      EXPECT_SAME(read_file(dir.file("out/" + inputs[i])),
                  keyword_bytes(dir, "in/" + inputs[i], "-size 60%", format))
          << inputs[i];
      const std::string stem = inputs[i].substr(0, 1);
      EXPECT_SAME(read_file(dir.file("pat/" + stem + "_small.png")),
                  keyword_bytes(dir, "in/" + inputs[i], "-size 60%", "png"))
          << inputs[i];
    }
  }
  // --format in a folder replaces each extension.
  std::filesystem::remove_all(dir.file("out"));
  std::filesystem::create_directory(dir.file("out"));
  ASSERT_EQ(run_program(dir, "resize --format jpg" + all + " -o out").status, 0);
  EXPECT_EQ(test_util::temp_dir::entries_of(dir.file("out")),
            (names{"a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg"}));
  EXPECT_SAME(read_file(dir.file("out/d.jpg")), keyword_bytes(dir, "in/d.tif", "", "jpeg"));
}

TEST(Batch, NoClobberSkipsExistingOutputs) {
  temp_dir dir;
  make_picture(dir.file("a.png"), image_format::png, 1);
  make_picture(dir.file("b.png"), image_format::png, 2);
  std::filesystem::create_directory(dir.file("out"));
  write_file(dir.file("out/a.png"), "old");
  run_result r = run_program(dir, "resize -n a.png b.png -o out/");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "pellimor: out/a.png: exists, skipped\n");
  EXPECT_EQ(read_file(dir.file("out/a.png")), "old");
  EXPECT_SAME(read_file(dir.file("out/b.png")), keyword_bytes(dir, "b.png", "", "png"));
  r = run_program(dir, "resize --no-clobber -q a.png out/a.png");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(dir.file("out/a.png")), "old");
  r = run_program(dir, "resize a.png out/a.png");  // without -n it is replaced
  EXPECT_EQ(r.status, 0);
  EXPECT_SAME(read_file(dir.file("out/a.png")), keyword_bytes(dir, "a.png", "", "png"));
}

TEST(Batch, DamagedFilesAreReportedAndTheOthersDone) {
  temp_dir dir;
  make_picture(dir.file("a.png"), image_format::png, 1);
  make_picture(dir.file("c.png"), image_format::png, 3);
  make_picture(dir.file("e.png"), image_format::png, 5);
  const std::string good = read_file(dir.file("a.png"));
  write_file(dir.file("b.png"), good.substr(0, good.size() / 2));  // cut short
  write_file(dir.file("d.png"), "not a picture at all");
  std::filesystem::create_directory(dir.file("out"));
  for (const char* jobs : {"-j 1", "-j 3", ""}) {
    SCOPED_TRACE(jobs);
    const run_result r =
        run_program(dir, std::string("resize -s 50% ") + jobs + " a.png b.png c.png d.png e.png -o out/");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    // One line for each damaged file, naming it.
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
    EXPECT_NE(r.err.find("pellimor: b.png: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("pellimor: d.png: not a BMP, PNG, JPEG, TIFF, WebP or GIF file\n"), std::string::npos) << r.err;
    EXPECT_EQ(test_util::temp_dir::entries_of(dir.file("out")), (names{"a.png", "c.png", "e.png"}));
    for (const char* name : {"a.png", "c.png", "e.png"})
      EXPECT_SAME(read_file(dir.file(std::string("out/") + name)),
                  keyword_bytes(dir, name, "-size 50%", "png"));
    std::filesystem::remove_all(dir.file("out"));
    std::filesystem::create_directory(dir.file("out"));
  }
}

// Opens the FIFO `path` for writing once a reader has it open: false when
// none comes within a minute.
int open_when_read(const std::string& path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) return fd;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

TEST(Batch, SignalsEndTheBatchLeavingFinishedFilesAndNoOther) {
  // The third input is a FIFO: the batch (one file at a time) has written
  // the first two when it opens it, and waits there for its bytes.
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    temp_dir dir;
    make_picture(dir.file("a.png"), image_format::png, 1);
    make_picture(dir.file("b.bmp"), image_format::bmp, 2);
    make_picture(dir.file("d.png"), image_format::png, 4);
    ASSERT_EQ(mkfifo(dir.file("c.png").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.file("out"));
    const pid_t pid = fork();
    if (pid == 0) {
      const rlimit no_core = {0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
      if (chdir(dir.path().c_str()) != 0) _exit(127);
      signal(sig, SIG_DFL);
      execl(PELLIMOR_BINARY, PELLIMOR_BINARY, "resize", "-j", "1", "-s", "200%", "a.png", "b.bmp", "c.png",
            "d.png", "-o", "out/", static_cast<char*>(nullptr));
      _exit(127);
    }
    ASSERT_GT(pid, 0);
    const int fifo = open_when_read(dir.file("c.png"));
    const std::string head = read_file(dir.file("a.png")).substr(0, 40);
    if (fifo >= 0) {
      EXPECT_EQ(write(fifo, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    }
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
    if (fifo >= 0) close(fifo);
    ASSERT_GE(fifo, 0) << "the batch never reached the third file";
    ASSERT_TRUE(WIFSIGNALED(status)) << "exited with " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), sig);
    // The finished files, whole, and nothing else: no temporary, no d.png.
    EXPECT_EQ(test_util::temp_dir::entries_of(dir.file("out")), (names{"a.png", "b.bmp"}));
    EXPECT_SAME(read_file(dir.file("out/a.png")), keyword_bytes(dir, "a.png", "-size 200%", "png"));
    EXPECT_SAME(read_file(dir.file("out/b.bmp")), keyword_bytes(dir, "b.bmp", "-size 200%", "bmp"));
  }
}

// Whether process `pid` has a file open in `folder` (a file with no name
// yet shows as "folder/#123 (deleted)").
bool writes_in(pid_t pid, const std::string& folder) {
  std::error_code ignored;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored)) {
    const std::string target = std::filesystem::read_symlink(entry.path(), ignored).string();
    if (target.rfind(folder + "/", 0) == 0) return true;
  }
  return false;
}

TEST(Batch, SignalsWhileFilesAreWrittenLeaveOnlyFinishedOnes) {
  // Tiny pictures made large: each output is open for a while as the
  // engine writes its rows. The signal comes once a file is finished and
  // another is being written, two at a time.
  temp_dir dir;
  names inputs;
  std::string words;
  for (char c = 'a'; c <= 'f'; ++c) {
    inputs.push_back(std::string(1, c) + ".bmp");
    write_file(dir.file(inputs.back()),
               test_util::bmp_bytes(test_util::random_plane(4, 3, 1), test_util::random_plane(4, 3, 2),
                                    test_util::random_plane(4, 3, 3)));
  }
  std::filesystem::create_directory(dir.file("out"));
  const std::string out = std::filesystem::canonical(dir.file("out")).string();
  const std::string expected = keyword_bytes(dir, "a.bmp", "-size 2000x2000!", "bmp");
  const pid_t pid = fork();
  if (pid == 0) {
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    if (chdir(dir.path().c_str()) != 0) _exit(127);
    signal(SIGTERM, SIG_DFL);
    execl(PELLIMOR_BINARY, PELLIMOR_BINARY, "resize", "-j", "2", "-t", "2", "-s", "2000x2000!", "a.bmp",
          "b.bmp", "c.bmp", "d.bmp", "e.bmp", "f.bmp", "-o", "out/", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  bool caught = false;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!caught && std::chrono::steady_clock::now() < deadline && waitpid(pid, &status, WNOHANG) == 0) {
    caught = !test_util::temp_dir::entries_of(out).empty() && writes_in(pid, out);
    if (caught) kill(pid, SIGTERM);
  }
  // Sent again until it lands: ThreadSanitizer runs handlers at points of
  // its own and drops a signal whose handler was put back meanwhile (a
  // file's cleanup handler is installed only while the file has a name).
  while (caught && waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGTERM);
    usleep(10000);
  }
  ASSERT_TRUE(caught) << "no file was being written after one was finished";
  ASSERT_TRUE(WIFSIGNALED(status)) << "exited with " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  const names left = test_util::temp_dir::entries_of(out);
  EXPECT_LT(left.size(), inputs.size());  // the batch ended there
  for (const std::string& name : left) {
    EXPECT_TRUE(std::find(inputs.begin(), inputs.end(), name) != inputs.end()) << "left behind: " << name;
    EXPECT_SAME(read_file(out + "/" + name), expected);  // each whole
  }
}

TEST(Batch, StripLeavesTheProfileOut) {
  temp_dir dir;
  image img = codec_test::random_image(8, 8, 3, sample_type::u8, 4);
  const codec_test::bytes icc = codec_test::icc_profile(400, "RGB ");
  img.icc.assign(icc.begin(), icc.end());
  pellimor::write_image(dir.file("in.png"), img);
  ASSERT_EQ(run_program(dir, "resize in.png kept.tif").status, 0);
  ASSERT_EQ(run_program(dir, "resize --strip=all in.png stripped.tif").status, 0);
  EXPECT_EQ(pellimor::read_image(dir.file("kept.tif")).icc, img.icc);
  EXPECT_TRUE(pellimor::read_image(dir.file("stripped.tif")).icc.empty());
}

TEST(Batch, LibraryResizeFilesIsResizeFileForEachFile) {
  temp_dir dir;
  names inputs;
  for (unsigned i = 0; i < 4; ++i) {
    inputs.push_back(dir.file("in" + std::to_string(i) + ".png"));
    make_picture(inputs.back(), image_format::png, i, i == 2 ? 4 : 3);
  }
  inputs.insert(inputs.begin() + 2, dir.file("missing.png"));
  std::filesystem::create_directory(dir.file("out"));
  pellimor::file_options options;
  options.size = "7x5!";
  options.settings.round = pellimor::rounding::nearest;
  for (int jobs : {0, 1, 3}) {
    SCOPED_TRACE(jobs);
    pellimor::batch_options batch;
    batch.jobs = jobs;
    const std::vector<pellimor::file_result> results =
        pellimor::resize_files(inputs, dir.file("out/%s.jpg"), options, batch);
    ASSERT_EQ(results.size(), inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      EXPECT_EQ(results[i].input, inputs[i]);
      EXPECT_FALSE(results[i].skipped);
      const std::string stem = i == 2 ? "missing" : "in" + std::to_string(i < 2 ? i : i - 1);
      EXPECT_EQ(results[i].output, dir.file("out/" + stem + ".jpg"));
      if (i == 2) {
        EXPECT_EQ(results[i].error, inputs[i] + ": cannot open: No such file or directory");
        continue;
      }
      EXPECT_EQ(results[i].error, "");
      pellimor::resize_file(inputs[i], dir.file("single.jpg"), options);
      EXPECT_SAME(read_file(results[i].output), read_file(dir.file("single.jpg")));
    }
  }
  pellimor::batch_options keep;
  keep.no_clobber = true;
  write_file(dir.file("out/in0.jpg"), "old");
  const auto kept = pellimor::resize_files({inputs[0]}, dir.file("out/in0.jpg"), options, keep);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_TRUE(kept[0].skipped);
  EXPECT_EQ(read_file(dir.file("out/in0.jpg")), "old");
  EXPECT_THROW(pellimor::resize_files({}, dir.file("out/"), options), pellimor::error);
  EXPECT_THROW(pellimor::resize_files(inputs, dir.file("out.png"), options), pellimor::error);
}

TEST(Batch, KeywordFormatAliasesAndQualityNote) {
  temp_dir dir;
  make_picture(dir.file("in.png"), image_format::png, 1);
  run_result r = run_program(dir, "-i in.png -o a -format jpg -progress off -quality 70 -round nearest");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_SAME(read_file(dir.file("a.jpg")), keyword_bytes(dir, "in.png", "-quality 70", "jpeg"));
  r = run_program(dir, "-i in.png -o b -format tif -progress off -round nearest");
  EXPECT_EQ(r.status, 0);
  EXPECT_SAME(read_file(dir.file("b.tif")), keyword_bytes(dir, "in.png", "", "tiff"));
  // -quality with another format: a note, and the same output.
  r = run_program(dir, "-i in.png -o c -format png -quality 70 -progress off -round nearest");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "pellimor: note: -quality applies only to JPEG and WebP output\n");
  EXPECT_SAME(read_file(dir.file("c.png")), keyword_bytes(dir, "in.png", "", "png"));
  r = run_program(dir, "resize -Q 70 in.png d.png");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "pellimor: note: --quality applies only to JPEG and lossy WebP output\n");
  EXPECT_EQ(run_program(dir, "resize -q -Q 70 in.png d.png").err, "");
}

}  // namespace

// Holds a file's resize until the batch has decoded the file after it
// ahead (or half a minute went by), so the reading ahead is seen at work.
struct ahead_gate {
  std::mutex lock;
  std::condition_variable changed;
  bool read = false;
  static bool proceed(void* context) {
    auto* gate = static_cast<ahead_gate*>(context);
    std::unique_lock<std::mutex> hold(gate->lock);
    gate->changed.wait_for(hold, std::chrono::seconds(30), [gate] { return gate->read; });
    gate->read = true;  // once is enough
    return true;
  }
};

struct ahead_run {
  std::vector<pellimor::file_result> results;
  std::vector<std::size_t> read_ahead, done;
};

// A batch of `inputs` to out/%s.png at 50%, file 0 held until file 1 was
// read ahead when `hold_first`.
ahead_run run_reading_ahead(const temp_dir& dir, const names& inputs, int jobs, int threads,
                            std::uint64_t memory, bool hold_first) {
  ahead_gate gate;
  ahead_run run;
  pellimor::batch_request request;
  request.inputs = inputs;
  request.output = dir.file("out/%s.png");
  request.options.size = "50%";
  request.options.settings.threads = threads;
  request.options.limits.memory = memory;
  request.batch.jobs = jobs;
  request.planned = [&](std::size_t i, int, std::int64_t, std::int64_t, std::int64_t, std::int64_t,
                        pellimor::resize_settings* settings) {
    if (i == 0 && hold_first) {
      settings->proceed = &ahead_gate::proceed;
      settings->context = &gate;
    }
  };
  request.read_ahead = [&](std::size_t i) {
    run.read_ahead.push_back(i);
    std::lock_guard<std::mutex> hold(gate.lock);
    gate.read = true;
    gate.changed.notify_all();
  };
  request.done = [&](std::size_t i, const pellimor::file_result&) { run.done.push_back(i); };
  run.results = pellimor::run_batch(request);
  return run;
}

// Each output of a batch is the bytes of a run of its file alone, and each
// failure the message of one.
void expect_single_runs(const temp_dir& dir, const names& inputs, const ahead_run& run, std::uint64_t memory) {
  ASSERT_EQ(run.results.size(), inputs.size());
  pellimor::file_options options;
  options.size = "50%";
  options.settings.threads = 2;  // what the batches were given: the same memory checks
  options.limits.memory = memory;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(inputs[i]);
    std::string single_error;
    try {
      pellimor::resize_file(inputs[i], dir.file("single.png"), options);
    } catch (const pellimor::error& e) {
      single_error = e.what();
    }
    EXPECT_EQ(run.results[i].error, single_error);
    if (single_error.empty()) {
      EXPECT_SAME(read_file(run.results[i].output), read_file(dir.file("single.png")));
    }
  }
}

TEST(Batch, ReadingAheadKeepsEachFilesBytesAndFailure) {
  // A file too large to share the threads, then a damaged one (its header
  // whole, its data cut short) decoded ahead while the first is resized,
  // then one whose damage shows in its header, read ahead too.
  struct mode {
    int jobs, threads, width, height, channels;
  };
  for (const mode m : {mode{1, 2, 1200, 900, 3}, mode{0, 2, 2100, 2000, 1}}) {
    SCOPED_TRACE(m.jobs);
    temp_dir dir;
    std::filesystem::create_directory(dir.file("out"));
    std::string err;
    const codec_test::bytes big =
        codec_test::encode(codec_test::smooth_image(m.width, m.height, m.channels), image_format::png, &err);
    ASSERT_EQ(err, "");
    write_file(dir.file("big.png"), std::string(big.begin(), big.end()));
    for (image_format format : {image_format::jpeg, image_format::png}) {
      const codec_test::bytes cut =
          codec_test::encode(codec_test::random_image(300, 200, 3, sample_type::u8, 7), format, &err);
      write_file(dir.file(format == image_format::jpeg ? "cut.jpg" : "short.png"),
                 std::string(cut.begin(), cut.begin() + cut.size() / 2));
    }
    make_picture(dir.file("c.png"), image_format::png, 3);
    make_picture(dir.file("d.png"), image_format::png, 4, 4);
    const names inputs = {dir.file("big.png"), dir.file("cut.jpg"), dir.file("short.png"), dir.file("c.png"),
                          dir.file("d.png")};
    const ahead_run run = run_reading_ahead(dir, inputs, m.jobs, m.threads, 0, true);
    ASSERT_FALSE(run.read_ahead.empty());
    EXPECT_EQ(run.read_ahead.front(), 1u) << "the damaged file was not decoded ahead";
    EXPECT_NE(run.results[1].error.find("cut.jpg: "), std::string::npos) << run.results[1].error;
    EXPECT_NE(run.results[2].error.find("short.png: "), std::string::npos) << run.results[2].error;
    for (std::size_t i : {0, 3, 4}) EXPECT_EQ(run.results[i].error, "") << inputs[i];
    if (m.jobs == 1) {
      EXPECT_EQ(run.done, (std::vector<std::size_t>{0, 1, 2, 3, 4}));  // told in order
    }
    expect_single_runs(dir, inputs, run, 0);
  }
}

TEST(Batch, ANextFileIsDecodedAheadOnlyWithinTheMemoryLimit) {
  temp_dir dir;
  std::filesystem::create_directory(dir.file("out"));
  names inputs;
  for (int i = 0; i < 3; ++i) {
    std::string err;
    const codec_test::bytes png =
        codec_test::encode(codec_test::random_image(1000, 1000, 3, sample_type::u8, 20 + i), image_format::png, &err);
    ASSERT_EQ(err, "");
    inputs.push_back(dir.file("f" + std::to_string(i) + ".png"));
    write_file(inputs.back(), std::string(png.begin(), png.end()));
  }
  // What one of them needs, from the refusal of a small limit: a limit
  // a MiB above it fits one file, not one and the 3 MiB of the next's pixels.
  pellimor::file_options tiny;
  tiny.size = "50%";
  tiny.settings.threads = 2;
  tiny.limits.memory = 8 << 20;  // room for the file's bytes, not the work
  std::string refusal;
  try {
    pellimor::resize_file(inputs[0], dir.file("single.png"), tiny);
  } catch (const pellimor::error& e) {
    refusal = e.what();
  }
  const std::size_t at = refusal.find(" needs ");
  ASSERT_NE(at, std::string::npos) << refusal;
  const std::uint64_t limit = (std::stoull(refusal.substr(at + 7)) + 1) << 20;
  const ahead_run tight = run_reading_ahead(dir, inputs, 1, 2, limit, false);
  EXPECT_EQ(tight.read_ahead, std::vector<std::size_t>{});
  expect_single_runs(dir, inputs, tight, limit);
  for (const pellimor::file_result& r : tight.results) EXPECT_EQ(r.error, "");
  // Twice that is room for both: each next file is decoded ahead, in
  // steps, its picture growing as the running one's goes.
  for (int jobs : {0, 1}) {
    const ahead_run roomy = run_reading_ahead(dir, inputs, jobs, 2, 2 * limit, false);
    EXPECT_EQ(roomy.read_ahead, (std::vector<std::size_t>{1, 2})) << jobs;
    expect_single_runs(dir, inputs, roomy, 2 * limit);
  }
  // A small one (a tenth of the bytes at most) is decoded ahead at once,
  // while the file before it is held from going on.
  std::string err;
  const codec_test::bytes small =
      codec_test::encode(codec_test::random_image(200, 150, 3, sample_type::u8, 30), image_format::png, &err);
  ASSERT_EQ(err, "");
  const names mixed = {inputs[0], dir.file("small.png"), inputs[1]};
  write_file(mixed[1], std::string(small.begin(), small.end()));
  for (int jobs : {0, 1}) {
    const ahead_run run = run_reading_ahead(dir, mixed, jobs, 2, 0, true);
    ASSERT_FALSE(run.read_ahead.empty()) << jobs;
    EXPECT_EQ(run.read_ahead.front(), 1u) << jobs;
    expect_single_runs(dir, mixed, run, 0);
  }
}

TEST(Batch, FilesRunAloneUnlessSmallOrJobsAreGiven) {
  struct row {
    std::size_t count;
    int jobs, threads;
    std::int64_t width, height, new_width, new_height;
    int expected;
  };
  const row rows[] = {
      {1, 0, 4, 30, 20, 15, 10, 4},              // one file: as asked
      {1, 3, 4, 30, 20, 15, 10, 4},              //   whatever the jobs
      {5, 0, 2, 640, 480, 1280, 960, 2},         // default: alone on every thread
      {5, 0, 2, 1920, 1080, 960, 540, 2},        //
      {5, 0, 4, 320, 240, 160, 120, 1},          // small: one thread each, sharing
      {5, 0, 4, 400, 250, 200, 125, 1},          // 100000 pixels: still small
      {5, 0, 4, 401, 250, 200, 125, 4},          // one more: alone
      {5, 0, 4, 200, 125, 401, 250, 4},          // the result counts too
      {5, 1, 4, 30, 20, 15, 10, 4},              // -j 1: one at a time, every thread
      {5, 3, 8, 4000, 3000, 2000, 1500, 2},      // -j N: threads / N
      {5, 4, 2, 4000, 3000, 2000, 1500, 1},      //   at least one
      {5, 0, 0, 4000, 3000, 2000, 1500, 1},      // no threads given here: one
  };
  for (const row& r : rows)
    EXPECT_EQ(pellimor::batch_file_threads(r.count, r.jobs, r.threads, r.width, r.height, r.new_width,
                                           r.new_height),
              r.expected)
        << r.count << " files, -j " << r.jobs << ", " << r.threads << " threads, " << r.width << "x"
        << r.height << " -> " << r.new_width << "x" << r.new_height;
}

TEST(Batch, ByDefaultALargerFileRunsOnEveryThreadAndSmallOnesOnOne) {
  temp_dir dir;
  std::filesystem::create_directory(dir.file("out"));
  names inputs;
  for (int i = 0; i < 4; ++i) {
    inputs.push_back(dir.file("p" + std::to_string(i) + ".png"));
    if (i == 1) {
      std::string err;
      const codec_test::bytes png = codec_test::encode(codec_test::smooth_image(700, 500, 3), image_format::png, &err);
      ASSERT_EQ(err, "");
      write_file(inputs.back(), std::string(png.begin(), png.end()));
    } else {
      make_picture(inputs.back(), image_format::png, static_cast<unsigned>(i));
    }
  }
  pellimor::batch_request request;
  request.inputs = inputs;
  request.output = dir.file("out/%s.png");
  request.options.size = "50%";
  request.options.settings.threads = 2;
  std::mutex lock;
  std::vector<int> threads(inputs.size(), -1);
  request.planned = [&](std::size_t i, int, std::int64_t, std::int64_t, std::int64_t, std::int64_t,
                        pellimor::resize_settings* settings) {
    std::lock_guard<std::mutex> hold(lock);
    threads[i] = settings->threads;
  };
  ahead_run run;
  run.results = pellimor::run_batch(request);
  EXPECT_EQ(threads, (std::vector<int>{1, 2, 1, 1}));
  expect_single_runs(dir, inputs, run, 0);
}

// A batch frees each decoded picture once its last channel has read it and
// only then starts the encoder (pipeline.h, keep_pages). Whatever channel
// reads last (a colour channel reading alpha beside its own samples),
// whichever axes change, in linear light too, every output is still its
// file's run alone; and a resize stopped before the picture was read
// through ends its file (the encoder waits for nothing more) with nothing
// written.
TEST(Batch, PicturesFreedOnceReadBeforeEncodingKeepEachFilesBytes) {
  const struct {
    const char* name;
    int channels;
    sample_type type;
    image_format format;
    const char* size;
    const char* output;
    bool linear;
  } cases[] = {
      {"rgb jpeg, both axes", 3, sample_type::u8, image_format::jpeg, "150x90!", "out/%s.jpg", false},
      {"rgba png, alpha first", 4, sample_type::u8, image_format::png, "350x170!", "out/%s.png", false},
      {"grey 16-bit png, width only", 1, sample_type::u16, image_format::png, "510x240!", "out/%s.tif", false},
      {"rgb tiff, height only", 3, sample_type::u8, image_format::tiff, "320x333!", "out/%s.png", false},
      {"rgb png, linear light", 3, sample_type::u8, image_format::png, "170x130!", "out/%s.jpg", true},
  };
  for (const auto& c : cases) {
    for (const int jobs : {0, 1}) {
      SCOPED_TRACE(std::string(c.name) + ", jobs " + std::to_string(jobs));
      temp_dir dir;
      std::filesystem::create_directory(dir.file("out"));
      names inputs;
      for (unsigned seed = 1; seed <= 3; ++seed) {
        std::string err;
        const codec_test::bytes file =
            codec_test::encode(codec_test::random_image(320, 240, c.channels, c.type, seed), c.format, &err);
        ASSERT_EQ(err, "");
        inputs.push_back(dir.file("in" + std::to_string(seed)));
        write_file(inputs.back(), std::string(file.begin(), file.end()));
      }
      pellimor::file_options options;
      options.size = c.size;
      options.settings.threads = 2;
      options.settings.linear = c.linear;
      pellimor::batch_options batch;
      batch.jobs = jobs;
      const std::vector<pellimor::file_result> results =
          pellimor::resize_files(inputs, dir.file(c.output), options, batch);
      ASSERT_EQ(results.size(), inputs.size());
      for (std::size_t i = 0; i < inputs.size(); ++i) {
        ASSERT_EQ(results[i].error, "");
        const std::string single = dir.file("single" + results[i].output.substr(results[i].output.rfind('.')));
        pellimor::resize_file(inputs[i], single, options);
        EXPECT_SAME(read_file(results[i].output), read_file(single));
      }
    }
  }
  temp_dir dir;
  std::filesystem::create_directory(dir.file("out"));
  names inputs;
  for (unsigned seed = 1; seed <= 2; ++seed) {
    inputs.push_back(dir.file("in" + std::to_string(seed) + ".jpg"));
    make_picture(inputs.back(), image_format::jpeg, seed);
  }
  pellimor::batch_request request;
  request.inputs = inputs;
  request.output = dir.file("out/");
  request.options.size = "50%";
  request.options.settings.threads = 2;
  request.planned = [](std::size_t, int, std::int64_t, std::int64_t, std::int64_t, std::int64_t,
                       pellimor::resize_settings* settings) {
    settings->proceed = [](void*) { return false; };
  };
  const std::vector<pellimor::file_result> results = pellimor::run_batch(request);
  ASSERT_EQ(results.size(), inputs.size());
  for (const pellimor::file_result& r : results)
    EXPECT_NE(r.error.find("the resize was stopped"), std::string::npos) << r.error;
  EXPECT_EQ(temp_dir::entries_of(dir.file("out")), names{});
}
