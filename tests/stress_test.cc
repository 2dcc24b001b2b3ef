// stress_test.cc - machines on their real engine threads, started through
// the server's hooks: the start-up handshake, then machines under load.
//
// The engines are held in the machines' initialisation while the host ticks
// and interrupts. Then three machines with nested superstates and parallel flows
// tick as fast as their engines take the ticks, while clients write
// numbered events to EVENT and read FAULT and FLOW_0, interrupts are raised
// (the second one's action sends numbered events), a device property that a
// data item in a nested superstate mirrors is rewritten through that item, and
// each machine sends a numbered event to the next one at each tick. A
// numbered event is "n.<source>.<k>", k counting from 0 per source and
// machine; each root checks that every source's numbers arrive one after
// the other: nothing lost, nothing doubled, posting order kept. No action
// may run before the machine was entered, nor on a thread that could
// receive the timer or user signals. A second test runs machines whose data
// items read each other's FLOW_0 and FAULT.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <string>
#include <thread>
#include <vector>

#include "framework/calls/endpoint.h"
#include "testkit/testkit.h"

namespace {

constexpr int MACHINES = 3;
constexpr int SOURCES = 4;  // 0 and 1 clients, 2 the previous machine, 3 interrupts
constexpr long BACKLOG = 150;

// What one machine saw and what was posted to it. Kept for the process, as
// the engines are; next is written by the machine's event engine only.
struct Tally {
  std::atomic<long> next[SOURCES] = {};    // per source: the number expected next
  std::atomic<long> posted[SOURCES] = {};  // per source: numbered events posted
  std::atomic<long> seen{0};               // numbered events dispatched
  std::atomic<long> timers{0};
  std::atomic<long> faults{0};  // numbers out of order, mirrored level wrong, signals open
  std::atomic<bool> entered{false};
  FSMstate* z = nullptr;  // the state whose data item mirrors the device
  long level = 0;         // the level z read last; event engine only
};
Tally* tally[MACHINES];
testkit::Gate* init_gate = new testkit::Gate;  // machines initialise once it opens; kept
std::atomic<bool> relaying{true};

bool signals_blocked() {
  sigset_t m;
  pthread_sigmask(SIG_BLOCK, nullptr, &m);
  return sigismember(&m, SIGALRM) == 1 && sigismember(&m, SIGUSR1) == 1 &&
         sigismember(&m, SIGUSR2) == 1 && sigismember(&m, SIGURG) == 1;
}

// The machine's tally (its root is "stress<i>"); counts a fault for an
// action that runs before entry or where a signal could be delivered.
Tally& tally_of(FSMstate* s) {
  Tally& t = *tally[s->get_root()->get_name()[6] - '0'];
  if (!t.entered || !signals_blocked()) ++t.faults;
  return t;
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
  Tally& t = tally_of(s);
  const char* ev = s->get_event_name();
  if (*ev == '\0') {
    ++t.timers;
    if (relaying) send_numbered((s->get_name()[6] - '0' + 1) % MACHINES, 2);
    return 0;
  }
  int source = (ev[2] - '0') % SOURCES;
  long k = atol(ev + 4);
  if (k != t.next[source]) ++t.faults;
  t.next[source] = k + 1;
  ++t.seen;
  return 0;
}

int irq2_sends(FSMstate* s) {
  tally_of(s);
  send_numbered(s->get_root()->get_name()[6] - '0', 3);
  return 0;
}

// z mirrors DEV/LEVEL, which only grows.
int z_during(FSMstate* s) {
  Tally& t = tally_of(s);
  int v = -1;
  if (*s->get_error() != '\0' || s->data_get(0, &v, 0) != 0 || v < t.level) ++t.faults;
  t.level = v;
  return 0;
}

// root: flow 0 holds outer (a <-> b, and z); flow 1 holds watch, whose
// second interrupt sends numbered events. The root's initialisation waits
// for init_gate.
void create_stressed(EqFSMlocation* loc) {
  FSMsuperstate* root = loc->state_ptr;
  auto* outer = new FSMsuperstate(nullptr, "outer", "nested", 10);
  FSMstate* watch = new FSMstate("watch", "", 0);
  FSMstate* z = new FSMstate("z", "", 0);
  FSMstate* a = new FSMstate("a", "", 0);
  FSMstate* b = new FSMstate("b", "", 0);
  a->add_transition("timer", nullptr, nullptr, nullptr, nullptr, "b");
  b->add_transition("timer", nullptr, nullptr, nullptr, nullptr, "a");
  root->add_action("init", [](FSMstate*) { return init_gate->wait() ? 0 : 1; });
  root->add_action("enter",
                   [](FSMstate* s) { return tally[s->get_name()[6] - '0']->entered = 1, 0; });
  root->add_action("during", root_during);
  watch->add_action("interrupt2", irq2_sends);
  z->add_data("level", nullptr, testkit::address("DEV", "LEVEL").c_str());
  z->add_action("during", z_during);
  tally[root->get_name()[6] - '0']->z = z;
  root->add_state(0, outer);
  root->add_state(1, watch);
  outer->add_state(0, a);
  outer->add_state(0, b);
  outer->add_state(1, z);
  loc->flows.push_back(new D_flow("FLOW_0 outer", loc));
}

std::vector<EqFSMlocation*> start(int machines) {
  static testkit::Device* dev = new testkit::Device("DEV");  // kept, as the engines are
  dev->add("LEVEL", 0);
  std::vector<testkit::Served> config;
  for (int i = 0; i < machines; ++i) {
    tally[i] = new Tally;
    config.push_back({"S" + std::to_string(i), 100, "stress" + std::to_string(i), create_stressed});
  }
  return testkit::serve(config);
}

}  // namespace

