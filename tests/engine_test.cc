// engine_test.cc - the engine threads of a machine started through the
// server's hooks: the start-up handshake, ticks, client events and
// interrupts, and the signals the engines never receive.

#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "testkit/testkit.h"

namespace {

using Trace = std::vector<std::string>;

testkit::Gate* init_gate = nullptr;  // when set, a's init action waits for it

// The timer and user signals that the calling thread could receive.
int unblocked_signals() {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  int n = 0;
  for (int sig : {SIGALRM, SIGUSR1, SIGUSR2, SIGURG})
    n += sigismember(&mask, sig) != 1 ? 1 : 0;
  return n;
}

// Records "<what>:a", or "unblocked:<what>:a" on a thread that could
// receive a signal that no engine may.
void note(const char* what) {
  testkit::actions().add(std::string(unblocked_signals() == 0 ? "" : "unblocked:") + what + ":a");
}

int gated_init(FSMstate*) {
  note("init");
  if (init_gate != nullptr) init_gate->wait();
  return 0;
}
int checked_irq1(FSMstate*) {
  return note("irq1"), 0;
}
int checked_irq2(FSMstate*) {
  return note("irq2"), 0;
}

// Machine "toggle": flow 0 switches between a and b.
void create_toggle(EqFSMlocation* loc) {
  FSMstate* a = testkit::recorded_state("a", "first");
  FSMstate* b = testkit::recorded_state("b", "second");
  a->add_action("init", gated_init);
  a->add_action("interrupt1", checked_irq1);
  a->add_action("interrupt2", checked_irq2);
  a->add_transition("switch", nullptr, nullptr, nullptr, nullptr, "b");
  b->add_transition("switch", nullptr, nullptr, nullptr, nullptr, "a");
  loc->state_ptr->add_state(0, a);
  loc->state_ptr->add_state(0, b);
}

EqFSMlocation* start_toggle() {
  return testkit::serve({{"TOGGLE", 100, "toggle", create_toggle, ""}})[0];
}

bool started(FSMrootstate::queue& q) {
  pthread_mutex_lock(&q.mux);
  bool s = q.flag != 0;
  pthread_mutex_unlock(&q.mux);
  return s;
}

}  // namespace

TEST(Engine, InterruptEnginesWaitForEntryAndHostTicksBeforeReadyAreDropped) {
  // Never destroyed: the engine may still wait on it after a failed test.
  init_gate = new testkit::Gate;
  EqFSMlocation* loc = start_toggle();
  FSMrootstate* root = dynamic_cast<FSMrootstate*>(loc->state_ptr);
  EXPECT_EQ(unblocked_signals(), 4);  // the starting thread has its own mask back
  // The event engine is held inside the machine's initialisation.
  ASSERT_TRUE(testkit::actions().wait_size(1));
  loc->update();
  loc->interrupt1();
  loc->interrupt2();
  EXPECT_FALSE(started(root->event_fifo));
  EXPECT_FALSE(started(root->irq1_fifo));
  EXPECT_FALSE(started(root->irq2_fifo));
  // Signalled directly, the interrupt engines wait until a has been entered.
  root->post_irq1(nullptr);
  root->post_irq2(nullptr);
  init_gate->open();
  ASSERT_TRUE(testkit::actions().wait_size(5));
  Trace t = testkit::actions().take();
  EXPECT_EQ(Trace(t.begin(), t.begin() + 3), (Trace{"init:a", "init:b", "enter:a"}));
  EXPECT_EQ(t[3] == "irq1:a" ? t[4] : t[3], "irq2:a");
  EXPECT_TRUE(testkit::wait_ready(loc));
}

TEST(Engine, ClientEventsRunInOrderAtTheNextTickThenInterrupts) {
  EqFSMlocation* loc = start_toggle();
  ASSERT_TRUE(testkit::wait_ready(loc));
  testkit::actions().take();
  for (const char* text : {"switch:a", "switch:b"}) {
    EqAdr adr;
    adr.adr(testkit::address("TOGGLE", "EVENT"));
    EqData value;
    EqData res;
    value.set(text);
    ASSERT_EQ(EqCall().set(&adr, &value, &res), 0);
  }
  loc->update();
  ASSERT_TRUE(testkit::actions().wait_size(8));
  loc->interrupt1();
  ASSERT_TRUE(testkit::actions().wait_size(9));
  EXPECT_EQ(testkit::actions().take(), (Trace{"poll:a", "exit:a", "enter:b", "poll:b", "exit:b",
                                              "enter:a", "poll:a", "during:a", "irq1:a"}));
}
