// fleet.cc - the fleet view's model (framework/host/fleet.h).
//
// fleet_mux guards everything below; it is a leaf. fleet_json copies what
// it needs under it and asks the name table (its own leaf mutex) after
// releasing it.

#include "framework/host/fleet.h"

#include <atomic>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "framework/calls/names.h"
#include "framework/host/server_config.h"
#include "framework/values/eq_adr.h"

namespace {

using json = nlohmann::json;
using server_key = std::pair<std::string, std::string>;  // facility, device

struct server_entry {
  json presence;                         // the last record; null until one came
  std::map<std::string, json> machines;  // location -> its last state record
};

struct fleet_model {
  std::mutex mux;
  std::function<bool()> broker;  // the connection probe; may be null
  std::map<server_key, server_entry> servers;
};

fleet_model& model() {
  static fleet_model* m = new fleet_model;  // never destroyed: the panel's threads read it
  return *m;
}

std::atomic<bool> enabled{false};

// "FACILITY/DEVICE" in address form, as the pages show it.
std::string server_text(const server_key& k) {
  EqAdr a;
  a.set(k.first.c_str(), "x", k.second.c_str(), "y");
  std::string text = a.show_adr();
  return text.substr(0, text.size() - 4);  // without "/x/y"
}

// An object record, or discarded with *why.
json parse_object(const std::string& payload, std::string* why) {
  if (payload.size() > norix::MAX_FLEET_RECORD) {
    *why = "record too long";
    return json(json::value_t::discarded);
  }
  json j = json::parse(payload, nullptr, false);
  if (!j.is_discarded() && !j.is_object()) {
    j = json(json::value_t::discarded);
  }
  if (j.is_discarded()) *why = "record is not a JSON object";
  return j;
}

// The entry of k, made when there is room; null when the model is full.
// Called with fleet_mux held.
server_entry* entry_of(fleet_model& m, const server_key& k) {
  auto at = m.servers.find(k);
  if (at != m.servers.end()) return &at->second;
  if (m.servers.size() >= norix::MAX_FLEET_SERVERS) return nullptr;
  return &m.servers[k];
}

// A presence field of the type the page expects, else fallback.
json field(const json& presence, const char* name, json::value_t type, json fallback) {
  if (!presence.is_object()) return fallback;
  auto at = presence.find(name);
  return at != presence.end() && at->type() == type ? *at : fallback;
}

}  // namespace

namespace norix {

void set_fleet_enabled(bool on) {
  enabled = on;
}

bool fleet_enabled() {
  return enabled;
}

int fleet_presence(const std::string& payload, std::string* why) {
  std::string reason;
  json j = parse_object(payload, &reason);
  server_key k;
  if (!j.is_discarded()) {
    auto server = j.find("server");
    auto online = j.find("online");
    EqAdr a;
    if (server != j.end() && server->is_string()) a.adr(server->get<std::string>() + "/x/y");
    k = {a.facility(), a.device()};
    std::string location = a.location();
    std::string property = a.property();
    if (online == j.end() || !online->is_boolean() || k.first.empty() || k.second.empty() ||
        location != "x" || property != "y") {
      reason = "presence record without server or online";
      j = json(json::value_t::discarded);
    }
  }
  int rc = -1;
  if (!j.is_discarded()) {
    fleet_model& m = model();
    std::lock_guard<std::mutex> lock(m.mux);
    server_entry* e = entry_of(m, k);
    if (e != nullptr) {
      e->presence = std::move(j);
      rc = 0;
    } else {
      reason = "too many servers";
    }
  }
  if (rc != 0 && why != nullptr) *why = reason;
  return rc;
}

int fleet_state(const std::string& facility, const std::string& device, const std::string& location,
                const std::string& payload, std::string* why) {
  std::string reason;
  json j;
  if (facility.empty() || device.empty() || location.empty()) {
    reason = "state of no FACILITY/DEVICE/LOCATION";
  } else if (!payload.empty()) {
    j = parse_object(payload, &reason);
  }
  int rc = -1;
  if (reason.empty()) {
    fleet_model& m = model();
    std::lock_guard<std::mutex> lock(m.mux);
    server_entry* e = entry_of(m, {facility, device});
    if (e == nullptr) {
      reason = "too many servers";
    } else if (payload.empty()) {
      e->machines.erase(location);
      rc = 0;
    } else if (e->machines.size() >= MAX_FLEET_MACHINES && e->machines.count(location) == 0) {
      reason = "too many machines of " + facility + "/" + device;
    } else {
      e->machines[location] = std::move(j);
      rc = 0;
    }
  }
  if (rc != 0 && why != nullptr) *why = reason;
  return rc;
}

void set_fleet_broker(std::function<bool()> connected) {
  fleet_model& m = model();
  std::lock_guard<std::mutex> lock(m.mux);
  m.broker = std::move(connected);
}

std::string fleet_json() {
  std::map<server_key, std::vector<std::string>> conflicts;
  for (const name_claim& c : name_claims()) {
    if (!c.conflicts.empty()) conflicts[{c.facility, c.device}] = c.conflicts;
  }
  const ServerConfig& config = process_config();
  json out = json::object();
  out["server"] = server_text({config.facility, config.device});
  json servers = json::array();
  fleet_model& m = model();
  std::function<bool()> probe;
  {
    std::lock_guard<std::mutex> lock(m.mux);
    probe = m.broker;
  }
  out["broker"] = probe != nullptr && probe();
  {
    std::lock_guard<std::mutex> lock(m.mux);
    for (const auto& kv : m.servers) {
      const json& p = kv.second.presence;
      json s = json::object();
      s["server"] = server_text(kv.first);
      s["online"] = field(p, "online", json::value_t::boolean, false);
      json since = field(p, "since_ms", json::value_t::number_unsigned, nullptr);
      s["since_ms"] =
          since.is_null() ? field(p, "since_ms", json::value_t::number_integer, nullptr) : since;
      s["panel"] = field(p, "panel", json::value_t::string, nullptr);
      s["endpoints"] = field(p, "endpoints", json::value_t::array, json::array());
      s["locations"] = field(p, "locations", json::value_t::array, json::array());
      auto c = conflicts.find(kv.first);
      s["conflicts"] = c == conflicts.end() ? json::array() : json(c->second);
      json machines = json::array();
      for (const auto& mk : kv.second.machines)
        machines.push_back({{"location", mk.first}, {"state", mk.second}});
      s["machines"] = std::move(machines);
      servers.push_back(std::move(s));
    }
  }
  out["servers"] = std::move(servers);
  // Replacement characters instead of a failure: a record's text is the
  // publisher's, and need not be UTF-8.
  return out.dump(-1, ' ', false, json::error_handler_t::replace);
}

void clear_fleet() {
  fleet_model& m = model();
  std::lock_guard<std::mutex> lock(m.mux);
  m.servers.clear();
  m.broker = nullptr;
}

}  // namespace norix
