// pipeline_bench.cc - posting and the engine's dispatch loop: bursts of
// posts followed by a tick, dispatched by an engine thread that runs the
// root's real process_event with its queue; posts to a parked engine; and
// the queue alone on one thread.

#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/cases.h"
#include "bench/machines.h"
#include "fsm/fsm.h"

namespace fsmbench {
namespace {

struct Switches {
  long voluntary = 0;
  long involuntary = 0;
};

Switches thread_switches() {
  rusage ru;
  getrusage(RUSAGE_THREAD, &ru);
  return {ru.ru_nvcsw, ru.ru_nivcsw};
}

// A thread running the root's event dispatch loop, as the location's event
// engine does, until it dispatches an event named "stop".
class Engine {
 public:
  explicit Engine(FSMrootstate* root) : root_(root), thread_([this] { run(); }) {}
  ~Engine() {
    FSMevent stop;
    stop.set_event("stop", "nobody");
    root_->post_event(&stop);
    root_->post_event(nullptr);
    thread_.join();
  }

  // Waits until n cycles have ended; false after a long bounded wait.
  bool wait_cycles(long n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cond_.wait_for(lock, std::chrono::seconds(60), [&] { return cycles_ >= n; });
  }
  long cycles() {
    std::lock_guard<std::mutex> lock(mutex_);
    return cycles_;
  }
  // The engine's context switches when it went back to the queue after its
  // last cycle; read once wait_parked has seen it sleep.
  Switches at_cycle_end() { return {end_voluntary_.load(), end_involuntary_.load()}; }
  pthread_t handle() { return thread_.native_handle(); }

  // Waits until the engine sleeps (it then waits for the next tick).
  bool wait_parked() {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid_.load()));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      char buf[512] = {0};
      FILE* f = fopen(path, "r");
      if (f == nullptr) return false;
      size_t got = fread(buf, 1, sizeof buf - 1, f);
      fclose(f);
      buf[got] = '\0';
      const char* paren = strrchr(buf, ')');
      if (paren != nullptr && paren[1] == ' ' && paren[2] == 'S') return true;
      sched_yield();
    }
    return false;
  }

 private:
  void run() {
    tid_ = static_cast<pid_t>(syscall(SYS_gettid));
    FSMevent ev;
    for (;;) {
      root_->process_event(&ev);
      if (ev.event == "timer") {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          ++cycles_;
          cond_.notify_all();
        }
        // Taken after the handshake, just before the engine goes back to
        // the queue; a poster reads them once the engine sleeps.
        Switches sw = thread_switches();
        end_voluntary_ = sw.voluntary;
        end_involuntary_ = sw.involuntary;
      } else if (ev.event == "stop") {
        break;
      }
    }
  }

  FSMrootstate* root_;
  std::mutex mutex_;
  std::condition_variable cond_;
  long cycles_ = 0;
  std::atomic<long> end_voluntary_{0};
  std::atomic<long> end_involuntary_{0};
  std::atomic<pid_t> tid_{0};
  std::thread thread_;
};

// A second poster: posts its share of each burst when told to.
class Poster {
 public:
  Poster(FSMrootstate* root, std::vector<FSMevent>* ring)
      : root_(root), ring_(ring), thread_([this] { run(); }) {}
  ~Poster() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
      cond_.notify_all();
    }
    thread_.join();
  }
  void go(long count) {
    std::lock_guard<std::mutex> lock(mutex_);
    count_ = count;
    ++generation_;
    cond_.notify_all();
  }
  void wait_done() {
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [&] { return done_ == generation_; });
  }
  pthread_t handle() { return thread_.native_handle(); }
  // Read after wait_done: events posted, and heap allocations made, so far.
  long posted() const { return next_; }
  uint64_t allocs() const { return allocs_; }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      cond_.wait(lock, [&] { return quit_ || generation_ != done_; });
      if (quit_) return;
      long count = count_;
      lock.unlock();
      for (long k = 0; k < count; ++k)
        root_->post_event(&(*ring_)[static_cast<size_t>(next_++) % ring_->size()]);
      lock.lock();
      allocs_ = thread_allocs().count;
      done_ = generation_;
      cond_.notify_all();
    }
  }

  FSMrootstate* root_;
  std::vector<FSMevent>* ring_;
  std::mutex mutex_;
  std::condition_variable cond_;
  long count_ = 0;
  long generation_ = 0;
  long done_ = 0;
  long next_ = 0;
  uint64_t allocs_ = 0;
  bool quit_ = false;
  std::thread thread_;
};

