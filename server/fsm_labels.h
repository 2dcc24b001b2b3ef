// fsm_labels.h - names that a machine's author gives to the guards of its
// transitions, shown on their edges in the machine's picture (GRAPH, MODEL,
// the web panel). A side table: the transition class keeps no name.
//
// Written where machines are built (start-up, or a test's thread), read by
// whoever takes a picture; a mutex of its own, a leaf, guards the table.

#ifndef SERVER_FSM_LABELS_H
#define SERVER_FSM_LABELS_H

#include <string>

#include "fsm/fsm_core.h"

// Names the guard of br; an empty name forgets it.
void fsm_name_guard(const FSMstate::branch* br, const std::string& name);
// The name given to br's guard, or "". An entry is kept with br's trigger
// and next state and answers only while they still match, so that a
// transition made later at the address of a destroyed one is not named.
std::string fsm_guard_name(const FSMstate::branch* br);

#endif  // SERVER_FSM_LABELS_H
