// fsm_panel.cc - the web panel's FSM side: the live text of every machine,
// the page's files, and the machines' diagrams laid out by Graphviz.
//
// live() runs on the panel's one producer thread only, so its cache of
// each machine's trace needs no lock. The diagrams are laid out under
// layout_mux (the Graphviz library is not thread-safe), which also guards
// their cache; it is a leaf. Nothing here takes a lock of a machine: the
// pictures are taken as GRAPH and MODEL take them, so the producer never
// waits for an engine.

#include "server/fsm_panel.h"

#include <graphviz/cgraph.h>
#include <graphviz/gvc.h>
#include <string.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "framework/base/json.h"
#include "framework/host/server_config.h"
#include "fsm/fsm_trace.h"
#include "server/fsm_binding.h"
#include "server/fsm_snapshot.h"

namespace {

using norix::json_quote;

constexpr size_t TRACE_SHOWN = 12;  // the last transitions a machine's live text carries

// A machine's last transitions, as JSON; remade only when the trace has
// new records. Producer thread only.
struct trace_cache {
  unsigned long long seq = ~0ULL;
  std::string json;
};

const std::string& trace_json(EqFSMlocation* loc, trace_cache* cache) {
  const FSMtrace* trace = static_cast<FSMrootstate*>(loc->state_ptr)->trace;
  unsigned long long seq = trace->last_seq();
  if (seq == cache->seq) return cache->json;
  std::vector<FSMtrace::record> records = trace->copy();
  size_t from = records.size() > TRACE_SHOWN ? records.size() - TRACE_SHOWN : 0;
  std::string out = "[";
  for (size_t i = from; i < records.size(); ++i) {
    if (i > from) out += ",";
    out += "[" + std::to_string(records[i].seq) + "," + std::to_string(records[i].time_ms) + "," +
           json_quote(FSMtrace::text(records[i])) + "]";
  }
  cache->json = out + "]";
  cache->seq = seq;
  return cache->json;
}

// What FLOW_n shows for flow id of the picture's state at index owner (0:
// the root): its active state's name, then that state's error or else its
// description.
std::string flow_text(const fsm_snapshot::machine& m, size_t owner, int id) {
  for (int fi : m.states[owner].flows) {
    const fsm_snapshot::flow& f = m.flows[static_cast<size_t>(fi)];
    if (f.f->id != id) continue;
    for (int si : f.states) {
      const fsm_snapshot::state& s = m.states[static_cast<size_t>(si)];
      if (s.active)
        return std::string(s.st->get_name()) + " : " +
               (s.error.empty() ? s.st->get_descr() : s.error);
    }
  }
  return "";
}

// A machine's live text. FAULT and the flows are made from the picture, as
// their properties show them, and not read through them: their reads wait
// for the machine's lock, which an engine holds through a whole action.
std::string machine_json(EqFSMlocation* loc, trace_cache* cache) {
  std::string out = "{\"location\":" + json_quote(loc->name());
  fsm_snapshot::machine m;
  std::string why;
  if (fsm_snapshot::take(loc, &m, &why) != 0) {
    return out + ",\"machine\":null,\"active\":[],\"since\":{},\"fault\":\"\",\"errors\":[" +
           json_quote(why) + "],\"flows\":[],\"trace\":[]}";
  }
  out += ",\"machine\":" + json_quote(m.states[0].st->get_name());
  std::string active;
  std::string since;
  std::string errors;
  if (m.error_code != 0) errors = json_quote(m.error_text);
  for (size_t i = 1; i < m.states.size(); ++i) {
    const fsm_snapshot::state& s = m.states[i];
    std::string path = json_quote(fsm_snapshot::state_path(m, static_cast<int>(i)));
    if (s.active) {
      active += (active.empty() ? "" : ",") + path;
      since += (since.empty() ? "" : ",") + path + ":" + std::to_string(s.entered_ms);
    }
    if (!s.error.empty()) {
      errors +=
          (errors.empty() ? "" : ",") + json_quote(std::string(s.st->get_name()) + ": " + s.error);
    }
  }
  out += ",\"active\":[" + active + "],\"since\":{" + since + "}";
  out += ",\"fault\":" + json_quote(m.states[0].error);
  out += ",\"errors\":[" + errors + "],\"flows\":[";
  // The flows of every location of the machine, the root's first: each
  // named by its property and its description, those of a superstate
  // location after that location's name ("DOOR/FLOW_0 door").
  bool first = true;
  for (size_t i = 0; i < m.states.size(); ++i) {
    auto* sp = dynamic_cast<const FSMsuperstate*>(m.states[i].st);
    EqFSMlocation* at = sp != nullptr ? sp->get_location() : nullptr;
    if (at == nullptr || at->state_ptr != sp) continue;
    std::string prefix = i == 0 ? "" : at->name() + "/";
    for (D_flow* f : at->flows) {
      if (f->flow_id < 0) continue;
      std::string about = f->D_fct::comment();
      std::string label = prefix + f->name() + (about.empty() ? "" : " " + about);
      out += std::string(first ? "" : ",") + "[" + json_quote(label) + "," +
             json_quote(flow_text(m, i, f->flow_id)) + "]";
      first = false;
    }
  }
  return out + "],\"trace\":" + trace_json(loc, cache) + "}";
}

std::string live() {
  static std::map<EqFSMlocation*, trace_cache> caches;  // producer thread only
  const norix::ServerConfig& c = norix::process_config();
  std::string out = "{\"server\":" + json_quote(c.facility + "/" + c.device) + ",\"machines\":[";
  bool first = true;
  for (FSMlist::entry* e : global_list.list) {
    out += std::string(first ? "" : ",") + machine_json(e->loc, &caches[e->loc]);
    first = false;
  }
  return out + "]}";
}

std::mutex layout_mux;  // guards the library's use and the cache below

// The diagram of a machine's structure as SVG; "" when it cannot be laid
// out. Called with layout_mux held.
std::string lay_out(const std::string& dot) {
  static GVC_t* context = gvContext();  // lives as long as the process
  Agraph_t* g = agmemread(dot.c_str());
  if (g == nullptr) return "";
  std::string svg;
  if (gvLayout(context, g, "dot") == 0) {
    char* data = nullptr;
    unsigned int size = 0;
    if (gvRenderData(context, g, "svg", &data, &size) == 0 && data != nullptr)
      svg.assign(data, size);
    gvFreeRenderData(data);
    gvFreeLayout(context, g);
  }
  agclose(g);
  return svg;
}

// 200 with the diagram of location's machine, 404 when it names none, 503
// when its machine has not started or kept changing while it was read.
int graph_svg(const std::string& location, std::string* body) {
  EqFSMlocation* loc = nullptr;
  for (FSMlist::entry* e : global_list.list) {
    if (location == e->loc->name()) loc = e->loc;
  }
  if (loc == nullptr) return 404;
  fsm_snapshot::machine m;
  std::string why;
  if (fsm_snapshot::take(loc, &m, &why) != 0) return 503;
  fsm_snapshot::clear_run(&m);
  std::string dot = fsm_snapshot::graph_text(m);
  static std::map<std::string, std::pair<std::string, std::string>> cache;  // location: dot, svg
  std::lock_guard<std::mutex> lock(layout_mux);
  auto& entry = cache[location];
  if (entry.first != dot || entry.second.empty()) entry = {dot, lay_out(dot)};
  *body = entry.second;
  return body->empty() ? 500 : 200;
}

int get(const std::string& path, const std::map<std::string, std::string>& query, std::string* type,
        std::string* body) {
  if (path == "/graph.svg") {
    auto at = query.find("location");
    *type = "image/svg+xml";
    return at == query.end() ? 404 : graph_svg(at->second, body);
  }
  for (size_t i = 0; i < fsm_panel_file_count; ++i) {
    const fsm_panel_file& f = fsm_panel_files[i];
    if (path != f.path) continue;
    *type = f.type;
    body->assign(reinterpret_cast<const char*>(f.data), f.size);
    return 200;
  }
  return 404;
}

}  // namespace

norix::HttpPanel fsm_panel() {
  return norix::HttpPanel{live, get};
}
