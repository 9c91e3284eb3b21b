// SPDX-License-Identifier: MIT
// options.cc - usage text and option parsing.
#include "cli/options.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cli/help.h"

using namespace pellimor::detail;  // the library's internals

namespace {

// What a setter made of its value: refused means *err holds the message.
enum class set_result { ok, too_long, bad_value, refused };

set_result copy_text(char* field, const char* value, std::size_t limit) {
  if (std::strlen(value) > limit) return set_result::too_long;
  std::strcpy(field, value);
  return set_result::ok;
}

set_result set_engine(resize_options* options, const char* value, std::string*) {
  if (std::strcmp(value, "fast") == 0) {
    options->engine = engine_kind::fast;
  } else if (std::strcmp(value, "direct") == 0) {
    options->engine = engine_kind::direct;
  } else {
    return set_result::bad_value;
  }
  return set_result::ok;
}

set_result set_threads(resize_options* options, const char* value, std::string*) {
  char* end = nullptr;
  const long count = std::strtol(value, &end, 10);
  if (end == value || *end != '\0' || count < 0 || count > 1024) return set_result::bad_value;
  options->threads = static_cast<std::int32_t>(count);
  return set_result::ok;
}

set_result set_size(resize_options* options, const char* value, std::string* err) {
  std::string why;
  if (!parse_geometry(value, &options->size, &why)) {
    *err = "-size: bad geometry '" + std::string(value) + "': " + why;
    return set_result::refused;
  }
  options->size_given = true;
  return set_result::ok;
}

// One of a keyword's words, by its index in `words`; refused with a message
// listing them otherwise.
template <std::size_t n>
bool pick_word(const char* keyword, const char* value, const char* const (&words)[n], std::size_t* index,
               std::string* err) {
  for (std::size_t i = 0; i < n; ++i) {
    if (std::strcmp(value, words[i]) == 0) {
      *index = i;
      return true;
    }
  }
  *err = std::string("-") + keyword + " takes ";
  for (std::size_t i = 0; i < n; ++i)
    *err += std::string(words[i]) + (i + 2 < n ? ", " : i + 1 < n ? " or " : "");
  *err += ", not '" + std::string(value) + "'";
  return false;
}

set_result set_round(resize_options* options, const char* value, std::string* err) {
  static const char* const words[] = {"trunc", "nearest"};
  std::size_t i = 0;
  if (!pick_word("round", value, words, &i, err)) return set_result::refused;
  options->round = i == 0 ? pellimor::rounding::trunc : pellimor::rounding::nearest;
  return set_result::ok;
}

set_result set_linear(resize_options* options, const char* value, std::string* err) {
  static const char* const words[] = {"on", "off"};
  std::size_t i = 0;
  if (!pick_word("linear", value, words, &i, err)) return set_result::refused;
  options->linear = i == 0;
  return set_result::ok;
}

set_result set_progress(resize_options* options, const char* value, std::string* err) {
  static const char* const words[] = {"lines", "bar", "off"};
  static const progress_mode modes[] = {progress_mode::lines, progress_mode::bar, progress_mode::off};
  std::size_t i = 0;
  if (!pick_word("progress", value, words, &i, err)) return set_result::refused;
  options->progress = modes[i];
  return set_result::ok;
}

set_result set_format(resize_options* options, const char* value, std::string* err) {
  static const char* const words[] = {"bmp", "png", "jpeg", "jpg", "tiff", "tif", "webp"};
  static const pellimor::image_format formats[] = {pellimor::image_format::bmp,  pellimor::image_format::png,
                                                   pellimor::image_format::jpeg, pellimor::image_format::jpeg,
                                                   pellimor::image_format::tiff, pellimor::image_format::tiff,
                                                   pellimor::image_format::webp};
  std::size_t i = 0;
  if (std::strcmp(value, "gif") == 0) {
    *err = "-format gif: GIF files are read, not written";
    return set_result::refused;
  }
  if (!pick_word("format", value, words, &i, err)) return set_result::refused;
  options->format = formats[i];
  return set_result::ok;
}

set_result set_lossless(resize_options* options, const char* value, std::string* err) {
  static const char* const words[] = {"on", "off"};
  std::size_t i = 0;
  if (!pick_word("lossless", value, words, &i, err)) return set_result::refused;
  options->lossless = i == 0;
  return set_result::ok;
}

set_result set_page(resize_options* options, const char* value, std::string* err) {
  char* end = nullptr;
  const long page = std::strtol(value, &end, 10);
  if (end == value || *end != '\0' || !(value[0] >= '0' && value[0] <= '9') || page < 1 || page > INT32_MAX) {
    *err = "-page takes a whole number of at least 1, not '" + std::string(value) + "'";
    return set_result::refused;
  }
  options->page = static_cast<int>(page);
  return set_result::ok;
}

set_result set_strip(resize_options* options, const char* value, std::string* err) {
  static const char* const words[] = {"meta", "all", "none"};
  static const pellimor::strip_mode modes[] = {pellimor::strip_mode::metadata, pellimor::strip_mode::all,
                                               pellimor::strip_mode::none};
  std::size_t i = 0;
  if (!pick_word("strip", value, words, &i, err)) return set_result::refused;
  options->strip = modes[i];
  return set_result::ok;
}

set_result set_taper(resize_options* options, const char* value, std::string* err) {
  char* end = nullptr;
  const double p = std::strtod(value, &end);
  if (end == value || *end != '\0' || !std::isfinite(p) || p < 0.0) {
    *err = "-taper takes a number of at least 0, not '" + std::string(value) + "'";
    return set_result::refused;
  }
  options->taper = p;
  return set_result::ok;
}

set_result set_quality(resize_options* options, const char* value, std::string* err) {
  char* end = nullptr;
  const long q = std::strtol(value, &end, 10);
  if (end == value || *end != '\0' || q < 1 || q > 100) {
    *err = "-quality takes a whole number from 1 to 100, not '" + std::string(value) + "'";
    return set_result::refused;
  }
  options->quality = static_cast<int>(q);
  options->quality_given = true;
  return set_result::ok;
}

// A count with an optional suffix: `step` (1000 or 1024) to the power
// of the suffix's place in "KMGT". False when it is not one or overflows.
bool parse_count(const std::string& text, std::uint64_t step, bool bytes, std::uint64_t* value) {
  std::size_t at = 0;
  std::uint64_t n = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    const std::uint64_t digit = static_cast<std::uint64_t>(text[at] - '0');
    if (n > (UINT64_MAX - digit) / 10) return false;
    n = n * 10 + digit;
  }
  if (at == 0) return false;
  std::string suffix = text.substr(at);
  static const char units[] = "KMGT";
  const char* unit = suffix.empty() ? nullptr : std::strchr(units, suffix[0] == 'k' ? 'K' : suffix[0]);
  if (unit != nullptr && *unit != '\0') {
    for (const char* u = units; u <= unit; ++u) {
      if (n > UINT64_MAX / step) return false;
      n *= step;
    }
    suffix.erase(0, 1);
    if (bytes && (suffix == "iB" || suffix == "B")) suffix.clear();
  } else if (bytes && suffix == "B") {
    suffix.clear();
  }
  if (!suffix.empty()) return false;
  *value = n;
  return true;
}

