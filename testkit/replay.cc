// replay.cc - replaying a journal on a machine driven by the test kit.

#include "testkit/replay.h"

#include <fstream>

#include "fsm/fsm_trace.h"

namespace testkit {

namespace {

// Sources whose events the machine makes again by itself.
bool made_by_machine(const std::string& source, const std::string& location) {
  return source == "timeout" || source == "signal" || source == "machine " + location;
}

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
      report->difference = "transition " + std::to_string(*next + 1) +
                           ": none journalled, replayed '" + made + "'";
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

ReplayReport replay(Machine& m, const std::vector<norix::JournalRow>& rows,
                    std::chrono::milliseconds tick) {
  ReplayReport report;
  std::string machine = m.root()->get_name();
  std::string location = m.location()->name();
  std::vector<const norix::JournalRow*> recorded;
  std::vector<const norix::JournalRow*> events;
  for (const norix::JournalRow& r : rows) {
    if (r.location != machine) continue;
    if (r.kind == "transition") recorded.push_back(&r);
    if (r.kind == "event" && !made_by_machine(r.source, location)) events.push_back(&r);
  }
  size_t next = 0;
  unsigned long long seen = 0;
  if (m.start() != 0) {
    report.same = false;
    report.difference = "the machine did not start";
    return report;
  }
  if (!compare(m, recorded, &next, &seen, &report)) return report;
  long long now = events.empty() ? 0 : events.front()->time_ms;
  for (const norix::JournalRow* e : events) {
    // The ticks of the server's updates up to the event's time.
    while (e->time_ms - now >= tick.count()) {
      m.advance(tick);
      now += tick.count();
      if (!compare(m, recorded, &next, &seen, &report)) break;
    }
    if (!report.difference.empty()) break;
    m.advance(std::chrono::milliseconds(e->time_ms - now));
    now = e->time_ms;
    if (e->source.compare(0, 9, "interrupt") == 0) {
      e->source == "interrupt 2" ? m.irq2() : m.irq1();
    } else {
      m.post(e->subject.c_str(), e->detail.c_str());
      m.tick();
    }
    ++report.events;
    if (!compare(m, recorded, &next, &seen, &report)) break;
  }
  // What the journal holds after the last event: its timeouts and polls.
  long long end = recorded.empty() ? now : recorded.back()->time_ms;
  while (report.difference.empty() && now < end + tick.count()) {
    m.advance(tick);
    now += tick.count();
    compare(m, recorded, &next, &seen, &report);
  }
  if (report.difference.empty() && next < recorded.size()) {
    report.difference = "transition " + std::to_string(next + 1) + " at " +
                        std::to_string(recorded[next]->time_ms) + ": journalled '" +
                        text_of(*recorded[next]) + "', not replayed";
  }
  report.same = report.difference.empty();
  return report;
}

}  // namespace testkit