TEST(Stress, NumberedEventsArriveOnceInOrderUnderLoad) {
  std::vector<EqFSMlocation*> locs = start(MACHINES);
  // While the engines are held in initialisation, the host's ticks and
  // interrupts are dropped, and interrupts signalled directly wait for entry.
  for (EqFSMlocation* loc : locs) {
    loc->update();
    loc->interrupt2();
    dynamic_cast<FSMrootstate*>(loc->state_ptr)->post_irq2(nullptr);
  }
  EXPECT_FALSE(signals_blocked());  // the starting thread has its own mask back
  init_gate->open();
  for (int i = 0; i < MACHINES; ++i) {
    ASSERT_TRUE(testkit::wait_until([i] { return tally[i]->posted[3] == 1; }));
    EXPECT_EQ(tally[i]->timers, 0);
  }
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
  threads.emplace_back([&] {  // ticks, interrupts and the device, written through z's item
    for (int level = 1; !stop; ++level) {
      EqData value;
      value.set(level);
      tally[0]->z->data_set(0, value);
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
  // Then every numbered event posted is dispatched, and nothing else.
  EXPECT_TRUE(testkit::wait_until([&] {
    tick();
    return std::all_of(tally, tally + MACHINES,
                       [](Tally* t) { return std::equal(t->next, t->next + SOURCES, t->posted); });
  }));
  EXPECT_EQ(bad_calls, 0);
  for (Tally* t : tally) {
    EXPECT_EQ(t->faults, 0);
    EXPECT_GT(*std::min_element(t->next, t->next + SOURCES), 0);
  }
}

// --- machines that read each other ------------------------------------------
//
// Every location's top state has data items bound to FLOW_0 and FAULT of the
// locations it watches (its own among them), and toggles a <-> b in its flow
// 0 at each tick, so that the readers meet the engines while they switch.
// The patterns: a pair, a cycle of three, a machine watching itself, and a
// supervisor whose two subsystems are superstate locations of its machine,
// each watching the supervisor and each other. A read must never wait for
// the engine of the machine it reads; a deadlock shows as ticks that stop.
// Meanwhile one more machine writes to a peer that never answers: it holds
// up only itself, never the others' refresh.

namespace {

struct Watcher {
  const char* type;  // also the location's name, upper case
  int code;          // 100 root, 101 superstate location of "sup"
  std::vector<const char*> reads;
  std::atomic<long> ticks{0};
  std::atomic<long> faults{0};  // a mirrored FLOW_0 that did not read
};

Watcher watchers[] = {
    {"pair0", 100, {"PAIR1"}},      {"pair1", 100, {"PAIR0"}},
    {"ring0", 100, {"RING1"}},      {"ring1", 100, {"RING2"}},
    {"ring2", 100, {"RING0"}},      {"self", 100, {"SELF"}},
    {"sup", 100, {"SUB0", "SUB1"}}, {"sub0", 101, {"SUP", "SUB1", "SUB0"}},
    {"sub1", 101, {"SUP", "SUB0"}}, {"mute", 100, {}},
};
const char MUTE_PEER[] = "MUTE/DEV/LOC/PROP";

std::string upper(std::string s) {
  for (char& c : s)
    c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

Watcher& watcher_of(FSMstate* s) {
  for (Watcher& w : watchers)
    if (strcmp(w.type, s->get_name()) == 0) return w;
  abort();
}

// At each tick: every mirrored FLOW_0 (the even items) names a state.
int watcher_during(FSMstate* s) {
  if (*s->get_event_name() != '\0') return 0;
  Watcher& w = watcher_of(s);
  if (w.reads.empty()) {  // the writer to the mute peer
    EqData one;
    one.set(1);
    s->data_set(0, one);
  }
  for (size_t i = 0; i < w.reads.size(); ++i) {
    char* text = nullptr;
    if (s->data_get(static_cast<int>(2 * i), &text, 0) != 0 || text == nullptr ||
        strstr(text, " : ") == nullptr)
      ++w.faults;
    delete[] text;  // data_get made it for us
  }
  ++w.ticks;
  return 0;
}

void create_watcher(EqFSMlocation* loc) {
  FSMsuperstate* top = loc->state_ptr;
  Watcher& w = watcher_of(top);
  std::string prefix = std::string(w.type) + "_";
  FSMstate* a = new FSMstate((prefix + "a").c_str(), "", 0);
  FSMstate* b = new FSMstate((prefix + "b").c_str(), "", 0);
  a->add_transition("timer", nullptr, nullptr, nullptr, nullptr, (prefix + "b").c_str());
  b->add_transition("timer", nullptr, nullptr, nullptr, nullptr, (prefix + "a").c_str());
  top->add_state(0, a);
  top->add_state(0, b);
  for (const char* other : w.reads) {
    top->add_data((std::string("flow:") + other).c_str(), nullptr,
                  testkit::address(other, "FLOW_0").c_str());
    top->add_data((std::string("fault:") + other).c_str(), nullptr,
                  testkit::address(other, "FAULT").c_str());
  }
  if (w.reads.empty()) top->add_data("peer", nullptr, MUTE_PEER);
  top->add_action("during", watcher_during);
  if (strcmp(w.type, "sup") == 0) {
    top->add_reference(1, "sub0");
    top->add_reference(2, "sub1");
  }
  loc->flows.push_back(new D_flow("FLOW_0 toggling", loc));
}

}  // namespace

TEST(Stress, MachinesReadingEachOtherKeepRunning) {
  testkit::TempDir dir;  // the mute peer takes connections and never answers
  norix::protocol::Endpoint mute;
  std::string why;
  ASSERT_EQ(norix::protocol::parse_endpoint("unix:" + dir.file("mute.sock"), &mute, &why), 0);
  ASSERT_GE(norix::protocol::listen_on(mute, &mute, &why), 0) << why;
  norix::add_peer("MUTE", "DEV", "unix:" + dir.file("mute.sock"));
  norix::set_call_timeout(600000);
  std::vector<testkit::Served> config;
  for (Watcher& w : watchers)
    config.push_back(
        {upper(w.type), w.code, w.type, create_watcher, w.code == 101 ? "FSM \tsup\n" : ""});
  std::vector<EqFSMlocation*> locs = testkit::serve(config);
  std::vector<EqFSMlocation*> roots;
  for (size_t i = 0; i < locs.size(); ++i)
    if (watchers[i].code == 100) roots.push_back(locs[i]);
  for (EqFSMlocation* loc : roots)
    ASSERT_TRUE(testkit::wait_ready(loc));
  std::atomic<bool> stop{false};
  std::thread client([&] {  // clients read the same properties meanwhile
    while (!stop)
      for (Watcher& w : watchers)
        testkit::client_get(testkit::address(upper(w.type), "FLOW_0"));
  });
  constexpr long ROUNDS = 200;
  for (long round = 1; round <= ROUNDS; ++round) {
    for (EqFSMlocation* loc : roots)
      loc->update();
    bool ticked = testkit::wait_until([&] {
      return std::all_of(std::begin(watchers), std::end(watchers),
                         [&](Watcher& w) { return w.reads.empty() || w.ticks >= round; });
    });
    if (!ticked) {
      for (Watcher& w : watchers)
        ADD_FAILURE() << w.type << " stopped after " << w.ticks << " ticks";
      break;
    }
  }
  stop = true;
  if (::testing::Test::HasFailure()) {
    client.detach();  // it may wait for a deadlocked machine; the test has failed
    return;
  }
  client.join();
  for (Watcher& w : watchers)
    EXPECT_EQ(w.faults, 0) << w.type;
  EXPECT_EQ(watchers[9].ticks, 0);  // the mute peer's writer is still in its first write
}
