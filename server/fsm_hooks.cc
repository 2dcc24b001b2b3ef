// fsm_hooks.cc - the server entry hooks and their globals.
//
// The hooks run on the server's start-up thread, one at a time, so the
// one-time set-up (the client call object of the core, norix_call) has no
// lock.

#include <stdio.h>
#include <string.h>

#include <string>

#include "framework/host/server_config.h"
#include "fsm/fsm_core.h"
#include "fsm/fsm_trace.h"
#include "server/fsm_binding.h"
#include "server/fsm_checks.h"

namespace {

char object_name_text[] = "FSM";

// The application's type name of a record; a name that fills all 25
// characters without a terminator is read no further.
std::string record_name(const node_info* p) {
  return std::string(p->name, strnlen(p->name, sizeof p->name));
}

}  // namespace

char* object_name = object_name_text;
EqFct* eq_fct_ = nullptr;
int norix_init = 0;

// An application defines its own list, which takes the place of this one.
node_info* init_list __attribute__((weak)) = nullptr;

// Creates a root location (code 100) or a superstate location (code 101);
// the application's create function of the type named gbl_fct_name builds
// its machine. Null for any other code.
EqFct* eq_create(int eq_code, void*) {
  if (eq_code != FSM_CODE_ROOT && eq_code != FSM_CODE_SUPERSTATE) return nullptr;
  if (norix_init == 0) {
    norix_call = new EqCall();
    norix_init = 1;
  }
  EqFSMlocation* loc =
      new EqFSMlocation(eq_code == FSM_CODE_ROOT ? FSM_TYPE_ROOT : FSM_TYPE_LOCATION);
  if (eq_code == FSM_CODE_ROOT) {
    const norix::ServerConfig& config = norix::process_config();
    static_cast<FSMrootstate*>(loc->state_ptr)
        ->trace->configure(static_cast<size_t>(config.trace_size), config.log_transitions);
  }
  bool known = false;
  for (node_info* p = init_list; p != nullptr; p = p->link) {
    if (record_name(p) != gbl_fct_name) continue;
    loc->state_ptr->set_name(gbl_fct_name.c_str());
    if (p->create != nullptr) p->create(loc);
    loc->bind();
    known = true;
    break;
  }
  // A location of an unknown type (or none) stays empty; the start-up
  // checks report it. The host is also owed this line on standard output
  // when no type was named at all.
  note_location(loc, gbl_fct_name, known);
  if (gbl_fct_name.empty()) {
    printf("undefined location %d\n", eq_code);
    fflush(stdout);
  }
  return loc;
}

void eq_init_prolog() {
  global_list.init_list();
  begin_checks();
}

void eq_init_epilog() {
  global_list.link_nodes();
}

void post_init_prolog() {}

void post_init_epilog() {}

void refresh_prolog() {}

void refresh_epilog() {}

void interrupt_usr1_prolog(int) {}

void interrupt_usr1_epilog(int) {}

void eq_cancel() {}

int fsm_load_pass(int code) {
  return code == FSM_CODE_SUPERSTATE ? 1 : 0;
}
