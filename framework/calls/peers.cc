// peers.cc - the peer table: where calls that leave the process go, their
// bound, and the addresses refused for monitoring.
//
// The peer table's mutex is a leaf, like the registry's, and never held
// with it or with the name table's (framework/calls/names.h). Calls for this server's own addresses
// do not take it.

#include "framework/calls/peers.h"

#include <pthread.h>

#include <string>
#include <vector>

#include "framework/calls/monitors.h"
#include "framework/calls/names.h"
#include "framework/calls/remote_call.h"
#include "framework/objects/registry.h"

namespace {

struct peer {
  std::string facility;
  std::string device;
  std::string endpoint;
};

struct peer_table {
  pthread_mutex_t mux = PTHREAD_MUTEX_INITIALIZER;
  std::vector<std::string> unmonitorable;  // address texts in show_adr form
  std::vector<peer> peers;
  int timeout_ms = norix::protocol::DEFAULT_TIMEOUT_MS;
};

// Never destroyed, like the registry.
peer_table& table() {
  static peer_table* t = new peer_table;
  return *t;
}

}  // namespace

namespace norix {

void set_unmonitorable(const std::string& address_text, bool unmonitorable) {
  EqAdr parsed;
  parsed.adr(address_text);
  std::string key = parsed.show_adr();
  peer_table& r = table();
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
  peer_table& r = table();
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
  internal::route(&address, &endpoint, &timeout_ms);
  return endpoint;
}

void set_call_timeout(int milliseconds) {
  peer_table& r = table();
  pthread_mutex_lock(&r.mux);
  r.timeout_ms = milliseconds > 0 ? milliseconds : protocol::DEFAULT_TIMEOUT_MS;
  pthread_mutex_unlock(&r.mux);
}

void clear_served() {
  clear_monitors();
  peer_table& r = table();
  pthread_mutex_lock(&r.mux);
  r.unmonitorable.clear();
  r.peers.clear();
  r.timeout_ms = protocol::DEFAULT_TIMEOUT_MS;
  pthread_mutex_unlock(&r.mux);
  clear_names();
  internal::clear_registry();
}

namespace internal {

bool route(const EqAdr* address, std::string* endpoint, int* timeout_ms) {
  if (is_this_server(address->facility(), address->device())) return false;
  peer_table& r = table();
  bool remote = false;
  pthread_mutex_lock(&r.mux);
  for (size_t i = 0; !remote && i < r.peers.size(); ++i) {
    const peer& p = r.peers[i];
    if (p.facility == address->facility() && p.device == address->device()) {
      *endpoint = p.endpoint;
      remote = true;
    }
  }
  *timeout_ms = r.timeout_ms;
  pthread_mutex_unlock(&r.mux);
  // A configured peer wins; otherwise a server announced through the broker.
  if (!remote) remote = resolve_name(address->facility(), address->device(), endpoint);
  return remote;
}

bool is_unmonitorable(const EqAdr& address) {
  std::string key = address.show_adr();
  peer_table& r = table();
  bool listed = false;
  pthread_mutex_lock(&r.mux);
  for (const std::string& a : r.unmonitorable)
    listed = listed || a == key;
  pthread_mutex_unlock(&r.mux);
  return listed;
}

}  // namespace internal

}  // namespace norix
