// fsm_eqlocation.cc - not written yet.

#include "fsm/fsm.h"
