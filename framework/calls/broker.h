// broker.h - the link of a process to an MQTT 5 broker: one connection that
// keeps itself up, publishes without ever blocking its caller, delivers
// the messages of its subscriptions, and makes and answers MQTT 5 requests
// (response topic and correlation data). Which client library speaks to the
// broker is the link's own affair; nothing of it shows here.
//
// The link owns one thread that connects, reconnects with backoff (250 ms
// doubling to 10 s), reads and writes. publish() only records the payload
// as the topic's latest and wakes that thread: while the broker is absent
// or slow, a topic holds its latest payload only, so memory stays bounded
// by the number of topics (MAX_TOPICS; beyond, new topics are dropped and
// counted). Retained payloads are kept after they are sent and sent again
// after every reconnect, so a broker that lost them (restarted without
// persistence) has them back. At most SEND_WINDOW messages are in flight;
// the rest wait as latest values. Order is kept within a topic only.
//
// Handlers run on the link's thread: they must return at once (queue the
// work elsewhere) and may call publish(), respond() and connected().
// Lock order: the link's mutex is a leaf (L5, fsm/fsm_core.h); no handler
// runs and no socket call is made while it is held.

#ifndef FRAMEWORK_CALLS_BROKER_H
#define FRAMEWORK_CALLS_BROKER_H

#include <stddef.h>

#include <functional>
#include <memory>
#include <string>

namespace norix {

// Where and how to connect. Files are read when the link starts.
struct BrokerSettings {
  std::string url;        // mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883)
  std::string ca_file;    // mqtts: the CA that signs the broker's certificate
  std::string cert_file;  // optional client certificate and its key
  std::string key_file;
  std::string user;  // "" connects without a user name
  std::string password;
  std::string client_id;   // "" makes one up
  int keepalive_s = 10;    // the broker marks us gone after 1.5 times this
  std::string will_topic;  // retained last will; none when empty
  std::string will_payload;
  std::string reply_base;  // requests are answered at reply_base/r (request())
  std::string sender;      // the user property "sender" of each request ("" none)
};

// A message delivered to a subscription.
struct BrokerMessage {
  std::string topic;
  std::string payload;
  bool retained = false;
  std::string response_topic;  // MQTT 5 request: where the answer goes ("" none)
  std::string correlation;     // and the correlation data it carries back
  std::string sender;          // the user property "sender", as the client claims it
};

// A URL's parts: 0, or -1 with the reason.
struct BrokerAddress {
  std::string host;
  int port = 0;
  bool tls = false;
};
int parse_broker_url(const std::string& url, BrokerAddress* out, std::string* why);

// A name as one topic level: "%", "/", "+", "#", control bytes (NUL among
// them) and DEL as %XX (upper-case hex); an empty name as "%". So no name
// makes a wildcard, an extra level or an invalid topic. topic_unsegment
// reverses it: false for a text that topic_segment does not write.
std::string topic_segment(const std::string& name);
bool topic_unsegment(const std::string& level, std::string* name);

class BrokerLink {
 public:
  typedef std::function<void(const BrokerMessage&)> Handler;
  static constexpr size_t MAX_TOPICS = 65536;  // latest payloads held
  static constexpr int SEND_WINDOW = 256;      // messages in flight at once

  explicit BrokerLink(const BrokerSettings& settings);
  ~BrokerLink();  // stop()
  BrokerLink(const BrokerLink&) = delete;
  BrokerLink& operator=(const BrokerLink&) = delete;

  // Checks the settings (URL, readable files) and starts the link's thread,
  // which connects by itself; never waits for the broker. 0, or -1 with
  // *why. Once.
  int start(std::string* why);
  // Sends what waits (for at most a second while connected), disconnects
  // cleanly and ends the thread. A clean disconnect does not fire the last
  // will: publish the offline presence before. Any thread but a handler's.
  void stop();

  // Records payload as topic's latest and wakes the link; never blocks.
  // QoS 1. False when the topic is invalid or MAX_TOPICS are held.
  bool publish(const std::string& topic, const std::string& payload, bool retain);
  // The answer to an MQTT 5 request: payload to its response topic with its
  // correlation data, unretained. False when it asked for none.
  bool respond(const BrokerMessage& request, const std::string& payload);
  // Subscribes to a filter (wildcards allowed) now and after every
  // reconnect; QoS 1. Returns an id for unsubscribe, or -1.
  int subscribe(const std::string& filter, Handler handler);
  void unsubscribe(int id);
  // Called on the link's thread after each connection is accepted (before
  // the held payloads are sent again).
  void on_connect(std::function<void()> handler);

  // An MQTT 5 request: publishes payload to topic with the response topic
  // reply_base/r and waits at most timeout_ms for the answer. 0 with
  // *answer, or -1 with *why ("not connected", "timeout"). Not from a
  // handler.
  int request(const std::string& topic, const std::string& payload, int timeout_ms,
              std::string* answer, std::string* why);

  bool connected() const;
  // Figures since start.
  struct Counts {
    unsigned long long connects = 0;  // accepted connections
    unsigned long long sent = 0;      // messages handed to the connection
    unsigned long long dropped = 0;   // payloads refused at MAX_TOPICS
    unsigned long long received = 0;  // messages delivered to handlers
  };
  Counts counts() const;

  struct impl;

 private:
  std::unique_ptr<impl> impl_;
};

// The process's link while its server runs one (null otherwise), and the
// topic prefix it uses, for the parts of the process that find other
// servers through it. Set by the server runtime; any thread.
std::shared_ptr<BrokerLink> process_broker();
std::string process_broker_prefix();
void set_process_broker(std::shared_ptr<BrokerLink> link, const std::string& prefix);

}  // namespace norix

#endif  // FRAMEWORK_CALLS_BROKER_H
