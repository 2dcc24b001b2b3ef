// model.h - a reference model of how a machine of a given shape answers a
// stream of events, for property-based tests of machine shapes.
//
// A Desc describes a shape: states in flows of superstates, to any depth,
// with transitions, handlers and flows with or without history. A Model
// runs events through that shape in plain code (names and indices, no
// locks, no queues) the way the library's dispatch behaves, and counts the
// actions each state must have run. A test builds the real machine from the
// same Desc, sends both the same events and compares them after each one:
// which states are active, where every flow stands, whether it has ended,
// and the counts.

#ifndef TESTKIT_MODEL_H
#define TESTKIT_MODEL_H

#include <string>
#include <utility>
#include <vector>

namespace testkit {

// What the actions of one state have run.
struct Counts {
  long poll = 0;
  long during = 0;
  long enter = 0;
  long exit = 0;
  long handler = 0;
  bool operator==(const Counts& o) const {
    return poll == o.poll && during == o.during && enter == o.enter && exit == o.exit &&
           handler == o.handler;
  }
  std::string text() const;  // "poll 1 during 1 enter 1 exit 0 handler 0"
};

// A machine shape. nodes[0] is the root (its own parent); every other node
// sits in flow `flow` of node `parent`. A flow starts in the state added to
// it first.
struct Desc {
  struct Node {
    std::string name;
    bool super = false;
    int parent = -1;
    std::vector<std::pair<std::string, std::string>> trans;  // trigger -> target, in order
    std::vector<std::string> handlers;
    std::vector<std::vector<int>> flows;  // flow position -> node indices
    std::vector<bool> history;            // flow position -> re-entry resumes
  };
  std::vector<Node> nodes;
  int pad = 0;  // the benchmarks' name padding; unused by the model

  explicit Desc(const std::string& root_name);
  int add(const std::string& name, bool super, int parent, int flow);
  int find(const std::string& name) const;  // -1 when absent
};

class Model {
 public:
  explicit Model(const Desc& d);
  void start();  // enters the root
  // One event dispatched from the root: the state's own part (poll, the
  // first matching transition, else during and the handler of the event's
  // name), then, unless it fired, the active state of each flow that has
  // not ended. A transition to the superstate's own name ends the flow; one
  // to a name not in the flow changes nothing.
  void step(const std::string& event, const std::string& address);
  // The active node of flow f of node n.
  int active(int n, int f) const { return d_->nodes[n].flows[f][pos_[n][f]]; }
  bool on(int n) const { return on_[n]; }
  bool ended(int n, int f) const { return ended_[n][f]; }
  bool same_places(const Model& o) const { return pos_ == o.pos_ && on_ == o.on_; }

  std::vector<Counts> counts;

 private:
  bool addressed(int n, const std::string& address) const;
  int visit(int n, const std::string& event, const std::string& address, std::string* next);
  void enter(int n);
  void leave(int n);

  const Desc* d_;
  std::vector<std::vector<int>> pos_;
  std::vector<std::vector<bool>> ended_;
  std::vector<bool> on_;
};

}  // namespace testkit

#endif  // TESTKIT_MODEL_H
