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

// The n bytes at a and at b are the same. The first and last bytes are
// compared first: names of one family ("A0", "A1") differ there. The rest
// is compared in at most two overlapping words for names of up to 16
// characters (no call, no loop).
inline bool same_bytes(const char* a, const char* b, size_t n) {
  if (n == 0) return true;
  if (a[n - 1] != b[n - 1] || a[0] != b[0]) return false;
  if (n <= 4) return n <= 2 || (a[1] == b[1] && a[n - 2] == b[n - 2]);
  if (n <= 8) {
    uint32_t a0, b0, a1, b1;
    memcpy(&a0, a, 4);
    memcpy(&b0, b, 4);
    memcpy(&a1, a + n - 4, 4);
    memcpy(&b1, b + n - 4, 4);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  if (n <= 16) {
    uint64_t a0, b0, a1, b1;
    memcpy(&a0, a, 8);
    memcpy(&b0, b, 8);
    memcpy(&a1, a + n - 8, 8);
    memcpy(&b1, b + n - 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  return memcmp(a + 1, b + 1, n - 2) == 0;
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

// The position of the first c in text, or std::string::npos; without a
// call for texts of up to 16 characters (event addresses, mostly).
inline size_t find_char(const std::string& text, char c) {
  size_t n = text.size();
  const char* p = text.data();
  if (n > 16) return text.find(c);
  for (size_t i = 0; i < n; ++i) {
    if (p[i] == c) return i;
  }
  return std::string::npos;
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
