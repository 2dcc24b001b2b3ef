// stray_server.cc - a server program for definition_checks_test.cc: its
// machine type "stray" has a transition to a state that does not exist.

#include "fsm/fsm.h"

namespace {

void create_stray(EqFSMlocation* loc) {
  FSMstate* a = new FSMstate("a", "", 0);
  a->add_transition("go", nullptr, nullptr, nullptr, nullptr, "nowhere");
  loc->state_ptr->add_state(0, a);
}

node_info stray_info = {nullptr, "stray", create_stray};

}  // namespace

node_info* init_list = &stray_info;
