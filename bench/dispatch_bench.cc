// dispatch_bench.cc - dispatch without the queue (an event handed down the
// tree from the root), the mutex-pair baseline, the scaling shapes and the
// memory figures.

#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/cases.h"
#include "bench/machines.h"
#include "framework/host/journal.h"
#include "fsm/fsm.h"
#include "fsm/fsm_trace.h"

namespace fsmbench {
namespace {

Counts plus(const Counts& a, const Counts& b, long times) {
  Counts c;
  c.poll = a.poll + times * b.poll;
  c.during = a.during + times * b.during;
  c.enter = a.enter + times * b.enter;
  c.exit = a.exit + times * b.exit;
  c.handler = a.handler + times * b.handler;
  return c;
}

Counts minus(const Counts& a, const Counts& b) {
  return plus(a, b, -1);
}

// Dispatches the ring round and round and reports the cost per event. The
// machine is checked against the model before timing, and again after it
// (the ring brings it back to the same places, so the counters must have
// grown by whole rounds).
void run_dispatch(benchmark::State& state, const std::string& key, const Desc& d,
                  const std::vector<Aim>& aims, Addressing how,
                  size_t trace_size = FSMtrace::DEFAULT_SIZE) {
  Ring r = make_ring(d, aims, how);
  if (!r.error.empty()) {
    state.SkipWithError(r.error.c_str());
    return;
  }
  Built m(d);
  m.root->trace->configure(trace_size, false);
  Model model(d);
  m.start();
  model.start();
  // The warm-up ends with one round of the ring itself, so that the ring's
  // own records have grown their texts before timing.
  for (std::vector<FSMevent>* evs : {&r.warm, &r.ring}) {
    for (FSMevent& ev : *evs) {
      m.deliver(&ev);
      model.step(ev.event, ev.state);
    }
  }
  std::string err = m.compare(model);
  if (!err.empty()) {
    state.SkipWithError(("before timing: " + err).c_str());
    return;
  }
  Model round = model;
  for (const FSMevent& ev : r.ring)
    round.step(ev.event, ev.state);

  const size_t n = r.ring.size();
  size_t i = 0;
  // Chunks of whole rounds, about a thousand events each.
  Chunks chunks(static_cast<long>(n * (1 + 1000 / n)));
  chunks.start();
  for (auto _ : state) {
    m.deliver(&r.ring[i]);
    if (++i == n) i = 0;
    chunks.tick();
  }
  chunks.stop();

  long rounds = static_cast<long>(state.iterations() / n);
  if (i != 0) {
    for (; i < n; ++i)
      m.deliver(&r.ring[i]);
    ++rounds;
  }
  Model expect = model;
  for (size_t k = 0; k < expect.counts.size(); ++k)
    expect.counts[k] = plus(model.counts[k], minus(round.counts[k], model.counts[k]), rounds);
  err = m.compare(expect);
  if (!err.empty()) {
    state.SkipWithError(("after timing: " + err).c_str());
    return;
  }
  report(state, key, chunks);
}

// ---------------------------------------------------------------------------
// Scaling shapes.

// "n07": a letter and two digits (the numbers here stay below 100).
std::string numbered(char letter, int n) {
  std::string s(1, letter);
  s += static_cast<char>('0' + n / 10 % 10);
  s += static_cast<char>('0' + n % 10);
  return s;
}

// n flows of four states each; tick advances every flow.
Desc flows_machine(int n) {
  Desc d("R");
  for (int f = 0; f < n; ++f) {
    for (int i = 0; i < 4; ++i) {
      std::string prefix = "F" + std::to_string(f) + "S";
      int s = d.add(prefix + std::to_string(i), false, 0, f);
      d.nodes[s].trans = {{"tick", prefix + std::to_string((i + 1) % 4)}};
    }
  }
  return d;
}

// depth levels: the root holds S1, S1 holds S2, ... and the deepest flow
// holds the simple state L.
Desc depth_machine(int depth) {
  Desc d("R");
  int parent = 0;
  for (int level = 1; level < depth; ++level)
    parent = d.add("S" + std::to_string(level), true, parent, 0);
  d.add("L", false, parent, 0);
  return d;
}

// Two states that swap on "g00"; each has `count` transitions of which the
// one for "g00" is the first or the last (the others name events of the
// same length that are never sent).
Desc transitions_machine(int count, bool last) {
  Desc d("R");
  for (int i = 0; i < 2; ++i) {
    int s = d.add("X" + std::to_string(i), false, 0, 0);
    std::string other = "X" + std::to_string(1 - i);
    for (int t = 0; t < count - 1; ++t) {
      d.nodes[s].trans.emplace_back(numbered('n', t), other);
    }
    auto at = last ? d.nodes[s].trans.end() : d.nodes[s].trans.begin();
    d.nodes[s].trans.insert(at, {"g00", other});
  }
  return d;
}

// One state with `count` handlers "h00".."hNN".
Desc handlers_machine(int count) {
  Desc d("R");
  int s = d.add("S", false, 0, 0);
  for (int h = 0; h < count; ++h) {
    d.nodes[s].handlers.push_back(numbered('h', h));
  }
  return d;
}

std::string handler_event(int count) {
  return numbered('h', count > 0 ? count - 1 : 0);
}

// ---------------------------------------------------------------------------
// Memory.

// Heap bytes made by `make` on this thread, per unit.
template <typename F>
double bytes_per(int units, F make) {
  Allocs a0 = thread_allocs();
  make();
  Allocs a1 = thread_allocs();
  return static_cast<double>(a1.bytes - a0.bytes) / units;
}

void memory_case(benchmark::State& state) {
  constexpr int N = 1000;
  double state_bytes = 0, super_bytes = 0, trans_bytes = 0, event_bytes = 0;
  for (auto _ : state) {
    std::vector<FSMstate*> made;
    made.reserve(2 * N);
    char name[16];
    state_bytes = bytes_per(N, [&] {
      for (int i = 0; i < N; ++i) {
        snprintf(name, sizeof name, "S%04d", i);
        made.push_back(new FSMstate(name, nullptr, 0));
      }
    });
    super_bytes = bytes_per(N, [&] {
      for (int i = 0; i < N; ++i) {
        snprintf(name, sizeof name, "P%04d", i);
        auto* sup = new FSMsuperstate(nullptr, name, nullptr, 0);
        sup->add_state(0, made[static_cast<size_t>(i)]);
        made.push_back(sup);
      }
    });
    FSMstate host("host", nullptr, 0);
    trans_bytes = bytes_per(N, [&] {
      for (int i = 0; i < N; ++i) {
        snprintf(name, sizeof name, "e%03d", i % 1000);
        host.add_transition(name, nullptr, nullptr, nullptr, nullptr, "S0000");
      }
    });
    FSMrootstate root(nullptr, "R", nullptr);
    FSMevent ev;
    ev.set_event("e0", "*");
    event_bytes = bytes_per(10 * N, [&] {
      for (int i = 0; i < 10 * N; ++i)
        root.post_event(&ev);
    });
    for (size_t i = made.size(); i-- > 0;)
      delete made[i];
  }
  state.counters["B/state"] = state_bytes;
  state.counters["B/superstate"] = super_bytes;
  state.counters["B/transition"] = trans_bytes;
  state.counters["B/queued_event"] = event_bytes;
  record("memory/state", state_bytes);
  record("memory/superstate", super_bytes);
  record("memory/transition", trans_bytes);
  record("memory/queued_event", event_bytes);
}

void mutex_pair_case(benchmark::State& state) {
  keep_second_thread();
  pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
  Chunks chunks(1000);
  chunks.start();
  for (auto _ : state) {
    pthread_mutex_lock(&m);
    benchmark::ClobberMemory();
    pthread_mutex_unlock(&m);
    chunks.tick();
  }
  chunks.stop();
  state.counters["ns/ev"] = chunks.best_ns();
  state.counters["span_ns/ev"] = chunks.span_ns();
  record("baseline/mutex_pair#ns", chunks.best_ns());
}

}  // namespace

void register_dispatch_cases() {
  benchmark::RegisterBenchmark("baseline/mutex_pair", mutex_pair_case);

  struct Scenario {
    const char* name;
    std::vector<Aim> (*aims)(const Desc&);
  };
  const Scenario scenarios[] = {
      {"cycle", cycle_aims}, {"broadcast", broadcast_aims}, {"unhandled", unhandled_aims}};
  // The dispatch cases run exactly FSM_BENCH_EVENTS events when it is set.
  const long fixed = fixed_events();
  auto sized = [fixed](benchmark::internal::Benchmark* b) {
    if (fixed > 0) b->Iterations(fixed);
  };
  for (const Scenario& sc : scenarios) {
    std::string key = std::string("dispatch/") + sc.name;
    sized(benchmark::RegisterBenchmark(key.c_str(), [key, sc](benchmark::State& s) {
      Desc d = reference_machine();
      run_dispatch(s, key, d, sc.aims(d), STAR);
    }));
  }
  struct Address {
    const char* name;
    Addressing how;
  };
  const Address addresses[] = {{"bare", BARE},
                               {"parent_name", PARENT_NAME},
                               {"parent_star", PARENT_STAR},
                               {"nobody", NOBODY}};
  // The same cycle with the transition trace off: the trace's cost is the
  // ratio of the two.
  sized(benchmark::RegisterBenchmark("dispatch/cycle/untraced", [](benchmark::State& s) {
    Desc d = reference_machine();
    run_dispatch(s, "dispatch/cycle/untraced", d, cycle_aims(d), STAR, 0);
  }));
  sized(benchmark::RegisterBenchmark("dispatch/broadcast/untraced", [](benchmark::State& s) {
    Desc d = reference_machine();
    run_dispatch(s, "dispatch/broadcast/untraced", d, broadcast_aims(d), STAR, 0);
  }));
  // The same cycle with the journal on: every transition is pushed to the
  // journal's queue (dropped and counted once the writer falls behind).
  sized(benchmark::RegisterBenchmark("dispatch/cycle/journaled", [](benchmark::State& s) {
    char dir[] = "/tmp/dispatch_bench.XXXXXX";
    norix::JournalOptions o;
    o.file = mkdtemp(dir) != nullptr ? std::string(dir) + "/j.db" : "";
    std::string why;
    if (o.file.empty() || norix::journal_start(o, &why) != 0) {
      s.SkipWithError(("journal: " + why).c_str());
      return;
    }
    Desc d = reference_machine();
    run_dispatch(s, "dispatch/cycle/journaled", d, cycle_aims(d), STAR);
    norix::journal_stop();
    for (const char* extra : {"", "-wal", "-shm"})
      unlink((o.file + extra).c_str());
    rmdir(dir);
  }));
  for (const Address& a : addresses) {
    std::string key = std::string("dispatch/cycle/") + a.name;
    benchmark::RegisterBenchmark(key.c_str(), [key, a](benchmark::State& s) {
      Desc d = reference_machine();
      run_dispatch(s, key, d, cycle_aims(d), a.how);
    });
  }

  for (int n : {1, 4, 16, 64}) {
    for (const Scenario& sc : {scenarios[2], scenarios[1]}) {
      std::string key = std::string("scale/flows/") + sc.name + "/" + std::to_string(n);
      benchmark::RegisterBenchmark(key.c_str(), [key, sc, n](benchmark::State& s) {
        Desc d = flows_machine(n);
        run_dispatch(s, key, d, sc.aims(d), STAR);
      });
    }
  }
  for (int depth = 1; depth <= 8; ++depth) {
    std::string key = "scale/depth/" + std::to_string(depth);
    benchmark::RegisterBenchmark(key.c_str(), [key, depth](benchmark::State& s) {
      Desc d = depth_machine(depth);
      run_dispatch(s, key, d, unhandled_aims(d), STAR);
    });
  }
  for (int count : {1, 8, 32}) {
    for (bool last : {false, true}) {
      std::string key =
          "scale/transitions/" + std::to_string(count) + (last ? "/match_last" : "/match_first");
      benchmark::RegisterBenchmark(key.c_str(), [key, count, last](benchmark::State& s) {
        Desc d = transitions_machine(count, last);
        run_dispatch(s, key, d, {{"g00", 0, 0}}, STAR);
      });
    }
  }
  for (int count : {0, 4, 16}) {
    std::string key = "scale/handlers/" + std::to_string(count);
    benchmark::RegisterBenchmark(key.c_str(), [key, count](benchmark::State& s) {
      Desc d = handlers_machine(count);
      run_dispatch(s, key, d, {{handler_event(count), 0, 0}}, STAR);
    });
  }
  for (int pad : {8, 40}) {
    for (const Address& a : {Address{"star", STAR}, Address{"bare", BARE}}) {
      std::string key = "scale/names/" + std::to_string(pad) + "/cycle/" + a.name;
      benchmark::RegisterBenchmark(key.c_str(), [key, pad, a](benchmark::State& s) {
        Desc d = reference_machine(pad);
        run_dispatch(s, key, d, cycle_aims(d), a.how);
      });
    }
  }
  benchmark::RegisterBenchmark("memory/bytes", memory_case)->Iterations(1);
}

}  // namespace fsmbench
