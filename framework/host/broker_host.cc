// broker_host.cc - presence, state out and writes in through the broker.
//
// mux guards stopping and the writes waiting; it is a leaf (L5,
// fsm/fsm_core.h) and nothing is called while it is held. The link's
// handlers only queue or answer at once: the writes are carried out on the
// writer thread, the reads on the publisher thread.

#include "framework/host/broker_host.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "framework/base/json.h"
#include "framework/base/log.h"
#include "framework/calls/broker.h"
#include "framework/calls/names.h"
#include "framework/calls/protocol.h"
#include "framework/objects/journal.h"
#include "framework/values/eq_adr.h"
#include "framework/values/eq_data.h"
#include "framework/values/errors.h"

namespace norix {

namespace {

constexpr size_t MAX_PASSWORD = 4096;
constexpr std::chrono::seconds THREADS_END_LIMIT{2};  // what stop() waits for its threads
// The least time between two presences announced again (saw_presence): a
// publisher that floods the topic with offline records gets one a second.
constexpr std::chrono::milliseconds REANNOUNCE_GAP{1000};

BrokerFeed the_feed{nullptr};  // set before the server starts

long long wall_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The password of config: 0, or -1 with *why (which never holds it).
int read_password(const ServerConfig& c, std::string* out, std::string* why) {
  out->clear();
  if (!c.mqtt_password_env.empty()) {
    const char* value = getenv(c.mqtt_password_env.c_str());
    if (value == nullptr || *value == '\0') {
      *why = "mqtt_password_env: $" + c.mqtt_password_env + " is not set";
      return -1;
    }
    *out = value;
    return 0;
  }
  if (c.mqtt_password_file.empty()) return 0;
  const std::string& file = c.mqtt_password_file;
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    *why = "mqtt_password_file " + file + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  int rc = -1;
  if (!S_ISREG(st.st_mode)) {
    *why = "mqtt_password_file " + file + ": not a regular file";
  } else if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    *why = "mqtt_password_file " + file + ": readable by group or others (chmod 600 it)";
  } else {
    char buf[MAX_PASSWORD + 1];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 || static_cast<size_t>(n) > MAX_PASSWORD) {
      *why = "mqtt_password_file " + file + ": not read, or longer than 4096 bytes";
    } else {
      out->assign(buf, static_cast<size_t>(n));
      while (!out->empty() && (out->back() == '\n' || out->back() == '\r'))
        out->pop_back();
      rc = 0;
    }
  }
  close(fd);
  return rc;
}

std::string answer_json(int code, const std::string& text) {
  return "{\"code\":" + std::to_string(code) + ",\"text\":" + json_quote(text) + "}";
}

}  // namespace

void set_broker_feed(const BrokerFeed& feed) {
  the_feed = feed;
}

int check_broker_config(const ServerConfig& c, std::string* why) {
  if (c.mqtt_url.empty()) return 0;
  std::string found;
  auto note = [&found](const std::string& text) { found += (found.empty() ? "" : "\n") + text; };
  BrokerAddress a;
  std::string one;
  if (parse_broker_url(c.mqtt_url, &a, &one) != 0) note("mqtt: " + one);
  const std::pair<const char*, const std::string*> files[] = {
      {"mqtt_ca", &c.mqtt_ca}, {"mqtt_cert", &c.mqtt_cert}, {"mqtt_key", &c.mqtt_key}};
  for (const auto& f : files) {
    if (!f.second->empty() && access(f.second->c_str(), R_OK) != 0)
      note(std::string(f.first) + " " + *f.second + ": " + strerror(errno));
  }
  if (c.mqtt_cert.empty() != c.mqtt_key.empty()) note("mqtt_cert and mqtt_key go together");
  if (!a.tls && (!c.mqtt_ca.empty() || !c.mqtt_cert.empty()))
    note("mqtt_ca and mqtt_cert need an mqtts:// URL");
  std::string password;
  if (read_password(c, &password, &one) != 0) note(one);
  if (!password.empty() && c.mqtt_user.empty()) note("a broker password needs an mqtt_user item");
  if (found.empty()) return 0;
  *why = found;
  return -1;
}

