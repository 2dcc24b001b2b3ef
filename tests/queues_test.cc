// queues_test.cc - the root's queues with real threads: cycles, merged
// signals, events posted during a cycle, the synthetic events, ownership of
// queued copies, and interrupts and readers racing the event thread.

#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fsm/fsm.h"
#include "tests/support/machine.h"

using fsmtest::Dispatcher;
using fsmtest::Machine;
using fsmtest::trace;
using Trace = std::vector<std::string>;

namespace {

void post(FSMrootstate* root, const char* name, const char* address) {
  FSMevent ev;
  ev.set_event(name, address);
  root->post_event(&ev);
}

TEST(QueueCycles, SignalOnEmptyQueuesDispatchesOnlyTheSyntheticEvents) {
  Machine m;
  ASSERT_EQ(m.start(), 0);
  Dispatcher events(m.root, Dispatcher::EVENTS);
  Dispatcher irq1(m.root, Dispatcher::IRQ1);
  Dispatcher irq2(m.root, Dispatcher::IRQ2);
  m.root->post_event(nullptr);
  m.root->post_irq1(nullptr);
  m.root->post_irq2(nullptr);
  ASSERT_TRUE(events.log.wait_for(1));
  ASSERT_TRUE(irq1.log.wait_for(1));
  ASSERT_TRUE(irq2.log.wait_for(1));
  events.stop();
  irq1.stop();
  irq2.stop();
  EXPECT_EQ(events.log.take(), (Trace{"timer@*", "stop@nobody"}));
  EXPECT_EQ(irq1.log.take(), (Trace{"irq1@*", "stop@nobody"}));
  EXPECT_EQ(irq2.log.take(), (Trace{"irq2@*", "stop@nobody"}));
}

std::atomic<long> update_base{0};

int note_updates(FSMstate* st) {
  trace().add("h:" + st->event_name + ":" + std::to_string(norix::update_count() - update_base));
  return 0;
}

TEST(QueueCycles, TickDispatchesQueuedEventsInOrderThenOneTimerAfterOneUpdate) {
  fsmtest::ensure_norix_call();
  Machine m;
  for (const char* name : {"e1", "e2", "e3", "timer"})
    m.root->add_action(name, note_updates);
  ASSERT_EQ(m.start(), 0);
  update_base = norix::update_count();
  Dispatcher events(m.root, Dispatcher::EVENTS);

  // A first cycle brings the engine back to waiting for a signal.
  m.root->post_event(nullptr);
  ASSERT_TRUE(events.log.wait_for(1));
  // Posted while it waits: nothing runs before the signal.
  post(m.root, "e1", "root");
  post(m.root, "e2", "root");
  post(m.root, "e3", "*");
  m.root->post_event(nullptr);
  ASSERT_TRUE(events.log.wait_for(5));
  events.stop();

  EXPECT_EQ(events.log.take(),
            (Trace{"timer@*", "e1@root", "e2@root", "e3@*", "timer@*", "stop@nobody"}));
  // Every poll and during of the root is traced too; keep the handlers.
  Trace handlers;
  for (const std::string& e : trace().take()) {
    if (e.rfind("h:", 0) == 0) handlers.push_back(e);
  }
  EXPECT_EQ(handlers, (Trace{"h::1", "h:e1:1", "h:e2:1", "h:e3:1", "h::2"}));
}

// Posting does not wake a waiting engine; everything posted while it waits
// is taken out, in order, at the next signal.
TEST(QueueCycles, PostsToAWaitingEngineWaitForTheNextSignal) {
  Machine m;
  ASSERT_EQ(m.start(), 0);
  Dispatcher events(m.root, Dispatcher::EVENTS);
  m.root->post_event(nullptr);
  ASSERT_TRUE(events.log.wait_for(1));  // the engine goes back to waiting
  constexpr int POSTS = 1000;
  for (int i = 0; i < POSTS; ++i)
    post(m.root, ("e" + std::to_string(i)).c_str(), "*");
  EXPECT_EQ(m.root->event_fifo.pending(), POSTS);
  m.root->post_event(nullptr);
  ASSERT_TRUE(events.log.wait_for(POSTS + 2));
  events.stop();
  Trace expected{"timer@*"};
  for (int i = 0; i < POSTS; ++i)
    expected.push_back("e" + std::to_string(i) + "@*");
  expected.push_back("timer@*");
  expected.push_back("stop@nobody");
  EXPECT_EQ(events.log.take(), expected);
}

TEST(QueueCycles, SignalsBeforeTheEngineWakesMergeIntoOneCycle) {
  Machine m;
  ASSERT_EQ(m.start(), 0);
  post(m.root, "e1", "root");
  m.root->post_event(nullptr);
  m.root->post_event(nullptr);
  Dispatcher events(m.root, Dispatcher::EVENTS);
  ASSERT_TRUE(events.log.wait_for(2));
  events.stop();
  EXPECT_EQ(events.log.take(), (Trace{"e1@root", "timer@*", "stop@nobody"}));
}

int signal_again(FSMstate* st) {
  st->get_root()->post_event(nullptr);
  return 0;
}

TEST(QueueCycles, SignalDuringACycleJoinsIt) {
  Machine m;
  m.root->add_action("resignal", signal_again);
  ASSERT_EQ(m.start(), 0);
  Dispatcher events(m.root, Dispatcher::EVENTS);
  post(m.root, "resignal", "root");
  m.root->post_event(nullptr);
  ASSERT_TRUE(events.log.wait_for(2));
  events.stop();
  EXPECT_EQ(events.log.take(), (Trace{"resignal@root", "timer@*", "stop@nobody"}));
}

TEST(QueueCycles, SignalOfATransitionRunsInTheSameCycleBeforeTheTimer) {
  Machine m;
  FSMstate* a = m.state("a");
  FSMstate* b = m.state("b");
  a->add_transition("go", nullptr, nullptr, "follow", "b", "b");
  b->add_action("follow", fsmtest::trace_handler);
  ASSERT_EQ(m.start(), 0);
  Dispatcher events(m.root, Dispatcher::EVENTS);
  post(m.root, "go", "a");
  m.root->post_event(nullptr);
  ASSERT_TRUE(events.log.wait_for(3));
  events.stop();
  EXPECT_EQ(events.log.take(), (Trace{"go@a", "follow@b", "timer@*", "stop@nobody"}));
  Trace seen;
  for (const std::string& e : trace().take()) {
    if (e.rfind("poll:", 0) != 0 && e.rfind("during:", 0) != 0) seen.push_back(e);
  }
  EXPECT_EQ(seen, (Trace{"exit:a", "enter:b", "handler:b:follow"}));
}

TEST(QueueCopies, DispatchedCopyCarriesNameAndAddressButNotNext) {
  FSMrootstate root(nullptr, "root", nullptr);
  FSMevent ev;
  ev.set_event("e1", "a");
  ev.set_next("n1");
  root.post_event(&ev);
  ev.set_event("changed", "b");  // the poster may reuse its record at once
  root.post_event(nullptr);

  FSMevent out;
  out.set_next("mine");
  ASSERT_EQ(root.event_fifo.dequeue(out), 1);
  EXPECT_EQ(out.event, "e1");
  EXPECT_EQ(out.state, "a");
  EXPECT_EQ(out.next, "mine");
  ASSERT_EQ(root.event_fifo.dequeue(out), 0);
  EXPECT_EQ(root.event_fifo.flag, 0);
}

TEST(QueueCopies, DestroyingTheRootReleasesPendingCopies) {
  FSMrootstate* root = new FSMrootstate(nullptr, "root", nullptr);
  for (int i = 0; i < 3; ++i) {
    post(root, "pending", "*");
    FSMevent ev;
    ev.set_event("irq", "*");
    root->post_irq1(&ev);
    root->post_irq2(&ev);
  }
  root->post_event(nullptr);
  FSMevent out;
  ASSERT_EQ(root->event_fifo.dequeue(out), 1);  // one taken, two left
  EXPECT_EQ(root->event_fifo.pending(), 2);
  delete root;  // the leak checker sees every copy released
}

TEST(QueueCopies, LongCycleKeepsPostingOrderWhileCompacting) {
  FSMrootstate root(nullptr, "root", nullptr);
  int posted = 0;
  auto post_some = [&](int n) {
    for (int i = 0; i < n; ++i)
      post(&root, ("e" + std::to_string(posted++)).c_str(), "*");
  };
  post_some(200);
  root.post_event(nullptr);
  FSMevent out;
  int taken = 0;
  for (; taken < 150; ++taken) {
    ASSERT_EQ(root.event_fifo.dequeue(out), 1);
    ASSERT_EQ(out.event, "e" + std::to_string(taken));
  }
  EXPECT_EQ(root.event_fifo.pending(), 50);
  post_some(300);  // posted during the cycle: same cycle
  while (root.event_fifo.dequeue(out) == 1) {
    ASSERT_EQ(out.event, "e" + std::to_string(taken));
    ++taken;
  }
  EXPECT_EQ(taken, 500);
  EXPECT_EQ(root.event_fifo.pending(), 0);
  EXPECT_EQ(root.event_fifo.flag, 0);
}

TEST(QueueThreads, ConcurrentProducersKeepEachOnesOrder) {
  Machine m;
  ASSERT_EQ(m.start(), 0);
  Dispatcher events(m.root, Dispatcher::EVENTS);
  constexpr int PRODUCERS = 4;
  constexpr int EACH = 200;
  std::vector<std::thread> producers;
  for (int p = 0; p < PRODUCERS; ++p) {
    producers.emplace_back([&m, p] {
      for (int i = 0; i < EACH; ++i) {
        post(m.root, ("p" + std::to_string(p)).c_str(), std::to_string(i).c_str());
        if (i % 16 == 0) m.root->post_event(nullptr);
      }
    });
  }
  for (std::thread& t : producers)
    t.join();
  events.stop();

  std::vector<int> next(PRODUCERS, 0);
  for (const std::string& e : events.log.take()) {
    if (e == "timer@*" || e == "stop@nobody") continue;
    int p = e[1] - '0';
    ASSERT_EQ(e.substr(3), std::to_string(next[p])) << e;
    ++next[p];
  }
  for (int p = 0; p < PRODUCERS; ++p)
    EXPECT_EQ(next[p], EACH);
}

// Another thread records and reads the error of a state while the event
// thread refreshes it on every event; once that thread is done, the next
// refresh leaves the error empty.
TEST(QueueThreads, ErrorsRecordedElsewhereRaceTheRefresh) {
  Machine m;
  FSMstate* a = m.state("a");
  ASSERT_EQ(m.start(), 0);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    char buf[81];
    while (!done) {
      a->set_error("elsewhere");
      if (a->copy_error(buf, sizeof buf) != 0 && strcmp(buf, "elsewhere") != 0) ADD_FAILURE();
    }
  });
  {
    Dispatcher events(m.root, Dispatcher::EVENTS);
    for (int i = 0; i < 300; ++i) {
      post(m.root, "x", "a");
      m.root->post_event(nullptr);
    }
    events.stop();
  }
  done = true;
  writer.join();
  m.deliver("x", "a");
  char buf[81];
  EXPECT_EQ(a->copy_error(buf, sizeof buf), 0);
}

