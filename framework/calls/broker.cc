// broker.cc - the link to an MQTT 5 broker, on libmosquitto.
//
// One thread (run) owns the mosquitto handle: it connects, polls the
// socket and the wake descriptor, reads, writes and keeps the connection
// alive, and hands the waiting payloads to the connection. Other threads
// touch only what the mutex guards (the latest payloads, the answers to
// send, the subscriptions, the waiting requests) and write the wake
// descriptor. The mutex is a leaf: no libmosquitto call, handler or
// socket call runs while it is held.

#include "framework/calls/broker.h"

#include <errno.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "framework/base/log.h"

namespace norix {

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int BACKOFF_FIRST_MS = 250;
constexpr int BACKOFF_MAX_MS = 10000;
constexpr int CONNECT_LIMIT_MS = 10000;  // from the TCP connect to the broker's CONNACK
constexpr int POLL_MS = 100;             // keepalive checks run at least this often
constexpr int STOP_FLUSH_MS = 1000;      // what stop() gives the waiting payloads
constexpr size_t MAX_ANSWERS = 4096;     // answers and requests waiting to be sent
constexpr int QOS = 1;

std::once_flag lib_once;

bool valid_topic(const std::string& topic, bool filter) {
  if (topic.empty() || topic.size() > 65535 || topic.find('\0') != std::string::npos) return false;
  if (filter) return mosquitto_sub_topic_check(topic.c_str()) == MOSQ_ERR_SUCCESS;
  return mosquitto_pub_topic_check(topic.c_str()) == MOSQ_ERR_SUCCESS;
}

bool readable_file(const std::string& file, const char* what, std::string* why) {
  if (file.empty()) return true;
  if (access(file.c_str(), R_OK) == 0) return true;
  *why = std::string(what) + " " + file + ": " + strerror(errno);
  return false;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool needs_escape(unsigned char c) {
  return c == '%' || c == '/' || c == '+' || c == '#' || c < 0x20 || c == 0x7f;
}

}  // namespace

int parse_broker_url(const std::string& url, BrokerAddress* out, std::string* why) {
  BrokerAddress a;
  std::string rest;
  if (url.compare(0, 7, "mqtt://") == 0) {
    rest = url.substr(7);
    a.port = 1883;
  } else if (url.compare(0, 8, "mqtts://") == 0) {
    rest = url.substr(8);
    a.port = 8883;
    a.tls = true;
  } else {
    *why = "the broker URL must start with mqtt:// or mqtts://";
    return -1;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  size_t colon = rest.rfind(':');
  a.host = rest.substr(0, colon);
  if (colon != std::string::npos) {
    std::string port = rest.substr(colon + 1);
    char* end = nullptr;
    errno = 0;
    long p = port.empty() ? 0 : strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || errno != 0 || p < 1 || p > 65535) {
      *why = "the broker URL's port is not a number from 1 to 65535";
      return -1;
    }
    a.port = static_cast<int>(p);
  }
  if (a.host.empty() || a.host.find_first_of("/@?# \t") != std::string::npos) {
    *why = "the broker URL names no host";
    return -1;
  }
  *out = a;
  return 0;
}

std::string topic_segment(const std::string& name) {
  if (name.empty()) return "%";
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size());
  for (char ch : name) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (needs_escape(c)) {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

bool topic_unsegment(const std::string& level, std::string* name) {
  if (level == "%") {
    name->clear();
    return true;
  }
  std::string out;
  for (size_t i = 0; i < level.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(level[i]);
    if (c != '%') {
      if (needs_escape(c)) return false;
      out += level[i];
      continue;
    }
    if (i + 2 >= level.size()) return false;
    int hi = hex_value(level[i + 1]);
    int lo = hex_value(level[i + 2]);
    if (hi < 0 || lo < 0) return false;
    unsigned char decoded = static_cast<unsigned char>(hi * 16 + lo);
    if (!needs_escape(decoded)) return false;  // one spelling per name
    out += static_cast<char>(decoded);
    i += 2;
  }
  if (out.empty()) return false;
  *name = out;
  return true;
}

struct BrokerLink::impl {
  BrokerSettings settings;
  BrokerAddress address;
  mosquitto* mosq = nullptr;
  std::thread thread;
  int wake_fd = -1;
  std::string reply_filter;  // reply_base/r, where answers come; "" without requests

  // A payload waiting to be sent, with MQTT 5 request properties.
  struct outgoing {
    std::string topic;
    std::string payload;
    bool retain = false;
    std::string response_topic;
    std::string correlation;
  };
  struct latest {
    std::string payload;
    bool retain = false;
    bool dirty = false;  // queued in dirty
  };
  struct subscription {
    int id;
    std::string filter;
    Handler handler;
  };
  struct waiter {
    bool done = false;
    std::string answer;
  };

  mutable std::mutex mux;  // guards the fields below, up to the next comment
  std::condition_variable answered;
  std::unordered_map<std::string, latest> topics;
  std::deque<std::string> dirty;  // topics whose latest payload is unsent, in order
  std::deque<outgoing> answers;   // responses and requests, sent before the topics
  std::vector<subscription> subs;
  std::vector<std::string> to_subscribe;    // filters to send on this connection
  std::vector<std::string> to_unsubscribe;  // likewise
  std::map<std::string, waiter*> waiting;   // requests by correlation data
  std::function<void()> connect_handler;
  int next_sub = 1;
  unsigned long long next_request = 1;
  bool stopping = false;
  BrokerLink::Counts counts;

  // The link thread's own.
  std::atomic<bool> up{false};  // CONNACK accepted, not yet lost
  bool just_connected = false;  // set by the callback, handled after the read
  bool lost = false;            // set by the disconnect callback
  int inflight = 0;             // published, not yet acknowledged

  void wake() {
    uint64_t one = 1;
    if (wake_fd >= 0) (void)!write(wake_fd, &one, sizeof one);
  }
  void run();
  bool wait_or_stop(int ms);
  void after_connect();
  void flush();
  void send(const outgoing& o);
  void deliver(const mosquitto_message* m, const mosquitto_property* props);

  static void on_connect(mosquitto*, void* obj, int rc, int, const mosquitto_property*) {
    auto* self = static_cast<impl*>(obj);
    if (rc == 0) self->just_connected = true;
  }
  static void on_disconnect(mosquitto*, void* obj, int, const mosquitto_property*) {
    static_cast<impl*>(obj)->lost = true;
  }
  static void on_publish(mosquitto*, void* obj, int, int, const mosquitto_property*) {
    auto* self = static_cast<impl*>(obj);
    if (self->inflight > 0) --self->inflight;
  }
  static void on_message(mosquitto*, void* obj, const mosquitto_message* m,
                         const mosquitto_property* props) {
    static_cast<impl*>(obj)->deliver(m, props);
  }
};

// Waits ms on the wake descriptor; true when stop() was called.
bool BrokerLink::impl::wait_or_stop(int ms) {
  pollfd p{wake_fd, POLLIN, 0};
  if (poll(&p, 1, ms) > 0) {
    uint64_t n;
    (void)!read(wake_fd, &n, sizeof n);
  }
  std::lock_guard<std::mutex> lock(mux);
  return stopping;
}

// On the link thread, after the CONNACK: subscriptions again, every
// retained payload again, then the owner's handler.
void BrokerLink::impl::after_connect() {
  std::function<void()> handler;
  std::vector<std::string> filters;
  {
    std::lock_guard<std::mutex> lock(mux);
    ++counts.connects;
    for (const subscription& s : subs)
      filters.push_back(s.filter);
    if (!reply_filter.empty()) filters.push_back(reply_filter);
    to_subscribe.clear();
    to_unsubscribe.clear();
    dirty.clear();
    for (auto& t : topics) {
      t.second.dirty = true;
      dirty.push_back(t.first);
    }
    handler = connect_handler;
  }
  inflight = 0;
  for (const std::string& f : filters)
    mosquitto_subscribe_v5(mosq, nullptr, f.c_str(), QOS, 0, nullptr);
  if (handler) handler();
}

void BrokerLink::impl::send(const outgoing& o) {
  mosquitto_property* props = nullptr;
  if (!o.response_topic.empty())
    mosquitto_property_add_string(&props, MQTT_PROP_RESPONSE_TOPIC, o.response_topic.c_str());
  // Only requests name their sender: answers come from the server itself.
  if (!o.response_topic.empty() && !settings.sender.empty())
    mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "sender",
                                       settings.sender.c_str());
  if (!o.correlation.empty()) {
    mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, o.correlation.data(),
                                  static_cast<uint16_t>(o.correlation.size()));
  }
  int rc = mosquitto_publish_v5(mosq, nullptr, o.topic.c_str(), static_cast<int>(o.payload.size()),
                                o.payload.data(), QOS, o.retain, props);
  mosquitto_property_free_all(&props);
  if (rc == MOSQ_ERR_SUCCESS) ++inflight;
}

