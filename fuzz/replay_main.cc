// replay_main.cc - runs a fuzz target over saved inputs without libFuzzer:
// each argument is a file or a folder of files, each file one input. The
// ordinary build uses it to replay the seed corpus and every input that
// once crashed, with whatever compiler and sanitizer the build has.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz.h"

// 0 when at least one input ran and every one could be read.
int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    if (!std::filesystem::is_directory(argv[i], ec)) files.push_back(argv[i]);
    for (const auto& e : std::filesystem::directory_iterator(argv[i], ec))
      if (e.path().filename().string()[0] != '.') files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  for (const std::string& f : files) {
    std::ifstream in(f, std::ios::binary);
    if (!in) {
      fprintf(stderr, "cannot read %s\n", f.c_str());
      return 1;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  printf("replayed %zu inputs\n", files.size());
  return files.empty() ? 1 : 0;
}
