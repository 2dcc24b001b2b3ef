// fsm_eqlocation.cc - the FSM location: its top state, its own properties,
// its per-property mutex table, its ticks and interrupts, and the errors its
// superstate reports.
//
// A location owns its top state and its four own properties; the FLOW_n,
// data and address properties the application appends are not owned. The
// location mutex guards fsm_ready and fsm_waiting; it is taken last and held
// only briefly, except by the thread that creates the engine threads.

#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "fsm/fsm_core.h"
#include "fsm/internal.h"
#include "server/fsm_binding.h"
#include "server/fsm_stats.h"

namespace {

constexpr size_t NAME_MAX_LEN = 255;  // characters of a start-state name taken from FLOW_n

bool is_root(const FSMstate* sp) {
  return sp != nullptr && sp->get_type() == FSM_TYPE_ROOT;
}

// Reads fsm_ready under the location mutex.
int machine_ready(EqFSMlocation* lp) {
  pthread_mutex_lock(&lp->mux);
  int ready = lp->fsm_ready;
  pthread_mutex_unlock(&lp->mux);
  return ready;
}

}  // namespace

// ---------------------------------------------------------------------------
// EqFSMlocation

EqFSMlocation::EqFSMlocation(int type)
    : EqFct("NAME = location"),
      fsm_ready(0),
      fsm_waiting(0),
      update_id(),
      irq1_id(),
      irq2_id(),
      state_ptr(nullptr),
      fsm("FSM machine name", this),
      description("DESCR the description of this state", this),
      event("EVENT the event to be sent to this state", this),
      // Not "the active state": FAULT shows this state's own error only.
      status("FAULT the error of this location's own state (FLOW_n: of their states)", this),
      prop_mux(nullptr),
      prop_mux_count(0),
      prop_mux_data(0),
      views{nullptr, nullptr, nullptr},
      stats(nullptr) {
  fsm_internal::init_private_mutex(&prop_amux);
  fsm_internal::init_private_mutex(&mux);
  fsm_internal::init_private_cond(&cond);
  if (type == FSM_TYPE_ROOT) {
    FSMrootstate* root = new FSMrootstate(this, "", "");
    root->set_root(root);
    state_ptr = root;
    views[0] = new D_view("TRACE the last transitions of the machine", this, D_view::VIEW_TRACE);
    views[1] = new D_view("GRAPH the machine as Graphviz DOT text", this, D_view::VIEW_GRAPH);
    views[2] = new D_view("MODEL the machine as JSON", this, D_view::VIEW_MODEL);
    stats = new FSMstats();
  } else {
    // FSM_TYPE_LOCATION, and any other kind: a superstate location, so
    // that a location always has a state.
    state_ptr = new FSMsuperstate(this, "", "", FSM_TYPE_LOCATION);
  }
  fsm.set_state(state_ptr);
  description.set_state(state_ptr);
  event.set_state(state_ptr);
  status.set_state(state_ptr);
}

EqFSMlocation::~EqFSMlocation() {
  for (D_view*& v : views) {
    delete v;
    v = nullptr;
  }
  delete state_ptr;
  delete stats;
  state_ptr = nullptr;
  pthread_cond_destroy(&cond);
  pthread_mutex_destroy(&mux);
  if (prop_mux != nullptr) {
    for (size_t i = 0; i < prop_mux_count; ++i)
      pthread_mutex_destroy(&prop_mux[i]);
    delete[] prop_mux;
    prop_mux = nullptr;
  }
  pthread_mutex_destroy(&prop_amux);
}

int EqFSMlocation::fct_code() {
  return is_root(state_ptr) ? FSM_CODE_ROOT : FSM_CODE_SUPERSTATE;
}

// The table is made once; a second call keeps it (its mutexes may be held).
void EqFSMlocation::bind() {
  if (prop_mux != nullptr) return;
  size_t n = norix_data.size() + norix_address.size();
  prop_mux = new pthread_mutex_t[n];
  for (size_t i = 0; i < n; ++i)
    fsm_internal::init_private_mutex(&prop_mux[i]);
  prop_mux_count = n;
  prop_mux_data = norix_data.size();
}

void EqFSMlocation::init() {
  gen_sts().error(0);
  gen_sts().newerror(0);
  gen_sts().online(1);
  set_error(0);
  for (D_flow* f : flows) {
    f->set_state(state_ptr);
    int id = f->get_id();
    if (id == -1) continue;
    // The saved text starts with the state that was active (or the start
    // state); its first word is that state's name. The text ends at its
    // terminator whether or not the stored length counts it.
    const USTR* v = f->value();
    size_t len = v->str_data.str_data_len;
    const char* text = fsm_internal::text_or_empty(v->str_data.str_data_val);
    size_t limit = std::min(len, NAME_MAX_LEN);
    size_t n = strcspn(text, " ");
    std::string name(text, std::min(n, limit));
    state_ptr->flow_attributes(id, name.c_str(), v->i1_data);
  }
}

// A superstate location whose machine is not registered stays unattached;
// the start-up checks report it.
void EqFSMlocation::complete() {
  if (is_root(state_ptr)) {
    global_list.store_node(this);
    return;
  }
  // The start-up checks report it with its origin too; the host is owed
  // this line on standard output.
  if (global_list.find_node(this) != 0) {
    printf("The parent of %s is undefined\n", name().c_str());
    fflush(stdout);
  }
}

void EqFSMlocation::update() {
  if (!is_root(state_ptr)) return;
  if (!machine_ready(this)) return;
  if (stats != nullptr) stats->tick_due();
  state_ptr->post_event(nullptr);
}

void EqFSMlocation::online() {}

void EqFSMlocation::interrupt1() {
  if (!is_root(state_ptr)) return;
  if (machine_ready(this)) state_ptr->post_irq1(nullptr);
}

void EqFSMlocation::interrupt2() {
  if (!is_root(state_ptr)) return;
  if (machine_ready(this)) state_ptr->post_irq2(nullptr);
}

// ---------------------------------------------------------------------------
// FSMsuperstate's report to its location.

// The nearest superstate reports to its location; without one, nothing.
void FSMsuperstate::server_error(FSMstate*, int err, const char* err_desc) {
  auto* root = dynamic_cast<FSMrootstate*>(get_root());
  if (root != nullptr && root->location != nullptr && root->location->stats != nullptr)
    root->location->stats->count_error();
  if (location != nullptr)
    location->set_error(err, std::string(fsm_internal::text_or_empty(err_desc)));
}
