// machines.h - the machines fsm_bench measures: a description from which
// both the real machine (states with counting actions) and a plain model of
// it are built, the reference machine and the scaling shapes, and the event
// rings the cases dispatch.
//
// The model (testkit/model.h) is deliberately naive: a case runs the same
// events through both before it times anything and fails when they
// disagree, so a broken dispatch cannot report a figure.

#ifndef BENCH_MACHINES_H
#define BENCH_MACHINES_H

#include <string>
#include <utility>
#include <vector>

#include "fsm/fsm.h"
#include "testkit/model.h"

namespace fsmbench {

// The description and the plain model are the test kit's.
using testkit::Counts;
using testkit::Desc;
using testkit::Model;

// The real machine built from a description. Built with its own root it
// owns every state; built into a location's root (whose engines never stop)
// it owns nothing, and its states stay for the rest of the process.
class Built {
 public:
  explicit Built(const Desc& d, FSMrootstate* into = nullptr);
  ~Built();
  Built(const Built&) = delete;
  Built& operator=(const Built&) = delete;

  void start();  // set_root, link_state, init_state, enter_state
  // One event handed down the tree from the root, without the queue.
  void deliver(FSMevent* ev) { root->FSMsuperstate::process_event(ev); }
  // "" when the machine matches the model, else what differs; without
  // counts only which states are active and where the flows stand.
  std::string compare(const Model& m, bool counts = true) const;
  const Counts& counts(int n) const;

  FSMrootstate* root;
  std::vector<FSMstate*> states;  // by node index; states[0] is the root

 private:
  const Desc* d_;
  bool owned_;
};

// Probes the actions call when they are set: the root's "poll" action, every
// state's handlers, and, in a machine built into a location, the root's
// "interrupt1" and "interrupt2" actions (with 1 or 2).
extern void (*volatile root_poll_probe)();
extern void (*volatile handler_probe)();
extern void (*volatile root_irq_probe)(int kind);

// The reference machine: root "R" with flows A0..A3, B0..B3 and C0..C3,
// where C1 is a superstate whose one flow holds D0, D1. e0/e1/e2 advance
// flow 0/1/2, e3 toggles D0 and D1 while C1 is active, tick advances all
// three flows, timer matches nothing. With pad > 0 every state and event
// name is made pad characters long by a prefix of 'x' (the names then
// differ only at their end).
Desc reference_machine(int pad = 0);
std::string padded(const std::string& name, int pad);

// How the events of a ring are addressed.
enum Addressing { STAR, BARE, PARENT_NAME, PARENT_STAR, NOBODY };

// One scenario event: its name, and the flow (node, flow position) whose
// active state it is meant for when it is addressed by name.
struct Aim {
  std::string event;
  int node;
  int flow;
};

// A ring of events that brings the machine back to where it stood after
// `warm`: the cases dispatch `warm` once (checking against the model), then
// the ring round and round.
struct Ring {
  std::vector<FSMevent> warm;
  std::vector<FSMevent> ring;
  std::string error;  // not empty when no such ring exists for the aims
};
Ring make_ring(const Desc& d, const std::vector<Aim>& aims, Addressing how);

// The reference scenarios.
std::vector<Aim> cycle_aims(const Desc& d);      // e0 e1 e2 e3
std::vector<Aim> broadcast_aims(const Desc& d);  // tick
std::vector<Aim> unhandled_aims(const Desc& d);  // timer

}  // namespace fsmbench

#endif  // BENCH_MACHINES_H
