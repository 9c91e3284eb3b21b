// SPDX-License-Identifier: MIT
// tiff_exif.h - a TIFF file's EXIF and GPS directories to and from the EXIF
// block the other formats carry (tiff_exif.cc).
#pragma once

#include <tiffio.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pellimor/image.h"

namespace pellimor::codecs {

// Most entries a TIFF EXIF or GPS directory may have to be read; a real one
// has a few dozen.
constexpr std::uint64_t max_exif_directory_entries = 1024;

// The EXIF and GPS directories `t`'s current (main) directory points to, as
// an EXIF block in meta->exif, its first directory holding the main
// directory's Orientation and the texts of meta->texts that are TIFF tags.
// Nothing when the file has neither directory, or only ones not read (see
// tiff_exif.cc). `data` is the file. Leaves `t` on a directory of its own.
void tiff_read_exif(TIFF* t, const std::uint8_t* data, std::size_t size, metadata* meta);

// Writes the EXIF and GPS directories of `block` (as exif_for_output gives
// it) into `t` before anything else, and sets *exif_offset and *gps_offset
// to where they went (0: not written). Leaves `t` on a new main directory.
// False when libtiff fails.
bool tiff_write_exif(TIFF* t, const std::vector<std::uint8_t>& block, std::uint64_t* exif_offset,
                     std::uint64_t* gps_offset);

// The texts `block`'s first directory holds that are TIFF tags of
// tiff_text_tags (Make, Model, DateTime, ...), keyed as those are.
std::vector<metadata::text> exif_tiff_texts(const std::vector<std::uint8_t>& block);

}  // namespace pellimor::codecs
