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

#include "framework/base/mutex.h"

namespace fsm_internal {

// Every mutex is of the default (non-recursive) kind; mutexes and condition
// variables are private to this process (framework/base/mutex.h).
inline void init_private_mutex(pthread_mutex_t* mutex) {
  norix::internal::init_mutex(mutex);
}
inline void init_private_cond(pthread_cond_t* cond) {
  norix::internal::init_cond(cond);
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
