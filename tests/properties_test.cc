// properties_test.cc - the FSM location's properties as clients and the
// server's configuration see them: EVENT texts and what they post, FAULT
// and FLOW_n values, saved value lines and restarting from them.

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

// A property's value as a client reads it: "text|length|f2".
std::string value_of(const std::string& property) {
  EqAdr adr;
  adr.adr(testkit::address("LAMP", property));
  EqData req;
  EqData res;
  if (EqCall().get(&adr, &req, &res) != 0) return "error";
  USTR* u = res.get_ustr(0);
  std::ostringstream out;
  out << u->str_data.str_data_val << "|" << u->str_data.str_data_len << "|" << u->f2_data;
  return out.str();
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
    std::string text;  // a client's string, or the bytes of a USTR's text
    unsigned len;      // the USTR's stated length; 0 writes text as a string
    Trace posted;
    std::string stored;  // EVENT's text afterwards ("prior" when ignored)
  };
  const std::string a(5000, 'a');
  const Case cases[] = {
      {"go", 0, {"go@lamp"}, "go"},
      {"go:", 0, {"go@lamp"}, "go:"},
      {"go:!", 0, {"go@*"}, "go:!"},
      {"go:off", 0, {"go@lamp!off"}, "go:off"},
      {"go:*", 0, {"go@lamp!*"}, "go:*"},
      {":go", 0, {}, "prior"},
      {"", 0, {}, "prior"},
      {std::string(200, 'c'), 0, {std::string(79, 'c') + "@lamp"}, std::string(79, 'c')},
      {a + ":" + a + '\0',
       10002,
       {std::string(80, 'a') + "@lamp!" + std::string(75, 'a')},
       std::string(80, 'a')},
      {"abcde", 5, {"abcde@lamp"}, "abcde"},  // no terminator: read to the stated length
      {std::string("go\0", 3), 1000, {"go@lamp"}, "go"},  // read to the terminator
  };
  testkit::Machine m("LAMP", "lamp", create_lamp);
  D_event& event = m.location()->event;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 20));
    event.set_value("prior");
    if (c.len == 0) {
      EXPECT_EQ(m.set("EVENT", c.text), 0);
    } else {
      // A block of exactly the text's bytes, so that an overread shows.
      std::unique_ptr<char[]> bytes(new char[c.text.size()]);
      memcpy(bytes.get(), c.text.data(), c.text.size());
      USTR u{0, 0, 0, 0, {c.len, bytes.get()}};
      event.set_event(&u);
    }
    EXPECT_EQ(m.queued(), c.posted);
    EXPECT_EQ(m.get("EVENT"), c.stored);
  }
  USTR none{0, 0, 0, 0, {10, nullptr}};
  event.set_event(&none);
  event.set_event(nullptr);
  EXPECT_EQ(m.queued(), Trace{});
  EXPECT_EQ(m.get("EVENT"), "go");
}

TEST(LocationValues, FaultAndFlowsShowStatesCutAt80AndIgnoreWrites) {
  testkit::Machine m("LAMP", "lamp", create_lamp);
  ASSERT_EQ(m.start(), 0);
  const std::string long_error = std::string(79, 'e') + "XYZ";
  for (const std::string& error : {std::string(), long_error.substr(0, 12), long_error}) {
    m.location()->state_ptr->clear_error();
    m.location()->state_ptr->set_error(error.c_str());
    std::string shown = error.substr(0, 80);
    EXPECT_EQ(value_of("FAULT"),
              shown + "|" + std::to_string(shown.size() + 1) + "|" + (error.empty() ? "0" : "1"));
  }
  EXPECT_EQ(m.set("FAULT", "x"), 0);
  EXPECT_EQ(m.fault(), long_error.substr(0, 80));

  EXPECT_EQ(value_of("FLOW_0"), "off : lamp is off|18|0");
  EXPECT_EQ(value_of("FLOW_1"), "idle : " + std::string(73, 'd') + "|81|0");
  EXPECT_EQ(value_of("FLOW_2"), "No such location|16|0");
  FSMstate* off = nullptr;
  m.location()->state_ptr->get_st_name(0, 0, &off);
  off->set_error("bulb broken");
  EXPECT_EQ(value_of("FLOW_0"), "off : bulb broken|18|1");
  // The flow number follows the first underscore of a name with "FLOW_".
  std::vector<std::pair<const char*, int>> ids = {
      {"FLOW_12 x", 12}, {"XFLOW x", -1}, {"A_7FLOW_ x", 7}, {"FLOW_x", -1}, {"A_FLOW_3", -1}};
  for (const auto& id : ids)
    EXPECT_EQ(D_flow(id.first, m.location()).get_id(), id.second) << id.first;
}

TEST(SavedValue, FlowWithoutHistorySavesItsStartState) {
  testkit::Machine m("LAMP", "lamp", create_lamp);
  ASSERT_EQ(m.start(), 0);
  m.event("switch:off");
  EXPECT_EQ(m.flow(0), "on");
  EXPECT_EQ(saved_line(m.location()->flows[0]), " \t0 1 0 \"off : lamp is off\"\n");
}

TEST(SavedValue, LinesLoadCutAt79AndAFlowWithHistoryRestartsInItsSavedState) {
  std::string saved;
  {
    testkit::Machine m("LAMP", "lamp", create_lamp,
                       "FLOW_0 \t1 0 0 0 \"on : lamp is on\"\nEVENT \t3 0.5 2 99 \"" +
                           std::string(90, 'x') + "\"\n");
    EXPECT_EQ(saved_line(&m.location()->event), " \t3 0.5 2 \"" + std::string(79, 'x') + "\"\n");
    EXPECT_EQ(m.queued(), Trace{});
    ASSERT_EQ(m.start(), 0);
    EXPECT_EQ(m.flow(0), "on");
    m.event("switch:on");
    EXPECT_EQ(saved_line(m.location()->flows[0]), " \t1 1 0 \"off : lamp is off\"\n");
    std::ostringstream out;
    m.location()->write(out);
    saved = out.str();
  }
  testkit::actions().take();
  testkit::Machine next("LAMP", "lamp", create_lamp, saved);
  ASSERT_EQ(next.start(), 0);
  EXPECT_EQ(testkit::actions().take(),
            (Trace{"init:off", "init:on", "init:idle", "enter:off", "enter:idle"}));
  // A start state set as plain text (its length without terminator) is
  // taken whole.
  next.location()->flows[0]->set_value("on");
  next.location()->init();
  EXPECT_EQ(next.location()->state_ptr->flow[0]->state_name, "on");
}
