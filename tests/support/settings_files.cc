// settings_files.cc - temporary folders, whole files and a lock-holding
// second process for the settings-file tests.

#include "tests/support/settings_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace sr_test {

namespace {

long now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

void sleep_ms(long ms) {
  timespec t{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, nullptr);
}

// Reaps pid, waiting at most timeout_ms; kills it first when it overstays.
// Returns the exit status, or -1 when it did not exit by itself.
int reap(pid_t pid, int timeout_ms) {
  long end = now_ms() + timeout_ms;
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (r < 0) return -1;
    if (now_ms() >= end) break;
    sleep_ms(5);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

struct flock whole_file(short type) {
  struct flock l;
  memset(&l, 0, sizeof l);
  l.l_type = type;
  l.l_whence = SEEK_SET;
  return l;
}

}  // namespace

bool poll_until(bool (*cond)(const void*), const void* arg, int timeout_ms) {
  long end = now_ms() + timeout_ms;
  while (!cond(arg)) {
    if (now_ms() >= end) return false;
    sleep_ms(2);
  }
  return true;
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/sr_test.XXXXXX";
  std::string buf = pattern;
  if (mkdtemp(&buf[0]) != nullptr) path_ = buf;
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  DIR* dir = opendir(path_.c_str());
  if (dir != nullptr) {
    while (dirent* e = readdir(dir)) {
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
        unlink(file(e->d_name).c_str());
      }
    }
    closedir(dir);
  }
  rmdir(path_.c_str());
}

int TempDir::entry_count() const {
  int n = 0;
  DIR* dir = opendir(path_.c_str());
  if (dir == nullptr) return -1;
  while (dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) ++n;
  }
  closedir(dir);
  return n;
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

int open_fd_count() {
  int n = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(dir);
  return n;
}

bool other_process_can_lock(const std::string& path) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0) _exit(2);
    struct flock l = whole_file(F_WRLCK);
    _exit(fcntl(fd, F_SETLK, &l) == 0 ? 0 : 1);
  }
  if (pid < 0) return false;
  return reap(pid, 10000) == 0;
}

bool this_process_waits_for_lock(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  std::ifstream locks("/proc/locks");
  std::string line;
  std::string ino_suffix = ":" + std::to_string(st.st_ino);
  while (std::getline(locks, line)) {
    std::istringstream words(line);
    std::string id, arrow, kind, mode, access, pid, dev;
    words >> id >> arrow;
    if (arrow != "->") continue;
    words >> kind >> mode >> access >> pid >> dev;
    if (pid == std::to_string(getpid()) && dev.size() > ino_suffix.size() &&
        dev.compare(dev.size() - ino_suffix.size(), ino_suffix.size(), ino_suffix) == 0) {
      return true;
    }
  }
  return false;
}

LockHolder::LockHolder(const std::string& path, const std::string& new_text) {
  int down[2];
  int up[2];
  if (pipe(down) != 0) return;
  if (pipe(up) != 0) {
    close(down[0]);
    close(down[1]);
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    close(down[1]);
    close(up[0]);
    int fd = open(path.c_str(), O_RDWR);
    struct flock l = whole_file(F_WRLCK);
    if (fd < 0 || fcntl(fd, F_SETLKW, &l) != 0) _exit(2);
    char c = 'L';
    if (write(up[1], &c, 1) != 1) _exit(3);
    if (read(down[0], &c, 1) != 1) _exit(4);
    if (ftruncate(fd, 0) != 0) _exit(5);
    const char* p = new_text.data();
    size_t left = new_text.size();
    while (left > 0) {
      ssize_t w = write(fd, p, left);
      if (w <= 0) _exit(6);
      p += w;
      left -= static_cast<size_t>(w);
    }
    _exit(0);  // exiting releases the lock
  }
  close(down[0]);
  close(up[1]);
  to_child_ = down[1];
  from_child_ = up[0];
}

LockHolder::~LockHolder() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    reap(pid_, 10000);
  }
  if (to_child_ >= 0) close(to_child_);
  if (from_child_ >= 0) close(from_child_);
}

bool LockHolder::wait_locked() {
  if (pid_ <= 0) return false;
  pollfd p{from_child_, POLLIN, 0};
  char c = 0;
  return poll(&p, 1, 10000) == 1 && read(from_child_, &c, 1) == 1 && c == 'L';
}

bool LockHolder::rewrite_and_release() {
  if (pid_ <= 0) return false;
  char c = 'w';
  if (write(to_child_, &c, 1) != 1) return false;
  int status = reap(pid_, 10000);
  pid_ = -1;
  return status == 0;
}

Child::Child(int (*body)(void*), void* arg) {
  int go[2];
  if (pipe(go) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    close(go[1]);
    char c = 0;
    if (read(go[0], &c, 1) != 1) _exit(100);
    _exit(body(arg));
  }
  close(go[0]);
  if (pid_ < 0) {
    close(go[1]);
    return;
  }
  to_child_ = go[1];
}

Child::~Child() {
  if (to_child_ >= 0) close(to_child_);  // a child still waiting reads EOF and ends
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    reap(pid_, 10000);
  }
}

bool Child::start() {
  char c = 'g';
  return pid_ > 0 && write(to_child_, &c, 1) == 1;
}

int Child::wait(int timeout_ms) {
  if (pid_ <= 0) return -1;
  int status = reap(pid_, timeout_ms);
  pid_ = -1;
  return status;
}

}  // namespace sr_test