struct BrokerHost::impl {
  ServerConfig config;
  std::string endpoint;
  std::string panel;
  std::function<std::string(const std::string&)> answer;
  std::shared_ptr<BrokerLink> link;
  std::string base;         // PREFIX/FACILITY/DEVICE
  std::string reply_below;  // PREFIX/reply/: where answers may go
  std::string instance;
  long long since_ms = 0;
  std::thread publisher;
  std::thread writer;

  std::mutex mux;  // guards the fields below
  std::condition_variable wake;
  bool stopping = false;
  std::deque<BrokerMessage> writes;
  std::set<std::string> claimants;  // other instances seen online under our name
  bool reannounce = false;          // another instance's offline record replaced ours
  int ended = 0;                    // threads that have left their loop

  // The publisher thread's own.
  std::chrono::steady_clock::time_point announced;  // when presence was last sent again
  // The writer thread's own: the holder of this server's name that the
  // last write was left to ("" while this server holds it).
  std::string left_to;

  std::string presence(bool online) const;
  void take_write(const BrokerMessage& m);
  void carry_out(const BrokerMessage& m);
  void saw_presence(const BrokerMessage& m);
  void publish_loop();
  void write_loop();
};

std::string BrokerHost::impl::presence(bool online) const {
  std::string out = "{\"server\":" + json_quote(config.facility + "/" + config.device) +
                    ",\"online\":" + (online ? "true" : "false") +
                    ",\"since_ms\":" + std::to_string(since_ms) +
                    ",\"instance\":" + json_quote(instance);
  if (!online) return out + "}";
  out += ",\"endpoints\":[" + json_quote(endpoint) +
         "],\"panel\":" + (panel.empty() ? std::string("null") : json_quote(panel)) +
         ",\"locations\":[";
  for (size_t i = 0; i < config.locations.size(); ++i) {
    const ServerConfig::location& l = config.locations[i];
    out += std::string(i == 0 ? "" : ",") + "{\"name\":" + json_quote(l.name) +
           ",\"code\":" + std::to_string(l.code) + ",\"type\":" + json_quote(l.type) +
           ",\"address\":" + json_quote(config.facility + "/" + config.device + "/" + l.name) + "}";
  }
  return out + "]}";
}

// On the link's thread: queued, or answered busy at once when the queue is
// full. A write whose answer would go outside the reply topics is dropped:
// the server may publish where an operator may not.
void BrokerHost::impl::take_write(const BrokerMessage& m) {
  if (!m.response_topic.empty() &&
      m.response_topic.compare(0, reply_below.size(), reply_below) != 0)
    return;
  // No longer than a socket client's request may be: answered at once, not
  // held in the queue.
  if (m.payload.size() >= protocol::MAX_REQUEST) {
    link->respond(m, answer_json(ERR_BAD_REQUEST, error_text(ERR_BAD_REQUEST)));
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mux);
    if (!stopping && writes.size() < MAX_WRITES) {
      writes.push_back(m);
      wake.notify_all();
      return;
    }
  }
  link->respond(m, answer_json(ERR_BUSY, error_text(ERR_BUSY)));
}

// On the writer thread: the write as a socket client's text write. While
// another server holds this server's name (it claimed it later and is
// online), the write is left to that one, unanswered here: a write
// published under a name is carried out once, and the requester gets the
// holder's answer, not a refusal that would race with it.
void BrokerHost::impl::carry_out(const BrokerMessage& m) {
  std::string holder;
  bool online = false;
  if (internal::name_holder(config.facility, config.device, &holder, &online) && online &&
      holder != instance) {
    if (holder != left_to) {
      left_to = holder;
      log_message(LOG_WARN, "writes under the name " + config.facility + "/" + config.device +
                                " are left to the server that holds it (" + holder.substr(0, 80) +
                                ")");
    }
    return;
  }
  left_to.clear();
  EqData result;
  std::string rest = m.topic.substr(std::min(m.topic.size(), base.size() + 1));
  size_t one = rest.find('/');
  size_t two = one == std::string::npos ? one : rest.find('/', one + 1);
  std::string location;
  std::string property;
  if (two == std::string::npos || rest.compare(one, two - one + 1, "/write/") != 0 ||
      !topic_unsegment(rest.substr(0, one), &location) ||
      !topic_unsegment(rest.substr(two + 1), &property)) {
    result.error(ERR_BAD_REQUEST, error_text(ERR_BAD_REQUEST));
  } else {
    EqAdr a;
    a.set(config.facility.c_str(), location.c_str(), config.device.c_str(), property.c_str());
    EqData value;
    value.set(m.payload);
    std::string line = protocol::set_request(a, value);
    JournalCaller who("broker:" + (m.sender.empty() ? std::string("?") : m.sender));
    if (line.size() >= protocol::MAX_REQUEST ||
        protocol::parse_answer(answer(line), &result) != 0) {
      result.error(ERR_BAD_REQUEST, error_text(ERR_BAD_REQUEST));
    }
  }
  int code = result.error();
  link->respond(m, answer_json(code, code == 0 ? error_text(0) : result.text_value()));
}

