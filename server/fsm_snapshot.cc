// fsm_snapshot.cc - taking a machine's picture and writing it as DOT and
// as JSON.
//
// No flow or state mutex is taken (see fsm_snapshot.h): the engines never
// wait for a reader. A state's error lock, a leaf, is taken to copy its
// error text; the trace's counters are loaded atomically.

#include "server/fsm_snapshot.h"

#include <stdio.h>
#include <time.h>

#include <set>

#include "framework/base/json.h"
#include "fsm/fsm_trace.h"
#include "fsm/internal.h"
#include "server/fsm_binding.h"
#include "server/fsm_labels.h"

namespace fsm_snapshot {

namespace {

using norix::json_quote;

// A picture is retried while the machine changes; a reader gives up after
// this many tries, pausing between them once the first few failed.
constexpr int MAX_TRIES = 2000;
constexpr int SPIN_TRIES = 16;
constexpr long PAUSE_NS = 1000000;

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// "2026-12-06T22:31:05.123Z"; "" for 0.
std::string iso_time(long long ms) {
  if (ms <= 0) return "";
  time_t sec = static_cast<time_t>(ms / 1000);
  tm parts;
  gmtime_r(&sec, &parts);
  char buf[40];
  size_t n = strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &parts);
  snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(ms % 1000));
  return buf;
}

// "250 ms", "90 s", "10 min": a timeout's time as a person reads it.
std::string duration_text(long long ms) {
  if (ms % 60000 == 0 && ms > 0) return std::to_string(ms / 60000) + " min";
  if (ms % 1000 == 0 && ms > 0) return std::to_string(ms / 1000) + " s";
  return std::to_string(ms) + " ms";
}

// Adds st (in flow `in`) and everything below it, depth first.
void add_state(machine* m, const FSMstate* st, int in, std::set<const FSMstate*>* seen) {
  if (!seen->insert(st).second) return;  // a state listed twice is shown once
  int index = static_cast<int>(m->states.size());
  m->states.push_back(state{st, in, {}, {}, false, 0, "", {}});
  for (const FSMstate::timeout* t : st->timeouts) {
    m->states.back().timeouts.push_back(
        timer{__atomic_load_n(&t->ms, __ATOMIC_RELAXED), t->event.event, t->event.state});
  }
  if (in >= 0) m->flows[static_cast<size_t>(in)].states.push_back(index);
  const FSMsuperstate* sup = dynamic_cast<const FSMsuperstate*>(st);
  if (sup == nullptr) return;
  for (const FSMsuperstate::frame* f : sup->flow) {
    int fi = static_cast<int>(m->flows.size());
    m->flows.push_back(flow{f, index, {}, -1});
    m->states[static_cast<size_t>(index)].flows.push_back(fi);
    for (const FSMstate* sub : f->state)
      add_state(m, sub, fi, seen);
    const FSMstate* start = __atomic_load_n(&f->default_state, __ATOMIC_ACQUIRE);
    for (int si : m->flows[static_cast<size_t>(fi)].states) {
      if (m->states[static_cast<size_t>(si)].st == start)
        m->flows[static_cast<size_t>(fi)].start = si;
    }
  }
}

// Marks the active states from the root down and loads their entry times.
// Only acquire loads: a value stored by a change after the caller's first
// look at the change counter makes its second look find the count moved.
void mark_active(machine* m) {
  for (state& s : m->states) {
    s.active = false;
    s.entered_ms = 0;
  }
  m->states[0].active = true;
  m->states[0].entered_ms = __atomic_load_n(&m->states[0].st->entered_ms, __ATOMIC_ACQUIRE);
  for (size_t i = 1; i < m->states.size(); ++i) {
    state& s = m->states[i];
    const flow& f = m->flows[static_cast<size_t>(s.parent_flow)];
    // Owners come before the states of their flows.
    if (!m->states[static_cast<size_t>(f.owner)].active) continue;
    if (__atomic_load_n(&f.f->active_state, __ATOMIC_ACQUIRE) != s.st) continue;
    s.active = true;
    s.entered_ms = __atomic_load_n(&s.st->entered_ms, __ATOMIC_ACQUIRE);
  }
}

void pause_briefly() {
  timespec ts{0, PAUSE_NS};
  nanosleep(&ts, nullptr);
}

