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
#include "fsm/fsm_core.h"
#include "server/fsm_binding.h"

namespace {

struct noted {
  EqFSMlocation* loc;  // not owned
  std::string type;
  bool known;
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

}  // namespace

void begin_checks() {
  locations().clear();
  noting = true;
}

void note_location(EqFSMlocation* loc, const std::string& type, bool known) {
  if (noting) locations().push_back(noted{loc, type, known});
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
  }
  locations().clear();
}