// Runs a few cycles of the cycle scenario through the engine and compares
// the machine with the model; "" when they agree.
std::string check_through_engine(Built& m, Engine& eng, const Desc& d, Model* model) {
  Ring r = make_ring(d, cycle_aims(d), STAR);
  long cycles = eng.cycles();
  for (int c = 0; c < 4; ++c) {
    for (FSMevent& ev : r.ring) {
      m.root->post_event(&ev);
      model->step(ev.event, ev.state);
    }
    m.root->post_event(nullptr);
    model->step("timer", "*");
    if (!eng.wait_cycles(++cycles)) return "the engine did not end its cycle";
  }
  return m.compare(*model);
}

std::vector<FSMevent> alternating(const char* a, const char* b) {
  std::vector<FSMevent> ring(2);
  ring[0].set_event(a, "*");
  ring[1].set_event(b, "*");
  return ring;
}

std::string active_name(FSMsuperstate* sup, int f) {
  return sup->flow[static_cast<size_t>(f)]->active_state->name;
}

// B events posted by one or two posters, a tick, and the engine's cycle.
void pipeline_case(benchmark::State& state, const std::string& key, long burst, int posters) {
  Desc d = reference_machine();
  Built m(d);
  Model model(d);
  m.start();
  model.start();
  Engine eng(m.root);
  std::string err = check_through_engine(m, eng, d, &model);
  if (!err.empty()) {
    state.SkipWithError(("before timing: " + err).c_str());
    return;
  }
  // The cycle scenario's events: one poster sends e0 e1 e2 e3 in turn; with
  // two, one sends e0 e1 and the other e2 e3, so each flow still sees its
  // own events in order.
  std::vector<FSMevent> mine =
      posters == 1 ? make_ring(d, cycle_aims(d), STAR).ring : alternating("e2", "e3");
  std::vector<FSMevent> theirs = alternating("e0", "e1");
  Poster* helper = posters == 2 ? new Poster(m.root, &theirs) : nullptr;
  long polls0 = m.counts(0).poll;
  long cycles = eng.cycles();
  long next = 0;

  // CPU time of every thread involved: this poster, the engine, the helper.
  auto cpu = [&] {
    return thread_cpu_ns() + thread_cpu_ns(eng.handle()) +
           (helper != nullptr ? thread_cpu_ns(helper->handle()) : 0);
  };
  // The figure is the CPU time of all of them over the whole run (their
  // clocks are slow to read and only right over long spans); the wall time
  // of the best cycle is shown beside it.
  int64_t best_wall = -1;
  int64_t wall0 = wall_ns();
  int64_t cpu0 = cpu();
  uint64_t allocs0 = thread_allocs().count;
  uint64_t helper_allocs0 = helper != nullptr ? helper->allocs() : 0;
  for (auto _ : state) {
    int64_t t0 = wall_ns();
    long own = burst;
    if (helper != nullptr) {
      helper->go(burst / 2);
      own = burst - burst / 2;
    }
    for (long k = 0; k < own; ++k)
      m.root->post_event(&mine[static_cast<size_t>(next++) % mine.size()]);
    if (helper != nullptr) helper->wait_done();
    m.root->post_event(nullptr);
    if (!eng.wait_cycles(++cycles)) {
      state.SkipWithError("the engine did not end its cycle");
      break;
    }
    int64_t spent = wall_ns() - t0;
    if (best_wall < 0 || spent < best_wall) best_wall = spent;
  }
  int64_t all_cpu = cpu() - cpu0;
  int64_t wall = wall_ns() - wall0;
  uint64_t allocs = thread_allocs().count - allocs0;
  long theirs_posted = 0;
  if (helper != nullptr) {
    allocs += helper->allocs() - helper_allocs0;
    theirs_posted = helper->posted();
  }
  delete helper;

  // Every event and every tick reached the root once; the flows stand where
  // the events sent to them say.
  long iterations = static_cast<long>(state.iterations());
  long polls = m.counts(0).poll - polls0;
  if (polls != iterations * (burst + 1)) {
    state.SkipWithError(("after timing: the root saw " + std::to_string(polls) + " events of " +
                         std::to_string(iterations * (burst + 1)))
                            .c_str());
    return;
  }
  if (posters == 1) {
    Model after = model;
    for (long k = 0; k < next % static_cast<long>(mine.size()); ++k)
      after.step(mine[static_cast<size_t>(k)].event, "*");
    err = m.compare(after, false);
  } else {
    const char* letter[3] = {"A", "B", "C"};
    long sent[3] = {(theirs_posted + 1) / 2, theirs_posted / 2, (next + 1) / 2};
    for (int f = 0; f < 3; ++f) {
      const std::vector<int>& members = d.nodes[0].flows[static_cast<size_t>(f)];
      long index = 0;
      while (members[static_cast<size_t>(index)] != model.active(0, f))
        ++index;
      std::string want = letter[f] + std::to_string((index + sent[f]) % 4);
      std::string at = active_name(m.root, f);
      if (at != want) err = "flow " + std::to_string(f) + " in " + at + ", expected " + want;
    }
  }
  if (!err.empty()) {
    state.SkipWithError(("after timing: " + err).c_str());
    return;
  }
  double events = static_cast<double>(iterations) * static_cast<double>(burst);
  report(state, key, static_cast<double>(all_cpu) / events, static_cast<double>(wall) / events,
         static_cast<double>(allocs) / events);
  double best = static_cast<double>(best_wall) / static_cast<double>(burst);
  state.counters["wall_best_ns/ev"] = best;
  record(key + "#wall_best", best);
}

