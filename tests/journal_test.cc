// journal_test.cc - the server's journal: what each kind of record holds
// and who it names, the bounds by age and size, a stalled writer that never
// holds up a machine, a killed writer and a bad file that leave a journal
// that reads, and a recorded run replayed on the machine's code.

#include "framework/host/journal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "framework/calls/eq_call.h"
#include "framework/objects/journal.h"
#include "fsm/fsm_trace.h"
#include "save_restore/sr_func.h"
#include "testkit/testkit.h"

namespace {

// Root "jr": a -go-> b (signals "back" to every state), b -back-> c,
// c (100 ms: "late") -late-> a; irq1 handled in every state.
void create_jr(EqFSMlocation* loc) {
  FSMstate* a = testkit::recorded_state("a");
  FSMstate* b = testkit::recorded_state("b");
  FSMstate* c = testkit::recorded_state("c");
  a->add_transition("go", nullptr, nullptr, "back", "*", "b");
  b->add_transition("back", nullptr, nullptr, nullptr, nullptr, "c");
  c->add_timeout(100, "late", nullptr);
  c->add_transition("late", nullptr, nullptr, nullptr, nullptr, "a");
  for (FSMstate* s : {a, b, c})
    loc->state_ptr->add_state(0, s);
  loc->flows.push_back(new D_flow("FLOW_0", loc));
}

std::vector<norix::JournalRow> all_rows(const std::string& file) {
  std::vector<norix::JournalRow> rows;
  std::string why;
  EXPECT_EQ(norix::journal_query(file, norix::JournalQuery(), &rows, &why), 0) << why;
  return rows;
}

std::string line_of(const norix::JournalRow& r) {
  return r.kind + "|" + r.source + "|" + r.subject + "|" + r.old_value + "|" + r.new_value + "|" +
         r.detail;
}

TEST(Journal, RecordsEachKindWithItsSource) {
  testkit::TempDir dir;
  norix::JournalOptions o;
  o.file = dir.file("j.db");
  std::string why;
  ASSERT_EQ(norix::journal_start(o, &why), 0) << why;
  testkit::Machine m("JR", "jr", create_jr);
  ASSERT_EQ(m.start(), 0);
  testkit::Device heater("HEATER");
  heater.add("POWER", 3);
  m.root()->add_data("power", nullptr, heater.address("POWER").c_str());  // FAULT follows it
  {
    norix::JournalCaller who("unix uid=7 pid=42");
    m.event("go:!");  // a client's event, the signal it fires, two transitions
  }
  m.advance(std::chrono::milliseconds(100));  // the timeout
  m.irq1();
  {
    norix::JournalCaller who("tcp 127.0.0.1:5000 authenticated");
    EqCall call;
    EqAdr adr;
    adr.adr(heater.address("POWER"));
    EqData value, result;
    value.set("5");
    norix::journal_set(&call, &adr, &value, &result);
    EXPECT_EQ(result.error(), 0);
  }
  heater.fail("POWER", ERR_UNREACHABLE);
  m.tick();
  m.tick();  // the same fault: no record
  heater.fail("POWER", 0);
  m.tick();
  std::string settings = dir.file("s.sr"), saved = dir.file("saved.sr"), none = dir.file("none");
  ASSERT_TRUE(testkit::write_file(settings, "//Save_&_Restore// ; ;\nF D L NOPE 1 5 ;\n"));
  EqData given;
  EXPECT_EQ(sr_save(&settings[0], &saved[0], &given, m.root()), 0);
  {
    norix::JournalCaller who("panel 127.0.0.1");
    EXPECT_EQ(restore_all(&settings[0], &given, SR_SET_FROM_FILE, 1, m.root()), 1);
  }
  given.set_type(DATA_IFFF);
  EXPECT_EQ(compare_all(&none[0], &given, SR_COMP_CORRECT, nullptr), 1);
  norix::journal_server("save", "the file");
  norix::journal_stop();

  std::vector<std::string> seen;
  for (const norix::JournalRow& r : all_rows(o.file))
    seen.push_back(line_of(r));
  const std::vector<std::string> expected = {
      "event|unix uid=7 pid=42|go|||*",
      "event|signal|back|||*",  // posted as the transition fires, before it switches
      "transition||jr/0|a|b|go",
      "transition||jr/0|b|c|back",
      "event|timeout|late|||c",
      "transition||jr/0|c|a|late",
      "event|interrupt 1|irq1|||*",
      "write|tcp 127.0.0.1:5000 authenticated|POWER|3|5|",
      "fault||jr||server unreachable|",
      "fault||jr|server unreachable||",
      "settings||save||0|" + saved,
      "settings|panel 127.0.0.1|restore||1: NOPE not found|" + settings,
      "settings||compare||1: open err: No such file or directory|" + none,
      "server||save|||the file",
  };
  EXPECT_EQ(expected, seen);
}

TEST(Journal, QueriesByTimeLocationKindAndSourceAndReadsBackAsJson) {
  testkit::TempDir dir;
  norix::JournalOptions o;
  o.file = dir.file("j.db");
  std::string why;
  ASSERT_EQ(norix::journal_start(o, &why), 0) << why;
  const struct {
    long long ms;
    const char* location;
    int kind;
    const char* source;
  } recs[] = {{1000, "OVEN", norix::JOURNAL_EVENT, "unix uid=1 pid=2"},
              {2000, "OVEN", norix::JOURNAL_TRANSITION, ""},
              {3000, "DOOR", norix::JOURNAL_EVENT, "panel 127.0.0.1"},
              {4000, "OVEN", norix::JOURNAL_EVENT, "tcp 10.0.0.1:7 \"q\"\\\n"}};
  for (const auto& r : recs) {
    norix::journal_record j = norix::journal_make(r.kind);
    j.time_ms = r.ms;
    norix::journal_put(j.location, r.location);
    norix::journal_put(j.source, r.source);
    ASSERT_TRUE(norix::journal_push(j));
  }
  norix::journal_stop();
  const struct {
    norix::JournalQuery q;
    std::vector<long long> times;
  } cases[] = {
      {{2000, 3000, "", "", "", 0, 0}, {2000, 3000}},
      {{LLONG_MIN, LLONG_MAX, "OVEN", "event", "", 0, 0}, {1000, 4000}},
      {{LLONG_MIN, LLONG_MAX, "", "", "panel", 0, 0}, {3000}},
      {{LLONG_MIN, LLONG_MAX, "", "", "", 0, 2}, {1000, 2000}},
  };
  for (const auto& c : cases) {
    std::vector<norix::JournalRow> rows;
    ASSERT_EQ(norix::journal_query(o.file, c.q, &rows, &why), 0) << why;
    std::vector<long long> times;
    for (const auto& r : rows) {
      times.push_back(r.time_ms);
      norix::JournalRow back;
      ASSERT_EQ(norix::journal_parse_json(norix::journal_json(r), &back), 0);
      EXPECT_EQ(line_of(r) + r.location, line_of(back) + back.location);
    }
    EXPECT_EQ(c.times, times);
  }
  std::vector<norix::JournalRow> rows;
  EXPECT_EQ(norix::journal_query(dir.file("none.db"), norix::JournalQuery(), &rows, &why), -1);
}

TEST(Journal, OldestRecordsGoPastTheAgeAndSizeBounds) {
  testkit::TempDir dir;
  norix::JournalOptions o;
  o.file = dir.file("j.db");
  o.keep_ms = 3600 * 1000;
  o.keep_bytes = 256 * 1024;
  o.batch_ms = 10;
  std::string why;
  ASSERT_EQ(norix::journal_start(o, &why), 0) << why;
  const int n = 30000;  // about 8 MB of records
  for (int i = 0; i < n; ++i) {
    norix::journal_record r = norix::journal_make(norix::JOURNAL_WRITE);
    if (i < 10) r.time_ms -= 2 * 3600 * 1000;  // past the age bound
    memset(r.detail, 'x', sizeof r.detail - 1);
    r.detail[sizeof r.detail - 1] = '\0';
    norix::journal_put(r.subject, std::to_string(i));
    // The queue holds fewer than n: wait for the writer to make room.
    ASSERT_TRUE(testkit::wait_until([&] { return norix::journal_push(r); }));
  }
  ASSERT_TRUE(testkit::wait_until([] { return norix::journal_stats().written >= n; }));
  // The bounds apply at most once a second: wait for the writer's next turn.
  ASSERT_TRUE(testkit::wait_until([&] {
    std::vector<norix::JournalRow> rows;
    norix::journal_query(o.file, norix::JournalQuery(), &rows, &why);
    return rows.size() < n / 4u;
  }));
  norix::journal_stop();
  std::vector<norix::JournalRow> rows;
  norix::JournalQuery writes;
  writes.kind = "write";
  ASSERT_EQ(norix::journal_query(o.file, writes, &rows, &why), 0) << why;
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.back().subject, std::to_string(n - 1));  // the newest stay
  EXPECT_GT(std::stoi(rows.front().subject), 10);
}

