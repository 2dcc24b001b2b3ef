// journal_bench.cc - the journal: how many records a second its writer
// commits and how long a batch takes, and a time-range query over a
// journal of a million records.

#include "framework/host/journal.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/cases.h"
#include "framework/objects/journal.h"

namespace fsmbench {

namespace {

using Clock = std::chrono::steady_clock;

std::string temp_journal() {
  const char* tmp = getenv("TMPDIR");
  std::string path = std::string(tmp != nullptr ? tmp : "/tmp") + "/journal_bench.XXXXXX";
  std::vector<char> buf(path.begin(), path.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) return "";
  return std::string(buf.data()) + "/j.db";
}

void remove_journal(const std::string& file) {
  for (const char* extra : {"", "-wal", "-shm"})
    unlink((file + extra).c_str());
  unlink(file.c_str());
  rmdir(file.substr(0, file.rfind('/')).c_str());
}

// Pushes n records a millisecond apart from `start`, waiting whenever the
// queue is full, until the writer has committed them all: the seconds taken.
double fill(long n, long long start) {
  unsigned long long before = norix::journal_stats().written;
  auto t0 = Clock::now();
  norix::journal_record r = norix::journal_make(norix::JOURNAL_TRANSITION);
  norix::journal_put(r.location, "OVEN");
  norix::journal_put(r.subject, "oven/0");
  norix::journal_put(r.old_value, "ramp");
  norix::journal_put(r.new_value, "hold");
  norix::journal_put(r.detail, "timer");
  for (long i = 0; i < n; ++i) {
    r.time_ms = start + i;
    while (!norix::journal_push(r))
      std::this_thread::yield();
  }
  while (norix::journal_stats().written < before + static_cast<unsigned long long>(n))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

void writer_case(benchmark::State& state) {
  std::string file = temp_journal();
  norix::JournalOptions o;
  o.file = file;
  std::string why;
  if (file.empty() || norix::journal_start(o, &why) != 0) {
    state.SkipWithError(("journal: " + why).c_str());
    return;
  }
  const long n = 200000;
  double secs = 0;
  for (auto _ : state)
    secs = fill(n, 0);
  norix::JournalStats s = norix::journal_stats();
  norix::journal_stop();
  remove_journal(file);
  state.counters["records/s"] = n / secs;
  state.counters["max_batch_ms"] = s.max_batch_ms;
  state.counters["batch_ms"] = s.last_batch_ms;
  record("journal/writer#per_s", n / secs);
  record("journal/writer#max_batch_ms", s.max_batch_ms);
}

void query_case(benchmark::State& state) {
  std::string file = temp_journal();
  norix::JournalOptions o;
  o.file = file;
  std::string why;
  if (file.empty() || norix::journal_start(o, &why) != 0) {
    state.SkipWithError(("journal: " + why).c_str());
    return;
  }
  const long n = 1000000;
  fill(n, 0);
  norix::journal_stop();
  // One second of the million milliseconds, in the middle: 1000 records.
  norix::JournalQuery q;
  q.from_ms = n / 2;
  q.to_ms = n / 2 + 999;
  double best = 1e9;
  size_t found = 0;
  for (auto _ : state) {
    std::vector<norix::JournalRow> rows;
    auto t0 = Clock::now();
    norix::journal_query(file, q, &rows, &why);
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (ms < best) best = ms;
    found = rows.size();
  }
  remove_journal(file);
  if (found != 1000) {
    state.SkipWithError("the query found the wrong records");
    return;
  }
  state.counters["ms"] = best;
  record("journal/query_1s_of_1M#ms", best);
}

}  // namespace

void register_journal_cases() {
  benchmark::RegisterBenchmark("journal/writer", writer_case)->Iterations(1)->UseRealTime();
  benchmark::RegisterBenchmark("journal/query", query_case)->Iterations(5)->UseRealTime();
}

}  // namespace fsmbench
