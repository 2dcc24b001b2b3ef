// flows_test.cc - superstates: building and linking flows, start states,
// entry and exit order, history, flows that end, nested superstates,
// references, link failures and the flow queries.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fsm/fsm.h"
#include "tests/support/machine.h"

using fsmtest::Machine;
using fsmtest::trace;
using Trace = std::vector<std::string>;

namespace {

// Links, initialises and enters the machine, keeping the trace.
int bring_up(Machine& m) {
  int rc = m.root->link_state();
  m.root->init_state();
  m.root->enter_state();
  return rc;
}

TEST(FlowBuilding, FlowsKeepTheOrderOfFirstUse) {
  Machine m;
  m.state("x", 7);
  m.state("y", 3);
  m.state("z", 7);
  ASSERT_EQ(m.root->get_flow_count(), 2);
  EXPECT_EQ(bring_up(m), 0);
  EXPECT_EQ(trace().take(),
            (Trace{"init:root", "init:x", "init:z", "init:y", "enter:root", "enter:x", "enter:y"}));
  FSMstate* st = nullptr;
  EXPECT_STREQ(m.root->get_st_name(7, 1, &st), "z");
  EXPECT_STREQ(st->get_name(), "z");
}

TEST(FlowBuilding, DuplicateNameIsRefusedButGetsTheParent) {
  Machine m;
  m.state("a");
  FSMstate* twin = m.own(new FSMstate("a", nullptr, 0));
  m.root->add_state(0, twin);
  EXPECT_EQ(twin->get_parent(), m.root);
  FSMstate* st = nullptr;
  EXPECT_NE(m.root->get_st_name(0, 0, &st), nullptr);
  EXPECT_NE(st, twin);
  EXPECT_EQ(m.root->get_st_name(0, 1, &st), nullptr);
}

TEST(FlowBuilding, StartStateIsTheFirstAddedUnlessNamed) {
  Machine m;
  m.state("a");
  m.state("b");
  m.state("c", 1);
  m.state("d", 1);
  m.root->flow_attributes(1, "d", 0);
  m.root->flow_attributes(9, "a", 1);  // no such flow
  ASSERT_EQ(m.start(), 0);
  EXPECT_STREQ(m.root->get_ast_name(0, nullptr, 0), "a");
  EXPECT_STREQ(m.root->get_ast_name(1, nullptr, 0), "d");
  EXPECT_EQ(m.root->get_flag(1), 0);
  EXPECT_EQ(m.root->get_flag(9), 0);
}

TEST(FlowBuilding, QueriesOutOfRangeReturnNothing) {
  Machine m;
  m.state("a");
  ASSERT_EQ(m.start(), 0);
  FSMstate* st = m.root;
  EXPECT_EQ(m.root->get_st_name(0, 1, &st), nullptr);
  EXPECT_EQ(m.root->get_st_name(0, -1, &st), nullptr);
  EXPECT_EQ(m.root->get_st_name(5, 0, &st), nullptr);
  EXPECT_EQ(st, m.root);  // not written
  EXPECT_EQ(m.root->get_ast_name(5, nullptr, 0), nullptr);
  EXPECT_EQ(m.root->get_ast_error(5), nullptr);
  char buf[8] = "x";
  EXPECT_EQ(m.root->copy_ast_error(5, buf, sizeof buf), -1);
}

TEST(FlowQueries, ActiveStateWithDescriptionAndError) {
  Machine m;
  FSMstate* a = m.state("a");
  ASSERT_EQ(m.start(), 0);
  const char* descr = nullptr;
  EXPECT_STREQ(m.root->get_ast_name(0, &descr, 0), "a");
  EXPECT_STREQ(descr, "descr of a");
  a->set_error("device gone");
  EXPECT_STREQ(m.root->get_ast_error(0), "device gone");
  char buf[7];
  EXPECT_EQ(m.root->copy_ast_error(0, buf, sizeof buf), 11);
  EXPECT_STREQ(buf, "device");
}

// root
//   flow 0: P { flow 0: p1, p2 }, q
class History : public ::testing::Test {
 protected:
  void SetUp() override {
    P = m.superstate("P");
    FSMstate* p1 = m.state("p1", 0, P);
    m.state("p2", 0, P);
    m.state("q");
    p1->add_transition("go", nullptr, nullptr, nullptr, nullptr, "p2");
    P->add_transition("out", nullptr, nullptr, nullptr, nullptr, "q");
    m.root->flow[0]->state.back()->add_transition("back", nullptr, nullptr, nullptr, nullptr, "P");
  }

