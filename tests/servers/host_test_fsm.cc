// host_test_fsm.cc - an FSM server program for the end-to-end tests of the
// host runtime: a lamp machine (root location) with a history flow, a plain
// flow and a panel superstate adopted from a superstate location.
//
// Every location shows TRACE, the process's record of what happened, in
// order and joined by blanks: "create:<type>" when a location is created,
// "load:<location>" when its PROBE text is loaded from the configuration,
// "init:<state>" and "enter:<state>" from the machine's actions.

#include <mutex>
#include <string>
#include <vector>

#include "fsm/fsm.h"

namespace {

std::mutex trace_mux;
std::vector<std::string>* trace_entries = new std::vector<std::string>;  // guarded by trace_mux

void note(const std::string& entry) {
  std::lock_guard<std::mutex> lock(trace_mux);
  trace_entries->push_back(entry);
}

class D_trace : public D_fct {
 public:
  D_trace(const char* text, EqFct* owner) : D_fct(text, owner) {}
  void get(EqAdr*, EqData*, EqData* result, EqFct*) override {
    std::string joined;
    {
      std::lock_guard<std::mutex> lock(trace_mux);
      for (const std::string& e : *trace_entries)
        joined += (joined.empty() ? "" : " ") + e;
    }
    result->set(joined);
  }
  using D_fct::data_type;
  int data_type() const override { return DATA_STRING; }
};

class D_probe : public D_string {
 public:
  D_probe(const char* text, EqFct* owner) : D_string(text, owner) {}
  void read_from_conf(const std::string& text) override {
    note("load:" + (owner() != nullptr ? owner()->name() : std::string()));
    D_string::read_from_conf(text);
  }
};

int on_init(FSMstate* s) {
  note(std::string("init:") + s->get_name());
  return 0;
}

int on_enter(FSMstate* s) {
  note(std::string("enter:") + s->get_name());
  return 0;
}

FSMstate* simple(const char* name, const char* descr, const char* event, const char* next) {
  FSMstate* s = new FSMstate(name, descr, 0);
  s->add_action("init", on_init);
  s->add_action("enter", on_enter);
  s->add_transition(event, nullptr, nullptr, nullptr, nullptr, next);
  return s;
}

void add_common(EqFSMlocation* loc) {
  new D_trace("TRACE what happened in this process", loc);
  new D_probe("PROBE a configured text", loc);
}

void flow(EqFSMlocation* loc, const char* name) {
  D_flow* f = new D_flow(name, loc);
  loc->flows.push_back(f);
}

// lamp: flow 0 off/on ("switch"), flow 1 idle/busy ("work", "rest"), flow 2
// the panel superstate of another location, adopted by name.
void create_lamp(EqFSMlocation* loc) {
  note("create:lamp");
  add_common(loc);
  FSMsuperstate* root = loc->state_ptr;
  root->add_action("init", on_init);
  root->add_state(0, simple("off", "the lamp is off", "switch", "on"));
  root->add_state(0, simple("on", "the lamp is on", "switch", "off"));
  FSMstate* idle = simple("idle", "nothing to do", "work", "busy");
  FSMstate* busy = simple("busy", "working", "rest", "idle");
  root->add_state(1, idle);
  root->add_state(1, busy);
  root->add_reference(2, "panel");
  flow(loc, "FLOW_0 the lamp");
  flow(loc, "FLOW_1 the worker");
  flow(loc, "FLOW_2 the panel");
  new norix::D_value<int>("COUNT a number kept with the configuration", loc);
}

// panel: a superstate location joining the machine named in its FSM text.
void create_panel(EqFSMlocation* loc) {
  note("create:panel");
  add_common(loc);
  FSMsuperstate* sp = loc->state_ptr;
  sp->add_state(0, simple("dark", "the panel is dark", "light", "lit"));
  sp->add_state(0, simple("lit", "the panel is lit", "light", "dark"));
  flow(loc, "FLOW_0 the panel light");
}

node_info panel_info = {nullptr, "panel", create_panel};
node_info lamp_info = {&panel_info, "lamp", create_lamp};

}  // namespace

node_info* init_list = &lamp_info;