// Hands waiting payloads to the connection, up to the send window: the
// answers first, then each dirty topic's latest payload.
void BrokerLink::impl::flush() {
  std::vector<std::string> subscribe;
  std::vector<std::string> unsubscribe;
  std::vector<outgoing> batch;
  {
    std::lock_guard<std::mutex> lock(mux);
    subscribe.swap(to_subscribe);
    unsubscribe.swap(to_unsubscribe);
    int room = SEND_WINDOW - inflight;
    while (room > 0 && !answers.empty()) {
      batch.push_back(std::move(answers.front()));
      answers.pop_front();
      --room;
    }
    while (room > 0 && !dirty.empty()) {
      auto at = topics.find(dirty.front());
      dirty.pop_front();
      if (at == topics.end() || !at->second.dirty) continue;
      outgoing o;
      o.topic = at->first;
      o.payload = at->second.payload;
      o.retain = at->second.retain;
      at->second.dirty = false;
      // Only a retained payload is sent again after a reconnect.
      if (!o.retain) topics.erase(at);
      batch.push_back(std::move(o));
      --room;
    }
    counts.sent += batch.size();
  }
  for (const std::string& f : unsubscribe)
    mosquitto_unsubscribe_v5(mosq, nullptr, f.c_str(), nullptr);
  for (const std::string& f : subscribe)
    mosquitto_subscribe_v5(mosq, nullptr, f.c_str(), QOS, 0, nullptr);
  for (const outgoing& o : batch)
    send(o);
}

