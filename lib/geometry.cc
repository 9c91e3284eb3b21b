// SPDX-License-Identifier: MIT
// geometry.cc - parsing geometries and resolving them against a picture size.
#include "lib/geometry.h"

#include <cmath>
#include <cstring>

namespace pellimor::detail {

namespace {

// Sizes are up to 2^31, numbers up to 10^18 (2^60), percentages up to 10^18
// billionths: every product below stays under 2^92.
using wide = unsigned __int128;

// num / den rounded to the nearest integer, halves up.
wide round_ratio(wide num, wide den) { return (2 * num + den) / (2 * den); }

// A number as written: digits with an optional decimal point.
struct number_text {
  const char* begin = nullptr;
  std::size_t length = 0;
  bool present() const { return length > 0; }
  std::string str() const { return std::string(begin, length); }
};

// 'text', in quotes.
std::string quote(const std::string& text) {
  std::string q = "'";
  q += text;
  q += '\'';
  return q;
}

number_text scan_number(const char* p) {
  number_text n{p, 0};
  while ((p[n.length] >= '0' && p[n.length] <= '9') || p[n.length] == '.') ++n.length;
  return n;
}

// A whole number from 1 to max_geometry_number.
bool whole_number(const number_text& n, std::uint64_t* out, std::string* err) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < n.length; ++i) {
    const char c = n.begin[i];
    if (c == '.') {
      *err = quote(n.str()) + " is not a whole number (decimals go with percentages only)";
      return false;
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > max_geometry_number) {
      *err = quote(n.str()) + " is too large";
      return false;
    }
  }
  if (value == 0) {
    *err = quote(n.str()) + " is not a size (sizes are at least 1)";
    return false;
  }
  *out = value;
  return true;
}

// A percentage above 0, with up to nine decimals, in billionths of a percent.
bool percentage(const number_text& n, std::uint64_t* out, std::string* err) {
  std::uint64_t whole = 0, fraction = 0, unit = percent_unit;
  bool point = false, digits = false;
  for (std::size_t i = 0; i < n.length; ++i) {
    const char c = n.begin[i];
    if (c == '.') {
      if (point) {
        *err = quote(n.str()) + " is not a number";
        return false;
      }
      point = true;
      continue;
    }
    digits = true;
    if (!point) {
      whole = whole * 10 + static_cast<std::uint64_t>(c - '0');
      if (whole > max_geometry_number / percent_unit) {
        *err = quote(n.str() + "%") + " is too large";
        return false;
      }
    } else if (unit == 1) {
      *err = quote(n.str() + "%") + " has more than nine decimals";
      return false;
    } else {
      unit /= 10;
      fraction += static_cast<std::uint64_t>(c - '0') * unit;
    }
  }
  if (!digits) {
    *err = quote(n.str()) + " is not a number";
    return false;
  }
  const std::uint64_t value = whole * percent_unit + fraction;
  if (value == 0 || value > max_geometry_number) {
    *err = quote(n.str() + "%") + (value == 0 ? " is not above 0" : " is too large");
    return false;
  }
  *out = value;
  return true;
}

}  // namespace

