// options.cc - usage text and option parsing.
#include "cli/options.h"

#include <cstdlib>
#include <cstring>

namespace {

enum class set_result { ok, too_long, bad_value };

set_result copy_text(char* field, const char* value, std::size_t limit) {
  if (std::strlen(value) > limit) return set_result::too_long;
  std::strcpy(field, value);
  return set_result::ok;
}

set_result set_engine(resize_options* options, const char* value) {
  if (std::strcmp(value, "fast") == 0) {
    options->engine = engine_kind::fast;
  } else if (std::strcmp(value, "direct") == 0) {
    options->engine = engine_kind::direct;
  } else {
    return set_result::bad_value;
  }
  return set_result::ok;
}

set_result set_threads(resize_options* options, const char* value) {
  char* end = nullptr;
  const long count = std::strtol(value, &end, 10);
  if (end == value || *end != '\0' || count < 0 || count > 1024) return set_result::bad_value;
  options->threads = static_cast<std::int32_t>(count);
  return set_result::ok;
}

// A keyword sets either an integer field or, through `set`, anything else.
struct option_entry {
  const char* keyword;
  std::int32_t resize_options::*integer;
  set_result (*set)(resize_options*, const char*);
};

// Tried in this order; "h" is handled before the table.
const option_entry option_table[] = {
    {"o", nullptr,
     [](resize_options* o, const char* v) { return copy_text(o->output_name, v, max_output_base_length); }},
    {"i", nullptr,
     [](resize_options* o, const char* v) { return copy_text(o->input_name, v, max_name_length); }},
    {"i2", nullptr,
     [](resize_options* o, const char* v) { return copy_text(o->input2_name, v, max_name_length); }},
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
     [](resize_options* o, const char* v) {
       o->Fsc = std::strtod(v, nullptr);
       return set_result::ok;
     }},
    {"sizexminus", &resize_options::sizexminus, nullptr},
    {"sizexminusy", &resize_options::sizexminusy, nullptr},
    {"orgx", &resize_options::orgx, nullptr},
    {"orgy", &resize_options::orgy, nullptr},
    {"engine", nullptr, set_engine},
    {"threads", nullptr, set_threads},
};

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
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') continue;  // neither an option nor a value
    const char* keyword = argv[i] + 1;
    if (std::strcmp(keyword, "h") == 0 || std::strcmp(keyword, "help") == 0 ||
        std::strcmp(keyword, "-help") == 0) {
      print_usage(stderr);
      return 0;
    }
    const option_entry* entry = find_option(keyword);
    if (entry == nullptr || i + 1 >= argc) return usage_error(stderr);
    const char* value = argv[++i];
    if (entry->integer != nullptr) {
      options->*entry->integer = parse_int(value);
      continue;
    }
    switch (entry->set(options, value)) {
      case set_result::ok:
        break;
      case set_result::too_long:
        std::fprintf(stderr, "pellimor: the value of -%s is longer than %d characters\n", entry->keyword,
                     std::strcmp(entry->keyword, "o") == 0 ? max_output_base_length : max_name_length);
        return 2;
      case set_result::bad_value:
        return usage_error(stderr);
    }
  }
  if (options->input_name[0] == '\0' || options->output_name[0] == '\0') return usage_error(stderr);
  return -1;
}
