// latency_bench.cc - the latency of a tick and of the interrupts of REF,
// from the call to the root's action, beside a raw condition-variable
// wake-up measured the same way.

#include <benchmark/benchmark.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/bench_support.h"
#include "bench/server_fixture.h"

namespace fsmbench {
namespace {

std::atomic<int64_t> probe_time{0};
std::atomic<int> probe_kind{0};  // what is awaited: 0 tick, 1 irq1, 2 irq2; -1 none
std::mutex probe_mutex;
std::condition_variable probe_cond;
bool probe_done = false;

void probe_hit(int kind) {
  if (probe_kind.load() != kind) return;
  probe_kind = -1;
  probe_time = wall_ns();
  std::lock_guard<std::mutex> lock(probe_mutex);
  probe_done = true;
  probe_cond.notify_all();
}

void poll_probe() {
  probe_hit(0);
}

// One measurement: arms the probe, runs `fire` and waits for the action.
// Nanoseconds from just before `fire` to the action, or -1.
template <typename F>
int64_t one_latency(int kind, F fire) {
  {
    std::lock_guard<std::mutex> lock(probe_mutex);
    probe_done = false;
  }
  probe_kind = kind;
  int64_t t0 = wall_ns();
  fire();
  std::unique_lock<std::mutex> lock(probe_mutex);
  if (!probe_cond.wait_for(lock, std::chrono::seconds(10), [] { return probe_done; })) return -1;
  return probe_time - t0;
}

// The raw wake-up: a thread waiting on a condition variable for a flag,
// woken the way the queue wakes its engine.
class RawWaiter {
 public:
  RawWaiter() : thread_([this] { run(); }) {}
  ~RawWaiter() {
    pthread_mutex_lock(&mux_);
    quit_ = true;
    flag_ = 1;
    pthread_mutex_unlock(&mux_);
    pthread_cond_signal(&cond_);
    thread_.join();
  }
  // Nanoseconds from the signal to the waiter running, or -1.
  int64_t wake() {
    {
      std::lock_guard<std::mutex> lock(probe_mutex);
      probe_done = false;
    }
    int64_t t0 = wall_ns();
    pthread_mutex_lock(&mux_);
    flag_ = 1;
    pthread_mutex_unlock(&mux_);
    pthread_cond_signal(&cond_);
    std::unique_lock<std::mutex> lock(probe_mutex);
    if (!probe_cond.wait_for(lock, std::chrono::seconds(10), [] { return probe_done; })) return -1;
    return woke_ - t0;
  }

 private:
  void run() {
    pthread_mutex_lock(&mux_);
    for (;;) {
      while (flag_ == 0)
        pthread_cond_wait(&cond_, &mux_);
      woke_ = wall_ns();
      flag_ = 0;
      if (quit_) break;
      std::lock_guard<std::mutex> lock(probe_mutex);
      probe_done = true;
      probe_cond.notify_all();
    }
    pthread_mutex_unlock(&mux_);
  }

  pthread_mutex_t mux_ = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cond_ = PTHREAD_COND_INITIALIZER;
  int flag_ = 0;
  bool quit_ = false;
  std::atomic<int64_t> woke_{0};
  std::thread thread_;
};

double percentile(std::vector<int64_t> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return static_cast<double>(v[i]);
}

void latency_case(benchmark::State& state) {
  const std::string& err = start_server();
  if (!err.empty()) {
    state.SkipWithError(err.c_str());
    return;
  }
  constexpr int SAMPLES = 2000;
  std::vector<int64_t> raw, tick, irq1, irq2;
  RawWaiter waiter;
  root_poll_probe = poll_probe;
  root_irq_probe = probe_hit;
  handler_probe = note_tick;
  bool failed = false;
  for (auto _ : state) {
    for (int i = 0; i < SAMPLES && !failed; ++i) {
      // Each kind in turn, so that all of them see the same machine load;
      // every tick also ends its cycle before the next sample.
      long done = ticks();
      int64_t t = one_latency(0, [] { ref_loc->update(); });
      failed = t < 0 || !wait_ticks(done + 1);
      ref_model().step("timer", "*");
      tick.push_back(t);
      int64_t a = one_latency(1, [] { ref_loc->interrupt1(); });
      int64_t b = one_latency(2, [] { ref_loc->interrupt2(); });
      int64_t r = waiter.wake();
      failed = failed || a < 0 || b < 0 || r < 0;
      irq1.push_back(a);
      irq2.push_back(b);
      raw.push_back(r);
    }
  }
  root_poll_probe = nullptr;
  root_irq_probe = nullptr;
  handler_probe = nullptr;
  if (failed) {
    state.SkipWithError("a tick or an interrupt never reached the root");
    return;
  }
  const std::pair<const char*, std::vector<int64_t>*> kinds[] = {
      {"raw", &raw}, {"tick", &tick}, {"irq1", &irq1}, {"irq2", &irq2}};
  for (const auto& k : kinds) {
    double median = percentile(*k.second, 0.5);
    double p99 = percentile(*k.second, 0.99);
    state.counters[std::string(k.first) + "_median_us"] = median / 1000;
    state.counters[std::string(k.first) + "_p99_us"] = p99 / 1000;
    record(std::string("latency/") + k.first + "#median", median);
    record(std::string("latency/") + k.first + "#p99", p99);
  }
}

}  // namespace

void register_latency_cases() {
  benchmark::RegisterBenchmark("latency/tick_irq_raw", latency_case)->Iterations(1)->UseRealTime();
}

}  // namespace fsmbench
