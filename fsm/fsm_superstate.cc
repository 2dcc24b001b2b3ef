// fsm_superstate.cc - FSMsuperstate: parallel flows of sub-states, their
// linking, entry, exit, history, event and interrupt dispatch, and the flow
// queries of the location's properties.
//
// Lock order: a flow mutex, then the mutexes of its states, then the flow
// mutexes nested below them. A flow mutex is held while the flow switches,
// enters, leaves or initialises its states, never while its active state
// processes an event or an interrupt. The superstate's own `mux` is taken
// only by lock_state, after the state mutex.
//
// A flow's active and default states are published with atomic stores
// (under the flow mutex), so that the property readers' queries can load
// them without taking any flow mutex while the event thread switches.
//
// The superstate owns its flows and reference entries, not the states in
// its flows. Its members that reach into its location (server_error, the
// location handles, address and history properties) are defined with the
// binding, in server/.

#include <pthread.h>

#include "fsm/fsm_core.h"
#include "fsm/fsm_journal.h"
#include "fsm/fsm_trace.h"
#include "fsm/internal.h"

namespace {

FSMstate* load_state(FSMstate* const* field) {
  return __atomic_load_n(field, __ATOMIC_ACQUIRE);
}

// Called with the flow mutex held.
void store_state(FSMstate** field, FSMstate* st) {
  __atomic_store_n(field, st, __ATOMIC_RELEASE);
}

// Is sp this superstate or one of its ancestors? Adopting such a state would
// make the tree a cycle.
bool is_self_or_ancestor(const FSMstate* self, const FSMstate* sp) {
  for (const FSMstate* p = self; p != nullptr; p = p->get_parent()) {
    if (p == sp) return true;
    if (p->get_parent() == p) break;  // a root is its own parent
  }
  return false;
}

// The machine's trace, or null for a flow outside a machine.
FSMtrace* trace_of(const FSMsuperstate::frame* f) {
  FSMstate* rt = f->parent->get_root();
  if (rt == nullptr || rt->get_type() != FSM_TYPE_ROOT) return nullptr;
  return static_cast<FSMrootstate*>(rt)->trace;
}

// After the active state fired: ends the flow on the owner's name, else
// switches to the state named `next` (a name that matches none changes
// nothing). Takes the flow mutex, then the states' own mutexes. The change
// counter brackets the switch so that readers of the machine's picture
// never take half of it.
void follow(FSMsuperstate::frame* f, const FSMevent& ev) {
  const std::string& next = ev.next;
  FSMtrace* tr = trace_of(f);
  pthread_mutex_lock(&f->mux);
  FSMstate* from = f->active_state;
  FSMstate* to = nullptr;
  bool ends = fsm_internal::same_name(next, f->parent->name);
  if (ends) {
    to = f->parent;
  } else {
    for (FSMstate* target : f->state) {
      if (fsm_internal::same_name(target->name, next)) {
        to = target;
        break;
      }
    }
  }
  // Recorded before the switch, so that the flows it enters follow it.
  if (tr != nullptr) tr->add(f, from, to, ev.event);
  if (norix::journal_on()) fsm_journal_transition(f, from, to, ev.event);
  if (ends) {
    f->run = 1;  // the flow ends; its state is left with the superstate
  } else if (to != nullptr) {
    if (tr != nullptr) {
      tr->begin_change();
      tr->cause = &ev.event;
    }
    from->leave_state();
    store_state(&f->active_state, to);
    to->enter_state();
    if (tr != nullptr) {
      tr->cause = nullptr;
      tr->end_change();
    }
  }
  pthread_mutex_unlock(&f->mux);
  if (tr != nullptr && !tr->in_event) tr->end_event();
}

}  // namespace

// ---------------------------------------------------------------------------
// One flow. Without an active state (no states, or not linked, or its link
// failed) a flow initialises, enters, leaves and passes on nothing.

FSMsuperstate::frame::frame(FSMstate* pp, int flow_id)
    : id(flow_id), run(0), history(0), parent(pp), default_state(nullptr), active_state(nullptr) {
  fsm_internal::init_private_mutex(&mux);
}

