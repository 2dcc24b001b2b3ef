// fsm_globals.cc - the core's globals: the client call object and the locks
// of client calls and of the history archives.
//
// norix_mux is held around every call on norix_call; arch_mux around archive
// creation and booking. Both are statically initialised, so they are usable
// before the first location is created. norix_call is made by the server's
// first eq_create and lives as long as the process.

#include <pthread.h>

#include "fsm/fsm_core.h"

EqCall* norix_call = nullptr;
pthread_mutex_t norix_mux = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t arch_mux = PTHREAD_MUTEX_INITIALIZER;
