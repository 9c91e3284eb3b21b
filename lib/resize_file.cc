// SPDX-License-Identifier: MIT
// resize_file.cc - a picture file through the codecs, the resize and back.
#include "lib/resize_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <vector>

#include "bmp/bmp_decode.h"
#include "bmp/bmp_io.h"
#include "lib/bmp_stream.h"
#include "lib/file_io.h"
#include "lib/geometry.h"
#include "lib/limits.h"
#include "lib/mapped_input.h"
#include "lib/output_file.h"
#include "lib/pipeline.h"
#include "lib/resize_hooks.h"

using namespace pellimor::detail;  // the library's internals

namespace pellimor {
namespace {

// The sample type and channels `format` stores an image of `info` with.
void output_layout(image_format format, const image_info& info, sample_type* type, int* channels) {
  *channels = info.channels;
  *type = info.type;
  // CMYK goes to BMP, PNG and WebP as sRGB (cmyk_to_srgb), floats as 16-bit.
  if (info.cmyk && (format == image_format::bmp || format == image_format::png || format == image_format::webp)) {
    *channels = 3;
    if (is_float(*type)) *type = sample_type::u16;
  }
  switch (format) {
    case image_format::bmp:
    case image_format::jpeg:
      *type = sample_type::u8;
      if (info.has_alpha()) --*channels;
      return;
    case image_format::webp:
    case image_format::gif:  // never written; refused before this
      *type = sample_type::u8;
      return;
    case image_format::png:
      if (*type != sample_type::u8) *type = sample_type::u16;
      return;
    case image_format::tiff:
      if (*type == sample_type::f64) *type = sample_type::f32;
      return;
  }
}

// What encoding `img` as `format` holds beside the image: TIFF builds the
// whole file in memory for standard output (about the samples' size, a
// little more where deflate cannot shrink them), a strip at a time into a
// file; JPEG with optimised Huffman tables keeps
// every DCT coefficient, two bytes a sample at 4:4:4; PNG and BMP stream.
double encoder_bytes(image_format format, const image& img, bool to_stdout) {
  const double samples = static_cast<double>(img.width) * img.height * img.channels;
  switch (format) {
    case image_format::tiff:
      return to_stdout ? 1.01 * static_cast<double>(img.pixel_bytes()) + (1 << 20) : 1 << 21;
    case image_format::jpeg:
      return 2 * samples * 1.05 + (1 << 20);
    case image_format::webp:  // an 8-bit copy, libwebp's ARGB or YUV planes and the file
      return 4 * samples + 2.0 * img.width * img.height * 4 + (1 << 20);
    default:
      return 1 << 20;
  }
}

std::string mebibytes(double bytes) { return std::to_string(static_cast<long long>(bytes / 1048576.0)); }

// What this work may take: what the process may use, or the smaller limit
// the caller set.
memory_limit memory_for(const file_limits& limits) {
  memory_limit have = process_memory_limit();
  const double set = static_cast<double>(limits.memory);
  if (limits.memory > 0 && (have.bytes == 0 || set < have.bytes)) have = {set, "the memory limit set"};
  return have;
}

// Whether a BMP file of 24 bits a pixel (or of a depth not yet read) ends
// before its headers or rows do: what the 24-bit reader calls short.
bool short_bmp(const std::uint8_t* data, std::size_t size) {
  bmp_format format;
  std::string ignored;
  const bmp_status status = parse_bmp_format(data, size, &format, &ignored);
  if (format.bits != 0 && format.bits != 24) return false;
  return status == bmp_status::short_data ||
         (status == bmp_status::ok &&
          format.pixel_offset + format.row_size * static_cast<std::uint64_t>(format.height) > size);
}

// The input's bytes: a regular file mapped read-only (its compressed bytes
// neither copied nor zero-filled first), anything else read whole. A file
// truncated while mapped reads as zeros past its new end and is marked
// changed (mapped_input.h), rather than ending the process.
struct input_bytes {
  std::vector<std::uint8_t> held;
  void* mapped = nullptr;
  int watch = -1;
  std::size_t mapped_size = 0, dropped = 0;
  bool dropped_ahead = false;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;

