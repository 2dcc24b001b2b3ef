// internal.h - helpers shared by the stand-in's sources; not part of its
// interface.

#ifndef FRAMEWORK_INTERNAL_H
#define FRAMEWORK_INTERNAL_H

#include <ctype.h>
#include <pthread.h>
#include <string.h>

#include <string>

#include "framework/host/server_config.h"
#include "framework/values/eq_data.h"

class D_fct;
class EqAdr;
class EqFct;

namespace norix {
namespace internal {

constexpr const char* kWhiteSpace = " \t\n\v\f\r";  // what isspace() takes in the C locale

inline void init_mutex(pthread_mutex_t* m) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_PRIVATE);
  pthread_mutex_init(m, &attr);
  pthread_mutexattr_destroy(&attr);
}

// The next white-space separated word of text from *pos on, into *word;
// *pos then stands just after it. False when only white space is left.
inline bool next_word(const std::string& text, size_t* pos, std::string* word) {
  size_t i = *pos;
  while (i < text.size() && isspace(static_cast<unsigned char>(text[i])))
    ++i;
  size_t start = i;
  while (i < text.size() && !isspace(static_cast<unsigned char>(text[i])))
    ++i;
  *pos = i;
  *word = text.substr(start, i - start);
  return i > start;
}

// The first word of a text, after any leading white space.
inline std::string first_word(const std::string& text) {
  size_t pos = 0;
  std::string word;
  next_word(text, &pos, &word);
  return word;
}

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

// The property's name and its saved value line, written under its
// op_lock(); empty when it writes no value.
std::string saved_line(D_fct* p);

// The start-up record (framework/host/startup.h), filled by Server::start: the
// configuration file and its strict flag first, then each location as it
// is created; the number of problems reported since the beginning.
void startup_begin(const std::string& file, bool strict);
void startup_note(const EqFct* location, const ServerConfig::location& config);
int startup_problems();

// The property an address names in this process, as an identity to compare
// with the one value_changed reports (never called through), or null. Takes
// the registry mutex and the location's pin.
const void* property_identity(EqAdr* address);
// True when the address was made unmonitorable in this process.
bool is_unmonitorable(const EqAdr& address);

// The cached value of a peer's address into *result, subscribing on first
// use (framework/calls/monitors.h); its error code. Takes the monitor table mutex.
int monitor_read(const std::string& endpoint, EqAdr* address, EqData* result);
// Marks the subscriptions unread for too long, at most once a SWEEP_PERIOD.
void monitor_sweep();
// True while this process watches values of the peer at endpoint and its
// link has lost the peer (closed, refused or silent) and not yet got it
// back. Takes the monitor table mutex.
bool monitor_peer_down(const std::string& endpoint);

}  // namespace internal
}  // namespace norix

#endif  // FRAMEWORK_INTERNAL_H
