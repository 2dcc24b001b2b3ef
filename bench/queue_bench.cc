// queue_bench.cc - the cost of posting and dispatching a burst of events
// through a root's event queue. A dispatch should cost the same whatever
// the length of the burst (the BigO line should read O(N) for the burst).

#include <benchmark/benchmark.h>

#include "fsm/fsm.h"

namespace {

// Posts n events, signals, and takes them all out again on this thread.
void BM_EventBurst(benchmark::State& bench) {
  const int n = static_cast<int>(bench.range(0));
  FSMrootstate root(nullptr, "root", nullptr);
  FSMevent ev;
  ev.set_event("tick", "*");
  FSMevent out;
  for (auto _ : bench) {
    for (int i = 0; i < n; ++i)
      root.post_event(&ev);
    root.post_event(nullptr);
    while (root.event_fifo.dequeue(out) == 1) {
    }
  }
  bench.SetItemsProcessed(bench.iterations() * n);
  bench.SetComplexityN(n);
}
BENCHMARK(BM_EventBurst)->RangeMultiplier(8)->Range(8, 1 << 15)->Complexity();

// Dispatches a burst through a small machine: root, one flow, two states.
void BM_DispatchThroughTree(benchmark::State& bench) {
  const int n = static_cast<int>(bench.range(0));
  FSMrootstate root(nullptr, "root", nullptr);
  FSMstate a("a", nullptr, 0);
  FSMstate b("b", nullptr, 0);
  a.add_transition("flip", nullptr, nullptr, nullptr, nullptr, "b");
  b.add_transition("flip", nullptr, nullptr, nullptr, nullptr, "a");
  root.add_state(0, &a);
  root.add_state(0, &b);
  root.set_root(&root);
  root.link_state();
  root.enter_state();
  FSMevent ev;
  ev.set_event("flip", "*");
  FSMevent work;
  for (auto _ : bench) {
    for (int i = 0; i < n; ++i)
      root.post_event(&ev);
    root.post_event(nullptr);
    for (int i = 0; i <= n; ++i)
      root.process_event(&work);  // n events, then "timer"
  }
  bench.SetItemsProcessed(bench.iterations() * (n + 1));
  bench.SetComplexityN(n);
  root.leave_state();
}
BENCHMARK(BM_DispatchThroughTree)->RangeMultiplier(8)->Range(8, 1 << 15)->Complexity();

}  // namespace
