// fsm_list.cc - not written yet.

#include "fsm/fsm.h"