set_result set_limit(resize_options* options, const char* value, std::string* err) {
  if (!parse_limits(value, &options->limits, err)) return set_result::refused;
  return set_result::ok;
}

// A keyword sets either an integer field or, through `set`, anything else.
struct option_entry {
  const char* keyword;
  std::int32_t resize_options::*integer;
  set_result (*set)(resize_options*, const char*, std::string* err);
};

// Tried in this order; help and version are handled before the table.
const option_entry option_table[] = {
    {"o", nullptr,
     [](resize_options* o, const char* v, std::string*) {
       return copy_text(o->output_name, v, max_output_base_length);
     }},
    {"i", nullptr,
     [](resize_options* o, const char* v, std::string*) {
       return copy_text(o->input_name, v, max_name_length);
     }},
    {"i2", nullptr,
     [](resize_options* o, const char* v, std::string*) {
       return copy_text(o->input2_name, v, max_name_length);
     }},
    {"x", &resize_options::x, nullptr},
    {"y", &resize_options::y, nullptr},
    {"startx", &resize_options::startx, nullptr},
    {"starty", &resize_options::starty, nullptr},
    {"hv", &resize_options::hv, nullptr},
    {"bunshi", &resize_options::bunshi, nullptr},
    {"bunbo", &resize_options::bunbo, nullptr},
    {"norm", &resize_options::norm, nullptr},
    {"mado", &resize_options::mado, nullptr},
    {"tapnum_y", &resize_options::tapnum_y, nullptr},
    {"tapnum_c", &resize_options::tapnum_c, nullptr},
    {"Fsc", nullptr,
     [](resize_options* o, const char* v, std::string*) {
       o->Fsc = std::strtod(v, nullptr);
       return set_result::ok;
     }},
    {"sizexminus", &resize_options::sizexminus, nullptr},
    {"sizexminusy", &resize_options::sizexminusy, nullptr},
    {"orgx", &resize_options::orgx, nullptr},
    {"orgy", &resize_options::orgy, nullptr},
    {"engine", nullptr, set_engine},
    {"threads", nullptr, set_threads},
    {"size", nullptr, set_size},
    {"round", nullptr, set_round},
    {"taper", nullptr, set_taper},
    {"linear", nullptr, set_linear},
    {"progress", nullptr, set_progress},
    {"format", nullptr, set_format},
    {"quality", nullptr, set_quality},
    {"limit", nullptr, set_limit},
    {"lossless", nullptr, set_lossless},
    {"page", nullptr, set_page},
    {"strip", nullptr, set_strip},
};

