// kit_test.cc - the test kit's own promises that machine tests rely on:
// fake devices that react to writes, configuration given as values, and
// flows read from the tree with their description and error.

#include <gtest/gtest.h>

#include <string>

#include "testkit/testkit.h"

namespace {

// "pump": flow 0 stopped -> running writes RUN through the bound item
// and is refreshed from PRESSURE; flow 1 (no FLOW_n property) holds one
// state; the create function's start state of flow 0 is "running", with
// history.
void create_pump(EqFSMlocation* loc) {
  FSMsuperstate* root = loc->state_ptr;
  FSMstate* stopped = new FSMstate("stopped", "the pump is off", 0);
  FSMstate* running = new FSMstate("running", "the pump runs", 0);
  stopped->add_transition("run", nullptr, nullptr, nullptr, nullptr, "running");
  running->add_transition("stop", nullptr, nullptr, nullptr, nullptr, "stopped");
  running->add_action("during", [](FSMstate* s) {  // after each refresh, which clears it
    s->set_error("stalled");
    return 0;
  });
  running->add_action("enter", [](FSMstate* s) {
    EqData on;
    on.set(1);
    return s->data_set(s->data_open("RUN", 0), on);
  });
  root->add_state(0, stopped);
  root->add_state(0, running);
  root->add_state(1, new FSMstate("watch", "watching the pressure", 0));
  root->add_data("RUN", nullptr, nullptr);
  root->add_data("PRESSURE", nullptr, nullptr);
  root->add_action("init", [](FSMstate* s) {
    auto* sp = static_cast<FSMsuperstate*>(s);
    EqData d;
    static_cast<D_fct*>(sp->get_address("PUMP device"))->get(nullptr, nullptr, &d, nullptr);
    sp->set_address("RUN", (d.text_value() + "/RUN").c_str());
    sp->set_address("PRESSURE", (d.text_value() + "/PRESSURE").c_str());
    return 0;
  });
  loc->flows.push_back(new D_flow("FLOW_0 the pump", loc));
  loc->norix_address.push_back(new D_string("PUMP device", loc));
  loc->norix_data.push_back(new norix::D_value<int>("LIMIT pressure limit", loc));
}

TEST(TestKit, DevicesReactToWritesAndConfigurationIsGivenAsValues) {
  testkit::Device pump("PUMP");
  pump.add("RUN", 0);
  pump.add("PRESSURE", 1000.0f);
  pump.on_write("RUN",
                [&pump](EqData& v) { pump.set("PRESSURE", v.get_int() != 0 ? 0.5f : 1000.0f); });
  testkit::Machine m(
      "P", "pump", create_pump,
      testkit::Conf().flow(0, "stopped", true).address("PUMP", pump).value("LIMIT", 7));
  ASSERT_EQ(m.start(), 0);
  EXPECT_EQ(m.get("LIMIT"), "7");
  EXPECT_EQ(m.flow_state(0), "stopped");  // the configured start, not the create function's
  EXPECT_EQ(m.event("run:*"), 0);
  EXPECT_EQ(pump.text("RUN"), "1");
  EXPECT_EQ(pump.text("PRESSURE"), "0.5");
  EXPECT_EQ(m.flow_state(1), "watch");  // a flow without FLOW_n
  EXPECT_EQ(m.flow_description(0), "the pump runs");
  EXPECT_EQ(m.flow_state(5), "");
}

// The error of a flow is its active state's; FAULT shows the location
// state's own error only.
TEST(TestKit, FlowErrorIsTheActiveStatesAndNotFault) {
  testkit::Device pump("PUMP");
  pump.add("RUN", 0);
  pump.add("PRESSURE", 1000.0f);
  testkit::Machine m("P", "pump", create_pump, testkit::Conf().address("PUMP", pump));
  ASSERT_EQ(m.start(), 0);
  m.event("run:*");
  EXPECT_EQ(m.flow_state(0), "running");
  EXPECT_EQ(m.flow_error(0), "stalled");
  EXPECT_EQ(m.fault(), "");
}

}  // namespace
