// pump_station_test.cc - a newcomer's machine written twice, with the plain
// interface and with writer/machine.h, driven through the same steps: both
// must fire the same transitions and show the same flows and counts.
//
// The station: flow 0 "mode" idle / running, running a superstate whose one
// flow (with history) alternates pump1 and pump2 every 30 minutes; a start
// needs a tank level above 20, a level below 5 stops the pumps and raises
// the alarm. Flow 1 adopts the superstate location "alarm" with two flows:
// the horn (quiet / sounding, silenced after 5 minutes) and its
// acknowledgement (clear / unacked).

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "testkit/testkit.h"
#include "writer/machine.h"

namespace {

// --- the plain interface (guide section 10 counts these lines) ---------------

float plain_level(FSMstate* s) {
  float v = 0;
  int h = s->data_open("LEVEL", 0);
  if (h != -1 && s->data_lock(h, 0) == 0) {
    s->data_get(h, &v, 0);
    s->data_unlock(h, 0);
  }
  return v;
}

int tank_not_empty(FSMstate* s) {
  return plain_level(s) > 20;
}

int tank_dry(FSMstate* s) {
  return plain_level(s) < 5;
}

int count_start(FSMstate* s) {
  int h = s->data_open("STARTS", 0);
  if (h == -1 || s->data_lock(h, 0) != 0) return 0;
  int n = 0;
  s->data_get(h, &n, 0);
  s->data_set(h, n + 1, 0);
  s->data_unlock(h, 0);
  return 0;
}

FSMstate* plain_pump(const char* name, const char* other) {
  FSMstate* p = new FSMstate(name, "pumping", 0);
  p->add_action("enter", count_start);
  p->add_timeout(30 * 60 * 1000, "swap", nullptr);
  p->add_transition("swap", nullptr, nullptr, nullptr, nullptr, other);
  return p;
}

void create_plain_station(EqFSMlocation* loc) {
  FSMstate* idle = new FSMstate("idle", "pumps off", 0);
  idle->add_transition("start", tank_not_empty, nullptr, nullptr, nullptr, "running");
  FSMsuperstate* running = new FSMsuperstate(nullptr, "running", "one pump runs", 0);
  running->add_transition("stop", nullptr, nullptr, nullptr, nullptr, "idle");
  running->add_transition("*", tank_dry, nullptr, "alarm", "alarm!*", "idle");
  running->add_state(0, plain_pump("pump1", "pump2"));
  running->add_state(0, plain_pump("pump2", "pump1"));
  running->flow_attributes(0, "", 1);
  loc->state_ptr->add_state(0, idle);
  loc->state_ptr->add_state(0, running);
  loc->state_ptr->add_reference(1, "alarm");
  loc->flows.push_back(new D_flow("FLOW_0 mode", loc));
  loc->flows.push_back(new D_flow("FLOW_1 alarm", loc));
  loc->norix_data.push_back(new norix::D_value<float>("LEVEL tank level in percent", loc));
  loc->norix_data.push_back(new norix::D_value<int>("STARTS pump starts", loc));
}

void create_plain_alarm(EqFSMlocation* loc) {
  FSMstate* quiet = new FSMstate("quiet", "", 0);
  quiet->add_transition("alarm", nullptr, nullptr, nullptr, nullptr, "sounding");
  FSMstate* sounding = new FSMstate("sounding", "", 0);
  sounding->add_timeout(5 * 60 * 1000, "silence", nullptr);
  sounding->add_transition("silence", nullptr, nullptr, nullptr, nullptr, "quiet");
  FSMstate* clear = new FSMstate("clear", "", 0);
  clear->add_transition("alarm", nullptr, nullptr, nullptr, nullptr, "unacked");
  FSMstate* unacked = new FSMstate("unacked", "", 0);
  unacked->add_transition("ack", nullptr, nullptr, nullptr, nullptr, "clear");
  loc->state_ptr->add_state(0, quiet);
  loc->state_ptr->add_state(0, sounding);
  loc->state_ptr->add_state(1, clear);
  loc->state_ptr->add_state(1, unacked);
  loc->flows.push_back(new D_flow("FLOW_0 horn", loc));
  loc->flows.push_back(new D_flow("FLOW_1 acknowledgement", loc));
}

// --- the layer (guide section 10 counts these lines) -------------------------

using fsm::Context;
using fsm::State;
using namespace std::chrono_literals;

const fsm::Property<float> LEVEL{"LEVEL", "tank level in percent"};
const fsm::Property<int> STARTS{"STARTS", "pump starts"};

State pump(const char* name, const char* other) {
  return State(name, "pumping")
      .enter([](Context& c) { c.add(STARTS); })
      .after(30min, "swap")
      .on("swap", other);
}

const fsm::Machine station =
    fsm::Machine()
        .flow("FLOW_0 mode",
              {State("idle", "pumps off")
                   .on("start", "running")
                   .when([](Context& c) { return c.get(LEVEL) > 20; }, "tank not empty"),
               State("running", "one pump runs")
                   .on("stop", "idle")
                   .on("*", "idle")
                   .when([](Context& c) { return c.get(LEVEL) < 5; }, "tank dry")
                   .signal("alarm", "alarm!*")
                   .flow(fsm::Flow{pump("pump1", "pump2"), pump("pump2", "pump1")}.history())})
        .flow("FLOW_1 alarm", fsm::Flow().adopt("alarm"))
        .property(LEVEL)
        .property(STARTS);

const fsm::Machine alarm =
    fsm::Machine()
        .flow("FLOW_0 horn", {State("quiet").on("alarm", "sounding"),
                              State("sounding").after(5min, "silence").on("silence", "quiet")})
        .flow("FLOW_1 acknowledgement",
              {State("clear").on("alarm", "unacked"), State("unacked").on("ack", "clear")});

// --- the test ------------------------------------------------------------------

TEST(PumpStation, PlainAndLayerMachinesBehaveAlike) {
  std::vector<testkit::Fired> fired[2];
  for (int k = 0; k < 2; ++k) {
    SCOPED_TRACE(k == 0 ? "plain" : "layer");
    testkit::Machine m("STATION", "station", k == 0 ? create_plain_station : fsm::create<&station>,
                       testkit::Conf().value("LEVEL", 50));
    m.join("ALARM", "alarm", k == 0 ? create_plain_alarm : fsm::create<&alarm>);
    ASSERT_EQ(m.start(), 0);
    m.event("start:*");
    EXPECT_EQ(m.flow_state(0, "STATION"), "running");
    m.advance(30min);  // the pumps take turns
    m.event("stop:*");
    m.event("start:*");  // history: pump2 again
    m.set("LEVEL", "2");
    m.tick();  // dry: stop and raise the alarm, a signal posted on the timer
    m.tick();  // event, so dispatched at the next tick
    EXPECT_EQ(m.flow(0), "idle");
    EXPECT_EQ(m.flow(0, "ALARM"), "sounding");
    EXPECT_EQ(m.flow(1, "ALARM"), "unacked");
    m.advance(5min);
    m.event("ack:!");
    EXPECT_EQ(m.flow(0, "ALARM"), "quiet");
    EXPECT_EQ(m.get("STARTS"), "3");
    fired[k] = m.fired();
  }
  EXPECT_EQ(fired[0], fired[1]);
  EXPECT_EQ(fired[1].size(), 9u);
}

}  // namespace
