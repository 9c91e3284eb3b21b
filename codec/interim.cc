// interim.cc - stand-ins until the codec plumbing lands; removed then.
#include <cstdio>
#include <cstring>
#include <cerrno>

#include "codec/codec.h"

namespace pellimor {

bool load_bytes(const char* path, std::vector<std::uint8_t>* bytes, std::string* err) {
  std::FILE* f = std::strcmp(path, "-") == 0 ? stdin : std::fopen(path, "rb");
  if (f == nullptr) {
    *err = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  std::uint8_t block[65536];
  for (std::size_t n; (n = std::fread(block, 1, sizeof block, f)) > 0;) bytes->insert(bytes->end(), block, block + n);
  const bool ok = !std::ferror(f);
  if (f != stdin) std::fclose(f);
  if (!ok) *err = "cannot read";
  return ok;
}

bool apply_orientation(image* img) { return img->orientation == 1; }

}  // namespace pellimor
