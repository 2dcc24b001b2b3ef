// stress_test.cc - machines under load on real threads.
//
// Three machines, each with a nested superstate holding parallel flows (one
// of them a superstate of its own), tick as fast as their engines take the
// ticks. Meanwhile client threads write numbered events to EVENT and read
// FAULT, FLOW_n and a routed data property, other threads raise both kinds
// of interrupt, a device thread rewrites the property that a data item deep
// in each machine mirrors, every machine sends a numbered event to the next
// one at each tick, transitions post follow-up signals, and an interrupt
// action posts numbered events of its own.
//
// Every numbered event is named "<kind>.<source>.<n>", n counting from 0 per
// source and target machine. The root's "during" action sees every event
// addressed to the root and checks that each source's numbers come one
// after the other: nothing lost, nothing twice, posting order kept. After
// the load the test stops the producers, drains every machine, compares
// the counts with what was posted, and checks that all three engines of
// every machine still answer.

#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fsm/fsm.h"
#include "tests/support/host.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMachines = 3;
constexpr int kClients = 2;
constexpr std::chrono::milliseconds kLoad{1500};
constexpr std::chrono::milliseconds kPace{50};  // longest wait for an engine's answer
constexpr long kBacklog = 400;  // numbered events a machine may have waiting before posters wait

// What one machine saw and what was posted to it. Fields marked "engine"
// are touched only by that machine's own engine threads.
struct Tally {
  std::mutex mux;  // guards the fields up to `pinged`; a leaf lock
  std::condition_variable cond;
  std::map<std::string, long> next;  // per source: the number expected next
  std::vector<std::string> faults;   // events out of order, lost or doubled
  long numbered = 0;                 // numbered events dispatched
  long sigs = 0;                     // follow-up signals dispatched
  long timers = 0;
  bool pinged = false;

  std::atomic<long> posted{0};  // numbered events posted to this machine
  std::atomic<long> from_client[kClients] = {};
  std::atomic<long> relays_sent{0};  // numbered events this machine sent to the next
  std::atomic<long> irq2_posted{0};  // numbered events its interrupt action posted
  std::atomic<long> ab_fired{0};     // transitions a -> b, each posting "sig"
  std::atomic<long> irq1{0};
  std::atomic<long> irq2{0};
  std::atomic<long> nested_irqs{0};  // interrupts that reached z, two levels down
  std::atomic<long> level_faults{0};
  std::atomic<long> refresh_errors{0};
  std::atomic<long> during{0};  // root "during" runs, each adds 1 to COUNT
  long last_level = LONG_MIN;   // engine
  long relay_n = 0;             // engine
  int count_handle = -1;        // engine
  int level_handle = -1;        // engine
};

// Kept for the whole process: the engines never stop and keep using them.
Tally* tally[kMachines];
EqFSMlocation* sites[kMachines];
std::atomic<bool> relaying{true};

std::string site_name(int i) {
  return "S" + std::to_string(i);
}
std::string machine_name(int i) {
  return "STRESS" + std::to_string(i) + ".MACHINE";
}

// The machine a state belongs to, by its root's name "stress<i>".
int index_of(FSMstate* s) {
  const char* name = s->get_root() != nullptr ? s->get_root()->get_name() : "";
  size_t n = strlen(name);
  return n > 0 ? name[n - 1] - '0' : 0;
}

// Records one numbered event "<kind>.<source>.<n>". Called with t.mux held.
void check_numbered(Tally& t, const std::string& ev) {
  size_t a = ev.find('.');
  size_t b = ev.rfind('.');
  if (a == std::string::npos || b == a) {
    t.faults.push_back("unexpected " + ev);
    return;
  }
  std::string source = ev.substr(a + 1, b - a - 1);
  long n = atol(ev.c_str() + b + 1);
  long& expected = t.next[source];
  if (n != expected) t.faults.push_back(ev + " after " + std::to_string(expected - 1));
  expected = n + 1;
  ++t.numbered;
}

