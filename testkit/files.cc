// files.cc - temporary folders and whole-file reads and writes for tests.

#include "testkit/files.h"

#include <dirent.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>

namespace testkit {

namespace {

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

}  // namespace

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/testkit.XXXXXX";
  if (mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  if (!path_.empty()) nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

int TempDir::entry_count() const {
  DIR* dir = opendir(path_.c_str());
  if (dir == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) ++n;
  }
  closedir(dir);
  return n;
}

bool write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

namespace {

const char* const MAKE_CERTIFICATES = R"(set -e
key() { echo "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout $1"; }
for ca in ca other-ca; do
  openssl req -x509 $(key $ca.key) -out $ca.pem -days 2 -subj /CN=$ca
done
printf 'subjectAltName=IP:127.0.0.1,DNS:dev.test\n' > dev.ext
printf 'basicConstraints=CA:FALSE\n' > client.ext
for who in dev client; do
  openssl req -new $(key $who.key) -out $who.csr -subj /CN=$who
  openssl x509 -req -in $who.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile $who.ext -out $who.pem
done
)";

}  // namespace

std::string make_test_certificates(const std::string& folder) {
  if (folder.find('\'') != std::string::npos) return "a folder name with a quote: " + folder;
  std::string script = folder + "/make-certificates.sh";
  if (!write_file(script, MAKE_CERTIFICATES)) return "cannot write " + script;
  std::string run = "cd '" + folder + "' && sh make-certificates.sh >make-certificates.log 2>&1";
  if (system(run.c_str()) == 0) return "";
  std::string said = read_file(folder + "/make-certificates.log");
  return said.empty() ? "openssl failed" : said;
}

}  // namespace testkit
