// stress_test.cc - machines on their real engine threads, started through
// the server's hooks: the start-up handshake, then machines under load.
//
// Under load, three machines with nested superstates and parallel flows
// tick as fast as their engines take the ticks, while clients write
// numbered events to EVENT and read FAULT and FLOW_n, interrupts are raised
// (the second one's action sends numbered events), a device property that a
// data item two levels down mirrors keeps growing, and each machine sends a
// numbered event to the next one at each tick. A numbered event is
// "n.<source>.<k>", k counting from 0 per source and machine; each root
// checks that every source's numbers arrive one after the other: nothing
// lost, nothing doubled, posting order kept. No action may run on a thread
// that could receive the timer or user signals.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "testkit/testkit.h"

namespace {

constexpr int MACHINES = 3;
constexpr int SOURCES = 4;  // 0 and 1 clients, 2 the previous machine, 3 interrupts
constexpr long BACKLOG = 150;

testkit::Gate* init_gate = new testkit::Gate;  // kept: an engine may wait on it

// What one machine saw and what was posted to it; kept, as the engines are.
struct Tally {
  std::mutex mux;                   // guards next and faults; a leaf lock
  long next[SOURCES] = {};          // per source: the number expected next
  std::vector<std::string> faults;  // numbers out of order, lost or doubled
  std::atomic<long> posted[SOURCES] = {};
  std::atomic<long> seen{0};  // numbered events dispatched
  std::atomic<long> timers{0};
  std::atomic<long> bad{0};  // signals unblocked, or the mirrored level went back or failed
  long level = 0;            // event engine only
};
Tally* tally[MACHINES];
std::atomic<bool> relaying{true};

bool signals_blocked() {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  for (int sig : {SIGALRM, SIGUSR1, SIGUSR2, SIGURG}) {
    if (sigismember(&mask, sig) != 1) return false;
  }
  return true;
}

int gated_init(FSMstate*) {
  testkit::actions().add("gate");
  return init_gate->wait() ? 0 : 1;
}

bool started(FSMrootstate::queue& q) {
  pthread_mutex_lock(&q.mux);
  bool s = q.flag != 0;
  pthread_mutex_unlock(&q.mux);
  return s;
}

// The machine of a state (its root is "stress<i>"). Counts an action that
// runs where a timer or user signal could be delivered.
int index_of(FSMstate* s) {
  int i = s->get_root()->get_name()[6] - '0';
  if (!signals_blocked()) ++tally[i]->bad;
  return i;
}

// Sends machine i the next numbered event of a source, as machines do.
void send_numbered(int i, int source) {
  std::atomic<long>& k = tally[i]->posted[source];
  FSMevent ev;
  ev.set_event(("n." + std::to_string(source) + "." + std::to_string(k)).c_str(), "*");
  std::string machine = "stress" + std::to_string(i);
  if (send_event(&machine[0], &ev) == 0) ++k;
}

// Checks numbered events; at each tick sends the next machine one.
int root_during(FSMstate* s) {
  int i = index_of(s);
  Tally& t = *tally[i];
  const char* ev = s->get_event_name();
  if (*ev == '\0') {
    ++t.timers;
    if (relaying) send_numbered((i + 1) % MACHINES, 2);
    return 0;
  }
  int source = (ev[2] - '0') % SOURCES;
  long k = atol(ev + 4);
  std::lock_guard<std::mutex> lock(t.mux);
  if (k != t.next[source]) t.faults.push_back(ev);
  t.next[source] = k + 1;
  ++t.seen;
  return 0;
}

int irq2_sends(FSMstate* s) {
  send_numbered(index_of(s), 3);
  return 0;
}

// z mirrors DEV/LEVEL, which only grows.
int z_during(FSMstate* s) {
  Tally& t = *tally[index_of(s)];
  int v = -1;
  if (*s->get_error() != '\0' || s->data_get(0, &v, 0) != 0 || v < t.level) ++t.bad;
  t.level = v;
  return 0;
}

FSMstate* ticking(const char* name, const char* next) {
  FSMstate* st = new FSMstate(name, "", 0);
  st->add_transition("timer", nullptr, nullptr, nullptr, nullptr, next);
  return st;
}

// root: flow 0 holds outer (a <-> b; inner: x <-> y, and z); flow 1 holds
// watch, whose second interrupt sends numbered events.
void create_stressed(EqFSMlocation* loc) {
  FSMsuperstate* root = loc->state_ptr;
  auto* outer = new FSMsuperstate(nullptr, "outer", "nested", 10);
  auto* inner = new FSMsuperstate(nullptr, "inner", "", 11);
  FSMstate* watch = new FSMstate("watch", "interrupts", 0);
  FSMstate* z = new FSMstate("z", "", 0);
  root->add_action("during", root_during);
  watch->add_action("interrupt2", irq2_sends);
  z->add_data("level", nullptr, testkit::address("DEV", "LEVEL").c_str());
  z->add_action("during", z_during);
  root->add_state(0, outer);
  root->add_state(1, watch);
  outer->add_state(0, ticking("a", "b"));
  outer->add_state(0, ticking("b", "a"));
  outer->add_state(1, inner);
  inner->add_state(0, ticking("x", "y"));
  inner->add_state(0, ticking("y", "x"));
  inner->add_state(1, z);
  loc->flows.push_back(new D_flow("FLOW_0 outer", loc));
  loc->flows.push_back(new D_flow("FLOW_1 watch", loc));
}

void create_gated(EqFSMlocation* loc) {
  FSMstate* a = testkit::recorded_state("a");
  a->add_action("init", gated_init);
  loc->state_ptr->add_state(0, a);
}

}  // namespace

