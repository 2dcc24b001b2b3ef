// dispatch_model_test.cc - generated machine shapes driven by generated
// event streams: the real machine against the kit's reference model after
// every event (active states, where each flow stands, action counts).

#include <gtest/gtest.h>

#include <new>
#include <random>
#include <string>
#include <vector>

#include "fsm/fsm.h"
#include "testkit/testkit.h"

namespace {

using testkit::Counts;
using testkit::Desc;

constexpr int SEQUENCES = 2000;
constexpr int EVENTS = 50;
const char* const NAMES[] = {"e0", "e1", "e2", "h", "timer", "zz"};

template <long Counts::*field>
int count(FSMstate* st) {
  ++(static_cast<Counts*>(st->get_private())->*field);
  return 0;
}

int below(std::mt19937& rng, size_t n) {
  return static_cast<int>(rng() % n);
}

// Flows of 1 to 3 states; one state in four is a superstate while depth
// allows. Names "s<index>" make some names prefixes of others ("s1",
// "s12"), which the "P!name" forms must tell apart.
void grow(Desc& d, int parent, int depth, std::mt19937& rng) {
  for (int f = 0, flows = 1 + below(rng, depth == 0 ? 3 : 2); f < flows; ++f) {
    for (int s = 1 + below(rng, 3); s > 0; --s) {
      bool super = depth < 3 && below(rng, 4) == 0;
      int n = d.add("s" + std::to_string(d.nodes.size()), super, parent, f);
      if (super) grow(d, n, depth + 1, rng);
    }
    d.nodes[parent].history[f] = below(rng, 2) == 1;
  }
}

// Transitions go to a sibling, to the parent (the flow ends), to any state
// or to no state; some trigger on "*". Handlers for some event names.
Desc generate(std::mt19937& rng) {
  Desc d("root");
  grow(d, 0, 0, rng);
  for (Desc::Node& n : d.nodes) {
    if (&n == &d.nodes[0]) continue;
    const std::vector<int>& siblings = d.nodes[n.parent].flows[0];
    for (int t = below(rng, 3); t > 0; --t) {
      int kind = below(rng, 8);
      int to = kind < 4   ? siblings[below(rng, siblings.size())]
               : kind < 6 ? n.parent
                          : below(rng, d.nodes.size());
      n.trans.emplace_back(below(rng, 10) == 0 ? "*" : NAMES[below(rng, 3)],
                           kind == 7 ? "nowhere" : d.nodes[to].name);
    }
    if (below(rng, 2) == 0) n.handlers.push_back(NAMES[below(rng, 5)]);
  }
  return d;
}

// "*", a state's name, "P!name" and "P!*" with P a prefix of its parent's
// (or the root's) name, or nobody.
std::string address(const Desc& d, std::mt19937& rng) {
  const Desc::Node& n = d.nodes[below(rng, d.nodes.size())];
  const std::string& p = d.nodes[below(rng, 2) == 0 ? n.parent : 0].name;
  std::string prefix = p.substr(0, below(rng, p.size() + 1));
  const std::string forms[] = {"*", "*", n.name, prefix + "!" + n.name, prefix + "!*", "nobody"};
  return forms[below(rng, 6)];
}

const Desc* shape = nullptr;    // what create_shape builds
std::vector<FSMstate*> states;  // by node index; the machine owns them

// The real machine of `shape`, with counting actions.
void create_shape(EqFSMlocation* loc) {
  states.assign(1, loc->state_ptr);
  for (const Desc::Node& n : shape->nodes) {
    if (&n != &shape->nodes[0])
      states.push_back(n.super ? new FSMsuperstate(nullptr, n.name.c_str(), "", 0)
                               : new FSMstate(n.name.c_str(), "", 0));
  }
  for (size_t i = 0; i < states.size(); ++i) {
    const Desc::Node& n = shape->nodes[i];
    FSMstate* st = states[i];
    new (st->set_private(sizeof(Counts))) Counts();
    st->add_action("poll", count<&Counts::poll>);
    st->add_action("during", count<&Counts::during>);
    st->add_action("enter", count<&Counts::enter>);
    st->add_action("exit", count<&Counts::exit>);
    for (const std::string& h : n.handlers)
      st->add_action(h.c_str(), count<&Counts::handler>);
    for (const auto& t : n.trans)
      st->add_transition(t.first.c_str(), nullptr, nullptr, nullptr, nullptr, t.second.c_str());
    for (size_t f = 0; f < n.flows.size(); ++f) {
      for (int member : n.flows[f])
        static_cast<FSMsuperstate*>(st)->add_state(f, states[member]);
      if (n.history[f])
        static_cast<FSMsuperstate*>(st)->flow_attributes(f, states[n.flows[f][0]]->get_name(), 1);
    }
  }
}

// "" when the machine stands where the model does, else what differs.
std::string differs(const testkit::Model& m) {
  for (size_t n = 0; n < states.size(); ++n) {
    const Counts& c = *static_cast<Counts*>(states[n]->get_private());
    std::string at = states[n]->name + ": ";
    if (!(c == m.counts[n])) return at + "ran " + c.text() + ", model " + m.counts[n].text();
    if ((states[n]->is_active() != 0) != m.on(n)) return at + "activity differs";
    for (size_t f = 0; f < shape->nodes[n].flows.size(); ++f) {
      const FSMsuperstate::frame* fr = static_cast<FSMsuperstate*>(states[n])->flow[f];
      FSMstate* want = states[m.active(n, f)];
      if (fr->active_state != want) return at + fr->active_state->name + ", model " + want->name;
    }
  }
  return "";
}

// Each event is posted and followed by a tick, which ends with the timer.
TEST(DispatchModel, GeneratedMachinesFollowTheModelEventByEvent) {
  for (int seed = 0; seed < SEQUENCES; ++seed) {
    std::mt19937 rng(static_cast<unsigned>(seed));
    Desc d = generate(rng);
    shape = &d;
    testkit::Machine m("ROOT", "root", create_shape);
    testkit::Model model(d);
    ASSERT_EQ(m.start(), 0) << "seed " << seed;
    model.start();
    ASSERT_EQ(differs(model), "") << "seed " << seed;
    for (int i = 0; i < EVENTS; ++i) {
      std::string name = NAMES[below(rng, 6)];
      std::string to = address(d, rng);
      m.post(name.c_str(), to.c_str());
      m.tick();
      model.step(name, to);
      model.step("timer", "*");
      ASSERT_EQ(differs(model), "") << "seed " << seed << ", " << name << "@" << to;
    }
  }
}

}  // namespace
