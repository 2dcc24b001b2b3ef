// properties_test.cc - the FSM location's properties as clients and the
// server's configuration see them: EVENT texts and posting, FAULT and FLOW_n
// values, saved value lines and loading them.

#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fsm/fsm.h"
#include "tests/support/host.h"

namespace {

using host::LocationConfig;

// Machine "lamp": flow 0 switches between off and on, flow 1 holds idle.
void build_lamp(EqFSMlocation* loc) {
  FSMsuperstate* root = loc->state_ptr;
  FSMstate* off = host::recorded_state("off", "lamp is off");
  FSMstate* on = host::recorded_state("on", "lamp is on");
  off->add_transition("switch", nullptr, nullptr, nullptr, nullptr, "on");
  on->add_transition("switch", nullptr, nullptr, nullptr, nullptr, "off");
  root->add_state(0, off);
  root->add_state(0, on);
  root->add_state(1, host::recorded_state("idle", std::string(100, 'd').c_str()));
  loc->flows.push_back(new D_flow("FLOW_0 the lamp", loc));
  loc->flows.push_back(new D_flow("FLOW_1 the long one", loc));
  loc->flows.push_back(new D_flow("FLOW_2 not a flow of the lamp", loc));
  loc->flows.push_back(new D_flow("STATUS not a flow property", loc));
}

node_info lamp_type = {nullptr, "lamp", build_lamp};

LocationConfig lamp_config(const std::string& saved) {
  return {"LAMP", 100, "lamp", host::conf("LAMP.MACHINE", "a lamp", saved)};
}

// Creates the lamp location without starting its engines, so that posted
// events stay in its queue.
EqFSMlocation* idle_lamp(const std::string& saved = "") {
  eq_init_prolog();
  return host::create_locations({lamp_config(saved)})[0];
}

EqFSMlocation* running_lamp(const std::string& saved = "") {
  EqFSMlocation* loc = host::start_server({lamp_config(saved)})[0];
  EXPECT_TRUE(host::wait_ready(loc));
  return loc;
}

struct Value {
  int i1;
  float f1;
  float f2;
  unsigned len;
  std::string text;
  time_t tm;
};

Value value_of(const USTR* u) {
  return {u->i1_data,
          u->f1_data,
          u->f2_data,
          u->str_data.str_data_len,
          u->str_data.str_data_val != nullptr ? u->str_data.str_data_val : "<null>",
          u->tm};
}

Value client_value(const std::string& location, const std::string& property) {
  EqData res;
  EXPECT_EQ(host::client_get(location, property, &res), 0);
  USTR* u = res.get_ustr(0);
  EXPECT_NE(u, nullptr);
  return u != nullptr ? value_of(u) : Value{};
}

int client_write(const std::string& location, const std::string& property, const char* text) {
  EqData value;
  EqData res;
  value.set(text);
  return host::client_set(location, property, &value, &res);
}

}  // namespace

node_info* init_list = &lamp_type;

TEST(EventText, EveryFormPostsItsEventAndTarget) {
  EqFSMlocation* loc = idle_lamp();
  for (const char* text : {"go", "go:", "go:!", "go:off", "go:*", ":go", ""}) {
    EXPECT_EQ(client_write("LAMP", "EVENT", text), 0) << text;
  }
  EXPECT_EQ(host::drain(host::root_of(loc)->event_fifo),
            (std::vector<std::string>{"go@lamp", "go@lamp", "go@*", "go@lamp!off", "go@lamp!*"}));

  // The ignored texts left the last accepted one in place.
  time_t before = time(nullptr);
  EXPECT_EQ(client_write("LAMP", "EVENT", "stop:on"), 0);
  Value v = client_value("LAMP", "EVENT");
  EXPECT_EQ(v.text, "stop:on");
  EXPECT_EQ(v.len, 7u);
  EXPECT_EQ(v.i1, 0);
  EXPECT_EQ(v.f1, 0.0f);
  EXPECT_EQ(v.f2, 0.0f);
  EXPECT_GE(v.tm, before);
  EXPECT_LE(v.tm, time(nullptr));

  // A USTR write is stored as sent; data of another type is ignored.
  EqData data;
  EqData res;
  USTR u = host::ustr(7, 1.5f, 2.5f, 42, "ping:idle", 10);
  data.set(u, 0);
  host::client_set("LAMP", "EVENT", &data, &res);
  data.set(12);
  host::client_set("LAMP", "EVENT", &data, &res);
  v = client_value("LAMP", "EVENT");
  EXPECT_EQ(v.text, "ping:idle");
  EXPECT_EQ(v.len, 10u);
  EXPECT_EQ(v.i1, 7);
  EXPECT_EQ(v.tm, 42);
  EXPECT_EQ(host::drain(host::root_of(loc)->event_fifo),
            (std::vector<std::string>{"stop@lamp!on", "ping@lamp!idle"}));
}

