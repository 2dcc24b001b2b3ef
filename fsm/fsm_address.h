// fsm_address.h - which states an event's address names: the one rule that
// dispatch follows and that the start-up checks use to tell whether a
// timeout or a signal reaches any state.

#ifndef FSM_FSM_ADDRESS_H
#define FSM_FSM_ADDRESS_H

#include <string>

#include "fsm/fsm_core.h"
#include "fsm/internal.h"

namespace fsm_internal {

// Does `address` name state sp? "*" names every state; "name" the states of
// that name; "P!name" the state of that name whose parent's name begins
// with P, and "P!*" every child of such a parent. Names are compared
// exactly. Inline: dispatch asks it for every state an event passes.
inline bool is_addressed(const FSMstate* sp, const std::string& address) {
  if (is_star(address)) return true;
  size_t bang = find_char(address, '!');
  if (bang == std::string::npos) return same_name(address, sp->name);
  const FSMstate* parent = sp->get_parent();
  if (parent == nullptr) return false;
  // A parent name shorter than the part compares unequal.
  if (parent->name.compare(0, bang, address, 0, bang) != 0) return false;
  size_t rest = bang + 1;
  if (address.size() == rest + 1 && address[rest] == '*') return true;
  return address.size() - rest == sp->name.size() &&
         address.compare(rest, std::string::npos, sp->name) == 0;
}

}  // namespace fsm_internal

#endif  // FSM_FSM_ADDRESS_H