std::atomic<bool> probe_armed{false};
std::atomic<long> probe_voluntary{0};
std::atomic<long> probe_involuntary{0};

void first_dispatch_probe() {
  if (probe_armed.exchange(false)) {
    Switches sw = thread_switches();
    probe_voluntary = sw.voluntary;
    probe_involuntary = sw.involuntary;
  }
}

// 10,000 posts to an engine that sleeps until the next tick: the engine's
// context switches from the end of one cycle to the first dispatch of the
// next (its own sleep is one).
void parked_case(benchmark::State& state) {
  constexpr long POSTS = 10000;
  Desc d = reference_machine();
  Built m(d);
  Model model(d);
  m.start();
  model.start();
  Engine eng(m.root);
  std::string err = check_through_engine(m, eng, d, &model);
  if (!err.empty()) {
    state.SkipWithError(("before timing: " + err).c_str());
    return;
  }
  FSMevent ev;
  ev.set_event("idle", "*");  // matches no transition: the machine stays put
  long cycles = eng.cycles();
  long worst = 0, total = 0, worst_involuntary = 0;  // worst is of voluntary switches
  root_poll_probe = first_dispatch_probe;
  for (auto _ : state) {
    if (!eng.wait_parked()) {
      state.SkipWithError("the engine never went to sleep");
      break;
    }
    Switches before = eng.at_cycle_end();
    probe_armed = true;
    for (long k = 0; k < POSTS; ++k)
      m.root->post_event(&ev);
    m.root->post_event(nullptr);
    if (!eng.wait_cycles(++cycles)) {
      state.SkipWithError("the engine did not end its cycle");
      break;
    }
    long voluntary = probe_voluntary - before.voluntary;
    long involuntary = probe_involuntary - before.involuntary;
    total += voluntary + involuntary;
    if (voluntary > worst) worst = voluntary;
    if (involuntary > worst_involuntary) worst_involuntary = involuntary;
  }
  root_poll_probe = nullptr;
  // Voluntary switches are the engine's own waits (its sleep until the
  // tick, and any wake-up a post would cause); involuntary ones are other
  // work on the machine taking its core.
  double mean = static_cast<double>(total) / static_cast<double>(state.iterations());
  state.counters["voluntary_max"] = static_cast<double>(worst);
  state.counters["involuntary_max"] = static_cast<double>(worst_involuntary);
  state.counters["all_mean"] = mean;
  record("pipeline/parked#voluntary_max", static_cast<double>(worst));
  record("pipeline/parked#involuntary_max", static_cast<double>(worst_involuntary));
  record("pipeline/parked#all_mean", mean);
}

