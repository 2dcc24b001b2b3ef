// internal.h - helpers shared by the library's sources (the core's and the
// binding's); not part of the library's interface.
//
// Every mutex and condition variable of the library is set up here. Names
// are compared on the dispatch path for every addressed state, every
// tried transition and handler, and every flow switch, and copied into
// each addressed state and each fired event: these comparisons and copies
// are inline and call nothing for names of up to 16 characters.

#ifndef FSM_INTERNAL_H
#define FSM_INTERNAL_H

#include <pthread.h>
#include <stdint.h>
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

// The n bytes at a and at b are the same. Compared in at most two
// overlapping words for names of up to 16 characters (no call, no loop);
// longer names compare their last word first (names of one family, "A0",
// "A1", differ there), then the rest.
inline bool same_bytes(const char* a, const char* b, size_t n) {
  if (n >= 8) {
    uint64_t a0, b0, a1, b1;
    memcpy(&a1, a + n - 8, 8);
    memcpy(&b1, b + n - 8, 8);
    if (a1 != b1) return false;
    if (n > 16) return memcmp(a, b, n - 8) == 0;
    memcpy(&a0, a, 8);
    memcpy(&b0, b, 8);
    return a0 == b0;
  }
  if (n >= 4) {
    uint32_t a0, b0, a1, b1;
    memcpy(&a0, a, 4);
    memcpy(&b0, b, 4);
    memcpy(&a1, a + n - 4, 4);
    memcpy(&b1, b + n - 4, 4);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  // 0 to 3 bytes: the first, the middle and the last cover them all.
  return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
}

// Copies n bytes from `from` to `to` (which do not overlap), as same_bytes
// compares them.
inline void copy_bytes(char* to, const char* from, size_t n) {
  if (n >= 8) {
    if (n > 16) {
      memcpy(to, from, n);
      return;
    }
    uint64_t w0, w1;
    memcpy(&w0, from, 8);
    memcpy(&w1, from + n - 8, 8);
    memcpy(to, &w0, 8);
    memcpy(to + n - 8, &w1, 8);
  } else if (n >= 4) {
    uint32_t w0, w1;
    memcpy(&w0, from, 4);
    memcpy(&w1, from + n - 4, 4);
    memcpy(to, &w0, 4);
    memcpy(to + n - 4, &w1, 4);
  } else if (n > 0) {
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
  }
}

// Whole and exact, letter case included.
inline bool same_name(const std::string& a, const std::string& b) {
  size_t n = a.size();
  return n == b.size() && same_bytes(a.data(), b.data(), n);
}

// to = from. A text of the same length (names of one family) is written
// over the old one in place.
inline void copy_name(std::string& to, const std::string& from) {
  size_t n = from.size();
  if (n == to.size()) {
    copy_bytes(&to[0], from.data(), n);
  } else {
    to = from;
  }
}

}  // namespace fsm_internal

#endif  // FSM_INTERNAL_H
