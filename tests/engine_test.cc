// engine_test.cc - the engine threads of a root location: start-up
// handshake, ticks and interrupts, and the signals they never receive.

#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "fsm/fsm.h"
#include "tests/support/host.h"

namespace {

host::Gate* init_gate = nullptr;  // when set, state a's init action waits for it

// Signals the engines must never receive, as "<signal>" entries when the
// recording thread has one of them unblocked.
void record_unblocked_signals() {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  for (int sig : {SIGALRM, SIGUSR1, SIGUSR2, SIGURG}) {
    if (sigismember(&mask, sig) != 1) host::trace().add("unblocked:" + std::to_string(sig));
  }
}

int gated_init(FSMstate* s) {
  host::record_init(s);
  record_unblocked_signals();
  if (init_gate != nullptr) init_gate->wait();
  return 0;
}

int checked_irq1(FSMstate* s) {
  record_unblocked_signals();
  return host::record_irq1(s);
}

// Machine "toggle": flow 0 switches between a and b.
void build_toggle(EqFSMlocation* loc) {
  FSMstate* a = host::recorded_state("a", "first");
  FSMstate* b = host::recorded_state("b", "second");
  a->add_action("init", gated_init);
  a->add_action("interrupt1", checked_irq1);
  a->add_transition("switch", nullptr, nullptr, nullptr, nullptr, "b");
  b->add_transition("switch", nullptr, nullptr, nullptr, nullptr, "a");
  loc->state_ptr->add_state(0, a);
  loc->state_ptr->add_state(0, b);
  loc->flows.push_back(new D_flow("FLOW_0 toggle", loc));
}

node_info toggle_type = {nullptr, "toggle", build_toggle};

EqFSMlocation* start_toggle() {
  return host::start_server(
      {{"TOGGLE", 100, "toggle", host::conf("TOGGLE.MACHINE", "a toggle")}})[0];
}

bool blocked_here(int sig) {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, sig) == 1;
}

}  // namespace

node_info* init_list = &toggle_type;

TEST(EngineStartup, TicksAndInterruptsBeforeReadyAreDroppedAndIrqEnginesWait) {
  host::trace().clear();
  // Never destroyed: the engine may still wait on it after a failed test.
  static host::Gate* gate = new host::Gate;
  init_gate = gate;
  EqFSMlocation* loc = start_toggle();
  FSMrootstate* root = host::root_of(loc);
  // The event engine is held inside the machine's initialisation.
  ASSERT_TRUE(host::trace().wait_count("init:a", 1));
  ASSERT_TRUE(host::wait_until([loc] { return host::waiting(loc) == 1; }));
  EXPECT_EQ(host::ready(loc), 0);

  loc->update();
  loc->interrupt1();
  loc->interrupt2();
  EXPECT_EQ(host::signalled(root->event_fifo), 0);
  EXPECT_EQ(host::signalled(root->irq1_fifo), 0);
  EXPECT_EQ(host::signalled(root->irq2_fifo), 0);

  // Signalled directly, the interrupt queues are served only once the
  // machine has been entered: before that, a's interrupt actions would not run.
  root->post_irq1(nullptr);
  root->post_irq2(nullptr);
  gate->open();
  ASSERT_TRUE(host::wait_ready(loc));
  ASSERT_TRUE(host::trace().wait_count("irq1:a", 1));
  ASSERT_TRUE(host::trace().wait_count("irq2:a", 1));
  std::vector<std::string> t = host::trace().snapshot();
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(t.begin(), t.begin() + 3),
            (std::vector<std::string>{"init:a", "init:b", "enter:a"}));
  EXPECT_EQ(t[3] == "irq1:a" ? t[4] : t[3], "irq2:a");
  EXPECT_EQ(host::waiting(loc), 0);
  init_gate = nullptr;
}

TEST(EngineRun, QueuedClientEventsRunInOrderAtTheNextTick) {
  EqFSMlocation* loc = start_toggle();
  ASSERT_TRUE(host::wait_ready(loc));
  host::trace().clear();

  EqData value;
  EqData res;
  value.set("switch:a");
  ASSERT_EQ(host::client_set("TOGGLE", "EVENT", &value, &res), 0);
  value.set("switch:b");
  ASSERT_EQ(host::client_set("TOGGLE", "EVENT", &value, &res), 0);
  EXPECT_TRUE(host::trace().snapshot().empty());

  loc->update();
  ASSERT_TRUE(host::trace().wait_count("timer:a", 1));
  EXPECT_EQ(host::trace().snapshot(),
            (std::vector<std::string>{"exit:a", "enter:b", "exit:b", "enter:a", "timer:a"}));

  host::trace().clear();
  loc->interrupt1();
  ASSERT_TRUE(host::trace().wait_count("irq1:a", 1));
  loc->update();
  ASSERT_TRUE(host::trace().wait_count("timer:a", 1));
  EXPECT_EQ(host::trace().snapshot(), (std::vector<std::string>{"irq1:a", "timer:a"}));
}

TEST(EngineStartup, EnginesRunWithTimerAndUserSignalsBlocked) {
  host::trace().clear();
  EqFSMlocation* loc = start_toggle();
  ASSERT_TRUE(host::wait_ready(loc));
  // The starting thread got its own mask back.
  EXPECT_FALSE(blocked_here(SIGUSR1));
  EXPECT_FALSE(blocked_here(SIGALRM));
  loc->interrupt1();
  ASSERT_TRUE(host::trace().wait_count("irq1:a", 1));
  EXPECT_EQ(host::trace().snapshot(),
            (std::vector<std::string>{"init:a", "init:b", "enter:a", "irq1:a"}));
}
