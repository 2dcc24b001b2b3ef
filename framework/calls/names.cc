// names.cc - the name table: presence records to endpoints, with the rule
// for a name that two servers claim (framework/calls/names.h).
//
// names_mux guards the table; it is a leaf, and nothing is logged or
// called while it is held.

#include "framework/calls/names.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "framework/base/log.h"
#include "framework/calls/endpoint.h"
#include "framework/calls/tls.h"
#include "framework/values/eq_adr.h"

namespace {

using json = nlohmann::json;
using name_key = std::pair<std::string, std::string>;  // facility, device

struct entry {
  norix::name_claim holder;
  std::vector<norix::name_claim> displaced;  // online claims the holder displaced, oldest first
};

struct name_table {
  std::mutex mux;
  std::map<name_key, entry> names;
};

// Never destroyed, like the peer table: calls may run while the process ends.
name_table& table() {
  static name_table* t = new name_table;
  return *t;
}

// The endpoint calls use among a record's: the first tls one when calls
// can verify it (tls), else the first tcp one, else the first.
std::string chosen(const std::vector<std::string>& endpoints, bool tls) {
  for (const std::string& e : endpoints) {
    if (tls && e.compare(0, 4, "tls:") == 0) return e;
  }
  for (const std::string& e : endpoints) {
    if (e.compare(0, 4, "tcp:") == 0) return e;
  }
  return endpoints.empty() ? "" : endpoints[0];
}

// A record read whole: false with *why when it is none.
bool read_record(const std::string& payload, norix::name_claim* c, std::string* why) {
  if (payload.size() > norix::MAX_PRESENCE_BYTES) {
    *why = "presence record too long";
    return false;
  }
  json j = json::parse(payload, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    *why = "presence record is not a JSON object";
    return false;
  }
  auto server = j.find("server");
  auto online = j.find("online");
  if (server == j.end() || !server->is_string() || online == j.end() || !online->is_boolean()) {
    *why = "presence record without server or online";
    return false;
  }
  // "FACILITY/DEVICE" in address form: escapes read as EqAdr reads them.
  const std::string& name = server->get_ref<const std::string&>();
  EqAdr a;
  a.adr(name + "/x/y");
  if (*a.facility() == '\0' || *a.device() == '\0' || std::string(a.location()) != "x" ||
      std::string(a.property()) != "y") {
    *why = "presence record names no FACILITY/DEVICE: " + name.substr(0, 80);
    return false;
  }
  c->facility = a.facility();
  c->device = a.device();
  c->online = online->get<bool>();
  auto instance = j.find("instance");
  if (instance != j.end() && instance->is_string()) c->instance = instance->get<std::string>();
  auto since = j.find("since_ms");
  c->since_ms = since != j.end() && since->is_number_integer() ? since->get<long long>() : 0;
  auto endpoints = j.find("endpoints");
  if (endpoints != j.end() && endpoints->is_array()) {
    for (const json& e : *endpoints) {
      if (c->endpoints.size() >= norix::MAX_ENDPOINTS) break;
      norix::protocol::Endpoint parsed;
      std::string ignored;
      if (e.is_string() &&
          norix::protocol::parse_endpoint(e.get<std::string>(), &parsed, &ignored) == 0) {
        c->endpoints.push_back(e.get<std::string>());
      }
    }
  }
  if (c->online && c->endpoints.empty()) {
    *why = "presence record of " + name.substr(0, 80) + " announces no endpoint";
    return false;
  }
  c->endpoint = chosen(c->endpoints, norix::protocol::tls_client_ready());
  return true;
}

// What tells claims apart.
std::string identity(const norix::name_claim& c) {
  if (!c.instance.empty()) return "i:" + c.instance;
  std::string id = "e:";
  for (const std::string& e : c.endpoints)
    id += e + " ";
  return id;
}

std::string shown(const norix::name_claim& c) {
  return (c.instance.empty() ? std::string("a server") : c.instance) + " at " + c.endpoint;
}

void drop(std::vector<norix::name_claim>* list, const std::string& id) {
  list->erase(std::remove_if(list->begin(), list->end(),
                             [&](const norix::name_claim& c) { return identity(c) == id; }),
              list->end());
}

// Applies c to the entry of its name. NAME_CONFLICT with *conflict when it
// displaced an online holder. Called with the table's mutex held.
int apply(entry* e, const norix::name_claim& c, std::string* conflict) {
  norix::name_claim& h = e->holder;
  std::string id = identity(c);
  int rc = norix::NAME_APPLIED;
  if (id == identity(h) || (c.instance.empty() && c.endpoints.empty())) {
    // The holder again: it may have come back, or gone.
    h.online = c.online;
    h.since_ms = c.since_ms;
    if (!c.endpoints.empty()) {
      h.endpoints = c.endpoints;
      h.endpoint = c.endpoint;
    }
    if (!h.online && !e->displaced.empty()) {
      h = e->displaced.back();
      e->displaced.pop_back();
    }
  } else if (c.online) {
    drop(&e->displaced, id);
    if (h.online) {
      rc = norix::NAME_CONFLICT;
      *conflict = c.facility + "/" + c.device + " is claimed by " + shown(c) + "; " + shown(h) +
                  " claimed it before and is still online";
      h.conflicts.clear();
      e->displaced.push_back(h);
    }
    h = c;
  } else {
    drop(&e->displaced, id);  // a displaced claim went, or a late will
  }
  h.conflicts.clear();
  for (const norix::name_claim& d : e->displaced)
    h.conflicts.push_back(shown(d));
  return rc;
}

}  // namespace