  input_bytes() = default;
  input_bytes(const input_bytes&) = delete;
  input_bytes& operator=(const input_bytes&) = delete;
  ~input_bytes() { release(); }

  bool load(int fd, std::uint64_t most, std::string* err) {
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        static_cast<std::uint64_t>(st.st_size) <= most && static_cast<std::uint64_t>(st.st_size) <= SIZE_MAX) {
      const std::size_t length = static_cast<std::size_t>(st.st_size);
      // Pages come as the decoder reaches them (read ahead, the file being
      // read front to back) and go again behind it (drop_before).
      void* at = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
      if (at != MAP_FAILED && (watch = watch_mapping(at, length)) < 0) munmap(at, length);
      if (at != MAP_FAILED && watch >= 0) {
        madvise(at, length, MADV_SEQUENTIAL);
        mapped = at;
        mapped_size = length;
        data = static_cast<const std::uint8_t*>(at);
        size = length;
        return true;
      }
    }
    if (!load_bytes_from(fd, &held, err, most)) return false;
    data = held.data();
    size = held.size();
    return true;
  }

  // Lets the mapped pages before about `share` of the file go, less a
  // margin: a decoder reading the file front to back (PNG, JPEG, TIFF
  // strips in order) is done with them, and the RSS of a job with the file
  // mapped whole would otherwise keep the whole file beside the resize's
  // arrays. A page let go and read again comes back from the file.
  // The first time, the pages well ahead go too: a decoder that first walks
  // the whole file (PNG's chunk check) has mapped them all. A share well
  // below the last is a decoder reading the file again (once per channel,
  // pipeline.h), which starts this over.
  void drop_before(double share) {
    constexpr std::size_t page = 4096, margin = std::size_t{1} << 20, step = std::size_t{1} << 20;
    if (mapped == nullptr || !(share >= 0)) return;
    const double at = std::min(share * static_cast<double>(mapped_size), static_cast<double>(mapped_size));
    if (at + static_cast<double>(margin) < static_cast<double>(dropped)) {  // read again from the start
      dropped = 0;
      dropped_ahead = false;
    }
    if (!dropped_ahead) {
      dropped_ahead = true;
      const std::size_t ahead = (static_cast<std::size_t>(at) + 2 * margin) & ~(page - 1);
      if (ahead < mapped_size)
        madvise(static_cast<std::uint8_t*>(mapped) + ahead, mapped_size - ahead, MADV_DONTNEED);
    }
    if (at <= static_cast<double>(margin)) return;
    const std::size_t end = (static_cast<std::size_t>(at) - margin) & ~(page - 1);
    if (end < dropped + step) return;
    madvise(mapped, end, MADV_DONTNEED);
    dropped = end;
  }

  // Whether the file shrank while mapped, so what was read of it is not
  // the file. Stays known after release().
  bool changed = false;
  bool spoiled() {
    changed = changed || mapping_spoiled(watch);
    return changed;
  }