// Text for a DOT double-quoted string.
std::string dot_quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (static_cast<unsigned char>(c) >= 0x20) {
      out += c;
    }
  }
  return out + "\"";
}

std::string node_id(int i) {
  return "s" + std::to_string(i);
}

bool is_super(const machine& m, int i) {
  return !m.states[static_cast<size_t>(i)].flows.empty();
}

void dot_state(const machine& m, int i, std::string* out, const std::string& indent);

}  // namespace

// "flow N", with the description of the FLOW_n property that shows it when
// the flow is one of a location's own state ("flow 0: heater mode"). The
// locations' flow properties are fixed once the machine runs.
std::string flow_label(const machine& m, int fi) {
  const flow& f = m.flows[static_cast<size_t>(fi)];
  std::string label = "flow " + std::to_string(f.f->id);
  auto* owner = dynamic_cast<const FSMsuperstate*>(f.f->parent);
  EqFSMlocation* loc = owner != nullptr ? owner->get_location() : nullptr;
  if (loc == nullptr || loc->state_ptr != owner) return label;
  for (D_flow* p : loc->flows) {
    const char* about = p->get_id() == f.f->id ? p->D_fct::comment() : nullptr;
    if (about != nullptr && about[0] != '\0') return label + ": " + about;
  }
  return label;
}

namespace {

void dot_flow(const machine& m, int fi, std::string* out, const std::string& indent) {
  const flow& f = m.flows[static_cast<size_t>(fi)];
  std::string label = flow_label(m, fi);
  if (f.f->history != 0) label += " (H: history)";
  *out += indent + "subgraph \"cluster_f" + std::to_string(fi) + "\" {\n";
  // A cluster inherits its enclosing cluster's attributes: each sets its own.
  *out += indent + "  label=" + dot_quote(label) +
          "; labelloc=t; class=\"flow\"; style=dashed; color=gray40; tooltip=\"\";\n";
  for (int si : f.states)
    dot_state(m, si, out, indent + "  ");
  bool ends = false;
  for (int si : f.states) {
    for (const edge& e : m.states[static_cast<size_t>(si)].edges)
      ends = ends || e.ends;
  }
  if (ends) {
    *out += indent + "  \"end_f" + std::to_string(fi) +
            "\" [shape=doublecircle, label=\"\", width=0.15, tooltip=\"the flow ends\"];\n";
  }
  *out += indent + "}\n";
}

// Attributes of an active state or cluster: the class for styling, a fill
// so that a plain rendering shows it, and the entry time.
std::string active_attributes(const state& s, bool cluster) {
  std::string when = iso_time(s.entered_ms);
  std::string sep = cluster ? "; " : ", ";
  return "class=\"active\"" + sep + "style=\"rounded,filled\"" + sep +
         (cluster ? "fillcolor=\"#fff2cc\"" : "fillcolor=\"#ffd966\"") + sep +
         "tooltip=" + dot_quote("entered " + when);
}

void dot_state(const machine& m, int i, std::string* out, const std::string& indent) {
  const state& s = m.states[static_cast<size_t>(i)];
  std::string name = s.st->get_name();
  std::string shown = name;
  if (s.active) shown += "\nsince " + iso_time(s.entered_ms).substr(11, 8);
  if (!s.error.empty()) shown += "\n! " + s.error;
  for (const timer& t : s.timeouts)
    shown += "\nafter " + duration_text(t.ms) + ": " + t.event;
  std::string id = dot_quote(state_path(m, i));
  if (is_super(m, i)) {
    *out += indent + "subgraph \"cluster_" + node_id(i) + "\" {\n";
    *out += indent + "  label=" + dot_quote(shown) + "; labelloc=b; id=" + id + ";\n";
    *out += indent + "  " +
            (s.active ? active_attributes(s, true) : "class=\"state\"; style=rounded") + ";\n";
    // An invisible point inside the cluster: the end of its edges, which
    // dot clips at the cluster's border (ltail, lhead).
    *out += indent + "  " + node_id(i) + " [shape=point, style=invis, width=0, label=\"\"];\n";
    for (int fi : s.flows)
      dot_flow(m, fi, out, indent + "  ");
    *out += indent + "}\n";
    return;
  }
  *out += indent + node_id(i) + " [id=" + id + ", label=" + dot_quote(shown);
  if (s.active) *out += ", " + active_attributes(s, false);
  const flow& f = m.flows[static_cast<size_t>(s.parent_flow)];
  if (f.start == i) *out += ", penwidth=2";
  *out += "];\n";
}

void json_state(const machine& m, int i, std::string* out);

void json_flow(const machine& m, int fi, std::string* out) {
  const flow& f = m.flows[static_cast<size_t>(fi)];
  *out += "{\"flow\":" + std::to_string(f.f->id);
  *out += ",\"history\":" + std::string(f.f->history != 0 ? "true" : "false");
  *out += ",\"start\":";
  *out += f.start >= 0 ? json_quote(m.states[static_cast<size_t>(f.start)].st->get_name()) : "null";
  *out += ",\"states\":[";
  for (size_t k = 0; k < f.states.size(); ++k) {
    if (k > 0) *out += ",";
    json_state(m, f.states[k], out);
  }
  *out += "]}";
}

void json_state(const machine& m, int i, std::string* out) {
  const state& s = m.states[static_cast<size_t>(i)];
  *out += "{\"name\":" + json_quote(s.st->get_name());
  *out += ",\"description\":" + json_quote(s.st->get_descr());
  *out += ",\"active\":" + std::string(s.active ? "true" : "false");
  *out += ",\"entered_ms\":" + std::to_string(s.active ? s.entered_ms : 0);
  *out += ",\"error\":" + json_quote(s.error);
  *out += ",\"transitions\":[";
  for (size_t k = 0; k < s.edges.size(); ++k) {
    const edge& e = s.edges[k];
    if (k > 0) *out += ",";
    *out += "{\"event\":" + json_quote(e.event) + ",\"next\":" + json_quote(e.next);
    *out += ",\"to\":";
    *out += e.to >= 0 ? json_quote(m.states[static_cast<size_t>(e.to)].st->get_name()) : "null";
    *out += ",\"ends_flow\":" + std::string(e.ends ? "true" : "false");
    if (!e.guard.empty()) *out += ",\"guard\":" + json_quote(e.guard);
    *out += "}";
  }
  *out += "],\"timeouts\":[";
  for (size_t k = 0; k < s.timeouts.size(); ++k) {
    const timer& t = s.timeouts[k];
    if (k > 0) *out += ",";
    *out += "{\"ms\":" + std::to_string(t.ms) + ",\"event\":" + json_quote(t.event) +
            ",\"address\":" + json_quote(t.address.empty() ? s.st->name : t.address) + "}";
  }
  *out += "],\"flows\":[";
  for (size_t k = 0; k < s.flows.size(); ++k) {
    if (k > 0) *out += ",";
    json_flow(m, s.flows[k], out);
  }
  *out += "]}";
}

}  // namespace

