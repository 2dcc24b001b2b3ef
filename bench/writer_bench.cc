// writer_bench.cc - dispatch through machines written with writer/machine.h
// against the same machine written with plain function pointers.
//
// The machine: root with flow 0 (A, B) and flow 1 (C, D); "go" addressed to
// "*" moves both flows through a guarded transition with a transition
// action; every state counts its "poll", "during", "enter" and "exit"
// actions, the guards count their calls. writer/alternate runs the two
// machines in alternating chunks of about a thousand events, so that load
// from other work falls on both alike, and records the best chunk of each;
// the goal compares them. writer/plain and writer/layer run one machine
// each, FSM_BENCH_EVENTS events when that is set (for instruction counts
// under callgrind, which are independent of load).

#include <stdlib.h>

#include <string>

#include "bench/bench_support.h"
#include "bench/cases.h"
#include "testkit/testkit.h"
#include "writer/machine.h"

namespace fsmbench {
namespace {

struct Counts {
  long poll = 0;
  long during = 0;
  long enter = 0;
  long exit = 0;
  long guard = 0;
  long then = 0;
};

// --- plain: counters in each state's private block --------------------------

Counts& of(FSMstate* s) {
  return *static_cast<Counts*>(s->get_private());
}
int plain_poll(FSMstate* s) {
  ++of(s).poll;
  return 0;
}
int plain_during(FSMstate* s) {
  ++of(s).during;
  return 0;
}
int plain_enter(FSMstate* s) {
  ++of(s).enter;
  return 0;
}
int plain_exit(FSMstate* s) {
  ++of(s).exit;
  return 0;
}
int plain_guard(FSMstate* s) {
  return ++of(s).guard > 0;
}
void plain_then(FSMstate* s) {
  ++of(s).then;
}

void create_plain(EqFSMlocation* loc) {
  const char* names[] = {"A", "B", "C", "D"};
  const char* next[] = {"B", "A", "D", "C"};
  for (int i = 0; i < 4; ++i) {
    FSMstate* s = new FSMstate(names[i], "", 0);
    new (s->set_private(sizeof(Counts))) Counts();
    s->add_action("poll", plain_poll);
    s->add_action("during", plain_during);
    s->add_action("enter", plain_enter);
    s->add_action("exit", plain_exit);
    s->add_transition("go", plain_guard, plain_then, nullptr, nullptr, next[i]);
    loc->state_ptr->add_state(i / 2, s);
  }
}

// --- layer: the same, with lambdas that capture their counters --------------

Counts layer_counts[4];

fsm::State counted(const char* name, const char* next, Counts* c) {
  return fsm::State(name)
      .poll([c](fsm::Context&) { ++c->poll; })
      .during([c](fsm::Context&) { ++c->during; })
      .enter([c](fsm::Context&) { ++c->enter; })
      .exit([c](fsm::Context&) { ++c->exit; })
      .on("go", next)
      .when([c](fsm::Context&) { return ++c->guard > 0; })
      .then([c](fsm::Context&) { ++c->then; });
}

void create_layer(EqFSMlocation* loc) {
  static const fsm::Machine m =
      fsm::Machine()
          .flow("", {counted("A", "B", &layer_counts[0]), counted("B", "A", &layer_counts[1])})
          .flow("", {counted("C", "D", &layer_counts[2]), counted("D", "C", &layer_counts[3])});
  m.build(loc);
}

void deliver(FSMrootstate* root, FSMevent* ev) {
  root->FSMsuperstate::process_event(ev);
}

void one_machine(benchmark::State& state, const char* key, testkit::Machine::Create create) {
  testkit::Machine m(key, key, create);
  if (m.start() != 0) {
    state.SkipWithError("the machine did not start");
    return;
  }
  FSMevent go;
  go.set_event("go", "*");
  Chunks chunks(1000);
  chunks.start();
  for (auto _ : state) {
    deliver(m.root(), &go);
    chunks.tick();
  }
  chunks.stop();
  if (m.flow_state(0) != (state.iterations() % 2 == 0 ? "A" : "B")) {
    state.SkipWithError("the machine did not follow the events");
    return;
  }
  report(state, std::string("writer/") + key, chunks);
}

// Alternating chunks of the two machines; each reports its best chunk.
void alternate(benchmark::State& state) {
  testkit::Machine plain("plain_alt", "plain_alt", create_plain);
  testkit::Machine layer("layer_alt", "layer_alt", create_layer);
  if (plain.start() != 0 || layer.start() != 0) {
    state.SkipWithError("a machine did not start");
    return;
  }
  FSMevent go;
  go.set_event("go", "*");
  constexpr long CHUNK = 1000;
  // Best and total nanoseconds of a chunk, per machine.
  int64_t best[2] = {-1, -1};
  int64_t total[2] = {0, 0};
  long chunks = 0;
  for (auto _ : state) {
    for (int k = 0; k < 2; ++k) {
      FSMrootstate* root = k == 0 ? plain.root() : layer.root();
      int64_t t0 = wall_ns();
      for (long i = 0; i < CHUNK; ++i)
        deliver(root, &go);
      int64_t spent = wall_ns() - t0;
      if (best[k] < 0 || spent < best[k]) best[k] = spent;
      total[k] += spent;
    }
    ++chunks;
  }
  if (plain.flow_state(1) != layer.flow_state(1)) {
    state.SkipWithError("the machines disagree");
    return;
  }
  for (int k = 0; k < 2; ++k) {
    double events = static_cast<double>(chunks * CHUNK);
    report(state, k == 0 ? "writer/alternate/plain" : "writer/alternate/layer",
           static_cast<double>(best[k]) / CHUNK, static_cast<double>(total[k]) / events, 0);
  }
}

}  // namespace

void register_writer_cases() {
  benchmark::RegisterBenchmark("writer/alternate", alternate);
  auto* p = benchmark::RegisterBenchmark(
      "writer/plain", [](benchmark::State& s) { one_machine(s, "plain", create_plain); });
  auto* l = benchmark::RegisterBenchmark(
      "writer/layer", [](benchmark::State& s) { one_machine(s, "layer", create_layer); });
  long n = fixed_events();
  if (n > 0) {
    p->Iterations(n);
    l->Iterations(n);
  }
}

}  // namespace fsmbench