  void release() {
    if (mapped != nullptr) {
      spoiled();
      unwatch_mapping(watch);
      munmap(mapped, mapped_size);
    }
    watch = -1;
    mapped = nullptr;
    dropped = 0;
    dropped_ahead = false;
    std::vector<std::uint8_t>().swap(held);  // freed, not just emptied
    data = nullptr;
    size = 0;
  }
};

// Closes a descriptor this code opened.
struct fd_owner {
  int fd = -1;
  ~fd_owner() {
    if (fd >= 0) close(fd);
  }
};

struct file_closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// A failure of the BMP stream, put on the file at fault.
bool bmp_failure(const file_request& request, bmp_status status, std::string* where) {
  if (status == bmp_status::short_data && request.short_bmp) request.short_bmp();
  *where = status == bmp_status::write_error ? request.output : request.input;
  return false;
}

// A plain 24-bit BMP file to a BMP file: rows stream from the input through
// the engine into the output, and neither picture is ever held.
bool run_bmp_stream(const file_request& request, int fd, std::string* where, std::string* err) {
  const int copy = dup(fd);
  std::unique_ptr<std::FILE, file_closer> input(copy < 0 ? nullptr : fdopen(copy, "rb"));
  if (!input) {
    *err = std::string("cannot read: ") + std::strerror(errno);
    if (copy >= 0) close(copy);
    return false;
  }
  bmp_layout layout;
  bmp_status status = read_bmp_layout(input.get(), &layout, err);
  if (status != bmp_status::ok) return bmp_failure(request, status, where);
  *err = pixel_refusal(request.limits, "the file claims", layout.width, layout.height);
  if (!err->empty()) return false;
  std::int64_t new_width = layout.width, new_height = layout.height;
  if (request.size && !request.size(layout.width, layout.height, &new_width, &new_height, err)) return false;
  const std::string size = size_text(new_width, new_height);
  if (new_width < 1 || new_height < 1) {
    *err = "the output size " + size + " is not positive";
    return false;
  }
  if (bmp_file_size(new_width, new_height) == 0) {
    *err = "the output size " + size + " does not fit in a BMP file";
    return false;
  }
  *err = pixel_refusal(request.limits, "resizing to", new_width, new_height);
  if (!err->empty()) return false;
  resize_settings settings = request.settings;
  const double need = bmp_stream_bytes(settings, layout.width, layout.height, static_cast<double>(new_width),
                                       static_cast<double>(new_height));
  *err = memory_refusal(need, new_width, new_height, request.limits);
  if (!err->empty()) return false;
  if (request.admitted) request.admitted(need);
  make_room_for(need, memory_for(request.limits).bytes);  // cached engine states give way
  if (!check_output_target(request.output.c_str(), err)) {
    *where = request.output;
    return false;
  }
  if (request.planned) request.planned(3, layout.width, layout.height, new_width, new_height, &settings);
  const progress_streams progress{settings.counters, settings.phases, settings.passes_done, settings.context};
  try {
    status =
        resize_bmp_stream(input.get(), layout, static_cast<std::int32_t>(new_width),
                          static_cast<std::int32_t>(new_height), request.output, settings, progress, err);
  } catch (const std::bad_alloc&) {
    *err = out_of_memory("out of memory for a resize to " + size);
    return false;
  }
  return status == bmp_status::ok || bmp_failure(request, status, where);
}

}  // namespace

// An input read as far as its header and new size, and perhaps decoded:
// see prepare_input. A failure met on the way is kept to be told in the
// file's turn, after what a run told before meeting it.
struct prepared_input {
  fd_owner opened;
  input_bytes bytes;
  bool stream = false;  // a BMP file to stream: nothing read yet
  image_format format = image_format::bmp;
  std::size_t input_size = 0;  // the bytes', once they are let go
  image_info info;
  std::int64_t width = 0, height = 0, new_width = 0, new_height = 0;
  std::string page_note;
  bool failed = false, short_input = false;
  std::string where, err;
  // Decoded ahead of the file's turn: the pixels, or why there are none.
  bool decoded = false, decode_failed = false;
  image source;
};

void prepared_deleter::operator()(prepared_input* p) const { delete p; }

