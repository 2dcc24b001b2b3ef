// bench_support.h - what every case of fsm_bench shares: thread CPU clocks,
// the mutex-pair baseline that every case is reported against, per-thread
// heap allocation counts, and the table of results that the closing summary
// checks the goals on.
//
// Every figure is a ratio within one run: a case reports its cost per event
// both in nanoseconds and as a multiple of one uncontended pthread mutex
// lock+unlock pair measured on the same thread right after the case ran.

#ifndef BENCH_BENCH_SUPPORT_H
#define BENCH_BENCH_SUPPORT_H

#include <benchmark/benchmark.h>
#include <pthread.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace fsmbench {

// CPU time of the calling thread, or of thread t, and the monotonic clock,
// in nanoseconds. On this kind of virtual machine the thread CPU clocks are
// slow to read (a system call) and, over short spans, can fall behind by
// time the hypervisor accounts late; they serve only over whole runs.
int64_t thread_cpu_ns();
int64_t thread_cpu_ns(pthread_t t);
int64_t wall_ns();

// Starts, once, a thread that stays alive (blocked) for the whole run: glibc
// drops the atomic prefix of its locks while a process has one thread.
void keep_second_thread();

// Cost of one uncontended lock+unlock pair of a default pthread mutex on the
// calling thread, in nanoseconds (the best of a few batches).
double mutex_pair_ns();

// Heap allocations made by the calling thread so far (counted by the
// operator new of fsm_bench.cc).
struct Allocs {
  uint64_t count;
  uint64_t bytes;
};
Allocs thread_allocs();

// The timing of one single-threaded case, in chunks of a fixed number of
// events on the monotonic clock. Other work on a shared machine only ever
// adds time, so a case reports its best chunk (against the best batch of
// mutex pairs measured right after it), and the mean over the whole span.
class Chunks {
 public:
  explicit Chunks(long events_per_chunk) : per_chunk_(events_per_chunk) {}
  void start();
  // After each event (or `events` events); closes a chunk when it is full.
  void tick(long events = 1) {
    in_chunk_ += events;
    if (in_chunk_ >= per_chunk_) close_chunk();
  }
  void stop();
  // Nanoseconds per event of the best whole chunk, or of the whole span
  // when no chunk was completed.
  double best_ns() const;
  double span_ns() const;  // per event over the whole span
  double allocs() const;   // heap allocations per event over the whole span

 private:
  void close_chunk();

  long per_chunk_;
  long in_chunk_ = 0;
  long events_ = 0;
  int64_t chunk0_ = 0;
  int64_t best_ = -1;
  long best_events_ = 0;
  int64_t t0_ = 0, t1_ = 0;
  Allocs allocs0_{}, allocs1_{};
};

// Sets the case's counters and records them under `key` for the summary:
// ns is the figure the case stands for (see Chunks), span_ns the mean over
// the whole span, allocs the heap allocations per event.
void report(benchmark::State& state, const std::string& key, double ns, double span_ns,
            double allocs);
void report(benchmark::State& state, const std::string& key, const Chunks& chunks);

// Results of this run: report() stores "<key>" (pairs per event),
// "<key>#ns", "<key>#span" and "<key>#allocs"; cases may store others.
void record(const std::string& key, double value);
double recorded(const std::string& key);  // NaN when the case did not run
// The keys report() was called with, in the order the cases first ran.
std::vector<std::string> reported_cases();

// FSM_BENCH_EVENTS, or 0 when it is not set: the cases that honour it run
// exactly that many events, so that two instruction counts (callgrind) at
// two sizes give the cost per event whatever the machine's load.
long fixed_events();

}  // namespace fsmbench

#endif  // BENCH_BENCH_SUPPORT_H
