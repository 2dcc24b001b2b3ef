// stray_server.cc - a server program for definition_checks_test.cc and
// service_test.cc. Each machine type "stray..." has one definition mistake
// that the start-up checks report:
//   stray          a transition to a state that does not exist
//   stray_timeout  a timeout addressed to a state that does not exist
//   stray_event    a timeout whose event no transition of its state takes
//   stray_signal   a signal whose event no state it reaches takes
//   stray_to       a signal addressed "P!name" to a parent that does not exist
//   stray_start    a start state and history set by the create function,
//                  which a configuration without FLOW_0 replaces
// On the event "wedge" a machine of type "wedge" makes a file "wedged" and
// blocks its engine until a file "release" appears in the working folder
// (a minute at most).

#include <stdio.h>
#include <unistd.h>

#include "fsm/fsm.h"

namespace {

void wedge(FSMstate*) {
  FILE* mark = fopen("wedged", "w");
  if (mark != nullptr) fclose(mark);
  for (int i = 0; i < 6000 && access("release", F_OK) != 0; ++i)
    usleep(10000);
}

void create_wedge(EqFSMlocation* loc) {
  FSMstate* a = new FSMstate("a", "", 0);
  a->add_transition("wedge", nullptr, wedge, nullptr, nullptr, "a");
  loc->state_ptr->add_state(0, a);
}

FSMstate* state(EqFSMlocation* loc, const char* name) {
  FSMstate* s = new FSMstate(name, "", 0);
  loc->state_ptr->add_state(0, s);
  return s;
}

void create_stray(EqFSMlocation* loc) {
  state(loc, "a")->add_transition("go", nullptr, nullptr, nullptr, nullptr, "nowhere");
}

void create_stray_timeout(EqFSMlocation* loc) {
  FSMstate* a = state(loc, "a");
  a->add_timeout(1000, "late", "heatng");
  a->add_transition("late", nullptr, nullptr, nullptr, nullptr, "a");
}

void create_stray_event(EqFSMlocation* loc) {
  FSMstate* a = state(loc, "a");
  a->add_timeout(1000, "too_slo", nullptr);
  a->add_transition("too_slow", nullptr, nullptr, nullptr, nullptr, "b");
  state(loc, "b");
}

void create_stray_signal(EqFSMlocation* loc) {
  state(loc, "a")->add_transition("go", nullptr, nullptr, "lokc", "*", "b");
  state(loc, "b")->add_transition("lock", nullptr, nullptr, nullptr, nullptr, "a");
}

void create_stray_to(EqFSMlocation* loc) {
  state(loc, "a")->add_transition("go", nullptr, nullptr, "lock", "dor!b", "b");
  state(loc, "b")->add_transition("lock", nullptr, nullptr, nullptr, nullptr, "a");
}

void create_stray_start(EqFSMlocation* loc) {
  state(loc, "a");
  state(loc, "b");
  loc->state_ptr->flow_attributes(0, "b", 1);
  loc->flows.push_back(new D_flow("FLOW_0 the flow", loc));
}

node_info wedge_info = {nullptr, "wedge", create_wedge};
node_info start_info = {&wedge_info, "stray_start", create_stray_start};
node_info to_info = {&start_info, "stray_to", create_stray_to};
node_info signal_info = {&to_info, "stray_signal", create_stray_signal};
node_info event_info = {&signal_info, "stray_event", create_stray_event};
node_info timeout_info = {&event_info, "stray_timeout", create_stray_timeout};
node_info stray_info = {&timeout_info, "stray", create_stray};

}  // namespace

node_info* init_list = &stray_info;