// On the link thread, inside libmosquitto's read: answers to our requests
// go to their waiter, other messages to every matching subscription.
void BrokerLink::impl::deliver(const mosquitto_message* m, const mosquitto_property* props) {
  BrokerMessage msg;
  msg.topic = m->topic != nullptr ? m->topic : "";
  if (m->payloadlen > 0) msg.payload.assign(static_cast<const char*>(m->payload), m->payloadlen);
  msg.retained = m->retain;
  char* text = nullptr;
  if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &text, false) != nullptr) {
    msg.response_topic = text;
    free(text);
  }
  void* data = nullptr;
  uint16_t len = 0;
  if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &len, false) !=
      nullptr) {
    msg.correlation.assign(static_cast<const char*>(data), len);
    free(data);
  }
  // Each call finds the next user property after p (skipping p itself
  // from the second call on), until there is none.
  bool first = true;
  for (const mosquitto_property* p = props; p != nullptr; first = false) {
    char* name = nullptr;
    char* value = nullptr;
    p = mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &value, !first);
    if (p == nullptr) break;
    if (name != nullptr && strcmp(name, "sender") == 0 && msg.sender.empty() && value != nullptr)
      msg.sender = value;
    free(name);
    free(value);
  }
  std::vector<Handler> handlers;
  {
    std::lock_guard<std::mutex> lock(mux);
    ++counts.received;
    bool reply = !reply_filter.empty() && msg.topic == reply_filter;
    if (reply) {
      auto at = waiting.find(msg.correlation);
      if (at != waiting.end()) {
        at->second->done = true;
        at->second->answer = msg.payload;
        answered.notify_all();
      }
      return;
    }
    for (const subscription& s : subs) {
      bool match = false;
      if (mosquitto_topic_matches_sub(s.filter.c_str(), msg.topic.c_str(), &match) ==
              MOSQ_ERR_SUCCESS &&
          match)
        handlers.push_back(s.handler);
    }
  }
  for (const Handler& h : handlers)
    h(msg);
}

