// SPDX-License-Identifier: MIT
// verb.cc - "pellimor resize": parsing, help and the run, on the library's
// batch routine.
#include "cli/verb.h"

#include <malloc.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cli/options.h"
#include "cli/progress_bar.h"
#include "cli/std_streams.h"
#include "lib/geometry.h"

using namespace pellimor::detail;  // the library's internals

namespace {

const char help_text[] =
    "Usage: pellimor resize [OPTIONS] INPUT OUTPUT\n"
    "       pellimor resize [OPTIONS] INPUT... -o FOLDER/\n"
    "       pellimor resize [OPTIONS] INPUT... -o PATTERN\n"
    "\n"
    "Resizes pictures (BMP, PNG, JPEG, TIFF, WebP; GIF read only) in the\n"
    "cosine-transform domain. The output's format comes from its name (.bmp\n"
    ".png .jpg .jpeg .tif .tiff .webp, any case) unless --format says it.\n"
    "INPUT - reads standard input (as the one input); OUTPUT - writes standard\n"
    "output, in the --format format, else the one the input's name says.\n"
    "\n"
    "Outputs:\n"
    "  -o, --output FOLDER/  each output in FOLDER under its input's file name,\n"
    "                        with --format under that name with the format's\n"
    "                        extension; an existing folder needs no /\n"
    "  -o, --output PATTERN  %s in PATTERN becomes the input's file name without\n"
    "                        folder and extension, %% a %: -o out/%s_small.jpg\n"
    "  --format FORMAT       bmp, png, jpeg, jpg, tiff, tif or webp, whatever\n"
    "                        the output's name says\n"
    "  --lossless            WebP output without loss (lossy otherwise)\n"
    "  --page N              the page of a multi-page TIFF, or the frame of an\n"
    "                        animated GIF or WebP, to read (default 1; a note\n"
    "                        names the count when there are several)\n"
    "  -n, --no-clobber      leave an output that exists alone, saying so\n"
    "  --strip               leave metadata (EXIF, XMP, text, density) out but\n"
    "                        keep the ICC profile (all is kept otherwise)\n"
    "  --strip=all           leave the ICC profile out too\n"
    "\n"
    "Size and values:\n"
    "  -s, --size GEOMETRY   the output size, as for pellimor -size (see\n"
    "                        pellimor --help): 50%, 800x600, 800x600!, 1531,\n"
    "                        x240, 800x800>, 100000@ (default: the picture's)\n"
    "  -Q, --quality Q       JPEG and lossy WebP quality, 1 to 100 (default 92)\n"
    "  --round MODE          nearest: halves up (default); trunc: toward zero\n"
    "  --taper P             multiply kept coefficient k of K by sinc(k/K)^P on\n"
    "                        each axis, P >= 0 (default 0); softens ringing\n"
    "  --linear              resize sRGB colour in linear light\n"
    "  --limit LIMITS        pixels=N,memory=SIZE: refuse bigger pictures and\n"
    "                        work, as pellimor -limit does\n"
    "\n"
    "Work:\n"
    "  -t, --threads N       engine threads in all, 0 for one per core (default)\n"
    "  -j, --jobs N          files in flight, each with threads/N engine threads\n"
    "                        (at least 1). Default 0: one file at a time on\n"
    "                        every thread, so that a batch takes little more\n"
    "                        memory than its largest file alone; files whose\n"
    "                        picture and result both have at most 100000\n"
    "                        pixels (by the file's header) run as many at once\n"
    "                        as threads, each on one\n"
    "  -q, --quiet           errors only: no notes, no word of skipped outputs\n"
    "  --progress MODE       bar: the percentage done and the time left on\n"
    "                        standard error (files done, for several inputs);\n"
    "                        none (default: bar when standard error is a\n"
    "                        terminal, none otherwise)\n"
    "  -h, --help            this text\n"
    "\n"
    "Options take values as --opt=V, --opt V, -xV or -x V; -- ends the options.\n"
    "Nothing is printed but errors and notes, each error on a line of its own\n"
    "naming the option or file at fault (pellimor: FILE: reason). A file that\n"
    "fails does not stop the others. Each output is written whole or not at\n"
    "all: Ctrl-C leaves the finished files and no partial one.\n"
    "\n"
    "Exit status:\n"
    "  0  every output was written (or skipped with -n)\n"
    "  1  some file could not be read, resized or written; the others were done\n"
    "  2  a bad command line: unknown option, missing or bad value, no input,\n"
    "     several inputs without -o FOLDER/ or -o PATTERN, a name of no format\n"
    "\n"
    "Examples:\n"
    "  pellimor resize -s 50% photo.jpg half.jpg\n"
    "  pellimor resize -s 800x800 -Q 85 *.jpg -o thumbs/\n"
    "  pellimor resize -s 1920x --format png scans/*.tif -o big/%s_1920.png\n";

const std::vector<verb_option> options_list = {
    {"output", 'o', "OUTPUT"},    {"size", 's', "GEOMETRY"}, {"quality", 'Q', "Q"},
    {"round", '\0', "MODE"},      {"taper", '\0', "P"},      {"linear", '\0', nullptr},
    {"strip", '\0', nullptr, "all"},     {"threads", 't', "N"},     {"jobs", 'j', "N"},
    {"no-clobber", 'n', nullptr}, {"quiet", 'q', nullptr},   {"progress", '\0', "MODE"},
    {"format", '\0', "FORMAT"},   {"limit", '\0', "LIMITS"}, {"help", 'h', nullptr},
    {"lossless", '\0', nullptr},  {"page", '\0', "N"},
};

bool whole_number(const std::string& text, long low, long high, long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long n = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || n < low || n > high || !(text[0] >= '0' && text[0] <= '9')) return false;
  *value = n;
  return true;
}

