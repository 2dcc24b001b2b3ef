// stray_server.cc - a server program for definition_checks_test.cc and
// service_test.cc: its machine type "stray" has a transition to a state
// that does not exist; on the event "wedge" a machine of type "wedge"
// blocks its engine until a file "release" appears in the working folder
// (a minute at most).

#include <unistd.h>

#include "fsm/fsm.h"

namespace {

void wedge(FSMstate*) {
  for (int i = 0; i < 6000 && access("release", F_OK) != 0; ++i)
    usleep(10000);
}

void create_wedge(EqFSMlocation* loc) {
  FSMstate* a = new FSMstate("a", "", 0);
  a->add_transition("wedge", nullptr, wedge, nullptr, nullptr, "a");
  loc->state_ptr->add_state(0, a);
}

node_info wedge_info = {nullptr, "wedge", create_wedge};

void create_stray(EqFSMlocation* loc) {
  FSMstate* a = new FSMstate("a", "", 0);
  a->add_transition("go", nullptr, nullptr, nullptr, nullptr, "nowhere");
  loc->state_ptr->add_state(0, a);
}

node_info stray_info = {&wedge_info, "stray", create_stray};

}  // namespace

node_info* init_list = &stray_info;
