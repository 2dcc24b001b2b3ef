// fsm_stats.h - what a root location counts of its machine's running, for
// the server's metrics and for the service manager's watchdog.
//
// The event engine is the only writer of its step and tick figures; the
// update thread marks a tick due; client threads count refusals and any
// dispatching thread counts errors. Every field is a relaxed atomic: a
// scrape or the watchdog reads them without a lock, and the engine pays no
// more than a plain store per dispatched event.

#ifndef SERVER_FSM_STATS_H
#define SERVER_FSM_STATS_H

#include <atomic>
#include <string>

#include "fsm/fsm_core.h"

namespace norix {
class MetricsOut;
}

class FSMstats {
 public:
  // Update thread: a tick is signalled now (kept if one is already due).
  void tick_due();
  // Event engine: a dispatch step of ep ended; a "timer" step ends a tick.
  void step_done(const FSMevent& ep) {
    steps.store(steps.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (ep.event.size() == 5 && ep.event == "timer") tick_done();
  }
  void count_refusal() { refusals.fetch_add(1, std::memory_order_relaxed); }
  void count_error() { errors.fetch_add(1, std::memory_order_relaxed); }

  std::atomic<unsigned long long> steps{0};     // events dispatched, "timer" included
  std::atomic<unsigned long long> ticks{0};     // ticks completed
  std::atomic<long long> due_ns{0};             // since when a tick waits; 0 none
  std::atomic<long long> lateness_ns{0};        // sum over ticks: due to done
  std::atomic<long long> lateness_max_ns{0};    // the largest of them
  std::atomic<long long> busy_ns{0};            // sum over ticks: start to done
  std::atomic<unsigned long long> refusals{0};  // client events refused
  std::atomic<unsigned long long> errors{0};    // errors reported to a location
  // The watchdog's own view (its thread only): the steps it saw last, and
  // since when.
  unsigned long long seen_steps = 0;
  long long seen_at_ns = 0;

 private:
  void tick_done();
  long long last_done_ns = 0;  // the engine's own
};

// The figures of every registered machine, for the runtime's metrics
// (framework/host/metrics.h).
void fsm_metrics(norix::MetricsOut* out);
// The watchdog's check (framework/host/service_notify.h): false when a
// machine has had a tick due for limit_ms without dispatching anything.
bool fsm_engines_alive(long long limit_ms, std::string* stuck);

#endif  // SERVER_FSM_STATS_H
