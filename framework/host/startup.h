// startup.h - what a server program's hooks may ask the runtime while the
// server starts: where a location was configured, and reporting the
// problems they find in what it runs.
//
// A problem is logged (framework/base/log.h) and counted. With the `strict` item
// in the server's configuration, any problem refuses the start-up once
// init_epilog has returned: the server does not serve, and server_main ends
// with status 2. Without it the server starts as configured.

#ifndef FRAMEWORK_HOST_STARTUP_H
#define FRAMEWORK_HOST_STARTUP_H

#include <string>

class EqFct;

namespace norix {

// "FILE:LINE" of the location's saved value line for property (the line
// whose first word it is), or of its location item when property is empty
// or has no line; "" for a location that no configuration made.
std::string config_origin(const EqFct* location, const std::string& property = "");

// Logs a problem (a warning; an error under strict) and counts it.
void report_startup_problem(const std::string& text);

// True once a problem was reported under strict, and throughout a check of
// the configuration ("PROGRAM --check FILE"): the server will not serve, so
// a hook starts nothing more (no threads) and writes no file.
bool startup_refused();

}  // namespace norix

#endif  // FRAMEWORK_HOST_STARTUP_H