// Another server online under this server's name is logged once per claim.
// Another instance's offline record, as it comes (not a retained one: that
// comes on subscribing, right before this server's own presence goes out),
// has replaced this server's retained presence; the publisher sends the
// presence again. Only offline records do that, so two servers alive
// under one name never answer each other.
void BrokerHost::impl::saw_presence(const BrokerMessage& m) {
  if (m.payload.size() > MAX_PRESENCE_BYTES) return;
  nlohmann::json record = nlohmann::json::parse(m.payload, nullptr, false);
  if (!record.is_object()) return;
  auto online = record.find("online");
  auto id = record.find("instance");
  std::string other = id != record.end() && id->is_string() ? id->get<std::string>() : "?";
  if (online == record.end() || !online->is_boolean() || other == instance) return;
  other = other.substr(0, 80);
  if (!online->get<bool>()) {
    if (m.retained) return;
    std::lock_guard<std::mutex> lock(mux);
    reannounce = true;
    claimants.erase(other);  // logged again if it comes back
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mux);
    if (!claimants.insert(other).second) return;
  }
  log_message(LOG_ERROR, "the name " + config.facility + "/" + config.device +
                             " is claimed by another server (" + other + ")");
}

void BrokerHost::impl::publish_loop() {
  std::map<std::string, std::string> last;  // marked property topic: payload without time
  std::vector<BrokerItem> items;
  std::unique_lock<std::mutex> lock(mux);
  while (!stopping) {
    auto now = std::chrono::steady_clock::now();
    bool again = reannounce && now - announced >= REANNOUNCE_GAP;
    if (again) reannounce = false;
    lock.unlock();
    if (again) {
      announced = now;
      link->publish(base + "/presence", presence(true), true);
      log_message(LOG_INFO,
                  "presence announced again: another server's offline record replaced it");
    }
    items.clear();
    if (the_feed.collect != nullptr) the_feed.collect(&items);
    for (const BrokerItem& i : items) {
      link->publish(base + "/" + topic_segment(i.location) + (i.record ? "/transition" : "/state"),
                    i.payload, !i.record);
    }
    for (const auto& p : config.mqtt_publish) {
      EqAdr a;
      a.set(config.facility.c_str(), p.first.c_str(), config.device.c_str(), p.second.c_str());
      EqData v;
      if (protocol::parse_answer(answer(protocol::get_request(a)), &v) != 0)
        v.error(ERR_BAD_REQUEST, error_text(ERR_BAD_REQUEST));
      std::string body = v.error() != 0 ? "{\"error\":" + std::to_string(v.error()) +
                                              ",\"text\":" + json_quote(v.text_value())
                                        : "{\"value\":" + json_quote(v.text_value()) +
                                              ",\"type\":" + std::to_string(v.type());
      std::string topic =
          base + "/" + topic_segment(p.first) + "/property/" + topic_segment(p.second);
      std::string& was = last[topic];
      if (was == body) continue;
      was = body;
      link->publish(topic, body + ",\"time_ms\":" + std::to_string(wall_ms()) + "}", true);
    }
    lock.lock();
    wake.wait_for(lock, std::chrono::milliseconds(PUBLISH_PERIOD_MS), [this] { return stopping; });
  }
  ++ended;
  wake.notify_all();
}

