// server_bench.cc - the cases that need running locations: tick and
// interrupt latency beside a raw condition-variable wake-up, the engine
// under property readers and interrupts, send_event by machine name, the
// refresh of bound data items, and routed data access by handle.
//
// The locations are started once, as the server starts them (eq_create,
// configuration, init, complete, eq_init_epilog), and run until the
// process ends: REF (the reference machine, with FLOW_0..2 and a routed
// property IVAL), M000..M099 (one-state machines for send_event) and DATA
// (states with 1, 10 and 100 items bound to the served location DEV).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/cases.h"
#include "bench/machines.h"
#include "fsm/fsm.h"
#include "save_restore/sr_func.h"

namespace fsmbench {
namespace {

constexpr const char* FACILITY = "BENCH.FAC";
constexpr const char* DEVICE = "BENCH.DEV";
constexpr int MACHINES = 100;
constexpr int ITEM_COUNTS[] = {1, 10, 100};

// --- the machines the application registers --------------------------------

Desc& ref_desc() {
  static Desc* d = [] {
    Desc* r = new Desc(reference_machine());
    r->nodes[0].name = "ref";  // a root takes its type's name
    // The last state a "timer" dispatch reaches is the active state of flow
    // 2, or D0/D1 below C1: their "timer" handlers mark the end of a cycle.
    for (const char* last : {"C0", "C2", "C3", "D0", "D1"})
      r->nodes[static_cast<size_t>(r->find(last))].handlers.push_back("timer");
    return r;
  }();
  return *d;
}

Built* ref_machine = nullptr;

void build_ref(EqFSMlocation* loc) {
  auto* root = static_cast<FSMrootstate*>(loc->state_ptr);
  ref_machine = new Built(ref_desc(), root);
  for (int f = 0; f < 3; ++f) {
    std::string name = "FLOW_" + std::to_string(f) + " flow";
    loc->flows.push_back(new D_flow(name.c_str(), loc));
  }
  loc->norix_data.push_back(new norix::D_value<int>("IVAL a routed int", loc));
}

// One state; its root counts ticks per machine.
std::atomic<long> machine_ticks[MACHINES];

int count_machine_tick(FSMstate* st) {
  int n = atoi(st->get_name() + 1);
  if (n >= 0 && n < MACHINES) ++machine_ticks[n];
  return 0;
}

void build_small(EqFSMlocation* loc) {
  loc->state_ptr->add_action("timer", count_machine_tick);
  loc->state_ptr->add_state(0, new FSMstate("only", nullptr, 0));
}

// The served device whose properties DATA's items are bound to.
EqFct* device = nullptr;

std::string device_address(int i) {
  char prop[8];
  snprintf(prop, sizeof prop, "P%03d", i % 1000);
  return std::string(FACILITY) + "/" + DEVICE + "/DEV/" + prop;
}

// Flow f holds one state "ITEMS<n>" with n bound items.
void build_data(EqFSMlocation* loc) {
  for (size_t f = 0; f < sizeof ITEM_COUNTS / sizeof ITEM_COUNTS[0]; ++f) {
    int n = ITEM_COUNTS[f];
    std::string name = "ITEMS" + std::to_string(n);
    FSMstate* st = new FSMstate(name.c_str(), nullptr, 0);
    for (int i = 0; i < n; ++i) {
      std::string item = "v" + std::to_string(i);
      st->add_data(item.c_str(), nullptr, device_address(i).c_str());
    }
    loc->state_ptr->add_state(static_cast<int>(f), st);
  }
}

std::vector<node_info>& types() {
  static std::vector<node_info>* t = [] {
    auto* v = new std::vector<node_info>(MACHINES + 2);
    auto set = [&](size_t i, const std::string& name, void (*create)(EqFSMlocation*)) {
      snprintf((*v)[i].name, sizeof(*v)[i].name, "%s", name.c_str());
      (*v)[i].create = create;
      (*v)[i].link = i + 1 < v->size() ? &(*v)[i + 1] : nullptr;
    };
    set(0, "ref", build_ref);
    set(1, "data", build_data);
    for (int m = 0; m < MACHINES; ++m) {
      char name[8];
      snprintf(name, sizeof name, "m%03d", m % 1000);
      set(static_cast<size_t>(m) + 2, name, build_small);
    }
    return v;
  }();
  return *t;
}

EqFSMlocation* ref_loc = nullptr;
EqFSMlocation* data_loc = nullptr;
std::vector<EqFSMlocation*> small_locs;

EqFSMlocation* create(int code, const std::string& type, const std::string& name,
                      const std::string& machine) {
  gbl_fct_name = type;
  auto* loc = static_cast<EqFSMlocation*>(eq_create(code, nullptr));
  loc->set_name(name);
  norix::serve_location(loc);
  std::istringstream conf("FSM \t" + machine + "\nDESCR \t" + name + "\n");
  norix::load_config(loc, conf);
  return loc;
}

bool wait_until(const std::atomic<long>& value, long at_least) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (value.load() < at_least) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// Starts every location once, as the server does; "" or what failed.
const std::string& start_server() {
  static std::string* failure = [] {
    auto* err = new std::string;
    norix::set_server(FACILITY, DEVICE);
    device = new EqFct("NAME = location");
    for (int i = 0; i < 100; ++i) {
      std::string prop = device_address(i).substr(device_address(i).rfind('/') + 1);
      auto* p = new norix::D_value<int>((prop + " an int").c_str(), device);
      p->set_value(i);
    }
    device->set_name("DEV");
    norix::serve_location(device);

    eq_init_prolog();
    ref_loc = create(100, "ref", "REF", "REF.MACHINE");
    data_loc = create(100, "data", "DATA", "DATA.MACHINE");
    for (int m = 0; m < MACHINES; ++m) {
      char name[8];
      snprintf(name, sizeof name, "m%03d", m % 1000);
      small_locs.push_back(create(100, name, std::string("M") + (name + 1), name));
    }
    for (EqFct* loc : {static_cast<EqFct*>(ref_loc), static_cast<EqFct*>(data_loc)})
      loc->init();
    for (EqFSMlocation* loc : small_locs)
      loc->init();
    ref_loc->complete();
    data_loc->complete();
    for (EqFSMlocation* loc : small_locs)
      loc->complete();
    eq_init_epilog();
    // Every machine has been initialised and entered by its event engine.
    std::vector<EqFSMlocation*> all = small_locs;
    all.push_back(ref_loc);
    all.push_back(data_loc);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (EqFSMlocation* loc : all) {
      for (;;) {
        pthread_mutex_lock(&loc->mux);
        int ready = loc->fsm_ready;
        pthread_mutex_unlock(&loc->mux);
        if (ready != 0) break;
        if (std::chrono::steady_clock::now() > deadline) {
          *err = loc->name() + " never became ready";
          return err;
        }
        std::this_thread::yield();
      }
    }
    return err;
  }();
  return *failure;
}

// --- the REF location's ticks -----------------------------------------------

std::mutex tick_mutex;
std::condition_variable tick_cond;
long ticks_done = 0;  // guarded by tick_mutex

void note_tick() {
  std::lock_guard<std::mutex> lock(tick_mutex);
  ++ticks_done;
  tick_cond.notify_all();
}

long ticks() {
  std::lock_guard<std::mutex> lock(tick_mutex);
  return ticks_done;
}

bool wait_ticks(long n) {
  std::unique_lock<std::mutex> lock(tick_mutex);
  return tick_cond.wait_for(lock, std::chrono::seconds(30), [&] { return ticks_done >= n; });
}

// Posts the cycle scenario through REF's queue a few times and compares
// the machine with the model; "" when they agree. The model keeps where
// the flows stand between cases (the cases leave them where they found
// them); its counters start from the machine's.
std::string check_ref(Model* model) {
  std::string places = ref_machine->compare(*model, false);
  if (!places.empty()) return places;
  for (size_t n = 0; n < model->counts.size(); ++n)
    model->counts[n] = ref_machine->counts(static_cast<int>(n));
  Ring r = make_ring(ref_desc(), cycle_aims(ref_desc()), STAR);
  long done = ticks();
  for (int c = 0; c < 4; ++c) {
    for (FSMevent& ev : r.ring) {
      ref_loc->state_ptr->post_event(&ev);
      model->step(ev.event, ev.state);
    }
    ref_loc->update();
    model->step("timer", "*");
    if (!wait_ticks(++done)) return "REF did not end its cycle";
  }
  return ref_machine->compare(*model);
}

Model& ref_model() {
  static Model* m = [] {
    Model* model = new Model(ref_desc());
    model->start();
    return model;
  }();
  return *m;
}

// --- case 5: latency of a tick and of the interrupts ----------------------

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

// --- case 6: the engine while property readers and interrupts run -----------

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

// --- case 7: send_event, bound data, routed data -------------------------

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

// --- case 8: settings files ----------------------------------------------

constexpr int RECORDS = 10000;

// A folder for the settings files and a file of RECORDS records naming
// DEV's properties in turn; "" when it could not be made.
const std::string& settings_file() {
  static std::string* path = [] {
    auto* p = new std::string;
    char dir[] = "/tmp/fsm_bench_XXXXXX";
    if (mkdtemp(dir) == nullptr) return p;
    std::string text = "//Save_&_Restore//\n fsm_bench settings ;\n ;\n";
    for (int i = 0; i < RECORDS; ++i) {
      std::string adr = device_address(i % 100);
      for (char& c : adr)
        if (c == '/') c = ' ';
      text += adr + "\t1\t" + std::to_string(i % 100) + "\t;\n";
    }
    std::string file = std::string(dir) + "/settings.sr";
    FILE* fp = fopen(file.c_str(), "w");
    if (fp == nullptr) return p;
    bool ok = fwrite(text.data(), 1, text.size(), fp) == text.size();
    ok = fclose(fp) == 0 && ok;
    if (ok) *p = file;
    return p;
  }();
  return *path;
}

std::string read_all(const std::string& path) {
  std::string text;
  FILE* fp = fopen(path.c_str(), "r");
  if (fp == nullptr) return text;
  char buf[65536];
  size_t got;
  while ((got = fread(buf, 1, sizeof buf, fp)) > 0)
    text.append(buf, got);
  fclose(fp);
  return text;
}

// Writes text beside path and renames it there, as the save does; with
// sync, flushed to the disk first.
bool write_all(const std::string& path, const std::string& text, bool sync) {
  std::string tmp = path + ".tmp";
  FILE* fp = fopen(tmp.c_str(), "w");
  if (fp == nullptr) return false;
  bool ok = fwrite(text.data(), 1, text.size(), fp) == text.size() && fflush(fp) == 0;
  if (sync) ok = ok && fsync(fileno(fp)) == 0;
  ok = fclose(fp) == 0 && ok;
  return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

// The best of the runs of f, in nanoseconds.
template <typename F>
int64_t best_of(int runs, F f) {
  int64_t best = -1;
  for (int i = 0; i < runs; ++i) {
    int64_t t0 = wall_ns();
    if (!f()) return -1;
    int64_t spent = wall_ns() - t0;
    if (best < 0 || spent < best) best = spent;
  }
  return best;
}

// fill_list and sr_save over RECORDS records, each beside a plain read and
// write of the same bytes; throughput ratios (plain time / library time).
void settings_case(benchmark::State& state) {
  const std::string& err = start_server();
  const std::string& file = settings_file();
  if (!err.empty() || file.empty()) {
    state.SkipWithError(err.empty() ? "no settings file" : err.c_str());
    return;
  }
  std::string saved = file.substr(0, file.rfind('/')) + "/saved.sr";
  std::string plain = file.substr(0, file.rfind('/')) + "/plain.sr";
  EqData data;
  char* src = const_cast<char*>(file.c_str());
  char* dest = const_cast<char*>(saved.c_str());
  if (sr_save(src, dest, &data, nullptr) != 0) {
    state.SkipWithError("sr_save failed");
    return;
  }
  std::string out = read_all(saved);
  size_t in_bytes = read_all(file).size();
  constexpr int RUNS = 5;
  std::vector<EqAdr> adrs(RECORDS);
  for (int i = 0; i < RECORDS; ++i)
    adrs[static_cast<size_t>(i)].adr(device_address(i % 100));
  int64_t fill = 0, read = 0, save = 0, write_sync = 0, write_nosync = 0, calls = 0;
  size_t records = 0;
  for (auto _ : state) {
    fill = best_of(RUNS, [&] {
      std::vector<sr_data*> list;
      std::vector<sr_data*>* lp = &list;
      int rc = fill_list(src, &data, &lp);
      records = list.size();
      clear_list(&list);
      return rc == 0;
    });
    read = best_of(RUNS, [&] { return read_all(file).size() == in_bytes; });
    save = best_of(RUNS, [&] { return sr_save(src, dest, &data, nullptr) == 0; });
    write_sync = best_of(
        RUNS, [&] { return read_all(file).size() == in_bytes && write_all(plain, out, true); });
    write_nosync = best_of(
        RUNS, [&] { return read_all(file).size() == in_bytes && write_all(plain, out, false); });
    // The client calls alone that sr_save makes, one per record.
    calls = best_of(RUNS, [&] {
      EqData request, answer;
      for (EqAdr& adr : adrs) {
        request.init();
        pthread_mutex_lock(&norix_mux);
        norix_call->get(&adr, &request, &answer);
        pthread_mutex_unlock(&norix_mux);
        if (answer.error() != 0) return false;
      }
      return true;
    });
  }
  if (fill < 0 || read < 0 || save < 0 || write_sync < 0 || write_nosync < 0 || calls < 0 ||
      records != RECORDS) {
    state.SkipWithError("a settings file operation failed");
    return;
  }
  auto mb_s = [](size_t bytes, int64_t ns) { return static_cast<double>(bytes) * 1e3 / ns; };
  state.counters["fill_list_MB/s"] = mb_s(in_bytes, fill);
  state.counters["read_MB/s"] = mb_s(in_bytes, read);
  state.counters["sr_save_MB/s"] = mb_s(out.size(), save);
  state.counters["read_write_sync_MB/s"] = mb_s(out.size(), write_sync);
  state.counters["read_write_MB/s"] = mb_s(out.size(), write_nosync);
  record("settings/fill_list#us", static_cast<double>(fill) / 1e3);
  record("settings/read#us", static_cast<double>(read) / 1e3);
  record("settings/sr_save#us", static_cast<double>(save) / 1e3);
  record("settings/read_write_sync#us", static_cast<double>(write_sync) / 1e3);
  record("settings/read_write#us", static_cast<double>(write_nosync) / 1e3);
  record("settings/client_calls#us", static_cast<double>(calls) / 1e3);
  state.counters["client_calls_us"] = static_cast<double>(calls) / 1e3;
  record("settings/fill_list#ratio", static_cast<double>(read) / static_cast<double>(fill));
  record("settings/sr_save#ratio", static_cast<double>(write_sync) / static_cast<double>(save));
}

}  // namespace

void register_server_cases() {
  types();
  init_list = &types()[0];
  benchmark::RegisterBenchmark("latency/tick_irq_raw", latency_case)->Iterations(1)->UseRealTime();
  for (bool contended : {false, true}) {
    std::string key = contended ? "contention/readers_and_irqs" : "contention/none";
    benchmark::RegisterBenchmark(key.c_str(), [key, contended](benchmark::State& s) {
      contention_case(s, key, contended);
    })->UseRealTime();
  }
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
  benchmark::RegisterBenchmark("settings/10000_records", settings_case)->Iterations(1);
  for (bool set : {false, true}) {
    std::string key = set ? "routed/data_set" : "routed/data_get";
    benchmark::RegisterBenchmark(key.c_str(),
                                 [key, set](benchmark::State& s) { routed_case(s, key, set); });
  }
}

}  // namespace fsmbench
