// fsm_server.cc - server entry hooks and the library's globals (placeholder:
// only the globals the core needs).

#include "fsm/fsm.h"

EqCall* norix_call = nullptr;
pthread_mutex_t norix_mux = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t arch_mux = PTHREAD_MUTEX_INITIALIZER;
