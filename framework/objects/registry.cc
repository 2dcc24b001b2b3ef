// registry.cc - the process-wide registry of served locations through which
// client calls reach properties.
//
// The registry mutex is a leaf: it is held while the registry is searched or
// changed, never while a location or property runs. A call pins the entry
// it found (busy count) and calls the location after releasing the mutex;
// unserve_location waits on the idle condition until the entry's calls have
// returned, so a location is never reached after it was unserved.

#include "framework/objects/registry.h"

#include <pthread.h>

#include <atomic>
#include <string>
#include <vector>

#include "framework/objects/eq_fct.h"
#include "framework/values/errors.h"
#include "framework/values/internal.h"

struct norix::internal::ServedLocation {
  EqFct* location;
  int busy;  // calls in flight on this location; guarded by the registry mutex
};

namespace {

using norix::internal::is_wildcard_or_empty;
using norix::internal::set_name_entry;
using served = norix::internal::ServedLocation;

struct registry {
  pthread_mutex_t mux = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t idle = PTHREAD_COND_INITIALIZER;  // signalled when a busy count drops to 0
  bool has_server = false;
  std::string facility;
  std::string device;
  std::vector<served*> list;  // in serving order; entries owned
};

// Never destroyed: locations may be unserved from destructors of other
// static objects at process exit.
registry& reg() {
  static registry* r = new registry;
  return *r;
}

constexpr int DEFAULT_CLIENT_EVENTS = 1000;
std::atomic<int> client_events{DEFAULT_CLIENT_EVENTS};  // events clients may queue per machine

// Called with the registry mutex held: 0 when facility and device name this
// server, else ERR_NO_SERVER.
int check_server(const registry& r, const EqAdr* address) {
  return r.has_server && r.facility == address->facility() && r.device == address->device()
             ? 0
             : ERR_NO_SERVER;
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

void set_client_event_limit(int events) {
  client_events.store(events > 0 ? events : DEFAULT_CLIENT_EVENTS);
}

int client_event_limit() {
  return client_events.load();
}

namespace internal {

bool is_this_server(const std::string& facility, const std::string& device) {
  registry& r = reg();
  pthread_mutex_lock(&r.mux);
  bool here = r.has_server && r.facility == facility && r.device == device;
  pthread_mutex_unlock(&r.mux);
  return here;
}

int pin_location(EqAdr* address, ServedLocation** out) {
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

EqFct* pinned_location(const ServedLocation* pinned) {
  return pinned->location;
}

void unpin_location(ServedLocation* e) {
  registry& r = reg();
  pthread_mutex_lock(&r.mux);
  if (--e->busy == 0) pthread_cond_broadcast(&r.idle);
  pthread_mutex_unlock(&r.mux);
}

int served_names(EqAdr* address, EqData* out, bool* answered) {
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
  *answered = false;
  if (code != 0) return code;
  if (listing_one) {
    set_name_entry(out, 0, 0, one_name);
    *answered = true;
  } else if (listing_locations) {
    out->set_type(DATA_USTR);
    for (size_t i = 0; i < pinned.size(); ++i) {
      set_name_entry(out, static_cast<int>(i), pinned[i]->location->fct_code(),
                     pinned[i]->location->name());
      unpin_location(pinned[i]);
    }
    *answered = true;
  }
  return 0;
}

const void* property_identity(EqAdr* address) {
  served* e = nullptr;
  if (pin_location(address, &e) != 0) return nullptr;
  const void* p = e->location->find_property(address->property());
  unpin_location(e);
  return p;
}

void clear_registry() {
  registry& r = reg();
  pthread_mutex_lock(&r.mux);
  std::vector<served*> gone;
  gone.swap(r.list);
  r.has_server = false;
  r.facility.clear();
  r.device.clear();
  client_events.store(DEFAULT_CLIENT_EVENTS);
  for (served* e : gone) {
    wait_idle(r, e);
    delete e;
  }
  pthread_mutex_unlock(&r.mux);
}

}  // namespace internal

}  // namespace norix
