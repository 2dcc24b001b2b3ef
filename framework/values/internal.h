// internal.h - helpers on values shared by the framework's sources; not
// part of its interface.

#ifndef FRAMEWORK_VALUES_INTERNAL_H
#define FRAMEWORK_VALUES_INTERNAL_H

#include <string.h>

#include <string>

#include "framework/values/eq_data.h"

namespace norix {
namespace internal {

// True for an empty address part or "*".
inline bool is_wildcard_or_empty(const char* part) {
  return part[0] == '\0' || (part[0] == '*' && part[1] == '\0');
}

// A private copy of a USTR: its text up to the terminator or str_data_len
// characters, whichever comes first (null is empty), into *text; the fields
// returned keep str_data_len, but never more than that text's length plus
// one. The text pointer of the result is left for the caller to set.
inline USTR bounded_copy(const USTR& in, std::string* text) {
  const char* val = in.str_data.str_data_val;
  *text = val != nullptr ? std::string(val, strnlen(val, in.str_data.str_data_len)) : std::string();
  USTR out = in;
  if (out.str_data.str_data_len > text->size() + 1) {
    out.str_data.str_data_len = static_cast<unsigned int>(text->size() + 1);
  }
  return out;
}

// Sets element index of a USTR array to (i1, text) with the other fields 0.
inline void set_name_entry(EqData* result, int index, int i1, const std::string& text) {
  std::string copy = text;
  USTR u{};
  u.i1_data = i1;
  u.str_data.str_data_len = static_cast<unsigned int>(copy.size() + 1);
  u.str_data.str_data_val = copy.data();
  result->set(u, index);
}

}  // namespace internal
}  // namespace norix

#endif  // FRAMEWORK_VALUES_INTERNAL_H
