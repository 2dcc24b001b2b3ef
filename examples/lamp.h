// lamp.h - the lamp machine type of README.md, for its server program and
// its test.

#ifndef EXAMPLES_LAMP_H
#define EXAMPLES_LAMP_H

#include "fsm/fsm.h"

void create_lamp(EqFSMlocation* loc);

#endif  // EXAMPLES_LAMP_H