std::vector<edge> edges_of(const machine& m, const FSMstate* st, int in) {
  std::vector<edge> out;
  if (st->get_type() == FSM_TYPE_ROOT) return out;  // a root fires no transition
  const flow* f = in >= 0 ? &m.flows[static_cast<size_t>(in)] : nullptr;
  for (const FSMstate::branch* br : st->transition) {
    edge e{br->event_name, br->next_state, -1, false, ""};
    if (br->condition != nullptr) {
      e.guard = fsm_guard_name(br);
      if (e.guard.empty()) e.guard = "?";
    }
    if (f != nullptr) {
      if (br->next_state == f->f->parent->name) {
        e.ends = true;
      } else {
        for (int si : f->states) {
          if (m.states[static_cast<size_t>(si)].st->name == br->next_state) e.to = si;
        }
      }
    }
    out.push_back(e);
  }
  return out;
}

int take(EqFSMlocation* loc, machine* out, std::string* why) {
  FSMsuperstate* top = loc != nullptr ? loc->state_ptr : nullptr;
  if (top == nullptr || top->get_type() != FSM_TYPE_ROOT) {
    *why = "not the location of a machine";
    return -1;
  }
  pthread_mutex_lock(&loc->mux);
  int ready = loc->fsm_ready;
  pthread_mutex_unlock(&loc->mux);
  if (ready == 0) {
    *why = "the machine has not started";
    return -1;
  }
  FSMtrace* trace = static_cast<FSMrootstate*>(top)->trace;
  machine m;
  m.location = loc->name();
  std::set<const FSMstate*> seen;
  add_state(&m, top, -1, &seen);
  for (size_t i = 0; i < m.states.size(); ++i)
    m.states[i].edges = edges_of(m, m.states[i].st, m.states[i].parent_flow);
  bool consistent = false;
  for (int tries = 0; tries < MAX_TRIES && !consistent; ++tries) {
    if (tries >= SPIN_TRIES) pause_briefly();
    unsigned long before = trace->change_count();
    if (before % 2 != 0) continue;
    mark_active(&m);
    m.time_ms = now_ms();
    m.sequence = trace->last_seq();
    consistent = trace->change_count() == before;
  }
  if (!consistent) {
    *why = "the machine kept changing; read again";
    return -1;
  }
  char buf[256];
  for (state& s : m.states) {
    int n = const_cast<FSMstate*>(s.st)->copy_error(buf, sizeof buf);
    s.error = n > 0 ? buf : "";
  }
  m.error_code = loc->get_error();
  m.error_text = m.error_code != 0 ? loc->get_errorstr() : "";
  *out = m;
  return 0;
}

