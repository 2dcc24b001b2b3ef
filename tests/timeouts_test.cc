// timeouts_test.cc - per-state timeouts on the test clock: once per entry,
// cancelled on leave, re-armed on re-entry (history included), independent
// in parallel flows and nested superstates, and never fired after a
// transition that left the state in the same tick; then on real engines.

#include <gtest/gtest.h>

#include <atomic>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fsm/fsm.h"
#include "testkit/testkit.h"

namespace {

using Trace = std::vector<std::string>;
int history = 0;  // of S's flow

// Root "tm": flow 0: S (1000 ms: tS -> q) { s1 (300 ms: t1 -> s2), s2 }, q;
// flow 1: x (200 ms: tx to every state -> y), y (tx -> x). S, q, x, y
// take "out", "back" and "go" between each other.
void create_timed(EqFSMlocation* loc) {
  FSMsuperstate* S = new FSMsuperstate(nullptr, "S", "", 0);
  FSMstate* s1 = new FSMstate("s1", "", 0);
  FSMstate* s2 = new FSMstate("s2", "", 0);
  FSMstate* q = new FSMstate("q", "", 0);
  FSMstate* x = new FSMstate("x", "", 0);
  FSMstate* y = new FSMstate("y", "", 0);
  S->add_timeout(1000, "tS", nullptr);
  s1->add_timeout(300, "t1", nullptr);
  x->add_timeout(200, "tx", "*");
  const struct {
    FSMstate* from;
    const char* on;
    const char* to;
  } moves[] = {{S, "tS", "q"}, {S, "out", "q"}, {s1, "t1", "s2"}, {q, "back", "S"},
               {x, "tx", "y"}, {x, "go", "y"},  {y, "tx", "x"}};
  for (const auto& t : moves)
    t.from->add_transition(t.on, nullptr, nullptr, nullptr, nullptr, t.to);
  S->add_state(0, s1);
  S->add_state(0, s2);
  S->flow_attributes(0, "s1", history);
  loc->state_ptr->add_state(0, S);
  loc->state_ptr->add_state(0, q);
  loc->state_ptr->add_state(1, x);
  loc->state_ptr->add_state(1, y);
  for (FSMstate* st : {static_cast<FSMstate*>(S), s1, s2, q, x, y})
    testkit::record(st);
  loc->flows.push_back(new D_flow("FLOW_0", loc));
}

TEST(Timeouts, FireOncePerEntryOfTheirState) {
  const struct {
    int history;
    const char* steps;  // "+N": the clock moves N ms and the machine ticks; "e@a": posted
    const char* expected;
  } cases[] = {
      {0, "+199 +1 +99 +1 +300", "exit:x enter:y exit:s1 enter:s2"},
      {0, "+250 out@S back@q +0 +250 +50",
       "exit:x enter:y exit:s1 exit:S enter:q exit:q enter:S enter:s1 exit:s1 enter:s2"},
      {1, "+100 out@S back@q +0 +299 +1",
       "exit:s1 exit:S enter:q exit:q enter:S enter:s1 exit:x enter:y exit:s1 enter:s2"},
      {0, "+1000", "exit:x enter:y exit:s1 enter:s2 exit:s2 exit:S enter:q"},
      {0, "go@x +200 +1000", "exit:x enter:y exit:s1 enter:s2 exit:s2 exit:S enter:q"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.steps);
    history = c.history;
    testkit::Machine m("TM", "tm", create_timed);
    ASSERT_EQ(m.start(), 0);
    std::istringstream steps(c.steps);
    testkit::actions().take();
    for (std::string s; steps >> s;) {
      if (s[0] == '+') {
        m.advance(std::chrono::milliseconds(std::stoi(s.substr(1))));
      } else {
        m.post(s.substr(0, s.find('@')).c_str(), s.substr(s.find('@') + 1).c_str());
      }
    }
    Trace seen;
    for (const std::string& a : testkit::actions().take())
      if (a.compare(0, 4, "exit") == 0 || a.compare(0, 5, "enter") == 0) seen.push_back(a);
    std::istringstream want(c.expected);
    EXPECT_EQ(Trace(std::istream_iterator<std::string>(want), {}), seen);
  }
}

// The engines tick while the test clock moves and a client switches flow 1.
TEST(Timeouts, FireOnRealEngines) {
  testkit::use_test_clock();
  EqFSMlocation* loc = testkit::serve({{"TM", 100, "tm", create_timed}})[0];
  ASSERT_TRUE(testkit::wait_ready(loc));
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