namespace {

// A failure reading the input: the file having changed under the reader
// says more than what the decoder made of it.
bool input_failed(const file_request& request, prepared_input* p) {
  p->failed = true;
  if (p->bytes.spoiled())
    p->err = "the file changed while it was read";
  else
    p->short_input =
        p->format == image_format::bmp && request.short_bmp && short_bmp(p->bytes.data, p->bytes.size);
  return false;
}

// Opens `request`'s input and reads its header and new size into *p; tells
// nothing. False for a file to stream (p->stream) or a failure (p->failed,
// with p->where and p->err).
bool open_input(const file_request& request, prepared_input* p) {
  const std::string& input = request.input;
  std::string* err = &p->err;
  p->where = input;
  // The input is opened once: a FIFO opened a second time would wait for
  // a second writer.
  int fd = input == "-" ? STDIN_FILENO : -1;
  if (fd < 0) {
    do p->opened.fd = open(input.c_str(), O_RDONLY | O_CLOEXEC);
    while (p->opened.fd < 0 && errno == EINTR);
    if (p->opened.fd < 0) {
      *err = std::string("cannot open: ") + std::strerror(errno);
      p->failed = true;
      return false;
    }
    fd = p->opened.fd;
  }
  const auto fail = [p] {
    p->failed = true;
    return false;
  };
  // A plain 24-bit BMP file named on the command line, resized into a BMP
  // file, streams; anything else is decoded whole.
  struct stat st;
  if (p->opened.fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && request.format == image_format::bmp &&
      request.page == 1 && request.output != "-" &&
      !(request.settings.linear && request.settings.method == engine::direct) && for_bmp_stream(fd)) {
    p->stream = true;
    return false;
  }

  input_bytes& bytes = p->bytes;
  const std::uint64_t most = input_byte_limit(request.limits);
  if (!bytes.load(fd, most, err)) {
    if (err->find("more than") != std::string::npos) *err += " (" + memory_for(request.limits).name + ")";
    return fail();
  }
  p->input_size = bytes.size;
  image_format& format = p->format;
  if (!detect_format(bytes.data, bytes.size, &format)) {
    *err = unknown_format_message();
    return fail();
  }
  if (!format_writable(request.format)) {
    p->where = request.output;
    *err = std::string(format_name(request.format)) + " files are read, not written";
    return fail();
  }
  const int page = request.page;
  *err = page_refusal(bytes.data, bytes.size, format, page);
  if (!err->empty()) return fail();
  if (page == 1 && request.note) {
    const int pages = count_pages(bytes.data, bytes.size, format);
    if (pages > 1)
      p->page_note = input + " has " + std::to_string(pages) + " " +
                     (format == image_format::tiff ? "pages" : "frames") + "; resizing " +
                     (format == image_format::tiff ? "page" : "frame") + " 1" + request.page_hint;
  }
  image_info& info = p->info;
  if (!read_info(bytes.data, bytes.size, format, &info, err, page - 1)) return input_failed(request, p);
  *err = pixel_refusal(request.limits, "the file claims", info.width, info.height);
  if (!err->empty()) return fail();
  // Sizes refer to the picture as displayed.
  const bool turned = info.orientation >= 5 && info.orientation <= 8;
  const std::int64_t width = turned ? info.height : info.width, height = turned ? info.width : info.height;
  std::int64_t new_width = width, new_height = height;
  if (request.size && !request.size(width, height, &new_width, &new_height, err)) return fail();
  if (new_width < 1 || new_height < 1) {
    *err = "the output size " + size_text(new_width, new_height) + " is not positive";
    return fail();
  }
  const std::int64_t side = largest_side(request.format);
  if (new_width > INT32_MAX || new_height > INT32_MAX ||
      (side > 0 && std::max(new_width, new_height) > side) ||
      (request.format == image_format::bmp && bmp_file_size(new_width, new_height) == 0)) {
    *err = "the output size " + size_text(new_width, new_height) + " does not fit in a " +
           format_name(request.format) + " file";
    if (side > 0) *err += " (" + std::to_string(side) + " pixels a side at most)";
    return fail();
  }
  *err = pixel_refusal(request.limits, "resizing to", new_width, new_height);
  if (!err->empty()) return fail();
  p->width = width;
  p->height = height;
  p->new_width = new_width;
  p->new_height = new_height;
  return true;
}

// Pictures at least this large malloc maps afresh for every file and unmaps
// when freed, whatever a batch asks (its largest mmap threshold).
constexpr std::uint64_t mapped_afresh = std::uint64_t{32} << 20;

bool run(const file_request& request, prepared_ptr ahead, std::string* where, std::string* err) {
  const bool read_now = !ahead;
  prepared_ptr opened(read_now ? new prepared_input : ahead.release());
  prepared_input& p = *opened;
  if (read_now) open_input(request, &p);
  if (!p.page_note.empty()) request.note(p.page_note);
  *where = p.where;
  if (p.failed) {
    *err = p.err;
    if (p.short_input) request.short_bmp();
    return false;
  }
  if (p.stream) return run_bmp_stream(request, p.opened.fd, where, err);
  input_bytes& bytes = p.bytes;
  const image_format format = p.format;
  const int page = request.page;
  const image_info& info = p.info;
  const std::int64_t width = p.width, height = p.height, new_width = p.new_width, new_height = p.new_height;
  const auto input_fails = [&] {
    if (bytes.spoiled()) {
      *err = "the file changed while it was read";
      return false;
    }
    if (format == image_format::bmp && request.short_bmp && short_bmp(bytes.data, bytes.size))
      request.short_bmp();
    return false;
  };

  image out;
  output_layout(request.format, info, &out.type, &out.channels);
  out.cmyk = info.cmyk && out.channels == 4;
  out.width = static_cast<std::int32_t>(new_width);
  out.height = static_cast<std::int32_t>(new_height);
  resize_settings settings = request.settings;
  settings.alpha = out.has_alpha();
  if (request.planned) request.planned(out.channels, width, height, new_width, new_height, &settings);
  const double working = static_cast<double>(
      resize_working_bytes(info.width, info.height, out.width, out.height, out.channels, settings));
  const double need = static_cast<double>(p.input_size) + static_cast<double>(info.pixel_bytes()) * 2 +
                      static_cast<double>(out.pixel_bytes()) +
                      encoder_bytes(request.format, out, request.output == "-") + working;
  // Short of memory for that, a job through the pipeline can keep the
  // channels after the first compressed while the first is resized, or
  // failing that decode the input again for each channel, instead of
  // holding the picture whole (slower by the packing, or by those decodes;
  // packing costs too much time to be done when memory allows the whole);
  // not under an address-space limit, which counts the buffers' reserved
  // size whatever part of them is in use.
  // A picture decoded ahead of its turn, whole already, goes through the
  // pipeline as it is (freed once read, the encoder beside the last passes)
  // when it is what the header said.
  const bool predecoded = p.decoded && !p.decode_failed && decoded_as_told(p.source, info);
  const bool pipelined = page == 1 && (info.orientation < 2 || info.orientation > 8) &&
                         !(info.cmyk && !out.cmyk) && (!p.decoded || predecoded);
  const double lean = need - 2 * static_cast<double>(info.pixel_bytes()) + static_cast<double>(16 << 20);
  // The later channels as they would be held packed should nothing in
  // them compress.
  const double packed = lean + static_cast<double>(info.pixel_bytes()) * (out.channels - 1) / out.channels;
  const memory_limit have = memory_for(request.limits);
  // Whether the later channels can be held apart from the picture at all.
  const bool separable = pipelined && !p.decoded && out.channels > 1 && settings.method == engine::fast &&
                         (format == image_format::png || format == image_format::jpeg ||
                          format == image_format::tiff) &&
                         have.name.find("RLIMIT_AS") == std::string::npos;
  const bool squeeze = separable && have.bytes > 0 && need > have.bytes;
  const bool pack = squeeze && !settings.alpha && packed <= have.bytes;
  const bool again = squeeze && !pack && lean <= have.bytes;
  // With the memory for the whole, the later channels are still kept apart
  // as they are, uncompressed, while the first is resized: the decoded
  // picture then never sits whole beside the engine's array, for about a
  // copy's time. Only where the picture is at least a quarter of that
  // array (a shrink, mostly): an enlargement's peak comes at its end,
  // the array, the output and the encoder together, the picture long gone.
  // Not for a batch keeping its pages for the next file, nor under an
  // address-space limit (the decoder's buffer is reserved whole all the
  // same). A batch keeps no pages of a picture beyond malloc's largest
  // mmap threshold: such a buffer is mapped afresh for every file and
  // unmapped when freed whatever the batch asks, so keeping it whole only
  // raised the batch's peak over a single run's (99.6 against 90 MiB on
  // 4000x3000 JPEGs to 50%).
  const bool pages_kept = request.keep_pages && info.pixel_bytes() < mapped_afresh;
  const bool pack_plain = separable && !squeeze && !settings.alpha && !pages_kept &&
                          4 * static_cast<double>(info.pixel_bytes()) >= working;
  const double held = pack ? packed : again ? lean : need;
  *err = memory_refusal(held, new_width, new_height, request.limits);
  if (!err->empty()) return false;
  if (request.admitted) request.admitted(held);
  make_room_for(held, have.bytes);  // cached engine states give way
  const bool to_stdout = request.output == "-";
  if (!to_stdout && !check_output_target(request.output.c_str(), err)) {
    *where = request.output;
    return false;
  }

  if (info.has_alpha() && !out.has_alpha() && request.note)
    request.note(std::string(format_name(request.format)) + " output has no alpha channel; alpha is dropped");
  if (!out.allocate_for_overwrite()) throw std::bad_alloc();  // the resize writes every sample
  encode_options options;
  options.quality = request.quality;
  options.lossless = request.lossless;

  // A first picture stored as displayed goes through the overlapped
  // pipeline; another page, or one the EXIF orientation turns, is decoded
  // whole (and turned) first.
  const bool to_srgb = info.cmyk && !out.cmyk;  // ink into sRGB before the resize
  if (pipelined) {
    pipeline_job job;
    job.data = bytes.data;
    job.size = bytes.size;
    job.format = format;
    job.info = info;
    job.out = &out;
    job.settings = settings;
    job.strip = request.strip;
    job.out_format = request.format;
    job.options = options;
    job.output = request.output;
    job.input_intact = [&bytes] { return !bytes.spoiled(); };
    job.input_done = [&bytes] { bytes.release(); };
    job.input_progress = [&bytes](double share) { bytes.drop_before(share); };
    job.again = again;
    job.pack = pack || pack_plain;
    job.pack_plain = pack_plain;
    job.keep_pages = pages_kept;
    job.picture_gone = request.picture_gone;
    if (predecoded) job.decoded = &p.source;
    switch (run_pipeline(job, err)) {
      case pipeline_status::done:
        return true;
      case pipeline_status::input_failed:
        return input_fails();
      case pipeline_status::output_failed:
        *where = to_stdout ? "standard output" : request.output;
        return false;
      case pipeline_status::resize_failed:
        if (err->rfind("out of memory", 0) == 0) *err = out_of_memory(*err);
        return false;
      case pipeline_status::start_over:
        err->clear();
        break;
    }
  }

  image& source = p.source;
  if (p.decoded) {
    // Decoded ahead: the failure, if any, was kept for now.
    if (p.decode_failed) {
      *err = p.err;
      return input_fails();
    }
  } else if (!decode_image(bytes.data, bytes.size, format, &source, err, page - 1) || bytes.spoiled()) {
    return input_fails();
  }
  bytes.release();
  if (!apply_orientation(&source)) throw std::bad_alloc();
  // Three channels to resize, not four.
  if (to_srgb) {
    std::string note;
    if (!cmyk_to_srgb(&source, &note, err)) return false;
    if (!note.empty() && request.note) request.note(note);
  }
  carry_metadata(&source, &out, request.strip, request.format);
  image_view view = view_of(source);
  view.channels = out.channels;  // a dropped alpha channel is simply not read
  if (!resize(view, span_of(out), settings, resize_hooks{}, err)) {
    if (err->rfind("out of memory", 0) == 0) *err = out_of_memory(*err);
    return false;
  }
  if (request.picture_gone && pages_kept) request.picture_gone(std::move(source.pixels));
  source = {};

  *where = to_stdout ? "standard output" : request.output;
  return to_stdout ? encode_to_fd(out, request.format, options, STDOUT_FILENO, err)
                   : encode_to_file(out, request.format, options, request.output, err);
}

}  // namespace

