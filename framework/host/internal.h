// internal.h - helpers of the server runtime shared by its sources; not
// part of the framework's interface.

#ifndef FRAMEWORK_HOST_INTERNAL_H
#define FRAMEWORK_HOST_INTERNAL_H

#include <string>

#include "framework/host/server_config.h"

class EqFct;

namespace norix {
namespace internal {

// The start-up record (framework/host/startup.h), filled by Server::start:
// the configuration file and its strict flag first, then each location as
// it is created; the number of problems reported since the beginning.
// checking: the server only checks its configuration (Server::check).
// Defined in startup.cc.
void startup_begin(const std::string& file, bool strict, bool checking = false);
void startup_note(const EqFct* location, const ServerConfig::location& config);
int startup_problems();

}  // namespace internal
}  // namespace norix

#endif  // FRAMEWORK_HOST_INTERNAL_H