FSMsuperstate::frame::~frame() {
  pthread_mutex_destroy(&mux);
}

void FSMsuperstate::frame::set_active(const char* name) {
  if (name != nullptr) state_name = name;
}

void FSMsuperstate::frame::set_attribute(int flag) {
  history = flag != 0 ? 1 : 0;
}

const char* FSMsuperstate::frame::get_st_name(int index, FSMstate** ptr) {
  if (index < 0 || index >= get_st_count()) return nullptr;
  FSMstate* st = state[static_cast<size_t>(index)];
  if (ptr != nullptr) *ptr = st;
  return st->get_name();
}

// Takes no lock: names and descriptions do not change while the machine
// runs, and the state pointers are loaded atomically.
const char* FSMsuperstate::frame::get_active(const char** descrp, int flag) {
  FSMstate* st =
      (flag != 0 && history == 0) ? load_state(&default_state) : load_state(&active_state);
  if (st == nullptr) return nullptr;
  if (descrp != nullptr) *descrp = st->get_descr();
  return st->get_name();
}

// The text belongs to the active state and changes at its next refresh.
const char* FSMsuperstate::frame::get_error() {
  FSMstate* st = load_state(&active_state);
  if (st == nullptr) return "";
  pthread_mutex_lock(&st->err_mux);
  const char* text = st->error.c_str();
  pthread_mutex_unlock(&st->err_mux);
  return text;
}

void FSMsuperstate::frame::add_state(FSMstate* st) {
  for (const FSMstate* s : state) {
    if (s->name == st->name) return;  // names are unique within a flow
  }
  state.push_back(st);
}

// A state that already has a root keeps it, and so does everything below it.
void FSMsuperstate::frame::set_root(FSMstate* rp) {
  for (FSMstate* st : state) {
    if (st->get_root() == nullptr) st->set_root(rp);
  }
}

int FSMsuperstate::frame::link_state() {
  // The owner is in its own flow by now: a superstate resolves its
  // references before its flows link.
  path.clear();
  path = FSMtrace::flow_path(this);
  FSMstate* start = nullptr;
  if (!state.empty()) {
    if (state_name.empty()) state_name = state.front()->name;
    for (FSMstate* st : state) {
      if (st->name == state_name) {
        start = st;
        break;
      }
    }
  }
  pthread_mutex_lock(&mux);
  store_state(&default_state, start);
  store_state(&active_state, start);
  pthread_mutex_unlock(&mux);
  if (start == nullptr) return 1;
  for (FSMstate* st : state) {
    if (st->link_state() != 0) return 1;
  }
  return 0;
}

void FSMsuperstate::frame::init_state() {
  pthread_mutex_lock(&mux);
  if (active_state != nullptr) {
    for (FSMstate* st : state)
      st->init_state();
  }
  pthread_mutex_unlock(&mux);
}

void FSMsuperstate::frame::enter_state() {
  pthread_mutex_lock(&mux);
  if (active_state != nullptr) {
    if (history == 0 && active_state != default_state) {
      // Re-entered without history: the flow starts over, a change the
      // trace shows under the event that caused the entry.
      FSMtrace* tr = trace_of(this);
      if (tr != nullptr && tr->cause != nullptr) {
        tr->add(this, active_state, default_state, *tr->cause);
        if (norix::journal_on())
          fsm_journal_transition(this, active_state, default_state, *tr->cause);
      }
      store_state(&active_state, default_state);
    }
    active_state->enter_state();
    run = 0;
  }
  pthread_mutex_unlock(&mux);
}

// active_state stays: a flow with history resumes from it.
void FSMsuperstate::frame::leave_state() {
  pthread_mutex_lock(&mux);
  if (active_state != nullptr) {
    active_state->leave_state();
    run = 0;
  }
  pthread_mutex_unlock(&mux);
}

