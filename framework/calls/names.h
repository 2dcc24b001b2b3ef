// names.h - servers found by name: the presence records that servers
// announce through a broker, kept as FACILITY/DEVICE -> endpoint, so that
// calls for a server that is not a configured peer find it
// (framework/calls/peers.h). The broker link feeds the records in; this
// table never talks to a broker itself.
//
// A presence record is JSON (docs/facility.md):
//   {"server":"FACILITY/DEVICE","online":true,"since_ms":..,"instance":..,
//    "endpoints":["unix:PATH"|"tcp:HOST:PORT"|"tls:HOST:PORT",..],..}
// (the server text in EqAdr::show_adr form, so a "/" inside a name is
// written "\/"; fields other than these are not read here). An offline
// record (a last will) may carry no endpoints.
//
// Rules:
// - A configured `peer` line always wins: the table is asked only for
//   names that no peer line names.
// - Claims are told apart by their "instance" (by their endpoint list
//   where a record has none). Two servers that claim one name publish to
//   the same retained presence topic, so every subscriber ends up seeing
//   the latest claim: the latest claim seen online holds the name, as the
//   retained record does. The claim it displaced, while it stays online, is
//   kept as a conflict (logged as it happens; the fleet view shows it) and takes
//   the name back when the holder goes offline. An offline record of an
//   instance that does not hold the name (the late last will of a server
//   restarted since) changes nothing but the conflicts.
// - An offline holder keeps its last endpoint: calls to it fail at once
//   ("server unreachable"), and a monitor of it recovers by itself once it
//   listens there again or announces another endpoint.
// - Of a record's endpoints, calls use the first tls one when this process
//   can verify it (framework/calls/tls.h), else the first tcp one (a Unix
//   socket serves only its own host), else the first.
// - A name that no record announces stays "unknown server", as without a
//   broker.
//
// The table's mutex is a leaf: route() takes it after releasing the peer
// table's, and no call is made under it.

#ifndef FRAMEWORK_CALLS_NAMES_H
#define FRAMEWORK_CALLS_NAMES_H

#include <string>
#include <vector>

namespace norix {

// What apply_presence did with a record.
constexpr int NAME_APPLIED = 0;   // the claim holds the name, gave it up, or changed nothing
constexpr int NAME_CONFLICT = 1;  // the claim displaced another that is still online
constexpr int NAME_REFUSED = -1;  // not a presence record, or beyond the table's bounds

constexpr size_t MAX_NAMES = 4096;            // servers the table keeps
constexpr size_t MAX_ENDPOINTS = 16;          // endpoints read from one record
constexpr size_t MAX_PRESENCE_BYTES = 65536;  // of one record's text

// Applies a presence record; one of the codes above, with the reason of a
// refusal or conflict in *why (why may be null).
int apply_presence(const std::string& payload, std::string* why);

// A name's holder and the claims refused while it held the name.
struct name_claim {
  std::string facility;
  std::string device;
  std::string instance;                // "" when the record named none
  std::string endpoint;                // what calls use
  std::vector<std::string> endpoints;  // as announced
  bool online = false;
  long long since_ms = 0;
  std::vector<std::string> conflicts;  // "INSTANCE at ENDPOINT" of the displaced online claims
};
// Every name the table knows, by facility and device.
std::vector<name_claim> name_claims();

// Forgets every name (also done by clear_served).
void clear_names();

namespace internal {

// The endpoint that calls for FACILITY/DEVICE go to; false when no record
// names it. Takes the name table's mutex.
bool resolve_name(const std::string& facility, const std::string& device, std::string* endpoint);

// The instance that holds FACILITY/DEVICE ("" when its record named none)
// and whether it is online; false when no record names it. Takes the name
// table's mutex.
bool name_holder(const std::string& facility, const std::string& device, std::string* instance,
                 bool* online);

}  // namespace internal

}  // namespace norix

#endif  // FRAMEWORK_CALLS_NAMES_H