bool parse_geometry(const char* text, geometry* out, std::string* err) {
  const char* p = text;
  const number_text first = scan_number(p);
  p += first.length;
  bool percent = *p == '%';
  if (percent) ++p;
  bool has_x = false;
  number_text second;
  if (*p == 'x' || *p == 'X') {
    has_x = true;
    second = scan_number(++p);
    p += second.length;
    if (*p == '%') {
      percent = true;
      ++p;
    }
  }
  // Trailing flags, each at most once ('%' may repeat: "50%x25%").
  const char* const flag_chars = "!^<>@";
  bool flags[5] = {};
  for (; *p != '\0'; ++p) {
    if (*p == '%') {
      percent = true;
      continue;
    }
    const char* at = std::strchr(flag_chars, *p);
    if (at == nullptr) {
      *err = "unexpected " + quote(std::string(1, *p));
      return false;
    }
    bool& seen = flags[at - flag_chars];
    if (seen) {
      *err = quote(std::string(1, *p)) + " given twice";
      return false;
    }
    seen = true;
  }
  const bool bang = flags[0], caret = flags[1], less = flags[2], greater = flags[3], area = flags[4];

  geometry g;
  if (less && greater) {
    *err = "'<' and '>' exclude each other";
    return false;
  }
  g.limit = less      ? geometry_limit::enlarge_only
            : greater ? geometry_limit::shrink_only
                      : geometry_limit::none;
  if (bang && caret) {
    *err = "'!' and '^' exclude each other";
    return false;
  }
  const char* shape_flag = bang ? "'!'" : caret ? "'^'" : nullptr;

  if (area) {
    if (!first.present() || has_x || percent || shape_flag != nullptr) {
      *err = "'@' takes one whole number before it and nothing else but '<' or '>'";
      return false;
    }
    g.kind = geometry_kind::area;
    if (!whole_number(first, &g.area, err)) return false;
  } else if (percent) {
    if (shape_flag != nullptr) {
      *err = std::string(shape_flag) + " does not go with percentages";
      return false;
    }
    const number_text& x = first.present() ? first : second;
    const number_text& y = second.present() ? second : first;
    if (!x.present()) {
      *err = "no percentage given";
      return false;
    }
    g.kind = geometry_kind::scale;
    if (!percentage(x, &g.scale_x, err) || !percentage(y, &g.scale_y, err)) return false;
  } else {
    if (!first.present() && !second.present()) {
      *err = "no size given";
      return false;
    }
    if (first.present() && !whole_number(first, &g.width, err)) return false;
    if (second.present() && !whole_number(second, &g.height, err)) return false;
    if (first.present() && second.present()) {
      g.kind = bang ? geometry_kind::exact : caret ? geometry_kind::cover : geometry_kind::fit;
    } else if (shape_flag != nullptr) {
      *err = std::string(shape_flag) + " needs both a width and a height";
      return false;
    } else {
      g.kind = first.present() ? geometry_kind::width : geometry_kind::height;
    }
  }
  *out = g;
  return true;
}

bool resolve_geometry(const geometry& g, std::int64_t width, std::int64_t height, std::int64_t* new_width,
                      std::int64_t* new_height, std::string* err) {
  if (width < 1 || height < 1) {
    *err = "the picture has no pixels";
    return false;
  }
  const wide w = static_cast<std::uint64_t>(width), h = static_cast<std::uint64_t>(height);
  wide nw = w, nh = h;
  // Whether the width decides the scale: W / w against H / h.
  const bool width_smaller = wide{g.width} * h <= wide{g.height} * w;
  switch (g.kind) {
    case geometry_kind::width:
      nw = g.width, nh = round_ratio(h * g.width, w);
      break;
    case geometry_kind::height:
      nw = round_ratio(w * g.height, h), nh = g.height;
      break;
    case geometry_kind::fit:
    case geometry_kind::cover:
      if (width_smaller == (g.kind == geometry_kind::fit)) {
        nw = g.width, nh = round_ratio(h * g.width, w);
      } else {
        nw = round_ratio(w * g.height, h), nh = g.height;
      }
      break;
    case geometry_kind::exact:
      nw = g.width, nh = g.height;
      break;
    case geometry_kind::scale:
      nw = round_ratio(w * g.scale_x, wide{100} * percent_unit);
      nh = round_ratio(h * g.scale_y, wide{100} * percent_unit);
      break;
    case geometry_kind::area: {
      // Each side times sqrt(A / (w h)); rounded to the nearest unless that
      // gives more than A pixels, then rounded down.
      const long double a = static_cast<long double>(g.area);
      const long double x = std::sqrt(a * width / height), y = std::sqrt(a * height / width);
      nw = static_cast<std::uint64_t>(std::floor(x + 0.5L));
      nh = static_cast<std::uint64_t>(std::floor(y + 0.5L));
      if (nw * nh > g.area) {
        nw = static_cast<std::uint64_t>(std::floor(x));
        nh = static_cast<std::uint64_t>(std::floor(y));
      }
      // A side rounded down to 0 becomes 1 below; the other then gives way.
      if (nw == 0) nh = g.area;
      if (nh == 0) nw = g.area;
      break;
    }
  }
  if (nw < 1) nw = 1;
  if (nh < 1) nh = 1;
  if ((g.limit == geometry_limit::shrink_only && (nw > w || nh > h)) ||
      (g.limit == geometry_limit::enlarge_only && (nw < w || nh < h))) {
    nw = w, nh = h;
  }
  if (nw > static_cast<std::uint64_t>(max_side) || nh > static_cast<std::uint64_t>(max_side)) {
    *err = std::string("the resulting ") + (nw > static_cast<std::uint64_t>(max_side) ? "width" : "height") +
           " is over " + std::to_string(max_side) + " pixels";
    return false;
  }
  *new_width = static_cast<std::int64_t>(nw);
  *new_height = static_cast<std::int64_t>(nh);
  return true;
}

}  // namespace pellimor::detail