// Adds 1 to the location's COUNT property under its lock, through a routed
// handle: read and write must not be torn apart by the client readers.
void count_during(FSMstate* s, Tally& t) {
  if (t.count_handle == -1) t.count_handle = s->data_open("COUNT", 0);
  int v = 0;
  s->data_lock(t.count_handle, 0);
  if (s->data_get(t.count_handle, &v, 0) == 0) s->data_set(t.count_handle, v + 1, 0);
  s->data_unlock(t.count_handle, 0);
  t.during.fetch_add(1);
}

// Each tick, while relaying, sends one numbered event to the next machine.
void relay(int i, Tally& t) {
  int to = (i + 1) % kMachines;
  FSMevent ev;
  ev.set_event(("n.r" + std::to_string(i) + "." + std::to_string(t.relay_n)).c_str(), "*");
  std::string target = machine_name(to);
  if (send_event(&target[0], &ev) != 0) {
    std::lock_guard<std::mutex> g(t.mux);
    t.faults.push_back("send_event to " + target + " failed");
    return;
  }
  ++t.relay_n;
  tally[to]->posted.fetch_add(1);
  t.relays_sent.fetch_add(1);
}

int root_during(FSMstate* s) {
  int i = index_of(s);
  Tally& t = *tally[i];
  count_during(s, t);
  std::string ev = s->get_event_name();
  if (ev.empty() && relaying.load()) relay(i, t);
  std::lock_guard<std::mutex> g(t.mux);
  if (ev.empty()) {
    ++t.timers;
  } else if (ev == "sig") {
    ++t.sigs;
  } else if (ev == "ping") {
    t.pinged = true;
  } else {
    check_numbered(t, ev);
  }
  t.cond.notify_all();
  return 0;
}

void a_to_b(FSMstate* s) {
  tally[index_of(s)]->ab_fired.fetch_add(1);
}

int is_park(FSMstate* s) {
  return strncmp(s->get_event_name(), "park.", 5) == 0;
}
int is_unpark(FSMstate* s) {
  return strncmp(s->get_event_name(), "unpark.", 7) == 0;
}

void notify(Tally& t) {
  std::lock_guard<std::mutex> g(t.mux);
  t.cond.notify_all();
}

int watch_irq1(FSMstate* s) {
  Tally& t = *tally[index_of(s)];
  t.irq1.fetch_add(1);
  notify(t);
  return 0;
}

// Posts a numbered follow-up event from the second interrupt engine.
int watch_irq2(FSMstate* s) {
  Tally& t = *tally[index_of(s)];
  long n = t.irq2_posted.load();
  FSMevent ev;
  ev.set_event(("n.i2." + std::to_string(n)).c_str(), "*");
  s->post_event(&ev);
  t.irq2_posted.store(n + 1);
  t.posted.fetch_add(1);
  t.irq2.fetch_add(1);
  notify(t);
  return 0;
}

int z_irq(FSMstate* s) {
  tally[index_of(s)]->nested_irqs.fetch_add(1);
  return 0;
}

// z mirrors DEV/IVAL, which only ever grows: a refresh must never read an
// older value than the one before, nor fail.
int z_during(FSMstate* s) {
  Tally& t = *tally[index_of(s)];
  if (t.level_handle == -1) t.level_handle = s->data_open("level", 0);
  if (s->get_error()[0] != '\0') t.refresh_errors.fetch_add(1);
  int v = 0;
  if (s->data_get(t.level_handle, &v, 0) != 0) t.refresh_errors.fetch_add(1);
  if (v < t.last_level) t.level_faults.fetch_add(1);
  t.last_level = v;
  return 0;
}

FSMstate* simple(const char* name, const char* descr) {
  return new FSMstate(name, descr, 0);
}