// The active state processes without the flow mutex; an interrupt may
// therefore reach the state that was active while this thread switches.
// Only the thread that dispatches events changes `run` and `active_state`,
// so it reads them without the mutex; it takes the mutex to switch.
int FSMsuperstate::frame::process_event(FSMevent* event) {
  FSMstate* st = run == 0 ? load_state(&active_state) : nullptr;
  if (st != nullptr && st->process_event(event) != 0) follow(this, *event);
  return 0;
}

void FSMsuperstate::frame::process_irq1(FSMevent* event) {
  pthread_mutex_lock(&mux);
  FSMstate* st = run == 0 ? active_state : nullptr;
  pthread_mutex_unlock(&mux);
  if (st != nullptr) st->process_irq1(event);
}

void FSMsuperstate::frame::process_irq2(FSMevent* event) {
  pthread_mutex_lock(&mux);
  FSMstate* st = run == 0 ? active_state : nullptr;
  pthread_mutex_unlock(&mux);
  if (st != nullptr) st->process_irq2(event);
}

// ---------------------------------------------------------------------------
// The superstate.

FSMsuperstate::FSMsuperstate(EqFSMlocation* locptr, const char* np, const char* descr, int stype)
    : FSMstate(np, descr, stype), location(locptr) {
  fsm_internal::init_private_mutex(&mux);
}

FSMsuperstate::~FSMsuperstate() {
  for (frame* f : flow)
    delete f;
  flow.clear();
  for (ref_entry* ref : reference_table)
    delete ref;
  reference_table.clear();
  pthread_mutex_destroy(&mux);
}

// Lock order: the state mutex, then the superstate's own mutex.
void FSMsuperstate::lock_state() {
  FSMstate::lock_state();
  pthread_mutex_lock(&mux);
}

void FSMsuperstate::unlock_state() {
  pthread_mutex_unlock(&mux);
  FSMstate::unlock_state();
}

void FSMsuperstate::set_root(FSMstate* rp) {
  if (get_root() == nullptr) FSMstate::set_root(rp);
  for (frame* f : flow)
    f->set_root(rp);
}

// 0 on success; 1 when a reference stays unresolved, a flow has no states or
// no state of its start-state name, or a sub-state fails to link. The flows
// after a failed one stay unlinked.
int FSMsuperstate::link_state() {
  FSMstate* rt = get_root();
  bool unresolved = false;
  for (ref_entry* ref : reference_table) {
    if (ref->mark == 0) continue;
    FSMstate* st = rt != nullptr ? rt->resolve_link(ref->name.c_str()) : nullptr;
    if (st != nullptr && !is_self_or_ancestor(this, st)) {
      add_state(ref->flow, st);
      ref->mark = 0;
    } else {
      unresolved = true;
    }
  }
  if (unresolved) return 1;
  if (FSMstate::link_state() != 0) return 1;
  for (frame* f : flow) {
    if (f->link_state() != 0) return 1;
  }
  return 0;
}

// Runs on the event thread before the first entry; booking the location's
// histories is the last step.
void FSMsuperstate::init_state() {
  FSMstate::init_state();
  for (frame* f : flow)
    f->init_state();
  book_history();
}

// The superstate is entered before its flows and left after them.
void FSMsuperstate::enter_state() {
  FSMstate::enter_state();
  for (frame* f : flow)
    f->enter_state();
}

void FSMsuperstate::leave_state() {
  for (frame* f : flow)
    f->leave_state();
  FSMstate::leave_state();
}

// 1 when the superstate's own transition fired: its flows do not see the
// event and the enclosing flow switches. Otherwise every flow gets it.
// The root brackets the event for its trace (FSMtrace::begin_event), so
// that all the changes the event causes share one time.
int FSMsuperstate::process_event(FSMevent* ev) {
  FSMtrace* tr = type == FSM_TYPE_ROOT ? static_cast<FSMrootstate*>(this)->trace : nullptr;
  if (tr != nullptr) tr->begin_event();
  int r = FSMstate::process_event(ev);
  if (r == 0) {
    // frame::process_event, inline.
    for (frame* f : flow) {
      FSMstate* st = f->run == 0 ? load_state(&f->active_state) : nullptr;
      if (st != nullptr && st->process_event(ev) != 0) follow(f, *ev);
    }
  }
  if (tr != nullptr) tr->end_event();
  return r;
}

