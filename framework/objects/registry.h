// registry.h - the process's served locations, through which EqCall
// reaches properties, and its server name; the bound of the events clients
// may queue. The peers that calls leave the process for, and clear_served,
// are in framework/calls/peers.h.

#ifndef FRAMEWORK_OBJECTS_REGISTRY_H
#define FRAMEWORK_OBJECTS_REGISTRY_H

#include <string>

#include "framework/values/eq_adr.h"
#include "framework/values/eq_data.h"

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

// Bounds the events that clients have queued for one machine: beyond it a
// client's EVENT write is refused as busy. 1000 by default.
void set_client_event_limit(int events);
int client_event_limit();

namespace internal {

// What the calls (framework/calls/) ask of the registry; each takes the
// registry mutex for its own duration only.

// True when facility and device name this process's server.
bool is_this_server(const std::string& facility, const std::string& device);

// A served location pinned by a call: it stays served until unpinned.
struct ServedLocation;
// Finds and pins the location the address names. 0 and *out, or the error:
// ERR_NO_SERVER, ERR_BAD_ADDRESS for location "*", ERR_NO_LOCATION (also
// for an empty location).
int pin_location(EqAdr* address, ServedLocation** out);
EqFct* pinned_location(const ServedLocation* pinned);
void unpin_location(ServedLocation* pinned);

// The names answers that the registry gives itself: facility "*" or device
// "*" (one name), and location "*" or empty (the served locations, text =
// name, i1_data = fct_code()). 0 with *answered set when it answered into
// *out, 0 with *answered false when the location's own names() answers, or
// ERR_NO_SERVER.
int served_names(EqAdr* address, EqData* out, bool* answered);

// The property an address names in this process, as an identity to compare
// with the one value_changed reports (never called through), or null. Takes
// the registry mutex and the location's pin.
const void* property_identity(EqAdr* address);

// Forgets every location and the server name, and restores the default
// client event limit (part of norix::clear_served).
void clear_registry();

}  // namespace internal

}  // namespace norix

#endif  // FRAMEWORK_OBJECTS_REGISTRY_H