std::string state_path(const machine& m, int i) {
  if (i <= 0) return m.location;
  const state& s = m.states[static_cast<size_t>(i)];
  int owner = m.flows[static_cast<size_t>(s.parent_flow)].owner;
  return state_path(m, owner) + "/" + s.st->get_name();
}

void clear_run(machine* m) {
  for (state& s : m->states) {
    s.active = false;
    s.entered_ms = 0;
    s.error.clear();
  }
  m->time_ms = 0;
}

std::string graph_text(const machine& m) {
  const state& root = m.states[0];
  std::string out = "digraph " + dot_quote(root.st->get_name()) + " {\n";
  std::string title = root.st->get_name();
  if (m.time_ms != 0) title += " at " + iso_time(m.time_ms);
  out += "  label=" + dot_quote(title) +
         "; labelloc=t; compound=true; rankdir=LR; fontname=\"Helvetica\";\n";
  out += "  node [shape=box, style=rounded, fontname=\"Helvetica\"];\n";
  out += "  edge [fontname=\"Helvetica\", fontsize=10];\n";
  // dot stacks the flows from the last written up: written last to first,
  // flow 0 comes out on top.
  for (auto fi = root.flows.rbegin(); fi != root.flows.rend(); ++fi)
    dot_flow(m, *fi, &out, "  ");
  for (size_t i = 1; i < m.states.size(); ++i) {
    const state& s = m.states[i];
    for (const edge& e : s.edges) {
      if (e.to < 0 && !e.ends) continue;  // leads nowhere: MODEL lists it
      std::string head = e.ends ? "end_f" + std::to_string(s.parent_flow) : node_id(e.to);
      out += "  " + node_id(static_cast<int>(i)) + " -> " + (e.ends ? "\"" + head + "\"" : head) +
             " [label=" + dot_quote(e.guard.empty() ? e.event : e.event + " [" + e.guard + "]");
      if (is_super(m, static_cast<int>(i)))
        out += ", ltail=\"cluster_" + node_id(static_cast<int>(i)) + "\"";
      if (!e.ends && is_super(m, e.to)) out += ", lhead=\"cluster_" + node_id(e.to) + "\"";
      out += "];\n";
    }
  }
  return out + "}\n";
}

std::string model_text(const machine& m) {
  std::string out = "{\"location\":" + json_quote(m.location);
  out += ",\"machine\":" + json_quote(m.states[0].st->get_name());
  out += ",\"time_ms\":" + std::to_string(m.time_ms);
  out += ",\"trace_sequence\":" + std::to_string(m.sequence);
  out += ",\"errors\":[";
  bool first = true;
  if (m.error_code != 0) {
    out += "{\"state\":null,\"code\":" + std::to_string(m.error_code) +
           ",\"text\":" + json_quote(m.error_text) + "}";
    first = false;
  }
  for (const state& s : m.states) {
    if (s.error.empty()) continue;
    if (!first) out += ",";
    out += "{\"state\":" + json_quote(s.st->get_name()) + ",\"text\":" + json_quote(s.error) + "}";
    first = false;
  }
  out += "],\"root\":";
  json_state(m, 0, &out);
  return out + "}\n";
}

}  // namespace fsm_snapshot
