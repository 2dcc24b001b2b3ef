// broker_host.h - a server on the broker (docs/facility.md): its presence
// with the last will, its locations' state published on change, and the
// writes that come through the broker, answered as a socket client's.
//
// The server owns one BrokerHost when its configuration has an `mqtt` item.
// Its publisher thread reads the program's feed and the marked properties
// every PUBLISH_PERIOD_MS and hands changes to the link, which never
// blocks; its writer thread carries out the writes one at a time through
// the same answer function as the socket's clients. So the machines never
// wait for the broker, and a broker that is absent, slow or flooding costs
// them nothing but the reads of the publisher.

#ifndef FRAMEWORK_HOST_BROKER_HOST_H
#define FRAMEWORK_HOST_BROKER_HOST_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/host/server_config.h"

namespace norix {

// What a server program publishes of its locations besides presence and
// the marked properties: each location's state (retained) and its records
// (not retained), as JSON texts (docs/facility.md).
struct BrokerItem {
  std::string location;
  bool record = false;  // a transition record, else the location's state
  std::string payload;
};
struct BrokerFeed {
  // Called on the publisher thread only, every PUBLISH_PERIOD_MS: appends
  // the states that changed since its last call and the records that came
  // since. Must not wait for a machine's engine.
  void (*collect)(std::vector<BrokerItem>* out);
};
// Set before the server starts (server_main); null collect publishes none.
void set_broker_feed(const BrokerFeed& feed);

// 0 when the broker items of config can be used: the URL reads, the files
// are readable, the password is there and its file is not readable by
// group or others. -1 with the reasons in *why, one per line; the password
// is never part of them.
int check_broker_config(const ServerConfig& config, std::string* why);

class BrokerHost {
 public:
  static constexpr int PUBLISH_PERIOD_MS = 50;
  static constexpr size_t MAX_WRITES = 256;  // writes waiting; beyond, 113 at once

  // answer: the line protocol's answer to a request line (Server::answer).
  // endpoint and panel ("" none) go into the presence.
  BrokerHost(const ServerConfig& config, const std::string& endpoint, const std::string& panel,
             std::function<std::string(const std::string&)> answer);
  ~BrokerHost();  // stop()
  BrokerHost(const BrokerHost&) = delete;
  BrokerHost& operator=(const BrokerHost&) = delete;

  // Starts the link and the threads; never waits for the broker. 0, or -1
  // with *why.
  int start(std::string* why);
  // Ends the threads, publishes the offline presence and closes the link
  // (at most a second for what waits). Once the answer function may no
  // longer run, or sooner.
  void stop();

  bool connected() const;

  struct impl;

 private:
  // Shared with the two threads: one left running by stop() keeps it.
  std::shared_ptr<impl> impl_;
};

}  // namespace norix

#endif  // FRAMEWORK_HOST_BROKER_HOST_H
