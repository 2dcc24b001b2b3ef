// replay.cc - replaying a journal on a machine driven by the test kit.

#include "testkit/replay.h"

#include <algorithm>
#include <fstream>

#include "fsm/fsm_trace.h"
#include "testkit/clock.h"

namespace testkit {

namespace {

std::string text_of(const norix::JournalRow& r) {
  return r.subject + ": " + r.old_value + " -> " + r.new_value + " on " + r.detail;
}

std::string text_of(const FSMtrace::record& r) {
  return FSMtrace::flow_path(r.flow) + ": " + (r.from != nullptr ? r.from->get_name() : "?") +
         " -> " + (r.to != nullptr ? r.to->get_name() : "(stays)") + " on " + r.event;
}

// Compares the transitions m made since *seen with the journalled ones from
// *next on; false at the first difference, described in the report.
bool compare(Machine& m, const std::vector<const norix::JournalRow*>& recorded, size_t* next,
             unsigned long long* seen, ReplayReport* report) {
  for (const FSMtrace::record& r : m.root()->trace->copy()) {
    if (r.seq <= *seen) continue;
    *seen = r.seq;
    std::string made = text_of(r);
    if (*next >= recorded.size()) {
      report->difference =
          "transition " + std::to_string(*next + 1) + ": none journalled, replayed '" + made + "'";
      return false;
    }
    const norix::JournalRow& j = *recorded[*next];
    if (text_of(j) != made) {
      report->difference = "transition " + std::to_string(*next + 1) + " at " +
                           std::to_string(j.time_ms) + ": journalled '" + text_of(j) +
                           "', replayed '" + made + "'";
      return false;
    }
    ++*next;
    ++report->transitions;
  }
  return true;
}

}  // namespace

int read_journal(std::istream& in, std::vector<norix::JournalRow>* rows, std::string* why) {
  std::string line;
  int no = 0;
  while (std::getline(in, line)) {
    ++no;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    norix::JournalRow r;
    if (norix::journal_parse_json(line, &r) != 0) {
      *why = "line " + std::to_string(no) + ": not a journal record";
      return -1;
    }
    rows->push_back(r);
  }
  return 0;
}

int read_journal(const std::string& path, std::vector<norix::JournalRow>* rows, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = path + ": cannot be read";
    return -1;
  }
  char head[16] = {};
  in.read(head, sizeof head);
  if (std::string(head, 15) == "SQLite format 3") {
    return norix::journal_query(path, norix::JournalQuery(), rows, why);
  }
  in.clear();
  in.seekg(0);
  return read_journal(in, rows, why);
}

ReplayReport replay(Machine& m, const std::vector<norix::JournalRow>& rows) {
  ReplayReport report;
  std::string machine = m.root()->get_name();
  std::string location = m.location()->name();
  std::vector<const norix::JournalRow*> recorded;  // its transitions
  std::vector<const norix::JournalRow*> steps;     // what moves it, in order
  for (const norix::JournalRow& r : rows) {
    if (r.location != machine) continue;
    if (r.kind == "transition") {
      recorded.push_back(&r);
      if (r.detail == "timer") steps.push_back(&r);
    } else if (r.kind == "event" && r.source != "signal" && r.source != "machine " + location) {
      steps.push_back(&r);
    }
  }
  size_t next = 0;
  unsigned long long seen = 0;
  if (m.start() != 0) {
    report.same = false;
    report.difference = "the machine did not start";
    return report;
  }
  bool same = compare(m, recorded, &next, &seen, &report);
  long long now = steps.empty() ? 0 : steps.front()->time_ms;
  for (size_t i = 0; same && i < steps.size(); ++i) {
    const norix::JournalRow& e = *steps[i];
    if (e.time_ms > now) advance_clock(std::chrono::milliseconds(e.time_ms - now));
    now = std::max(now, e.time_ms);
    if (e.kind == "transition") {
      // A tick made it: tick, unless the replay has already made it.
      size_t at = static_cast<size_t>(std::find(recorded.begin(), recorded.end(), steps[i]) -
                                      recorded.begin());
      if (at < next) continue;
      m.tick();
    } else if (e.source == "timeout") {
      m.tick();  // the timeout fires again if the machine's code still arms it
    } else if (e.source == "interrupt 1") {
      m.irq1();
    } else if (e.source == "interrupt 2") {
      m.irq2();
    } else {
      m.post(e.subject.c_str(), e.detail.c_str());
      m.tick();
      ++report.events;
    }
    same = compare(m, recorded, &next, &seen, &report);
  }
  if (same && next < recorded.size()) {
    report.difference = "transition " + std::to_string(next + 1) + " at " +
                        std::to_string(recorded[next]->time_ms) + ": journalled '" +
                        text_of(*recorded[next]) + "', not replayed";
  }
  report.same = report.difference.empty();
  return report;
}

}  // namespace testkit
