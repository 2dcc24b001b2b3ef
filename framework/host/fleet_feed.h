// fleet_feed.h - what the broker tells a server of the others: their
// presence records into the name table (framework/calls/names.h), so that
// calls find them by name, and into the fleet view's model
// (framework/host/fleet.h) with their machines' state records.
//
// Subscribes on the process's broker link (framework/calls/broker.h) to
// PREFIX/+/+/presence and, for the fleet view, PREFIX/+/+/+/state. A record under one server's
// topic that names another server is refused: whoever may publish under a
// name cannot take over another. The handlers run on the link's thread and
// only parse and store.

#ifndef FRAMEWORK_HOST_FLEET_FEED_H
#define FRAMEWORK_HOST_FLEET_FEED_H

#include <memory>
#include <string>

namespace norix {

class BrokerLink;

// Starts feeding from link, whose topics begin with prefix. With view (a
// server that serves the fleet view), also the state records, and turns
// the fleet view on; without, presence only: every machine's every change
// would otherwise reach every server of the facility for nothing. 0, or -1
// with *why when the link takes no subscription.
int start_fleet_feed(const std::shared_ptr<BrokerLink>& link, const std::string& prefix, bool view,
                     std::string* why);
// Ends the subscriptions and the fleet view's broker probe; before the
// link stops. The names and the fleet stay as they were last told.
void stop_fleet_feed();

// A presence (level "presence") or state topic split below prefix into its
// names, unescaped; false when it is neither or a level does not read back.
struct fleet_topic {
  std::string facility;
  std::string device;
  std::string location;  // "" for presence
};
bool read_fleet_topic(const std::string& prefix, const std::string& topic, fleet_topic* out);

}  // namespace norix

#endif  // FRAMEWORK_HOST_FLEET_FEED_H