  Trace leave_and_return() {
    m.deliver("go", "p1");
    trace().take();
    m.deliver("out", "P");
    m.deliver("back", "q");
    return trace().take();
  }

  Machine m;
  FSMsuperstate* P = nullptr;
};

TEST_F(History, WithoutHistoryReentryStartsInTheDefaultState) {
  ASSERT_EQ(m.start(), 0);
  EXPECT_EQ(leave_and_return(), (Trace{"poll:P", "exit:p2", "exit:P", "enter:q",  //
                                       "poll:q", "exit:q", "enter:P", "enter:p1"}));
}

TEST_F(History, WithHistoryReentryResumesTheLastActiveState) {
  P->flow_attributes(0, "p1", 1);
  ASSERT_EQ(m.start(), 0);
  EXPECT_EQ(leave_and_return(), (Trace{"poll:P", "exit:p2", "exit:P", "enter:q",  //
                                       "poll:q", "exit:q", "enter:P", "enter:p2"}));
  EXPECT_STREQ(P->get_ast_name(0, nullptr, 1), "p2");
}

TEST_F(History, SavedStateOfAFlowWithoutHistoryIsItsDefault) {
  ASSERT_EQ(m.start(), 0);
  m.deliver("go", "p1");
  EXPECT_STREQ(P->get_ast_name(0, nullptr, 0), "p2");
  const char* descr = nullptr;
  EXPECT_STREQ(P->get_ast_name(0, &descr, 1), "p1");
  EXPECT_STREQ(descr, "descr of p1");
}

// root
//   flow 0: P { flow 0: p1; flow 1: r1 }, q
class Nested : public ::testing::Test {
 protected:
  void SetUp() override {
    P = m.superstate("P");
    p1 = m.state("p1", 0, P);
    m.state("r1", 1, P);
    FSMstate* q = m.state("q");
    p1->add_transition("done", nullptr, nullptr, nullptr, nullptr, "P");
    P->add_transition("out", nullptr, nullptr, nullptr, nullptr, "q");
    q->add_transition("back", nullptr, nullptr, nullptr, nullptr, "P");
  }

