// SPDX-License-Identifier: MIT
// verb.h - "pellimor resize": options in the GNU style, any number of
// inputs, the output format from the output's name, silence but for errors.
//
//   pellimor resize [OPTIONS] INPUT OUTPUT
//   pellimor resize [OPTIONS] INPUT... -o FOLDER/
//   pellimor resize [OPTIONS] INPUT... -o PATTERN      (%s: the input's stem)
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "lib/batch.h"
#include "pellimor/pellimor.h"

// What the words after "resize" ask for.
struct verb_options {
  std::vector<std::string> inputs;
  std::string output;                                      // -o, or the second of two words
  std::string size;                                        // -s: a geometry, "" for the picture's own
  std::optional<pellimor::image_format> format;            // --format: over the output's name
  int quality = 92;                                        // -Q: JPEG and lossy WebP, 1..100
  bool quality_given = false;                              // whether -Q was given
  pellimor::rounding round = pellimor::rounding::nearest;  // --round nearest|trunc
  double taper = 0.0;                                      // --taper P >= 0
  bool linear = false;                                     // --linear
  pellimor::strip_mode strip = pellimor::strip_mode::none;  // --strip: metadata; --strip=all: ICC too
  int threads = 0;                                         // -t: engine threads in all, 0 for one per core
  int jobs = 0;                                            // -j: files in flight, 0 to choose
  bool no_clobber = false;                                 // -n: leave existing outputs alone
  bool quiet = false;                                      // -q: errors only
  std::optional<bool> bar;       // --progress bar|none; unset: a bar when standard error is a terminal
  pellimor::file_limits limits;  // --limit pixels=N,memory=SIZE
  bool lossless = false;         // --lossless: WebP without loss
  int page = 1;                  // --page N: the input's page or frame, from 1
  bool help = false;             // -h, --help
};

// One option of the verb: its long name, its short letter ('\0' for none)
// and the name of its value (nullptr for a flag). A flag may take a value
// after '=' all the same when `optional` names it.
struct verb_option {
  const char* long_name;
  char short_name;
  const char* value;
  const char* optional = nullptr;
};
const std::vector<verb_option>& verb_option_list();

// Parses the words after "resize". 0 with *options filled in (check
// options->help first), or 2 with *err: the message, without the
// "pellimor: " it is printed after.
int parse_verb(const std::vector<std::string>& words, verb_options* options, std::string* err);

// Each input's output and format, as the batch will name them. False with
// *err for a request that names none (printed with status 2).
bool plan_verb(const verb_options& options, std::vector<pellimor::planned_output>* plan, std::string* err);

// The help of "pellimor resize --help".
void print_verb_help(std::FILE* out);

// The whole verb: argv[0] is "resize". Returns the exit status: 0 when
// every output was written (or skipped), 1 when any file failed, 2 for a
// bad command line.
int run_verb(int argc, char** argv);
