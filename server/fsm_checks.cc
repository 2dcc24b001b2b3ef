// fsm_checks.cc - the definition checks of a server's machines at start-up.
//
// Run on the start-up thread after the machines are linked and before their
// engines start, so the trees, flows and registry read here do not change
// under them. Each problem names the location (and the state) it was found
// in; where it comes from the configuration, the file and line as well.

#include "server/fsm_checks.h"

#include <set>
#include <string>
#include <vector>

#include "framework/host/startup.h"
#include "fsm/fsm_address.h"
#include "fsm/fsm_core.h"
#include "server/fsm_binding.h"

namespace {

// A flow's start state and history as the create function left them.
struct flow_start {
  int id;
  std::string start;
  int history;
};

struct noted {
  EqFSMlocation* loc;  // not owned
  std::string type;
  bool known;
  std::vector<flow_start> created;  // the location state's flows after create
};

// The locations made since begin_checks; start-up thread only.
bool noting = false;
std::vector<noted>& locations() {
  static auto* v = new std::vector<noted>;  // kept: eq_create may run at any time
  return *v;
}

std::string quoted(const std::string& text) {
  return "\"" + text + "\"";
}

// property: the saved value line the problem comes from ("" the location's).
void report(EqFSMlocation* loc, const std::string& property, const std::string& text) {
  std::string origin = norix::config_origin(loc, property);
  norix::report_startup_problem((origin.empty() ? "" : origin + ": ") + "location " + loc->name() +
                                ": " + text);
}

// The name of the FLOW_n property of flow id of the location's own state.
std::string flow_property(EqFSMlocation* loc, int id) {
  for (D_flow* f : loc->flows) {
    if (f->get_id() == id) return f->name();
  }
  return "";
}

bool unresolved(const FSMsuperstate* sp, int flow, const std::string& name) {
  for (const FSMsuperstate::ref_entry* ref : sp->reference_table) {
    if (ref->mark != 0 && ref->flow == flow && (name.empty() || ref->name == name)) return true;
  }
  return false;
}

bool has_state(const FSMsuperstate::frame* f, const std::string& name) {
  for (const FSMstate* st : f->state) {
    if (st->name == name) return true;
  }
  return false;
}

// Checks sp's references, its flows' start states and their states'
// transitions, then the superstates nested in them that belong to no
// location of their own (those are checked from their location).
void check_tree(EqFSMlocation* loc, FSMsuperstate* sp, std::set<const FSMstate*>* seen) {
  if (!seen->insert(sp).second) return;
  const std::string where = "state " + quoted(sp->name);
  for (const FSMsuperstate::ref_entry* ref : sp->reference_table) {
    if (ref->mark == 0) continue;
    report(loc, "",
           where + " flow " + std::to_string(ref->flow) + ": the reference " + quoted(ref->name) +
               " did not resolve: no superstate location of that type joins this machine "
               "(or adopting it would make the tree a cycle)");
  }
  for (FSMsuperstate::frame* f : sp->flow) {
    const std::string flow = "flow " + std::to_string(f->id);
    if (!f->state.empty() && !f->state_name.empty() && !has_state(f, f->state_name) &&
        !unresolved(sp, f->id, "")) {
      std::string property = sp == loc->state_ptr ? flow_property(loc, f->id) : "";
      report(loc, property,
             where + " " + flow + " starts in " + quoted(f->state_name) +
                 ", which is no state of that flow: the flow stays without a state");
    }
    for (FSMstate* st : f->state) {
      for (const FSMstate::branch* br : st->transition) {
        const std::string& next = br->next_state;
        if (next == sp->name || has_state(f, next) || unresolved(sp, f->id, next)) continue;
        report(loc, "",
               "state " + quoted(st->name) + ": the transition on " + quoted(br->event_name) +
                   " goes to " + quoted(next) + ", which is no state of " + flow + " of " +
                   quoted(sp->name) + ": it fires, but the state does not change");
      }
      FSMsuperstate* nested = dynamic_cast<FSMsuperstate*>(st);
      if (nested != nullptr && nested->location == nullptr) check_tree(loc, nested, seen);
    }
  }
}

// The registered root location of the machine type of a root that is not
// registered itself, or null.
EqFSMlocation* registered_by(const FSMstate* root) {
  for (const FSMlist::entry* e : global_list.list) {
    if (e->base->name == root->name) return e->loc;
  }
  return nullptr;
}

bool is_registered(const EqFSMlocation* loc) {
  for (const FSMlist::entry* e : global_list.list) {
    if (e->loc == loc) return true;
  }
  return false;
}

// Every state of the machine under top, depth first (adopted states too,
// once linked).
void collect(FSMstate* st, std::vector<FSMstate*>* all, int depth) {
  if (depth > 64) return;
  all->push_back(st);
  auto* sp = dynamic_cast<FSMsuperstate*>(st);
  if (sp == nullptr) return;
  for (const FSMsuperstate::frame* f : sp->flow) {
    for (FSMstate* child : f->state)
      collect(child, all, depth + 1);
  }
}

}  // namespace

