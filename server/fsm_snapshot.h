// fsm_snapshot.h - a consistent picture of a running machine, and its two
// text forms: GRAPH (Graphviz DOT) and MODEL (JSON).
//
// Taking a picture locks no flow or state mutex: the structure (states,
// flows, transitions, names) is built before the machine's threads start,
// a flow's active state and a state's entry time are loaded atomically,
// and the trace's change counter (fsm/fsm_trace.h) tells whether a change
// ran while they were read, in which case they are read again. Error texts
// are copied under each state's error lock, a leaf.

#ifndef SERVER_FSM_SNAPSHOT_H
#define SERVER_FSM_SNAPSHOT_H

#include <string>
#include <vector>

#include "fsm/fsm_core.h"
#include "server/fsm_binding.h"

namespace fsm_snapshot {

// A transition as the pictures show it. `to` is the state of the same flow
// it leads to, or null (the flow ends when `ends`; otherwise the next-state
// name matches no state and the flow stays).
struct edge {
  std::string event;
  std::string next;
  int to;  // index in machine::states, or -1
  bool ends;
  std::string guard;  // the guard's name; "?" for a guard without one; "" none
};

// A timeout of a state: after ms in the state, event goes to address
// (the state's own name when empty).
struct timer {
  long long ms;
  std::string event;
  std::string address;
};

struct flow;

struct state {
  const FSMstate* st;
  int parent_flow;  // index in machine::flows; -1 for the root
  std::vector<int> flows;
  std::vector<edge> edges;
  bool active;
  long long entered_ms;
  std::string error;
  std::vector<timer> timeouts;  // the state's timeouts, in the order added
};

struct flow {
  const FSMsuperstate::frame* f;
  int owner;  // index in machine::states
  std::vector<int> states;
  int start;  // index of the start state, or -1
};

struct machine;
// "flow N", with its FLOW_n property's description when one shows it.
std::string flow_label(const machine& m, int fi);

struct machine {
  std::string location;
  long long time_ms;            // when the picture was taken
  unsigned long long sequence;  // the trace's last record number at that time
  std::vector<state> states;    // states[0] is the root
  std::vector<flow> flows;
  int error_code;  // the location's error
  std::string error_text;
};

// The outgoing transitions of a state in flow `in` (the only place that
// decides which edges the pictures show).
std::vector<edge> edges_of(const machine& m, const FSMstate* st, int in);

// 0 with the picture of loc's machine in *out; -1 with the reason in *why
// when the location holds no running machine or it kept changing for the
// whole bounded wait.
int take(EqFSMlocation* loc, machine* out, std::string* why);

// The path of states[i]: the location's name, then the name of each state
// from below the root down to it, joined by "/". GRAPH gives each state's
// node or cluster this path as its id.
std::string state_path(const machine& m, int i);

// A picture without the machine's run: no state active, no entry times,
// no errors, no time. Its GRAPH changes only with the machine's structure.
void clear_run(machine* m);

// A picture with a time of 0 is titled without it.
std::string graph_text(const machine& m);
std::string model_text(const machine& m);

}  // namespace fsm_snapshot

#endif  // SERVER_FSM_SNAPSHOT_H