TEST(EventText, ClientTextsOfAnyShapeAreReadWithinTheirBounds) {
  EqFSMlocation* loc = idle_lamp();
  D_event& event = loc->event;

  // Names and targets are cut to 80 characters, the value to 80 and 81.
  std::string name(5000, 'a');
  std::string text = name + ":" + std::string(5000, 'b');
  USTR big = host::ustr(0, 0, 0, 0, text.c_str(), static_cast<unsigned>(text.size() + 1));
  event.set_event(&big);
  EXPECT_EQ(value_of(event.value()).text, std::string(80, 'a'));
  EXPECT_EQ(event.value()->str_data.str_data_len, 81u);

  // A text without terminator is read exactly to its stated length; a
  // stated length beyond the text stops at the terminator (heap blocks of
  // the exact size, so that an overread shows under the address checker).
  std::unique_ptr<char[]> bare(new char[5]);
  memcpy(bare.get(), "abcde", 5);
  USTR unterminated = host::ustr(0, 0, 0, 0, bare.get(), 5);
  event.set_event(&unterminated);
  EXPECT_EQ(value_of(event.value()).text, "abcde");
  EXPECT_EQ(event.value()->str_data.str_data_len, 5u);

  std::unique_ptr<char[]> short_text(new char[3]);
  memcpy(short_text.get(), "go", 3);
  USTR overstated = host::ustr(0, 0, 0, 0, short_text.get(), 1000);
  event.set_event(&overstated);
  EXPECT_EQ(value_of(event.value()).text, "go");
  EXPECT_EQ(event.value()->str_data.str_data_len, 3u);

  // No text, no event; the value stays.
  USTR none = host::ustr(0, 0, 0, 0, nullptr, 10);
  event.set_event(&none);
  event.set_event(nullptr);
  EXPECT_EQ(value_of(event.value()).text, "go");

  // A long string write is taken in an 80-character buffer.
  client_write("LAMP", "EVENT", std::string(200, 'c').c_str());

  EXPECT_EQ(host::drain(host::root_of(loc)->event_fifo),
            (std::vector<std::string>{std::string(80, 'a') + "@lamp!" + std::string(75, 'b'),
                                      "abcde@lamp", "go@lamp", std::string(79, 'c') + "@lamp"}));
}

