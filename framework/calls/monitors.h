// monitors.h - the monitors of this process's client side: the values of
// peers' properties that EqCall::get_monitor reads, kept up to date by the
// peers' pushed changes.
//
// One connection per peer endpoint, made and read by a link thread of its
// own; the first get_monitor of an address subscribes to it (once per
// address in the process) and answers from the cache from then on, without
// a call. The first read of an address waits up to 200 ms for its first
// value unless its peer is known to be down. Until the first value arrives,
// and whenever the peer is down or
// has been silent for MONITOR_SILENCE_MS, the cached value is
// ERR_UNREACHABLE; the link reconnects with a growing pause and subscribes
// again by itself. EqCall::update drops the subscriptions not read for
// MONITOR_DROP_AFTER_MS.

#ifndef FRAMEWORK_CALLS_MONITORS_H
#define FRAMEWORK_CALLS_MONITORS_H

namespace norix {

constexpr int MONITOR_SILENCE_MS = 1000;
constexpr int MONITOR_DROP_AFTER_MS = 10 * 60 * 1000;

struct MonitorTable {
  int peers = 0;       // links (one thread and at most one connection each)
  int connected = 0;   // links with a live connection
  int addresses = 0;   // cached addresses
  int subscribed = 0;  // of which the peer has confirmed the subscription
};
MonitorTable monitor_table();

// Ends every link and forgets every cached value; the next get_monitor
// starts again. Waits for the link threads (at most about a second).
void clear_monitors();

}  // namespace norix

#endif  // FRAMEWORK_CALLS_MONITORS_H
