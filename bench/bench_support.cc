// bench_support.cc - clocks, the mutex-pair baseline, allocation counting
// and the results table of fsm_bench.
//
// The program replaces the global operator new and delete so that a case
// can count the heap allocations made on its thread; the counters are
// per thread and need no lock.

#include "bench/bench_support.h"

#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include <cmath>
#include <map>
#include <mutex>
#include <new>

namespace {

thread_local fsmbench::Allocs tl_allocs;

void* counted_alloc(size_t size) {
  ++tl_allocs.count;
  tl_allocs.bytes += size;
  void* p = malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

// For over-aligned types (a flow is aligned to a cache line): counted too.
void* counted_aligned_alloc(size_t size, std::align_val_t align) {
  ++tl_allocs.count;
  tl_allocs.bytes += size;
  size_t a = static_cast<size_t>(align);
  size_t rounded = (size == 0 ? a : (size + a - 1) / a * a);
  return aligned_alloc(a, rounded);
}

std::mutex results_mutex;
std::map<std::string, double>& results() {
  static std::map<std::string, double> table;
  return table;
}
std::vector<std::string>& case_order() {
  static std::vector<std::string> order;
  return order;
}

int64_t clock_ns(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

void* operator new(size_t size) {
  return counted_alloc(size);
}
void* operator new[](size_t size) {
  return counted_alloc(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  ++tl_allocs.count;
  tl_allocs.bytes += size;
  return malloc(size == 0 ? 1 : size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  ++tl_allocs.count;
  tl_allocs.bytes += size;
  return malloc(size == 0 ? 1 : size);
}
void* operator new(size_t size, std::align_val_t align) {
  void* p = counted_aligned_alloc(size, align);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size, std::align_val_t align) {
  void* p = counted_aligned_alloc(size, align);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new(size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return counted_aligned_alloc(size, align);
}
void* operator new[](size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return counted_aligned_alloc(size, align);
}
void operator delete(void* p, std::align_val_t) noexcept {
  free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  free(p);
}
void operator delete(void* p, size_t, std::align_val_t) noexcept {
  free(p);
}
void operator delete[](void* p, size_t, std::align_val_t) noexcept {
  free(p);
}
void operator delete(void* p) noexcept {
  free(p);
}
void operator delete[](void* p) noexcept {
  free(p);
}
void operator delete(void* p, size_t) noexcept {
  free(p);
}
void operator delete[](void* p, size_t) noexcept {
  free(p);
}

namespace fsmbench {

int64_t thread_cpu_ns() {
  return clock_ns(CLOCK_THREAD_CPUTIME_ID);
}

int64_t thread_cpu_ns(pthread_t t) {
  clockid_t id;
  if (pthread_getcpuclockid(t, &id) != 0) return 0;
  return clock_ns(id);
}

int64_t wall_ns() {
  return clock_ns(CLOCK_MONOTONIC);
}

void keep_second_thread() {
  static std::once_flag once;
  std::call_once(once, [] {
    pthread_t t;
    pthread_create(
        &t, nullptr,
        [](void*) -> void* {
          static pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
          static pthread_cond_t c = PTHREAD_COND_INITIALIZER;
          pthread_mutex_lock(&m);
          for (;;)
            pthread_cond_wait(&c, &m);  // nobody signals it
          return nullptr;
        },
        nullptr);
    pthread_detach(t);
  });
}

double mutex_pair_ns() {
  keep_second_thread();
  constexpr int PAIRS = 20000;
  static pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
  double best = 1e30;
  for (int batch = 0; batch < 5; ++batch) {
    int64_t t0 = wall_ns();
    for (int i = 0; i < PAIRS; ++i) {
      pthread_mutex_lock(&m);
      benchmark::ClobberMemory();
      pthread_mutex_unlock(&m);
    }
    double ns = static_cast<double>(wall_ns() - t0) / PAIRS;
    if (ns < best) best = ns;
  }
  return best;
}

Allocs thread_allocs() {
  return tl_allocs;
}

void Chunks::start() {
  allocs0_ = tl_allocs;
  t0_ = fsmbench::wall_ns();
  chunk0_ = t0_;
}

void Chunks::close_chunk() {
  int64_t now = fsmbench::wall_ns();
  int64_t spent = now - chunk0_;
  if (best_ < 0 || spent * best_events_ < best_ * in_chunk_) {
    best_ = spent;
    best_events_ = in_chunk_;
  }
  events_ += in_chunk_;
  in_chunk_ = 0;
  chunk0_ = now;
}

void Chunks::stop() {
  t1_ = fsmbench::wall_ns();
  allocs1_ = tl_allocs;
  events_ += in_chunk_;
  in_chunk_ = 0;
}

double Chunks::best_ns() const {
  if (best_ < 0) return span_ns();
  return static_cast<double>(best_) / static_cast<double>(best_events_);
}

double Chunks::span_ns() const {
  return events_ > 0 ? static_cast<double>(t1_ - t0_) / static_cast<double>(events_) : 0;
}

double Chunks::allocs() const {
  return events_ > 0
             ? static_cast<double>(allocs1_.count - allocs0_.count) / static_cast<double>(events_)
             : 0;
}

void report(benchmark::State& state, const std::string& key, double ns, double span_ns,
            double allocs) {
  double pair = mutex_pair_ns();
  state.counters["ns/ev"] = ns;
  state.counters["pairs"] = ns / pair;
  state.counters["span_ns/ev"] = span_ns;
  state.counters["allocs/ev"] = allocs;
  {
    std::lock_guard<std::mutex> lock(results_mutex);
    if (results().count(key) == 0) case_order().push_back(key);
  }
  record(key, ns / pair);
  record(key + "#ns", ns);
  record(key + "#span", span_ns);
  record(key + "#allocs", allocs);
}

void report(benchmark::State& state, const std::string& key, const Chunks& chunks) {
  report(state, key, chunks.best_ns(), chunks.span_ns(), chunks.allocs());
}

void record(const std::string& key, double value) {
  std::lock_guard<std::mutex> lock(results_mutex);
  results()[key] = value;
}

double recorded(const std::string& key) {
  std::lock_guard<std::mutex> lock(results_mutex);
  auto it = results().find(key);
  return it == results().end() ? NAN : it->second;
}

std::vector<std::string> reported_cases() {
  std::lock_guard<std::mutex> lock(results_mutex);
  return case_order();
}

long fixed_events() {
  const char* n = getenv("FSM_BENCH_EVENTS");
  return n != nullptr ? atol(n) : 0;
}

}  // namespace fsmbench
