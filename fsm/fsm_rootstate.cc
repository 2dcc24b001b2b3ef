// fsm_rootstate.cc - root state: event and irq queues, dispatch, link table.
//
// A queue mutex is taken last; no other lock is taken while one is held.
// A state mutex may be held while posting (transitions post signals), so it
// comes before a queue mutex (lock order L1 -> L5, fsm/fsm_core.h).
//
// The root owns its queued event copies, its link entries and its archive
// file object, not the states the link entries point to. The archive is
// named after the location's machine, so init_archiver is defined with the
// binding, in server/fsm_route.cc.

#include <pthread.h>

#include "fsm/fsm_core.h"
#include "fsm/fsm_journal.h"
#include "fsm/fsm_trace.h"
#include "fsm/internal.h"

namespace {

// Below this many taken slots a queue does not compact during a cycle.
constexpr size_t COMPACT_MIN = 64;

// The armed timeout due now with the earliest deadline (the first listed of
// equal ones) that has not fired yet in this timer round, or null. A timeout
// fires at most once per round, so that timeouts re-armed by the events of
// timeouts cannot keep a cycle from ending.
FSMstate::timeout* next_due(FSMrootstate* rt) {
  long long now = fsm_clock_ms();
  FSMstate::timeout* due = nullptr;
  for (FSMstate::timeout* t : rt->timers) {
    if (t->armed == 0 || t->deadline > now || t->round == rt->timer_round) continue;
    if (due == nullptr || t->deadline < due->deadline) due = t;
  }
  return due;
}

}  // namespace

// ---------------------------------------------------------------------------
// queue: copies of posted events, taken out in posting order during a cycle.
// A cycle starts with signal() and ends with the dequeue that finds the
// queue empty. Taken copies are released at once; their slots before `head`
// are dropped when the queue runs dry or once they make up half the vector.

FSMrootstate::queue::queue() : flag(0), head(0) {
  fsm_internal::init_private_mutex(&mux);
  fsm_internal::init_private_cond(&cond);
}

// Pending copies are released without being dispatched.
FSMrootstate::queue::~queue() {
  for (size_t i = head; i < event.size(); ++i)
    delete event[i];
  event.clear();
  pthread_cond_destroy(&cond);
  pthread_mutex_destroy(&mux);
}

// The copy carries name and address; its next-state name is empty. The
// consumer is not woken: it takes nothing out before the queue is
// signalled (or during the cycle under way, when it is not waiting), so a
// wake-up would only send it back to sleep.
void FSMrootstate::queue::enqueue(FSMevent& er) {
  FSMevent* copy = new FSMevent();
  copy->event = er.event;
  copy->state = er.state;
  pthread_mutex_lock(&mux);
  event.push_back(copy);
  pthread_mutex_unlock(&mux);
}

// Signals during a cycle merge into it. The consumer is woken after the
// mutex is released, so that it does not wake only to wait for the mutex;
// it tests flag under the mutex, so the wake-up cannot be lost.
void FSMrootstate::queue::signal() {
  pthread_mutex_lock(&mux);
  flag = 1;
  pthread_mutex_unlock(&mux);
  pthread_cond_signal(&cond);
}

// er's next-state name is left as it was.
int FSMrootstate::queue::dequeue(FSMevent& er) {
  FSMevent* copy = nullptr;
  pthread_mutex_lock(&mux);
  while (flag == 0)
    pthread_cond_wait(&cond, &mux);
  if (head < event.size()) {
    copy = event[head];
    event[head] = nullptr;
    ++head;
    if (head == event.size()) {
      event.clear();
      head = 0;
    } else if (head >= COMPACT_MIN && head * 2 >= event.size()) {
      event.erase(event.begin(), event.begin() + static_cast<std::ptrdiff_t>(head));
      head = 0;
    }
  } else {
    flag = 0;  // the cycle ends
  }
  pthread_mutex_unlock(&mux);
  if (copy == nullptr) return 0;
  er.event = copy->event;
  er.state = copy->state;
  delete copy;
  return 1;
}

int FSMrootstate::queue::pending() {
  pthread_mutex_lock(&mux);
  size_t n = event.size() - head;
  pthread_mutex_unlock(&mux);
  return static_cast<int>(n);
}

// ---------------------------------------------------------------------------
// The root state.

