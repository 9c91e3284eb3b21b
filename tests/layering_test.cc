// SPDX-License-Identifier: MIT
// layering_test.cc - includes point down only: the command line and the
// Python module are clients of the library; the library is built on the
// codecs and the engines; the engines know nothing of files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// The folders (under the source tree) whose includes are allowed, for the
// code in each folder; tests (*_test.cc, *_test_util.h) may include anything.
struct layer {
  const char* folder;
  std::vector<std::string> may_include;
};

TEST(Layering, IncludesPointDownOnly) {
  const layer layers[] = {
      {"core", {"core/"}},
      {"dct", {"dct/", "core/", "pellimor/"}},
      {"bmp", {"bmp/", "core/", "dct/"}},
      {"codec", {"codec/", "bmp/", "core/", "dct/", "pellimor/"}},
      {"lib", {"lib/", "codec/", "bmp/", "core/", "dct/", "pellimor/"}},
      {"include", {"pellimor/"}},
      {"python/src", {"lib/", "codec/", "bmp/", "core/", "dct/", "pellimor/"}},
      {"cli", {"cli/", "lib/", "codec/", "bmp/", "core/", "dct/", "pellimor/"}},
  };
  int files = 0;
  for (const layer& l : layers) {
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(std::string(PELLIMOR_SOURCE_DIR) + "/" + l.folder)) {
      const std::string name = entry.path().filename().string();
      const std::string ext = entry.path().extension().string();
      if ((ext != ".cc" && ext != ".h") || name.find("_test") != std::string::npos) continue;
      ++files;
      std::ifstream in(entry.path());
      for (std::string line; std::getline(in, line);) {
        if (line.rfind("#include \"", 0) != 0) continue;
        const std::string target = line.substr(10, line.find('"', 10) - 10);
        bool allowed = target.find('/') == std::string::npos;  // beside the file itself
        for (const std::string& prefix : l.may_include) allowed = allowed || target.rfind(prefix, 0) == 0;
        EXPECT_TRUE(allowed) << entry.path().string() << " includes " << target;
      }
    }
  }
  EXPECT_GT(files, 40);  // the walk found the tree
}

}  // namespace
