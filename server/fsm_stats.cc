// fsm_stats.cc - a machine's running figures: ticks, lateness, and their
// exposition as metrics and as the watchdog's liveness.
//
// A scrape and the watchdog read the registry without a lock: it is not
// changed once the engines run. The queue depths take each queue's mutex
// for a moment, as any poster does.

#include "server/fsm_stats.h"

#include <time.h>

#include "framework/host/metrics.h"
#include "fsm/fsm_trace.h"
#include "server/fsm_binding.h"

namespace {

long long now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

double seconds(long long ns) {
  return static_cast<double>(ns) / 1e9;
}

template <typename T>
double value(const std::atomic<T>& n) {
  return static_cast<double>(n.load(std::memory_order_relaxed));
}

}  // namespace

void FSMstats::tick_due() {
  long long none = 0;
  due_ns.compare_exchange_strong(none, now_ns(), std::memory_order_relaxed);
}

// A tick starts when it is due, or when the previous one ended if the
// engine was still busy with it then.
void FSMstats::tick_done() {
  long long now = now_ns();
  long long due = due_ns.exchange(0, std::memory_order_relaxed);
  if (due != 0) {
    long long late = now - due;
    lateness_ns.store(lateness_ns.load(std::memory_order_relaxed) + late,
                      std::memory_order_relaxed);
    if (late > lateness_max_ns.load(std::memory_order_relaxed))
      lateness_max_ns.store(late, std::memory_order_relaxed);
    long long start = due > last_done_ns ? due : last_done_ns;
    busy_ns.store(busy_ns.load(std::memory_order_relaxed) + (now - start),
                  std::memory_order_relaxed);
  }
  last_done_ns = now;
  ticks.store(ticks.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void fsm_metrics(norix::MetricsOut* out) {
  for (FSMlist::entry* e : global_list.list) {
    const FSMstats* st = e->loc != nullptr ? e->loc->stats : nullptr;
    auto* root = dynamic_cast<FSMrootstate*>(e->base);
    if (st == nullptr || root == nullptr) continue;
    const norix::MetricsOut::Labels m{{"machine", e->fsm}, {"location", e->loc->name()}};
    out->counter("fsm_events_dispatched_total",
                 "Events the machine dispatched, its timer events included.", value(st->steps), m);
    out->counter("fsm_ticks_total", "Ticks the machine completed.", value(st->ticks), m);
    out->counter("fsm_transitions_total", "Transitions that fired.",
                 root->trace != nullptr ? static_cast<double>(root->trace->last_seq()) : 0, m);
    for (auto q :
         {std::make_pair("event", &root->event_fifo), std::make_pair("irq1", &root->irq1_fifo),
          std::make_pair("irq2", &root->irq2_fifo)}) {
      norix::MetricsOut::Labels l = m;
      l.emplace_back("queue", q.first);
      out->gauge("fsm_queue_depth", "Events waiting in the machine's queue.", q.second->pending(),
                 l);
    }
    out->counter("fsm_events_refused_total",
                 "Client events refused because too many waited for the machine.",
                 value(st->refusals), m);
    out->summary("fsm_tick_lateness_seconds", "From a tick being due to the machine completing it.",
                 seconds(st->lateness_ns.load(std::memory_order_relaxed)),
                 st->ticks.load(std::memory_order_relaxed), m);
    out->gauge("fsm_tick_lateness_max_seconds", "The latest a tick was completed.",
               seconds(st->lateness_max_ns.load(std::memory_order_relaxed)), m);
    out->counter("fsm_dispatch_seconds_total", "Time the machine spent dispatching its ticks.",
                 seconds(st->busy_ns.load(std::memory_order_relaxed)), m);
    out->counter("fsm_errors_total", "Errors the machine's states reported to their locations.",
                 value(st->errors), m);
  }
}

// Called on the watchdog thread only, which alone uses seen_steps and
// seen_at_ns.
bool fsm_engines_alive(long long limit_ms, std::string* stuck) {
  const long long now = now_ns();
  const long long limit = limit_ms * 1000000LL;
  for (FSMlist::entry* e : global_list.list) {
    FSMstats* st = e->loc != nullptr ? e->loc->stats : nullptr;
    if (st == nullptr) continue;
    unsigned long long steps = st->steps.load(std::memory_order_relaxed);
    if (steps != st->seen_steps || st->seen_at_ns == 0) {
      st->seen_steps = steps;
      st->seen_at_ns = now;
    }
    long long due = st->due_ns.load(std::memory_order_relaxed);
    if (due != 0 && now - due > limit && now - st->seen_at_ns > limit) {
      *stuck = "the engine of machine " + e->fsm + " (location " + e->loc->name() + ")";
      return false;
    }
  }
  return true;
}
