// mutex.h - the set-up of the pthread mutexes and condition variables of
// the framework and of the state machine library (fsm/internal.h). Not part
// of the framework's interface.

#ifndef FRAMEWORK_BASE_MUTEX_H
#define FRAMEWORK_BASE_MUTEX_H

#include <pthread.h>

namespace norix {
namespace internal {

// A process-private mutex of the default kind.
inline void init_mutex(pthread_mutex_t* m) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_PRIVATE);
  pthread_mutex_init(m, &attr);
  pthread_mutexattr_destroy(&attr);
}

// A process-private condition variable.
inline void init_cond(pthread_cond_t* c) {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setpshared(&attr, PTHREAD_PROCESS_PRIVATE);
  pthread_cond_init(c, &attr);
  pthread_condattr_destroy(&attr);
}

}  // namespace internal
}  // namespace norix

#endif  // FRAMEWORK_BASE_MUTEX_H
