// eq_call.cc - client calls (EqCall) and the process-wide registry of served
// locations through which they reach properties.
//
// The registry mutex is a leaf: it is held while the registry is searched or
// changed, never while a location or property runs. A call pins the entry
// it found (busy count) and calls the location after releasing the mutex;
// unserve_location waits on the idle condition until the entry's calls have
// returned, so a location is never reached after it was unserved.
//
// Calls for a peer's facility and device leave the process through the wire
// protocol; the registry mutex is released before the connection is made.

#include "framework/calls/eq_call.h"

#include <atomic>
#include <string>
#include <vector>

#include "framework/calls/monitors.h"
#include "framework/calls/protocol.h"
#include "framework/internal.h"
#include "framework/objects/eq_fct.h"
#include "framework/objects/registry.h"
#include "framework/values/errors.h"

namespace {

using norix::internal::is_wildcard_or_empty;
using norix::internal::set_name_entry;

struct served {
  EqFct* location;
  int busy;  // calls in flight on this location; guarded by the registry mutex
};

struct peer {
  std::string facility;
  std::string device;
  std::string endpoint;
};

struct registry {
  pthread_mutex_t mux = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t idle = PTHREAD_COND_INITIALIZER;  // signalled when a busy count drops to 0
  bool has_server = false;
  std::string facility;
  std::string device;
  std::vector<served*> list;               // in serving order; entries owned
  std::vector<std::string> unmonitorable;  // address texts in show_adr form
  std::vector<peer> peers;
  int timeout_ms = norix::protocol::DEFAULT_TIMEOUT_MS;
};

// Never destroyed: locations may be unserved from destructors of other
// static objects at process exit.
registry& reg() {
  static registry* r = new registry;
  return *r;
}

std::atomic<long> update_calls{0};

constexpr int DEFAULT_CLIENT_EVENTS = 1000;
std::atomic<int> client_events{DEFAULT_CLIENT_EVENTS};  // events clients may queue per machine

int fail(EqData* result, int code) {
  result->error(code, norix::error_text(code));
  return code;
}

// The peer endpoint and the call timeout for the address; false when the
// call stays in this process. Takes the registry mutex.
bool route(const EqAdr* address, std::string* endpoint, int* timeout_ms) {
  registry& r = reg();
  bool remote = false;
  pthread_mutex_lock(&r.mux);
  bool here = r.has_server && r.facility == address->facility() && r.device == address->device();
  for (size_t i = 0; !here && !remote && i < r.peers.size(); ++i) {
    const peer& p = r.peers[i];
    if (p.facility == address->facility() && p.device == address->device()) {
      *endpoint = p.endpoint;
      remote = true;
    }
  }
  *timeout_ms = r.timeout_ms;
  pthread_mutex_unlock(&r.mux);
  return remote;
}

// One request to a peer. While the monitors know the peer to be lost, the
// call is answered at once instead of waiting out its timeout: a silent
// peer must not hold every caller, and the engines behind it, for seconds
// per call.
int call_peer(const std::string& endpoint, const std::string& line, EqData* result,
              int timeout_ms) {
  if (norix::internal::monitor_peer_down(endpoint)) return fail(result, ERR_UNREACHABLE);
  return norix::protocol::call(endpoint, line, result, timeout_ms);
}

// Called with the registry mutex held: 0 when facility and device name this
// server, else ERR_NO_SERVER.
int check_server(const registry& r, const EqAdr* address) {
  return r.has_server && r.facility == address->facility() && r.device == address->device()
             ? 0
             : ERR_NO_SERVER;
}

// Finds and pins the location the address names. 0 and *out, or the error:
// ERR_NO_SERVER, ERR_BAD_ADDRESS for location "*", ERR_NO_LOCATION (also
// for an empty location).
int pin(EqAdr* address, served** out) {
  registry& r = reg();
  int code = ERR_NO_LOCATION;
  pthread_mutex_lock(&r.mux);
  if (check_server(r, address) != 0) {
    code = ERR_NO_SERVER;
  } else if (std::string(address->location()) == "*") {
    code = ERR_BAD_ADDRESS;
  } else if (address->location()[0] != '\0') {
    for (served* e : r.list) {
      if (e->location->name() == address->location()) {
        ++e->busy;
        *out = e;
        code = 0;
        break;
      }
    }
  }
  pthread_mutex_unlock(&r.mux);
  return code;
}

void unpin(served* e) {
  registry& r = reg();
  pthread_mutex_lock(&r.mux);
  if (--e->busy == 0) pthread_cond_broadcast(&r.idle);
  pthread_mutex_unlock(&r.mux);
}

// Called with the registry mutex held; releases it while it waits.
void wait_idle(registry& r, served* e) {
  while (e->busy > 0)
    pthread_cond_wait(&r.idle, &r.mux);
}

}  // namespace