// Whether a transition (its own trigger or "*") or a handler of st takes
// the event. The root's transitions never run.
bool state_takes_event(const FSMstate* st, const std::string& event) {
  if (st->type != FSM_TYPE_ROOT) {
    for (const FSMstate::branch* br : st->transition) {
      if (br->event_name == event || br->event_name == "*") return true;
    }
  }
  for (const FSMstate::event_handler* h : st->handler) {
    if (h->name == event) return true;
  }
  return false;
}

bool machine_names_event(FSMstate* top, const std::string& event) {
  if (event == "timer") return true;
  std::vector<FSMstate*> all;
  collect(top, &all, 0);
  for (const FSMstate* st : all) {
    if (st->type != FSM_TYPE_ROOT) {
      for (const FSMstate::branch* br : st->transition) {
        if (br->event_name == event) return true;
      }
    }
    for (const FSMstate::event_handler* h : st->handler) {
      if (h->name == event) return true;
    }
  }
  return false;
}

namespace {

// Reports a timeout's or a signal's event (what: "the timeout \"e\"") that
// reaches no state of the machine, or none that takes it.
void check_posted(EqFSMlocation* loc, const std::vector<FSMstate*>& all, const FSMstate* from,
                  const std::string& what, const std::string& event, const std::string& address) {
  std::vector<const FSMstate*> reached;
  for (const FSMstate* st : all) {
    if (fsm_internal::is_addressed(st, address)) reached.push_back(st);
  }
  std::string where = "state " + quoted(from->name) + ": " + what;
  if (reached.empty()) {
    report(loc, "",
           where + " is addressed to " + quoted(address) +
               ", which is no state of this machine: it reaches nothing");
    return;
  }
  for (const FSMstate* st : reached) {
    if (state_takes_event(st, event)) return;
  }
  report(loc, "",
         where + " goes to " + quoted(address) + ", but no transition or handler there takes " +
             quoted(event) + ": it changes nothing");
}

// The timeouts and signals of the states of sp's location (not those of
// adopted superstate locations, which are checked from their own).
void check_posts(EqFSMlocation* loc, FSMsuperstate* sp) {
  FSMstate* top = sp->get_root() != nullptr ? sp->get_root() : sp;
  std::vector<FSMstate*> all;
  collect(top, &all, 0);
  std::vector<FSMstate*> own;
  collect(sp, &own, 0);
  for (const FSMstate* st : own) {
    auto* owner = dynamic_cast<const FSMsuperstate*>(st);
    if (st != sp && owner != nullptr && owner->location != nullptr) continue;
    if (st != sp && st->get_parent() != nullptr) {
      // A state under an adopted location belongs to that location.
      bool foreign = false;
      for (const FSMstate* p = st->get_parent(); p != nullptr && p != sp; p = p->get_parent()) {
        auto* ps = dynamic_cast<const FSMsuperstate*>(p);
        if (ps != nullptr && ps->location != nullptr) foreign = true;
      }
      if (foreign) continue;
    }
    for (const FSMstate::timeout* t : st->timeouts) {
      std::string address = t->event.state.empty() ? st->name : t->event.state;
      check_posted(loc, all, st, "the timeout " + quoted(t->event.event), t->event.event, address);
    }
    for (const FSMstate::branch* br : st->transition) {
      if (br->flag != 1) continue;
      check_posted(loc, all, st,
                   "the signal " + quoted(br->event.event) + " of the transition on " +
                       quoted(br->event_name),
                   br->event.event, br->event.state);
    }
  }
}

// Flows of the location's own state whose start state or history the
// create function set and that no FLOW_n line configures: the configuration
// put them back to the first state without history.
void check_replaced(const noted& n) {
  EqFSMlocation* loc = n.loc;
  for (const flow_start& c : n.created) {
    std::string first;
    for (const FSMsuperstate::frame* f : loc->state_ptr->flow) {
      if (f->id == c.id && !f->state.empty()) first = f->state.front()->name;
    }
    bool differs = c.history != 0 || (!c.start.empty() && c.start != first);
    if (!differs) continue;
    for (D_flow* f : loc->flows) {
      if (f->get_id() != c.id) continue;
      const USTR* v = f->value();
      if (v->str_data.str_data_val != nullptr && v->str_data.str_data_val[0] != '\0') break;
      std::string start = c.start.empty() ? first : c.start;
      report(loc, f->name(),
             "flow " + std::to_string(c.id) + ": the create function starts it in " +
                 quoted(start) + (c.history != 0 ? " with history" : "") +
                 ", but the configuration, which decides, has no " + f->name() +
                 " line: it starts in " + quoted(first) + " without history. Add the line '" +
                 f->name() + " <tab>" + std::to_string(c.history) + " 0 0 0 \"" + start + "\"'");
      break;
    }
  }
}

}  // namespace

