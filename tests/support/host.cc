// host.cc - the host server's start-up sequence and client calls, for tests.

#include "tests/support/host.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

namespace host {

namespace {

constexpr const char* FACILITY = "TEST.FSM";
constexpr const char* DEVICE = "FSM.SERVER";

// Every location made here; kept for the rest of the process because their
// engines never stop (and reachable, so the leak checker does not flag them).
std::vector<EqFSMlocation*>& kept_locations() {
  static std::vector<EqFSMlocation*>* kept = new std::vector<EqFSMlocation*>;
  return *kept;
}

EqAdr address(const std::string& location, const std::string& property) {
  EqAdr adr;
  adr.set(FACILITY, location, DEVICE, property);
  return adr;
}

}  // namespace

void Trace::add(const std::string& entry) {
  {
    std::lock_guard<std::mutex> lock(mux_);
    entries_.push_back(entry);
  }
  cond_.notify_all();
}

std::vector<std::string> Trace::snapshot() {
  std::lock_guard<std::mutex> lock(mux_);
  return entries_;
}

void Trace::clear() {
  std::lock_guard<std::mutex> lock(mux_);
  entries_.clear();
}

bool Trace::wait_for(const std::function<bool(const std::vector<std::string>&)>& pred,
                     std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mux_);
  return cond_.wait_for(lock, limit, [&] { return pred(entries_); });
}

bool Trace::wait_count(const std::string& entry, size_t count, std::chrono::milliseconds limit) {
  return wait_for(
      [&](const std::vector<std::string>& e) {
        size_t n = 0;
        for (const std::string& s : e)
          n += s == entry ? 1 : 0;
        return n >= count;
      },
      limit);
}

// Never destroyed: engine threads may still record while the process exits.
Trace& trace() {
  static Trace* t = new Trace;
  return *t;
}

namespace {

int record(const char* what, FSMstate* s) {
  trace().add(std::string(what) + ":" + s->get_name());
  return 0;
}

}  // namespace

int record_init(FSMstate* s) {
  return record("init", s);
}
int record_enter(FSMstate* s) {
  return record("enter", s);
}
int record_exit(FSMstate* s) {
  return record("exit", s);
}
int record_timer(FSMstate* s) {
  return record("timer", s);
}
int record_irq1(FSMstate* s) {
  return record("irq1", s);
}
int record_irq2(FSMstate* s) {
  return record("irq2", s);
}

int record_event(FSMstate* s) {
  trace().add(std::string(s->get_name()) + ":" + s->get_event_name());
  return 0;
}

FSMstate* recorded_state(const char* name, const char* descr) {
  FSMstate* s = new FSMstate(name, descr, 0);
  s->add_action("init", record_init);
  s->add_action("enter", record_enter);
  s->add_action("exit", record_exit);
  s->add_action("timer", record_timer);
  s->add_action("interrupt1", record_irq1);
  s->add_action("interrupt2", record_irq2);
  return s;
}

void Gate::open() {
  {
    std::lock_guard<std::mutex> lock(mux_);
    open_ = true;
  }
  cond_.notify_all();
}

bool Gate::wait(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mux_);
  return cond_.wait_for(lock, limit, [&] { return open_; });
}

std::string conf(const std::string& fsm, const std::string& descr, const std::string& more) {
  return "FSM \t" + fsm + "\nDESCR \t" + descr + "\n" + more;
}

std::vector<EqFSMlocation*> create_locations(const std::vector<LocationConfig>& config) {
  norix::set_server(FACILITY, DEVICE);
  std::vector<EqFSMlocation*> made;
  for (const LocationConfig& c : config) {
    gbl_fct_name = c.type;
    EqFSMlocation* loc = static_cast<EqFSMlocation*>(eq_create(c.code, nullptr));
    made.push_back(loc);
    if (loc == nullptr) continue;
    loc->set_name(c.name);
    // A location of an earlier start-up under the same name stays alive
    // but is no longer served: clients reach the new one.
    for (EqFSMlocation* old : kept_locations()) {
      if (old->name() == c.name) norix::unserve_location(old);
    }
    kept_locations().push_back(loc);
    norix::serve_location(loc);
  }
  for (size_t i = 0; i < config.size(); ++i) {
    if (made[i] == nullptr) continue;
    std::istringstream in(config[i].conf);
    EXPECT_EQ(norix::load_config(made[i], in), 0) << config[i].conf;
    made[i]->init();
    made[i]->complete();
  }
  return made;
}

std::vector<EqFSMlocation*> start_server(const std::vector<LocationConfig>& config) {
  eq_init_prolog();
  std::vector<EqFSMlocation*> made = create_locations(config);
  eq_init_epilog();
  return made;
}

int ready(EqFSMlocation* loc) {
  pthread_mutex_lock(&loc->mux);
  int r = loc->fsm_ready;
  pthread_mutex_unlock(&loc->mux);
  return r;
}

int waiting(EqFSMlocation* loc) {
  pthread_mutex_lock(&loc->mux);
  int w = loc->fsm_waiting;
  pthread_mutex_unlock(&loc->mux);
  return w;
}

bool wait_until(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool wait_ready(EqFSMlocation* loc) {
  return wait_until([loc] { return ready(loc) == 1; });
}

int signalled(FSMrootstate::queue& q) {
  pthread_mutex_lock(&q.mux);
  int f = q.flag;
  pthread_mutex_unlock(&q.mux);
  return f;
}

std::vector<std::string> drain(FSMrootstate::queue& q) {
  std::vector<std::string> out;
  q.signal();
  FSMevent ev;
  while (q.dequeue(ev) == 1)
    out.push_back(ev.event + "@" + ev.state);
  return out;
}

FSMrootstate* root_of(EqFSMlocation* loc) {
  return dynamic_cast<FSMrootstate*>(loc->state_ptr);
}

std::string address_text(const std::string& location, const std::string& property) {
  return address(location, property).show_adr();
}

int client_get(const std::string& location, const std::string& property, EqData* result) {
  EqCall call;
  EqAdr adr = address(location, property);
  EqData request;
  return call.get(&adr, &request, result);
}

int client_set(const std::string& location, const std::string& property, EqData* value,
               EqData* result) {
  EqCall call;
  EqAdr adr = address(location, property);
  return call.set(&adr, value, result);
}

USTR ustr(int i1, float f1, float f2, time_t tm, const char* text, unsigned len) {
  USTR u;
  u.i1_data = i1;
  u.f1_data = f1;
  u.f2_data = f2;
  u.tm = tm;
  u.str_data.str_data_len = len;
  u.str_data.str_data_val = const_cast<char*>(text);
  return u;
}

}  // namespace host
