// fleet_feed.cc - the broker's presence and state records into the name
// table and the fleet model (framework/host/fleet_feed.h).
//
// feed_mux guards the subscription ids; it is a leaf, held only around
// subscribe and unsubscribe, never in a handler.

#include "framework/host/fleet_feed.h"

#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "framework/base/log.h"
#include "framework/calls/broker.h"
#include "framework/calls/names.h"
#include "framework/host/fleet.h"
#include "framework/values/eq_adr.h"

namespace {

using json = nlohmann::json;

struct feed {
  std::mutex mux;
  std::shared_ptr<norix::BrokerLink> link;
  std::vector<int> ids;
};

feed& the_feed() {
  static feed* f = new feed;  // never destroyed: handlers may run while the process ends
  return *f;
}

// The levels of text split at "/".
std::vector<std::string> levels(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t end = text.find('/', start);
    out.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return out;
    start = end + 1;
  }
}

// True when the record's "server" names the topic's server.
bool names_topic_server(const json& record, const norix::fleet_topic& t) {
  auto server = record.find("server");
  if (server == record.end() || !server->is_string()) return false;
  EqAdr a;
  a.adr(server->get<std::string>() + "/x/y");
  return t.facility == a.facility() && t.device == a.device();
}

// Logs a refused record, at most once per REFUSAL_LOG_PERIOD: a flooding
// publisher must not fill the log.
void refused(const std::string& topic, const std::string& why) {
  static std::mutex mux;
  static std::chrono::steady_clock::time_point last;
  constexpr std::chrono::seconds REFUSAL_LOG_PERIOD{10};
  auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(mux);
    if (last.time_since_epoch().count() != 0 && now - last < REFUSAL_LOG_PERIOD) return;
    last = now;
  }
  norix::log_message(norix::LOG_WARN,
                     "broker record refused: " + topic.substr(0, 200) + ": " + why);
}

// On the link's thread.
void on_presence(const std::string& prefix, const norix::BrokerMessage& m) {
  norix::fleet_topic t;
  if (m.payload.empty() || !read_fleet_topic(prefix, m.topic, &t)) return;
  json record = json::parse(m.payload, nullptr, false);
  if (record.is_discarded() || !record.is_object() || !names_topic_server(record, t)) {
    refused(m.topic, "the record does not name the topic's server");
    return;
  }
  std::string why;
  if (norix::apply_presence(m.payload, &why) == norix::NAME_REFUSED) refused(m.topic, why);
  if (norix::fleet_presence(m.payload, &why) != 0) refused(m.topic, why);
}

// On the link's thread.
void on_state(const std::string& prefix, const norix::BrokerMessage& m) {
  norix::fleet_topic t;
  if (!read_fleet_topic(prefix, m.topic, &t) || t.location.empty()) return;
  std::string why;
  if (norix::fleet_state(t.facility, t.device, t.location, m.payload, &why) != 0)
    refused(m.topic, why);
}

}  // namespace

namespace norix {

bool read_fleet_topic(const std::string& prefix, const std::string& topic, fleet_topic* out) {
  if (topic.compare(0, prefix.size() + 1, prefix + "/") != 0) return false;
  std::vector<std::string> l = levels(topic.substr(prefix.size() + 1));
  bool presence = l.size() == 3 && l[2] == "presence";
  bool state = l.size() == 4 && l[3] == "state";
  if (!presence && !state) return false;
  fleet_topic t;
  if (!topic_unsegment(l[0], &t.facility) || !topic_unsegment(l[1], &t.device)) return false;
  if (state && !topic_unsegment(l[2], &t.location)) return false;
  if (t.facility.empty() || t.device.empty() || (state && t.location.empty())) return false;
  *out = t;
  return true;
}

int start_fleet_feed(const std::shared_ptr<BrokerLink>& link, const std::string& prefix, bool view,
                     std::string* why) {
  feed& f = the_feed();
  std::lock_guard<std::mutex> lock(f.mux);
  int presence = link->subscribe(prefix + "/+/+/presence",
                                 [prefix](const BrokerMessage& m) { on_presence(prefix, m); });
  int state = !view ? 0
                    : link->subscribe(prefix + "/+/+/+/state",
                                      [prefix](const BrokerMessage& m) { on_state(prefix, m); });
  if (presence < 0 || state < 0) {
    if (presence >= 0) link->unsubscribe(presence);
    if (state > 0) link->unsubscribe(state);
    *why = "the broker link takes no subscription to " + prefix + "/+/+/presence";
    return -1;
  }
  f.link = link;
  f.ids = {presence};
  if (!view) return 0;
  f.ids.push_back(state);
  std::weak_ptr<BrokerLink> weak = link;
  set_fleet_broker([weak] {
    std::shared_ptr<BrokerLink> l = weak.lock();
    return l != nullptr && l->connected();
  });
  set_fleet_enabled(true);
  return 0;
}

void stop_fleet_feed() {
  feed& f = the_feed();
  std::lock_guard<std::mutex> lock(f.mux);
  set_fleet_broker(nullptr);
  if (f.link == nullptr) return;
  for (int id : f.ids)
    f.link->unsubscribe(id);
  f.ids.clear();
  f.link.reset();
}

}  // namespace norix
