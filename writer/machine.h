// machine.h - a C++ layer for writing machines: a machine type declared in
// one expression of states, transitions, guards, actions, timeouts and data,
// with lambdas (captures included) as guards and actions.
//
// Built only on the library's plain interface (fsm/fsm.h): build() makes the
// same states, transitions, timeouts and properties that a create function
// written by hand makes, so the machine runs, saves and shows exactly as
// one. A definition holds no location: one definition serves every location
// of its type, and actions reach their own machine through the Context they
// are given (other states by name or path, data items, addresses).
//
//   const fsm::Machine& lamp() {
//     static const fsm::Machine m = fsm::Machine()
//         .flow("FLOW_0 the lamp",
//               fsm::Flow{fsm::State("off", "the lamp is off").on("switch", "on"),
//                         fsm::State("on", "the lamp is on").on("switch", "off")});
//     return m;
//   }
//   void create_lamp(EqFSMlocation* loc) { lamp().build(loc); }
//
// How it runs: every state that build() makes carries, in its private block
// (FSMstate::set_private), a pointer to its definition; the plain function
// pointers that build() registers are fixed trampolines that find the
// definition there and call the lambda. The states' private blocks (the
// location's top state's included) therefore belong to this layer. The
// definitions that build() used live as long as the process, so an action
// never outlives its lambda.
//
// Threads: build() runs where create functions run (the start-up thread, or
// a test's thread); guards and actions run on the machine's engine threads
// as plain ones do, with their state's mutex held, and read the definition
// only. Nothing here throws: build() gives 0, or -1 (and builds nothing more)
// when a state has more than FSM_WRITER_MAX guards, transition actions or
// handlers.

#ifndef WRITER_MACHINE_H
#define WRITER_MACHINE_H

#include <pthread.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "fsm/fsm.h"
#include "server/fsm_labels.h"

namespace fsm {

// Guards, transition actions and handlers per state; the trampolines are
// made at compile time, one per position.
constexpr size_t FSM_WRITER_MAX = 32;

class Context;
using Action = std::function<void(Context&)>;
using Guard = std::function<bool(Context&)>;

// A data item of a state, or a data property of a location, by name: the
// handle an action reads and writes through (Context::get, Context::set).
// T is int, float or std::string.
template <typename T>
struct Item {
  static_assert(std::is_same<T, int>::value || std::is_same<T, float>::value ||
                    std::is_same<T, std::string>::value,
                "an Item holds an int, a float or a std::string");
  std::string name;
};

// A data property of the location: its name, the description clients see,
// and the item through which actions reach it.
template <typename T>
struct Property {
  std::string name;
  std::string description;
  Item<T> item() const { return Item<T>{name}; }
  operator Item<T>() const { return item(); }  // NOLINT: a property is read as its item
};

// An address property of the location: a text the configuration gives (a
// device's address, or the name of a file), read by actions with
// Context::address.
struct Address {
  std::string name;
  std::string description;
  std::string text() const { return description.empty() ? name : name + " " + description; }
};

namespace detail {

struct Node;
const Node* node_of(FSMstate* s);

}  // namespace detail

// What a guard or an action sees: its state and, through it, the machine.
// Valid for the one call it is given to.
class Context {
 public:
  explicit Context(FSMstate* s) : state_(s) {}

  FSMstate* state() const { return state_; }
  // The event being processed ("" for the timer event and outside events).
  std::string event() const { return state_->get_event_name(); }

  // The state at path in this machine: a name ("vacuum") is the first state
  // of that name in the machine, depth first; "heating/ramp" a state named
  // ramp in a flow of the state heating. Null when there is none. Walks the
  // machine: cheap for machines of tens of states.
  FSMstate* find(const std::string& path) const;
  // Whether the state at path is active (false when there is none).
  bool active(const std::string& path) const {
    FSMstate* s = find(path);
    return s != nullptr && s->is_active() != 0;
  }

