// fleet.h - the fleet view's model: every server that the broker knows,
// online or offline, with its machines' latest state, as the JSON that the
// fleet page reads (GET /api/fleet, and its live stream).
//
// The broker link feeds it presence records (framework/calls/names.h for
// their form) and each location's state record, whose JSON object is kept
// as it came and handed to the page whole; the page reads its "fault",
// "error", "active" and "flows". The model keeps at most MAX_FLEET_SERVERS
// servers and MAX_FLEET_MACHINES machines of each, and refuses records
// longer than MAX_FLEET_RECORD bytes: a flooding or hostile publisher
// cannot make it grow without bound.
//
//   {"server":"FACILITY/DEVICE" (this one),"broker":true|false,
//    "servers":[{"server":"F/D","online":..,"since_ms":..,"panel":URL|null,
//      "endpoints":[..],"locations":[..],"conflicts":[[ENDPOINT..]..],
//      "machines":[{"location":..,"state":{..}}..]}..]}
//
// Servers are listed by name; a server known only from its machines'
// state (its presence not yet seen) is listed offline. fleet_mux guards
// the model; it is a leaf, and no hook or call runs under it.

#ifndef FRAMEWORK_HOST_FLEET_H
#define FRAMEWORK_HOST_FLEET_H

#include <stddef.h>

#include <functional>
#include <string>

namespace norix {

constexpr size_t MAX_FLEET_SERVERS = 4096;
constexpr size_t MAX_FLEET_MACHINES = 1024;  // of one server
constexpr size_t MAX_FLEET_RECORD = 65536;   // bytes of one record

// Turns the model on (a server with a broker): the fleet page is served
// only then. Before the server starts.
void set_fleet_enabled(bool enabled);
bool fleet_enabled();

// A presence record: 0, or -1 with the reason in *why (why may be null).
int fleet_presence(const std::string& payload, std::string* why);
// The state record of LOCATION of FACILITY/DEVICE (names as unescaped from
// the topic): 0, or -1 with the reason. An empty payload (a retained state
// cleared) forgets the machine.
int fleet_state(const std::string& facility, const std::string& device, const std::string& location,
                const std::string& payload, std::string* why);
// Whether the broker connection is up, as the page shows it: asked by
// fleet_json, under no lock of the model; null (the default) shows it down.
// Cleared before what it asks goes away.
void set_fleet_broker(std::function<bool()> connected);

// The model as the page reads it.
std::string fleet_json();

// Forgets every server and the broker probe.
void clear_fleet();

}  // namespace norix

#endif  // FRAMEWORK_HOST_FLEET_H
