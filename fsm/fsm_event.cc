// fsm_event.cc - FSMevent: the record that carries an event to the states.
//
// An event is plain data with no lock: one owner at a time (the poster until
// it is queued, the root's queue for its copy, the engine thread for the
// record it dispatches).

#include "fsm/fsm_core.h"
#include "fsm/internal.h"

namespace {

// The setters take texts that should never be null; a null is stored as an
// empty text.
using fsm_internal::text_or_empty;

}  // namespace

FSMevent::FSMevent() = default;

void FSMevent::set_name(const char* nm) {
  event = text_or_empty(nm);
}

void FSMevent::set_state(const char* st) {
  state = text_or_empty(st);
}

void FSMevent::set_next(const char* nx) {
  next = text_or_empty(nx);
}

void FSMevent::set_event(const char* nm, const char* st) {
  event = text_or_empty(nm);
  state = text_or_empty(st);
}