  // The value of a data item (of this state or an ancestor) or a location
  // data property; T() when nothing has that name.
  template <typename T>
  T get(const Item<T>& item) const;
  template <typename T>
  T get(const Property<T>& p) const {
    return get(p.item());
  }
  // Writes it: 0, or -1 when nothing has that name.
  template <typename T>
  int set(const Item<T>& item, const T& value) const;
  template <typename T>
  int set(const Property<T>& p, const T& value) const {
    return set(p.item(), value);
  }
  // Adds n to an int item under its lock, so that no other writer's change
  // comes between the read and the write (a counter): 0, or -1 when nothing
  // has that name.
  int add(const Item<int>& item, int n = 1) const;
  int add(const Property<int>& p, int n = 1) const { return add(p.item(), n); }
  // Text items and properties take a literal as well.
  int set(const Item<std::string>& item, const char* text) const {
    return set(item, std::string(text));
  }
  int set(const Property<std::string>& p, const char* text) const {
    return set(p.item(), std::string(text));
  }
  // Gives this state's timeouts of event a new time from their next entry
  // on (an "init" action that reads a configured time): 0, or -1 when the
  // state has no such timeout.
  int timeout(const std::string& event, std::chrono::milliseconds after) const {
    return state_->set_timeout(event.c_str(), after.count());
  }
  // An item bound to a device writes through to the device: 0, or -1 when
  // the item is unknown (the device's answer is in the state's error).
  int write(const std::string& item, const EqData& value) const;
  // The item whole, as the device it mirrors last answered (its error
  // included): 0, or -1 when the item is unknown.
  int read(const std::string& item, EqData* value) const;
  // The text of an address property of the location ("" when absent).
  std::string address(const Address& a) const;
  // Binds a data item of the state at path ("" = this state) to a device
  // address: 0, or -1 when there is no such state.
  int bind(const std::string& item, const std::string& device, const std::string& path = "") const;

  // Posts an event to this machine (as a transition's signal does).
  void post(const std::string& event, const std::string& address = "*") const;
  // Sends an event to the machine named `machine`: 0 delivered, 1 unknown.
  int send(const std::string& machine, const std::string& event,
           const std::string& address = "*") const;
  // Records a device error in this state (the first since the refresh wins).
  void error(const std::string& text) const { state_->set_error(text.c_str()); }

