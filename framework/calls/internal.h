// internal.h - what EqCall asks of the monitors (framework/calls/monitors.h),
// defined in monitors.cc; not part of the framework's interface.

#ifndef FRAMEWORK_CALLS_INTERNAL_H
#define FRAMEWORK_CALLS_INTERNAL_H

#include <string>

#include "framework/values/eq_adr.h"
#include "framework/values/eq_data.h"

namespace norix {
namespace internal {

// The cached value of a peer's address into *result, subscribing on first
// use (framework/calls/monitors.h); its error code. Takes the monitor table
// mutex.
int monitor_read(const std::string& endpoint, EqAdr* address, EqData* result);
// Marks the subscriptions unread for too long, at most once a SWEEP_PERIOD.
void monitor_sweep();
// True while this process watches values of the peer at endpoint and its
// link has lost the peer (closed, refused or silent) and not yet got it
// back. Takes the monitor table mutex.
bool monitor_peer_down(const std::string& endpoint);

}  // namespace internal
}  // namespace norix

#endif  // FRAMEWORK_CALLS_INTERNAL_H