// Sets what option `name` (its long name), written `shown`, says with
// `value` (unused by flags). False with *err.
bool apply(const std::string& name, const std::string& shown, const std::string& value, bool* output_given,
           verb_options* o, std::string* err) {
  const auto refuse = [&](const std::string& takes) {
    *err = shown + " takes " + takes + ", not '" + value + "'";
    return false;
  };
  long n = 0;
  if (name == "output") {
    if (value.empty()) return refuse("a file, folder or pattern");
    o->output = value;
    *output_given = true;
  } else if (name == "size") {
    geometry g;
    std::string why;
    if (!parse_geometry(value.c_str(), &g, &why)) {
      *err = shown + ": bad geometry '" + value + "': " + why;
      return false;
    }
    o->size = value;
  } else if (name == "quality") {
    if (!whole_number(value, 1, 100, &n)) return refuse("a whole number from 1 to 100");
    o->quality = static_cast<int>(n);
    o->quality_given = true;
  } else if (name == "round") {
    if (value == "nearest")
      o->round = pellimor::rounding::nearest;
    else if (value == "trunc")
      o->round = pellimor::rounding::trunc;
    else
      return refuse("nearest or trunc");
  } else if (name == "taper") {
    char* end = nullptr;
    const double p = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !std::isfinite(p) || p < 0.0)
      return refuse("a number of at least 0");
    o->taper = p;
  } else if (name == "threads" || name == "jobs") {
    if (!whole_number(value, 0, 1024, &n)) return refuse("a whole number from 0 to 1024");
    (name == "threads" ? o->threads : o->jobs) = static_cast<int>(n);
  } else if (name == "progress") {
    if (value != "bar" && value != "none") return refuse("bar or none");
    o->bar = value == "bar";
  } else if (name == "format") {
    pellimor::image_format f;
    if (!pellimor::parse_format(value.c_str(), &f)) return refuse("bmp, png, jpeg, jpg, tiff, tif or webp");
    if (!pellimor::format_writable(f)) {
      *err = shown + " " + value + ": GIF files are read, not written";
      return false;
    }
    o->format = f;
  } else if (name == "limit") {
    if (!parse_limits(value.c_str(), &o->limits, err)) {
      // The keyword's message, under this option's name.
      if (err->rfind("-limit", 0) == 0) *err = shown + err->substr(6);
      return false;
    }
  } else if (name == "page") {
    if (!whole_number(value, 1, INT32_MAX, &n)) return refuse("a whole number of at least 1");
    o->page = static_cast<int>(n);
  } else if (name == "lossless") {
    o->lossless = true;
  } else if (name == "linear") {
    o->linear = true;
  } else if (name == "strip") {
    if (!value.empty() && value != "all") return refuse("all or no value");
    o->strip = value.empty() ? pellimor::strip_mode::metadata : pellimor::strip_mode::all;
  } else if (name == "no-clobber") {
    o->no_clobber = true;
  } else if (name == "quiet") {
    o->quiet = true;
  } else if (name == "help") {
    o->help = true;
  }
  return true;
}

