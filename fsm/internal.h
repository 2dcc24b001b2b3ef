// internal.h - helpers shared by the core's sources; not part of the
// library's interface.
//
// Names are compared on the dispatch path for every addressed state, every
// tried transition and handler, and every flow switch: these comparisons
// are inline and copy nothing.

#ifndef FSM_INTERNAL_H
#define FSM_INTERNAL_H

#include <string.h>

#include <string>

namespace fsm_internal {

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
