// settings_folder.cc - the settings folder and the names clients give in it.
//
// The folder's name is kept by the base layer as the confining folder, so
// that the opens below it (open_confined, replace_file_confined) stay inside
// it. The check here resolves links with realpath to give a clear reason
// for a name it refuses; a link changed after the check cannot lead the
// open out.

#include "framework/host/settings_folder.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "framework/base/file_beneath.h"

namespace norix {

namespace {

// The resolved path of path, or "" with errno set.
std::string real_path(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

bool inside(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         (folder == "/" || path[folder.size()] == '/');
}

bool has_dot_dot(const std::string& name) {
  for (size_t at = 0; at <= name.size();) {
    size_t end = name.find('/', at);
    if (end == std::string::npos) end = name.size();
    if (name.compare(at, end - at, "..") == 0 && end - at == 2) return true;
    at = end + 1;
  }
  return false;
}

}  // namespace

void set_settings_folder(const std::string& folder) {
  set_confining_folder(folder);
}

std::string settings_folder() {
  return confining_folder();
}

int settings_path(const std::string& name, std::string* path, std::string* why) {
  if (name.empty() || name.find('\0') != std::string::npos) {
    *why = "no settings file name";
    return -1;
  }
  if (name[0] == '/' || has_dot_dot(name)) {
    *why = name + ": a settings file is named relative to the settings folder, without '..'";
    return -1;
  }
  std::string folder_given = settings_folder();
  std::string folder = real_path(folder_given.empty() ? "." : folder_given);
  if (folder.empty()) {
    *why = "settings folder " + folder_given + ": " + strerror(errno);
    return -1;
  }
  std::string full = folder + "/" + name;
  std::string real = real_path(full);
  struct stat st;
  if (real.empty() && errno == ENOENT && lstat(full.c_str(), &st) != 0) {
    // Not there yet (a file to write): its folder must be inside.
    size_t slash = full.rfind('/');
    std::string parent = real_path(full.substr(0, slash));
    if (parent.empty()) {
      *why = name + ": " + strerror(errno);
      return -1;
    }
    real = parent + full.substr(slash);
  } else if (real.empty()) {
    *why = name + ": " + (errno == ENOENT ? "a link that points nowhere" : strerror(errno));
    return -1;
  }
  if (!inside(real, folder)) {
    *why = name + ": leads out of the settings folder";
    return -1;
  }
  *path = real;
  return 0;
}

}  // namespace norix
