// fsm_event.cc - not written yet.

#include "fsm/fsm.h"
