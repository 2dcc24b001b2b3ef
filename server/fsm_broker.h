// fsm_broker.h - what an FSM server publishes of its machines through the
// broker (framework/host/broker_host.h, docs/facility.md): per root
// location its state (active states with entry times, flows, FAULT, the
// states' errors) when it changed, and each new transition record.

#ifndef SERVER_FSM_BROKER_H
#define SERVER_FSM_BROKER_H

#include <string>

#include "framework/host/broker_host.h"
#include "server/fsm_snapshot.h"

// The feed to give norix::set_broker_feed.
norix::BrokerFeed fsm_broker_feed();

// A machine's state as published, without its time: "{...}" whose first
// member is "location". Exposed for the tests of its shape.
std::string fsm_broker_state(EqFSMlocation* loc, const fsm_snapshot::machine* m,
                             const std::string& why);

#endif  // SERVER_FSM_BROKER_H
