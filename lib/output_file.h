// SPDX-License-Identifier: MIT
// output_file.h - replace a file only once its new content is complete.
//
// The image is written to a file with no name yet (Linux O_TMPFILE) in the
// target's folder; once complete it is linked in under a temporary name and
// renamed over the target in one step. Whatever ends the run before that
// (any signal, SIGKILL and a power cut included, a full disk, a file-size
// limit), the file system drops the unnamed file and the folder holds the
// old target untouched. Where the file system cannot make unnamed files,
// a named temporary file beside the target is used instead, removed on
// failure and by every signal that can be caught; SIGKILL or a power cut
// can leave that one behind.
//
// The target may be the input file the image was read from. A symbolic
// link to it is followed. A new file gets the mode fopen would give it; a
// replaced one keeps its mode (less set-user and set-group id) and, where
// the process may set them, its owner and group.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "bmp/bmp_io.h"

namespace pellimor::detail {

// True when `target` may be written: its folder is writable and the target
// is absent or a regular file the caller may write. A file with no write
// permission bit at all is refused even for root, who could write it
// anyway: someone marked it read-only. False with *err (for a message
// after the target's name) otherwise.
bool check_output_target(const char* target, std::string* err);

// How pending_file makes its file.
enum class temp_kind {
  unnamed_where_possible,  // O_TMPFILE, falling back to `named`
  named,                   // a named file beside the target (for the tests of the fallback)
};

// A new file written beside its target, which it replaces only on commit.
// While one exists, SIGXFSZ is ignored so that a file-size limit shows as a
// write error; while a named temporary file exists, every signal that
// would end the process removes it first. Signals the process ignores or
// handles stay as they are. Several may be open at once, from any threads.
class pending_file {
 public:
  pending_file();
  ~pending_file();  // drops the new file unless committed
  pending_file(const pending_file&) = delete;
  pending_file& operator=(const pending_file&) = delete;

  // Checks `target` as check_output_target does and creates the new file,
  // open for reading and writing. False with *err on failure.
  bool open(const char* target, std::string* err, temp_kind kind = temp_kind::unnamed_where_possible);
  int fd() const { return fd_; }
  // The name to give in messages about writing the new file: the
  // temporary file's, or the target's while the file has no name.
  const std::string& temp_path() const { return temp_.empty() ? target_ : temp_; }
  bool unnamed() const { return unnamed_; }

  // Closes the file and puts it in place of the target. False with *err on
  // failure, and the new file is gone.
  bool commit(std::string* err);

 private:
  void discard();

  struct signals;
  std::unique_ptr<signals> signals_;
  std::string target_, temp_;
  int fd_ = -1;
  int slot_ = -1;  // where the signal handler finds a named temporary file
  bool unnamed_ = false;
};

// Writes the three planes as a BMP file at `path`. Returns false and sets
// *err on failure.
bool write_bmp_file_atomically(const char* path, const channel_plane& blue, const channel_plane& green,
                               const channel_plane& red, std::string* err);

}  // namespace pellimor::detail
