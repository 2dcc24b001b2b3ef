// registry_test.cc - the machine registry and the application's type list:
// superstate locations joining machines by name, send_event between
// machines, and which locations get registered.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fsm/fsm.h"
#include "tests/support/host.h"

namespace {

using host::LocationConfig;

char receiver_name[] = "RECEIVER.MACHINE";

// Machine "plant": flow 0 holds ready, flow 1 adopts the superstate of the
// location of type "pumpctl" by reference.
void build_plant(EqFSMlocation* loc) {
  loc->state_ptr->add_state(0, host::recorded_state("ready", "plant ready"));
  loc->state_ptr->add_reference(1, "pumpctl");
  loc->flows.push_back(new D_flow("FLOW_1 the pump", loc));
}

// Superstate location "pumpctl": idle starts the pump, running stops it.
void build_pump(EqFSMlocation* loc) {
  FSMstate* idle = host::recorded_state("idle", "pump idle");
  FSMstate* running = host::recorded_state("running", "pump running");
  idle->add_transition("start", nullptr, nullptr, nullptr, nullptr, "running");
  running->add_transition("stop", nullptr, nullptr, nullptr, nullptr, "idle");
  loc->state_ptr->add_state(0, idle);
  loc->state_ptr->add_state(0, running);
  loc->flows.push_back(new D_flow("FLOW_0 the pump", loc));
}

int relay(FSMstate*) {
  FSMevent ping;
  ping.set_event("ping", "*");
  int rc = send_event(receiver_name, &ping);
  ping.set_event("changed", "after the send");  // the queued copy is the receiver's
  host::trace().add("sent:" + std::to_string(rc));
  return 0;
}

// Machine "sender": its root relays a "relay" event to the receiver.
void build_sender(EqFSMlocation* loc) {
  loc->state_ptr->add_action("relay", relay);
}

void build_receiver(EqFSMlocation* loc) {
  FSMstate* listener = host::recorded_state("listener", "listens");
  listener->add_action("ping", host::record_event);
  loc->state_ptr->add_state(0, listener);
}

void build_first(EqFSMlocation*) {
  host::trace().add("create:first");
}
void build_second(EqFSMlocation*) {
  host::trace().add("create:second");
}

node_info types[] = {
    {&types[1], "plant", build_plant},   {&types[2], "pumpctl", build_pump},
    {&types[3], "sender", build_sender}, {&types[4], "receiver", build_receiver},
    {&types[5], "dup", build_first},     {nullptr, "dup", build_second},
};

const LocationConfig plant = {"PLANT", 100, "plant", host::conf("PLANT.MACHINE", "the plant")};
const LocationConfig pump = {"PUMP", 101, "pumpctl", host::conf("PLANT.MACHINE", "pump control")};

std::string text_of(const std::string& location, const std::string& property) {
  EqData res;
  EXPECT_EQ(host::client_get(location, property, &res), 0);
  USTR* u = res.get_ustr(0);
  return u != nullptr ? u->str_data.str_data_val : "<none>";
}

}  // namespace

node_info* init_list = &types[0];

TEST(Registry, SuperstateLocationJoinsItsMachineByNameAndReference) {
  host::trace().clear();
  std::vector<EqFSMlocation*> locs = host::start_server({plant, pump});
  ASSERT_TRUE(host::wait_ready(locs[0]));
  EXPECT_EQ(host::trace().snapshot(),
            (std::vector<std::string>{"init:ready", "init:idle", "init:running", "enter:ready",
                                      "enter:idle"}));
  EXPECT_EQ(locs[0]->fct_code(), 100);
  EXPECT_EQ(locs[1]->fct_code(), 101);

  // An event written to the pump's location goes to the plant's queue.
  host::trace().clear();
  EqData value;
  EqData res;
  value.set("start:idle");
  ASSERT_EQ(host::client_set("PUMP", "EVENT", &value, &res), 0);
  locs[0]->update();
  ASSERT_TRUE(host::trace().wait_count("timer:running", 1));
  EXPECT_EQ(host::trace().snapshot(), (std::vector<std::string>{"exit:idle", "enter:running",
                                                                "timer:ready", "timer:running"}));
  EXPECT_EQ(text_of("PUMP", "FLOW_0"), "running : pump running");
  EXPECT_EQ(text_of("PLANT", "FLOW_1"), "pumpctl : pump control");
}

