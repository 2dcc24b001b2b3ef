// machine.cc - machines built and driven in the test's own process.

#include "testkit/machine.h"

#include <string.h>

#include <algorithm>
#include <ostream>
#include <set>
#include <sstream>

#include "framework/base/text.h"
#include "framework/host/start_sequence.h"
#include "fsm/fsm_trace.h"
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

// The start-up of a machine in the test's process: the runtime's order with
// the library's hooks, but no engine threads (eq_init_prolog and
// eq_init_epilog, which register and start machines, are left out; start()
// links and enters the machine itself).
const norix::ServerHooks& kit_hooks() {
  static const norix::ServerHooks hooks = [] {
    norix::ServerHooks h{};
    h.create = eq_create;
    h.post_init_prolog = post_init_prolog;
    h.post_init_epilog = post_init_epilog;
    h.load_pass = fsm_load_pass;
    return h;
  }();
  return hooks;
}

// A location's saved value lines, with an FSM line naming machine when
// they have none.
std::string with_fsm_line(const std::string& conf, const std::string& machine) {
  if (conf.compare(0, 4, "FSM ") == 0 || conf.find("\nFSM ") != std::string::npos) return conf;
  return "FSM \t" + machine + "\n" + conf;
}

// The machine that lines name in their FSM line, or fallback.
std::string fsm_line_value(const std::string& conf, const std::string& fallback) {
  std::istringstream in(conf);
  for (std::string line; std::getline(in, line);) {
    if (norix::internal::first_word(line) != "FSM") continue;
    std::istringstream rest(line.substr(3));
    std::string name;
    if (rest >> name) return name;
  }
  return fallback;
}

// Loads a location's saved value lines, as a server does before its init().
void load_lines(EqFct* fct, const std::string& lines) {
  std::istringstream in(lines);
  norix::load_config(fct, in);
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
  norix::StartSite site{code, type, name, "", nullptr};
  norix::StartSteps steps;
  steps.created = [](norix::StartSite& s) { norix::serve_location(s.fct); };
  std::string why;
  int rc = norix::create_location(kit_hooks(), &site, steps, &why);
  init_list = saved;
  if (rc != 0) return nullptr;
  auto* loc = static_cast<EqFSMlocation*>(site.fct);
  // A superstate joins the machine that the root's lines name.
  std::string machine =
      root_ != nullptr ? fsm_line_value(sites_.front().conf, sites_.front().type) : type;
  sites_.push_back(Site{loc, with_fsm_line(conf, machine), code, type});
  return loc;
}

EqFSMlocation* Machine::join(const std::string& name, const std::string& type, Create create,
                             const std::string& conf) {
  return make(name, SUPERSTATE_LOCATION, type, create, conf);
}

int Machine::start() {
  std::vector<norix::StartSite> sites;
  for (const Site& s : sites_)
    sites.push_back(norix::StartSite{s.code, s.type, s.loc->name(), "", s.loc});
  norix::StartSteps steps;
  steps.load = [this, &sites](norix::StartSite& s) {
    load_lines(s.fct, sites_[static_cast<size_t>(&s - sites.data())].conf);
  };
  std::string why;
  if (norix::finish_locations(kit_hooks(), &sites, steps, &why) != 0) return -1;
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
  return norix::internal::first_word(get("FLOW_" + std::to_string(n), location));
}

std::string Machine::fault(const std::string& location) {
  return get("FAULT", location);
}

namespace {

// Flow n of the location's state, read under its lock as FLOW_n is;
// `what`: 0 name, 1 description, 2 error.
std::string flow_part(EqFSMlocation* loc, int n, int what) {
  if (loc == nullptr) return "";
  FSMsuperstate* sp = loc->state_ptr;
  std::string out;
  sp->lock_state();
  const char* descr = nullptr;
  const char* name = sp->get_ast_name(n, &descr, 0);
  if (name != nullptr && what == 0) out = name;
  if (name != nullptr && what == 1 && descr != nullptr) out = descr;
  if (what == 2) {
    char buf[256] = "";
    if (sp->copy_ast_error(n, buf, sizeof buf) > 0) out = buf;
  }
  sp->unlock_state();
  return out;
}

}  // namespace

std::string Machine::flow_state(int n, const std::string& location) {
  return flow_part(location.empty() ? root_ : find(location), n, 0);
}

std::string Machine::flow_description(int n, const std::string& location) {
  return flow_part(location.empty() ? root_ : find(location), n, 1);
}

std::string Machine::flow_error(int n, const std::string& location) {
  return flow_part(location.empty() ? root_ : find(location), n, 2);
}

std::vector<Fired> Machine::fired() {
  std::vector<Fired> out;
  for (const FSMtrace::record& r : root()->trace->copy()) {
    out.push_back(Fired{FSMtrace::flow_path(r.flow), r.from != nullptr ? r.from->name : "",
                        r.to != nullptr ? r.to->name : "", r.event});
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, const Fired& f) {
  return out << f.flow << ": " << f.from << " -> " << (f.to.empty() ? "(stays)" : f.to) << " on "
             << f.event;
}

Conf& Conf::flow(int n, const std::string& start, bool history) {
  text_ +=
      "FLOW_" + std::to_string(n) + " \t" + (history ? "1" : "0") + " 0 0 0 \"" + start + "\"\n";
  return *this;
}

Conf& Conf::value(const std::string& property, const std::string& text) {
  text_ += property + " \t" + text + "\n";
  return *this;
}

Conf& Conf::value(const std::string& property, double v) {
  std::ostringstream out;
  out << v;
  return value(property, out.str());
}

Conf& Conf::address(const std::string& property, const Device& device) {
  return value(property, device.address());
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
  norix::ServerHooks hooks = kit_hooks();
  hooks.init_prolog = eq_init_prolog;  // these register and start the machines
  hooks.init_epilog = eq_init_epilog;
  std::vector<norix::StartSite> sites;
  for (const Served& s : locations)
    sites.push_back(norix::StartSite{s.code, s.type, s.name, "", nullptr});
  norix::StartSteps steps;
  steps.created = [](norix::StartSite& s) { norix::serve_location(s.fct); };
  steps.load = [&locations, &sites](norix::StartSite& s) {
    const Served& served = locations[static_cast<size_t>(&s - sites.data())];
    load_lines(s.fct, with_fsm_line(served.conf, served.type));
  };
  std::string why;
  std::vector<EqFSMlocation*> made;
  if (norix::start_locations(hooks, &sites, steps, &why) != 0) return made;
  for (const norix::StartSite& s : sites)
    made.push_back(static_cast<EqFSMlocation*>(s.fct));
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
