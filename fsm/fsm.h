// fsm.h - hierarchical state machines hosted in server locations: the header
// that applications include.
//
// The core (events, states, superstates, the root) is declared in
// fsm/fsm_core.h; the server binding (the location, its properties, the
// engines, the registry and the server entry hooks) in server/fsm_binding.h.
// The library's own sources include the one they use, never this one.

#ifndef FSM_FSM_H
#define FSM_FSM_H

#include "fsm/fsm_core.h"
#include "server/fsm_binding.h"

#endif  // FSM_FSM_H