// root: flow 0 switches between superstate outer and parked (on "park.*"
// and "unpark.*"); flow 1 holds watch. outer (with history): flow 0 ticks
// a <-> b, a -> b posting "sig"; flow 1 holds superstate inner, whose flow
// 0 ticks x <-> y and whose flow 1 holds z, the data item's state.
void build_stressed(EqFSMlocation* loc) {
  FSMsuperstate* root = loc->state_ptr;
  root->add_action("during", root_during);
  loc->norix_data.push_back(new norix::D_value<int>("COUNT root during runs", loc));

  FSMsuperstate* outer = new FSMsuperstate(nullptr, "outer", "the nested part", 10);
  FSMstate* parked = simple("parked", "resting");
  outer->add_transition("*", is_park, nullptr, nullptr, nullptr, "parked");
  parked->add_transition("*", is_unpark, nullptr, nullptr, nullptr, "outer");
  root->add_state(0, outer);
  root->add_state(0, parked);
  FSMstate* watch = simple("watch", "interrupts");
  watch->add_action("interrupt1", watch_irq1);
  watch->add_action("interrupt2", watch_irq2);
  root->add_state(1, watch);

  FSMstate* a = simple("a", "");
  FSMstate* b = simple("b", "");
  a->add_transition("timer", nullptr, a_to_b, "sig", "*", "b");
  b->add_transition("timer", nullptr, nullptr, nullptr, nullptr, "a");
  outer->add_state(0, a);
  outer->add_state(0, b);
  FSMsuperstate* inner = new FSMsuperstate(nullptr, "inner", "two levels down", 11);
  outer->add_state(1, inner);
  outer->flow_attributes(0, "", 1);

  FSMstate* x = simple("x", "");
  FSMstate* y = simple("y", "");
  x->add_transition("timer", nullptr, nullptr, nullptr, nullptr, "y");
  y->add_transition("timer", nullptr, nullptr, nullptr, nullptr, "x");
  inner->add_state(0, x);
  inner->add_state(0, y);
  FSMstate* z = simple("z", "mirrors the device");
  z->add_data("level", nullptr, host::address_text("DEV", "IVAL").c_str());
  z->add_action("during", z_during);
  z->add_action("interrupt1", z_irq);
  z->add_action("interrupt2", z_irq);
  inner->add_state(1, z);

  loc->flows.push_back(new D_flow("FLOW_0 outer or parked", loc));
  loc->flows.push_back(new D_flow("FLOW_1 watch", loc));
}

node_info types[kMachines] = {
    {&types[1], "stress0", build_stressed},
    {&types[2], "stress1", build_stressed},
    {nullptr, "stress2", build_stressed},
};

// Waits (bounded) until the machine has caught up to kBacklog.
void wait_for_room(Tally& t, const std::atomic<bool>& stop) {
  std::unique_lock<std::mutex> lock(t.mux);
  while (!stop.load() && t.posted.load() - t.numbered > kBacklog)
    t.cond.wait_for(lock, kPace);
}

// Waits (bounded) until pred holds for the machine's tally.
template <typename Pred>
void wait_tally(Tally& t, Pred pred) {
  std::unique_lock<std::mutex> lock(t.mux);
  t.cond.wait_for(lock, kPace, [&] { return pred(t); });
}

std::string text_of(EqData& d) {
  char buf[256];
  return d.get_string(buf, sizeof buf);
}

std::string ustr_text(EqData& d) {
  USTR* u = d.get_ustr(0);
  return u != nullptr && u->str_data.str_data_val != nullptr ? u->str_data.str_data_val : "<none>";
}

bool starts_with(const std::string& s, const char* prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

// Whether every machine dispatched everything posted to it.
bool all_caught_up(std::string* why) {
  for (int i = 0; i < kMachines; ++i) {
    Tally& t = *tally[i];
    std::lock_guard<std::mutex> g(t.mux);
    std::map<std::string, long> want;
    for (int c = 0; c < kClients; ++c)
      want["c" + std::to_string(c)] = t.from_client[c].load();
    want["r" + std::to_string((i + kMachines - 1) % kMachines)] =
        tally[(i + kMachines - 1) % kMachines]->relays_sent.load();
    want["i2"] = t.irq2_posted.load();
    for (const auto& w : want) {
      long got = t.next.count(w.first) != 0 ? t.next.at(w.first) : 0;
      if (got != w.second) {
        *why = site_name(i) + " source " + w.first + ": " + std::to_string(got) + " of " +
               std::to_string(w.second);
        return false;
      }
    }
    if (t.sigs != t.ab_fired.load()) {
      *why = site_name(i) + ": " + std::to_string(t.sigs) + " signals of " +
             std::to_string(t.ab_fired.load());
      return false;
    }
  }
  return true;
}

}  // namespace