 private:
  FSMstate* state_;
};

class State;
class Flow;

namespace detail {

enum slot_t { SLOT_INIT, SLOT_POLL, SLOT_ENTER, SLOT_DURING, SLOT_EXIT, SLOT_IRQ1, SLOT_IRQ2 };
constexpr int SLOTS = 7;
constexpr const char* SLOT_NAMES[SLOTS] = {"init", "poll",       "enter",     "during",
                                           "exit", "interrupt1", "interrupt2"};

struct transition {
  std::string event;
  std::string next;
  Guard guard;
  std::string guard_name;
  Action then;
  std::string signal_event;
  std::string signal_address;
};

struct timeout {
  long long ms;
  std::string event;
  std::string address;
};

struct flow_def;

// The definition of one state; what the trampolines reach through the
// state's private block. Guards, transition actions and handlers are
// indexed by their position among those of the state.
struct Node {
  std::string name;
  std::string description;
  int type = 0;
  bool superstate = false;
  Action slots[SLOTS];
  std::vector<transition> transitions;
  std::vector<std::pair<std::string, Action>> handlers;
  std::vector<timeout> timeouts;
  std::vector<std::pair<std::string, std::string>> items;  // name, device address
  std::vector<flow_def> flows;
  // Filled when the definition is frozen: the guards and transition
  // actions in the order of their trampolines.
  std::vector<const Guard*> guards;
  std::vector<const Action*> thens;
};

struct flow_def {
  std::vector<Node> states;
  std::vector<std::string> adopted;  // superstate location types adopted by name
  std::string start;
  bool history = false;
  bool configured = false;  // start or history given
  std::string property;     // FLOW_n text of a top-level flow ("" none)
};

inline const Node* node_of(FSMstate* s) {
  const Node* n = nullptr;
  memcpy(&n, s->get_private(), sizeof n);
  return n;
}

template <int S>
int run_slot(FSMstate* s) {
  Context c(s);
  node_of(s)->slots[S](c);
  return 0;
}

template <size_t I>
int run_guard(FSMstate* s) {
  Context c(s);
  return (*node_of(s)->guards[I])(c) ? 1 : 0;
}

template <size_t I>
void run_then(FSMstate* s) {
  Context c(s);
  (*node_of(s)->thens[I])(c);
}

template <size_t I>
int run_handler(FSMstate* s) {
  Context c(s);
  node_of(s)->handlers[I].second(c);
  return 0;
}

template <size_t... I>
constexpr std::array<FSMcondition, sizeof...(I)> guard_table(std::index_sequence<I...>) {
  return {{&run_guard<I>...}};
}
template <size_t... I>
constexpr std::array<FSMtaction, sizeof...(I)> then_table(std::index_sequence<I...>) {
  return {{&run_then<I>...}};
}
template <size_t... I>
constexpr std::array<FSMaction, sizeof...(I)> handler_table(std::index_sequence<I...>) {
  return {{&run_handler<I>...}};
}
constexpr FSMaction SLOT_RUNNERS[SLOTS] = {&run_slot<0>, &run_slot<1>, &run_slot<2>, &run_slot<3>,
                                           &run_slot<4>, &run_slot<5>, &run_slot<6>};

inline void freeze(Node* n) {
  n->guards.clear();
  n->thens.clear();
  for (const transition& t : n->transitions) {
    if (t.guard) n->guards.push_back(&t.guard);
    if (t.then) n->thens.push_back(&t.then);
  }
  for (flow_def& f : n->flows) {
    for (Node& s : f.states)
      freeze(&s);
  }
}

// Keeps a frozen definition for the rest of the process: the states built
// from it point into it. Start-up and test threads only.
inline void keep(const std::shared_ptr<const Node>& def) {
  static pthread_mutex_t mux = PTHREAD_MUTEX_INITIALIZER;
  static auto* kept = new std::vector<std::shared_ptr<const Node>>;  // never released
  pthread_mutex_lock(&mux);
  if (std::find(kept->begin(), kept->end(), def) == kept->end()) kept->push_back(def);
  pthread_mutex_unlock(&mux);
}

// Gives the state built from n its actions, transitions, handlers, data and
// timeouts, then builds its flows. 0, or -1 when n has more callables than
// there are trampolines.
inline int apply(const Node& n, FSMstate* s) {
  static constexpr auto guards = guard_table(std::make_index_sequence<FSM_WRITER_MAX>());
  static constexpr auto thens = then_table(std::make_index_sequence<FSM_WRITER_MAX>());
  static constexpr auto handlers = handler_table(std::make_index_sequence<FSM_WRITER_MAX>());
  if (n.guards.size() > FSM_WRITER_MAX || n.thens.size() > FSM_WRITER_MAX ||
      n.handlers.size() > FSM_WRITER_MAX) {
    return -1;
  }
  const Node* self = &n;
  memcpy(s->set_private(sizeof self), &self, sizeof self);
  if (!n.description.empty() && s->get_descr()[0] == '\0') s->set_descr(n.description.c_str());
  for (int k = 0; k < SLOTS; ++k) {
    if (n.slots[k]) s->add_action(SLOT_NAMES[k], SLOT_RUNNERS[k]);
  }
  size_t g = 0;
  size_t a = 0;
  for (const transition& t : n.transitions) {
    bool sig = !t.signal_event.empty();
    s->add_transition(t.event.c_str(), t.guard ? guards[g++] : nullptr,
                      t.then ? thens[a++] : nullptr, sig ? t.signal_event.c_str() : nullptr,
                      sig ? t.signal_address.c_str() : nullptr, t.next.c_str());
    if (!t.guard_name.empty()) fsm_name_guard(s->transition.back(), t.guard_name);
  }
  for (size_t h = 0; h < n.handlers.size(); ++h)
    s->add_action(n.handlers[h].first.c_str(), handlers[h]);
  for (const timeout& t : n.timeouts)
    s->add_timeout(t.ms, t.event.c_str(), t.address.empty() ? nullptr : t.address.c_str());
  for (const auto& item : n.items)
    s->add_data(item.first.c_str(), nullptr, item.second.empty() ? nullptr : item.second.c_str());
  auto* sp = dynamic_cast<FSMsuperstate*>(s);
  if (sp == nullptr) return 0;
  for (size_t i = 0; i < n.flows.size(); ++i) {
    const flow_def& f = n.flows[i];
    int id = static_cast<int>(i);
    for (const Node& child : f.states) {
      FSMstate* st = child.superstate
                         ? new FSMsuperstate(nullptr, child.name.c_str(), child.description.c_str(),
                                             child.type)
                         : new FSMstate(child.name.c_str(), child.description.c_str(), child.type);
      sp->add_state(id, st);
      if (apply(child, st) != 0) return -1;
    }
    for (const std::string& name : f.adopted)
      sp->add_reference(id, name.c_str());
    if (f.configured) sp->flow_attributes(id, f.start.c_str(), f.history ? 1 : 0);
  }
  return 0;
}

// What a location property is made of when a location is built.
using property_maker = std::function<D_fct*(EqFSMlocation*)>;

// Shared by State and Machine: the state's own definition, chained.
template <class Self>
class Builder {
 public:
  // The seven actions.
  Self& init(Action a) { return slot(SLOT_INIT, std::move(a)); }
  Self& poll(Action a) { return slot(SLOT_POLL, std::move(a)); }
  Self& enter(Action a) { return slot(SLOT_ENTER, std::move(a)); }
  Self& during(Action a) { return slot(SLOT_DURING, std::move(a)); }
  Self& exit(Action a) { return slot(SLOT_EXIT, std::move(a)); }
  Self& interrupt1(Action a) { return slot(SLOT_IRQ1, std::move(a)); }
  Self& interrupt2(Action a) { return slot(SLOT_IRQ2, std::move(a)); }

