// server_fixture.cc - the running locations of the server cases: the
// machine types the application registers, their start-up, and REF's
// cycle counter and model.

#include "bench/server_fixture.h"

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <thread>

#include "bench/cases.h"
#include "framework/host/start_sequence.h"

namespace fsmbench {

Built* ref_machine = nullptr;
EqFSMlocation* ref_loc = nullptr;
EqFSMlocation* data_loc = nullptr;
std::vector<EqFSMlocation*> small_locs;
std::atomic<long> machine_ticks[MACHINES];

namespace {

constexpr const char* FACILITY = "BENCH.FAC";
constexpr const char* DEVICE = "BENCH.DEV";

// --- the machines the application registers --------------------------------

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

// A location to start: its code, type, name and the machine it belongs to.
struct BenchSite {
  int code;
  std::string type;
  std::string name;
  std::string machine;
};

// Starts the locations in the runtime's order, with the library's hooks
// (their event engines start in eq_init_epilog). Empty, or what failed.
std::string start_locations(const std::vector<BenchSite>& wanted,
                            std::vector<EqFSMlocation*>* made) {
  norix::ServerHooks hooks{};
  hooks.init_prolog = eq_init_prolog;
  hooks.create = eq_create;
  hooks.init_epilog = eq_init_epilog;
  hooks.post_init_prolog = post_init_prolog;
  hooks.post_init_epilog = post_init_epilog;
  hooks.load_pass = fsm_load_pass;
  std::vector<norix::StartSite> sites;
  for (const BenchSite& w : wanted)
    sites.push_back(norix::StartSite{w.code, w.type, w.name, "", nullptr});
  norix::StartSteps steps;
  steps.created = [](norix::StartSite& s) { norix::serve_location(s.fct); };
  steps.load = [&wanted, &sites](norix::StartSite& s) {
    const BenchSite& w = wanted[static_cast<size_t>(&s - sites.data())];
    std::istringstream conf("FSM \t" + w.machine + "\nDESCR \t" + w.name + "\n");
    norix::load_config(s.fct, conf);
  };
  std::string why;
  if (norix::start_locations(hooks, &sites, steps, &why) != 0) return why;
  for (const norix::StartSite& s : sites)
    made->push_back(static_cast<EqFSMlocation*>(s.fct));
  return "";
}

std::mutex tick_mutex;
std::condition_variable tick_cond;
long ticks_done = 0;  // guarded by tick_mutex

}  // namespace

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

std::string device_address(int i) {
  char prop[8];
  snprintf(prop, sizeof prop, "P%03d", i % 1000);
  return std::string(FACILITY) + "/" + DEVICE + "/DEV/" + prop;
}

bool wait_until(const std::atomic<long>& value, long at_least) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (value.load() < at_least) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

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

    std::vector<BenchSite> wanted{{100, "ref", "REF", "REF.MACHINE"},
                                  {100, "data", "DATA", "DATA.MACHINE"}};
    for (int m = 0; m < MACHINES; ++m) {
      char name[8];
      snprintf(name, sizeof name, "m%03d", m % 1000);
      wanted.push_back(BenchSite{100, name, std::string("M") + (name + 1), name});
    }
    std::vector<EqFSMlocation*> made;
    *err = start_locations(wanted, &made);
    if (!err->empty()) return err;
    ref_loc = made[0];
    data_loc = made[1];
    small_locs.assign(made.begin() + 2, made.end());
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

void register_server_cases() {
  types();
  init_list = &types()[0];
  register_latency_cases();
  register_contention_cases();
  register_data_cases();
  register_settings_cases();
}

}  // namespace fsmbench
