// machines.cc - machine descriptions, the plain model, the real machines
// with counting actions, and the event rings of fsm_bench.

#include "bench/machines.h"

#include <new>

namespace fsmbench {

void (*volatile root_poll_probe)() = nullptr;
void (*volatile handler_probe)() = nullptr;
void (*volatile root_irq_probe)(int kind) = nullptr;

namespace {

Counts* counts_of(FSMstate* st) {
  return static_cast<Counts*>(st->get_private());
}

int count_poll(FSMstate* st) {
  ++counts_of(st)->poll;
  if (st->get_type() == 2) {
    void (*probe)() = root_poll_probe;
    if (probe != nullptr) probe();
  }
  return 0;
}
int count_during(FSMstate* st) {
  return static_cast<int>(++counts_of(st)->during);
}
int count_enter(FSMstate* st) {
  return static_cast<int>(++counts_of(st)->enter);
}
int count_exit(FSMstate* st) {
  return static_cast<int>(++counts_of(st)->exit);
}
int count_handler(FSMstate* st) {
  ++counts_of(st)->handler;
  void (*probe)() = handler_probe;
  if (probe != nullptr) probe();
  return 0;
}

int probe_irq(int kind) {
  void (*probe)(int) = root_irq_probe;
  if (probe != nullptr) probe(kind);
  return 0;
}
int root_irq1(FSMstate*) {
  return probe_irq(1);
}
int root_irq2(FSMstate*) {
  return probe_irq(2);
}

}  // namespace

// ---------------------------------------------------------------------------
// Descriptions.

std::string padded(const std::string& name, int pad) {
  if (pad <= static_cast<int>(name.size())) return name;
  return std::string(pad - name.size(), 'x') + name;
}

Desc reference_machine(int pad) {
  auto p = [pad](const std::string& s) { return padded(s, pad); };
  Desc d(p("R"));
  d.pad = pad;
  const char* letters[] = {"A", "B", "C"};
  for (int f = 0; f < 3; ++f) {
    std::string ev = p("e" + std::to_string(f));
    for (int i = 0; i < 4; ++i) {
      std::string next = p(letters[f] + std::to_string((i + 1) % 4));
      int n = d.add(p(letters[f] + std::to_string(i)), f == 2 && i == 1, 0, f);
      d.nodes[n].trans = {{ev, next}, {p("tick"), next}};
    }
  }
  int c1 = d.find(p("C1"));
  int d0 = d.add(p("D0"), false, c1, 0);
  int d1 = d.add(p("D1"), false, c1, 0);
  d.nodes[d0].trans = {{p("e3"), p("D1")}};
  d.nodes[d1].trans = {{p("e3"), p("D0")}};
  return d;
}

// ---------------------------------------------------------------------------
// The real machine.

Built::Built(const Desc& d, FSMrootstate* into) : d_(&d), owned_(into == nullptr) {
  for (size_t i = 0; i < d.nodes.size(); ++i) {
    const Desc::Node& n = d.nodes[i];
    FSMstate* st;
    if (i == 0) {
      root = owned_ ? new FSMrootstate(nullptr, n.name.c_str(), nullptr) : into;
      st = root;
      if (!owned_) {
        root->add_action("interrupt1", root_irq1);
        root->add_action("interrupt2", root_irq2);
      }
    } else if (n.super) {
      st = new FSMsuperstate(nullptr, n.name.c_str(), nullptr, 0);
    } else {
      st = new FSMstate(n.name.c_str(), nullptr, 0);
    }
    new (st->set_private(sizeof(Counts))) Counts();
    st->add_action("poll", count_poll);
    st->add_action("during", count_during);
    st->add_action("enter", count_enter);
    st->add_action("exit", count_exit);
    for (const std::string& h : n.handlers)
      st->add_action(h.c_str(), count_handler);
    for (const auto& t : n.trans)
      st->add_transition(t.first.c_str(), nullptr, nullptr, nullptr, nullptr, t.second.c_str());
    if (i != 0) {
      auto* parent = static_cast<FSMsuperstate*>(states[n.parent]);
      const auto& flows = d.nodes[n.parent].flows;
      for (size_t f = 0; f < flows.size(); ++f) {
        for (int member : flows[f]) {
          if (member == static_cast<int>(i)) parent->add_state(static_cast<int>(f), st);
        }
      }
    }
    states.push_back(st);
  }
}

Built::~Built() {
  if (!owned_) return;
  delete root;
  for (size_t i = 1; i < states.size(); ++i)
    delete states[i];
}

void Built::start() {
  root->set_root(root);
  root->link_state();
  root->init_state();
  root->enter_state();
}

const Counts& Built::counts(int n) const {
  return *counts_of(states[n]);
}

std::string Built::compare(const Model& m, bool with_counts) const {
  for (size_t n = 0; n < states.size(); ++n) {
    const std::string& name = d_->nodes[n].name;
    if (with_counts && !(counts(static_cast<int>(n)) == m.counts[n]))
      return name + ": counted " + counts(static_cast<int>(n)).text() + ", model " +
             m.counts[n].text();
    if ((states[n]->is_active() != 0) != m.on(static_cast<int>(n)))
      return name + ": active " + std::to_string(states[n]->is_active());
    const auto& flows = d_->nodes[n].flows;
    for (size_t f = 0; f < flows.size(); ++f) {
      auto* sup = static_cast<FSMsuperstate*>(states[n]);
      FSMstate* want = states[m.active(static_cast<int>(n), static_cast<int>(f))];
      if (sup->flow[f]->active_state != want)
        return name + " flow " + std::to_string(f) + ": in " + sup->flow[f]->active_state->name +
               ", model " + want->name;
    }
  }
  return "";
}

// ---------------------------------------------------------------------------
// Scenarios and rings.

std::vector<Aim> cycle_aims(const Desc& d) {
  std::vector<Aim> aims;
  for (int f = 0; f < 3; ++f)
    aims.push_back({padded("e" + std::to_string(f), d.pad), 0, f});
  aims.push_back({padded("e3", d.pad), d.find(padded("C1", d.pad)), 0});
  return aims;
}

std::vector<Aim> broadcast_aims(const Desc& d) {
  return {{padded("tick", d.pad), 0, 0}};
}

std::vector<Aim> unhandled_aims(const Desc&) {
  return {{"timer", 0, 0}};
}

Ring make_ring(const Desc& d, const std::vector<Aim>& aims, Addressing how) {
  constexpr int WARM_ROUNDS = 4;
  constexpr int MAX_ROUNDS = 16;
  Ring r;
  Model m(d);
  m.start();
  std::vector<std::vector<FSMevent>> rounds;
  std::vector<Model> after;
  for (int round = 0; round < WARM_ROUNDS + MAX_ROUNDS; ++round) {
    std::vector<FSMevent> evs;
    for (const Aim& a : aims) {
      int target = m.active(a.node, a.flow);
      const std::string& name = d.nodes[target].name;
      const std::string& parent = d.nodes[d.nodes[target].parent].name;
      std::string address;
      switch (how) {
        case STAR:
          address = "*";
          break;
        case BARE:
          address = name;
          break;
        case PARENT_NAME:
          address = parent + "!" + name;
          break;
        case PARENT_STAR:
          address = parent + "!*";
          break;
        case NOBODY:
          address = "nobody";
          break;
      }
      FSMevent ev;
      ev.set_event(a.event.c_str(), address.c_str());
      m.step(a.event, address);
      evs.push_back(ev);
    }
    rounds.push_back(evs);
    after.push_back(m);
  }
  for (int k = 1; k <= MAX_ROUNDS; ++k) {
    if (after[WARM_ROUNDS - 1 + k].same_places(after[WARM_ROUNDS - 1])) {
      for (int i = 0; i < WARM_ROUNDS; ++i)
        r.warm.insert(r.warm.end(), rounds[i].begin(), rounds[i].end());
      for (int i = WARM_ROUNDS; i < WARM_ROUNDS + k; ++i)
        r.ring.insert(r.ring.end(), rounds[i].begin(), rounds[i].end());
      return r;
    }
  }
  r.error = "the scenario does not come back to where it started";
  return r;
}

}  // namespace fsmbench