TEST(FaultValue, ShowsTheStateErrorCutAt80AndIgnoresWrites) {
  EqFSMlocation* loc = idle_lamp();
  time_t before = time(nullptr);
  Value v = client_value("LAMP", "FAULT");
  EXPECT_EQ(v.text, "");
  EXPECT_EQ(v.len, 1u);
  EXPECT_EQ(v.f2, 0.0f);
  EXPECT_GE(v.tm, before);

  loc->state_ptr->set_error("pump tripped");
  v = client_value("LAMP", "FAULT");
  EXPECT_EQ(v.text, "pump tripped");
  EXPECT_EQ(v.len, 13u);
  EXPECT_EQ(v.i1, 0);
  EXPECT_EQ(v.f2, 1.0f);

  loc->state_ptr->clear_error();
  std::string long_error = std::string(79, 'e') + "XYZ" + std::string(18, 'e');
  loc->state_ptr->set_error(long_error.c_str());
  v = client_value("LAMP", "FAULT");
  EXPECT_EQ(v.text, long_error.substr(0, 80));
  EXPECT_EQ(v.len, 81u);
  EXPECT_EQ(v.f2, 1.0f);

  // DESCR is loaded after FSM, so its text is the state's description;
  // writes to FAULT, FSM and DESCR change nothing.
  EXPECT_EQ(std::string(loc->state_ptr->get_descr()), "a lamp");
  EXPECT_EQ(client_write("LAMP", "FSM", "OTHER"), 0);
  EXPECT_EQ(client_write("LAMP", "DESCR", "other"), 0);
  client_write("LAMP", "FAULT", "x");
  EXPECT_EQ(std::string(loc->fsm.value()), "LAMP.MACHINE");
  EXPECT_EQ(std::string(loc->description.value()), "a lamp");
  EXPECT_EQ(client_value("LAMP", "FAULT").text, long_error.substr(0, 80));
}

TEST(FlowValue, ShowsActiveStateWithDescriptionOrError) {
  EqFSMlocation* loc = running_lamp();
  Value v = client_value("LAMP", "FLOW_0");
  EXPECT_EQ(v.text, "off : lamp is off");
  EXPECT_EQ(v.len, 18u);
  EXPECT_EQ(v.i1, 0);
  EXPECT_EQ(v.f1, 1.0f);  // the location's state is active
  EXPECT_EQ(v.f2, 0.0f);

  // The long description is cut: "idle : " and 73 characters of it.
  v = client_value("LAMP", "FLOW_1");
  EXPECT_EQ(v.text, "idle : " + std::string(73, 'd'));
  EXPECT_EQ(v.len, 81u);

  v = client_value("LAMP", "FLOW_2");
  EXPECT_EQ(v.text, "No such location");
  EXPECT_EQ(v.len, 16u);
  EXPECT_EQ(v.f1, 0.0f);

  FSMstate* off = nullptr;
  loc->state_ptr->get_st_name(0, 0, &off);
  ASSERT_NE(off, nullptr);
  off->set_error("bulb broken");
  v = client_value("LAMP", "FLOW_0");
  EXPECT_EQ(v.text, "off : bulb broken");
  EXPECT_EQ(v.f2, 1.0f);
}

TEST(FlowValue, NumberComesFromTheFirstUnderscore) {
  EqFSMlocation* loc = idle_lamp();
  struct Case {
    const char* name;
    int id;
  };
  for (Case c : {Case{"FLOW_3 x", 3}, Case{"FLOW_12", 12}, Case{"XFLOW x", -1},
                 Case{"A_FLOW_3 x", -1}, Case{"A_7FLOW_ x", 7}, Case{"FLOW_x", -1}}) {
    D_flow flow(c.name, loc);
    EXPECT_EQ(flow.get_id(), c.id) << c.name;
  }
}

TEST(SavedValue, LineFormatAndLoading) {
  EqFSMlocation* loc = idle_lamp("EVENT \t3 0.5 2 99 \"" + std::string(90, 'x') + "\"\n");

  // Loading copies the numbers and 79 characters; nothing is posted.
  Value v = value_of(loc->event.value());
  EXPECT_EQ(v.i1, 3);
  EXPECT_EQ(v.f1, 0.5f);
  EXPECT_EQ(v.f2, 2.0f);
  EXPECT_EQ(v.tm, 99);
  EXPECT_EQ(v.text, std::string(79, 'x'));
  EXPECT_EQ(v.len, 80u);
  EXPECT_TRUE(host::drain(host::root_of(loc)->event_fifo).empty());

  USTR u = host::ustr(1, 1.0f, 0.0f, 0, "T", 1);
  loc->event.set_value(&u);
  std::ostringstream out;
  loc->event.write(out);
  EXPECT_EQ(out.str(), " \t1 1 0 0 \"T\"\n");

  loc->event.set_value(-2);
  loc->event.set_f1(0.25f);
  loc->event.set_f2(1e20f);
  loc->event.set_value(static_cast<time_t>(1700000000));
  loc->event.set_value("a b");
  std::ostringstream out2;
  loc->event.write(out2);
  EXPECT_EQ(out2.str(), " \t-2 0.25 1e+20 1700000000 \"a b\"\n");
}

