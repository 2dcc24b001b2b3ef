// settings_folder.h - the folder that holds the settings files a server's
// clients may name, and the check that keeps their names inside it.

#ifndef FRAMEWORK_HOST_SETTINGS_FOLDER_H
#define FRAMEWORK_HOST_SETTINGS_FOLDER_H

#include <string>

namespace norix {

// The server sets the folder at start-up from its configuration; "" is the
// working folder. Any thread may ask for it.
void set_settings_folder(const std::string& folder);
std::string settings_folder();

// The path of the settings file that a client named, taken relative to the
// settings folder: 0 and *path, or -1 with the reason in *why. Refused: an
// empty name, an absolute one, one with a ".." part, one that a symbolic
// link leads out of the folder, and a link that points nowhere.
int settings_path(const std::string& name, std::string* path, std::string* why);

}  // namespace norix

#endif  // FRAMEWORK_HOST_SETTINGS_FOLDER_H
