// fsm_state.cc - not written yet.

#include "fsm/fsm.h"