  // A transition on event ("*": every event addressed to the state) to the
  // state next of the same flow (or the superstate's name: the flow ends).
  Self& on(std::string event, std::string next) {
    node().transitions.push_back(
        transition{std::move(event), std::move(next), nullptr, "", nullptr, "", ""});
    return self();
  }
  // The last transition's guard; its name (if given) labels its edge in the
  // machine's picture.
  Self& when(Guard g, std::string name = "") {
    if (!node().transitions.empty()) {
      node().transitions.back().guard = std::move(g);
      node().transitions.back().guard_name = std::move(name);
    }
    return self();
  }
  // The last transition's action, run when it fires.
  Self& then(Action a) {
    if (!node().transitions.empty()) node().transitions.back().then = std::move(a);
    return self();
  }
  // The event the last transition posts to the machine when it fires.
  Self& signal(std::string event, std::string address) {
    if (!node().transitions.empty()) {
      node().transitions.back().signal_event = std::move(event);
      node().transitions.back().signal_address = std::move(address);
    }
    return self();
  }
  // A handler of the event, run when no transition fired for it.
  Self& handle(std::string event, Action a) {
    node().handlers.emplace_back(std::move(event), std::move(a));
    return self();
  }
  // Posts (event, address) once the state has been active for `after`,
  // once per entry; address "" is the state itself.
  Self& after(std::chrono::milliseconds after, std::string event, std::string address = "") {
    node().timeouts.push_back(timeout{after.count(), std::move(event), std::move(address)});
    return self();
  }
  // A data item of the state, bound to a device address now or later
  // (Context::bind).
  Self& item(std::string name, std::string device = "") {
    node().items.emplace_back(std::move(name), std::move(device));
    return self();
  }

 protected:
  virtual Node& node() = 0;
  Self& self() { return static_cast<Self&>(*this); }
  Self& slot(int k, Action a) {
    node().slots[k] = std::move(a);
    return self();
  }
  virtual ~Builder() = default;
};

}  // namespace detail

// A flow: its states in order (the first is the start state unless start()
// names another), with or without history.
class Flow {
 public:
  Flow() = default;
  Flow(std::initializer_list<State> states);
  Flow& add(const State& s);
  // A superstate location of this type joins the flow (add_reference).
  Flow& adopt(std::string type) {
    def_.adopted.push_back(std::move(type));
    return *this;
  }
  // Set here they hold where no configuration line replaces them; for the
  // flows of a location the FLOW_n line of its configuration does (and the
  // start-up checks say when it has none).
  Flow& start(std::string name) {
    def_.start = std::move(name);
    def_.configured = true;
    return *this;
  }
  Flow& history(bool on = true) {
    def_.history = on;
    def_.configured = true;
    return *this;
  }

 private:
  friend class State;
  friend class Machine;
  detail::flow_def def_;
};

// A state: simple, or a superstate once it has a flow.
class State : public detail::Builder<State> {
 public:
  explicit State(std::string name, std::string description = "", int type = 0) {
    node_.name = std::move(name);
    node_.description = std::move(description);
    node_.type = type;
  }
  State(const State&) = default;
  State& operator=(const State&) = default;
  ~State() override = default;

