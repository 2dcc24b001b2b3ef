// fsm_state.cc - FSMstate: the state base, transitions, actions and the
// processing of events and interrupts by a simple state.
//
// The state mutex (`mux`) is held for the whole of init_state, enter_state,
// leave_state, process_event and the interrupt operations, and so around
// every action, condition, handler and transition action the state runs.
// Posting a signal event from a transition takes the root's queue mutex
// after it. `err_mux` guards `error` alone and is a leaf lock.
//
// A state owns its transitions, handlers, data items and private block; it
// owns no other state.

#include <limits.h>
#include <pthread.h>
#include <string.h>

#include "framework/objects/journal.h"
#include "fsm/fsm_address.h"
#include "fsm/fsm_core.h"
#include "fsm/fsm_trace.h"
#include "fsm/internal.h"

namespace {

using fsm_internal::copy_name;
using fsm_internal::is_addressed;
using fsm_internal::is_star;
using fsm_internal::same_name;
using fsm_internal::text_or_empty;

// event_name as set_event_name leaves it.
void note_event_name(std::string& field, const std::string& event) {
  if (event.size() == 5 && memcmp(event.data(), "timer", 5) == 0) {
    if (!field.empty()) field.clear();
  } else {
    copy_name(field, event);
  }
}

// Arms the state's timeouts from now, listing each with the machine's root
// at its first arming. Called with the state mutex held, on the thread that
// dispatches the machine's events; a state without a root has no timer step.
void arm_timeouts(FSMstate* st) {
  FSMrootstate* rt = dynamic_cast<FSMrootstate*>(st->get_root());
  if (rt == nullptr) return;
  long long now = fsm_clock_ms();
  for (FSMstate::timeout* t : st->timeouts) {
    if (t->booked == 0) {
      rt->timers.push_back(t);
      t->booked = 1;
    }
    // A time too long for the clock never comes.
    long long ms = __atomic_load_n(&t->ms, __ATOMIC_RELAXED);
    t->deadline = ms > LLONG_MAX - now ? LLONG_MAX : now + ms;
    t->armed = 1;
  }
}

// The rest of branch::check once br's trigger matched ep: 1 = fired. Inline,
// so that process_event, which tests the trigger itself, calls nothing more.
inline int fire(FSMstate::branch* br, FSMevent* ep, FSMstate* sp) {
  if (br->condition != nullptr && br->condition(sp) == 0) return 0;
  if (br->taction != nullptr) br->taction(sp);
  copy_name(ep->next, br->next_state);
  if (br->flag == 1) {
    FSMstate* rt = sp->get_root();
    if (rt != nullptr && norix::journal_on()) {
      norix::JournalCaller who("signal");  // the journal tells it from a client's post
      rt->post_event(&br->event);
    } else if (rt != nullptr) {
      rt->post_event(&br->event);
    }
  }
  return 1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Transitions.

FSMstate::branch::branch() : condition(nullptr), taction(nullptr), flag(0) {}

void FSMstate::branch::define_action(const char* en, const char* ns, FSMcondition cond_eval,
                                     FSMtaction trans_action, const char* sg_name,
                                     const char* sg_state) {
  if (en == nullptr) return;
  event_name = en;
  next_state = text_or_empty(ns);
  condition = cond_eval;
  taction = trans_action;
  if (sg_name != nullptr) {
    event.set_event(sg_name, sg_state);
    flag = 1;
  } else {
    // Redefining a transition without a signal must not keep an old one.
    event.set_event("", "");
    flag = 0;
  }
}

// Called with sp's mutex held; posting the signal takes the root's queue
// mutex. A state without a root has nowhere to send the signal: it is dropped.
int FSMstate::branch::check(FSMevent* ep, FSMstate* sp) {
  if (!same_name(event_name, ep->event) && !is_star(event_name)) return 0;
  return fire(this, ep, sp);
}

// ---------------------------------------------------------------------------
// Construction and destruction.

FSMstate::FSMstate(int st_type) : FSMstate(nullptr, nullptr, st_type) {}

FSMstate::FSMstate(const char* st_name, const char* st_descr, int st_type)
    : type(st_type),
      status(0),
      name(text_or_empty(st_name)),
      description(text_or_empty(st_descr)),
      root(nullptr),
      parent(nullptr),
      private_data(nullptr),
      reset(nullptr),
      poll(nullptr),
      enter(nullptr),
      during(nullptr),
      leave(nullptr),
      usr_irq1(nullptr),
      usr_irq2(nullptr),
      error_set(0),
      entered_ms(0) {
  fsm_internal::init_private_mutex(&mux);
  fsm_internal::init_private_mutex(&err_mux);
}

FSMstate::~FSMstate() {
  __atomic_store_n(&status, 0, __ATOMIC_RELEASE);
  root = nullptr;
  parent = nullptr;
  reset = poll = enter = during = leave = usr_irq1 = usr_irq2 = nullptr;
  delete[] static_cast<char*>(private_data);
  private_data = nullptr;
  for (local_data* item : data) {
    pthread_mutex_destroy(&item->mux);
    delete item;
  }
  for (branch* br : transition)
    delete br;
  for (event_handler* hd : handler)
    delete hd;
  for (timeout* t : timeouts)
    delete t;
  pthread_mutex_destroy(&err_mux);
  pthread_mutex_destroy(&mux);
}

// ---------------------------------------------------------------------------
// Accessors.

// status is stored and loaded atomically: property readers ask it without
// the state mutex (lock order, fsm/fsm_core.h).
int FSMstate::is_active() const {
  return __atomic_load_n(&status, __ATOMIC_ACQUIRE) == 1 ? 1 : 0;
}

void FSMstate::set_name(const char* nm) {
  name = text_or_empty(nm);
}

void FSMstate::set_descr(const char* descr) {
  description = text_or_empty(descr);
}

void FSMstate::set_event_name(const char* namep) {
  const char* text = text_or_empty(namep);
  if (strcmp(text, "timer") == 0) {
    event_name.clear();
  } else {
    event_name = text;
  }
}

// error_set follows `error` under err_mux; clear_error reads it without the
// lock. A clear that finds it 0 while another thread records an error is
// the same as a clear that ran just before that error.
void FSMstate::set_error(const char* error_txt) {
  pthread_mutex_lock(&err_mux);
  if (error.empty()) {
    error = text_or_empty(error_txt);
    __atomic_store_n(&error_set, error.empty() ? 0 : 1, __ATOMIC_RELEASE);
  }
  pthread_mutex_unlock(&err_mux);
}

void FSMstate::clear_error() {
  if (__atomic_load_n(&error_set, __ATOMIC_ACQUIRE) == 0) return;
  pthread_mutex_lock(&err_mux);
  error.clear();
  __atomic_store_n(&error_set, 0, __ATOMIC_RELEASE);
  pthread_mutex_unlock(&err_mux);
}

int FSMstate::copy_error(char* buf, size_t size) {
  pthread_mutex_lock(&err_mux);
  size_t len = error.size();
  if (buf != nullptr && size > 0) {
    size_t n = len < size - 1 ? len : size - 1;
    memcpy(buf, error.data(), n);
    buf[n] = '\0';
  }
  pthread_mutex_unlock(&err_mux);
  return static_cast<int>(len);
}

// The block is a char array; the state releases it with delete[] when it is
// replaced or the state is destroyed.
void* FSMstate::set_private(int size) {
  delete[] static_cast<char*>(private_data);
  private_data = size > 0 ? new char[size] : nullptr;
  return private_data;
}

// ---------------------------------------------------------------------------
// Building.

void FSMstate::add_transition(const char* en, FSMcondition ceval, FSMtaction tact, const char* sgn,
                              const char* sgst, const char* ns) {
  branch* br = new branch();
  br->define_action(en, ns, ceval, tact, sgn, sgst);
  transition.push_back(br);
}

void FSMstate::add_action(const char* ev_name, FSMaction hdl) {
  if (ev_name == nullptr) return;
  struct slot_name {
    const char* name;
    FSMaction FSMstate::*slot;
  };
  static const slot_name slots[] = {
      {"init", &FSMstate::reset},          {"poll", &FSMstate::poll},
      {"enter", &FSMstate::enter},         {"during", &FSMstate::during},
      {"exit", &FSMstate::leave},          {"interrupt1", &FSMstate::usr_irq1},
      {"interrupt2", &FSMstate::usr_irq2},
  };
  for (const slot_name& sn : slots) {
    if (strcmp(ev_name, sn.name) == 0) {
      this->*sn.slot = hdl;
      return;
    }
  }
  for (const event_handler* hd : handler) {
    if (hd->name == ev_name) return;  // the first registration stays
  }
  event_handler* hd = new event_handler();
  hd->name = ev_name;
  hd->proc = hdl;
  handler.push_back(hd);
}

int FSMstate::add_timeout(long long ms, const char* ev_name, const char* address) {
  if (ms < 0 || ev_name == nullptr || ev_name[0] == '\0') return -1;
  timeout* t = new timeout();
  t->owner = this;
  t->ms = ms;
  t->event.set_event(ev_name, text_or_empty(address));
  t->deadline = 0;
  t->armed = 0;
  t->booked = 0;
  t->round = -1;
  timeouts.push_back(t);
  return 0;
}

int FSMstate::set_timeout(const char* ev_name, long long ms) {
  if (ms < 0 || ev_name == nullptr) return -1;
  int rc = -1;
  for (timeout* t : timeouts) {
    if (t->event.event != ev_name) continue;
    __atomic_store_n(&t->ms, ms, __ATOMIC_RELAXED);  // a machine's picture may read it
    rc = 0;
  }
  return rc;
}

// ---------------------------------------------------------------------------
// Virtual interface.

void FSMstate::lock_state() {
  pthread_mutex_lock(&mux);
}

void FSMstate::unlock_state() {
  pthread_mutex_unlock(&mux);
}

void FSMstate::set_root(FSMstate* rtptr) {
  root = rtptr;
}

// Passed up to the nearest superstate, which reports to its location. A
// state that is its own parent or root has nowhere to pass it.
void FSMstate::server_error(FSMstate* sp, int err, const char* err_desc) {
  if (parent != nullptr && parent != this) {
    parent->server_error(sp, err, err_desc);
  } else if (root != nullptr && root != this) {
    root->server_error(sp, err, err_desc);
  }
}

FSMstate* FSMstate::resolve_link(const char*) {
  return nullptr;
}

int FSMstate::link_state() {
  return 0;
}

void FSMstate::init_state() {
  pthread_mutex_lock(&mux);
  poll_data();
  if (reset != nullptr) reset(this);
  pthread_mutex_unlock(&mux);
}

// The enter action runs while the state is still inactive.
void FSMstate::enter_state() {
  long long ms = FSMtrace::entry_ms(this);
  pthread_mutex_lock(&mux);
  if (enter != nullptr) enter(this);
  __atomic_store_n(&status, 1, __ATOMIC_RELEASE);
  if (!timeouts.empty()) arm_timeouts(this);
  __atomic_store_n(&entered_ms, ms, __ATOMIC_RELEASE);
  pthread_mutex_unlock(&mux);
}

// The exit action runs while the state is still active.
void FSMstate::leave_state() {
  pthread_mutex_lock(&mux);
  if (leave != nullptr) leave(this);
  __atomic_store_n(&status, 0, __ATOMIC_RELEASE);
  for (timeout* t : timeouts)
    t->armed = 0;
  pthread_mutex_unlock(&mux);
}

// Holds the state mutex throughout: poll action, data refresh, transitions
// (conditions, transition actions, signal posting), during action, handler.
// An event that does not address the state is passed by before the mutex:
// it would change nothing under it, and what decides it (the address in the
// dispatching thread's own event, the names and the parent) does not change
// while the machine runs.
int FSMstate::process_event(FSMevent* ep) {
  if (ep == nullptr || !is_addressed(this, ep->state)) return 0;
  int fired = 0;
  pthread_mutex_lock(&mux);
  if (status != 0) {
    note_event_name(event_name, ep->event);
    if (poll != nullptr) poll(this);
    // poll_data clears the error and refreshes the bound items: a state
    // with neither has nothing for it to do.
    if (__atomic_load_n(&error_set, __ATOMIC_ACQUIRE) != 0 || !data.empty()) poll_data();
    if (type != FSM_TYPE_ROOT) {
      for (branch* br : transition) {
        // The trigger is tested here too, so that a transition for another
        // event costs no call.
        if (!same_name(br->event_name, ep->event) && !is_star(br->event_name)) continue;
        if (fire(br, ep, this) == 1) {
          fired = 1;
          break;
        }
      }
    }
    if (fired == 0) {
      if (during != nullptr) during(this);
      for (const event_handler* hd : handler) {
        if (same_name(hd->name, ep->event)) {
          if (hd->proc != nullptr) hd->proc(this);
          break;
        }
      }
    }
  }
  pthread_mutex_unlock(&mux);
  return fired;
}

void FSMstate::process_irq1(FSMevent*) {
  pthread_mutex_lock(&mux);
  if (status == 1 && usr_irq1 != nullptr) usr_irq1(this);
  pthread_mutex_unlock(&mux);
}

void FSMstate::process_irq2(FSMevent*) {
  pthread_mutex_lock(&mux);
  if (status == 1 && usr_irq2 != nullptr) usr_irq2(this);
  pthread_mutex_unlock(&mux);
}

// A state without a root (or that is its own root) drops the event.
void FSMstate::post_event(FSMevent* ep) {
  if (root != nullptr && root != this) root->post_event(ep);
}

void FSMstate::post_irq1(FSMevent*) {}

void FSMstate::post_irq2(FSMevent*) {}
