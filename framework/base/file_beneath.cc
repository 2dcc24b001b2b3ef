// file_beneath.cc - opens that cannot leave a folder.
//
// folder_mux guards the confining folder's name and is taken alone. The
// opens share nothing but the flag that the kernel lacks openat2.

#include "framework/base/file_beneath.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace norix {

namespace {

constexpr int MAX_RETRIES = 8;  // of an openat2 that a concurrent rename disturbed

std::mutex folder_mux;
std::string folder_name;  // guarded by folder_mux

std::atomic<bool> no_openat2{false};  // set once the kernel answers ENOSYS

// Closes fd without changing errno.
void close_quietly(int fd) {
  int err = errno;
  close(fd);
  errno = err;
}

// The resolved confining folder and, in *rel, path relative to it ("." for
// the folder itself): true when path is the folder or lies in it.
bool split_at_folder(const std::string& path, std::string* folder, std::string* rel) {
  std::string given = confining_folder();
  char buf[PATH_MAX];
  if (path.empty() || path[0] != '/' ||
      realpath(given.empty() ? "." : given.c_str(), buf) == nullptr)
    return false;
  *folder = buf;
  size_t n = folder->size();
  if (path == *folder) {
    *rel = ".";
    return true;
  }
  if (*folder == "/") {
    *rel = path.size() > 1 ? path.substr(1) : ".";
    return true;
  }
  if (path.size() <= n || path.compare(0, n, *folder) != 0 || path[n] != '/') return false;
  *rel = path.substr(n + 1);
  if (rel->empty()) *rel = ".";  // the folder named with a final "/"
  return true;
}

}  // namespace

void set_confining_folder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(folder_mux);
  folder_name = folder;
}

std::string confining_folder() {
  std::lock_guard<std::mutex> lock(folder_mux);
  return folder_name;
}

int open_beneath_by_walk(int dirfd, const std::string& name, int flags, mode_t mode) {
  if (name.empty()) {
    errno = ENOENT;
    return -1;
  }
  std::vector<std::string> parts;
  for (size_t at = 0; at <= name.size();) {
    size_t end = name.find('/', at);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(at, end - at);
    if (part == ".." || (at == 0 && end == 0 && !name.empty())) {
      errno = EXDEV;  // climbs out, or starts at the root
      return -1;
    }
    if (!part.empty() && part != ".") parts.push_back(part);
    at = end + 1;
  }
  if (parts.empty()) parts.push_back(".");
  int at = dirfd;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    // A link is refused: O_NOFOLLOW with O_PATH opens the link itself,
    // which is then no folder.
    int next = openat(at, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (at != dirfd) close_quietly(at);
    if (next < 0) return -1;
    at = next;
  }
  int fd = openat(at, parts.back().c_str(), flags | O_NOFOLLOW, mode);
  if (at != dirfd) close_quietly(at);
  return fd;
}

int open_beneath(int dirfd, const std::string& name, int flags, mode_t mode) {
  if (!no_openat2.load(std::memory_order_relaxed)) {
    struct open_how how = {};
    how.flags = static_cast<unsigned>(flags);
    bool creates = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    how.mode = creates ? mode : 0;  // openat2 refuses a mode it would not use
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    for (int i = 0; i < MAX_RETRIES; ++i) {
      long fd = syscall(SYS_openat2, dirfd, name.c_str(), &how, sizeof how);
      if (fd >= 0) return static_cast<int>(fd);
      if (errno == EAGAIN) continue;  // a rename raced the lookup
      if (errno == ENOSYS) no_openat2.store(true, std::memory_order_relaxed);
      // EPERM may be a filter that forbids openat2; the walk tells.
      if (errno != ENOSYS && errno != EPERM) return -1;
      break;
    }
    if (errno == EAGAIN) return -1;
  }
  return open_beneath_by_walk(dirfd, name, flags, mode);
}

bool in_confining_folder(const std::string& path) {
  std::string folder;
  std::string rel;
  return split_at_folder(path, &folder, &rel);
}

int open_confined(const std::string& path, int flags, mode_t mode) {
  std::string folder;
  std::string rel;
  if (!split_at_folder(path, &folder, &rel)) return open(path.c_str(), flags, mode);
  int dir = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return -1;
  int fd = open_beneath(dir, rel, flags, mode);
  close_quietly(dir);
  return fd;
}

}  // namespace norix