namespace norix {

void set_server(const std::string& facility, const std::string& device) {
  registry& r = reg();
  pthread_mutex_lock(&r.mux);
  r.has_server = true;
  r.facility = facility;
  r.device = device;
  pthread_mutex_unlock(&r.mux);
}

void serve_location(EqFct* location) {
  if (location == nullptr) return;
  registry& r = reg();
  pthread_mutex_lock(&r.mux);
  bool known = false;
  for (served* e : r.list)
    known = known || e->location == location;
  if (!known) r.list.push_back(new served{location, 0});
  pthread_mutex_unlock(&r.mux);
}

void unserve_location(EqFct* location) {
  registry& r = reg();
  pthread_mutex_lock(&r.mux);
  for (size_t i = 0; i < r.list.size(); ++i) {
    served* e = r.list[i];
    if (e->location == location) {
      r.list.erase(r.list.begin() + i);
      wait_idle(r, e);
      delete e;
      break;
    }
  }
  pthread_mutex_unlock(&r.mux);
}

void clear_served() {
  clear_monitors();
  registry& r = reg();
  pthread_mutex_lock(&r.mux);
  std::vector<served*> gone;
  gone.swap(r.list);
  r.has_server = false;
  r.facility.clear();
  r.device.clear();
  r.unmonitorable.clear();
  r.peers.clear();
  r.timeout_ms = protocol::DEFAULT_TIMEOUT_MS;
  client_events.store(DEFAULT_CLIENT_EVENTS);
  for (served* e : gone) {
    wait_idle(r, e);
    delete e;
  }
  pthread_mutex_unlock(&r.mux);
}

void set_unmonitorable(const std::string& address_text, bool unmonitorable) {
  EqAdr parsed;
  parsed.adr(address_text);
  std::string key = parsed.show_adr();
  registry& r = reg();
  pthread_mutex_lock(&r.mux);
  std::vector<std::string>& list = r.unmonitorable;
  bool listed = false;
  for (size_t i = 0; i < list.size() && !listed; ++i) {
    if (list[i] == key) {
      listed = true;
      if (!unmonitorable) list.erase(list.begin() + i);
    }
  }
  if (unmonitorable && !listed) list.push_back(key);
  pthread_mutex_unlock(&r.mux);
}

void add_peer(const std::string& facility, const std::string& device, const std::string& endpoint) {
  registry& r = reg();
  pthread_mutex_lock(&r.mux);
  bool known = false;
  for (peer& p : r.peers) {
    if (p.facility == facility && p.device == device) {
      p.endpoint = endpoint;
      known = true;
    }
  }
  if (!known) r.peers.push_back(peer{facility, device, endpoint});
  pthread_mutex_unlock(&r.mux);
}

std::string peer_endpoint(const EqAdr& address) {
  std::string endpoint;
  int timeout_ms = 0;
  route(&address, &endpoint, &timeout_ms);
  return endpoint;
}

void set_call_timeout(int milliseconds) {
  registry& r = reg();
  pthread_mutex_lock(&r.mux);
  r.timeout_ms = milliseconds > 0 ? milliseconds : protocol::DEFAULT_TIMEOUT_MS;
  pthread_mutex_unlock(&r.mux);
}

void set_client_event_limit(int events) {
  client_events.store(events > 0 ? events : DEFAULT_CLIENT_EVENTS);
}

int client_event_limit() {
  return client_events.load();
}

long update_count() {
  return update_calls.load();
}

namespace internal {

const void* property_identity(EqAdr* address) {
  served* e = nullptr;
  if (pin(address, &e) != 0) return nullptr;
  const void* p = e->location->find_property(address->property());
  unpin(e);
  return p;
}

bool is_unmonitorable(const EqAdr& address) {
  std::string key = address.show_adr();
  registry& r = reg();
  bool listed = false;
  pthread_mutex_lock(&r.mux);
  for (const std::string& a : r.unmonitorable)
    listed = listed || a == key;
  pthread_mutex_unlock(&r.mux);
  return listed;
}

}  // namespace internal

}  // namespace norix

