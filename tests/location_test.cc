// location_test.cc - the FSM location as clients, the server's hooks and
// other machines see it: EVENT texts and what they post, FAULT and FLOW_n
// values, saved value lines and restarting from them, superstate locations
// joining their machine, send_event, and the hooks' diagnostics.

#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <sstream>

#include "testkit/testkit.h"

namespace {

using Trace = std::vector<std::string>;

// Machine "lamp": flow 0 switches between off and on, flow 1 holds idle,
// whose description is too long for a value; FLOW_2 names no flow.
void create_lamp(EqFSMlocation* loc) {
  FSMstate* off = testkit::recorded_state("off", "lamp is off");
  FSMstate* on = testkit::recorded_state("on", "lamp is on");
  off->add_transition("switch", nullptr, nullptr, nullptr, nullptr, "on");
  on->add_transition("switch", nullptr, nullptr, nullptr, nullptr, "off");
  loc->state_ptr->add_state(0, off);
  loc->state_ptr->add_state(0, on);
  loc->state_ptr->add_state(1, testkit::recorded_state("idle", std::string(100, 'd').c_str()));
  for (const char* name : {"FLOW_0 the lamp", "FLOW_1 the long one", "FLOW_2 not a flow"})
    loc->flows.push_back(new D_flow(name, loc));
}

// Machine "plant" adopts the superstate of location type "pumpctl" in flow 1.
void create_plant(EqFSMlocation* loc) {
  loc->state_ptr->add_reference(1, "pumpctl");
  loc->flows.push_back(new D_flow("FLOW_1 the pump", loc));
}

void create_pump(EqFSMlocation* loc) {
  FSMstate* idle = testkit::recorded_state("idle");
  idle->add_transition("start", nullptr, nullptr, nullptr, nullptr, "running");
  loc->state_ptr->add_state(0, idle);
  loc->state_ptr->add_state(0, testkit::recorded_state("running"));
}

// A property's value as a client gets it: "text|length|f2".
std::string value_of(D_fct* p) {
  EqData res;
  p->get(nullptr, nullptr, &res, nullptr);
  USTR* u = res.get_ustr(0);
  return std::string(u->str_data.str_data_val) + "|" + std::to_string(u->str_data.str_data_len) +
         (u->f2_data != 0 ? "|1" : "|0");
}

// A saved line without the time stamp before its quoted text.
std::string saved_line(D_fsmstr* p) {
  std::ostringstream out;
  p->write(out);
  std::string line = out.str();
  size_t quote = line.find('"');
  return line.substr(0, line.rfind(' ', quote - 2)) + line.substr(quote - 1);
}

}  // namespace

TEST(EventText, EachFormPostsItsEventAndAddressWithinBounds) {
  struct Case {
    std::string text;    // a client's string, or the bytes of a USTR's text
    unsigned len;        // the USTR's stated length; 0 writes text as a string
    std::string posted;  // "" when nothing is posted
    std::string stored;  // EVENT's text afterwards ("prior" when ignored)
    int rc = 0;          // the answer to a client's string
  };
  const std::string a(5000, 'a');
  const std::string a80(80, 'a');
  const std::string c79(79, 'c');
  const Case cases[] = {
      {"go", 0, "go@lamp", "go"},
      {"go:", 0, "go@lamp", "go:"},
      {"go:!", 0, "go@*", "go:!"},
      {"go:off", 0, "go@lamp!off", "go:off"},
      {"go:*", 0, "go@lamp!*", "go:*"},
      {":go", 0, "", "prior", ERR_WRONG_TYPE},  // names no event
      {"", 0, "", "prior", ERR_WRONG_TYPE},
      {"go\n:x", 0, "", "prior", ERR_WRONG_TYPE},  // would break its saved line
      {"go\r", 0, "", "prior", ERR_WRONG_TYPE},
      {std::string(200, 'c'), 0, c79 + "@lamp", c79},
      {a + ":" + a + '\0', 10002, a80 + "@lamp!" + a.substr(0, 75), a80},
      {"abcde", 5, "abcde@lamp", "abcde"},              // read to the stated length
      {std::string("go\0", 3), 1000, "go@lamp", "go"},  // to the terminator
      {"<null>", 10, "", "prior"},                      // no text at all
  };
  testkit::Machine m("LAMP", "lamp", create_lamp);
  D_event& event = m.location()->event;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 20));
    event.set_value("prior");
    // A USTR's text in a block of exactly its bytes, so that an overread shows.
    std::unique_ptr<char[]> bytes(new char[c.text.size()]);
    memcpy(bytes.get(), c.text.data(), c.text.size());
    USTR u{0, 0, 0, 0, {c.len, c.text == "<null>" ? nullptr : bytes.get()}};
    EXPECT_EQ(c.len == 0 ? m.set("EVENT", c.text) : (event.set_event(&u), 0), c.rc);
    EXPECT_EQ(m.queued(), c.posted.empty() ? Trace{} : Trace{c.posted});
    EXPECT_EQ(m.get("EVENT"), c.stored);
  }
}

