// settings_files.h - fixtures for the settings-file tests: a private
// temporary folder, whole-file reads and writes, and a second process that
// holds or probes the advisory fcntl locks of a file.

#ifndef TESTS_SUPPORT_SETTINGS_FILES_H
#define TESTS_SUPPORT_SETTINGS_FILES_H

#include <sys/types.h>

#include <string>

namespace sr_test {

// A fresh folder under $TMPDIR (or /tmp), removed with its files.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  int entry_count() const;  // entries of the folder, "." and ".." not counted

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& text);
std::string read_file(const std::string& path);  // "" when unreadable

int open_fd_count();  // descriptors this process has open

// True when a second process can take an exclusive lock on the whole file
// at once: no process holds a lock on it.
bool other_process_can_lock(const std::string& path);

// True when this process waits in /proc/locks for a lock on the file.
bool this_process_waits_for_lock(const std::string& path);

// A child process that holds an exclusive lock on a file until told to
// rewrite the file and let go. The child is always reaped.
class LockHolder {
 public:
  // Forks the child; it locks path and, when told, writes new_text there.
  LockHolder(const std::string& path, const std::string& new_text);
  ~LockHolder();
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  bool wait_locked();          // true once the child holds the lock (bounded wait)
  bool rewrite_and_release();  // the child rewrites the file and exits; reaped

 private:
  pid_t pid_ = -1;
  int to_child_ = -1;
  int from_child_ = -1;
};

// A second process that runs a function on a signal from this one. Fork it
// before this process starts threads: the child has only the forking thread
// and a copy of this process's memory. The child ends with _exit(result of
// the function) and runs no destructors; it is always reaped.
class Child {
 public:
  explicit Child(int (*body)(void*), void* arg);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool start();              // lets the child run its function
  int wait(int timeout_ms);  // its exit status, or -1 (killed when overdue)

 private:
  pid_t pid_ = -1;
  int to_child_ = -1;
};

// Waits (bounded, polling) until cond() holds; false on timeout.
template <typename Cond>
bool eventually(Cond cond, int timeout_ms = 10000);

bool poll_until(bool (*cond)(const void*), const void* arg, int timeout_ms);

template <typename Cond>
bool eventually(Cond cond, int timeout_ms) {
  return poll_until([](const void* c) { return (*static_cast<const Cond*>(c))(); }, &cond,
                    timeout_ms);
}

}  // namespace sr_test

#endif  // TESTS_SUPPORT_SETTINGS_FILES_H
