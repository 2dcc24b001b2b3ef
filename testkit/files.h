// files.h - temporary folders and whole-file reads and writes for tests.

#ifndef TESTKIT_FILES_H
#define TESTKIT_FILES_H

#include <string>

namespace testkit {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it, so
// that a failing test leaves no files behind.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }  // empty if it could not be made
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  int entry_count() const;  // entries of the folder, "." and ".." not counted; -1 on error

 private:
  std::string path_;
};

// False when the file cannot be written whole.
bool write_file(const std::string& path, const std::string& text);
// The whole file, "" when it cannot be read.
std::string read_file(const std::string& path);

// Makes, with the openssl program, the files of TLS tests in the folder:
// two CAs (ca.pem, other-ca.pem, and their keys), a server certificate for
// 127.0.0.1 and dev.test (dev.pem, dev.key) and a client certificate
// (client.pem, client.key), both signed by ca.pem; valid for two days.
// "" on success, else what openssl said.
std::string make_test_certificates(const std::string& folder);

}  // namespace testkit

#endif  // TESTKIT_FILES_H
