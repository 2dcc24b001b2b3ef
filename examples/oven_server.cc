// oven_server.cc - an FSM server program hosting the oven example's
// machines (examples/oven_machines.h). The library's host runtime supplies
// main; a program names its machine types in init_list, and the TYPE of
// each location in the configuration picks one.

#include "examples/oven_machines.h"

namespace {

node_info monitor_info = {nullptr, "monitor", create_monitor};
node_info door_info = {&monitor_info, "door", create_door};
node_info oven_info = {&door_info, "oven", create_oven};

}  // namespace

node_info* init_list = &oven_info;
