// machine.cc - machines built and driven in the test's own process.

#include "testkit/machine.h"

#include <string.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "testkit/clock.h"
#include "testkit/device.h"

namespace testkit {

namespace {

constexpr int ROOT_LOCATION = 100;
constexpr int SUPERSTATE_LOCATION = 101;

Recorder& recorder() {
  static Recorder* r = new Recorder;  // kept for the process: actions may run at exit
  return *r;
}

void note(const char* what, FSMstate* st) {
  recorder().add(std::string(what) + ":" + st->get_name());
}

int rec_init(FSMstate* s) {
  return note("init", s), 0;
}
int rec_poll(FSMstate* s) {
  return note("poll", s), 0;
}
int rec_enter(FSMstate* s) {
  return note("enter", s), 0;
}
int rec_during(FSMstate* s) {
  return note("during", s), 0;
}
int rec_exit(FSMstate* s) {
  return note("exit", s), 0;
}
// The dispatch of the timer event empties the state's event name.
int rec_event_poll(FSMstate* s) {
  if (s->get_event_name()[0] != '\0') note("poll", s);
  return 0;
}
int rec_event_during(FSMstate* s) {
  if (s->get_event_name()[0] != '\0') note("during", s);
  return 0;
}
int rec_irq1(FSMstate* s) {
  return note("irq1", s), 0;
}
int rec_irq2(FSMstate* s) {
  return note("irq2", s), 0;
}

// Every state below sp in its flows, depth first; the top states of
// locations (owned by their location) are not collected.
void collect(FSMstate* sp, const std::set<FSMstate*>& tops, std::set<FSMstate*>* out) {
  FSMsuperstate* ss = dynamic_cast<FSMsuperstate*>(sp);
  if (ss == nullptr) return;
  for (FSMsuperstate::frame* f : ss->flow) {
    for (FSMstate* st : f->state) {
      if (tops.count(st) != 0 || !out->insert(st).second) continue;
      collect(st, tops, out);
    }
  }
}

std::string first_word(const std::string& text) {
  return text.substr(0, text.find(' '));
}

}  // namespace

Recorder& actions() {
  return recorder();
}

void record(FSMstate* st) {
  st->add_action("init", rec_init);
  st->add_action("poll", rec_poll);
  st->add_action("enter", rec_enter);
  st->add_action("during", rec_during);
  st->add_action("exit", rec_exit);
  st->add_action("interrupt1", rec_irq1);
  st->add_action("interrupt2", rec_irq2);
}

void record_events(FSMstate* st) {
  record(st);
  st->add_action("poll", rec_event_poll);
  st->add_action("during", rec_event_during);
}

FSMstate* recorded_state(const char* name, const char* descr) {
  FSMstate* st = new FSMstate(name, descr, 0);
  record(st);
  return st;
}

void record_taction(FSMstate* st) {
  note("taction", st);
}

bool& guard_allows() {
  static bool allows = true;
  return allows;
}

int record_guard(FSMstate* st) {
  note("guard", st);
  return guard_allows() ? 1 : 0;
}

int record_handler(FSMstate* st) {
  recorder().add(std::string("handler:") + st->get_name() + ":" + st->get_event_name());
  return 0;
}

Machine::Machine(const std::string& name, const std::string& type, Create create,
                 const std::string& conf)
    : root_(nullptr), started_(false) {
  use_test_clock();
  root_ = make(name, ROOT_LOCATION, type, create, conf);
}

Machine::~Machine() {
  for (Site& s : sites_)
    norix::unserve_location(s.loc);
  for (size_t i = 0; i < global_list.list.size();) {
    if (global_list.list[i]->loc == root_) {
      delete global_list.list[i];
      global_list.list.erase(global_list.list.begin() + static_cast<long>(i));
    } else {
      ++i;
    }
  }
  std::set<FSMstate*> tops;
  for (Site& s : sites_)
    tops.insert(s.loc->state_ptr);
  std::set<FSMstate*> states;
  for (Site& s : sites_)
    collect(s.loc->state_ptr, tops, &states);
  // Properties that the create functions appended are not the location's;
  // they go first, while their owner still exists.
  for (Site& s : sites_) {
    for (D_flow* f : s.loc->flows)
      delete f;
    for (D_fct* p : s.loc->norix_data)
      delete p;
    for (D_fct* p : s.loc->norix_address)
      delete p;
    s.loc->flows.clear();
    s.loc->norix_data.clear();
    s.loc->norix_address.clear();
  }
  for (Site& s : sites_)
    delete s.loc;
  for (FSMstate* st : states)
    delete st;
}

EqFSMlocation* Machine::make(const std::string& name, int code, const std::string& type,
                             Create create, const std::string& conf) {
  use_client();
  // eq_create finds the type in the application's list; the kit lends it a
  // list of this one type for the call.
  node_info info{nullptr, {0}, create};
  memcpy(info.name, type.data(), std::min(type.size(), sizeof info.name));
  node_info* saved = init_list;
  init_list = &info;
  gbl_fct_name = type;
  EqFct* fct = eq_create(code, nullptr);
  init_list = saved;
  EqFSMlocation* loc = static_cast<EqFSMlocation*>(fct);
  loc->set_name(name);
  norix::serve_location(loc);
  std::string lines = conf;
  if (lines.compare(0, 4, "FSM ") != 0 && lines.find("\nFSM ") == std::string::npos) {
    std::string machine = root_ != nullptr ? root_->fsm.value() : type;
    lines = "FSM \t" + machine + "\n" + lines;
  }
  std::istringstream in(lines);
  norix::load_config(loc, in);
  sites_.push_back(Site{loc, conf});
  return loc;
}

EqFSMlocation* Machine::join(const std::string& name, const std::string& type, Create create,
                             const std::string& conf) {
  return make(name, SUPERSTATE_LOCATION, type, create, conf);
}

int Machine::start() {
  for (Site& s : sites_) {
    s.loc->init();
    s.loc->complete();
  }
  int rc = root()->link_state();
  fsm_engine_prepare(root_);
  started_ = true;
  return rc;
}

FSMrootstate* Machine::root() const {
  return dynamic_cast<FSMrootstate*>(root_->state_ptr);
}

void Machine::tick() {
  if (!started_) return;
  root_->update();
  // The engine's cycle: queued events (and those posted while they are
  // dispatched) until the queue runs dry, due timeouts, then the "timer"
  // event, which ends the cycle.
  FSMevent ev;
  FSMrootstate::queue& q = root()->event_fifo;
  for (bool open = true; open;) {
    root()->process_event(&ev);
    pthread_mutex_lock(&q.mux);
    open = q.flag != 0;
    pthread_mutex_unlock(&q.mux);
  }
}

void Machine::advance(std::chrono::milliseconds by) {
  advance_clock(by);
  tick();
}

int Machine::event(const std::string& text) {
  int rc = set("EVENT", text);
  tick();
  return rc;
}

void Machine::post(const char* name, const char* address) {
  FSMevent ev;
  ev.set_event(name, address);
  root()->post_event(&ev);
}

void Machine::drain_irq(FSMrootstate::queue& fifo, int which) {
  FSMevent ev;
  for (;;) {
    bool last = fifo.pending() == 0;
    if (which == 1) {
      root()->process_irq1(&ev);
    } else {
      root()->process_irq2(&ev);
    }
    if (last) break;
  }
}

void Machine::irq1() {
  if (!started_) return;
  root_->interrupt1();
  drain_irq(root()->irq1_fifo, 1);
}

void Machine::irq2() {
  if (!started_) return;
  root_->interrupt2();
  drain_irq(root()->irq2_fifo, 2);
}

EqFSMlocation* Machine::find(const std::string& name) const {
  if (name.empty()) return root_;
  for (const Site& s : sites_) {
    if (s.loc->name() == name) return s.loc;
  }
  return nullptr;
}

std::string Machine::get(const std::string& property, const std::string& location) {
  EqFSMlocation* loc = find(location);
  if (loc == nullptr) return "error: no such location";
  return client_get(address(loc->name(), property));
}

int Machine::set(const std::string& property, const std::string& text,
                 const std::string& location) {
  EqFSMlocation* loc = find(location);
  if (loc == nullptr) return ERR_NO_LOCATION;
  return client_set(address(loc->name(), property), text);
}

std::vector<std::string> Machine::queued() {
  std::vector<std::string> out;
  if (started_) return out;
  FSMrootstate::queue& q = root()->event_fifo;
  q.signal();
  FSMevent ev;
  while (q.dequeue(ev) == 1)
    out.push_back(ev.event + "@" + ev.state);
  return out;
}

std::string Machine::flow(int n, const std::string& location) {
  return first_word(get("FLOW_" + std::to_string(n), location));
}

std::string Machine::fault(const std::string& location) {
  return get("FAULT", location);
}

std::vector<EqFSMlocation*> serve(const std::vector<Served>& locations) {
  use_client();
  // eq_create reads the type list only while it runs; the list is kept for
  // the process all the same, as an application's is.
  static auto* types = new std::vector<node_info>;
  types->assign(locations.size(), node_info{nullptr, {0}, nullptr});
  for (size_t i = 0; i < locations.size(); ++i) {
    node_info& t = (*types)[i];
    t.link = i + 1 < locations.size() ? &(*types)[i + 1] : nullptr;
    memcpy(t.name, locations[i].type.data(), std::min(locations[i].type.size(), sizeof t.name));
    t.create = locations[i].create;
  }
  init_list = types->empty() ? nullptr : &(*types)[0];
  eq_init_prolog();
  std::vector<EqFSMlocation*> made;
  for (const Served& s : locations) {
    gbl_fct_name = s.type;
    auto* loc = static_cast<EqFSMlocation*>(eq_create(s.code, nullptr));
    loc->set_name(s.name);
    norix::serve_location(loc);
    std::string lines = s.conf;
    if (lines.compare(0, 4, "FSM ") != 0 && lines.find("\nFSM ") == std::string::npos) {
      lines = "FSM \t" + s.type + "\n" + lines;
    }
    std::istringstream in(lines);
    norix::load_config(loc, in);
    made.push_back(loc);
  }
  for (EqFSMlocation* loc : made) {
    loc->init();
    loc->complete();
  }
  eq_init_epilog();
  return made;
}

bool wait_ready(EqFSMlocation* loc, std::chrono::milliseconds limit) {
  return wait_until(
      [loc] {
        pthread_mutex_lock(&loc->mux);
        int ready = loc->fsm_ready;
        pthread_mutex_unlock(&loc->mux);
        return ready == 1;
      },
      limit);
}

}  // namespace testkit