void begin_checks() {
  locations().clear();
  noting = true;
}

void note_location(EqFSMlocation* loc, const std::string& type, bool known) {
  if (!noting) return;
  noted n{loc, type, known, {}};
  if (loc->state_ptr != nullptr) {
    for (const FSMsuperstate::frame* f : loc->state_ptr->flow)
      n.created.push_back(flow_start{f->id, f->state_name, f->history});
  }
  locations().push_back(n);
}

void check_definitions() {
  noting = false;
  std::set<const FSMstate*> seen;
  for (const noted& n : locations()) {
    EqFSMlocation* loc = n.loc;
    FSMsuperstate* sp = loc->state_ptr;
    if (!n.known) {
      report(loc, "",
             n.type.empty() ? "no machine type is given: the location runs no machine"
                            : "machine type " + quoted(n.type) +
                                  " is not registered (no node_info of that name in init_list): "
                                  "the location runs no machine");
      continue;
    }
    if (sp->get_type() == FSM_TYPE_ROOT && !is_registered(loc)) {
      EqFSMlocation* first = registered_by(sp);
      report(loc, "",
             "machine type " + quoted(n.type) + " is already registered by location " +
                 (first != nullptr ? first->name() : std::string("?")) +
                 ": only the first root location of a type runs, this one stays inert. Give each "
                 "location a type of its own: one node_info record per location type, with the "
                 "same create function");
      continue;
    }
    if (sp->get_type() != FSM_TYPE_ROOT && sp->get_root() == nullptr) {
      report(loc, "FSM",
             "the machine " + quoted(loc->fsm.value()) +
                 " that this superstate location joins (FSM) is not registered (no root "
                 "location has that FSM name): it runs nothing");
      continue;
    }
    check_tree(loc, sp, &seen);
    check_posts(loc, sp);
    check_replaced(n);
  }
  locations().clear();
}
