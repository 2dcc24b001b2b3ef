// startup.cc - the runtime's record of where its locations were configured,
// and the count of problems reported while it starts.
//
// One server per process: Server::start fills the record before it creates
// the locations. `mux` guards everything here; nothing else is taken while
// it is held (the log line is written after it is released).

#include "framework/host/startup.h"

#include <mutex>
#include <vector>

#include "framework/base/log.h"
#include "framework/base/text.h"
#include "framework/host/internal.h"

namespace norix {

namespace {

struct origin {
  const EqFct* location;
  int line_no;                                     // of its location item
  std::vector<std::pair<std::string, int>> lines;  // first word, line number
};

struct record {
  std::mutex mux;
  std::string file;
  bool strict = false;
  bool checking = false;  // a configuration check: nothing is to start
  int problems = 0;
  std::vector<origin> origins;
};

record& startup() {
  static record* r = new record;  // kept for the process: hooks may ask late
  return *r;
}

}  // namespace

namespace internal {

void startup_begin(const std::string& file, bool strict, bool checking) {
  record& r = startup();
  std::lock_guard<std::mutex> lock(r.mux);
  r.file = file;
  r.strict = strict;
  r.checking = checking;
  r.problems = 0;
  r.origins.clear();
}

void startup_note(const EqFct* location, const ServerConfig::location& config) {
  origin o{location, config.line_no, {}};
  for (const ServerConfig::saved_line& s : config.lines)
    o.lines.emplace_back(first_word(s.text), s.line_no);
  record& r = startup();
  std::lock_guard<std::mutex> lock(r.mux);
  r.origins.push_back(o);
}

int startup_problems() {
  record& r = startup();
  std::lock_guard<std::mutex> lock(r.mux);
  return r.problems;
}

}  // namespace internal

std::string config_origin(const EqFct* location, const std::string& property) {
  record& r = startup();
  std::lock_guard<std::mutex> lock(r.mux);
  for (const origin& o : r.origins) {
    if (o.location != location) continue;
    int line = o.line_no;
    for (const auto& l : o.lines) {
      if (!property.empty() && l.first == property) {
        line = l.second;
        break;
      }
    }
    return r.file + ":" + std::to_string(line);
  }
  return "";
}

void report_startup_problem(const std::string& text) {
  record& r = startup();
  bool strict;
  {
    std::lock_guard<std::mutex> lock(r.mux);
    ++r.problems;
    strict = r.strict;
  }
  log_message(strict ? LOG_ERROR : LOG_WARN, text);
}

bool startup_refused() {
  record& r = startup();
  std::lock_guard<std::mutex> lock(r.mux);
  return r.checking || (r.strict && r.problems > 0);
}

}  // namespace norix