// A name that no state takes is posted all the same, and the answer says so
// once the machine runs; names some state takes, and "timer", answer nothing.
TEST(EventText, ANameNoStateTakesIsPostedAndTheAnswerSaysSo) {
  testkit::Machine m("LAMP", "lamp", create_lamp);
  ASSERT_EQ(m.start(), 0);
  const struct {
    const char* text;
    std::string answer;
  } cases[] = {
      {"swtich:*", "posted, but no state of machine \"lamp\" takes event \"swtich\""},
      {"switch:off", ""},
      {"timer:!", ""},
  };
  for (const auto& c : cases) {
    EqData value;
    value.set(c.text);
    EqData res;
    m.location()->event.set(nullptr, &value, &res, m.location());
    EXPECT_EQ(res.error(), 0);
    EXPECT_EQ(res.type() == DATA_NULL ? "" : res.text_value(), c.answer) << c.text;
  }
  m.tick();
  EXPECT_EQ(m.fired(), (std::vector<testkit::Fired>{{"lamp/0", "off", "on", "switch"}}));
}

TEST(EventText, ClientsQueueUpToTheLimitAndTheMachineItselfBeyondIt) {
  testkit::Machine m("LAMP", "lamp", create_lamp);
  norix::set_client_event_limit(2);
  EXPECT_EQ(m.set("EVENT", "a"), 0);
  EXPECT_EQ(m.set("EVENT", "b"), 0);
  EXPECT_EQ(m.set("EVENT", "c"), ERR_BUSY);  // nothing queued
  m.post("signal", "*");
  EXPECT_EQ(m.queued(), (Trace{"a@lamp", "b@lamp", "signal@*"}));
  EXPECT_EQ(m.set("EVENT", "d"), 0);  // taken out: room again
  norix::set_client_event_limit(0);   // the default
}

TEST(LocationValues, FaultAndFlowsShowStatesCutAt80AndFlowsSaveTheirStart) {
  testkit::Machine m("LAMP", "lamp", create_lamp);
  ASSERT_EQ(m.start(), 0);
  EqFSMlocation* loc = m.location();
  EXPECT_EQ(value_of(&loc->status), "|1|0");
  loc->state_ptr->set_error((std::string(79, 'e') + "XYZ").c_str());
  EXPECT_EQ(value_of(&loc->status), std::string(79, 'e') + "X|81|1");
  for (const char* read_only : {"FAULT", "FLOW_0", "FSM", "DESCR"})
    EXPECT_EQ(m.set(read_only, "x"), ERR_ILLEGAL_WRITE) << read_only;
  EXPECT_EQ(m.fault(), std::string(79, 'e') + "X");
  EXPECT_EQ(value_of(loc->flows[0]), "off : lamp is off|18|0");
  EXPECT_EQ(value_of(loc->flows[1]), "idle : " + std::string(73, 'd') + "|81|0");
  EXPECT_EQ(value_of(loc->flows[2]), "No such location|16|0");
  FSMstate* off = nullptr;
  loc->state_ptr->get_st_name(0, 0, &off);
  off->set_error("bulb broken");
  EXPECT_EQ(value_of(loc->flows[0]), "off : bulb broken|18|1");
  // Without history a flow saves its start state, not the active one.
  m.event("switch:off");
  EXPECT_EQ(saved_line(loc->flows[0]), " \t0 1 0 \"off : lamp is off\"\n");
}

