// output_file.h - replace a file only once its new content is complete.
//
// The image is written to a temporary file beside the target, closed, and
// renamed over the target, so a failure (a full disk,
// a file-size limit) or an interruption (SIGINT, SIGTERM, SIGHUP) leaves the
// target as it was and no partial file behind. Signals the process ignores
// stay ignored. The target may be the input file the image was read from.
// A new file gets the mode fopen would give it; a replaced one keeps its mode.
#pragma once

#include <memory>
#include <string>

#include "bmp/bmp_io.h"

// A new file written beside its target, which it replaces only on commit.
// While one exists, SIGINT, SIGTERM and SIGHUP remove its temporary file
// before they end the process, and SIGXFSZ is ignored so that a file-size
// limit shows as a write error.
class pending_file {
 public:
  pending_file();
  ~pending_file();  // removes the temporary file unless committed
  pending_file(const pending_file&) = delete;
  pending_file& operator=(const pending_file&) = delete;

  // Creates the temporary file for `target`. False with *err on failure.
  bool open(const char* target, std::string* err);
  int fd() const { return fd_; }
  const std::string& temp_path() const { return temp_; }

  // Closes the file and renames it over the target. False with *err on
  // failure, and the temporary file is gone.
  bool commit(std::string* err);

 private:
  void discard();

  struct signals;
  std::unique_ptr<signals> signals_;
  std::string target_, temp_;
  int fd_ = -1;
};

// Writes the three planes as a BMP file at `path`. Returns false and sets
// *err on failure.
bool write_bmp_file_atomically(const char* path, const channel_plane& blue, const channel_plane& green,
                               const channel_plane& red, std::string* err);
