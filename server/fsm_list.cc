// fsm_list.cc - the machine registry: root locations by machine name.
//
// The registry is changed only on the server's start-up thread (store_node,
// find_node, init_list) and only read afterwards (signal_node from any
// thread), so it has no lock. It owns its entries, not the locations or
// states they point to. Starting a machine's engines (fsm_engine.cc) holds
// the location's mutex while the three threads are created.

#include <pthread.h>
#include <string.h>

#include "framework/host/startup.h"
#include "fsm/fsm_core.h"
#include "server/fsm_binding.h"
#include "server/fsm_checks.h"

FSMlist global_list;

FSMlist::FSMlist() = default;

FSMlist::~FSMlist() {
  init_list();
}

void FSMlist::init_list() {
  for (entry* e : list)
    delete e;
  list.clear();
}

// Only the first root location with a given state name is registered.
void FSMlist::store_node(EqFSMlocation* elp) {
  if (elp == nullptr || elp->state_ptr == nullptr) return;
  FSMstate* root = elp->state_ptr;
  if (root->get_type() != FSM_TYPE_ROOT) return;
  for (entry* e : list) {
    if (strcmp(e->base->get_name(), root->get_name()) == 0) return;
  }
  entry* e = new entry;
  e->fsm = elp->fsm.value();
  e->loc = elp;
  e->base = root;
  root->set_root(root);
  list.push_back(e);
}

int FSMlist::find_node(EqFSMlocation* elp) {
  if (elp == nullptr || elp->state_ptr == nullptr) return 0;
  FSMstate* sp = elp->state_ptr;
  if (sp->get_type() != FSM_TYPE_LOCATION) return 0;
  const char* machine = elp->fsm.value();
  for (entry* e : list) {
    if (e->fsm == machine) {
      sp->set_root(e->base);
      FSMrootstate* root = dynamic_cast<FSMrootstate*>(e->base);
      if (root != nullptr) root->register_link(sp);
      return 0;
    }
  }
  return 1;
}

// Links each machine (its named references resolve through its root's link
// table), checks the definitions, then starts the engines. A machine that
// fails to link still starts, unless the server refuses its start-up for
// the problems reported.
void FSMlist::link_nodes() {
  for (entry* e : list)
    e->base->link_state();
  check_definitions();
  if (norix::startup_refused()) return;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setscope(&attr, PTHREAD_SCOPE_PROCESS);  // Linux keeps system scope
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
  for (entry* e : list)
    start_engines(e->loc, &attr);
  pthread_attr_destroy(&attr);
}

// A null event delivers nothing (posting null to a root would be a tick).
int FSMlist::signal_node(char* fsm, FSMevent* ep) {
  if (fsm == nullptr || ep == nullptr) return 1;
  for (entry* e : list) {
    if (e->fsm == fsm) {
      e->base->post_event(ep);
      return 0;
    }
  }
  return 1;
}

int send_event(char* sp, FSMevent* ep) {
  return global_list.signal_node(sp, ep);
}
