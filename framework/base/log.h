// log.h - the server's messages for its operator: one line each on standard
// error, "<ISO-8601 UTC time with milliseconds> <LEVEL> <text>", e.g.
// "2026-12-06T22:31:05.123Z WARN save: disk full". Safe from any thread: a
// line is written with one call, so lines of several threads never mix.

#ifndef FRAMEWORK_BASE_LOG_H
#define FRAMEWORK_BASE_LOG_H

#include <string>

namespace norix {

enum LogLevel { LOG_INFO, LOG_WARN, LOG_ERROR };

void log_message(LogLevel level, const std::string& text);

// Logs a failed authentication from `from` ("unix socket", "127.0.0.1:4711
// (web panel)") as a WARN line, at most one line per AUTH_LOG_PERIOD_S: the
// first failure of a period is logged at once, the ones after it are
// counted and told in the next line. Never logs what was presented.
constexpr int AUTH_LOG_PERIOD_S = 10;
void log_failed_auth(const std::string& from);

// The line log_message writes for text at the given time (seconds and
// milliseconds since the epoch), without its newline.
std::string log_line(LogLevel level, const std::string& text, long long seconds, int millis);

}  // namespace norix

#endif  // FRAMEWORK_BASE_LOG_H
