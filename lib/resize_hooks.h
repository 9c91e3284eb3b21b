// SPDX-License-Identifier: MIT
// resize_hooks.h - the library's resize, told when it reads and writes rows,
// for a pipeline whose source is still being decoded and whose destination
// is being encoded while the resize runs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "pellimor/pellimor.h"

namespace pellimor {

struct resize_hooks {
  // Before source rows [first, first + count) of any channel are read; may
  // block until they are there. From several threads at once. False stops
  // the resize.
  std::function<bool(std::int32_t first, std::int32_t count)> before_read;
  // After the rows a before_read let through were read.
  std::function<void()> after_read;
  // Just before that after_read: source rows [first, first + count) were
  // read for the `index`th channel resized (from 0), which reads none of
  // them again. From several threads at once, batches in any order.
  std::function<void(int index, std::int32_t first, std::int32_t count)> rows_read;
  // Before the `index`th channel resized (from 0) reads any row: where its
  // source samples are, laid out as the source view says (a buffer of its
  // own, say, decoded again for it); null stops the resize. Unset: the view's.
  std::function<const void*(int index)> source_of;
  // When set and true for the `index`th channel resized (asked before it
  // reads any row), that channel's source rows come from read_channel
  // instead of the view. Not with settings.alpha, whose colour channels
  // read the alpha samples beside their own.
  std::function<bool(int index)> reads_channel;
  // Source rows [first, first + count) of the `index`th channel resized, of
  // the view's sample type, its width a row, packed, into `out`. Called
  // between before_read and rows_read, as a read of the view would be; from
  // several threads at once. False stops the resize.
  std::function<bool(int index, std::int32_t first, std::int32_t count, std::uint8_t* out)> read_channel;
  // After rows [first, first + count) of channel `channel` were written to
  // the destination, rows of each channel in order. False stops the resize.
  std::function<bool(int channel, std::int32_t first, std::int32_t count)> after_write;
};

// resize() with `hooks`, throwing as it does. Channels go one after
// another, the alpha channel first when settings.alpha, then the others in
// order.
void resize(const image_view& source, const image_span& destination, const resize_settings& settings,
            const resize_hooks& hooks);

// The same for callers that carry failures as messages: false with the
// exception's message in *err, which success leaves empty.
bool resize(const image_view& source, const image_span& destination, const resize_settings& settings,
            const resize_hooks& hooks, std::string* err);

// The channel of `channels` the resize does last.
inline int last_resized_channel(int channels, const resize_settings& settings) {
  return settings.alpha ? channels - 2 : channels - 1;
}

}  // namespace pellimor
