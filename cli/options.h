// SPDX-License-Identifier: MIT
// options.h - the command line: usage text, option keywords, options record.
//
// Every keyword but the help and version ones (-h, -help, --help, -version,
// --version) takes its value from the next argument, whatever that
// argument looks like (so "-sizexminus -8" sets -8). Arguments that are
// neither an option nor a value are ignored; a later option overrides an
// earlier one. Integers convert like atoi but wrap modulo 2^32 instead of
// overflowing.
//
// Keywords added later (-size, -round, -taper, -linear, -progress, -format,
// -quality, -limit, -lossless, -page, -strip) say what is wrong with a bad value in a message of their own;
// the original keywords keep printing the usage text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "lib/geometry.h"
#include "pellimor/pellimor.h"

enum class engine_kind {
  fast,    // FFT-based transforms: the default
  direct,  // direct cosine sums, one cosine per term
};

enum class progress_mode {
  lines,  // phase lines and remain counters: the default
  bar,    // one updating line on stderr when it is a terminal, else nothing
  off,    // errors only
};

// The options of one run. Keywords with no effect on the output are still
// accepted and stored.
struct resize_options {
  std::int32_t x = 720;                    // -x, not used
  std::int32_t y = 480;                    // -y, not used
  std::int32_t startx = 0;                 // -startx, not used
  std::int32_t starty = 0;                 // -starty, not used
  char input_name[128] = {};               // -i: the BMP file to read
  char input2_name[128] = {};              // -i2, not used
  char output_name[128] = {};              // -o: base name; the run appends ".bmp"
  std::int32_t hv = 0;                     // -hv, not used
  std::int32_t sizexminus = 0;             // -sizexminus: pixels added to the width (may be < 0)
  std::int32_t sizexminusy = 0;            // -sizexminusy: pixels added to the height (may be < 0)
  std::int32_t bunshi = 0;                 // -bunshi, not used
  std::int32_t bunbo = 0;                  // -bunbo, not used
  std::int32_t norm = 0;                   // -norm, not used
  std::int32_t mado = 0;                   // -mado, not used
  std::int32_t tapnum_y = 0;               // -tapnum_y, not used
  std::int32_t tapnum_c = 0;               // -tapnum_c, not used
  double Fsc = 0.0;                        // -Fsc, not used
  std::int32_t orgx = 720;                 // -orgx: start value of the width, replaced by the header
  std::int32_t orgy = 480;                 // -orgy: start value of the height, replaced by the header
  engine_kind engine = engine_kind::fast;  // -engine fast|direct
  std::int32_t threads = 0;                // -threads: worker threads, 0 for one per core
  pellimor::detail::geometry size;         // -size: the output size, of the picture as displayed
  bool size_given = false;                 // whether -size was given (never with -sizexminus/-sizexminusy)
  pellimor::rounding round = pellimor::rounding::trunc;  // -round trunc|nearest
  double taper = 0.0;                                    // -taper P: sinc(k/K)^P on kept coefficients, >= 0
  bool linear = false;                                   // -linear on|off: resize in linear light
  progress_mode progress = progress_mode::lines;         // -progress lines|bar|off
  pellimor::image_format format = pellimor::image_format::bmp;  // -format bmp|png|jpeg|jpg|tiff|tif|webp
  int quality = 92;                                             // -quality: JPEG and WebP quality, 1..100
  bool quality_given = false;                                   // whether -quality was given
  pellimor::file_limits limits;  // -limit pixels=N,memory=SIZE: what a file may cost
  bool lossless = false;         // -lossless on|off: WebP output without loss
  int page = 1;                  // -page N: the page or frame of the input, from 1
  pellimor::strip_mode strip = pellimor::strip_mode::none;  // -strip meta|all|none: metadata left out
};

// Longest value a string option takes, and longest output base name (room
// is left for ".bmp").
constexpr int max_name_length = 127;
constexpr int max_output_base_length = 123;

// Writes the seven-line usage text.
void print_usage(std::FILE* out);

// Decimal string to signed 32-bit: leading white space, an optional sign,
// digits up to the first non-digit, wrapping on overflow; 0 without digits.
std::int32_t parse_int(const char* text);

// Fills *options from argv. Returns -1 to go on, or the exit status to end
// with after it has written its text:
// 0 for -h and -help (the usage text on stderr), --help (the full help on
// stdout), -version and --version (the version on stdout); 2 for an unknown
// option, a missing value, a bad value, a missing -i or -o (the usage text
// on stderr), or -size with -sizexminus or -sizexminusy. An over-long name,
// a bad value of a later keyword and the -size conflict get a message of
// their own on stderr instead of the usage text.
int parse_options(int argc, char** argv, resize_options* options);

// The value of -limit: "pixels=N" and "memory=SIZE", either or both, comma
// separated. N may end in K, M or G (thousands, millions, billions of
// pixels); SIZE in K, M, G or T (KiB, MiB, GiB, TiB), with an optional "B"
// or "iB" after it. 0 means no limit of that kind. False with *err.
bool parse_limits(const char* text, pellimor::file_limits* limits, std::string* err);

// Every keyword parse_options takes, without its leading dash ("help",
// "-help", "size", ...).
std::vector<std::string> option_keywords();
