// transitions_test.cc - how events travel through the state tree: the
// transition order (guard, transition action, exit, enter), signals
// dispatched after the transition, handlers, "*" triggers, whole-name
// matching, addressing; superstates: initialisation, entry and exit order,
// history, a flow that ends on a transition to its superstate, interrupts,
// a flow whose link failed.

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "fsm/fsm.h"
#include "testkit/testkit.h"

namespace {

using Trace = std::vector<std::string>;

Trace words(const std::string& text) {
  std::istringstream in(text);
  return Trace(std::istream_iterator<std::string>(in), {});
}

// What the steps of a started machine record: "name@address" is posted and
// followed by a tick, "irq1" raises the interrupt.
Trace run(testkit::Machine& m, const std::string& steps) {
  testkit::actions().take();
  for (const std::string& s : words(steps)) {
    if (s == "irq1") {
      m.irq1();
    } else {
      m.post(s.substr(0, s.find('@')).c_str(), s.substr(s.find('@') + 1).c_str());
      m.tick();
    }
  }
  return testkit::actions().take();
}

// Root "sw" (its actions are not recorded):
//   flow 0: a, b, c
//   flow 1: P { p1, p2 }
void create_switch(EqFSMlocation* loc) {
  FSMsuperstate* root = loc->state_ptr;
  root->add_transition("go", nullptr, testkit::record_taction, nullptr, nullptr, "a");
  FSMstate* a = new FSMstate("a", "", 0);
  a->add_transition("go", testkit::record_guard, testkit::record_taction, nullptr, nullptr, "b");
  a->add_transition("sig", nullptr, nullptr, "follow", "b", "b");
  a->add_transition("gxo", nullptr, nullptr, nullptr, nullptr, "c");
  a->add_action("ping", testkit::record_handler);
  a->add_action("pxg", testkit::record_handler);
  FSMstate* b = new FSMstate("b", "", 0);
  b->add_action("follow", testkit::record_handler);
  FSMstate* c = new FSMstate("c", "", 0);
  c->add_transition("redef", nullptr, nullptr, "follow", "*", "b");
  c->transition.back()->define_action("redef", "a", nullptr, nullptr, nullptr, nullptr);
  for (FSMstate* st : {a, b, c})
    root->add_state(0, st);
  FSMsuperstate* P = new FSMsuperstate(nullptr, "P", "", 0);
  FSMstate* p1 = new FSMstate("p1", "", 0);
  p1->add_transition("go", nullptr, nullptr, nullptr, nullptr, "p2");
  FSMstate* p2 = new FSMstate("p2", "", 0);
  p2->add_transition("*", nullptr, testkit::record_taction, nullptr, nullptr, "p1");
  P->add_state(0, p1);
  P->add_state(0, p2);
  root->add_state(1, P);
  for (FSMstate* st : {a, b, c, static_cast<FSMstate*>(P), p1, p2})
    testkit::record_events(st);
}

TEST(Transitions, WholeTraceOfEachEvent) {
  const struct {
    const char* events;
    const char* expected;
    bool guard;
  } cases[] = {
      {"go@a", "poll:a guard:a taction:a exit:a enter:b", true},
      {"go@a", "poll:a guard:a during:a", false},
      {"sig@a", "poll:a exit:a enter:b poll:b during:b handler:b:follow", true},
      {"gxo@a redef@c", "poll:a exit:a enter:c poll:c exit:c enter:a", true},
      // Handler and trigger names of one length that differ only inside.
      {"ping@a pyg@a gyo@a", "poll:a during:a handler:a:ping poll:a during:a poll:a during:a",
       true},
      {"go@p1", "poll:p1 exit:p1 enter:p2 taction:p2 exit:p2 enter:p1", true},  // "*" on the timer
      {"go@*",
       "poll:a guard:a taction:a exit:a enter:b poll:P during:P poll:p1 exit:p1 enter:p2 "
       "taction:p2 exit:p2 enter:p1",
       true},
      {"zz@b zz@nobody zz@swx!a zz@P!a zz@s!a zz@!p1",  // inactive, unknown, parent forms
       "poll:a during:a poll:p1 during:p1", true},
      {"zz@sw!*", "poll:a during:a poll:P during:P", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.events);
    testkit::Machine m("SW", "sw", create_switch);
    ASSERT_EQ(m.start(), 0);
    testkit::guard_allows() = c.guard;
    Trace seen = run(m, c.events);
    testkit::guard_allows() = true;
    EXPECT_EQ(words(c.expected), seen);
  }
}

const char x1[] = "x1";
int history = 0;           // of P's first flow
const char* x_start = x1;  // start state of the root's second flow

// Names compared and copied word by word must still tell apart names that
// differ in one middle character, at each length compared its own way: flow
// k holds "n..x..n" and "n..y..n" of length LOOKALIKE[k], the first going to
// the second on "e..x..e" and back on "e..y..e".
const size_t LOOKALIKE[] = {3, 4, 7, 12, 20};

std::string lookalike(char fill, char middle, size_t length) {
  std::string s(length, fill);
  s[length / 2] = middle;
  return s;
}

void create_lookalikes(EqFSMlocation* loc) {
  for (size_t k = 0; k < std::size(LOOKALIKE); ++k) {
    size_t n = LOOKALIKE[k];
    FSMstate* x = new FSMstate(lookalike('n', 'x', n).c_str(), "", 0);
    FSMstate* y = new FSMstate(lookalike('n', 'y', n).c_str(), "", 0);
    x->add_transition(lookalike('e', 'x', n).c_str(), nullptr, nullptr, nullptr, nullptr,
                      y->get_name());
    y->add_transition(lookalike('e', 'y', n).c_str(), nullptr, nullptr, nullptr, nullptr,
                      x->get_name());
    loc->state_ptr->add_state(static_cast<int>(k), x);
    loc->state_ptr->add_state(static_cast<int>(k), y);
  }
}

TEST(Transitions, NamesThatDifferOnlyInTheMiddleAreTold) {
  testkit::Machine m("LA", "la", create_lookalikes);
  ASSERT_EQ(0, m.start());
  auto active = [&](int f) { return std::string(m.root()->get_ast_name(f, nullptr, 0)); };
  for (size_t k = 0; k < std::size(LOOKALIKE); ++k) {
    size_t n = LOOKALIKE[k];
    int f = static_cast<int>(k);
    std::string x = lookalike('n', 'x', n), y = lookalike('n', 'y', n);
    // The other state's event, then x's event addressed to y: nothing moves.
    m.post(lookalike('e', 'y', n).c_str(), "*");
    m.post(lookalike('e', 'x', n).c_str(), y.c_str());
    m.tick();
    EXPECT_EQ(active(f), x) << n;
    m.post(lookalike('e', 'x', n).c_str(), x.c_str());
    m.tick();
    EXPECT_EQ(active(f), y) << n;
    m.post(lookalike('e', 'y', n).c_str(), "*");
    m.tick();
    EXPECT_EQ(active(f), x) << n;
  }
}

// Root "fl" (its actions are not recorded):
//   flow 0: P { flow 0: p1, p2; flow 1: r1 }, q
//   flow 1: x1
void create_flows(EqFSMlocation* loc) {
  FSMsuperstate* root = loc->state_ptr;
  FSMsuperstate* P = new FSMsuperstate(nullptr, "P", "", 0);
  FSMstate* p1 = new FSMstate("p1", "", 0);
  FSMstate* p2 = new FSMstate("p2", "", 0);
  FSMstate* r1 = new FSMstate("r1", "", 0);
  FSMstate* q = new FSMstate("q", "", 0);
  FSMstate* x = new FSMstate("x1", "", 0);
  p1->add_transition("go", nullptr, nullptr, nullptr, nullptr, "p2");
  p1->add_transition("done", nullptr, nullptr, nullptr, nullptr, "P");
  P->add_transition("out", nullptr, nullptr, nullptr, nullptr, "q");
  q->add_transition("back", nullptr, nullptr, nullptr, nullptr, "P");
  P->add_state(0, p1);
  P->add_state(0, p2);
  P->add_state(1, r1);
  P->flow_attributes(0, "p1", history);
  root->add_state(0, P);
  root->add_state(0, q);
  root->add_state(1, x);
  root->flow_attributes(1, x_start, 0);
  for (FSMstate* st : {static_cast<FSMstate*>(P), p1, p2, r1, q, x})
    testkit::record_events(st);
}

TEST(SuperstateFlows, WholeTraceOfEachScenario) {
  const std::string leave_p = "poll:P exit:p2 exit:r1 exit:P enter:q poll:q exit:q enter:P ";
  const struct {
    int history;
    const char* x_start;
    const char* steps;
    std::string expected;
  } cases[] = {
      {0, "x1", "",
       "init:P init:p1 init:p2 init:r1 init:q init:x1 enter:P enter:p1 enter:r1 enter:x1"},
      {0, "x1", "irq1", "irq1:P irq1:p1 irq1:r1 irq1:x1"},
      {0, "x1", "go@p1 out@P back@q", "poll:p1 exit:p1 enter:p2 " + leave_p + "enter:p1 enter:r1"},
      {1, "x1", "go@p1 out@P back@q", "poll:p1 exit:p1 enter:p2 " + leave_p + "enter:p2 enter:r1"},
      // The ended flow's state stays active but gets nothing until re-entry.
      {0, "x1", "done@p1 zz@* irq1 out@P back@q zz@p1",
       "poll:p1 poll:P during:P poll:r1 during:r1 poll:x1 during:x1 irq1:P irq1:r1 irq1:x1 "
       "poll:P exit:p1 exit:r1 exit:P enter:q poll:q exit:q enter:P enter:p1 enter:r1 "
       "poll:p1 during:p1"},
      // A flow whose start state is unknown fails the link and is left
      // without states: it enters, dispatches and shows nothing.
      {0, "nope", "go@* irq1",
       "poll:P during:P poll:p1 exit:p1 enter:p2 poll:r1 during:r1 irq1:P irq1:p2 irq1:r1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.steps);
    history = c.history;
    x_start = c.x_start;
    testkit::Machine m("FL", "fl", create_flows);
    testkit::actions().take();
    ASSERT_EQ(m.start(), std::string(x1) == c.x_start ? 0 : 1);
    Trace seen = *c.steps != '\0' ? run(m, c.steps) : testkit::actions().take();
    EXPECT_EQ(words(c.expected), seen);
  }
  history = 0;
  x_start = x1;
}

}  // namespace
