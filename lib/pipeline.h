// SPDX-License-Identifier: MIT
// pipeline.h - one file job with decoding, resizing and encoding overlapped.
//
// A second thread decodes the input while the resize reads the rows decoded
// so far (its first channel's first pass runs a band behind the decoder);
// once the input is decoded that thread encodes the output, handed each
// row as the last channel's values are quantised into it, so encoding runs
// beside the last pass. Nothing reaches the output before the whole input
// decoded cleanly, and a file output replaces its target only once complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "pellimor/pellimor.h"

namespace pellimor {

struct pipeline_job {
  const std::uint8_t* data = nullptr;  // the input file's bytes
  std::size_t size = 0;
  image_format format = image_format::bmp;
  image_info info;          // what read_info said of them
  image* out = nullptr;     // sized and typed, its pixels allocated
  resize_settings settings;  // alpha set as out says
  strip_mode strip = strip_mode::none;
  image_format out_format = image_format::bmp;
  encode_options options;
  std::string output;  // a file, or "-" for standard output
  // Asked (from the second thread) once the input decoded: false when its
  // bytes were not the file's all along, and the input is refused.
  std::function<bool()> input_intact;
  // Called (from the second thread) once the input decoded well: its bytes
  // are not read again and can go.
  std::function<void()> input_done;
  // Told (from the second thread) what share of the picture's rows has been
  // decoded, so bytes well behind that point can be let go as it goes.
  std::function<void(double share)> input_progress;
  // Decode the input again for each channel (PNG, JPEG and TIFF, more than
  // one channel, the fast engine), each decode kept a few megabytes ahead of
  // that channel's reads and its rows let go once read: the decoded picture
  // is never held whole, for one more decode per channel of time.
  bool again = false;
  // Keep the channels after the first compressed, band by band, while the
  // first is resized (PNG, JPEG and TIFF, more than one channel and no
  // alpha, the fast engine), the decoded rows let go once read and packed:
  // the decoded picture is never held whole, for the packing's time (a
  // tenth or more of a shrink's). Ahead of `again` where both are set.
  bool pack = false;
  // With `pack`, keep those channels as they are, not compressed: two
  // thirds of the decoded picture for three channels, where whole it sits
  // beside the engine's coefficient array to the last channel, for about a
  // copy's time.
  bool pack_plain = false;
  // Keep the decoded picture's and the output's pages (not with `again` or
  // `pack`): a batch's next file of the same sizes gets them again from
  // malloc, where pages given back as the job goes would be faulted in
  // afresh, 4 KiB at a time. The picture is freed whole once the resize
  // has read it for the last time, and the encoder starts only then, its
  // buffers taking the picture's pages.
  bool keep_pages = false;
  // Given (from the second thread), with keep_pages, the picture's buffer
  // once the resize has read it for the last time.
  std::function<void(pixel_buffer&& pixels)> picture_gone;
  // The picture decoded already (from the input's bytes, not read again):
  // taken over as the decoder's, which it must match (decoded_as_told).
  image* decoded = nullptr;
};

enum class pipeline_status {
  done,
  input_failed,   // the input could not be decoded; *err says why
  output_failed,  // the output could not be written; *err says why
  resize_failed,  // *err says why
  start_over,     // the pixels decoded are not what the header said (an EXIF orientation seen only
                  // after the image data), or no second thread could be started: nothing was
                  // written, the caller decodes whole instead
};

// Whether `decoded` holds what a decoder told `info` of it would: its
// sizes, channels, sample type and orientation, every sample there.
bool decoded_as_told(const image& decoded, const image_info& info);

// Moves the ICC profile and metadata of a decoded `source` to `out`, to be
// written as `format`, leaving out what `strip` says. PNG's colour chunks
// go into PNG alone; into a format without them, and with no profile of
// the source's own, they become a profile.
void carry_metadata(image* source, image* out, strip_mode strip, image_format format);

// Runs `job`. Throws std::bad_alloc or std::system_error as resize's callers do.
pipeline_status run_pipeline(const pipeline_job& job, std::string* err);

}  // namespace pellimor