std::atomic<int> irq_on_inactive{0};

int check_irq(FSMstate* st) {
  if (!st->is_active()) ++irq_on_inactive;
  return 0;
}

int churn_error(FSMstate* st) {
  st->set_error(st->name == "a" ? "a is unhappy" : "b has a much longer complaint to make");
  return 0;
}

// The event thread flips flow 0 between a and b while the interrupt thread
// dispatches interrupts to whichever state it finds active, and a property
// reader holds the root still and reads the flow.
TEST(QueueThreads, InterruptsAndReadersRaceTheFlowSwitch) {
  Machine m;
  FSMstate* a = m.state("a");
  FSMstate* b = m.state("b");
  for (FSMstate* st : {a, b}) {
    st->add_action("interrupt1", check_irq);
    st->add_action("during", churn_error);
  }
  a->add_transition("flip", nullptr, nullptr, nullptr, nullptr, "b");
  b->add_transition("flip", nullptr, nullptr, nullptr, nullptr, "a");
  ASSERT_EQ(m.start(), 0);

  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!done) {
      char buf[81];
      m.root->lock_state();
      const char* descr = nullptr;
      const char* name = m.root->get_ast_name(0, &descr, 0);
      int len = m.root->copy_ast_error(0, buf, sizeof buf);
      int active = m.root->is_active() + m.root->get_flag(0);
      m.root->copy_error(buf, sizeof buf);
      m.root->unlock_state();
      if (name == nullptr || descr == nullptr || len < 0 || active != 1) ADD_FAILURE();
      ++reads;
    }
  });
  // Let the reader get going before the machine starts moving.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (reads == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  if (reads == 0) {
    done = true;
    reader.join();
    FAIL() << "the reader never ran";
  }
  {
    Dispatcher events(m.root, Dispatcher::EVENTS);
    Dispatcher irq1(m.root, Dispatcher::IRQ1);
    constexpr int FLIPS = 400;
    for (int i = 0; i < FLIPS; ++i) {
      post(m.root, "flip", "*");
      m.root->post_event(nullptr);
      m.root->post_irq1(nullptr);
    }
    events.stop();
    irq1.stop();
    int flips = 0;
    for (const std::string& e : events.log.take())
      flips += e == "flip@*";
    EXPECT_EQ(flips, FLIPS);
  }
  done = true;
  reader.join();
  EXPECT_EQ(irq_on_inactive, 0);
  EXPECT_EQ(a->is_active(), 1);  // an even number of flips
  EXPECT_EQ(b->is_active(), 0);
}

}  // namespace