  Machine m;
  FSMsuperstate* P = nullptr;
  FSMstate* p1 = nullptr;
};

TEST_F(Nested, InitialisesAndEntersDepthFirstInFlowOrder) {
  EXPECT_EQ(bring_up(m), 0);
  EXPECT_EQ(trace().take(), (Trace{"init:root", "init:P", "init:p1", "init:r1", "init:q",
                                   "enter:root", "enter:P", "enter:p1", "enter:r1"}));
}

TEST_F(Nested, OwnTransitionConsumesTheEventAndLeavesFlowsFirst) {
  ASSERT_EQ(m.start(), 0);
  FSMevent ev;
  ev.set_event("out", "P");
  EXPECT_EQ(P->process_event(&ev), 1);
  EXPECT_EQ(trace().take(), (Trace{"poll:P"}));
  m.deliver("out", "*");
  EXPECT_EQ(trace().take(), (Trace{"poll:root", "during:root", "poll:P", "exit:p1", "exit:r1",
                                   "exit:P", "enter:q"}));
}

TEST_F(Nested, FlowEndingOnTheSuperstatesNameStopsReachingItsState) {
  ASSERT_EQ(m.start(), 0);
  m.deliver("done", "p1");
  EXPECT_EQ(trace().take(), (Trace{"poll:p1"}));
  EXPECT_EQ(p1->is_active(), 1);

  m.deliver("x", "*");
  m.irq1();
  EXPECT_EQ(trace().take(), (Trace{"poll:root", "during:root", "poll:P", "during:P", "poll:r1",
                                   "during:r1", "irq1:root", "irq1:P", "irq1:r1"}));

  // Leaving the superstate runs the exit action of the ended flow's state;
  // entering it again restarts the flow.
  m.deliver("out", "P");
  m.deliver("back", "q");
  m.deliver("x", "p1");
  EXPECT_EQ(trace().take(), (Trace{"poll:P", "exit:p1", "exit:r1", "exit:P", "enter:q",    //
                                   "poll:q", "exit:q", "enter:P", "enter:p1", "enter:r1",  //
                                   "poll:p1", "during:p1"}));
}

TEST(Flows, TargetInAnotherFlowDoesNotSwitch) {
  Machine m;
  FSMstate* a = m.state("a");
  m.state("c", 1);
  a->add_transition("go", nullptr, nullptr, nullptr, nullptr, "c");
  ASSERT_EQ(m.start(), 0);
  m.deliver("go", "*");
  EXPECT_EQ(trace().take(), (Trace{"poll:root", "during:root", "poll:a", "poll:c", "during:c"}));
  EXPECT_EQ(a->is_active(), 1);
  EXPECT_STREQ(m.root->get_ast_name(0, nullptr, 0), "a");
}

TEST(Flows, EveryFlowSeesTheEventWhateverTheOthersDid) {
  Machine m;
  FSMstate* a = m.state("a");
  m.state("b");
  FSMstate* c = m.state("c", 1);
  m.state("d", 1);
  a->add_transition("go", nullptr, nullptr, nullptr, nullptr, "b");
  c->add_transition("go", nullptr, nullptr, nullptr, nullptr, "d");
  ASSERT_EQ(m.start(), 0);
  m.deliver("go", "*");
  EXPECT_EQ(trace().take(), (Trace{"poll:root", "during:root", "poll:a", "exit:a", "enter:b",
                                   "poll:c", "exit:c", "enter:d"}));
}

TEST(Flows, SwitchGoesToTheStateOfExactlyThatName) {
  Machine m;
  FSMstate* a = m.state("s1z");
  m.state("s2z");
  m.state("s22z");
  m.state("s3z");
  a->add_transition("go", nullptr, nullptr, nullptr, nullptr, "s3z");
  ASSERT_EQ(m.start(), 0);
  m.deliver("go", "s1z");
  EXPECT_EQ(trace().take(), (Trace{"poll:s1z", "exit:s1z", "enter:s3z"}));
  EXPECT_STREQ(m.root->get_ast_name(0, nullptr, 0), "s3z");
}

TEST(Flows, SelfTransitionLeavesAndReentersTheState) {
  Machine m;
  FSMstate* a = m.state("a");
  a->add_transition("again", nullptr, nullptr, nullptr, nullptr, "a");
  ASSERT_EQ(m.start(), 0);
  m.deliver("again", "a");
  EXPECT_EQ(trace().take(), (Trace{"poll:a", "exit:a", "enter:a"}));
}

// A flow whose link failed is treated like a flow without states.
TEST(LinkFailures, UnknownStartStateMakesThisAndLaterFlowsInert) {
  Machine m;
  m.state("a");
  m.state("b1", 1);
  m.state("b2", 1);
  m.state("c", 2);
  m.root->flow_attributes(1, "nope", 0);
  EXPECT_EQ(bring_up(m), 1);
  EXPECT_EQ(trace().take(), (Trace{"init:root", "init:a", "enter:root", "enter:a"}));

  m.deliver("x", "*");
  m.irq1();
  EXPECT_EQ(trace().take(),
            (Trace{"poll:root", "during:root", "poll:a", "during:a", "irq1:root", "irq1:a"}));
  for (int id : {1, 2}) {
    EXPECT_EQ(m.root->get_ast_name(id, nullptr, 0), nullptr);
    EXPECT_EQ(m.root->get_ast_name(id, nullptr, 1), nullptr);
    EXPECT_STREQ(m.root->get_ast_error(id), "");
    char buf[4] = "xyz";
    EXPECT_EQ(m.root->copy_ast_error(id, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
  }
  m.root->leave_state();
  EXPECT_EQ(trace().take(), (Trace{"exit:a", "exit:root"}));
}

TEST(LinkFailures, UnresolvedReferenceLinksNoFlow) {
  Machine m;
  m.state("a");
  m.root->add_reference(1, "elsewhere");
  EXPECT_EQ(bring_up(m), 1);
  EXPECT_EQ(trace().take(), (Trace{"init:root", "enter:root"}));
  m.deliver("x", "*");
  EXPECT_EQ(trace().take(), (Trace{"poll:root", "during:root"}));
}

TEST(LinkFailures, FailingSubstateFailsTheFlowAndTheSuperstate) {
  Machine m;
  FSMsuperstate* P = m.superstate("P");
  m.state("p1", 0, P);
  P->flow_attributes(0, "nope", 0);
  EXPECT_EQ(P->link_state(), 1);
  EXPECT_EQ(m.root->link_state(), 1);
}

TEST(References, RegisteredStateIsAdoptedIntoTheFlow) {
  Machine m;
  FSMsuperstate* S = m.superstate("S");
  FSMsuperstate* ext = m.own(new FSMsuperstate(nullptr, "ext", nullptr, 1));
  fsmtest::trace_actions(ext);
  ext->set_root(m.root);  // as the machine list does for an adopted location
  m.root->register_link(ext);
  FSMstate* other = m.own(new FSMstate("ext", nullptr, 0));
  m.root->register_link(other);  // the first entry of a name stays
  S->add_reference(0, "ext");
  S->add_reference(0, "ext");
  ASSERT_EQ(S->reference_table.size(), 1u);
  EXPECT_EQ(m.root->resolve_link("unknown"), nullptr);

  ASSERT_EQ(m.start(), 0);
  EXPECT_EQ(ext->get_parent(), S);
  EXPECT_EQ(ext->get_root(), m.root);
  EXPECT_STREQ(S->get_ast_name(0, nullptr, 0), "ext");
  m.deliver("x", "ext");
  EXPECT_EQ(trace().take(), (Trace{"poll:ext", "during:ext"}));
}

TEST(References, SameNameInTwoFlowsMakesTwoEntries) {
  FSMsuperstate S(nullptr, "S", nullptr, 0);
  S.add_reference(0, "ext");
  S.add_reference(1, "ext");
  EXPECT_EQ(S.reference_table.size(), 2u);
  EXPECT_EQ(S.get_flow_count(), 2);
}

TEST(References, AncestorIsNeverAdopted) {
  Machine m;
  FSMsuperstate* S = m.superstate("S");
  m.state("s1", 0, S);
  m.root->register_link(S);
  m.root->register_link(m.root);
  S->add_reference(1, "S");
  S->add_reference(2, "root");
  EXPECT_EQ(m.root->link_state(), 1);
  EXPECT_EQ(S->get_st_name(1, 0, nullptr), nullptr);
  EXPECT_EQ(S->get_st_name(2, 0, nullptr), nullptr);
  EXPECT_EQ(S->get_parent(), m.root);
}

TEST(Posting, SuperstateWithoutRootDropsEvents) {
  FSMsuperstate S(nullptr, "S", nullptr, 0);
  FSMevent ev;
  ev.set_event("x", "*");
  S.post_event(&ev);
  S.post_irq1(&ev);
  S.post_irq2(&ev);
  S.set_root(&S);  // its own root drops them too
  S.post_event(&ev);
  S.server_error(&S, 1, "no location");
  SUCCEED();
}

TEST(Posting, SuperstateForwardsToItsRoot) {
  Machine m;
  FSMsuperstate* S = m.superstate("S");
  m.state("s1", 0, S);
  ASSERT_EQ(m.start(), 0);
  FSMevent ev;
  ev.set_event("x", "*");
  S->post_event(&ev);
  S->post_irq1(&ev);
  S->post_irq2(&ev);
  S->post_irq2(&ev);
  EXPECT_EQ(m.root->event_fifo.pending(), 1);
  EXPECT_EQ(m.root->irq1_fifo.pending(), 1);
  EXPECT_EQ(m.root->irq2_fifo.pending(), 2);
}

}  // namespace