void BrokerLink::impl::run() {
  int backoff = BACKOFF_FIRST_MS;
  bool first = true;
  bool socket_up = false;
  // The operator hears of each change only: connected, or the first
  // failure after it (not every retry).
  bool told_down = false;
  std::string where = address.host + ":" + std::to_string(address.port);
  auto tell_down = [&](const std::string& why) {
    if (told_down) return;
    told_down = true;
    log_message(LOG_WARN, "broker " + where + " not reachable (" + why + "); retrying");
  };
  clock_type::time_point connect_began;
  auto drop_connection = [&]() {
    if (socket_up) mosquitto_disconnect(mosq);
    socket_up = false;
    up = false;
  };
  for (;;) {
    bool stop;
    {
      std::lock_guard<std::mutex> lock(mux);
      stop = stopping;
    }
    if (stop) break;
    if (!socket_up) {
      int rc = first ? mosquitto_connect_async(mosq, address.host.c_str(), address.port,
                                               settings.keepalive_s)
                     : mosquitto_reconnect_async(mosq);
      if (rc != MOSQ_ERR_SUCCESS) {
        tell_down(rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc));
        if (wait_or_stop(backoff)) break;
        backoff = std::min(backoff * 2, BACKOFF_MAX_MS);
        continue;
      }
      first = false;
      socket_up = true;
      lost = false;
      connect_began = clock_type::now();
    }
    int sock = mosquitto_socket(mosq);
    if (sock < 0) {
      drop_connection();
      continue;
    }
    pollfd p[2] = {
        {sock, static_cast<short>(POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0)), 0},
        {wake_fd, POLLIN, 0}};
    if (poll(p, 2, POLL_MS) < 0 && errno != EINTR) p[0].revents = POLLERR;
    if (p[1].revents & POLLIN) {
      uint64_t n;
      (void)!read(wake_fd, &n, sizeof n);
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (p[0].revents & (POLLIN | POLLERR | POLLHUP)) rc = mosquitto_loop_read(mosq, 16);
    if (rc == MOSQ_ERR_SUCCESS && (p[0].revents & POLLOUT || mosquitto_want_write(mosq)))
      rc = mosquitto_loop_write(mosq, 16);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(mosq);
    if (just_connected) {
      just_connected = false;
      up = true;
      backoff = BACKOFF_FIRST_MS;
      told_down = false;
      log_message(LOG_INFO, "broker " + where + " connected");
      after_connect();
    }
    bool timed_out =
        !up && clock_type::now() - connect_began > std::chrono::milliseconds(CONNECT_LIMIT_MS);
    if (rc != MOSQ_ERR_SUCCESS || lost || timed_out) {
      tell_down(timed_out                ? "no answer to connect"
                : rc == MOSQ_ERR_ERRNO   ? strerror(errno)
                : rc != MOSQ_ERR_SUCCESS ? mosquitto_strerror(rc)
                                         : "connection lost or refused");
      drop_connection();
      if (wait_or_stop(backoff)) break;
      backoff = std::min(backoff * 2, BACKOFF_MAX_MS);
      continue;
    }
    if (up) flush();
  }
  // Stopping: what waits goes out for a moment, then a clean goodbye.
  if (up) {
    auto until = clock_type::now() + std::chrono::milliseconds(STOP_FLUSH_MS);
    for (;;) {
      flush();
      bool empty;
      {
        std::lock_guard<std::mutex> lock(mux);
        empty = dirty.empty() && answers.empty();
      }
      if ((empty && inflight == 0) || clock_type::now() > until) break;
      int sock = mosquitto_socket(mosq);
      if (sock < 0) break;
      pollfd p{sock, static_cast<short>(POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0)), 0};
      poll(&p, 1, 20);
      if (mosquitto_loop_read(mosq, 16) != MOSQ_ERR_SUCCESS && (p.revents & POLLIN)) break;
      if (mosquitto_want_write(mosq) && mosquitto_loop_write(mosq, 16) != MOSQ_ERR_SUCCESS) break;
    }
    mosquitto_disconnect_v5(mosq, 0, nullptr);
    mosquitto_loop_write(mosq, 1);
  }
  up = false;
}