std::string size_text(std::int64_t width, std::int64_t height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

std::string out_of_memory(const std::string& message) {
  const memory_limit have = process_memory_limit();
  return have.bytes > 0
             ? message + " (this process may use " + mebibytes(have.bytes) + " MiB: " + have.name + ")"
             : message;
}

std::int64_t largest_side(image_format format) {
  // libjpeg's JPEG_MAX_DIMENSION, libwebp's WEBP_MAX_DIMENSION.
  return format == image_format::jpeg ? 65500 : format == image_format::webp ? 16383 : 0;
}

std::string pixel_refusal(const file_limits& limits, const char* what, std::int64_t width,
                          std::int64_t height) {
  const std::uint64_t pixels = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
  if (limits.pixels == 0 || pixels <= limits.pixels) return "";
  return std::string(what) + " " + size_text(width, height) + " = " + std::to_string(pixels) +
         " pixels, more than the pixel limit (" + std::to_string(limits.pixels) + ")";
}

std::uint64_t input_byte_limit(const file_limits& limits) {
  const double bytes = memory_for(limits).bytes;
  return bytes > 0 && bytes < 1.8e19 ? static_cast<std::uint64_t>(bytes) : UINT64_MAX;
}

std::string memory_refusal(double need, std::int64_t new_width, std::int64_t new_height,
                           const file_limits& limits) {
  return memory_refusal(need, "resizing to " + size_text(new_width, new_height), limits);
}

std::string memory_refusal(double need, const std::string& task, const file_limits& limits) {
  const memory_limit have = memory_for(limits);
  if (have.bytes > 0 && need > have.bytes)
    return task + " needs " + mebibytes(need) + " MiB, more than " + have.name + " (" +
           mebibytes(have.bytes) + " MiB)";
  return "";
}

prepared_ptr prepare_input(const file_request& request) {
  struct stat st;
  // Only a regular file is read ahead: opening a FIFO or device, or reading
  // one, is left to the file's turn.
  if (request.input == "-" || stat(request.input.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  try {
    prepared_ptr p(new prepared_input);
    if (!open_input(request, p.get()) && (p->stream || p->opened.fd < 0)) return nullptr;
    return p;
  } catch (const std::bad_alloc&) {
    return nullptr;  // its turn will say so
  }
}

bool prepared_ready(const prepared_input& p, std::int64_t* width, std::int64_t* height,
                    std::int64_t* new_width, std::int64_t* new_height, double* pixel_bytes) {
  if (p.failed) return false;
  *width = p.width;
  *height = p.height;
  *new_width = p.new_width;
  *new_height = p.new_height;
  *pixel_bytes = static_cast<double>(p.bytes.size) + static_cast<double>(p.info.pixel_bytes());
  return true;
}

bool decodes_into_buffer(const file_request& request, const prepared_input& p) {
  return request.keep_pages && request.page == 1 && p.info.pixel_bytes() < mapped_afresh &&
         decodes_into_room(p.format);
}

void decode_ahead(const file_request& request, prepared_input* p, const std::function<void(image* into)>& into) {
  if (p->failed || p->decoded) return;
  try {
    p->decoded = true;
    if (into) into(&p->source);
    if (!decode_image(p->bytes.data, p->bytes.size, p->format, &p->source, &p->err, request.page - 1) ||
        p->bytes.spoiled()) {
      p->decode_failed = true;  // the bytes stay for the failure's report
      p->source = {};
      return;
    }
    p->bytes.release();
  } catch (const std::bad_alloc&) {
    p->decoded = false;  // decoded in its turn instead
    p->source = {};
    p->err.clear();
  }
}

bool run_file_request(const file_request& request, std::string* where, std::string* err) {
  return run_file_request(request, nullptr, where, err);
}

bool run_file_request(const file_request& request, prepared_ptr ahead, std::string* where, std::string* err) {
  try {
    return run(request, std::move(ahead), where, err);
  } catch (const std::bad_alloc&) {
    *where = request.input;
    *err = out_of_memory("out of memory");
  } catch (const std::system_error& e) {  // no thread could be started
    *where = request.input;
    *err = e.what();
  }
  return false;
}

file_request request_for(const std::string& input, const std::string& output, const file_options& options) {
  file_request request;
  request.input = input;
  request.output = output;
  request.format = options.format ? *options.format : format_named_by(output);
  check_quality(options.quality);
  request.quality = options.quality;
  request.settings = options.settings;
  request.limits = options.limits;
  request.strip = options.strip;
  if (options.page < 1) throw error("the page must be 1 or more, not " + std::to_string(options.page));
  request.page = options.page;
  request.lossless = options.lossless;
  if (!options.size.empty()) {
    geometry size;
    std::string why;
    if (!parse_geometry(options.size.c_str(), &size, &why))
      throw error("bad geometry '" + options.size + "': " + why);
    request.size = [size](std::int64_t width, std::int64_t height, std::int64_t* new_width,
                          std::int64_t* new_height, std::string* err) {
      return resolve_geometry(size, width, height, new_width, new_height, err);
    };
  }
  return request;
}

void resize_file(const std::string& input, const std::string& output, const file_options& options) {
  const file_request request = request_for(input, output, options);
  std::string where, err;
  if (run_file_request(request, &where, &err)) return;
  // The pipeline and the streams carry failures as messages; a stop asked
  // for is told apart from a fault by its own.
  if (err == stopped().what()) throw stopped(where + ": " + err);
  throw error(where + ": " + err);
}

}  // namespace pellimor
