// fsm_superstate.cc - not written yet.

#include "fsm/fsm.h"