namespace norix {

int apply_presence(const std::string& payload, std::string* why) {
  std::string reason;
  name_claim c;
  if (!read_record(payload, &c, &reason)) {
    if (why != nullptr) *why = reason;
    return NAME_REFUSED;
  }
  name_table& t = table();
  int rc = NAME_APPLIED;
  {
    std::lock_guard<std::mutex> lock(t.mux);
    auto at = t.names.find({c.facility, c.device});
    if (at != t.names.end()) {
      rc = apply(&at->second, c, &reason);
    } else if (c.endpoints.empty()) {
      // An offline record without endpoints teaches nothing.
    } else if (t.names.size() >= MAX_NAMES) {
      rc = NAME_REFUSED;
      reason = "name table full";
    } else {
      t.names[{c.facility, c.device}].holder = c;
    }
  }
  if (rc == NAME_CONFLICT) log_message(LOG_WARN, "name conflict: " + reason);
  if (why != nullptr) *why = reason;
  return rc;
}

std::vector<name_claim> name_claims() {
  std::vector<name_claim> out;
  name_table& t = table();
  std::lock_guard<std::mutex> lock(t.mux);
  for (const auto& kv : t.names)
    out.push_back(kv.second.holder);
  return out;
}

void clear_names() {
  name_table& t = table();
  std::lock_guard<std::mutex> lock(t.mux);
  t.names.clear();
}

namespace internal {

bool resolve_name(const std::string& facility, const std::string& device, std::string* endpoint) {
  bool tls = protocol::tls_client_ready();  // chosen now: TLS may be set after a record came
  name_table& t = table();
  std::lock_guard<std::mutex> lock(t.mux);
  auto at = t.names.find({facility, device});
  if (at == t.names.end()) return false;
  const name_claim& h = at->second.holder;
  *endpoint = h.endpoints.empty() ? h.endpoint : chosen(h.endpoints, tls);
  return true;
}

bool name_holder(const std::string& facility, const std::string& device, std::string* instance,
                 bool* online) {
  name_table& t = table();
  std::lock_guard<std::mutex> lock(t.mux);
  auto at = t.names.find({facility, device});
  if (at == t.names.end()) return false;
  *instance = at->second.holder.instance;
  *online = at->second.holder.online;
  return true;
}

}  // namespace internal

}  // namespace norix