BrokerLink::BrokerLink(const BrokerSettings& settings) : impl_(new impl) {
  impl_->settings = settings;
}

BrokerLink::~BrokerLink() {
  stop();
  if (impl_->mosq != nullptr) mosquitto_destroy(impl_->mosq);
  if (impl_->wake_fd >= 0) close(impl_->wake_fd);
}

int BrokerLink::start(std::string* why) {
  impl& m = *impl_;
  const BrokerSettings& s = m.settings;
  if (m.mosq != nullptr) {
    *why = "the broker link is already started";
    return -1;
  }
  if (parse_broker_url(s.url, &m.address, why) != 0) return -1;
  if (!readable_file(s.ca_file, "CA file", why) ||
      !readable_file(s.cert_file, "certificate file", why) ||
      !readable_file(s.key_file, "key file", why))
    return -1;
  if (s.cert_file.empty() != s.key_file.empty()) {
    *why = "a client certificate needs its key, and a key its certificate";
    return -1;
  }
  if (!s.will_topic.empty() && !valid_topic(s.will_topic, false)) {
    *why = "the last will's topic is not a topic";
    return -1;
  }
  if (!s.reply_base.empty()) {
    if (!valid_topic(s.reply_base, false)) {
      *why = "the reply topic is not a topic";
      return -1;
    }
    m.reply_filter = s.reply_base + "/r";
  }
  std::call_once(lib_once, [] { mosquitto_lib_init(); });
  std::string id = s.client_id;
  if (id.empty()) {
    id = "norix-" + std::to_string(getpid()) + "-" +
         std::to_string(clock_type::now().time_since_epoch().count() % 1000000007);
  }
  m.mosq = mosquitto_new(id.c_str(), true, &m);
  m.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m.mosq == nullptr || m.wake_fd < 0) {
    *why = std::string("cannot make the broker connection: ") + strerror(errno);
    return -1;
  }
  mosquitto_int_option(m.mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  mosquitto_connect_v5_callback_set(m.mosq, impl::on_connect);
  mosquitto_disconnect_v5_callback_set(m.mosq, impl::on_disconnect);
  mosquitto_publish_v5_callback_set(m.mosq, impl::on_publish);
  mosquitto_message_v5_callback_set(m.mosq, impl::on_message);
  if (!s.user.empty() &&
      mosquitto_username_pw_set(m.mosq, s.user.c_str(),
                                s.password.empty() ? nullptr : s.password.c_str()) !=
          MOSQ_ERR_SUCCESS) {
    *why = "the broker user is not valid";
    return -1;
  }
  if (m.address.tls) {
    int rc = s.ca_file.empty()
                 ? mosquitto_int_option(m.mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                 : mosquitto_tls_set(m.mosq, s.ca_file.c_str(), nullptr,
                                     s.cert_file.empty() ? nullptr : s.cert_file.c_str(),
                                     s.key_file.empty() ? nullptr : s.key_file.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      *why = std::string("TLS settings refused: ") + mosquitto_strerror(rc);
      return -1;
    }
  }
  if (!s.will_topic.empty() &&
      mosquitto_will_set_v5(m.mosq, s.will_topic.c_str(), static_cast<int>(s.will_payload.size()),
                            s.will_payload.data(), QOS, true, nullptr) != MOSQ_ERR_SUCCESS) {
    *why = "the last will is refused";
    return -1;
  }
  m.thread = std::thread([&m] { m.run(); });
  return 0;
}

void BrokerLink::stop() {
  impl& m = *impl_;
  {
    std::lock_guard<std::mutex> lock(m.mux);
    m.stopping = true;
    m.answered.notify_all();
  }
  m.wake();
  if (m.thread.joinable()) m.thread.join();
}

bool BrokerLink::publish(const std::string& topic, const std::string& payload, bool retain) {
  impl& m = *impl_;
  if (!valid_topic(topic, false)) return false;
  {
    std::lock_guard<std::mutex> lock(m.mux);
    auto at = m.topics.find(topic);
    if (at == m.topics.end()) {
      if (m.topics.size() >= MAX_TOPICS) {
        ++m.counts.dropped;
        return false;
      }
      at = m.topics.emplace(topic, impl::latest()).first;
    }
    at->second.payload = payload;
    at->second.retain = retain;
    if (!at->second.dirty) {
      at->second.dirty = true;
      m.dirty.push_back(topic);
    }
  }
  m.wake();
  return true;
}

bool BrokerLink::respond(const BrokerMessage& request, const std::string& payload) {
  impl& m = *impl_;
  if (request.response_topic.empty() || !valid_topic(request.response_topic, false)) return false;
  {
    std::lock_guard<std::mutex> lock(m.mux);
    if (m.answers.size() >= MAX_ANSWERS) {
      ++m.counts.dropped;
      return false;
    }
    impl::outgoing o;
    o.topic = request.response_topic;
    o.payload = payload;
    o.correlation = request.correlation;
    m.answers.push_back(std::move(o));
  }
  m.wake();
  return true;
}

int BrokerLink::subscribe(const std::string& filter, Handler handler) {
  impl& m = *impl_;
  if (!valid_topic(filter, true) || !handler) return -1;
  int id;
  {
    std::lock_guard<std::mutex> lock(m.mux);
    id = m.next_sub++;
    m.subs.push_back(impl::subscription{id, filter, std::move(handler)});
    m.to_subscribe.push_back(filter);
  }
  m.wake();
  return id;
}

void BrokerLink::unsubscribe(int id) {
  impl& m = *impl_;
  {
    std::lock_guard<std::mutex> lock(m.mux);
    auto at = std::find_if(m.subs.begin(), m.subs.end(),
                           [id](const impl::subscription& s) { return s.id == id; });
    if (at == m.subs.end()) return;
    bool shared = std::count_if(m.subs.begin(), m.subs.end(), [&](const impl::subscription& s) {
                    return s.filter == at->filter;
                  }) > 1;
    if (!shared) m.to_unsubscribe.push_back(at->filter);
    m.subs.erase(at);
  }
  m.wake();
}

void BrokerLink::on_connect(std::function<void()> handler) {
  std::lock_guard<std::mutex> lock(impl_->mux);
  impl_->connect_handler = std::move(handler);
}

int BrokerLink::request(const std::string& topic, const std::string& payload, int timeout_ms,
                        std::string* answer, std::string* why) {
  impl& m = *impl_;
  if (m.reply_filter.empty() || !valid_topic(topic, false)) {
    *why = "no reply topic, or not a topic";
    return -1;
  }
  if (!m.up) {
    *why = "not connected";
    return -1;
  }
  impl::waiter w;
  std::unique_lock<std::mutex> lock(m.mux);
  if (m.answers.size() >= MAX_ANSWERS) {
    *why = "too many requests waiting";
    return -1;
  }
  std::string id = std::to_string(m.next_request++);
  impl::outgoing o;
  o.topic = topic;
  o.payload = payload;
  o.response_topic = m.reply_filter;
  o.correlation = id;
  m.answers.push_back(std::move(o));
  m.waiting[id] = &w;
  lock.unlock();
  m.wake();
  lock.lock();
  m.answered.wait_for(lock, std::chrono::milliseconds(std::max(timeout_ms, 0)),
                      [&] { return w.done || m.stopping; });
  m.waiting.erase(id);
  if (!w.done) {
    *why = "timeout";
    return -1;
  }
  *answer = w.answer;
  return 0;
}

namespace {
std::mutex process_mux;  // guards the two below; a leaf
std::shared_ptr<BrokerLink> the_process_broker;
std::string the_process_prefix;
}  // namespace

std::shared_ptr<BrokerLink> process_broker() {
  std::lock_guard<std::mutex> lock(process_mux);
  return the_process_broker;
}

std::string process_broker_prefix() {
  std::lock_guard<std::mutex> lock(process_mux);
  return the_process_prefix;
}

void set_process_broker(std::shared_ptr<BrokerLink> link, const std::string& prefix) {
  std::lock_guard<std::mutex> lock(process_mux);
  the_process_broker = std::move(link);
  the_process_prefix = prefix;
}

bool BrokerLink::connected() const {
  return impl_->up;
}

BrokerLink::Counts BrokerLink::counts() const {
  std::lock_guard<std::mutex> lock(impl_->mux);
  return impl_->counts;
}

}  // namespace norix