namespace {

// Switches flow 0 of a running lamp with a client event and one tick.
void switch_lamp(EqFSMlocation* loc, const char* from, const char* to) {
  host::trace().clear();
  EXPECT_EQ(client_write("LAMP", "EVENT", (std::string("switch:") + from).c_str()), 0);
  loc->update();
  ASSERT_TRUE(host::trace().wait_count("timer:idle", 1));
  EXPECT_EQ(host::trace().snapshot(),
            (std::vector<std::string>{std::string("exit:") + from, std::string("enter:") + to,
                                      std::string("timer:") + to, "timer:idle"}));
}

std::string saved_line(D_flow* flow) {
  std::ostringstream out;
  flow->write(out);
  std::string line = out.str();
  size_t quote = line.find('"');
  // The time stamp is the time of the write: leave it out.
  return line.substr(0, line.rfind(' ', quote - 2)) + line.substr(quote - 1);
}

}  // namespace

TEST(SavedValue, FlowWithoutHistorySavesItsStartState) {
  EqFSMlocation* loc = running_lamp();
  switch_lamp(loc, "off", "on");
  EXPECT_EQ(client_value("LAMP", "FLOW_0").text, "on : lamp is on");
  EXPECT_EQ(saved_line(loc->flows[0]), " \t0 1 0 \"off : lamp is off\"\n");
}

TEST(SavedValue, FlowWithHistoryRestartsAndSavesItsActiveState) {
  EqFSMlocation* loc = running_lamp("FLOW_0 \t1 0 0 0 \"on : lamp is on\"\n");
  EXPECT_EQ(client_value("LAMP", "FLOW_0").text, "on : lamp is on");
  switch_lamp(loc, "on", "off");
  EXPECT_EQ(saved_line(loc->flows[0]), " \t1 1 0 \"off : lamp is off\"\n");

  // The location's whole saved configuration starts the next server in off.
  std::ostringstream saved;
  loc->write(saved);
  host::trace().clear();
  EqFSMlocation* next = host::start_server({{"LAMP", 100, "lamp", saved.str()}})[0];
  ASSERT_TRUE(host::wait_ready(next));
  EXPECT_EQ(host::trace().snapshot(), (std::vector<std::string>{"init:off", "init:on", "init:idle",
                                                                "enter:off", "enter:idle"}));
  EXPECT_EQ(client_value("LAMP", "FLOW_0").text, "off : lamp is off");
  EXPECT_EQ(std::string(next->fsm.value()), "LAMP.MACHINE");
}

TEST(SavedValue, InitBindsEveryFlowAndFeedsFlowAttributes) {
  EqFSMlocation* loc =
      idle_lamp("FLOW_0 \t1 1 0 5 \"on : lamp is on\"\nFLOW_1 \t0 1 0 5 \"idle\"\n");
  for (D_flow* f : loc->flows)
    EXPECT_EQ(f->state, loc->state_ptr);
  FSMsuperstate::frame* f0 = loc->state_ptr->flow[0];
  FSMsuperstate::frame* f1 = loc->state_ptr->flow[1];
  EXPECT_EQ(f0->state_name, "on");
  EXPECT_EQ(f0->history, 1);
  EXPECT_EQ(f1->state_name, "idle");
  EXPECT_EQ(f1->history, 0);

  // A start state set as a plain text (its length without terminator) is
  // taken whole.
  loc->flows[0]->set_value("off");
  loc->flows[0]->set_value(0);
  loc->init();
  EXPECT_EQ(f0->state_name, "off");
  EXPECT_EQ(f0->history, 0);
}
