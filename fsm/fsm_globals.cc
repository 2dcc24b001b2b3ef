// fsm_globals.cc - the core's globals: the client call object, the locks
// of client calls and of the history archives, and the machines' clock.
//
// norix_call is safe from any thread without a lock; norix_mux is left to
// applications that keep a sequence of their own calls together (lock order
// L3, fsm/fsm_core.h); arch_mux is held around archive creation and booking. Both are statically
// initialised, so they are usable before the first location is created. norix_call is made by the
// server's first eq_create and lives as long as the process. The clock is an atomic pointer: a test
// may replace it while engines read it.

#include <pthread.h>
#include <time.h>

#include <atomic>

#include "fsm/fsm_core.h"

EqCall* norix_call = nullptr;
pthread_mutex_t norix_mux = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t arch_mux = PTHREAD_MUTEX_INITIALIZER;

namespace {

long long steady_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::atomic<FSMclock> machine_clock{steady_ms};

}  // namespace

void fsm_set_clock(FSMclock clock) {
  machine_clock.store(clock != nullptr ? clock : steady_ms);
}

long long fsm_clock_ms() {
  return machine_clock.load()();
}
