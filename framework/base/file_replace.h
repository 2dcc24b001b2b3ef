// file_replace.h - replacing a file's contents whole, so that a reader or a
// restart sees either the old contents or the new ones, never a part.

#ifndef FRAMEWORK_BASE_FILE_REPLACE_H
#define FRAMEWORK_BASE_FILE_REPLACE_H

#include <string>

namespace norix {

// Replaces the contents of the file at path with text. The text goes into a
// new file in the target's folder, which is flushed to disk, given the
// target's permission bits, renamed over the target; then the folder is
// flushed. A symbolic link is followed: the file it names is replaced and
// the link stays a link. A new target gets the permissions of a created
// file (0666 less the umask); an existing one that this process may not
// write is refused, as a plain write would be. 0, or -1 with the reason in
// *why; on failure the new file is removed and the target is as it was.
int replace_file(const std::string& path, const std::string& text, std::string* why);

// As replace_file, for a file that a client named: a path in the confining
// folder (framework/base/file_beneath.h) is replaced through a descriptor
// of its folder opened beneath the confining one, so nothing outside is
// created, renamed or written, and a link in the path's place is refused
// rather than followed. Any other path is replaced as replace_file does.
int replace_file_confined(const std::string& path, const std::string& text, std::string* why);

// Removes the new files that replacements of path left when their process
// ended before the rename ("<name>.tmp.<pid>.<n>" of a process that is
// gone, or of this one). Returns the number removed.
int remove_leftovers(const std::string& path);

}  // namespace norix

#endif  // FRAMEWORK_BASE_FILE_REPLACE_H
