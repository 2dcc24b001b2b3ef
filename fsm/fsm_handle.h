// fsm_handle.h - the encoding of data handles; not part of the library's
// interface.
//
// A data handle names a data item relative to the state that opened it: the
// level is how many parents up the item's owner is, the position its index
// in the owner's list. A local handle (bit 31 clear) names a state's own
// data item; a location handle (bit 31 set) names an entry of a location's
// norix_data list. Bits 20 to 30 hold the level, bits 0 to 19 the position.
// -1 is no handle.

#ifndef FSM_FSM_HANDLE_H
#define FSM_FSM_HANDLE_H

#include <stddef.h>
#include <stdint.h>

namespace fsm_handle {

constexpr uint32_t LOCATION_BIT = 0x80000000u;
constexpr int LEVEL_SHIFT = 20;
constexpr int MAX_LEVEL = 0x7FF;
constexpr uint32_t MAX_POSITION = 0xFFFFF;

// -1 when the level or the position does not fit its field: such a handle
// would name another item. The one location handle whose bits are all set
// is -1 itself.
inline int encode(bool location, int level, size_t position) {
  if (level < 0 || level > MAX_LEVEL || position > MAX_POSITION) return -1;
  uint32_t bits = (location ? LOCATION_BIT : 0u) | (static_cast<uint32_t>(level) << LEVEL_SHIFT) |
                  static_cast<uint32_t>(position);
  return static_cast<int>(bits);
}

inline bool is_local(int handle) {
  return handle >= 0;
}

inline bool is_location(int handle) {
  return handle < 0 && handle != -1;
}

inline int level_of(int handle) {
  return static_cast<int>((static_cast<uint32_t>(handle) >> LEVEL_SHIFT) & MAX_LEVEL);
}

inline size_t position_of(int handle) {
  return static_cast<uint32_t>(handle) & MAX_POSITION;
}

}  // namespace fsm_handle

#endif  // FSM_FSM_HANDLE_H
