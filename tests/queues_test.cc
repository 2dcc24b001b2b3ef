// queues_test.cc - the root's queues with real threads: a dispatch loop on
// a thread of its own (as the engines run it) while other threads post,
// signal and raise interrupts; posting order; pending copies at the end.

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "fsm/fsm.h"
#include "testkit/testkit.h"

namespace {

using Trace = std::vector<std::string>;

void post(FSMrootstate* root, const std::string& name, const char* address = "*") {
  FSMevent ev;
  ev.set_event(name.c_str(), address);
  root->post_event(&ev);
}

// A dispatch loop of the root's event or irq1 queue on a thread of its
// own, as an engine runs it, recording the name of each dispatched event.
class Engine {
 public:
  Engine(FSMrootstate* root, bool irq) : root_(root), irq_(irq), thread_([this] { run(); }) {}
  ~Engine() { stop(); }

  // Posts "stop" after everything posted so far and returns what was
  // dispatched up to it. Aborts when the loop does not stop in time: it
  // still uses the root, which may then be neither joined nor destroyed.
  Trace stop() {
    if (!thread_.joinable()) return {};
    FSMevent ev;
    ev.set_event("stop", "nobody");
    irq_ ? root_->post_irq1(&ev) : root_->post_event(&ev);
    irq_ ? root_->post_irq1(nullptr) : root_->post_event(nullptr);
    if (!log_.wait_for([](const Trace& t) { return !t.empty() && t.back() == "stop"; })) {
      fprintf(stderr, "the dispatch loop does not stop\n");
      abort();
    }
    thread_.join();
    return log_.take();
  }

 private:
  void run() {
    FSMevent ev;
    do {
      irq_ ? root_->process_irq1(&ev) : static_cast<void>(root_->process_event(&ev));
      log_.add(ev.event);
    } while (ev.event != "stop");
  }
  testkit::Recorder log_;
  FSMrootstate* root_;
  bool irq_;
  std::thread thread_;
};

int flip_irq(FSMstate* st) {
  if (st->is_active() == 0) testkit::actions().add("irq1 on inactive " + st->name);
  return 0;
}

// Root "flip": flow 0: a, b; "flip" switches between them.
void create_flip(EqFSMlocation* loc) {
  for (const char* name : {"a", "b"}) {
    FSMstate* st = new FSMstate(name, "", 0);
    st->add_transition("flip", nullptr, nullptr, nullptr, nullptr, name[0] == 'a' ? "b" : "a");
    st->add_action("interrupt1", flip_irq);
    loc->state_ptr->add_state(0, st);
  }
  loc->flows.push_back(new D_flow("FLOW_0 a or b", loc));
}

// Several threads post, signal and raise interrupts while the engines
// dispatch and flow 0 switches, and this thread reads FLOW_0 as a client:
// every event arrives once, each poster's in its posting order, and no
// interrupt reaches a state that is not active.
TEST(Queues, ConcurrentPostersLoseNothingAndKeepTheirOrder) {
  constexpr int POSTERS = 4;
  constexpr int EACH = 512;
  testkit::Machine m("F", "flip", create_flip);
  ASSERT_EQ(m.start(), 0);
  testkit::actions().take();
  Engine events(m.root(), false);
  Engine irqs(m.root(), true);
  std::atomic<int> done{0};
  std::vector<std::thread> posters;
  for (int p = 0; p < POSTERS; ++p) {
    posters.emplace_back([&m, &done, p] {
      for (int i = 0; i < EACH; ++i) {
        post(m.root(), std::to_string(p) + ":" + std::to_string(i));
        if (i % 8 != 0) continue;
        post(m.root(), "flip");
        m.root()->post_event(nullptr);
        m.root()->post_irq1(nullptr);
      }
      m.root()->post_event(nullptr);
      ++done;
    });
  }
  while (done < POSTERS) {
    std::string shown = m.flow(0);
    EXPECT_TRUE(shown == "a" || shown == "b") << shown;
  }
  for (std::thread& t : posters)
    t.join();
  std::vector<int> next(POSTERS, 0);
  for (const std::string& e : events.stop()) {
    if (e == "timer" || e == "flip" || e == "stop") continue;
    int p = e[0] - '0';
    ASSERT_EQ(e, std::to_string(p) + ":" + std::to_string(next[p]));
    ++next[p];
  }
  EXPECT_EQ(next, std::vector<int>(POSTERS, EACH));
  irqs.stop();
  EXPECT_EQ(m.flow(0), "a");  // an even number of flips
  EXPECT_EQ(Trace{}, testkit::actions().take());
}

// Copies posted during a long cycle keep their order while the taken slots
// are dropped; copies still queued are released with the root.
TEST(Queues, LongCycleKeepsOrderAndDestructionReleasesTheRest) {
  FSMrootstate root(nullptr, "root", "");
  for (int i = 0; i < 200; ++i)
    post(&root, "e" + std::to_string(i));
  root.post_event(nullptr);
  FSMevent ev;
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(root.event_fifo.dequeue(ev), 1);
    ASSERT_EQ(ev.event, "e" + std::to_string(i));
    post(&root, "e" + std::to_string(200 + i));
  }
  EXPECT_EQ(root.event_fifo.pending(), 200);
  root.post_irq1(&ev);
  root.post_irq2(&ev);
}

}  // namespace
