// replay_main.cc - runs a fuzz target over saved inputs without libFuzzer:
// each argument is a file or a folder of files, each file one input. The
// ordinary build uses it to replay the seed corpus and every input that
// once crashed, with whatever compiler and sanitizer the build has.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz.h"

namespace {

int run_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int failures = 0;
  int inputs = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      fprintf(stderr, "no such input: %s\n", argv[i]);
      ++failures;
      continue;
    }
    if (!S_ISDIR(st.st_mode)) {
      failures += run_file(argv[i]);
      ++inputs;
      continue;
    }
    std::vector<std::string> files;
    if (DIR* dir = opendir(argv[i])) {
      while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') files.push_back(std::string(argv[i]) + "/" + e->d_name);
      }
      closedir(dir);
    }
    std::sort(files.begin(), files.end());
    for (const std::string& f : files) {
      failures += run_file(f);
      ++inputs;
    }
  }
  printf("replayed %d inputs\n", inputs);
  return failures == 0 && inputs > 0 ? 0 : 1;
}
