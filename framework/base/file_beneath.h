// file_beneath.h - opening the files that clients name so that the open
// itself stays beneath their folder: no link, ".." or swapped folder met on
// the way can lead it out, whatever changed since the name was checked.

#ifndef FRAMEWORK_BASE_FILE_BENEATH_H
#define FRAMEWORK_BASE_FILE_BENEATH_H

#include <sys/types.h>

#include <string>

namespace norix {

// The folder that client-named files stay beneath ("" is the working
// folder). The host sets it at start-up from its settings folder; any
// thread may ask for it.
void set_confining_folder(const std::string& folder);
std::string confining_folder();

// Opens name relative to the folder open as dirfd with open(2)'s flags and
// mode, resolving nothing outside that folder (the kernel's openat2 with
// RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS). Where the kernel has no openat2
// it walks the name instead (open_beneath_by_walk). The descriptor, or -1
// with errno set: EXDEV for an absolute name or a ".." or link that leads
// out, ELOOP or ENOTDIR for a link the walk meets.
int open_beneath(int dirfd, const std::string& name, int flags, mode_t mode);

// The walk that open_beneath falls back to: one component at a time, none
// of them a link, and no ".." at all. Declared so that it can be checked on
// kernels that never need it.
int open_beneath_by_walk(int dirfd, const std::string& name, int flags, mode_t mode);

// Opens path with open(2)'s flags and mode. A path that lies in the
// confining folder (absolute and under the folder's resolved path, as
// settings_path gives them) is opened beneath the folder; any other path
// as open(2) would. The descriptor, or -1 with errno set.
int open_confined(const std::string& path, int flags, mode_t mode);

// Whether open_confined opens path beneath the confining folder: path is
// the folder or lies in it.
bool in_confining_folder(const std::string& path);

}  // namespace norix

#endif  // FRAMEWORK_BASE_FILE_BENEATH_H
