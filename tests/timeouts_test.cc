// timeouts_test.cc - per-state timeouts on the test clock: once per entry,
// cancelled on leave, re-armed on re-entry (history included), independent
// in parallel flows and nested superstates, and never fired after a
// transition that left the state in the same tick; then on real engines.

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>

#include "testkit/testkit.h"

namespace {

int history = 0;  // of S's flow

// Root "tm": flow 0: S (1000 ms: tS -> q) { s1 (300 ms: t1 -> s2), s2 }, q;
// flow 1: x (200 ms: tx to every state -> y), y (tx -> x). S, q, x, y
// take "out", "back" and "go" between each other.
void create_timed(EqFSMlocation* loc) {
  FSMsuperstate* S = new FSMsuperstate(nullptr, "S", "", 0);
  testkit::record(S);
  const char* const names[] = {"S", "s1", "s2", "q", "x", "y"};
  FSMstate* st[] = {S, nullptr, nullptr, nullptr, nullptr, nullptr};
  for (int i = 1; i < 6; ++i)
    st[i] = testkit::recorded_state(names[i]);
  S->add_timeout(1000, "tS", nullptr);
  st[1]->add_timeout(300, "t1", nullptr);
  st[4]->add_timeout(200, "tx", "*");
  // From st[n]: on the event, to the state.
  for (const char* move : {"0tS:q", "0out:q", "1t1:s2", "3back:S", "4tx:y", "4go:y", "5tx:x"}) {
    std::string m = move;
    st[m[0] - '0']->add_transition(m.substr(1, m.find(':') - 1).c_str(), nullptr, nullptr, nullptr,
                                   nullptr, m.substr(m.find(':') + 1).c_str());
  }
  S->add_state(0, st[1]);
  S->add_state(0, st[2]);
  S->flow_attributes(0, "s1", history);
  for (int i : {0, 3, 4, 5})
    loc->state_ptr->add_state(i / 4, st[i]);
  loc->flows.push_back(new D_flow("FLOW_0", loc));
}

// Every case with and without history in S: s1 is S's start state, so a
// re-entry enters s1 either way, through history or the start state.
TEST(Timeouts, FireOncePerEntryOfTheirState) {
  const struct {
    const char* steps;  // "+N": the clock moves N ms and the machine ticks; "e@a": posted
    const char* expected;
  } cases[] = {
      {"+199 +1 +99 +1 +300", "exit:x enter:y exit:s1 enter:s2"},
      {"+250 out@S back@q +0 +250 +50",
       "exit:x enter:y exit:s1 exit:S enter:q exit:q enter:S enter:s1 exit:s1 enter:s2"},
      {"+1000", "exit:x enter:y exit:s1 enter:s2 exit:s2 exit:S enter:q"},
      {"go@x +200 +1000", "exit:x enter:y exit:s1 enter:s2 exit:s2 exit:S enter:q"},
  };
  for (int h = 0; h < 4 * 2; ++h) {
    const auto& c = cases[h / 2];
    SCOPED_TRACE(c.steps + std::string(h % 2 ? " with history" : ""));
    history = h % 2;
    testkit::Machine m("TM", "tm", create_timed);
    ASSERT_EQ(m.start(), 0);
    std::istringstream steps(c.steps);
    testkit::actions().take();
    for (std::string s; steps >> s;)
      s[0] == '+' ? m.advance(std::chrono::milliseconds(std::stoi(s.substr(1))))
                  : m.post(s.substr(0, s.find('@')).c_str(), s.substr(s.find('@') + 1).c_str());
    std::string seen;  // the exits and entries
    for (const std::string& a : testkit::actions().take())
      if (a[1] == 'x' || a[1] == 'n') seen += (seen.empty() ? "" : " ") + a;
    EXPECT_EQ(c.expected, seen);
  }
}

TEST(Timeouts, ShowInTheMachinesPictureAndModel) {
  testkit::Machine m("TM", "tm", create_timed);
  ASSERT_EQ(m.start(), 0);
  EXPECT_NE(m.get("GRAPH").find("after 300 ms: t1"), std::string::npos);
  EXPECT_NE(m.get("MODEL").find("\"timeouts\":[{\"ms\":200,\"event\":\"tx\",\"address\":\"*\"}]"),
            std::string::npos);
}

// The engines tick while the test clock moves and a client switches flow 1.
TEST(Timeouts, FireOnRealEngines) {
  testkit::use_test_clock();
  EqFSMlocation* loc = testkit::serve({{"TM", 100, "tm", create_timed}})[0];
  std::atomic<bool> stop{false};
  std::thread client([&] {
    while (!stop)
      testkit::client_set(testkit::address("TM", "EVENT"), "go:x");
  });
  EXPECT_TRUE(testkit::wait_until([&] {
    testkit::advance_clock(std::chrono::milliseconds(100));
    loc->update();
    return testkit::client_get(testkit::address("TM", "FLOW_0")).compare(0, 4, "q : ") == 0;
  }));
  stop = true;
  client.join();
}

}  // namespace