void BrokerHost::impl::write_loop() {
  std::unique_lock<std::mutex> lock(mux);
  for (;;) {
    wake.wait(lock, [this] { return stopping || !writes.empty(); });
    if (stopping) break;
    BrokerMessage m = std::move(writes.front());
    writes.pop_front();
    lock.unlock();
    carry_out(m);
    lock.lock();
  }
  // Writes that came too late are refused, not left without an answer.
  for (const BrokerMessage& m : writes)
    link->respond(m, answer_json(ERR_BUSY, error_text(ERR_BUSY, "the server stops")));
  writes.clear();
  ++ended;
  wake.notify_all();
}

BrokerHost::BrokerHost(const ServerConfig& config, const std::string& endpoint,
                       const std::string& panel,
                       std::function<std::string(const std::string&)> answer)
    : impl_(new impl) {
  impl_->config = config;
  impl_->endpoint = endpoint;
  impl_->panel = panel;
  impl_->answer = std::move(answer);
}

BrokerHost::~BrokerHost() {
  stop();
}

int BrokerHost::start(std::string* why) {
  impl& m = *impl_;
  const ServerConfig& c = m.config;
  if (check_broker_config(c, why) != 0) return -1;
  m.since_ms = wall_ms();
  m.instance =
      "norix-" + c.device + "-" + std::to_string(getpid()) + "-" + std::to_string(m.since_ms);
  m.base = c.mqtt_prefix + "/" + topic_segment(c.facility) + "/" + topic_segment(c.device);
  m.reply_below = c.mqtt_prefix + "/reply/";
  m.announced = std::chrono::steady_clock::now() - REANNOUNCE_GAP;
  BrokerSettings s;
  s.url = c.mqtt_url;
  s.ca_file = c.mqtt_ca;
  s.cert_file = c.mqtt_cert;
  s.key_file = c.mqtt_key;
  s.user = c.mqtt_user;
  if (read_password(c, &s.password, why) != 0) return -1;
  s.client_id = m.instance;
  s.keepalive_s = c.mqtt_keepalive;
  s.will_topic = m.base + "/presence";
  s.will_payload = m.presence(false);
  s.reply_base = m.reply_below + topic_segment(m.instance);
  m.link = std::make_shared<BrokerLink>(s);
  impl* self = &m;
  m.link->subscribe(m.base + "/+/write/+", [self](const BrokerMessage& w) { self->take_write(w); });
  m.link->subscribe(m.base + "/presence",
                    [self](const BrokerMessage& p) { self->saw_presence(p); });
  // Retained: the link sends it again after every reconnect, also after
  // the broker published our last will.
  m.link->publish(m.base + "/presence", m.presence(true), true);
  if (m.link->start(why) != 0) return -1;
  set_process_broker(m.link, c.mqtt_prefix);
  std::shared_ptr<impl> keep = impl_;
  m.publisher = std::thread([keep] { keep->publish_loop(); });
  m.writer = std::thread([keep] { keep->write_loop(); });
  log_message(LOG_INFO, "broker " + c.mqtt_url + " as " + m.instance);
  return 0;
}

void BrokerHost::stop() {
  impl& m = *impl_;
  {
    std::lock_guard<std::mutex> lock(m.mux);
    if (m.stopping) return;
    m.stopping = true;
    m.wake.notify_all();
  }
  if (m.link == nullptr) return;
  set_process_broker(nullptr, "");
  // The threads end after the step they are in. A write held by an
  // application's property that never returns is left to the end of the
  // process rather than holding the stop.
  if (m.publisher.joinable()) {
    bool ended;
    {
      std::unique_lock<std::mutex> lock(m.mux);
      ended = m.wake.wait_for(lock, THREADS_END_LIMIT, [&m] { return m.ended == 2; });
    }
    if (ended) {
      m.publisher.join();
      m.writer.join();
    } else {
      m.publisher.detach();
      m.writer.detach();
    }
  }
  m.since_ms = wall_ms();
  m.link->publish(m.base + "/presence", m.presence(false), true);
  m.link->stop();
}

bool BrokerHost::connected() const {
  return impl_->link != nullptr && impl_->link->connected();
}

}  // namespace norix
