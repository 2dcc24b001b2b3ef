// contention_bench.cc - REF's event engine while property readers and
// interrupts run beside it, and without them.

#include <benchmark/benchmark.h>
#include <time.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/server_fixture.h"

namespace fsmbench {
namespace {

// 1000 events of the cycle scenario per tick through REF's queue; the
// figure is the CPU time of the poster and REF's event engine per event.
void contention_case(benchmark::State& state, const std::string& key, bool contended) {
  const std::string& err = start_server();
  if (!err.empty()) {
    state.SkipWithError(err.c_str());
    return;
  }
  handler_probe = note_tick;
  std::string check = check_ref(&ref_model());
  if (!check.empty()) {
    handler_probe = nullptr;
    state.SkipWithError(("before timing: " + check).c_str());
    return;
  }
  constexpr long BURST = 1000;
  std::vector<FSMevent> ring = make_ring(ref_desc(), cycle_aims(ref_desc()), STAR).ring;
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0}, irqs{0};
  std::vector<std::thread> others;
  if (contended) {
    // A property reader as fast as it goes: FAULT and every FLOW_n.
    others.emplace_back([&] {
      EqData res;
      while (!stop) {
        ref_loc->status.get(nullptr, nullptr, &res, ref_loc);
        for (D_flow* f : ref_loc->flows)
          f->get(nullptr, nullptr, &res, ref_loc);
        ++reads;
      }
    });
    // An interrupt source at a steady 10 kHz (when the machine keeps up).
    others.emplace_back([&] {
      timespec next;
      clock_gettime(CLOCK_MONOTONIC, &next);
      while (!stop) {
        ref_loc->interrupt1();
        ++irqs;
        next.tv_nsec += 100000;
        if (next.tv_nsec >= 1000000000) {
          next.tv_nsec -= 1000000000;
          ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
      }
    });
  }
  long done = ticks();
  size_t next = 0;
  int64_t wall0 = wall_ns();
  int64_t cpu0 = thread_cpu_ns() + thread_cpu_ns(ref_loc->update_id);
  for (auto _ : state) {
    for (long k = 0; k < BURST; ++k) {
      ref_loc->state_ptr->post_event(&ring[next]);
      if (++next == ring.size()) next = 0;
    }
    ref_loc->update();
    if (!wait_ticks(++done)) {
      state.SkipWithError("REF did not end its cycle");
      break;
    }
  }
  int64_t cpu = thread_cpu_ns() + thread_cpu_ns(ref_loc->update_id) - cpu0;
  int64_t wall = wall_ns() - wall0;
  stop = true;
  for (std::thread& t : others)
    t.join();
  // Bring the machine back to a whole round of the ring for the next case.
  while (next != 0) {
    ref_loc->state_ptr->post_event(&ring[next]);
    next = (next + 1) % ring.size();
  }
  ref_loc->update();
  wait_ticks(++done);
  handler_probe = nullptr;
  double events = static_cast<double>(state.iterations()) * BURST;
  report(state, key, static_cast<double>(cpu) / events, static_cast<double>(wall) / events, 0);
  double seconds = static_cast<double>(wall) / 1e9;
  state.counters["reads/s"] = static_cast<double>(reads) / seconds;
  state.counters["irqs/s"] = static_cast<double>(irqs) / seconds;
  record(key + "#reads", static_cast<double>(reads) / seconds);
  record(key + "#irqs", static_cast<double>(irqs) / seconds);
}

}  // namespace

void register_contention_cases() {
  for (bool contended : {false, true}) {
    std::string key = contended ? "contention/readers_and_irqs" : "contention/none";
    benchmark::RegisterBenchmark(key.c_str(), [key, contended](benchmark::State& s) {
      contention_case(s, key, contended);
    })->UseRealTime();
  }
}

}  // namespace fsmbench
