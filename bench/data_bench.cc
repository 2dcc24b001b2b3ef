// data_bench.cc - send_event by machine name, the refresh of bound data
// items, and routed data access by handle.

#include <benchmark/benchmark.h>
#include <stdio.h>

#include <string>

#include "bench/bench_support.h"
#include "bench/server_fixture.h"

namespace fsmbench {
namespace {

// send_event to the first of 1 or the last of 100 registered machines, in
// chunks of 1000 sends; each chunk is followed (untimed) by a tick of the
// target so that its queue does not grow.
void send_case(benchmark::State& state, const std::string& key, int machines) {
  const std::string& err = start_server();
  if (!err.empty()) {
    state.SkipWithError(err.c_str());
    return;
  }
  constexpr int CHUNK = 1000;
  int target = machines - 1;
  char name[8];
  snprintf(name, sizeof name, "m%03d", target % 1000);
  FSMevent ev;
  ev.set_event("ping", "*");
  int64_t best = -1, total = 0;
  long chunks = 0;
  uint64_t allocs = 0;
  for (auto _ : state) {
    Allocs a0 = thread_allocs();
    int64_t t0 = wall_ns();
    for (int i = 0; i < CHUNK; ++i) {
      if (send_event(name, &ev) != 0) {
        state.SkipWithError("send_event found no machine");
        return;
      }
    }
    int64_t spent = wall_ns() - t0;
    allocs += thread_allocs().count - a0.count;
    total += spent;
    ++chunks;
    if (best < 0 || spent < best) best = spent;
    long before = machine_ticks[target];
    small_locs[static_cast<size_t>(target)]->update();
    if (!wait_until(machine_ticks[target], before + 1)) {
      state.SkipWithError("the machine did not take its events");
      return;
    }
  }
  report(state, key, static_cast<double>(best) / CHUNK,
         static_cast<double>(total) / static_cast<double>(chunks * CHUNK),
         static_cast<double>(allocs) / static_cast<double>(chunks * CHUNK));
}

// An event addressed to the state with n bound items: its refresh reads
// every item from DEV through the in-process client call.
void refresh_case(benchmark::State& state, const std::string& key, int n) {
  const std::string& err = start_server();
  if (!err.empty()) {
    state.SkipWithError(err.c_str());
    return;
  }
  // The DATA machine's own engine never gets an event or a tick here; its
  // root is handed the event directly, as the dispatch cases do (this
  // thread saw the engine's start-up through the location mutex).
  FSMsuperstate* root = data_loc->state_ptr;
  FSMevent ev;
  std::string target = "ITEMS" + std::to_string(n);
  ev.set_event("refresh", target.c_str());
  FSMstate* st = nullptr;
  size_t f = 0;
  while (ITEM_COUNTS[f] != n)
    ++f;
  root->get_st_name(static_cast<int>(f), 0, &st);
  root->FSMsuperstate::process_event(&ev);
  int got = 0;
  if (st == nullptr || st->data_get(st->data_open("v0", 0), &got, 0) != 0 || got != 0 ||
      st->get_error()[0] != '\0') {
    state.SkipWithError("the items were not refreshed from DEV");
    return;
  }
  Chunks chunks(n >= 100 ? 100 : 1000);
  chunks.start();
  for (auto _ : state) {
    root->FSMsuperstate::process_event(&ev);
    chunks.tick();
  }
  chunks.stop();
  report(state, key, chunks);
  record(key + "#per_item", chunks.best_ns() / n);
}

// data_get and data_set of REF's routed property IVAL by handle, from a
// state of the machine.
void routed_case(benchmark::State& state, const std::string& key, bool set) {
  const std::string& err = start_server();
  if (!err.empty()) {
    state.SkipWithError(err.c_str());
    return;
  }
  FSMstate* leaf = ref_machine->states[1];  // A0
  int h = leaf->data_open("IVAL", 0);
  int v = 0;
  if (h == -1 || leaf->data_set(h, 41, 0) != 0 || leaf->data_get(h, &v, 0) != 0 || v != 41) {
    state.SkipWithError("IVAL is not routed");
    return;
  }
  Chunks chunks(1000);
  chunks.start();
  int i = 0;
  for (auto _ : state) {
    if (set) {
      leaf->data_set(h, ++i, 0);
    } else {
      leaf->data_get(h, &v, 0);
      benchmark::DoNotOptimize(v);
    }
    chunks.tick();
  }
  chunks.stop();
  report(state, key, chunks);
}

}  // namespace

void register_data_cases() {
  for (int machines : {1, MACHINES}) {
    std::string key = "send_event/machines_" + std::to_string(machines);
    benchmark::RegisterBenchmark(
        key.c_str(), [key, machines](benchmark::State& s) { send_case(s, key, machines); });
  }
  for (int n : ITEM_COUNTS) {
    std::string key = "refresh/items_" + std::to_string(n);
    benchmark::RegisterBenchmark(key.c_str(),
                                 [key, n](benchmark::State& s) { refresh_case(s, key, n); });
  }
  for (bool set : {false, true}) {
    std::string key = set ? "routed/data_set" : "routed/data_get";
    benchmark::RegisterBenchmark(key.c_str(),
                                 [key, set](benchmark::State& s) { routed_case(s, key, set); });
  }
}

}  // namespace fsmbench