  // A flow of this state, which becomes a superstate.
  State& flow(Flow f) {
    node_.superstate = true;
    node_.flows.push_back(std::move(f.def_));
    return *this;
  }

 private:
  friend class Flow;
  detail::Node& node() override { return node_; }
  detail::Node node_;
};

inline Flow::Flow(std::initializer_list<State> states) {
  for (const State& s : states)
    add(s);
}

inline Flow& Flow::add(const State& s) {
  def_.states.push_back(s.node_);
  return *this;
}

// A machine type: the location's top state (its actions, items, handlers),
// its flows with their FLOW_n properties, and the location's data and
// address properties.
class Machine : public detail::Builder<Machine> {
 public:
  Machine() = default;
  Machine(const Machine& o) : def_(o.def_), properties_(o.properties_) {}
  Machine& operator=(const Machine& o) {
    def_ = o.def_;
    properties_ = o.properties_;
    frozen_.reset();
    return *this;
  }
  ~Machine() override = default;

  // A flow of the top state, shown to clients by the property named in
  // property ("FLOW_0 the lamp"; "" for none).
  Machine& flow(std::string property, Flow f) {
    f.def_.property = std::move(property);
    def_.flows.push_back(std::move(f.def_));
    frozen_.reset();
    return *this;
  }
  template <typename T>
  Machine& property(const Property<T>& p);
  Machine& property(const Address& a) {
    std::string text = a.text();
    properties_.emplace_back(
        false, [text](EqFSMlocation* loc) -> D_fct* { return new D_string(text.c_str(), loc); });
    return *this;
  }
  // Any other data property, made for each location (a D_hist, say).
  Machine& property(detail::property_maker make) {
    properties_.emplace_back(true, std::move(make));
    return *this;
  }

  // Builds the machine under loc->state_ptr, as a create function does:
  // 0, or -1 (see the file's opening). Call it from the type's create
  // function.
  int build(EqFSMlocation* loc) const {
    if (loc == nullptr || loc->state_ptr == nullptr) return -1;
    if (!frozen_) {
      auto copy = std::make_shared<detail::Node>(def_);
      detail::freeze(copy.get());
      frozen_ = copy;
    }
    detail::keep(frozen_);
    if (detail::apply(*frozen_, loc->state_ptr) != 0) return -1;
    for (const detail::flow_def& f : frozen_->flows) {
      if (!f.property.empty()) loc->flows.push_back(new D_flow(f.property.c_str(), loc));
    }
    for (const auto& p : properties_) {
      (p.first ? loc->norix_data : loc->norix_address).push_back(p.second(loc));
    }
    return 0;
  }

