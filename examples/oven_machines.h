// oven_machines.h - the create functions of the oven example's machine
// types, for the server program's registration list and for tests (each
// builds its type's definition, written with writer/machine.h). The type
// names (the TYPE of a configuration's location item):
//   oven     root location. Flows: 0 mode (idle, heating, fault), 1 vacuum
//            (vented, pumping, vacuum), 2 the door (adopted by name),
//            3 settings (unwatched, watching, drifted). heating is a nested
//            superstate with one flow (ramp, hold).
//   door     superstate location joining the machine named in its FSM
//            text: closed, open, locked.
//   monitor  root location of a second machine: quiet, busy, alarm.

#ifndef EXAMPLES_OVEN_MACHINES_H
#define EXAMPLES_OVEN_MACHINES_H

#include "fsm/fsm.h"

void create_oven(EqFSMlocation* loc);
void create_door(EqFSMlocation* loc);
void create_monitor(EqFSMlocation* loc);

#endif  // EXAMPLES_OVEN_MACHINES_H
