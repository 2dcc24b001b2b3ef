// peers.h - where EqCall sends calls that leave the process: the peer
// servers by facility and device, the bound of one call, and the addresses
// that answer get_monitor as not monitored; clear_served, which forgets
// them with the served locations (framework/objects/registry.h).

#ifndef FRAMEWORK_CALLS_PEERS_H
#define FRAMEWORK_CALLS_PEERS_H

#include <string>

#include "framework/values/eq_adr.h"

namespace norix {

// Peers: EqCall sends calls for FACILITY/DEVICE to the server listening at
// endpoint (protocol::Endpoint text form); a second call for the same pair
// replaces the endpoint. The addresses of this server are never sent.
void add_peer(const std::string& facility, const std::string& device, const std::string& endpoint);
// The endpoint that calls for the address go to, or "" when they stay here.
std::string peer_endpoint(const EqAdr& address);
// Bounds one call to a peer (connect, send and answer); 2000 ms by default.
void set_call_timeout(int milliseconds);

// Addresses whose text (EqAdr::show_adr form) is listed here answer
// get_monitor with ERR_NOT_MONITORED, so that callers fall back to get.
void set_unmonitorable(const std::string& address_text, bool unmonitorable);

// Forgets every location, the server name, the peers, the names found
// through a broker (norix::clear_names) and the unmonitorable
// addresses, ends the monitors (norix::clear_monitors), and restores the
// default call timeout and client event limit.
void clear_served();

namespace internal {

// The peer endpoint and the call timeout for the address; false when the
// call stays in this process (*timeout_ms is then left as it is). A
// configured peer wins over a name announced through a broker
// (framework/calls/names.h). Takes the registry mutex, then, for another
// server's address, the peer table's, then the name table's, one at a time.
bool route(const EqAdr* address, std::string* endpoint, int* timeout_ms);
// True when the address was made unmonitorable in this process.
bool is_unmonitorable(const EqAdr& address);

}  // namespace internal

}  // namespace norix

#endif  // FRAMEWORK_CALLS_PEERS_H