 private:
  detail::Node& node() override {
    frozen_.reset();
    return def_;
  }
  detail::Node def_;
  // (data property?, maker), in the order declared.
  std::vector<std::pair<bool, detail::property_maker>> properties_;
  mutable std::shared_ptr<const detail::Node> frozen_;  // made by the first build
};

template <typename T>
Machine& Machine::property(const Property<T>& p) {
  std::string text = p.description.empty() ? p.name : p.name + " " + p.description;
  properties_.emplace_back(true, [text](EqFSMlocation* loc) -> D_fct* {
    if constexpr (std::is_same<T, std::string>::value) {
      return new D_ustr(text.c_str(), loc);
    } else {
      return new norix::D_value<T>(text.c_str(), loc);
    }
  });
  return *this;
}

// The create function of a machine type whose definition is an object of
// static storage: node_info info = {nullptr, "station", fsm::create<&station>}.
template <const Machine* M>
void create(EqFSMlocation* loc) {
  M->build(loc);
}

// ---------------------------------------------------------------------------
// Context

namespace detail {

inline FSMstate* find_in(FSMstate* s, const std::string& name, size_t depth) {
  auto* sp = dynamic_cast<FSMsuperstate*>(s);
  if (sp == nullptr || depth > 64) return nullptr;
  for (FSMsuperstate::frame* f : sp->flow) {
    for (FSMstate* st : f->state) {
      if (st->name == name) return st;
    }
  }
  for (FSMsuperstate::frame* f : sp->flow) {
    for (FSMstate* st : f->state) {
      FSMstate* hit = find_in(st, name, depth + 1);
      if (hit != nullptr) return hit;
    }
  }
  return nullptr;
}

inline FSMstate* top_of(FSMstate* s) {
  if (s->get_root() != nullptr) return s->get_root();
  while (s->get_parent() != nullptr)
    s = s->get_parent();
  return s;
}

}  // namespace detail

inline FSMstate* Context::find(const std::string& path) const {
  FSMstate* top = detail::top_of(state_);
  size_t slash = path.find('/');
  std::string first = path.substr(0, slash);
  FSMstate* at = top->name == first ? top : detail::find_in(top, first, 0);
  while (at != nullptr && slash != std::string::npos) {
    size_t from = slash + 1;
    slash = path.find('/', from);
    std::string name = path.substr(from, slash == std::string::npos ? slash : slash - from);
    auto* sp = dynamic_cast<FSMsuperstate*>(at);
    at = nullptr;
    for (size_t i = 0; sp != nullptr && at == nullptr && i < sp->flow.size(); ++i) {
      for (FSMstate* st : sp->flow[i]->state) {
        if (st->name == name) at = st;
      }
    }
  }
  return at;
}

template <typename T>
T Context::get(const Item<T>& item) const {
  T value{};
  int h = state_->data_open(item.name.c_str(), 0);
  if (h == -1 || state_->data_lock(h, 0) != 0) return value;
  if constexpr (std::is_same<T, std::string>::value) {
    char* text = nullptr;
    if (state_->data_get(h, &text, 0) == 0 && text != nullptr) value = text;
    delete[] text;
  } else {
    state_->data_get(h, &value, 0);
  }
  state_->data_unlock(h, 0);
  return value;
}

template <typename T>
int Context::set(const Item<T>& item, const T& value) const {
  int h = state_->data_open(item.name.c_str(), 0);
  if (h == -1) return -1;
  if constexpr (std::is_same<T, std::string>::value) {
    return state_->data_set(h, const_cast<char*>(value.c_str()), 0);
  } else {
    return state_->data_set(h, value, 0);
  }
}

inline int Context::add(const Item<int>& item, int n) const {
  int h = state_->data_open(item.name.c_str(), 0);
  if (h == -1 || state_->data_lock(h, 0) != 0) return -1;
  int value = 0;
  state_->data_get(h, &value, 0);
  int rc = state_->data_set(h, value + n, 0);
  state_->data_unlock(h, 0);
  return rc;
}

inline int Context::read(const std::string& item, EqData* value) const {
  int h = state_->data_open(item.c_str(), 0);
  if (h < 0 || value == nullptr) return -1;
  return state_->data_get(h, *value);
}

inline int Context::write(const std::string& item, const EqData& value) const {
  int h = state_->data_open(item.c_str(), 0);
  if (h < 0) return -1;
  EqData copy = value;
  return state_->data_set(h, copy);
}

// The nearest location up from this state that has the property.
inline std::string Context::address(const Address& a) const {
  for (FSMstate* s = state_; s != nullptr; s = s->get_parent()) {
    auto* sp = dynamic_cast<FSMsuperstate*>(s);
    if (sp == nullptr || sp->get_location() == nullptr) continue;
    auto* p = static_cast<D_fct*>(sp->get_address(a.text().c_str()));
    if (p == nullptr) continue;
    EqData d;
    p->get(nullptr, nullptr, &d, nullptr);
    return d.text_value();
  }
  return "";
}

inline int Context::bind(const std::string& item, const std::string& device,
                         const std::string& path) const {
  FSMstate* s = path.empty() ? state_ : find(path);
  if (s == nullptr) return -1;
  s->set_address(item.c_str(), device.c_str());
  return 0;
}

inline void Context::post(const std::string& event, const std::string& address) const {
  FSMevent ev;
  ev.set_event(event.c_str(), address.c_str());
  FSMstate* top = detail::top_of(state_);
  top->post_event(&ev);
}

inline int Context::send(const std::string& machine, const std::string& event,
                         const std::string& address) const {
  FSMevent ev;
  ev.set_event(event.c_str(), address.c_str());
  std::string name = machine;
  return send_event(&name[0], &ev);
}

}  // namespace fsm

#endif  // WRITER_MACHINE_H
