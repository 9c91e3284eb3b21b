// output_file.h - replace a file only once its new content is complete.
//
// The image is written to a temporary file beside the target, flushed to
// the disk, closed, and renamed over the target, so a failure (a full disk,
// a file-size limit) or an interruption (SIGINT, SIGTERM, SIGHUP) leaves the
// target as it was and no partial file behind. Signals the process ignores
// stay ignored. The target may be the input file the image was read from.
// A new file gets the mode fopen would give it; a replaced one keeps its mode.
#pragma once

#include <string>

#include "bmp/bmp_io.h"

// Writes the three planes as a BMP file at `path`. Returns false and sets
// *err on failure.
bool write_bmp_file_atomically(const char* path, const channel_plane& blue,
                               const channel_plane& green, const channel_plane& red,
                               std::string* err);