node_info* init_list = &types[0];

TEST(StressMachines, EventsUnderLoadAreDispatchedOnceInOrderAndEveryEngineAnswers) {
  for (int i = 0; i < kMachines; ++i)
    tally[i] = new Tally();
  // The device whose property every machine's z mirrors; kept like the sites.
  static EqFct* dev = new EqFct("NAME = location");
  static auto* level = new norix::D_value<int>("IVAL a level that only grows", dev);
  dev->set_name("DEV");
  norix::serve_location(dev);
  level->set_value(0);

  std::vector<host::LocationConfig> config;
  for (int i = 0; i < kMachines; ++i) {
    config.push_back({site_name(i), 100, "stress" + std::to_string(i),
                      host::conf(machine_name(i), "machine under load")});
  }
  std::vector<EqFSMlocation*> made = host::start_server(config);
  for (int i = 0; i < kMachines; ++i) {
    sites[i] = made[i];
    ASSERT_NE(sites[i], nullptr);
    ASSERT_TRUE(host::wait_ready(sites[i]));
  }

  std::atomic<bool> stop{false};
  std::atomic<long> bad_posts{0};
  long bad_reads = 0;
  long reads = 0;
  std::string bad_sample;
  std::vector<std::thread> threads;

  // Ticks every machine, then waits for one of them to finish a cycle.
  threads.emplace_back([&] {
    while (!stop.load()) {
      long seen = 0;
      {
        std::lock_guard<std::mutex> g(tally[0]->mux);
        seen = tally[0]->timers;
      }
      for (EqFSMlocation* loc : sites)
        loc->update();
      wait_tally(*tally[0], [seen](Tally& t) { return t.timers > seen; });
    }
  });
  // Clients writing numbered events: plain ones to the root, and ones to
  // every state, among them park and unpark, which switch the superstate.
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      for (long k = 0; !stop.load(); ++k) {
        for (int i = 0; i < kMachines && !stop.load(); ++i) {
          Tally& t = *tally[i];
          wait_for_room(t, stop);
          long n = t.from_client[c].load();
          const char* kind = n % 40 == 7 ? "park" : n % 40 == 27 ? "unpark" : "n";
          std::string text = std::string(kind) + ".c" + std::to_string(c) + "." + std::to_string(n);
          if (n % 2 == 1 || kind[0] != 'n') text += ":!";
          EqData value;
          EqData res;
          value.set(text);
          t.posted.fetch_add(1);
          if (host::client_set(site_name(i), "EVENT", &value, &res) != 0) {
            t.posted.fetch_sub(1);
            bad_posts.fetch_add(1);
            continue;
          }
          t.from_client[c].store(n + 1);
        }
      }
    });
  }
  // Interrupts of both kinds, each waiting for the machine to take the last.
  for (int kind = 1; kind <= 2; ++kind) {
    threads.emplace_back([&, kind] {
      while (!stop.load()) {
        for (int i = 0; i < kMachines; ++i) {
          Tally& t = *tally[i];
          std::atomic<long>& count = kind == 1 ? t.irq1 : t.irq2;
          long seen = count.load();
          if (kind == 2) wait_for_room(t, stop);
          kind == 1 ? sites[i]->interrupt1() : sites[i]->interrupt2();
          wait_tally(t, [&count, seen](Tally&) { return count.load() > seen; });
        }
      }
    });
  }
  // The device thread: DEV/IVAL grows once per cycle of the first machine.
  std::atomic<int> last_level{0};
  threads.emplace_back([&] {
    for (int v = 1; !stop.load(); ++v) {
      EqData value;
      EqData res;
      value.set(v);
      long seen = 0;
      {
        std::lock_guard<std::mutex> g(tally[0]->mux);
        seen = tally[0]->timers;
      }
      if (host::client_set("DEV", "IVAL", &value, &res) != 0) bad_posts.fetch_add(1);
      last_level.store(v);
      wait_tally(*tally[0], [seen](Tally& t) { return t.timers > seen; });
    }
  });

  // This thread is the client reading FAULT, both FLOW_n and the routed
  // COUNT property while the load runs.
  auto started = Clock::now();
  long last_count[kMachines] = {};
  auto bad = [&](const std::string& what) {
    ++bad_reads;
    if (bad_sample.empty()) bad_sample = what;
  };
  while (Clock::now() < started + kLoad) {
    for (int i = 0; i < kMachines; ++i) {
      EqData res;
      std::string loc = site_name(i);
      if (host::client_get(loc, "FAULT", &res) != 0 || ustr_text(res) != "") bad("FAULT");
      std::string flow0 = host::client_get(loc, "FLOW_0", &res) == 0 ? ustr_text(res) : "";
      if (!starts_with(flow0, "outer : ") && !starts_with(flow0, "parked : ")) bad(flow0);
      std::string flow1 = host::client_get(loc, "FLOW_1", &res) == 0 ? ustr_text(res) : "";
      if (flow1 != "watch : interrupts") bad(flow1);
      long count = host::client_get(loc, "COUNT", &res) == 0 ? res.get_int() : -1;
      if (count < last_count[i]) bad("COUNT went back to " + text_of(res));
      last_count[i] = count;
      reads += 4;
    }
  }
  stop.store(true);
  for (std::thread& th : threads)
    th.join();
  double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  relaying.store(false);

  // Drain: tick until everything posted has been dispatched (bounded).
  std::string why;
  bool drained = host::wait_until([&] {
    for (EqFSMlocation* loc : sites)
      loc->update();
    return all_caught_up(&why);
  });
  EXPECT_TRUE(drained) << why;

  // Every engine of every machine still answers.
  for (int i = 0; i < kMachines; ++i) {
    SCOPED_TRACE(site_name(i));
    Tally& t = *tally[i];
    long irq1 = t.irq1.load();
    long irq2 = t.irq2.load();
    EqData value;
    EqData res;
    value.set("ping:!");
    ASSERT_EQ(host::client_set(site_name(i), "EVENT", &value, &res), 0);
    sites[i]->update();
    sites[i]->interrupt1();
    sites[i]->interrupt2();
    EXPECT_TRUE(host::wait_until([&] {
      std::lock_guard<std::mutex> g(t.mux);
      return t.pinged;
    })) << "event engine";
    EXPECT_TRUE(host::wait_until([&] { return t.irq1.load() > irq1; })) << "first interrupt engine";
    EXPECT_TRUE(host::wait_until([&] { return t.irq2.load() > irq2; }))
        << "second interrupt engine";
  }
  // Drain the follow-up events of those last interrupts, then the counts.
  EXPECT_TRUE(host::wait_until([&] {
    for (EqFSMlocation* loc : sites)
      loc->update();
    return all_caught_up(&why);
  })) << why;

  long dispatched = 0;
  long timers = 0;
  for (int i = 0; i < kMachines; ++i) {
    SCOPED_TRACE(site_name(i));
    Tally& t = *tally[i];
    {
      std::lock_guard<std::mutex> g(t.mux);
      EXPECT_EQ(t.faults, std::vector<std::string>{});
      EXPECT_GT(t.numbered, 0);
      EXPECT_GT(t.sigs, 0);
      dispatched += t.numbered + t.sigs;
      timers += t.timers;
    }
    EXPECT_EQ(t.level_faults.load(), 0);
    EXPECT_EQ(t.refresh_errors.load(), 0);
    EXPECT_GT(t.nested_irqs.load(), 0);
    // COUNT holds one for each run of the root's during action.
    EXPECT_TRUE(host::wait_until([&] {
      EqData res;
      return host::client_get(site_name(i), "COUNT", &res) == 0 && res.get_int() == t.during.load();
    }));
  }
  EXPECT_EQ(bad_posts.load(), 0);
  EXPECT_EQ(bad_reads, 0) << bad_sample;

  char summary[320];
  snprintf(summary, sizeof summary,
           "load: %d machines (%d engine threads), %zu load threads and this reader, %.2f s: %ld "
           "numbered events "
           "and signals dispatched (%.0f/s), %ld ticks, %ld property reads, level %d; none lost",
           kMachines, 3 * kMachines, threads.size(), seconds, dispatched, dispatched / seconds,
           timers, reads, last_level.load());
  printf("%s\n", summary);
  RecordProperty("load", summary);
}