std::mutex stall_mux;
std::condition_variable stall_cond;
bool stall = false;
int stalls = 0;

void stalled_batch() {
  std::unique_lock<std::mutex> lock(stall_mux);
  ++stalls;
  stall_cond.notify_all();
  stall_cond.wait_for(lock, testkit::WAIT_LIMIT, [] { return !stall; });
}

TEST(Journal, StalledWriterDropsAndCountsButNeverHoldsUpTheMachine) {
  testkit::TempDir dir;
  norix::JournalOptions o;
  o.file = dir.file("j.db");
  o.batch_ms = 10;
  std::string why;
  stall = true;
  norix::set_journal_batch_hook(stalled_batch);
  ASSERT_EQ(norix::journal_start(o, &why), 0) << why;
  {
    std::unique_lock<std::mutex> lock(stall_mux);
    ASSERT_TRUE(stall_cond.wait_for(lock, testkit::WAIT_LIMIT, [] { return stalls > 0; }));
  }
  testkit::Machine m("JR", "jr", create_jr);
  ASSERT_EQ(m.start(), 0);
  unsigned long long dropped = norix::journal_dropped();
  const int rounds = 4000;  // go, back, late: 3 events and 3 transitions each
  for (int i = 0; i < rounds; ++i) {
    m.event("go:!");
    m.advance(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(m.root()->trace->last_seq(), 3u * rounds);
  EXPECT_EQ(m.flow(0), "a");
  unsigned long long lost = norix::journal_dropped() - dropped;
  EXPECT_EQ(lost, 6u * rounds - norix::JOURNAL_QUEUE);
  // Drops counted by threads that have ended stay in the count.
  unsigned long long before_threads = norix::journal_dropped();
  std::vector<std::thread> pushers;
  for (int t = 0; t < 2; ++t) {
    pushers.emplace_back([] {
      norix::journal_record r = norix::journal_make(norix::JOURNAL_SERVER);
      for (int i = 0; i < 100; ++i)
        EXPECT_FALSE(norix::journal_push(r));
    });
  }
  for (std::thread& p : pushers)
    p.join();
  EXPECT_EQ(norix::journal_dropped() - before_threads, 200u);
  {
    std::lock_guard<std::mutex> lock(stall_mux);
    stall = false;
  }
  stall_cond.notify_all();
  norix::journal_stop();
  norix::set_journal_batch_hook(nullptr);
  std::vector<norix::JournalRow> rows = all_rows(o.file);
  EXPECT_EQ(rows.size(), norix::JOURNAL_QUEUE + 1);
  EXPECT_EQ(rows.back().kind, "dropped");
  EXPECT_EQ(rows.back().detail, std::to_string(norix::journal_dropped()));
}

TEST(Journal, KilledWriterLeavesAJournalThatReads) {
  testkit::TempDir dir;
  std::string file = dir.file("j.db");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    norix::JournalOptions o;
    o.file = file;
    o.batch_ms = 5;
    std::string why;
    if (norix::journal_start(o, &why) != 0) _exit(1);
    for (long i = 0;; ++i) {
      norix::journal_record r = norix::journal_make(norix::JOURNAL_EVENT);
      norix::journal_put(r.subject, std::to_string(i));
      norix::journal_push(r);
    }
  }
  EXPECT_TRUE(testkit::wait_until([&] {
    std::vector<norix::JournalRow> rows;
    std::string why;
    norix::JournalQuery q;
    q.limit = 20000;
    return norix::journal_query(file, q, &rows, &why) == 0 && rows.size() >= 20000;
  }));
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  std::vector<norix::JournalRow> rows = all_rows(file);
  ASSERT_GE(rows.size(), 20000u);
  EXPECT_EQ(rows.front().subject, "0");
}

TEST(Journal, BadFileIsSetAsideAndANewJournalTakesItsPlace) {
  const struct {
    const char* what;
    const char* sql;  // for a database of another program; null: junk bytes
  } cases[] = {{"junk", nullptr}, {"foreign", "CREATE TABLE record(x);"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testkit::TempDir dir;
    std::string file = dir.file("j.db");
    if (c.sql == nullptr) {
      ASSERT_TRUE(testkit::write_file(file, std::string(8192, '\x5a')));
    } else {
      std::string cmd = "sqlite3 " + file + " '" + c.sql + "'";
      ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string before = testkit::read_file(file);
    norix::JournalOptions o;
    o.file = file;
    std::string why;
    ASSERT_EQ(norix::journal_start(o, &why), 0) << why;
    norix::journal_server("start", c.what);
    norix::journal_stop();
    std::string aside = norix::journal_stats().set_aside;
    ASSERT_FALSE(aside.empty());
    EXPECT_EQ(testkit::read_file(aside), before);
    std::vector<norix::JournalRow> rows = all_rows(file);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].detail, c.what);
  }
}

// The web panel's /api/journal reads the running journal.
TEST(Journal, PanelQueryAnswersJsonLinesAndRefusesBadParameters) {
  std::string body;
  EXPECT_EQ(norix::journal_http("", "", "", "", "", "", "", &body), 404);
  testkit::TempDir dir;
  norix::JournalOptions o;
  o.file = dir.file("j.db");
  o.batch_ms = 5;
  std::string why;
  ASSERT_EQ(norix::journal_start(o, &why), 0) << why;
  for (const char* what : {"start", "save"})
    norix::journal_server(what, "");
  ASSERT_TRUE(testkit::wait_until([] { return norix::journal_stats().written >= 2; }));
  const struct {
    const char *from, *kind, *limit, *last;
    int status;
    const char* lines;  // the subjects, in order
  } cases[] = {{"", "", "", "", 200, "start save "}, {"0", "server", "1", "", 200, "start "},
               {"", "", "", "1", 200, "save "},      {"x", "", "", "", 400, ""},
               {"", "nonsense", "", "", 400, ""},    {"", "", "-1", "", 400, ""},
               {"", "", "1", "1", 400, ""},          {"", "event", "", "", 200, ""}};
  for (const auto& c : cases) {
    body.clear();
    EXPECT_EQ(norix::journal_http(c.from, "", "", c.kind, "", c.limit, c.last, &body), c.status)
        << c.from;
    std::string subjects;
    std::istringstream in(body);
    norix::JournalRow r;
    for (std::string line; c.status == 200 && std::getline(in, line);) {
      EXPECT_EQ(norix::journal_parse_json(line, &r), 0) << line;
      subjects += r.subject + " ";
    }
    EXPECT_EQ(subjects, c.lines) << c.limit << c.last;
  }
  norix::journal_stop();
}

}  // namespace
