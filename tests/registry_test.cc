// registry_test.cc - machines and the server's hooks: superstate locations
// joining their machine by name, send_event between machines, and the
// diagnostics the hooks owe the host.

#include <gtest/gtest.h>

#include "testkit/testkit.h"

namespace {

using Trace = std::vector<std::string>;

// Machine "plant": flow 0 holds ready, flow 1 adopts the superstate of the
// location of type "pumpctl" by reference.
void create_plant(EqFSMlocation* loc) {
  loc->state_ptr->add_state(0, testkit::recorded_state("ready"));
  loc->state_ptr->add_reference(1, "pumpctl");
  loc->flows.push_back(new D_flow("FLOW_1 the pump", loc));
}

// Superstate location "pumpctl": idle starts the pump.
void create_pump(EqFSMlocation* loc) {
  FSMstate* idle = testkit::recorded_state("idle");
  idle->add_transition("start", nullptr, nullptr, nullptr, nullptr, "running");
  loc->state_ptr->add_state(0, idle);
  loc->state_ptr->add_state(0, testkit::recorded_state("running", "pump running"));
  loc->flows.push_back(new D_flow("FLOW_0 the pump", loc));
}

// The root of machine "sender" relays a "relay" event to machine "receiver"
// and changes its own event afterwards: the queued copy is the receiver's.
int relay(FSMstate*) {
  FSMevent ping;
  ping.set_event("ping", "*");
  char receiver[] = "receiver";
  testkit::actions().add("sent:" + std::to_string(send_event(receiver, &ping)));
  ping.set_event("changed", "after the send");
  return 0;
}

void create_sender(EqFSMlocation* loc) {
  loc->state_ptr->add_action("relay", relay);
}

void create_receiver(EqFSMlocation* loc) {
  loc->state_ptr->add_state(0, testkit::recorded_state("listener"));
  loc->state_ptr->add_action("ping", testkit::record_handler);
}

}  // namespace

TEST(Registry, SuperstateLocationJoinsItsMachineByReference) {
  testkit::Machine m("PLANT", "plant", create_plant);
  m.join("PUMP", "pumpctl", create_pump, "DESCR \tpump control\n");
  ASSERT_EQ(m.start(), 0);
  EXPECT_EQ(testkit::actions().take(),
            (Trace{"init:ready", "init:idle", "init:running", "enter:ready", "enter:idle"}));
  // An event written to the pump's location goes to the plant's queue.
  EXPECT_EQ(m.set("EVENT", "start:idle", "PUMP"), 0);
  m.tick();
  EXPECT_EQ(testkit::actions().take(),
            (Trace{"poll:idle", "exit:idle", "enter:running", "poll:ready", "during:ready",
                   "poll:running", "during:running"}));
  EXPECT_EQ(m.get("FLOW_0", "PUMP"), "running : pump running");
  EXPECT_EQ(m.get("FLOW_1"), "pumpctl : pump control");
}

TEST(Registry, SendEventQueuesACopyForTheOtherMachinesNextTick) {
  testkit::Machine sender("SENDER", "sender", create_sender);
  testkit::Machine receiver("RECEIVER", "receiver", create_receiver);
  ASSERT_EQ(sender.start(), 0);
  ASSERT_EQ(receiver.start(), 0);
  testkit::actions().take();
  sender.event("relay");
  EXPECT_EQ(testkit::actions().take(), Trace{"sent:0"});
  receiver.tick();
  EXPECT_EQ(testkit::actions().take(),
            (Trace{"handler:receiver:ping", "poll:listener", "during:listener", "poll:listener",
                   "during:listener"}));
  FSMevent ev;
  char unknown[] = "NO.SUCH.MACHINE";
  char name[] = "receiver";
  EXPECT_EQ(send_event(nullptr, &ev), 1);
  EXPECT_EQ(send_event(unknown, &ev), 1);
  EXPECT_EQ(send_event(name, nullptr), 1);
}

TEST(Hooks, ReportAnOrphanLocationAndAMissingTypeName) {
  testkit::Machine m("PLANT", "plant", create_plant);
  m.join("ORPHAN", "pumpctl", create_pump, "FSM \tNO.SUCH.MACHINE\n");
  testing::internal::CaptureStdout();
  m.start();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "The parent of ORPHAN is undefined\n");
  EXPECT_EQ(eq_create(99, nullptr), nullptr);
  EXPECT_EQ(eq_create(102, nullptr), nullptr);
  for (const char* type : {"", "unknown"}) {
    gbl_fct_name = type;
    testing::internal::CaptureStdout();
    std::unique_ptr<EqFct> loc(eq_create(100, nullptr));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), *type ? "" : "undefined location 100\n");
  }
}