EqCall::EqCall() = default;
EqCall::~EqCall() = default;

int EqCall::get(EqAdr* address, EqData* request, EqData* result) {
  EqData spare;
  EqData* r = result != nullptr ? result : &spare;
  if (r != request) r->init();
  if (address == nullptr) return fail(r, ERR_BAD_ADDRESS);
  std::string endpoint;
  int timeout_ms = 0;
  if (route(address, &endpoint, &timeout_ms)) {
    return call_peer(endpoint, norix::protocol::get_request(*address), r, timeout_ms);
  }
  served* e = nullptr;
  int code = pin(address, &e);
  if (code != 0) return fail(r, code);
  code = e->location->get(address, request, r);
  unpin(e);
  return code;
}

int EqCall::set(EqAdr* address, EqData* value, EqData* result) {
  EqData spare;
  EqData* r = result != nullptr ? result : &spare;
  if (r != value) r->init();
  if (address == nullptr) return fail(r, ERR_BAD_ADDRESS);
  if (value == nullptr) return fail(r, ERR_WRONG_TYPE);
  std::string endpoint;
  int timeout_ms = 0;
  if (route(address, &endpoint, &timeout_ms)) {
    if (value->error() != 0) return fail(r, ERR_WRONG_TYPE);
    std::string line = norix::protocol::set_request(*address, *value);
    return call_peer(endpoint, line, r, timeout_ms);
  }
  served* e = nullptr;
  int code = pin(address, &e);
  if (code != 0) return fail(r, code);
  code = e->location->set(address, value, r);
  unpin(e);
  return code;
}

int EqCall::names(EqAdr* address, EqData* result) {
  EqData spare;
  EqData* out = result != nullptr ? result : &spare;
  out->init();
  if (address == nullptr) return fail(out, ERR_BAD_ADDRESS);
  std::string endpoint;
  int timeout_ms = 0;
  if (route(address, &endpoint, &timeout_ms)) {
    return call_peer(endpoint, norix::protocol::names_request(*address), out, timeout_ms);
  }
  registry& r = reg();
  std::string facility = address->facility();
  std::string device = address->device();
  int code = 0;
  bool listing_one = false;  // facility "*" or device "*": one name
  std::string one_name;
  bool listing_locations = false;
  std::vector<served*> pinned;
  pthread_mutex_lock(&r.mux);
  if (!r.has_server || (facility != "*" && facility != r.facility) ||
      (facility != "*" && device != "*" && device != r.device)) {
    code = ERR_NO_SERVER;
  } else if (facility == "*" || device == "*") {
    listing_one = true;
    one_name = facility == "*" ? r.facility : r.device;
  } else if (is_wildcard_or_empty(address->location())) {
    listing_locations = true;
    for (served* e : r.list) {
      ++e->busy;
      pinned.push_back(e);
    }
  }
  pthread_mutex_unlock(&r.mux);
  if (code != 0) return fail(out, code);
  if (listing_one) {
    set_name_entry(out, 0, 0, one_name);
    return 0;
  }
  if (listing_locations) {
    out->set_type(DATA_USTR);
    for (size_t i = 0; i < pinned.size(); ++i) {
      set_name_entry(out, static_cast<int>(i), pinned[i]->location->fct_code(),
                     pinned[i]->location->name());
      unpin(pinned[i]);
    }
    return 0;
  }
  served* e = nullptr;
  code = pin(address, &e);
  if (code != 0) return fail(out, code);
  code = e->location->names(address, out);
  unpin(e);
  return code;
}

int EqCall::get_monitor(EqAdr* address, EqData* request, EqData* result, int /*mode*/,
                        float /*rate*/, EQ_CB /*cb*/, void* /*user*/) {
  if (address != nullptr) {
    EqData spare;
    EqData* res = result != nullptr ? result : &spare;
    if (norix::internal::is_unmonitorable(*address)) {
      if (res != request) res->init();
      return fail(res, ERR_NOT_MONITORED);
    }
    std::string endpoint;
    int timeout_ms = 0;
    if (route(address, &endpoint, &timeout_ms)) {
      return norix::internal::monitor_read(endpoint, address, res);
    }
  }
  return get(address, request, result);
}

int EqCall::update(int /*mode*/) {
  ++update_calls;
  norix::internal::monitor_sweep();
  return 0;
}
