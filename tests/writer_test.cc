// writer_test.cc - machines written with the layer of writer/machine.h:
// lambdas with captures as guards and actions, in the library's order;
// guards that look at other states by name and path; typed data items and
// properties; signals, handlers, timeouts and flows with history; one
// definition serving two machines that keep their own state.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testkit/testkit.h"
#include "writer/machine.h"

namespace {

using fsm::Context;
using fsm::Flow;
using fsm::State;
using Trace = std::vector<std::string>;

const fsm::Property<int> COUNT{"COUNT", "cycles started"};
const fsm::Property<std::string> NOTE{"NOTE", "what the machine did last"};
const fsm::Property<float> LEVEL{"LEVEL", "tank level"};

// Appends "<what>:<state>" to the kit's action recorder.
fsm::Action note(const std::string& what) {
  return [what](Context& c) { testkit::actions().add(what + ":" + c.state()->get_name()); };
}

// Root: flow 0 idle -> busy (a superstate: fill, drain; with history) ->
// idle; flow 1 door: shut, open. "start" is guarded by the door, and looks
// up states by path.
const fsm::Machine& plant() {
  static const fsm::Machine m =
      fsm::Machine()
          .handle("poke", note("poke"))
          .flow("FLOW_0 mode",
                {State("idle", "waiting")
                     .enter(note("enter"))
                     .exit(note("exit"))
                     .on("start", "busy")
                     .when(
                         [](Context& c) {
                           return c.active("shut") && c.find("busy/fill") != nullptr &&
                                  c.find("idle/fill") == nullptr && !c.active("nosuch");
                         },
                         "door shut")
                     .then([](Context& c) {
                       c.add(COUNT);
                       c.set(NOTE, "started");
                       note("then")(c);
                     })
                     .signal("lock", "plant!shut"),
                 State("busy", "working")
                     .enter(note("enter"))
                     .on("stop", "idle")
                     .flow(Flow{State("fill").enter(note("enter")).on("full", "drain"),
                                State("drain").enter(note("enter"))}
                               .history())})
          .flow("FLOW_1 door",
                {State("shut").on("open", "open").handle("lock", note("locked")),
                 State("open").on("close", "shut").after(std::chrono::seconds(5), "close")})
          .property(COUNT)
          .property(NOTE)
          .property(LEVEL);
  return m;
}

void create_plant(EqFSMlocation* loc) {
  ASSERT_EQ(0, plant().build(loc));
}

// Steps: "name@address" is posted, then a tick.
Trace run(testkit::Machine& m, const std::vector<std::string>& steps) {
  testkit::actions().take();
  for (const std::string& s : steps) {
    m.post(s.substr(0, s.find('@')).c_str(), s.substr(s.find('@') + 1).c_str());
    m.tick();
  }
  return testkit::actions().take();
}

TEST(WriterLayer, LambdasRunInTheLibrarysOrder) {
  testkit::Machine m("P", "plant", create_plant);
  ASSERT_EQ(0, m.start());
  EXPECT_EQ(run(m, {"start@*"}),
            (Trace{"then:idle", "exit:idle", "enter:busy", "enter:fill", "locked:shut"}));
  EXPECT_EQ("1", m.get("COUNT"));
  EXPECT_NE(m.get("NOTE").find("started"), std::string::npos);
  EXPECT_EQ(run(m, {"full@*", "stop@*", "poke@plant"}),
            (Trace{"enter:drain", "enter:idle", "poke:plant"}));
  // History: busy resumes in drain.
  EXPECT_EQ(run(m, {"start@*"}),
            (Trace{"then:idle", "exit:idle", "enter:busy", "enter:drain", "locked:shut"}));
}

TEST(WriterLayer, GuardsSeeOtherStatesByPath) {
  testkit::Machine m("P", "plant", create_plant);
  ASSERT_EQ(0, m.start());
  EXPECT_EQ(run(m, {"open@*", "start@*"}), Trace{});
  EXPECT_EQ("idle", m.flow(0));
  // The door's timeout closes it; the guard then allows the start.
  m.advance(std::chrono::seconds(5));
  EXPECT_EQ("shut", m.flow(1));
  m.post("start", "*");
  m.tick();
  EXPECT_EQ("busy", m.flow(0));
}

TEST(WriterLayer, OneDefinitionServesMachinesThatKeepTheirOwnState) {
  testkit::Machine a("A", "plant", create_plant);
  testkit::Machine b("B", "plant_b", create_plant);
  ASSERT_EQ(0, a.start());
  ASSERT_EQ(0, b.start());
  a.post("open", "*");
  a.tick();
  b.post("start", "*");
  b.tick();
  EXPECT_EQ("idle", a.flow(0));
  EXPECT_EQ("open", a.flow(1));
  EXPECT_EQ("busy", b.flow(0));
  EXPECT_EQ("shut", b.flow(1));
  EXPECT_EQ("0", a.get("COUNT"));
  EXPECT_EQ("1", b.get("COUNT"));
}

int too_many_result = 0;

void create_too_many(EqFSMlocation* loc) {
  State s("s");
  for (size_t i = 0; i <= fsm::FSM_WRITER_MAX; ++i)
    s.on("e", "s").when([](Context&) { return true; });
  too_many_result = fsm::Machine().flow("", {s}).build(loc);
}

TEST(WriterLayer, TooManyGuardsOnOneStateFailTheBuild) {
  testkit::Machine probe("P", "probe", create_too_many);
  EXPECT_EQ(-1, too_many_result);
}

}  // namespace