int run(const verb_options& o) {
  std::vector<pellimor::planned_output> plan;
  std::string err;
  if (!plan_verb(o, &plan, &err)) {
    std::fprintf(stderr, "pellimor: %s\n", err.c_str());
    return 2;
  }
  if (o.quality_given && !o.quiet) {
    bool jpeg = false;
    for (const pellimor::planned_output& p : plan)
      jpeg |= p.error.empty() && (p.format == pellimor::image_format::jpeg ||
                                  (p.format == pellimor::image_format::webp && !o.lossless));
    if (!jpeg) std::fprintf(stderr, "pellimor: note: --quality applies only to JPEG and lossy WebP output\n");
  }
  pellimor::batch_request request;
  request.inputs = o.inputs;
  request.output = o.output;
  request.format_hint = ", or use --format";
  request.page_hint = " (choose with --page N)";
  request.options.page = o.page;
  request.options.lossless = o.lossless;
  request.options.size = o.size;
  request.options.format = o.format;
  request.options.quality = o.quality;
  request.options.settings.round = o.round;
  request.options.settings.taper = o.taper;
  request.options.settings.linear = o.linear;
  request.options.settings.threads = o.threads;
  request.options.limits = o.limits;
  request.options.strip = o.strip;
  request.batch.jobs = o.jobs;
  request.batch.no_clobber = o.no_clobber;

  const bool bar = o.bar.value_or(isatty(STDERR_FILENO) == 1);
  const bool one = o.inputs.size() == 1;
  // Files of the same sizes reuse the engine's plans and arrays (the
  // program starts with none kept, for single runs).
  if (!one) pellimor::set_cache_limit(std::uint64_t{256} << 20);
#ifdef M_ARENA_MAX
  // A batch's files take turns on its threads, so each thread's malloc
  // arena would keep what its last file freed beside the others': with one
  // arena the next file gets those pages back (no fresh page faults) and
  // the batch's peak stays near a single run's (the threads' few
  // allocations while a file runs seldom meet).
  if (!one) mallopt(M_ARENA_MAX, 1);
#endif
  std::unique_ptr<passes_bar> file_bar;
  std::unique_ptr<progress_bar> files_bar;
  if (bar && one) {
    request.planned = [&](std::size_t, int channels, std::int64_t width, std::int64_t height,
                          std::int64_t new_width, std::int64_t new_height,
                          pellimor::resize_settings* settings) {
      file_bar = std::make_unique<passes_bar>(channels, width, height, new_width, new_height);
      file_bar->attach(settings);
    };
  }
  if (bar && !one)
    files_bar = std::make_unique<progress_bar>(static_cast<std::int64_t>(o.inputs.size()), stderr);
  const bool clear_line = bar && isatty(STDERR_FILENO) == 1;
  // Before a message, the bar's line is cleared; the bar comes back below it.
  const auto say = [&](const std::string& line) {
    if (clear_line) std::fputs("\r\x1b[K", stderr);
    std::fprintf(stderr, "pellimor: %s\n", line.c_str());
  };
  if (!o.quiet)
    request.note = [&](std::size_t i, const std::string& note) {
      say("note: " + plan[i].output + ": " + note);
    };
  std::size_t done = 0;
  bool failed = false;
  request.done = [&](std::size_t, const pellimor::file_result& r) {
    file_bar.reset();
    if (!r.error.empty()) {
      failed = true;
      say(r.error);
    } else if (r.skipped && !o.quiet) {
      say(r.output + ": exists, skipped");
    }
    if (files_bar) files_bar->update(static_cast<std::int64_t>(++done));
  };
  try {
    pellimor::run_batch(request);
  } catch (const pellimor::error& e) {
    std::fprintf(stderr, "pellimor: %s\n", e.what());
    return 2;
  }
  if (files_bar) files_bar->finish();
  return failed ? 1 : 0;
}

}  // namespace

