// model.cc - the reference model of a machine's event stream.

#include "testkit/model.h"

namespace testkit {

std::string Counts::text() const {
  return "poll " + std::to_string(poll) + " during " + std::to_string(during) + " enter " +
         std::to_string(enter) + " exit " + std::to_string(exit) + " handler " +
         std::to_string(handler);
}

Desc::Desc(const std::string& root_name) {
  Node root;
  root.name = root_name;
  root.super = true;
  root.parent = 0;
  nodes.push_back(root);
}

int Desc::add(const std::string& name, bool super, int parent, int flow) {
  Node n;
  n.name = name;
  n.super = super;
  n.parent = parent;
  nodes.push_back(n);
  int index = static_cast<int>(nodes.size()) - 1;
  Node& p = nodes[static_cast<size_t>(parent)];
  if (p.flows.size() <= static_cast<size_t>(flow)) {
    p.flows.resize(static_cast<size_t>(flow) + 1);
    p.history.resize(static_cast<size_t>(flow) + 1, false);
  }
  p.flows[static_cast<size_t>(flow)].push_back(index);
  return index;
}

int Desc::find(const std::string& name) const {
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (nodes[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

Model::Model(const Desc& d) : counts(d.nodes.size()), d_(&d), on_(d.nodes.size(), false) {
  for (const Desc::Node& n : d.nodes) {
    pos_.emplace_back(n.flows.size(), 0);
    ended_.emplace_back(n.flows.size(), false);
  }
}

void Model::start() {
  enter(0);
}

// "*" every state; "name" that state; "P!name" that state when its
// parent's name begins with P; "P!*" every child of such a parent.
bool Model::addressed(int n, const std::string& address) const {
  const std::string& name = d_->nodes[n].name;
  if (address == "*") return true;
  size_t bang = address.find('!');
  if (bang == std::string::npos) return address == name;
  const std::string& parent = d_->nodes[d_->nodes[n].parent].name;
  if (parent.compare(0, bang, address, 0, bang) != 0) return false;
  std::string rest = address.substr(bang + 1);
  return rest == "*" || rest == name;
}

int Model::visit(int n, const std::string& event, const std::string& address, std::string* next) {
  const Desc::Node& node = d_->nodes[n];
  int fired = 0;
  if (on_[n] && addressed(n, address)) {
    ++counts[n].poll;
    for (size_t t = 0; n != 0 && t < node.trans.size() && fired == 0; ++t) {
      if (node.trans[t].first == event || node.trans[t].first == "*") {
        *next = node.trans[t].second;
        fired = 1;
      }
    }
    if (fired == 0) {
      ++counts[n].during;
      for (const std::string& h : node.handlers) {
        if (h == event) {
          ++counts[n].handler;
          break;
        }
      }
    }
  }
  if (fired != 0) return 1;
  for (size_t f = 0; f < node.flows.size(); ++f) {
    if (ended_[n][f]) continue;
    int act = active(n, static_cast<int>(f));
    std::string target;
    if (visit(act, event, address, &target) == 0) continue;
    if (target == node.name) {
      ended_[n][f] = true;
      continue;
    }
    for (size_t i = 0; i < node.flows[f].size(); ++i) {
      if (d_->nodes[node.flows[f][i]].name == target) {
        leave(act);
        pos_[n][f] = static_cast<int>(i);
        enter(node.flows[f][i]);
        break;
      }
    }
  }
  return 0;
}

void Model::enter(int n) {
  ++counts[n].enter;
  on_[n] = true;
  const Desc::Node& node = d_->nodes[n];
  for (size_t f = 0; f < node.flows.size(); ++f) {
    if (!node.history[f]) pos_[n][f] = 0;
    ended_[n][f] = false;
    enter(active(n, static_cast<int>(f)));
  }
}

// The active state of an ended flow is still left with its superstate.
void Model::leave(int n) {
  for (size_t f = 0; f < d_->nodes[n].flows.size(); ++f) {
    leave(active(n, static_cast<int>(f)));
    ended_[n][f] = false;
  }
  ++counts[n].exit;
  on_[n] = false;
}

void Model::step(const std::string& event, const std::string& address) {
  std::string next;
  visit(0, event, address, &next);
}

}  // namespace testkit
