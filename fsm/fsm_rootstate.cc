// fsm_rootstate.cc - not written yet.

#include "fsm/fsm.h"