const std::vector<verb_option>& verb_option_list() { return options_list; }

int parse_verb(const std::vector<std::string>& words, verb_options* o, std::string* err) {
  std::vector<std::string> positional;
  bool output_given = false, options_end = false;
  const auto find_long = [](const std::string& name) -> const verb_option* {
    for (const verb_option& v : options_list)
      if (name == v.long_name) return &v;
    return nullptr;
  };
  const auto find_short = [](char c) -> const verb_option* {
    for (const verb_option& v : options_list)
      if (v.short_name != '\0' && c == v.short_name) return &v;
    return nullptr;
  };
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (!options_end && w == "--") {
      options_end = true;
      continue;
    }
    if (options_end || w.size() < 2 || w[0] != '-') {
      positional.push_back(w);
      continue;
    }
    if (w[1] == '-') {
      const std::size_t equals = w.find('=');
      const std::string shown = w.substr(0, equals);
      const verb_option* v = find_long(shown.substr(2));
      if (v == nullptr) {
        *err = "unknown option '" + shown + "' (see pellimor resize --help)";
        return 2;
      }
      std::string value;
      if (v->value == nullptr && v->optional == nullptr && equals != std::string::npos) {
        *err = shown + " takes no value";
        return 2;
      }
      if (v->value == nullptr && equals != std::string::npos) value = w.substr(equals + 1);
      if (v->value != nullptr) {
        if (equals != std::string::npos) {
          value = w.substr(equals + 1);
        } else if (i + 1 < words.size()) {
          value = words[++i];
        } else {
          *err = shown + " needs a value";
          return 2;
        }
      }
      if (!apply(v->long_name, shown, value, &output_given, o, err)) return 2;
      continue;
    }
    for (std::size_t j = 1; j < w.size(); ++j) {
      const std::string shown = std::string("-") + w[j];
      const verb_option* v = find_short(w[j]);
      if (v == nullptr) {
        *err = "unknown option '" + shown + "' (see pellimor resize --help)";
        return 2;
      }
      std::string value;
      if (v->value != nullptr) {
        if (j + 1 < w.size()) {
          value = w.substr(j + 1);
        } else if (i + 1 < words.size()) {
          value = words[++i];
        } else {
          *err = shown + " needs a value";
          return 2;
        }
        j = w.size();
      }
      if (!apply(v->long_name, shown, value, &output_given, o, err)) return 2;
    }
  }
  if (o->help) return 0;
  if (output_given) {
    o->inputs = positional;
  } else if (positional.size() == 2) {
    o->inputs = {positional[0]};
    o->output = positional[1];
  } else if (positional.size() > 2) {
    *err = "several inputs need -o FOLDER/ or -o PATTERN (with %s)";
    return 2;
  } else if (positional.size() == 1) {
    *err = "no output given: pellimor resize INPUT OUTPUT";
    return 2;
  }
  if (o->inputs.empty()) {
    *err = "no input file given";
    return 2;
  }
  return 0;
}

bool plan_verb(const verb_options& o, std::vector<pellimor::planned_output>* plan, std::string* err) {
  return pellimor::plan_outputs(o.inputs, o.output, o.format, ", or use --format", plan, err);
}

void print_verb_help(std::FILE* out) { std::fputs(help_text, out); }

int run_verb(int argc, char** argv) {
  prepare_standard_streams();
  verb_options o;
  std::string err;
  const std::vector<std::string> words(argv + 1, argv + argc);
  int status = parse_verb(words, &o, &err);
  if (status != 0) {
    std::fprintf(stderr, "pellimor: %s\n", err.c_str());
  } else if (o.help) {
    print_verb_help(stdout);
  } else {
    status = run(o);
  }
  return check_standard_streams(status);
}