void FSMsuperstate::process_irq1(FSMevent* ev) {
  FSMstate::process_irq1(ev);
  for (frame* f : flow)
    f->process_irq1(ev);
}

void FSMsuperstate::process_irq2(FSMevent* ev) {
  FSMstate::process_irq2(ev);
  for (frame* f : flow)
    f->process_irq2(ev);
}

// Queued at the machine's root; dropped without a root. The root state
// overrides these and queues itself.
void FSMsuperstate::post_event(FSMevent* ev) {
  FSMstate* rt = get_root();
  if (rt != nullptr && rt != this) rt->post_event(ev);
}

void FSMsuperstate::post_irq1(FSMevent* ev) {
  FSMstate* rt = get_root();
  if (rt != nullptr && rt != this) rt->post_irq1(ev);
}

void FSMsuperstate::post_irq2(FSMevent* ev) {
  FSMstate* rt = get_root();
  if (rt != nullptr && rt != this) rt->post_irq2(ev);
}

// ---------------------------------------------------------------------------
// Building.

FSMsuperstate::frame* FSMsuperstate::find_flow(int flow_i) {
  for (frame* f : flow) {
    if (f->id == flow_i) return f;
  }
  return nullptr;
}

FSMsuperstate::frame* FSMsuperstate::make_flow(int flow_i) {
  frame* f = find_flow(flow_i);
  if (f == nullptr) {
    f = new frame(this, flow_i);
    flow.push_back(f);
  }
  return f;
}

// A state refused for its name still gets this superstate as parent. A null
// state, or the superstate itself, is ignored.
void FSMsuperstate::add_state(int flow_i, FSMstate* st) {
  if (st == nullptr || st == this) return;
  make_flow(flow_i)->add_state(st);
  st->set_parent(this);
}

void FSMsuperstate::add_reference(int flow_i, const char* np) {
  if (np == nullptr) return;
  make_flow(flow_i);
  for (const ref_entry* ref : reference_table) {
    if (ref->flow == flow_i && ref->name == np) return;
  }
  ref_entry* ref = new ref_entry();
  ref->name = np;
  ref->flow = flow_i;
  ref->mark = 1;
  reference_table.push_back(ref);
}

void FSMsuperstate::flow_attributes(int flow_i, const char* nm, int flag) {
  if (nm == nullptr) return;
  frame* f = find_flow(flow_i);
  if (f == nullptr) return;
  f->set_active(nm);
  f->set_attribute(flag);
}

// ---------------------------------------------------------------------------
// Flow queries. They take no flow mutex (see the file's opening).

int FSMsuperstate::get_flag(int flow_i) {
  frame* f = find_flow(flow_i);
  return f != nullptr ? f->get_attribute() : 0;
}

const char* FSMsuperstate::get_st_name(int flow_i, int index, FSMstate** ptr) {
  frame* f = find_flow(flow_i);
  return f != nullptr ? f->get_st_name(index, ptr) : nullptr;
}

// Null also for a flow without a state to report (no states, or not linked).
const char* FSMsuperstate::get_ast_name(int flow_i, const char** descrp, int flag) {
  frame* f = find_flow(flow_i);
  return f != nullptr ? f->get_active(descrp, flag) : nullptr;
}

const char* FSMsuperstate::get_ast_error(int flow_i) {
  frame* f = find_flow(flow_i);
  return f != nullptr ? f->get_error() : nullptr;
}

int FSMsuperstate::copy_ast_error(int flow_i, char* buf, size_t size) {
  frame* f = find_flow(flow_i);
  if (f == nullptr) return -1;
  FSMstate* st = load_state(&f->active_state);
  if (st != nullptr) return st->copy_error(buf, size);
  if (buf != nullptr && size > 0) buf[0] = '\0';
  return 0;
}
