// fsm_engine.cc - the engines of a root location: the event engine, which
// prepares the machine and dispatches its events, and the two interrupt
// engines, which wait until the machine is ready and dispatch its
// interrupts; and their start-up.
//
// The location mutex guards fsm_ready and fsm_waiting (the ready
// handshake); it is taken last, and held while the engine threads are
// created. Each engine reuses one event record for every dispatch.

#include <pthread.h>
#include <signal.h>

#include "framework/objects/journal.h"
#include "fsm/fsm_core.h"
#include "server/fsm_binding.h"
#include "server/fsm_stats.h"

namespace {

// The interrupt engines start dispatching only once the event engine has
// initialised and entered the machine.
void wait_until_ready(EqFSMlocation* lp) {
  pthread_mutex_lock(&lp->mux);
  while (lp->fsm_ready == 0) {
    lp->fsm_waiting = 1;
    pthread_cond_wait(&lp->cond, &lp->mux);
  }
  pthread_mutex_unlock(&lp->mux);
}

}  // namespace

// A null location prepares nothing.
void fsm_engine_prepare(EqFSMlocation* loc) {
  if (loc == nullptr) return;
  FSMsuperstate* sp = loc->state_ptr;
  sp->init_state();
  sp->enter_state();
  pthread_mutex_lock(&loc->mux);
  loc->fsm_ready = 1;
  if (loc->fsm_waiting != 0) {
    loc->fsm_waiting = 0;
    pthread_cond_broadcast(&loc->cond);
  }
  pthread_mutex_unlock(&loc->mux);
}

void* event_engine(void* lp) {
  EqFSMlocation* loc = static_cast<EqFSMlocation*>(lp);
  norix::JournalCaller who("machine " + loc->name());  // what its actions post
  FSMsuperstate* sp = loc->state_ptr;
  FSMstats* stats = loc->stats;
  FSMevent ep;
  fsm_engine_prepare(loc);
  for (;;) {
    sp->process_event(&ep);
    if (stats != nullptr) stats->step_done(ep);
  }
}

void* irq1_engine(void* lp) {
  EqFSMlocation* loc = static_cast<EqFSMlocation*>(lp);
  norix::JournalCaller who("interrupt 1 " + loc->name());  // what its actions post
  FSMsuperstate* sp = loc->state_ptr;
  FSMevent ep;
  wait_until_ready(loc);
  for (;;)
    sp->process_irq1(&ep);
}

void* irq2_engine(void* lp) {
  EqFSMlocation* loc = static_cast<EqFSMlocation*>(lp);
  norix::JournalCaller who("interrupt 2 " + loc->name());  // what its actions post
  FSMsuperstate* sp = loc->state_ptr;
  FSMevent ep;
  wait_until_ready(loc);
  for (;;)
    sp->process_irq2(&ep);
}

// The engines inherit the creating thread's signal mask.
void start_engines(EqFSMlocation* lp, const pthread_attr_t* attr) {
  pthread_mutex_lock(&lp->mux);
  sigset_t blocked;
  sigset_t previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGALRM);
  sigaddset(&blocked, SIGUSR1);
  sigaddset(&blocked, SIGUSR2);
  sigaddset(&blocked, SIGURG);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  pthread_create(&lp->irq1_id, attr, irq1_engine, lp);
  pthread_create(&lp->irq2_id, attr, irq2_engine, lp);
  pthread_create(&lp->update_id, attr, event_engine, lp);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_mutex_unlock(&lp->mux);
}
