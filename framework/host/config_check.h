// config_check.h - what a configuration check ("PROGRAM --check FILE")
// asks of the machine besides the configuration itself: that the endpoints
// it names are free and that its settings folder is a folder. Nothing here
// listens, creates or removes a file.

#ifndef FRAMEWORK_HOST_CONFIG_CHECK_H
#define FRAMEWORK_HOST_CONFIG_CHECK_H

#include <string>

#include "framework/host/server_config.h"

namespace norix {

// 0 when a server started with config could listen where it says (the
// client endpoint and the web panel's) and its settings folder is a
// folder; -1 with every reason found in *why, one per line.
int check_environment(const ServerConfig& config, std::string* why);

// Sets the process's TLS settings (framework/calls/tls.h) from the TLS
// items, loading their files (nothing when none is set): 0, or -1 with the
// file and what is wrong with it in *why. check_environment does it too.
int load_tls(const ServerConfig& config, std::string* why);

}  // namespace norix

#endif  // FRAMEWORK_HOST_CONFIG_CHECK_H