// The queue alone on one thread: n posts, a signal, n + 1 dequeues.
void queue_burst_case(benchmark::State& state, const std::string& key, long n) {
  FSMrootstate root(nullptr, "R", nullptr);
  FSMevent ev;
  ev.set_event("e0", "*");
  FSMevent out;
  Chunks chunks(n > 1000 ? n : 1000);
  chunks.start();
  for (auto _ : state) {
    for (long i = 0; i < n; ++i)
      root.post_event(&ev);
    root.post_event(nullptr);
    while (root.event_fifo.dequeue(out) == 1) {
    }
    chunks.tick(n);
  }
  chunks.stop();
  report(state, key, chunks);
}

// Posting and dispatch on one thread, without any wake-up: n posts of the
// cycle scenario, a signal, and the n + 1 dispatch steps of the cycle.
void same_thread_case(benchmark::State& state, const std::string& key, long n) {
  Desc d = reference_machine();
  Built m(d);
  m.start();
  std::vector<FSMevent> ring = make_ring(d, cycle_aims(d), STAR).ring;
  FSMevent work;
  size_t next = 0;
  Chunks chunks(n > 1000 ? n : 1000);
  chunks.start();
  for (auto _ : state) {
    for (long i = 0; i < n; ++i) {
      m.root->post_event(&ring[next]);
      if (++next == ring.size()) next = 0;
    }
    m.root->post_event(nullptr);
    for (long i = 0; i <= n; ++i)
      m.root->process_event(&work);
    chunks.tick(n);
  }
  chunks.stop();
  if (work.event != "timer") {
    state.SkipWithError("the cycle did not end with its timer");
    return;
  }
  report(state, key, chunks);
}

}  // namespace

void register_pipeline_cases() {
  for (int posters : {1, 2}) {
    for (long burst : {1L, 10L, 100L, 1000L, 10000L}) {
      std::string key =
          "pipeline/posters_" + std::to_string(posters) + "/burst_" + std::to_string(burst);
      benchmark::RegisterBenchmark(key.c_str(), [key, burst, posters](benchmark::State& s) {
        pipeline_case(s, key, burst, posters);
      })->UseRealTime();
    }
  }
  benchmark::RegisterBenchmark("pipeline/parked_10000_posts", parked_case)
      ->Iterations(20)
      ->UseRealTime();
  for (long n : {8L, 512L, 32768L}) {
    std::string key = "queue/burst_" + std::to_string(n);
    benchmark::RegisterBenchmark(key.c_str(),
                                 [key, n](benchmark::State& s) { queue_burst_case(s, key, n); });
  }
  for (long n : {100L, 1000L, 10000L}) {
    std::string key = "queue/same_thread_" + std::to_string(n);
    benchmark::RegisterBenchmark(key.c_str(),
                                 [key, n](benchmark::State& s) { same_thread_case(s, key, n); });
  }
}

}  // namespace fsmbench