TEST(SavedValue, LinesLoadCutAt79AndAFlowWithHistoryRestartsInItsSavedState) {
  std::ostringstream saved;
  {
    testkit::Machine m("LAMP", "lamp", create_lamp,
                       "FLOW_0 \t1 0 0 0 \"on : lamp is on\"\nEVENT \t3 0.5 2 99 \"" +
                           std::string(90, 'x') + "\"\n");
    ASSERT_EQ(m.start(), 0);  // loads the lines, as a server does before init
    EXPECT_EQ(saved_line(&m.location()->event), " \t3 0.5 2 \"" + std::string(79, 'x') + "\"\n");
    EXPECT_EQ(m.flow(0), "on");
    m.event("switch:on");
    EXPECT_EQ(saved_line(m.location()->flows[0]), " \t1 1 0 \"off : lamp is off\"\n");
    m.location()->write(saved);
  }
  testkit::actions().take();
  testkit::Machine next("LAMP", "lamp", create_lamp, saved.str());
  ASSERT_EQ(next.start(), 0);
  EXPECT_EQ(testkit::actions().take(),
            (Trace{"init:off", "init:on", "init:idle", "enter:off", "enter:idle"}));
  // A start state set as plain text (its length without terminator) is
  // taken whole.
  next.location()->flows[0]->set_value("on");
  next.location()->init();
  EXPECT_EQ(next.location()->state_ptr->flow[0]->state_name, "on");
}

// A location that joins no machine is also reported with its origin by the
// server's start-up checks (definition_checks_test.cc); the host is owed
// the two diagnostics on standard output.
TEST(Registry, SuperstateLocationsJoinTheirMachineByNameOrAreReported) {
  testkit::Machine m("PLANT", "plant", create_plant);
  m.join("PUMP", "pumpctl", create_pump, "DESCR \tpump control\n");
  m.join("ORPHAN", "pumpctl", create_pump, "FSM \tNO.SUCH.MACHINE\n");
  testing::internal::CaptureStdout();
  ASSERT_EQ(m.start(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "The parent of ORPHAN is undefined\n");
  EXPECT_EQ(testkit::actions().take(), (Trace{"init:idle", "init:running", "enter:idle"}));
  // An event written to the pump's location goes to the plant's queue.
  EXPECT_EQ(m.set("EVENT", "start:idle", "PUMP"), 0);
  m.tick();
  EXPECT_EQ(testkit::actions().take(),
            (Trace{"poll:idle", "exit:idle", "enter:running", "poll:running", "during:running"}));
  EXPECT_EQ(m.get("FLOW_1"), "pumpctl : pump control");
  // Machines that send_event cannot reach, and events it cannot send.
  FSMevent ev;
  char unknown[] = "NO.SUCH.MACHINE";
  char plant[] = "plant";
  EXPECT_EQ(send_event(nullptr, &ev) + send_event(unknown, &ev) + send_event(plant, nullptr), 3);
  gbl_fct_name = "";  // a location whose type has no name
  testing::internal::CaptureStdout();
  std::unique_ptr<EqFct> loc(eq_create(100, nullptr));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "undefined location 100\n");
}

// An engine stuck in an action of the root holds the machine's lock: a save
// writes the flow as always (the machine active) without waiting for it.
testkit::Gate* stuck = new testkit::Gate;  // reachable: the engine may still wait on it
testkit::Gate* release = new testkit::Gate;

TEST(SavedValue, AnEngineStuckInAnActionDoesNotStopTheSave) {
  EqFSMlocation* loc = testkit::serve({{"STUCK", 100, "lamp", [](EqFSMlocation* l) {
                                          create_lamp(l);
                                          l->state_ptr->add_action("hang", [](FSMstate*) {
                                            stuck->open();
                                            return release->wait() ? 0 : 1;
                                          });
                                        }}})[0];
  ASSERT_TRUE(testkit::wait_ready(loc));
  ASSERT_EQ(testkit::client_set(testkit::address("STUCK", "EVENT"), "hang:lamp"), 0);
  loc->update();
  ASSERT_TRUE(stuck->wait());
  EXPECT_EQ(saved_line(loc->flows[0]), " \t0 1 0 \"off : lamp is off\"\n");
  release->open();
}
