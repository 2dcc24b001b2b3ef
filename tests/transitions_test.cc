// transitions_test.cc - how a simple state reacts to events: addressing,
// transitions and their guards, signals, the order of a state change,
// during actions and handlers, interrupts, and the state's own fields.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fsm/fsm.h"
#include "tests/support/machine.h"

using fsmtest::Machine;
using fsmtest::trace;
using Trace = std::vector<std::string>;

namespace {

// root
//   flow 0: a (active), b
//   flow 1: panel { flow 0: pb (active), pc }
class Addressing : public ::testing::Test {
 protected:
  void SetUp() override {
    m.state("a");
    m.state("b");
    panel = m.superstate("panel", 1);
    m.state("pb", 0, panel);
    m.state("pc", 0, panel);
    ASSERT_EQ(m.start(), 0);
  }

  // Which states ran their poll action for the event.
  Trace polled(const char* name, const char* address) {
    m.deliver(name, address);
    Trace out;
    for (const std::string& e : trace().take()) {
      if (e.rfind("poll:", 0) == 0) out.push_back(e.substr(5));
    }
    return out;
  }

  Machine m;
  FSMsuperstate* panel = nullptr;
};

TEST_F(Addressing, StarReachesEveryActiveState) {
  EXPECT_EQ(polled("x", "*"), (Trace{"root", "a", "panel", "pb"}));
}

TEST_F(Addressing, BareNameReachesOnlyActiveStateOfThatName) {
  EXPECT_EQ(polled("x", "pb"), (Trace{"pb"}));
  EXPECT_EQ(polled("x", "pc"), Trace{});  // inactive
  EXPECT_EQ(polled("x", "pane"), Trace{});
}

TEST_F(Addressing, ParentPartNeedsOnlyToBeginTheParentName) {
  EXPECT_EQ(polled("x", "pan!pb"), (Trace{"pb"}));
  EXPECT_EQ(polled("x", "panel!pb"), (Trace{"pb"}));
  EXPECT_EQ(polled("x", "panelx!pb"), Trace{});
  EXPECT_EQ(polled("x", "root!pb"), Trace{});
  EXPECT_EQ(polled("x", "ro!a"), (Trace{"a"}));
}

TEST_F(Addressing, StarAfterParentPartReachesEveryChild) {
  EXPECT_EQ(polled("x", "panel!*"), (Trace{"pb"}));
  // The root is its own parent, so its children include itself.
  EXPECT_EQ(polled("x", "root!*"), (Trace{"root", "a", "panel"}));
  EXPECT_EQ(polled("x", "!pb"), (Trace{"pb"}));
  EXPECT_EQ(polled("x", "!*"), (Trace{"root", "a", "panel", "pb"}));
}

TEST(Transitions, StateChangeRunsActionsInOrderAndSkipsDuring) {
  Machine m;
  FSMstate* a = m.state("a");
  m.state("b");
  a->add_transition("go", fsmtest::trace_guard, fsmtest::trace_taction, nullptr, nullptr, "b");
  a->add_action("go", fsmtest::trace_handler);
  ASSERT_EQ(m.start(), 0);

  FSMevent ev;
  ev.set_event("go", "a");
  EXPECT_EQ(a->process_event(&ev), 1);
  EXPECT_STREQ(ev.get_next(), "b");
  EXPECT_EQ(trace().take(), (Trace{"poll:a", "guard:a", "taction:a"}));

  // Through the flow: the old state's exit runs after the transition action
  // and before the new state's enter.
  m.deliver("go", "a");
  EXPECT_EQ(trace().take(), (Trace{"poll:a", "guard:a", "taction:a", "exit:a", "enter:b"}));
  EXPECT_EQ(a->is_active(), 0);
  EXPECT_STREQ(m.root->get_ast_name(0, nullptr, 0), "b");
}

TEST(Transitions, FirstMatchingTransitionFiresAndLaterGuardsAreNotAsked) {
  Machine m;
  FSMstate* a = m.state("a");
  m.state("b");
  m.state("c");
  a->add_transition("go", fsmtest::trace_guard, nullptr, nullptr, nullptr, "b");
  a->add_transition("go", fsmtest::trace_guard, nullptr, nullptr, nullptr, "c");
  ASSERT_EQ(m.start(), 0);

  fsmtest::guard_result() = 0;
  FSMevent ev;
  ev.set_event("go", "a");
  EXPECT_EQ(a->process_event(&ev), 0);
  EXPECT_EQ(trace().take(), (Trace{"poll:a", "guard:a", "guard:a", "during:a"}));

  fsmtest::guard_result() = 1;
  EXPECT_EQ(a->process_event(&ev), 1);
  EXPECT_STREQ(ev.get_next(), "b");
  EXPECT_EQ(trace().take(), (Trace{"poll:a", "guard:a"}));
}

TEST(Transitions, StarTriggerFiresOnEveryAddressedEventIncludingTimer) {
  Machine m;
  FSMstate* a = m.state("a");
  a->add_transition("*", nullptr, fsmtest::trace_taction, nullptr, nullptr, "a");
  ASSERT_EQ(m.start(), 0);

  m.deliver("timer", "*");
  EXPECT_EQ(trace().take(),
            (Trace{"poll:root", "during:root", "poll:a", "taction:a", "exit:a", "enter:a"}));
  m.deliver("anything", "a");
  EXPECT_EQ(trace().take(), (Trace{"poll:a", "taction:a", "exit:a", "enter:a"}));
  m.deliver("anything", "elsewhere");
  EXPECT_EQ(trace().take(), Trace{});
}

// Names of one length that share their first and last letters differ only
// inside: triggers, handlers and the recorded event name compare them whole.
TEST(Transitions, TriggerAndHandlerMatchTheWholeName) {
  Machine m;
  FSMstate* a = m.state("a");
  m.state("b");
  a->add_transition("gxo", nullptr, fsmtest::trace_taction, nullptr, nullptr, "b");
  a->add_action("pxg", fsmtest::trace_handler);
  ASSERT_EQ(m.start(), 0);

  m.deliver("pyg", "a");
  m.deliver("pxg", "a");
  m.deliver("gyo", "a");
  EXPECT_STREQ(a->get_event_name(), "gyo");
  m.deliver("gxo", "a");
  EXPECT_EQ(trace().take(), (Trace{"poll:a", "during:a",                   //
                                   "poll:a", "during:a", "handler:a:pxg",  //
                                   "poll:a", "during:a",                   //
                                   "poll:a", "taction:a", "exit:a", "enter:b"}));
  EXPECT_STREQ(a->get_event_name(), "gxo");
}

TEST(Transitions, EventNameFollowsEveryAddressedEventAndTimerEmptiesIt) {
  Machine m;
  FSMstate* a = m.state("a");
  ASSERT_EQ(m.start(), 0);
  const char* sent[] = {"abcd", "abcd", "axyd", "timer", "timer", "Timer", "timers", "x"};
  const char* seen[] = {"abcd", "abcd", "axyd", "", "", "Timer", "timers", "x"};
  for (size_t i = 0; i < sizeof sent / sizeof sent[0]; ++i) {
    m.deliver(sent[i], "a");
    EXPECT_STREQ(a->get_event_name(), seen[i]) << "after " << sent[i];
  }
  m.deliver("other", "b");  // not addressed: the name stays
  EXPECT_STREQ(a->get_event_name(), "x");
}

TEST(Transitions, SignalIsQueuedAtTheRootWithoutNext) {
  Machine m;
  FSMstate* a = m.state("a");
  FSMstate* b = m.state("b");
  a->add_transition("go", nullptr, nullptr, "sig", "b", "b");
  b->add_transition("go", nullptr, nullptr, nullptr, nullptr, "a");
  ASSERT_EQ(m.start(), 0);

  m.deliver("go", "a");
  ASSERT_EQ(m.root->event_fifo.pending(), 1);
  m.deliver("go", "b");  // no signal
  ASSERT_EQ(m.root->event_fifo.pending(), 1);

  m.root->post_event(nullptr);
  FSMevent out;
  out.set_next("kept");
  ASSERT_EQ(m.root->event_fifo.dequeue(out), 1);
  EXPECT_EQ(out.event, "sig");
  EXPECT_EQ(out.state, "b");
  EXPECT_EQ(out.next, "kept");
  EXPECT_EQ(m.root->event_fifo.dequeue(out), 0);
}

TEST(Transitions, RedefinedWithoutSignalPostsNothing) {
  Machine m;
  FSMstate* a = m.state("a");
  a->add_transition("go", nullptr, nullptr, "sig", "*", "a");
  a->transition[0]->define_action("go", "a", nullptr, nullptr, nullptr, nullptr);
  ASSERT_EQ(m.start(), 0);
  m.deliver("go", "a");
  EXPECT_EQ(m.root->event_fifo.pending(), 0);
}

TEST(Transitions, SignalOfStateWithoutRootIsDropped) {
  trace().take();
  FSMstate lone("lone", nullptr, 0);
  lone.add_transition("go", nullptr, fsmtest::trace_taction, "sig", "*", "lone");
  lone.enter_state();
  FSMevent ev;
  ev.set_event("go", "lone");
  EXPECT_EQ(lone.process_event(&ev), 1);
  EXPECT_EQ(trace().take(), (Trace{"taction:lone"}));
}

TEST(Transitions, RootNeverFiresItsOwnTransitions) {
  Machine m;
  m.state("a");
  m.root->add_transition("go", fsmtest::trace_guard, nullptr, nullptr, nullptr, "a");
  m.root->add_action("go", fsmtest::trace_handler);
  ASSERT_EQ(m.start(), 0);

  FSMevent ev;
  ev.set_event("go", "*");
  EXPECT_EQ(m.root->FSMsuperstate::process_event(&ev), 0);
  EXPECT_EQ(trace().take(),
            (Trace{"poll:root", "during:root", "handler:root:go", "poll:a", "during:a"}));
}

TEST(Handlers, DuringThenHandlerOfTheEventsName) {
  Machine m;
  FSMstate* a = m.state("a");
  a->add_action("ping", fsmtest::trace_handler);
  a->add_action("timer", fsmtest::trace_handler);
  ASSERT_EQ(m.start(), 0);

  m.deliver("ping", "a");
  m.deliver("pong", "a");
  m.deliver("timer", "a");
  EXPECT_EQ(trace().take(), (Trace{"poll:a", "during:a", "handler:a:ping",  //
                                   "poll:a", "during:a",                    //
                                   "poll:a", "during:a", "handler:a:"}));
  EXPECT_STREQ(a->get_event_name(), "");
}

int first_handler(FSMstate*) {
  return trace().add("first"), 0;
}
int second_handler(FSMstate*) {
  return trace().add("second"), 0;
}

TEST(Handlers, SecondActionReplacesSlotButFirstHandlerStays) {
  trace().take();
  FSMstate st("s", nullptr, 0);
  st.add_action("during", first_handler);
  st.add_action("during", second_handler);
  st.add_action("ping", first_handler);
  st.add_action("ping", second_handler);
  st.add_action("quiet", nullptr);
  st.add_action("quiet", first_handler);
  st.enter_state();
  FSMevent ev;
  ev.set_event("ping", "s");
  st.process_event(&ev);
  ev.set_event("quiet", "s");
  st.process_event(&ev);
  EXPECT_EQ(trace().take(), (Trace{"second", "first", "second"}));

  // An action name never selects a handler but can trigger a transition.
  st.add_transition("exit", nullptr, nullptr, nullptr, nullptr, "t");
  ev.set_event("enter", "s");
  EXPECT_EQ(st.process_event(&ev), 0);
  ev.set_event("exit", "s");
  EXPECT_EQ(st.process_event(&ev), 1);
  EXPECT_EQ(trace().take(), (Trace{"second"}));
}

TEST(Handlers, InactiveStateDoesNothing) {
  trace().take();
  FSMstate st("s", nullptr, 0);
  fsmtest::trace_actions(&st);
  st.add_transition("go", nullptr, nullptr, nullptr, nullptr, "t");
  FSMevent ev;
  ev.set_event("go", "*");
  EXPECT_EQ(st.process_event(&ev), 0);
  st.process_irq1(&ev);
  st.process_irq2(&ev);
  EXPECT_STREQ(st.get_event_name(), "");
  EXPECT_EQ(trace().take(), Trace{});

  st.enter_state();
  st.process_irq1(&ev);
  st.process_irq2(&ev);
  st.leave_state();
  st.init_state();  // runs whether or not the state is active
  EXPECT_EQ(trace().take(), (Trace{"enter:s", "irq1:s", "irq2:s", "exit:s", "init:s"}));
}

int record_active(FSMstate* st) {
  trace().add(std::string("active=") + std::to_string(st->is_active()));
  return 0;
}

TEST(Handlers, EnterSeesInactiveAndExitSeesActive) {
  trace().take();
  FSMstate st("s", nullptr, 0);
  st.add_action("enter", record_active);
  st.add_action("exit", record_active);
  st.enter_state();
  st.leave_state();
  EXPECT_EQ(trace().take(), (Trace{"active=0", "active=1"}));
}

TEST(StateBasics, ErrorTextKeepsTheFirstUntilCleared) {
  FSMstate st(0);
  st.set_error("first");
  st.set_error("second");
  EXPECT_STREQ(st.get_error(), "first");
  char buf[4];
  EXPECT_EQ(st.copy_error(buf, sizeof buf), 5);
  EXPECT_STREQ(buf, "fir");
  st.clear_error();
  st.set_error("third");
  EXPECT_STREQ(st.get_error(), "third");
}

int set_poll_error(FSMstate* st) {
  st->set_error("from poll");
  return 0;
}
int set_during_error(FSMstate* st) {
  st->set_error("from during");
  return 0;
}

// The refresh of every addressed event clears the error first, whoever
// recorded it and whenever; an error recorded after the refresh stays.
TEST(StateBasics, EachRefreshClearsTheErrorRecordedBefore) {
  Machine m;
  FSMstate* a = m.state("a");
  ASSERT_EQ(m.start(), 0);
  a->set_error("between events");
  m.deliver("x", "b");  // not addressed: no refresh
  EXPECT_STREQ(a->get_error(), "between events");
  m.deliver("x", "a");
  EXPECT_STREQ(a->get_error(), "");

  a->add_action("poll", set_poll_error);
  m.deliver("x", "a");
  EXPECT_STREQ(a->get_error(), "");
  a->add_action("during", set_during_error);
  m.deliver("x", "a");
  EXPECT_STREQ(a->get_error(), "from during");
  a->add_action("poll", nullptr);
  m.deliver("x", "a");
  EXPECT_STREQ(a->get_error(), "from during");  // cleared, then recorded again
  a->add_action("during", nullptr);
  m.deliver("x", "a");
  EXPECT_STREQ(a->get_error(), "");
  a->set_error("");  // an empty text records nothing
  a->set_error("after");
  EXPECT_STREQ(a->get_error(), "after");
}

TEST(StateBasics, SecondPrivateBlockReplacesTheFirst) {
  FSMstate st(0);
  EXPECT_EQ(st.set_private(0), nullptr);
  void* first = st.set_private(16);
  ASSERT_NE(first, nullptr);
  void* second = st.set_private(32);  // the leak checker sees the first released
  EXPECT_EQ(st.get_private(), second);
  EXPECT_EQ(st.set_private(-1), nullptr);
  st.set_private(8);  // released by the destructor
}

TEST(StateBasics, StateThatIsItsOwnParentAndRootForwardsNothing) {
  FSMstate st("self", nullptr, 0);
  st.set_parent(&st);
  st.set_root(&st);
  FSMevent ev;
  ev.set_event("x", "*");
  st.post_event(&ev);                  // must not recurse
  st.server_error(&st, 1, "ignored");  // must not recurse
  SUCCEED();
}

}  // namespace
