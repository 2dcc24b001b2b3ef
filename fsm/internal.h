// internal.h - helpers shared by the library's sources (the core's and the
// binding's); not part of the library's interface.
//
// Every mutex and condition variable of the library is set up here. Names
// are compared on the dispatch path for every addressed state, every
// tried transition and handler, and every flow switch: these comparisons
// are inline and copy nothing.

#ifndef FSM_INTERNAL_H
#define FSM_INTERNAL_H

#include <pthread.h>
#include <string.h>

#include <string>

namespace fsm_internal {

// A mutex of the default (non-recursive) kind, private to this process.
inline void init_private_mutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_PRIVATE);
  pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

// A condition variable private to this process.
inline void init_private_cond(pthread_cond_t* cond) {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setpshared(&attr, PTHREAD_PROCESS_PRIVATE);
  pthread_cond_init(cond, &attr);
  pthread_condattr_destroy(&attr);
}

// Texts the library is handed may be null; a null is taken as empty rather
// than handed to std::string.
inline const char* text_or_empty(const char* text) {
  return text != nullptr ? text : "";
}

// Exactly "*".
inline bool is_star(const std::string& text) {
  return text.size() == 1 && text[0] == '*';
}

// Whole and exact, letter case included. The first and last letters are
// compared before the rest: names of one family ("A0", "A1") differ there.
inline bool same_name(const std::string& a, const std::string& b) {
  size_t n = a.size();
  if (n != b.size()) return false;
  if (n == 0) return true;
  const char* pa = a.data();
  const char* pb = b.data();
  if (pa[0] != pb[0] || pa[n - 1] != pb[n - 1]) return false;
  return n <= 2 || memcmp(pa + 1, pb + 1, n - 2) == 0;
}

// to = from. A text of the same length (names of one family) is written
// over the old one in place.
inline void copy_name(std::string& to, const std::string& from) {
  size_t n = from.size();
  if (n == to.size()) {
    if (n != 0) memcpy(&to[0], from.data(), n);
  } else {
    to = from;
  }
}

}  // namespace fsm_internal

#endif  // FSM_INTERNAL_H
