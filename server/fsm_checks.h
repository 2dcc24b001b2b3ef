// fsm_checks.h - the definition checks of a server's machines at start-up:
// mistakes that would leave a machine or a location silently inert are
// reported once each (framework/host/startup.h), with the location's name and
// where it was configured. The machines' behaviour is not changed.
//
// Used on the start-up thread only: between eq_init_prolog and
// eq_init_epilog, every location eq_create makes is noted; the checks run
// once the machines are linked.

#ifndef SERVER_FSM_CHECKS_H
#define SERVER_FSM_CHECKS_H

#include <string>

class EqFSMlocation;
class FSMstate;

// Forgets the locations noted so far and notes those created from now on.
void begin_checks();
// Notes a location made for machine type `type`; known: the type is in the
// application's list.
void note_location(EqFSMlocation* loc, const std::string& type, bool known);
// Checks every noted location and its machine, reports each problem, and
// stops noting.
void check_definitions();

// Whether a transition or a handler of st takes the event: one on that
// name or on "*" (the root's transitions never run).
bool state_takes_event(const FSMstate* st, const std::string& event);
// Whether any state of the machine under top has a transition or handler
// of exactly that name ("timer" always counts). Reads the tree without a
// lock: it is built before the machine's threads start and then fixed.
bool machine_names_event(FSMstate* top, const std::string& event);

#endif  // SERVER_FSM_CHECKS_H
