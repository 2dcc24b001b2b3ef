// sr_func.cc - not written yet.

#include "fsm/fsm.h"
