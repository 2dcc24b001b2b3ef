// mutex.h - the set-up of the framework's pthread mutexes. Used by the
// framework's sources; not part of its interface.

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

}  // namespace internal
}  // namespace norix

#endif  // FRAMEWORK_BASE_MUTEX_H