FSMrootstate::FSMrootstate(EqFSMlocation* locptr, const char* nm, const char* descr)
    : FSMsuperstate(locptr, nm, descr, FSM_TYPE_ROOT),
      update_rate(1),
      atdsp(nullptr),
      timer_round(0),

      trace(new FSMtrace(FSMtrace::DEFAULT_SIZE)) {
  set_parent(this);
}

// Must not run while engine threads use the root. The queues (members)
// release their pending copies after this body.
FSMrootstate::~FSMrootstate() {
  for (link_entry* le : link_table)
    delete le;
  link_table.clear();
  delete atdsp;
  atdsp = nullptr;
  delete trace;
  trace = nullptr;
}

// The table is written only at start-up, before the engine threads exist.
FSMstate* FSMrootstate::resolve_link(const char* nm) {
  if (nm == nullptr) return nullptr;
  for (const link_entry* le : link_table) {
    if (le->name == nm) return le->address;
  }
  return nullptr;
}

// The first entry of a name stays, even when it points to another state.
void FSMrootstate::register_link(FSMstate* sp) {
  if (sp == nullptr) return;
  for (const link_entry* le : link_table) {
    if (le->name == sp->name) return;
  }
  link_entry* le = new link_entry();
  le->name = sp->name;
  le->address = sp;
  link_table.push_back(le);
}

void FSMrootstate::init_state() {
  FSMsuperstate::init_state();
}

// One dispatch step of the event engine: the next queued event; when the
// cycle has run dry, the event of a due timeout, which keeps the cycle going
// (what it posts, and the other due timeouts, follow in this cycle); else the
// "timer" event after one update of the client side, which ends the cycle.
// A timeout is taken only while its state is still in the entry that armed
// it: this thread also leaves states, so it cannot fire in a later state.
int FSMrootstate::process_event(FSMevent* ep) {
  if (ep == nullptr) return 0;
  if (event_fifo.dequeue(*ep) == 0) {
    FSMstate::timeout* t = timers.empty() ? nullptr : next_due(this);
    if (t != nullptr) {
      t->armed = 0;
      t->round = timer_round;
      const std::string& aim = t->event.state.empty() ? t->owner->name : t->event.state;
      ep->set_event(t->event.get_name(), aim.c_str());
      if (norix::journal_on()) fsm_journal_event(this, *ep, "timeout");
      event_fifo.signal();
      FSMsuperstate::process_event(ep);
      if (norix::journal_on()) fsm_journal_fault(this);
      return 0;
    }
    ++timer_round;
    ep->set_event("timer", "*");
    if (norix_call != nullptr) norix_call->update(1);
  }
  FSMsuperstate::process_event(ep);
  if (norix::journal_on()) fsm_journal_fault(this);
  return 0;
}

void FSMrootstate::process_irq1(FSMevent* ep) {
  if (ep == nullptr) return;
  if (irq1_fifo.dequeue(*ep) == 0) ep->set_event("irq1", "*");
  if (norix::journal_on()) fsm_journal_event(this, *ep, "interrupt 1");
  FSMsuperstate::process_irq1(ep);
  if (norix::journal_on()) fsm_journal_fault(this);
}

void FSMrootstate::process_irq2(FSMevent* ep) {
  if (ep == nullptr) return;
  if (irq2_fifo.dequeue(*ep) == 0) ep->set_event("irq2", "*");
  if (norix::journal_on()) fsm_journal_event(this, *ep, "interrupt 2");
  FSMsuperstate::process_irq2(ep);
  if (norix::journal_on()) fsm_journal_fault(this);
}

// An event is copied (the caller keeps its record); null signals the queue.
void FSMrootstate::post_event(FSMevent* ep) {
  if (ep != nullptr) {
    if (norix::journal_on()) fsm_journal_event(this, *ep, nullptr);
    event_fifo.enqueue(*ep);
  } else {
    event_fifo.signal();
  }
}

void FSMrootstate::post_irq1(FSMevent* ep) {
  if (ep != nullptr) {
    irq1_fifo.enqueue(*ep);
  } else {
    irq1_fifo.signal();
  }
}

void FSMrootstate::post_irq2(FSMevent* ep) {
  if (ep != nullptr) {
    irq2_fifo.enqueue(*ep);
  } else {
    irq2_fifo.signal();
  }
}