// Keywords that end parsing at once, with their text.
const char* const usage_keywords[] = {"h", "help"};
const char* const help_keywords[] = {"-help"};
const char* const version_keywords[] = {"version", "-version"};

template <std::size_t n>
bool is_one_of(const char* keyword, const char* const (&keywords)[n]) {
  for (const char* k : keywords)
    if (std::strcmp(k, keyword) == 0) return true;
  return false;
}

const option_entry* find_option(const char* keyword) {
  for (const option_entry& entry : option_table)
    if (std::strcmp(entry.keyword, keyword) == 0) return &entry;
  return nullptr;
}

int usage_error(std::FILE* out) {
  print_usage(out);
  return 2;
}

}  // namespace

void print_usage(std::FILE* out) {
  static const char* const lines[] = {
      "Usage: PELLIMOR [options]\n",
      "\toptions: \n",
      "\t  -help          : \xA5\xD8\xA5\xEB\xA5\xD7\xA5\xE1\xA5\xC3\xA5\xBB\xA1\xBC\xA5\xB8\xBD\xD0\xCE\xCF"
      "\n",
      "\t  -i             : input file name\n",
      "\t  -o             : output file name (extension .bmp auto added)\n",
      "\t  -sizexminus    :  horizontal pixel number difference between source and distination \n",
      "\t  -sizexminusy   : vertical pixel number difference between source and distination\n",
  };
  for (const char* line : lines) std::fprintf(out, "%s", line);
}

std::int32_t parse_int(const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '-' || *p == '+') negative = *p++ == '-';
  std::uint32_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + (*p - '0');
  return static_cast<std::int32_t>(negative ? 0u - value : value);
}

int parse_options(int argc, char** argv, resize_options* options) {
  bool sizexminus_given = false, sizexminusy_given = false;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') continue;  // neither an option nor a value
    const char* keyword = argv[i] + 1;
    if (is_one_of(keyword, usage_keywords)) {
      print_usage(stderr);
      return 0;
    }
    if (is_one_of(keyword, help_keywords)) {
      print_help(stdout);
      return 0;
    }
    if (is_one_of(keyword, version_keywords)) {
      print_version(stdout);
      return 0;
    }
    const option_entry* entry = find_option(keyword);
    if (entry == nullptr || i + 1 >= argc) return usage_error(stderr);
    const char* value = argv[++i];
    if (entry->integer != nullptr) {
      options->*entry->integer = parse_int(value);
      if (entry->integer == &resize_options::sizexminus) sizexminus_given = true;
      if (entry->integer == &resize_options::sizexminusy) sizexminusy_given = true;
      continue;
    }
    std::string err;
    switch (entry->set(options, value, &err)) {
      case set_result::ok:
        break;
      case set_result::too_long:
        std::fprintf(stderr, "pellimor: the value of -%s is longer than %d characters\n", entry->keyword,
                     std::strcmp(entry->keyword, "o") == 0 ? max_output_base_length : max_name_length);
        return 2;
      case set_result::bad_value:
        return usage_error(stderr);
      case set_result::refused:
        std::fprintf(stderr, "pellimor: %s\n", err.c_str());
        return 2;
    }
  }
  if (options->size_given && (sizexminus_given || sizexminusy_given)) {
    std::fprintf(stderr, "pellimor: -size cannot be used with %s\n",
                 sizexminus_given && sizexminusy_given ? "-sizexminus and -sizexminusy"
                 : sizexminus_given                    ? "-sizexminus"
                                                       : "-sizexminusy");
    return 2;
  }
  if (options->input_name[0] == '\0' || options->output_name[0] == '\0') return usage_error(stderr);
  return -1;
}

bool parse_limits(const char* text, pellimor::file_limits* limits, std::string* err) {
  const std::string all = text;
  std::size_t start = 0;
  do {
    const std::size_t comma = std::min(all.find(',', start), all.size());
    const std::string item = all.substr(start, comma - start);
    const std::size_t equals = item.find('=');
    const std::string name = item.substr(0, equals),
                      number = equals == std::string::npos ? "" : item.substr(equals + 1);
    bool ok = false;
    if (name == "pixels")
      ok = parse_count(number, 1000, false, &limits->pixels);
    else if (name == "memory")
      ok = parse_count(number, 1024, true, &limits->memory);
    if (!ok) {
      *err =
          "-limit takes pixels=N and memory=SIZE, comma separated (pixels=100M,memory=2G), not '" + all + "'";
      return false;
    }
    start = comma + 1;
  } while (start <= all.size());
  return true;
}

std::vector<std::string> option_keywords() {
  std::vector<std::string> keywords;
  for (const char* k : usage_keywords) keywords.push_back(k);
  for (const char* k : help_keywords) keywords.push_back(k);
  for (const char* k : version_keywords) keywords.push_back(k);
  for (const option_entry& entry : option_table) keywords.push_back(entry.keyword);
  return keywords;
}