TEST(Registry, SuperstateLocationsNeverTickTheMachine) {
  eq_init_prolog();
  std::vector<EqFSMlocation*> locs = host::create_locations({plant, pump});
  FSMrootstate* root = host::root_of(locs[0]);
  locs[1]->update();
  locs[1]->interrupt1();
  locs[1]->interrupt2();
  locs[0]->update();  // not started: not ready
  EXPECT_EQ(host::signalled(root->event_fifo), 0);
  EXPECT_EQ(host::signalled(root->irq1_fifo), 0);
  EXPECT_EQ(host::signalled(root->irq2_fifo), 0);
}

TEST(Registry, UnknownParentMachineIsReported) {
  eq_init_prolog();
  LocationConfig orphan = pump;
  orphan.name = "ORPHAN";
  orphan.conf = host::conf("NO.SUCH.MACHINE", "pump control");
  testing::internal::CaptureStdout();
  EqFSMlocation* loc = host::create_locations({orphan})[0];
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "The parent of ORPHAN is undefined\n");
  EXPECT_EQ(global_list.find_node(loc), 1);
  EXPECT_EQ(loc->state_ptr->get_root(), nullptr);
  // Without a machine, events written to it go nowhere.
  EqData value;
  EqData res;
  value.set("start:idle");
  EXPECT_EQ(host::client_set("ORPHAN", "EVENT", &value, &res), 0);
}

TEST(Registry, SendEventReachesAnotherMachineAtItsNextTick) {
  host::trace().clear();
  std::vector<EqFSMlocation*> locs = host::start_server(
      {{"SENDER", 100, "sender", host::conf("SENDER.MACHINE", "sends")},
       {"RECEIVER", 100, "receiver", host::conf("RECEIVER.MACHINE", "receives")}});
  ASSERT_TRUE(host::wait_ready(locs[0]));
  ASSERT_TRUE(host::wait_ready(locs[1]));
  host::trace().clear();

  EqData value;
  EqData res;
  value.set("relay");
  ASSERT_EQ(host::client_set("SENDER", "EVENT", &value, &res), 0);
  locs[0]->update();
  ASSERT_TRUE(host::trace().wait_count("sent:0", 1));
  locs[1]->update();
  ASSERT_TRUE(host::trace().wait_count("timer:listener", 1));
  EXPECT_EQ(host::trace().snapshot(),
            (std::vector<std::string>{"sent:0", "listener:ping", "timer:listener"}));

  FSMevent ev;
  ev.set_event("ping", "*");
  char unknown[] = "NO.SUCH.MACHINE";
  EXPECT_EQ(send_event(nullptr, &ev), 1);
  EXPECT_EQ(send_event(unknown, &ev), 1);
  EXPECT_EQ(send_event(receiver_name, nullptr), 1);
}

TEST(Registry, OnlyTheFirstRootOfAStateNameIsRegistered) {
  eq_init_prolog();
  std::vector<EqFSMlocation*> locs =
      host::create_locations({{"S1", 100, "sender", host::conf("S1.MACHINE", "first")},
                              {"S2", 100, "sender", host::conf("S2.MACHINE", "second")}});
  ASSERT_EQ(global_list.list.size(), 1u);
  EXPECT_EQ(global_list.list[0]->fsm, "S1.MACHINE");
  EXPECT_EQ(global_list.list[0]->loc, locs[0]);
  EXPECT_EQ(global_list.find_node(locs[1]), 0);  // a root location: nothing to attach
  EXPECT_EQ(global_list.list.size(), 1u);
  FSMevent ev;
  char second[] = "S2.MACHINE";
  EXPECT_EQ(send_event(second, &ev), 1);

  // A new start-up empties the registry and leaves the locations alone.
  eq_init_prolog();
  EXPECT_TRUE(global_list.list.empty());
  EXPECT_EQ(std::string(locs[0]->state_ptr->get_name()), "sender");
}

TEST(Registry, FirstTypeRecordOfANameBuildsTheMachine) {
  host::trace().clear();
  eq_init_prolog();
  EqFSMlocation* loc =
      host::create_locations({{"D", 100, "dup", host::conf("D.MACHINE", "dup")}})[0];
  EXPECT_EQ(host::trace().snapshot(), (std::vector<std::string>{"create:first"}));
  EXPECT_EQ(std::string(loc->state_ptr->get_name()), "dup");
  EXPECT_NE(loc->prop_mux, nullptr);
}
