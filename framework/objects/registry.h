// registry.h - the process's served locations, through which EqCall
// reaches properties; its server name, its peers, and its test hooks.

#ifndef FRAMEWORK_OBJECTS_REGISTRY_H
#define FRAMEWORK_OBJECTS_REGISTRY_H

#include <string>

#include "framework/values/eq_adr.h"

class EqFct;

// The registry's mutex is held only while a lookup or a change runs, never
// across a call into a location or property.

namespace norix {

void set_server(const std::string& facility, const std::string& device);
void serve_location(EqFct* location);  // EqCall can reach it by its name(); once
// Forgets it, waiting until the calls that reached it have returned; never
// call it from an operation of that location. ~EqFct calls it too, but only
// after the derived parts are gone: while clients may call, unserve a
// location before destroying it.
void unserve_location(EqFct* location);
// Forgets every location, the server name, the peers and the unmonitorable
// addresses, and restores the default call timeout.
void clear_served();

// Peers: EqCall sends calls for FACILITY/DEVICE to the server listening at
// endpoint (protocol::Endpoint text form); a second call for the same pair
// replaces the endpoint. The addresses of this server are never sent.
void add_peer(const std::string& facility, const std::string& device, const std::string& endpoint);
// The endpoint that calls for the address go to, or "" when they stay here.
std::string peer_endpoint(const EqAdr& address);
// Bounds one call to a peer (connect, send and answer); 2000 ms by default.
void set_call_timeout(int milliseconds);

// Bounds the events that clients have queued for one machine: beyond it a
// client's EVENT write is refused as busy. 1000 by default.
void set_client_event_limit(int events);
int client_event_limit();

// Addresses whose text (EqAdr::show_adr form) is listed here answer
// get_monitor with ERR_NOT_MONITORED, so that callers fall back to get.
void set_unmonitorable(const std::string& address_text, bool unmonitorable);

}  // namespace norix

#endif  // FRAMEWORK_OBJECTS_REGISTRY_H
