// log.cc - the server's messages for its operator.

#include "framework/base/log.h"

#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <mutex>

namespace norix {

namespace {

const char* level_name(LogLevel level) {
  switch (level) {
    case LOG_INFO:
      return "INFO";
    case LOG_WARN:
      return "WARN";
    case LOG_ERROR:
      return "ERROR";
  }
  return "INFO";
}

}  // namespace

std::string log_line(LogLevel level, const std::string& text, long long seconds, int millis) {
  time_t t = static_cast<time_t>(seconds);
  struct tm utc;
  gmtime_r(&t, &utc);
  char stamp[40];
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  char ms[8];
  snprintf(ms, sizeof ms, ".%03dZ ", millis);
  return std::string(stamp) + ms + level_name(level) + " " + text;
}

void log_message(LogLevel level, const std::string& text) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  std::string line =
      log_line(level, text, now.tv_sec, static_cast<int>(now.tv_nsec / 1000000)) + "\n";
  // One write per line; a short write on a pipe or terminal is finished.
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(STDERR_FILENO, p, left);
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void log_failed_auth(const std::string& from) {
  static std::mutex mux;  // guards the two below; a leaf
  static std::chrono::steady_clock::time_point last{};
  static long untold = 0;  // failures since the last line
  auto now = std::chrono::steady_clock::now();
  std::string line;
  {
    std::lock_guard<std::mutex> lock(mux);
    if (last != std::chrono::steady_clock::time_point{} &&
        now - last < std::chrono::seconds(AUTH_LOG_PERIOD_S)) {
      ++untold;
      return;
    }
    line = "failed authentication from " + from;
    if (untold > 0) {
      line += " (and " + std::to_string(untold) + " more since the last such line)";
    }
    untold = 0;
    last = now;
  }
  log_message(LOG_WARN, line);
}

}  // namespace norix