TEST(EngineStartup, InterruptEnginesWaitForEntryAndTicksBeforeReadyAreDropped) {
  EqFSMlocation* loc = testkit::serve({{"GATED", 100, "gated", create_gated}})[0];
  FSMrootstate* root = dynamic_cast<FSMrootstate*>(loc->state_ptr);
  EXPECT_FALSE(signals_blocked());  // the starting thread has its own mask back
  // The event engine is held inside the machine's initialisation.
  ASSERT_TRUE(testkit::actions().wait_size(1));
  loc->update();
  loc->interrupt1();
  loc->interrupt2();
  EXPECT_FALSE(started(root->event_fifo) || started(root->irq1_fifo) || started(root->irq2_fifo));
  // Signalled directly, the interrupt engines wait until a has been entered.
  root->post_irq1(nullptr);
  root->post_irq2(nullptr);
  init_gate->open();
  ASSERT_TRUE(testkit::actions().wait_size(4));
  std::vector<std::string> t = testkit::actions().take();
  EXPECT_EQ(t[0] + " " + t[1] + " " + (t[2] < t[3] ? t[2] + " " + t[3] : t[3] + " " + t[2]),
            "gate enter:a irq1:a irq2:a");
}

TEST(Stress, NumberedEventsArriveOnceInOrderUnderLoad) {
  testkit::Device dev("DEV");
  dev.add("LEVEL", 0);
  std::vector<testkit::Served> config;
  for (int i = 0; i < MACHINES; ++i) {
    tally[i] = new Tally;
    config.push_back({"S" + std::to_string(i), 100, "stress" + std::to_string(i), create_stressed});
  }
  std::vector<EqFSMlocation*> locs = testkit::serve(config);
  for (EqFSMlocation* loc : locs)
    ASSERT_TRUE(testkit::wait_ready(loc));
  // One tick of every machine, and a wait (bounded) for the first to take it.
  auto tick = [&] {
    long timers = tally[0]->timers;
    for (EqFSMlocation* loc : locs)
      loc->update();
    testkit::wait_until([&] { return tally[0]->timers > timers; }, std::chrono::milliseconds(50));
  };
  std::atomic<bool> stop{false};
  std::atomic<long> bad_calls{0};  // client writes refused, reads not as expected
  std::vector<std::thread> threads;
  threads.emplace_back([&] {  // ticks, interrupts and the device
    for (int level = 1; !stop; ++level) {
      dev.set("LEVEL", level);
      for (EqFSMlocation* loc : locs) {
        loc->interrupt1();
        loc->interrupt2();
      }
      tick();
    }
  });
  for (int source = 0; source < 2; ++source) {
    threads.emplace_back([&, source] {
      while (!stop) {
        for (int i = 0; i < MACHINES; ++i) {
          std::string loc = "S" + std::to_string(i);
          std::atomic<long>& k = tally[i]->posted[source];
          if (k - tally[i]->seen / 4 > BACKLOG) continue;  // let the machine catch up
          std::string text = "n." + std::to_string(source) + "." + std::to_string(k);
          int rc = testkit::client_set(testkit::address(loc, "EVENT"), k % 2 ? text + ":!" : text);
          rc == 0 ? ++k : ++bad_calls;
          bad_calls += testkit::client_get(testkit::address(loc, "FAULT")) != "";
          bad_calls += testkit::client_get(testkit::address(loc, "FLOW_0")) != "outer : nested";
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the load's length
  stop = true;
  for (std::thread& th : threads)
    th.join();
  relaying = false;
  auto caught_up = [] {
    for (Tally* t : tally) {
      std::lock_guard<std::mutex> lock(t->mux);
      for (int s = 0; s < SOURCES; ++s) {
        if (t->next[s] != t->posted[s]) return false;
      }
    }
    return true;
  };
  EXPECT_TRUE(testkit::wait_until([&] { return tick(), caught_up(); }));
  EXPECT_EQ(bad_calls, 0);
  for (Tally* t : tally) {
    std::lock_guard<std::mutex> lock(t->mux);
    EXPECT_EQ(t->faults, std::vector<std::string>{});
    EXPECT_EQ(t->bad, 0);
    EXPECT_GT(*std::min_element(t->next, t->next + SOURCES), 0);
  }
}
