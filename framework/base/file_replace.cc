// file_replace.cc - replacing a file through a new file renamed over it.
//
// Several threads may replace files at once: the new files' names differ
// by process and by a counter, and nothing else is shared.

#include "framework/base/file_replace.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "framework/base/file_beneath.h"
#include "framework/base/text.h"

namespace norix {

namespace {

constexpr int MAX_LINKS = 40;          // links followed before a loop is assumed
constexpr size_t MAX_BASE_KEPT = 200;  // of the target's name, in the new file's name
constexpr int MAX_ATTEMPTS = 100;      // names tried for the new file

std::atomic<unsigned> temp_counter{0};

// The folder part of path with its final "/", or "" for a bare name.
std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file that path names once symbolic links are followed, also when the
// last link names a file that does not exist yet. False with errno set for
// a link that cannot be read or a loop of links.
bool follow_links(const std::string& path, std::string* out) {
  std::string p = path;
  for (int i = 0; i < MAX_LINKS; ++i) {
    struct stat st;
    if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *out = p;
      return true;
    }
    char buf[PATH_MAX];
    ssize_t n = readlink(p.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) {
      if (n >= 0) errno = ENAMETOOLONG;
      return false;
    }
    std::string target(buf, static_cast<size_t>(n));
    p = target[0] == '/' ? target : folder_of(p) + target;
  }
  errno = ELOOP;
  return false;
}

// Creates a new file "<leaf>.tmp.<pid>.<n>" for writing in the folder open
// as dir; its name goes to *name. -1 with errno set on failure.
int create_beside(int dir, const std::string& leaf, mode_t mode, std::string* name) {
  std::string stem = leaf.substr(0, MAX_BASE_KEPT) + ".tmp." + std::to_string(getpid()) + ".";
  for (int attempt = 0; attempt < MAX_ATTEMPTS; ++attempt) {
    *name = stem + std::to_string(++temp_counter);
    int fd = openat(dir, name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool write_whole(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;  // no progress: never retried without end
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Flushes the entries of the folder open as dir, so that a rename in it
// survives a crash. A folder that cannot be flushed does not undo the
// rename already done.
void flush_folder(int dir) {
  int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

// Replaces leaf in the folder open as dir. The reasons name path, the
// name given, and target, the file it led to. With links_refused, a leaf
// that is a link is refused instead of being checked through.
int replace_in(int dir, const std::string& leaf, const std::string& path, const std::string& target,
               bool links_refused, const std::string& text, std::string* why) {
  struct stat old;
  bool exists = fstatat(dir, leaf.c_str(), &old, links_refused ? AT_SYMLINK_NOFOLLOW : 0) == 0;
  if (exists && S_ISLNK(old.st_mode)) errno = ELOOP;
  if (exists && (S_ISLNK(old.st_mode) || faccessat(dir, leaf.c_str(), W_OK, 0) != 0)) {
    *why = "cannot replace " + path + ": " + strerror(errno);
    return -1;
  }
  // Created private; an existing target's bits are given before any text.
  std::string temp;
  int fd = create_beside(dir, leaf, exists ? 0600 : 0666, &temp);
  if (fd < 0) {
    *why = "cannot create a file beside " + target + ": " + strerror(errno);
    return -1;
  }
  bool ok =
      (!exists || fchmod(fd, old.st_mode & 07777) == 0) && write_whole(fd, text) && fsync(fd) == 0;
  int err = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && renameat(dir, temp.c_str(), dir, leaf.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlinkat(dir, temp.c_str(), 0);
    *why = "cannot write " + path + ": " + strerror(err);
    return -1;
  }
  flush_folder(dir);
  return 0;
}

// The pid of a leftover name "<base>.tmp.<pid>.<n>", or -1 if it is not one.
long leftover_pid(const std::string& name, const std::string& base) {
  std::string stem = base + ".tmp.";
  if (name.compare(0, stem.size(), stem) != 0) return -1;
  const char* end = nullptr;
  long long pid = 0;
  if (!internal::parse_integer(name.c_str() + stem.size(), 10, 1, LLONG_MAX, &pid, &end) ||
      *end != '.' || end[1] == '\0') {
    return -1;
  }
  for (const char* d = end + 1; *d != '\0'; ++d) {
    if (*d < '0' || *d > '9') return -1;
  }
  return pid;
}

}  // namespace

int remove_leftovers(const std::string& path) {
  std::string target;
  if (path.empty() || !follow_links(path, &target)) return 0;
  std::string folder = folder_of(target);
  std::string base = target.substr(folder.size()).substr(0, MAX_BASE_KEPT);
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return 0;
  int removed = 0;
  while (dirent* e = readdir(dir)) {
    long pid = leftover_pid(e->d_name, base);
    if (pid < 0) continue;
    // A number beyond pid_t names no process: cut to a pid_t it could name
    // a live one, or all of them (-1).
    bool gone = pid == getpid() || pid > INT_MAX ||
                (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH);
    if (gone && unlink((folder + e->d_name).c_str()) == 0) ++removed;
  }
  closedir(dir);
  return removed;
}

int replace_file(const std::string& path, const std::string& text, std::string* why) {
  std::string target;
  if (path.empty() || !follow_links(path, &target)) {
    *why = "cannot replace " + path + ": " + strerror(path.empty() ? ENOENT : errno);
    return -1;
  }
  std::string folder = folder_of(target);
  int dir = open(folder.empty() ? "." : folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    *why = "cannot create a file beside " + target + ": " + strerror(errno);
    return -1;
  }
  int rc = replace_in(dir, target.substr(folder.size()), path, target, false, text, why);
  close(dir);
  return rc;
}

int replace_file_confined(const std::string& path, const std::string& text, std::string* why) {
  if (!in_confining_folder(path)) return replace_file(path, text, why);
  std::string folder = folder_of(path);
  int dir = open_confined(folder, O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  if (dir < 0) {
    *why = "cannot create a file beside " + path + ": " + strerror(errno);
    return -1;
  }
  int rc = replace_in(dir, path.substr(folder.size()), path, path, true, text, why);
  close(dir);
  return rc;
}

}  // namespace norix
